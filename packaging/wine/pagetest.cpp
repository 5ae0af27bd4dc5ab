// The "Ports" page of the real serhubpp.dll in a real property sheet (run
// with wine64 under an X server). The program does what Device Manager and a
// user do: it registers two cards and their port devices with SETUPAPI,
// loads the DLL, asks EnumPropPages for the advanced-properties pages, shows
// them in a modeless sheet, and then works the sheet from a second thread
// the way a user would: reads the list, selects and double-clicks lines,
// presses "C&hange", checks and sets the Change port dialog's controls,
// closes that dialog with OK, Cancel or Esc, and closes the sheet with OK,
// Cancel, or Apply and then Cancel. After every sheet it checks PORTMODE in
// every port key. All sheets run one after another in one process, so that
// a page that corrupts the heap or leaves state behind breaks the next one.
//
// usage: pagetest.exe serhubpp.dll [shot-directory]
// With a shot directory the program asks for pictures of the page and of the
// dialog: it writes NAME.req holding the window's screen rectangle and waits
// for NAME.done, which the runner writes after it has taken NAME.png.
// Exit status 0 when every check holds; every failed check prints a line.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

volatile LONG failures = 0;

void expect(bool condition, const char *format, ...) {
  if (condition) return;
  va_list args;
  va_start(args, format);
  printf("FAIL ");
  vprintf(format, args);
  printf("\n");
  va_end(args);
  fflush(stdout);
  InterlockedIncrement(&failures);
}

typedef BOOL(WINAPI *EnumPropPagesProc)(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);
EnumPropPagesProc enum_prop_pages;
const char *shot_dir = nullptr;
DWORD ui_thread = 0;

// ---------------------------------------------------------------------------
// The registry: two cards on the PCI bus and their port devices.

const char kPortEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI";
const char kCardEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_FFFF&DEV_FFFF";
const long kAbsent = -1;

struct PortSetup {
  bool has_key;
  const char *name;  // PORTNAME, or none
  long type;         // PORTTYPE, or kAbsent
  long mode;         // PORTMODE, or kAbsent
};

struct Card {
  const char *instance;  // the card's device instance ID
  const char *location;  // its LocationInformation
  const char *key;       // the six digits the page derives from the location
  int ports;
  PortSetup setup[8];
};

// Card A: a port of each interesting kind. Card B: no port has a COM name.
const Card kCardA = {
    "PCI\\VEN_FFFF&DEV_FFFF\\3&11583659&0&68", "PCI bus 2, device 13, function 0", "020D00", 8,
    {{true, "COM3", 1, 0},
     {true, "COM4", 1, kAbsent},   // no PORTMODE yet: written at the first apply
     {true, nullptr, 1, 2},        // no COM name: no line, never saved
     {true, "COM12", 2, 3},
     {true, "COM5", 0, kAbsent},   // RS232 only: never gets a PORTMODE
     {true, "COM6", 3, kAbsent},   // unknown type: no mode text
     {true, "COM7", 1, 0x101},     // only the low byte counts
     {false, nullptr, kAbsent, kAbsent}}};
const Card kCardB = {"PCI\\VEN_FFFF&DEV_FFFF\\3&11583659&0&0A", "PCI bus 3, device 1, function 2",
                     "030102", 2,
                     {{true, nullptr, 1, kAbsent}, {true, nullptr, 1, kAbsent}}};

std::string port_key(const Card &card, int port) {
  char path[MAX_PATH];
  snprintf(path, sizeof path, "%s\\PCI_SER\\%s%02X\\Device Parameters", kPortEnum, card.key, port);
  return path;
}

void set_dword(HKEY key, const char *name, long value) {
  DWORD data = (DWORD)value;
  expect(RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&data, 4) == ERROR_SUCCESS,
         "RegSetValueExA %s", name);
}

