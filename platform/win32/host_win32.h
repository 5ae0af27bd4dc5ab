// Host-side control of the Win32 stand-in (KERNEL32, ADVAPI32, SETUPAPI,
// USER32, COMCTL32). Tests use this; the DLL under test never does.
//
// How a test drives a property sheet session of a property-page provider:
//
//   1. Registry: fill host::RegistryStore with the device's instance key
//      (SYSTEM\CurrentControlSet\Enum\<instance ID>, e.g. its
//      "LocationInformation" value), its "Device Parameters" key and whatever
//      else the provider reads.
//   2. Module: HINSTANCE module = host::CreateResourceModule(resBytes, size),
//      the bytes of the DLL's compiled .res file; then call the DLL's entry
//      point as the loader would: LibMain(module, DLL_PROCESS_ATTACH, NULL).
//   3. Device: HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
//      SP_DEVINFO_DATA dev = {sizeof(dev)}; SetupDiOpenDeviceInfoA(set,
//      instanceId, NULL, 0, &dev); fill an SP_PROPSHEETPAGE_REQUEST with
//      PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES, set and &dev.
//   4. Pages: host::PropertySheet sheet; call the provider, e.g.
//      EnumPropPages(&request, sheet.AddPageCallback(), sheet.AddPageParam());
//      sheet.PageCount() tells what it added.
//   5. Show: sheet.Show() creates the first page's window (PSPCB_CREATE, the
//      page template from the module, WM_INITDIALOG with the PROPSHEETPAGE
//      copy as lParam, PSN_SETACTIVE). Inspect it through PageWindow(0),
//      GetDlgItem and SendMessageA (LB_GETCOUNT, LB_GETTEXT, ...).
//   6. User: queue what the user does with host::User(), e.g.
//      host::User().DoubleClickListItem(1000, 2).Click(1009).Click(IDOK);
//      then sheet.Run() performs the actions on the active page. An action
//      that opens a modal dialog (DialogBoxParamA) hands the following
//      actions to that dialog's modal loop until it ends with EndDialog. If
//      the queue runs dry while a modal dialog is open, the loop throws
//      host::UserScriptExhausted instead of waiting forever. To look at a
//      modal dialog while it runs, queue .Inspect([](HWND dialog) {...}).
//   7. Buttons: sheet.PressOk() (PSN_KILLACTIVE, PSN_APPLY with lParam TRUE
//      to every created page, then close), sheet.PressApply() (only while
//      Apply is enabled: a page sent PSM_CHANGED or the test called
//      MarkChanged()), sheet.PressCancel() / PressCloseBox() (PSN_QUERYCANCEL,
//      PSN_RESET). Closing destroys each page window (WM_DESTROY) and then
//      the page (PSPCB_RELEASE); the destructor does the same for a sheet
//      still open or never shown.
//   8. Check: read host::RegistryStore (values, WriteLog), then
//      SetupDiDestroyDeviceInfoList(set), and expect host::Win32EndChecks()
//      to be empty: no LocalAlloc block, HKEY, HDEVINFO, window, property
//      sheet page or queued user action left over, no bad free or close.
//
// Windows belong to the thread that made them, as on the platform: each
// thread has its own top-level windows, focus, posted messages, modal loops,
// paints and scripted user (host::User() queues actions for the calling
// thread), and works only on its own windows; two threads may run two sheets
// at once. Local memory, keys, device information sets and property sheet
// pages may be used from any thread. The end checks see every thread's
// windows.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <setupapi.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

// ---------------------------------------------------------------------------
// Whole state.

// Fresh state for a test: frees every LocalAlloc block, closes every HKEY,
// destroys every device information set, window and property sheet page
// without sending a message or calling a callback, drops posted messages and
// queued user actions, clears faults, access rules, hooks, the message box
// log, the findings and the calling thread's last error. Resource modules
// stay loaded. (The registry store is reset by RegistryStore::Reset.)
void ResetWin32();

