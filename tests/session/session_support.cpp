#include "session_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "buffer_contract.h"
#include "serhubpp_res.h"

namespace session {

void SessionTest::SetUp() {
  testsupport::PlatformTest::SetUp();
  testsupport::ExpectBufferContract();
  ASSERT_EQ(STATUS_SUCCESS, host::LoadDriver(DriverEntry, kService));
  ASSERT_TRUE(LibMain(DllModule(), DLL_PROCESS_ATTACH, nullptr));
}

void SessionTest::TearDown() {
  host::TearDownMachine();
  testsupport::PlatformTest::TearDown();
}

HINSTANCE DllModule() {
  static HINSTANCE module =
      host::CreateResourceModule(serhubpp::kResourceBytes, serhubpp::kResourceSize);
  return module;
}

std::string InstanceId(ULONG bus, ULONG device, ULONG function, ULONG port) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", bus & 0xFF, device & 0xFF,
                function & 0xFF, port & 0xFF);
  return text;
}

std::string PortKey(const std::string& instanceId) {
  return "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\" + instanceId +
         "\\Device Parameters";
}

ULONG PortIndexOf(const host::DeviceNode& port) {
  const std::string& id = port.instanceId;
  if (id.size() != 8) return 0xFFFFFFFF;
  return static_cast<ULONG>(std::strtoul(id.substr(6).c_str(), nullptr, 16));
}

size_t DriverDeviceCount(const std::string& service) {
  PDRIVER_OBJECT driver = host::LoadedDriver(service);
  size_t count = 0;
  for (PDEVICE_OBJECT d = driver ? driver->DeviceObject : nullptr; d != nullptr;
       d = d->NextDevice) {
    ++count;
  }
  return count;
}

std::vector<host::RegWrite> WritesOf(const std::string& valueName) {
  std::vector<host::RegWrite> writes;
  for (const auto& write : host::RegistryStore::Instance().WriteLog()) {
    if (host::RegistryStore::NamesEqual(write.value.name, valueName)) writes.push_back(write);
  }
  return writes;
}

std::string ListLine(int portNumber, int comNumber, const std::string& modeText) {
  std::string line = "port-" + std::to_string(portNumber);
  line.resize(std::max<size_t>(line.size(), 10), ' ');
  line += "COM" + std::to_string(comNumber);
  line.resize(std::max<size_t>(line.size(), 20), ' ');
  return line + modeText;
}

CardSheet::CardSheet(const host::DeviceNode& card)
    : sheet_(std::make_unique<host::PropertySheet>("Card properties")) {
  set_ = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  device_.cbSize = sizeof device_;
  opened_ = SetupDiOpenDeviceInfoA(set_, card.InstancePath().c_str(), nullptr, 0, &device_) != FALSE;
  if (!opened_) return;
  SP_PROPSHEETPAGE_REQUEST request = {};
  request.cbSize = sizeof request;
  request.PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES;
  request.DeviceInfoSet = set_;
  request.DeviceInfoData = &device_;
  offered_ = EnumPropPages(&request, sheet_->AddPageCallback(), sheet_->AddPageParam());
}

CardSheet::~CardSheet() {
  sheet_.reset();
  if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
}

std::vector<std::string> CardSheet::Show() {
  EXPECT_TRUE(sheet_->Show());
  return Lines();
}

std::vector<std::string> CardSheet::Lines() const {
  HWND page = sheet_->PageWindow(0);
  if (page == nullptr) return {};
  return host::ListItems(GetDlgItem(page, kPortList));
}

void CardSheet::ChangeLine(int line, int mode, std::string* comShown) {
  host::UserScript& user = host::User().DoubleClickListItem(kPortList, line);
  if (comShown != nullptr) {
    user.Inspect([comShown](HWND dialog) {
      HWND combo = GetDlgItem(dialog, kComCombo);
      LRESULT selected = SendMessageA(combo, CB_GETCURSEL, 0, 0);
      std::vector<std::string> entries = host::ListItems(combo);
      *comShown = selected >= 0 && static_cast<size_t>(selected) < entries.size()
                      ? entries[static_cast<size_t>(selected)]
                      : std::string();
    });
  }
  user.Click(kRs232Radio + mode).Click(IDOK);
  sheet_->Run();
}

}  // namespace session
