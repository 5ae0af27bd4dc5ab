// Shared internals of the Win32 stand-in. Not for tests or the DLL.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host_win32.h"

namespace host {
namespace win32 {

// ---------------------------------------------------------------------------
// Findings and resets.

// Records a misuse for Win32EndChecks.
void Finding(const std::string& what);
std::vector<std::string> TakeFindings();
void ClearFindings();

std::string Hex(uintptr_t value);

// Each part's reset and end checks, called by ResetWin32 / Win32EndChecks.
void ResetLocalMemory();
void LocalMemoryEndChecks(std::vector<std::string>& out, Win32Counts& counts);
void ResetRegistryApi();
void RegistryApiEndChecks(std::vector<std::string>& out, Win32Counts& counts);
void ResetSetupApi();
void SetupApiEndChecks(std::vector<std::string>& out, Win32Counts& counts);
void ResetWindows();
void WindowEndChecks(std::vector<std::string>& out, Win32Counts& counts);
void ResetPropertySheetPages();
void PropertySheetPageEndChecks(std::vector<std::string>& out, Win32Counts& counts);
void ResetUserScript();
void UserScriptEndChecks(std::vector<std::string>& out, Win32Counts& counts);
void ResetModuleState();

// ---------------------------------------------------------------------------
// Text. ANSI is code page 1252, as on an English system.

std::string Utf16ToAnsi(const char16_t* text, size_t units);
// Converts `count` bytes of ANSI text to UTF-16 code units.
std::u16string AnsiToUtf16(const char* text, size_t count);
bool EqualNoCase(const std::string& a, const std::string& b);
// Case-insensitive ordering as list and combo boxes sort.
int CompareNoCase(const std::string& a, const std::string& b);

// ---------------------------------------------------------------------------
// Registry values seen through the ANSI calls.

// The registry type and the data as RegQueryValueExA hands them out
// (string types converted to ANSI); false when the value is missing.
bool ReadValueAnsi(const std::string& keyPath, const std::string& valueName, DWORD* type,
                   std::vector<BYTE>* data);
// Copies a value out with RegQueryValueExA's size rules.
LONG CopyValueOut(DWORD type, const std::vector<BYTE>& data, LPDWORD lpType, LPBYTE lpData,
                  LPDWORD lpcbData);
// A new HKEY for a key that exists, with the access rules applied.
LONG OpenKeyHandle(const std::string& path, REGSAM desired, HKEY* result);

// ---------------------------------------------------------------------------
// Modules.

struct ResourceEntry {
  NameOrOrdinal type;
  NameOrOrdinal name;
  WORD language = 0;
  std::vector<BYTE> data;
};

struct Module {
  std::vector<ResourceEntry> resources;
  bool threadCallsDisabled = false;
};
Module* FindModule(HINSTANCE instance);
// The resource the loader would pick for FindResourceA: exact name and type,
// language 0x0409, then neutral, then any. Sets the last error when none.
const ResourceEntry* FindResourceEntry(HINSTANCE instance, LPCSTR name, LPCSTR type);
NameOrOrdinal NameFromPointer(LPCSTR name);

// ---------------------------------------------------------------------------
// Windows.

enum class Kind { Custom, Dialog, Button, Edit, Static, ListBox, ComboBox, ScrollBar };

struct WindowClass {
  std::string name;
  WNDPROC proc = nullptr;
  int wndExtra = 0;
  HINSTANCE instance = nullptr;
  Kind kind = Kind::Custom;
  bool system = false;
  ATOM atom = 0;
};

struct DialogFont {
  std::string faceName;  // "" for the system font
  int pointSize = 0;
  int baseX = 8;  // dialog base units in pixels
  int baseY = 16;
};

// The dialog manager's own data of a dialog window (DIALOGINFO on the
// platform): made when the dialog is created (or by the first DefDlgProcA of a
// window of the dialog class), freed together with the dialog's font when
// WM_NCDESTROY gets the default dialog processing.
struct DialogInfo {
  HFONT font = nullptr;  // the template's font, owned by the dialog
  bool freed = false;
};

struct ListItem {
  std::string text;
  LPARAM data = 0;
};

struct Window {
  HWND handle = nullptr;
  std::shared_ptr<WindowClass> cls;
  WNDPROC proc = nullptr;
  DWORD style = 0;
  DWORD exStyle = 0;
  std::string text;
  UINT_PTR id = 0;
  HINSTANCE instance = nullptr;
  HWND parent = nullptr;  // child windows
  HWND owner = nullptr;   // top-level windows
  std::vector<HWND> children;
  std::vector<BYTE> extra;
  LONG_PTR userData = 0;
  HFONT font = nullptr;
  bool destroying = false;
  bool alive = true;
  bool needsPaint = false;  // its contents changed since it was last painted