// What a test left behind or did wrong: blocks not freed, keys not closed,
// sets not destroyed, windows not destroyed, pages not destroyed, user
// actions never performed, and every misuse recorded on the way (LocalFree
// of a block that is not live, a block whose guard bytes were overwritten,
// RegCloseKey of an invalid handle, DestroyPropertySheetPage of an invalid
// page, a message given the default dialog processing twice, a dialog's data
// freed twice, used after its free or never freed, a WM_CTLCOLOR* answer
// that is not a brush, ...). One description per finding; empty when clean.
std::vector<std::string> Win32EndChecks();

struct Win32Counts {
  size_t localBlocks = 0;  // LocalAlloc blocks not freed
  size_t localBytes = 0;   // their size
  size_t openKeys = 0;     // HKEYs not closed (predefined keys are not counted)
  size_t deviceInfoSets = 0;
  size_t windows = 0;
  size_t propertySheetPages = 0;  // HPROPSHEETPAGEs not destroyed
  size_t pendingUserActions = 0;
};
Win32Counts Win32Outstanding();

// ---------------------------------------------------------------------------
// Local memory (LocalAlloc). Blocks come filled with 0xCD unless
// LMEM_ZEROINIT is given, carry guard bytes that LocalFree checks, and stay
// out of reuse after LocalFree until ResetWin32, so a second free is caught.
// In a program built with the address sanitizer a freed block and the guard
// bytes are inaccessible, so that the access itself stops the test.

// The n-th LocalAlloc from now (1 = the next) returns NULL with
// ERROR_NOT_ENOUGH_MEMORY; 0 clears.
void FailLocalAllocNth(int n);
// LocalAlloc calls since ResetWin32, failed ones included.
size_t LocalAllocCount();
// A live block starting exactly at p.
bool IsLocalBlock(const void* p);

// ---------------------------------------------------------------------------
// Registry handles (ADVAPI32). Keys live in host::RegistryStore; paths are
// relative to HKEY_LOCAL_MACHINE.

// Limits the rights an open of the key at `path` may be granted, as the
// key's security would: KEY_READ makes it read-only for this process
// (RegOpenKeyA then gets a handle without KEY_SET_VALUE, and RegSetValueExA
// fails with ERROR_ACCESS_DENIED), 0 makes every open fail with
// ERROR_ACCESS_DENIED. Applies to that key only, not to its subkeys.
void SetRegistryKeyAccess(const std::string& path, ACCESS_MASK allowed);
void ClearRegistryKeyAccess();
// Keys without such a limit carry the platform's security. Under
// SYSTEM\CurrentControlSet\Enum that is: read-only, except that an
// administrator may also write the devices' "Device Parameters" keys. The
// process runs as an administrator (Device Manager's user changing
// settings) unless this is set false; ResetWin32 sets it true again.
void SetProcessIsAdministrator(bool administrator);

struct OpenKeyInfo {
  HKEY handle;
  std::string path;
  ACCESS_MASK granted;
};
std::vector<OpenKeyInfo> OpenKeys();

// ---------------------------------------------------------------------------
// Modules and their resources.

// A module whose resources are those of a compiled resource file (.res, as
// `windres -O res` or rc.exe write it). Returns NULL when the bytes are not a
// resource file. The module lives until DestroyResourceModule (ResetWin32
// keeps it).
HINSTANCE CreateResourceModule(const void* resBytes, size_t size);
HINSTANCE CreateResourceModuleFromFile(const std::string& path);
bool DestroyResourceModule(HINSTANCE module);
// DisableThreadLibraryCalls was called for the module.
bool ThreadLibraryCallsDisabled(HINSTANCE module);

// A name or ordinal of a resource, a dialog's class or menu, or a control's
// class or text.
struct NameOrOrdinal {
  bool isOrdinal = false;
  WORD ordinal = 0;
  std::string name;  // ANSI; empty for none

  bool IsEmpty() const { return !isOrdinal && name.empty(); }
};

struct DialogItemTemplate {
  DWORD helpId = 0;  // extended templates only
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  DWORD id = 0;  // a WORD in standard templates (-1 reads as 0xFFFF)
  NameOrOrdinal windowClass;  // ordinal 0x80 BUTTON .. 0x85 COMBOBOX, or a name
  NameOrOrdinal text;
  std::vector<BYTE> creationData;
};