// Creates the card's device node with its location and its Device Parameters
// key holding PORTS, and one device node per port with the port's values.
void install_card(const Card &card) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
  GUID multiport = {0x50906cb8, 0xba12, 0x11d1, {0xbf, 0x5d, 0x00, 0x00, 0xf8, 0x05, 0xf5, 0x30}};
  bool created = SetupDiCreateDeviceInfoA(set, card.instance, &multiport, "Multi-port serial card",
                                          nullptr, 0, &device) &&
                 SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr);
  expect(created, "create the device node %s (error %lu)", card.instance, GetLastError());
  if (created) {
    expect(SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_LOCATION_INFORMATION,
                                             (const BYTE *)card.location,
                                             (DWORD)strlen(card.location) + 1),
           "set LocationInformation of %s (error %lu)", card.instance, GetLastError());
    HKEY key = SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr,
                                       nullptr);
    expect(key != INVALID_HANDLE_VALUE, "create the Device Parameters key of %s", card.instance);
    if (key != INVALID_HANDLE_VALUE) {
      set_dword(key, "PORTS", card.ports);
      RegCloseKey(key);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

// Puts the port keys back into their first state.
void reset_ports(const Card &card) {
  for (int i = 0; i < card.ports; ++i) {
    const PortSetup &port = card.setup[i];
    std::string path = port_key(card, i);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
    if (!port.has_key) continue;
    HKEY key;
    expect(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &key, nullptr) == ERROR_SUCCESS,
           "create %s", path.c_str());
    if (port.name != nullptr) {
      RegSetValueExA(key, "PORTNAME", 0, REG_SZ, (const BYTE *)port.name,
                     (DWORD)strlen(port.name) + 1);
    }
    if (port.type != kAbsent) set_dword(key, "PORTTYPE", port.type);
    if (port.mode != kAbsent) set_dword(key, "PORTMODE", port.mode);
    RegCloseKey(key);
  }
}

// PORTMODE of every port as the registry holds it (kAbsent: no value, or no
// key), checked against what the saving rules leave there.
void expect_modes(const char *when, const Card &card, const std::vector<long> &wanted) {
  for (int i = 0; i < card.ports; ++i) {
    long found = kAbsent;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, port_key(card, i).c_str(), 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
      DWORD type = 0, data = 0, size = sizeof data;
      if (RegQueryValueExA(key, "PORTMODE", nullptr, &type, (BYTE *)&data, &size) ==
          ERROR_SUCCESS) {
        found = (long)data;
        expect(type == REG_DWORD && size == 4, "%s: port %d PORTMODE is of type %lu, size %lu",
               when, i, type, size);
      }
      RegCloseKey(key);
    }
    expect(found == wanted[i], "%s: port %d PORTMODE is %ld, expected %ld", when, i, found,
           wanted[i]);
  }
}

// ---------------------------------------------------------------------------
// Working the sheet from the script thread. Messages that open a modal loop
// are posted; everything else is sent and so runs on the sheet's thread.

bool wait_for(bool (*condition)(void *), void *context, const char *what) {
  for (int i = 0; i < 500; ++i) {
    if (condition(context)) return true;
    Sleep(20);
  }
  expect(false, "timed out waiting for %s", what);
  return false;
}

struct FindDialog {
  const char *caption;
  HWND found;
};

BOOL CALLBACK find_dialog_proc(HWND window, LPARAM context) {
  FindDialog *find = (FindDialog *)context;
  char caption[64] = "";
  GetWindowTextA(window, caption, sizeof caption);
  if (IsWindowVisible(window) && strcmp(caption, find->caption) == 0) {
    find->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND wait_for_dialog(const char *caption) {
  FindDialog find = {caption, nullptr};
  wait_for(
      [](void *context) {
        EnumThreadWindows(ui_thread, find_dialog_proc, (LPARAM)context);
        return ((FindDialog *)context)->found != nullptr;
      },
      &find, caption);
  return find.found;
}

void wait_until_gone(HWND window, const char *what) {
  wait_for([](void *context) { return !IsWindow((HWND)context); }, window, what);
}

std::vector<std::string> list_lines(HWND list) {
  std::vector<std::string> lines;
  LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    char text[256] = "";
    if (SendMessageA(list, LB_GETTEXTLEN, i, 0) < (LRESULT)sizeof text) {
      SendMessageA(list, LB_GETTEXT, i, (LPARAM)text);
    }
    lines.push_back(text);
  }
  return lines;
}

void expect_lines(const char *when, HWND list, const std::vector<std::string> &wanted) {
  std::vector<std::string> lines = list_lines(list);
  expect(lines.size() == wanted.size(), "%s: %u lines, expected %u", when,
         (unsigned)lines.size(), (unsigned)wanted.size());
  for (size_t i = 0; i < lines.size() && i < wanted.size(); ++i) {
    expect(lines[i] == wanted[i], "%s: line %u is \"%s\", expected \"%s\"", when, (unsigned)i,
           lines[i].c_str(), wanted[i].c_str());
  }
}

// A left click (and, for a double click, the second click) on a line, posted
// as the mouse messages a list box gets from a user.
void click_line(HWND list, int line, bool twice) {
  RECT item;
  if (SendMessageA(list, LB_GETITEMRECT, line, (LPARAM)&item) == LB_ERR) {
    SetRect(&item, 0, 0, 8, 8);  // an empty list: click its top corner
  }
  LPARAM where = MAKELPARAM(item.left + 4, (item.top + item.bottom) / 2);
  PostMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, where);
  PostMessageA(list, WM_LBUTTONUP, 0, where);
  if (twice) {
    PostMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, where);
    PostMessageA(list, WM_LBUTTONUP, 0, where);
  }
}