  // Buttons.
  UINT check = BST_UNCHECKED;
  bool pushed = false;
  // List and combo boxes.
  std::vector<ListItem> items;
  int selection = -1;
  bool droppedDown = false;

  // Windows built by the dialog manager.
  bool isDialog = false;
  bool ended = false;
  INT_PTR result = 0;
  HWND disabledOwner = nullptr;
  int defId = 0;
  std::shared_ptr<DialogFont> dialogFont;
  std::shared_ptr<DialogInfo> dialogInfo;
  bool hasTemplateRect = false;
  RECT templateRect{};

  // The property sheet host object of a sheet window.
  PropertySheet::Impl* sheet = nullptr;
};

std::shared_ptr<Window> FindWindowObject(HWND hwnd);
// Delivers a message to the window's procedure (the message hook sees it
// first); 0 with ERROR_INVALID_WINDOW_HANDLE for a window that is gone.
LRESULT Deliver(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// The number of the message delivery in progress on this thread: a message
// sent while another is handled gets a new one.
uint64_t CurrentDelivery();
// Sends WM_COMMAND with a control's notification to its parent.
void NotifyParent(HWND control, UINT code);

// Painting. A window whose contents changed (shown, enabled or disabled,
// lines or checks changed) waits for WM_PAINT, which comes when its thread's
// message loop has nothing else to do: PaintPending delivers it, parents
// before children. The device context of a paint is the one kPaintDc.
inline HDC const kPaintDc = reinterpret_cast<HDC>(static_cast<uintptr_t>(0xDC0));
void Invalidate(HWND hwnd);
void PaintPending();
// Whether a WM_CTLCOLOR* answer is a brush (a system colour brush here).
bool IsBrush(LRESULT value);
// What a control does before it paints: asks its parent for its colours
// with WM_CTLCOLOR* (DefWindowProcA's answer when the parent gives none) and
// reports an answer that is not a brush.
HBRUSH ControlColor(HWND control, UINT msg);
// Dispatches one posted message; false when none was waiting.
bool DispatchOnePosted();

// Controls.
LRESULT CALLBACK ButtonProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK StaticProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK EditProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ListBoxProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ComboBoxProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ScrollBarProc(HWND, UINT, WPARAM, LPARAM);
// The group of a dialog control, in ring order from the group's first
// control.
std::vector<HWND> DialogGroupOf(HWND control);
// What a mouse click on an enabled button does.
void ButtonClick(HWND button);
// What a user's click on line `index` of a list box does.
void ListBoxUserSelect(HWND list, int index, bool doubleClick);
// What a user's pick of entry `index` from a combo box's list does.
void ComboBoxUserSelect(HWND combo, int index);

// Dialog manager.
HWND CreateDialogFromTemplate(HINSTANCE instance, const BYTE* bytes, size_t size, HWND owner,
                              DLGPROC proc, LPARAM param, bool modal);
INT_PTR RunModalDialog(HWND dialog);
// A DefDlgProcA call in progress, for the check that no message gets the
// default dialog processing twice.
class DefDlgFrame {
 public:
  DefDlgFrame(HWND hwnd, UINT msg);
  ~DefDlgFrame();
  DefDlgFrame(const DefDlgFrame&) = delete;
  DefDlgFrame& operator=(const DefDlgFrame&) = delete;
  // Called when this call goes on to the default processing.
  void DefaultProcessing();

 private:
  HWND hwnd_;
  UINT msg_;
  uint64_t delivery_;
  bool defaultDone_ = false;
};
// The template bytes of an RT_DIALOG resource; NULL (last error set) when
// there is none.
const ResourceEntry* FindDialogResource(HINSTANCE instance, LPCSTR name);

// User script.
struct UserAction {
  enum Type {
    Click, SelectList, DoubleClickList, DoubleClickEmptyList, SelectCombo, Enter, Escape, CloseBox,
    Help, RightClick, Inspect
  } type;
  int id = 0;
  int index = 0;
  std::function<void(HWND)> inspect;
  std::string Describe() const;
};
bool PopUserAction(UserAction* action);
// Performs one action on a dialog. A property page routes Enter, Esc and the
// close box to its sheet.
void PerformUserAction(HWND dialog, const UserAction& action);

// Property sheets: what a page's Enter/Esc/close box does to its sheet.
PropertySheet::Impl* SheetOfPage(HWND page);
// True when the key was used up (by the page through
// PSN_TRANSLATEACCELERATOR, or by the sheet); false when it goes on to the
// window with the focus.
bool SheetKey(PropertySheet::Impl* sheet, UserAction::Type type);

}  // namespace win32
}  // namespace host