struct DialogTemplate {
  bool extended = false;  // DLGTEMPLATEEX
  DWORD helpId = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  NameOrOrdinal menu;
  NameOrOrdinal windowClass;
  std::string caption;
  bool hasFont = false;  // DS_SETFONT
  WORD pointSize = 0;
  WORD weight = 0;      // extended templates only
  BYTE italic = 0;      // extended templates only
  BYTE charset = 0;     // extended templates only
  std::string faceName;
  std::vector<DialogItemTemplate> items;
  size_t size = 0;  // bytes the template occupies
};

// Parses a DLGTEMPLATE or DLGTEMPLATEEX as the dialog manager does;
// nullopt when it does not fit in `size` bytes.
std::optional<DialogTemplate> ParseDialogTemplate(const void* data, size_t size);
// The RT_DIALOG resource `id` of a module, in the language the dialog
// manager would choose (0x0409 first, then neutral, then any).
std::optional<DialogTemplate> FindDialogTemplate(HINSTANCE module, int id);
// The language of the RT_DIALOG resource `id` the dialog manager would use;
// nullopt when there is none.
std::optional<WORD> DialogTemplateLanguage(HINSTANCE module, int id);

// ---------------------------------------------------------------------------
// Windows.

std::vector<HWND> LiveWindows();
// "class "text" id=N" for diagnostics.
std::string DescribeWindow(HWND hwnd);
// For a window the dialog manager built from a template: its rectangle in
// dialog units as the template gives it.
std::optional<RECT> TemplateRect(HWND hwnd);
// The font a template-built dialog and its controls use ("" and 0 for the
// system font).
std::string DialogFontName(HWND dialog);
int DialogFontPointSize(HWND dialog);
// Texts of a list box's lines or a combo box's entries, in order.
std::vector<std::string> ListItems(HWND listOrCombo);
// The modal dialogs now running, innermost last.
std::vector<HWND> ModalDialogs();

// Called for every message delivered to a window procedure (sent, posted or
// generated by the stand-in), before the procedure runs. nullptr clears.
using MessageHook = std::function<void(HWND, UINT, WPARAM, LPARAM)>;
void SetMessageHook(MessageHook hook);

struct MessageBoxRecord {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};
// MessageBoxA does not wait for a user: it records the box and returns IDOK.
std::vector<MessageBoxRecord> MessageBoxes();

// The n-th DialogBoxParamA / DialogBoxIndirectParamA from now (1 = the next)
// fails as when the dialog cannot be created: -1 with
// ERROR_NOT_ENOUGH_MEMORY, no window made, no message sent. 0 clears.
void FailDialogBoxNth(int n);

// ---------------------------------------------------------------------------
// The scripted user.

// A modal loop needed a user action and none was queued.
class UserScriptExhausted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// An action that no user could perform: no such control, a line that is not
// there, a list action on a button, a close box on a dialog without one.
class UserScriptError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// What the user does next, in order. Each action goes to the dialog in the
// foreground when it is performed: the innermost modal dialog, or the dialog
// passed to RunUserActions / the sheet's active page. Actions on a disabled
// or hidden control do nothing, as mouse input never reaches it.
class UserScript {
 public:
  // Clicks a button: a push button sends BN_CLICKED; an auto check box
  // toggles; an auto radio button checks itself and unchecks the other auto
  // radio buttons of its group; a group box takes no click.
  UserScript& Click(int controlId);
  // Clicks line `index` of a list box (selects it; LBN_SELCHANGE with
  // LBS_NOTIFY).
  UserScript& SelectListItem(int controlId, int index);
  // Double-clicks line `index` (LBN_SELCHANGE, then LBN_DBLCLK, both with
  // LBS_NOTIFY).
  UserScript& DoubleClickListItem(int controlId, int index);
  // Double-clicks a list box that has no lines: it takes the focus and,
  // with LBS_NOTIFY, sends LBN_DBLCLK with nothing selected.
  UserScript& DoubleClickEmptyList(int controlId);
  // Presses F1 on a control (0: on the dialog): WM_HELP with a HELPINFO goes
  // to it and, through DefWindowProcA, up to its parent and owner. On a
  // property page the sheet first offers the key to the page
  // (PSN_TRANSLATEACCELERATOR).
  UserScript& PressF1(int controlId);
  // Clicks a control (0: the dialog) with the right button: WM_RBUTTONDOWN,
  // WM_RBUTTONUP, and from DefWindowProcA WM_CONTEXTMENU, passed up.
  UserScript& RightClick(int controlId);
  // Opens a combo box's list and picks entry `index` (CBN_DROPDOWN,
  // CBN_SELENDOK, CBN_CLOSEUP, CBN_SELCHANGE).
  UserScript& SelectComboItem(int controlId, int index);
  // Enter: the default push button (DM_GETDEFID), else IDOK; on a property
  // page, the sheet's OK button.
  UserScript& PressEnter();
  // Esc: WM_COMMAND IDCANCEL; on a property page, the sheet's Cancel.
  UserScript& PressEscape();
  // The caption's close box: WM_SYSCOMMAND SC_CLOSE (a dialog turns the
  // resulting WM_CLOSE into WM_COMMAND IDCANCEL); on a property page, the
  // sheet's close box.
  UserScript& PressCloseBox();
  // Not a user action: calls `inspect` with the dialog in the foreground at
  // that point (e.g. to check a modal dialog's controls while it runs).
  UserScript& Inspect(std::function<void(HWND dialog)> inspect);

