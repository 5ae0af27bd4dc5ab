// The registry values the property page reads, of any type and size, NUL or
// no NUL: the card's location text and port count, and every port's
// PORTNAME, PORTTYPE and PORTMODE. The page is opened, a line changed when
// there is one, and the sheet closed with OK: nothing is read or written out
// of bounds, nothing leaks, and the only values written are 4-byte
// REG_DWORD PORTMODE values in the card's port keys.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "registry.h"
#include "serhubpp.h"
#include "serhubpp_res.h"
#include "win32/host_win32.h"

namespace {

constexpr char kCard[] = "PCI\\VEN_7A5E&DEV_0C40&SUBSYS_00084B51&REV_00\\3&1&0&68";
constexpr char kEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr char kPorts[] = "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\";

// A value of any type and content, or none.
void FuzzValue(FuzzedDataProvider& in, const std::string& key, const char* name,
               const std::vector<uint8_t>& usual, uint32_t usualType) {
  auto& store = host::RegistryStore::Instance();
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return;  // missing
    case 1:
      store.SetValue(key, name, usualType, usual.data(), usual.size());
      return;
    default: {
      static const uint32_t kTypes[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY,
                                        REG_DWORD, REG_MULTI_SZ, REG_QWORD, 0x12345678};
      const uint32_t type = in.PickValueInArray(kTypes);
      std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 600));
      store.SetValue(key, name, type, bytes.data(), bytes.size());
    }
  }
}

std::vector<uint8_t> Utf16(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::vector<uint8_t> Dword(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HINSTANCE module =
      host::CreateResourceModule(serhubpp::kResourceBytes, serhubpp::kResourceSize);
  FuzzedDataProvider in(data, size);
  fuzz::Begin();
  LibMain(module, DLL_PROCESS_ATTACH, nullptr);
  auto& store = host::RegistryStore::Instance();
  const std::string card = std::string(kEnum) + kCard;
  store.CreateKey(card + "\\Device Parameters");
  const int bus = in.ConsumeIntegralInRange<int>(0, 300), device = in.ConsumeIntegralInRange<int>(0, 31),
            function = in.ConsumeIntegralInRange<int>(0, 7);
  char location[64];
  std::snprintf(location, sizeof location, "PCI bus %d, device %d, function %d", bus, device, function);
  FuzzValue(in, card, "LocationInformation", Utf16(location), REG_SZ);
  FuzzValue(in, card + "\\Device Parameters", "PORTS", Dword(in.ConsumeIntegralInRange<uint32_t>(0, 33)),
            REG_DWORD);
  const int ports = in.ConsumeIntegralInRange<int>(0, 33);
  for (int i = 0; i < ports; ++i) {
    char key[160];
    std::snprintf(key, sizeof key, "%s%02X%02X%02X%02X\\Device Parameters", kPorts, bus & 0xFF,
                  device & 0xFF, function & 0xFF, i);
    store.CreateKey(key);
    FuzzValue(in, key, "PORTNAME", Utf16("COM" + std::to_string(3 + i)), REG_SZ);
    FuzzValue(in, key, "PORTTYPE", Dword(in.ConsumeIntegralInRange<uint32_t>(0, 3)), REG_DWORD);
    FuzzValue(in, key, "PORTMODE", Dword(in.ConsumeIntegralInRange<uint32_t>(0, 4)), REG_DWORD);
  }
  const int mode = in.ConsumeIntegralInRange<int>(0, 3);
  store.ClearWriteLog();

  {
    host::PropertySheet sheet("Card properties");
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA dev = {};
    dev.cbSize = sizeof dev;
    fuzz::Check(SetupDiOpenDeviceInfoA(set, kCard, nullptr, 0, &dev), "the card's device");
    SP_PROPSHEETPAGE_REQUEST request = {};
    request.cbSize = sizeof request;
    request.PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES;
    request.DeviceInfoSet = set;
    request.DeviceInfoData = &dev;
    EnumPropPages(&request, sheet.AddPageCallback(), sheet.AddPageParam());
    if (sheet.PageCount() == 1 && sheet.Show()) {
      const auto lines = host::ListItems(GetDlgItem(sheet.PageWindow(0), 1000));
      if (!lines.empty()) {
        host::User().DoubleClickListItem(1000, 0).Click(1007 + mode).Click(IDOK);
        sheet.Run();
      }
      sheet.PressOk();
    }
    SetupDiDestroyDeviceInfoList(set);
  }
  for (const auto& write : store.WriteLog()) {
    fuzz::Check(host::RegistryStore::NamesEqual(write.value.name, "PORTMODE"), "wrote " + write.value.name);
    fuzz::Check(write.path.rfind(kPorts, 0) == 0, "wrote outside the port keys: " + write.path);
    fuzz::Check(write.value.type == REG_DWORD && write.value.data.size() == 4, "PORTMODE not a DWORD");
  }
  fuzz::End();
  return 0;
}