struct ListSelection {
  HWND list;
  int line;
};

void select_line(HWND list, int line) {
  click_line(list, line, false);
  ListSelection selection = {list, line};
  wait_for(
      [](void *context) {
        ListSelection *s = (ListSelection *)context;
        return SendMessageA(s->list, LB_GETCURSEL, 0, 0) == s->line;
      },
      &selection, "the clicked line to be selected");
}

void screenshot(HWND window, const char *name) {
  if (shot_dir == nullptr) return;
  Sleep(300);  // let the sheet's thread paint
  RECT r;
  GetWindowRect(window, &r);
  std::string base = std::string(shot_dir) + "\\" + name;
  FILE *request = fopen((base + ".req").c_str(), "w");
  if (request == nullptr) {
    expect(false, "cannot write %s.req", base.c_str());
    return;
  }
  fprintf(request, "%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
  fclose(request);
  std::string done = base + ".done";
  wait_for([](void *path) { return GetFileAttributesA((const char *)path) != INVALID_FILE_ATTRIBUTES; },
           (void *)done.c_str(), "a screenshot");
}

// The state of the Change port dialog's controls.
struct DialogState {
  bool combo_enabled;
  std::string combo_text;  // the selected COM name; "" without a selection
  int combo_count;
  bool auto_enabled, auto_checked;
  bool radio_enabled[4], radio_checked[4];
};

DialogState read_dialog(HWND dialog) {
  DialogState s;
  HWND combo = GetDlgItem(dialog, 1002);
  s.combo_enabled = IsWindowEnabled(combo);
  s.combo_count = (int)SendMessageA(combo, CB_GETCOUNT, 0, 0);
  LRESULT selected = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  char text[64] = "";
  if (selected != CB_ERR) SendMessageA(combo, CB_GETLBTEXT, selected, (LPARAM)text);
  s.combo_text = text;
  HWND automatic = GetDlgItem(dialog, 1005);
  s.auto_enabled = IsWindowEnabled(automatic);
  s.auto_checked = SendMessageA(automatic, BM_GETCHECK, 0, 0) == BST_CHECKED;
  for (int m = 0; m < 4; ++m) {
    HWND radio = GetDlgItem(dialog, 1007 + m);
    s.radio_enabled[m] = radio != nullptr && IsWindowEnabled(radio);
    s.radio_checked[m] = SendMessageA(radio, BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  return s;
}

// enabled and checked: four characters each, '1' or '0' for RS232, RS485
// HALF, RS485 FULL and RS422.
void expect_dialog(const char *when, HWND dialog, const char *com, const char *enabled,
                   const char *checked) {
  DialogState s = read_dialog(dialog);
  expect(!s.combo_enabled && s.combo_count == 256, "%s: combo enabled %d with %d entries", when,
         s.combo_enabled, s.combo_count);
  expect(s.combo_text == com, "%s: combo shows \"%s\", expected \"%s\"", when,
         s.combo_text.c_str(), com);
  expect(!s.auto_enabled && !s.auto_checked, "%s: Auto enum enabled %d checked %d", when,
         s.auto_enabled, s.auto_checked);
  for (int m = 0; m < 4; ++m) {
    expect(s.radio_enabled[m] == (enabled[m] == '1'), "%s: radio %d enabled %d", when, 1007 + m,
           s.radio_enabled[m]);
    expect(s.radio_checked[m] == (checked[m] == '1'), "%s: radio %d checked %d", when, 1007 + m,
           s.radio_checked[m]);
  }
}

enum Open { kChangeButton, kDoubleClick };
enum Close { kOk, kCancel, kEscape };

// Opens the Change port dialog for a line, checks its controls, optionally
// picks a mode, and closes it.
void change_port(HWND page, int line, Open how, const char *com, const char *enabled,
                 const char *checked, int pick, Close close, const char *shot = nullptr) {
  HWND list = GetDlgItem(page, 1000);
  if (how == kChangeButton) {
    select_line(list, line);
    PostMessageA(GetDlgItem(page, 1001), BM_CLICK, 0, 0);
  } else {
    click_line(list, line, true);
  }
  HWND dialog = wait_for_dialog("Change port");
  if (dialog == nullptr) return;
  char when[64];
  snprintf(when, sizeof when, "Change port for line %d", line);
  expect(GetWindow(dialog, GW_OWNER) == GetParent(page),
         "%s: the dialog is not owned by the sheet", when);
  expect_dialog(when, dialog, com, enabled, checked);
  if (shot != nullptr) screenshot(dialog, shot);
  if (pick >= 0) {
    SendMessageA(GetDlgItem(dialog, 1007 + pick), BM_CLICK, 0, 0);
    for (int m = 0; m < 4; ++m) {
      bool checked_now = SendMessageA(GetDlgItem(dialog, 1007 + m), BM_GETCHECK, 0, 0) == BST_CHECKED;
      expect(checked_now == (m == pick), "%s: after the click radio %d checked %d", when,
             1007 + m, checked_now);
    }
  }
  switch (close) {
    case kOk:
      SendMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
      break;
    case kCancel:
      SendMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
      break;
    case kEscape:
      PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
      break;
  }
  wait_until_gone(dialog, "the Change port dialog to close");
}

void expect_selection(const char *when, HWND page, int line) {
  LRESULT selected = SendMessageA(GetDlgItem(page, 1000), LB_GETCURSEL, 0, 0);
  expect(selected == line, "%s: line %ld selected, expected %d", when, (long)selected, line);
}

void close_sheet(HWND sheet, int button) {
  PostMessageA(GetDlgItem(sheet, button), BM_CLICK, 0, 0);
  wait_for([](void *s) { return PropSheet_GetCurrentPageHwnd((HWND)s) == nullptr; }, sheet,
           "the sheet to close");
}

// ---------------------------------------------------------------------------
// The sheets.

const char kLine1[] = "port-1    COM3      RS485_HALF";
const char kLine2[] = "port-2    COM4      RS485_HALF";
const char kLine4[] = "port-4    COM12     RS422";
const char kLine5[] = "port-5    COM5      RS232";
const char kLine6[] = "port-6    COM6      ";
const char kLine7[] = "port-7    COM7      RS485_HALF";

// Sheet 1 on card A, closed with OK.
void sheet_changes_then_ok(HWND sheet, HWND page) {
  HWND list = GetDlgItem(page, 1000);
  expect_lines("card A at load", list, {kLine1, kLine2, kLine4, kLine5, kLine6, kLine7});
  expect(IsWindowEnabled(GetDlgItem(page, 1001)), "C&hange is disabled with six lines");
  expect_selection("card A at load", page, 0);
  screenshot(sheet, "ports-page");

  // Port 1 (multi-mode, RS485 HALF) to RS422 with the button.
  change_port(page, 0, kChangeButton, "COM3", "0111", "0100", 3, kOk, "change-port");
  expect_lines("after port 1 became RS422", list,
               {"port-1    COM3      RS422", kLine2, kLine4, kLine5, kLine6, kLine7});
  expect_selection("after port 1 became RS422", page, 0);

  // Port 4 (all modes, RS422): RS232 picked, then Cancel.
  change_port(page, 2, kDoubleClick, "COM12", "1111", "0001", 0, kCancel);
  // Port 5 (RS232 only): everything disabled; Esc.
  change_port(page, 3, kChangeButton, "COM5", "0000", "1000", -1, kEscape);
  // Port 6 (unknown type): all four enabled, none checked; OK without a
  // choice keeps the line as it is (no mode text) and stores RS232.
  change_port(page, 4, kDoubleClick, "COM6", "1111", "0000", -1, kOk);
  expect_lines("after the Cancel, Esc and the OK without a choice", list,
               {"port-1    COM3      RS422", kLine2, kLine4, kLine5, kLine6, kLine7});
  expect_selection("after OK on line 4", page, 4);

  close_sheet(sheet, IDOK);
}

// Sheet 2 on card A: a change, then Cancel: nothing is written.
void sheet_change_then_cancel(HWND sheet, HWND page) {
  HWND list = GetDlgItem(page, 1000);
  expect_lines("card A in sheet 2", list,
               {"port-1    COM3      RS422", kLine2, kLine4, kLine5, kLine6, kLine7});
  change_port(page, 1, kDoubleClick, "COM4", "0111", "0100", 2, kOk);
  expect_lines("after port 2 became RS485 FULL", list,
               {"port-1    COM3      RS422", "port-2    COM4      RS485_FULL", kLine4, kLine5,
                kLine6, kLine7});
  close_sheet(sheet, IDCANCEL);
}

// Sheet 3 on card A: a change, Apply, another change, then Cancel: both are
// written when the page is released.
void sheet_apply_then_cancel(HWND sheet, HWND page) {
  change_port(page, 1, kChangeButton, "COM4", "0111", "0100", 2, kOk);
  // The page never enables Apply itself; on Device Manager's sheet another
  // page does. The button is pressed as a user presses it.
  PropSheet_Changed(sheet, page);
  HWND apply = GetDlgItem(sheet, 0x3021);  // the sheet's Apply button
  expect(apply != nullptr && IsWindowEnabled(apply), "Apply is not enabled");
  SendMessageA(apply, BM_CLICK, 0, 0);
  change_port(page, 5, kDoubleClick, "COM7", "0111", "0100", 3, kOk);
  expect_lines("after the Apply and the change behind it", GetDlgItem(page, 1000),
               {"port-1    COM3      RS422", "port-2    COM4      RS485_FULL", kLine4, kLine5,
                kLine6, "port-7    COM7      RS422"});
  close_sheet(sheet, IDCANCEL);
}

// Sheet 4 on card B: no port has a COM name.
void sheet_without_lines(HWND sheet, HWND page) {
  HWND list = GetDlgItem(page, 1000);
  expect_lines("card B", list, {});
  expect(!IsWindowEnabled(GetDlgItem(page, 1001)), "C&hange is enabled on an empty list");
  // A double click on the empty list opens the dialog for port 1. Without a
  // COM name its type was not read either: RS232 only, no combo entry
  // selected, and OK keeps the port unnamed, so it is not saved.
  change_port(page, 0, kDoubleClick, "", "0000", "1000", -1, kOk);
  expect_lines("card B after OK", list, {});
  close_sheet(sheet, IDOK);
}

// ---------------------------------------------------------------------------
// One sheet: the pages come from EnumPropPages for the card's device, as
// Device Manager gets them; the script works the sheet from another thread.

typedef void (*Script)(HWND sheet, HWND page);

struct ScriptRun {
  Script script;
  HWND sheet;
};

DWORD WINAPI script_thread(void *context) {
  ScriptRun *run = (ScriptRun *)context;
  HWND page = PropSheet_GetCurrentPageHwnd(run->sheet);
  expect(page != nullptr, "the sheet shows no page");
  if (page != nullptr) run->script(run->sheet, page);
  return 0;
}

BOOL CALLBACK add_page(HPROPSHEETPAGE page, LPARAM context) {
  ((std::vector<HPROPSHEETPAGE> *)context)->push_back(page);
  return TRUE;
}

void run_sheet(const char *name, const Card &card, Script script) {
  printf("sheet: %s\n", name);
  fflush(stdout);
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
  if (!SetupDiOpenDeviceInfoA(set, card.instance, nullptr, 0, &device)) {
    expect(false, "%s: SetupDiOpenDeviceInfoA %s (error %lu)", name, card.instance,
           GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    return;
  }
  SP_PROPSHEETPAGE_REQUEST request = {sizeof request, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, set,
                                      &device};
  std::vector<HPROPSHEETPAGE> pages;
  expect(enum_prop_pages(&request, add_page, (LPARAM)&pages) == TRUE, "%s: EnumPropPages",
         name);
  expect(pages.size() == 1, "%s: %u pages, expected 1", name, (unsigned)pages.size());
  if (pages.size() != 1) {
    SetupDiDestroyDeviceInfoList(set);
    return;
  }

  PROPSHEETHEADERA header;
  ZeroMemory(&header, sizeof header);
  header.dwSize = sizeof header;
  header.dwFlags = PSH_MODELESS | PSH_NOCONTEXTHELP;
  header.pszCaption = "Multi-port serial card Properties";
  header.nPages = 1;
  header.phpage = pages.data();
  HWND sheet = (HWND)PropertySheetA(&header);
  expect(sheet != nullptr && sheet != (HWND)-1, "%s: PropertySheetA", name);
  if (sheet == nullptr || sheet == (HWND)-1) {
    SetupDiDestroyDeviceInfoList(set);
    return;
  }
  char tab[64] = "";
  TCITEMA item = {};
  item.mask = TCIF_TEXT;
  item.pszText = tab;
  item.cchTextMax = sizeof tab;
  SendMessageA(PropSheet_GetTabControl(sheet), TCM_GETITEMA, 0, (LPARAM)&item);
  expect(strcmp(tab, "Ports") == 0, "%s: the tab reads \"%s\"", name, tab);

  ScriptRun run = {script, sheet};
  HANDLE thread = CreateThread(nullptr, 0, script_thread, &run, 0, nullptr);
  while (MsgWaitForMultipleObjects(1, &thread, FALSE, 5000, QS_ALLINPUT) != WAIT_OBJECT_0) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (!PropSheet_IsDialogMessage(sheet, &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    }
  }
  CloseHandle(thread);
  expect(PropSheet_GetCurrentPageHwnd(sheet) == nullptr, "%s: the sheet is still open", name);
  // A modeless sheet is destroyed by its owner; the pages are released then.
  DestroyWindow(sheet);
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    printf("usage: %s serhubpp.dll [shot-directory]\n", argv[0]);
    return 2;
  }
  if (argc == 3) shot_dir = argv[2];
  setvbuf(stdout, nullptr, _IONBF, 0);
  ui_thread = GetCurrentThreadId();
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  HMODULE module = LoadLibraryA(argv[1]);
  if (module == nullptr) {
    printf("FAIL LoadLibraryA %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  enum_prop_pages = (EnumPropPagesProc)(void *)GetProcAddress(module, "EnumPropPages");
  if (enum_prop_pages == nullptr) {
    printf("FAIL EnumPropPages is not exported\n");
    return 1;
  }

  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPortEnum);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kCardEnum);
  install_card(kCardA);
  install_card(kCardB);
  reset_ports(kCardA);
  reset_ports(kCardB);

  run_sheet("changes, then OK", kCardA, sheet_changes_then_ok);
  // Port 1 became RS422; port 2 got its first PORTMODE, the record's 0,
  // although its line reads RS485_HALF; ports 3 (no COM name), 4 (unchanged),
  // 5 (RS232 only) and 7 (same low byte) were not written; port 6 got RS232.
  const std::vector<long> after_ok = {3, 0, 2, 3, kAbsent, 0, 0x101, kAbsent};
  expect_modes("after OK", kCardA, after_ok);

  run_sheet("a change, then Cancel", kCardA, sheet_change_then_cancel);
  expect_modes("after Cancel", kCardA, after_ok);

  run_sheet("Apply, a change, then Cancel", kCardA, sheet_apply_then_cancel);
  expect_modes("after Apply and Cancel", kCardA, {3, 2, 2, 3, kAbsent, 0, 3, kAbsent});

  run_sheet("no port with a COM name", kCardB, sheet_without_lines);
  expect_modes("card B after OK", kCardB, {kAbsent, kAbsent});

  // Once more on card A from its first state: nothing of the earlier sheets
  // may linger in the DLL.
  reset_ports(kCardA);
  run_sheet("card A again", kCardA, [](HWND sheet, HWND page) {
    expect_lines("card A again", GetDlgItem(page, 1000),
                 {kLine1, kLine2, kLine4, kLine5, kLine6, kLine7});
    close_sheet(sheet, IDCANCEL);
  });
  expect_modes("card A again, cancelled", kCardA, {0, kAbsent, 2, 3, kAbsent, kAbsent, 0x101, kAbsent});

  FreeLibrary(module);
  printf("%s\n", failures == 0 ? "all sheets behaved as expected" : "FAILED");
  return failures == 0 ? 0 : 1;
}