  size_t Pending() const;
  // The queued actions, described, in order.
  std::vector<std::string> PendingDescriptions() const;
  void Clear();
};
UserScript& User();

// Performs the queued actions on a modeless dialog (and on whatever modal
// dialogs they open) until none is left or the dialog is destroyed; posted
// messages are dispatched between actions.
void RunUserActions(HWND dialog);

// Dispatches posted messages (PostMessageA) until none is left; returns how
// many were dispatched.
size_t DispatchPostedMessages();

// ---------------------------------------------------------------------------
// The property sheet host: the part of Device Manager and COMCTL32 that
// collects a provider's pages and runs the sheet.

// The n-th CreatePropertySheetPageA from now (1 = the next) fails as when
// COMCTL32 is out of memory: NULL, no callback. 0 clears.
void FailCreatePropertySheetPageNth(int n);

class PropertySheet {
 public:
  explicit PropertySheet(std::string caption = "Properties");
  ~PropertySheet();
  PropertySheet(const PropertySheet&) = delete;
  PropertySheet& operator=(const PropertySheet&) = delete;

  // The provider's addPage callback and its lParam.
  LPFNADDPROPSHEETPAGE AddPageCallback() const;
  LPARAM AddPageParam() const;
  // From now on the callback refuses pages (returns FALSE and keeps nothing),
  // as a full sheet does.
  void RefuseNewPages(bool refuse);

  size_t PageCount() const;
  HPROPSHEETPAGE Page(size_t index) const;
  // The tab text: pszTitle with PSP_USETITLE, else the template's caption.
  std::string PageTitle(size_t index) const;

  // Creates the sheet window and shows page `startPage`. False when there is
  // no such page or the sheet was shown before.
  bool Show(size_t startPage = 0);
  bool IsOpen() const;
  HWND Window() const;
  // NULL for a page not created yet or whose creation failed.
  HWND PageWindow(size_t index) const;
  size_t ActivePage() const;
  // The user clicks another tab (PSN_KILLACTIVE to the old page, which may
  // refuse, then PSN_SETACTIVE to the new one, created when first shown).
  bool SelectPage(size_t index);

  // Performs the queued user actions on the active page until none is left
  // or the sheet closes.
  void Run();

  // The sheet's buttons; each returns true when it did what it stands for
  // (OK and Cancel: the sheet closed; Apply: the pages accepted).
  bool PressOk();
  bool PressApply();
  bool PressCancel();
  bool PressCloseBox();
  bool ApplyEnabled() const;
  // Enables Apply as another page of the sheet would with PSM_CHANGED.
  void MarkChanged();

  // What PropertySheet() would return: 1 when changes were saved (OK, or an
  // Apply before Cancel), 0 when not, ID_PSREBOOTSYSTEM/ID_PSRESTARTWINDOWS
  // when a page asked for it; -1 while the sheet has not closed.
  INT_PTR Result() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace host
