#include "propui_test.h"

#include "serhubpp_res.h"

// The DLL's code in this executable is built with the address sanitizer.
// Leaks are the stand-in's to count (LocalAlloc blocks, keys, windows), and
// the sanitizer's own leak check does not run everywhere (not under ptrace).
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace propui_test {

namespace {

HINSTANCE ShippedModule() {
  static HINSTANCE module =
      host::CreateResourceModule(serhubpp::kResourceBytes, serhubpp::kResourceSize);
  return module;
}

}  // namespace

void PropUiTest::SetUp() {
  PlatformTest::SetUp();
  module_ = ShippedModule();
  ASSERT_NE(module_, nullptr) << "the compiled resources do not make a module";
  ASSERT_TRUE(LibMain(module_, DLL_PROCESS_ATTACH, nullptr));
}

void PropUiTest::TearDown() {
  host::SetMessageHook(nullptr);
  if (set_ != nullptr) {
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set_));
    set_ = nullptr;
  }
  PlatformTest::TearDown();
}

std::string PropUiTest::CardKey() {
  return std::string("SYSTEM\\CurrentControlSet\\Enum\\") + kCardInstance;
}

std::string PropUiTest::CardParamsKey() { return CardKey() + "\\Device Parameters"; }

std::string PropUiTest::PortKey(int index, const std::string& locationKey) {
  char path[300];
  wsprintfA(path, SERHUB_PORT_KEY_FORMAT, locationKey.c_str(), index);
  return path;
}

void PropUiTest::AddCard(std::optional<uint32_t> ports, const std::string& location) {
  Reg().CreateKey(CardParamsKey());
  ASSERT_TRUE(Reg().KeyExists(CardParamsKey()));
  ASSERT_TRUE(Reg().SetString(CardKey(), "LocationInformation", location));
  if (ports) {
    ASSERT_TRUE(Reg().SetDword(CardParamsKey(), "PORTS", *ports));
  }
}

void PropUiTest::AddPort(int index, std::optional<std::string> name,
                         std::optional<uint32_t> type, std::optional<uint32_t> mode,
                         const std::string& locationKey) {
  std::string key = PortKey(index, locationKey);
  Reg().CreateKey(key);
  ASSERT_TRUE(Reg().KeyExists(key));
  if (name) {
    ASSERT_TRUE(Reg().SetString(key, SERHUB_PORTNAME_A, *name));
  }
  if (type) {
    ASSERT_TRUE(Reg().SetDword(key, SERHUB_PORTTYPE_A, *type));
  }
  if (mode) {
    ASSERT_TRUE(Reg().SetDword(key, SERHUB_PORTMODE_A, *mode));
  }
}

BOOL PropUiTest::Enumerate(host::PropertySheet& sheet, DWORD pageRequested) {
  if (set_ == nullptr) {
    set_ = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    EXPECT_NE(set_, INVALID_HANDLE_VALUE);
    device_ = {};
    device_.cbSize = sizeof(device_);
    EXPECT_TRUE(SetupDiOpenDeviceInfoA(set_, kCardInstance, nullptr, 0, &device_));
  }
  SP_PROPSHEETPAGE_REQUEST request = {};
  request.cbSize = sizeof(request);
  request.PageRequested = pageRequested;
  request.DeviceInfoSet = set_;
  request.DeviceInfoData = &device_;
  return EnumPropPages(&request, sheet.AddPageCallback(), sheet.AddPageParam());
}

void PropUiTest::OpenPage(host::PropertySheet& sheet) {
  ASSERT_TRUE(Enumerate(sheet));
  ASSERT_EQ(sheet.PageCount(), 1u);
  ASSERT_TRUE(sheet.Show());
  ASSERT_NE(sheet.PageWindow(0), nullptr);
}

HWND PropUiTest::PortList(host::PropertySheet& sheet) {
  return GetDlgItem(sheet.PageWindow(0), IDC_PORT_LIST);
}

std::vector<std::string> PropUiTest::Lines(host::PropertySheet& sheet) {
  return host::ListItems(PortList(sheet));
}

LRESULT PropUiTest::SelectedLine(host::PropertySheet& sheet) {
  return SendMessageA(PortList(sheet), LB_GETCURSEL, 0, 0);
}

bool PropUiTest::ChangeEnabled(host::PropertySheet& sheet) {
  return IsWindowEnabled(GetDlgItem(sheet.PageWindow(0), IDC_CHANGE)) != FALSE;
}

PPORT_PAGE_DATA PropUiTest::Record(host::PropertySheet& sheet) {
  auto* window = reinterpret_cast<PPAGE_WINDOW_DATA>(
      GetWindowLongPtrA(sheet.PageWindow(0), DWLP_USER));
  return window == nullptr ? nullptr : window->PageData;
}

void PropUiTest::WatchChangePort() {
  host::SetMessageHook([this](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    if (GetDlgItem(hwnd, IDC_COM_COMBO) == nullptr) return;  // not the Change port dialog
    if (message == WM_INITDIALOG) {
      ++changePortDialogs_;
      return;
    }
    if (message != WM_COMMAND || (wParam != IDOK && wParam != IDCANCEL)) return;
    ChangePortView view;
    view.seen = true;
    for (int m = 0; m < 4; ++m) {
      HWND radio = GetDlgItem(hwnd, IDC_MODE_RS232 + m);
      view.radioEnabled[m] = IsWindowEnabled(radio) != FALSE;
      view.radioChecked[m] = SendMessageA(radio, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    HWND combo = GetDlgItem(hwnd, IDC_COM_COMBO);
    view.comboEnabled = IsWindowEnabled(combo) != FALSE;
    view.comboSelection = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    std::vector<std::string> entries = host::ListItems(combo);
    view.comboCount = static_cast<LRESULT>(entries.size());
    if (!entries.empty()) {
      view.comboFirst = entries.front();
      view.comboLast = entries.back();
    }
    if (view.comboSelection >= 0 && view.comboSelection < view.comboCount) {
      view.comboSelectedText = entries[view.comboSelection];
    }
    HWND autoEnum = GetDlgItem(hwnd, IDC_AUTO_ENUM);
    view.autoEnumEnabled = IsWindowEnabled(autoEnum) != FALSE;
    view.autoEnumChecked = SendMessageA(autoEnum, BM_GETCHECK, 0, 0) == BST_CHECKED;
    view.userSlot = GetWindowLongPtrA(hwnd, DWLP_USER);
    view.dlgProcSlot = GetWindowLongPtrA(hwnd, DWLP_DLGPROC);
    view_ = view;
  });
}

}  // namespace propui_test
