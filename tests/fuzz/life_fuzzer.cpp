// Whole lives driven by a byte stream: a card model, then Plug and Play
// requests in any order the Plug and Play manager may send them, power
// requests to the card and its ports, ports removed and reported again, and
// property sheet sessions (a line changed, the sheet closed with OK, Apply
// or Cancel), until the card is removed and the driver unloads. Afterwards
// the platform must find nothing: no leak, no broken rule, no crash.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "host/machine.h"
#include "serhubpp.h"
#include "serhubpp_res.h"
#include "win32/host_win32.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

void PageSession(host::DeviceNode& node, FuzzedDataProvider& in) {
  host::PropertySheet sheet("Card properties");
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA dev = {};
  dev.cbSize = sizeof dev;
  if (SetupDiOpenDeviceInfoA(set, node.InstancePath().c_str(), nullptr, 0, &dev)) {
    SP_PROPSHEETPAGE_REQUEST request = {};
    request.cbSize = sizeof request;
    request.PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES;
    request.DeviceInfoSet = set;
    request.DeviceInfoData = &dev;
    EnumPropPages(&request, sheet.AddPageCallback(), sheet.AddPageParam());
    if (sheet.PageCount() == 1 && sheet.Show()) {
      const auto lines = host::ListItems(GetDlgItem(sheet.PageWindow(0), 1000));
      if (!lines.empty()) {
        const int line = in.ConsumeIntegralInRange<int>(0, static_cast<int>(lines.size()) - 1);
        host::User().DoubleClickListItem(1000, line).Click(1007 + in.ConsumeIntegralInRange<int>(0, 3));
        host::User().Click(in.ConsumeBool() ? IDOK : IDCANCEL);
        sheet.Run();
      }
      switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: sheet.PressOk(); break;
        case 1: sheet.MarkChanged(); sheet.PressApply(); sheet.PressCancel(); break;
        default: sheet.PressCancel(); break;
      }
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

// A started port, as the power manager and the user reach only those.
host::DeviceNode* Port(host::DeviceNode& node, FuzzedDataProvider& in) {
  std::vector<host::DeviceNode*> ports;
  for (host::DeviceNode* port : node.Children())
    if (port->State() == host::NodeState::Started) ports.push_back(port);
  if (ports.empty()) return nullptr;
  return ports[in.ConsumeIntegralInRange<size_t>(0, ports.size() - 1)];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HINSTANCE module =
      host::CreateResourceModule(serhubpp::kResourceBytes, serhubpp::kResourceSize);
  FuzzedDataProvider in(data, size);
  static const host::CardModel kModels[] = {
      host::CardModel::Ports2,          host::CardModel::Ports4,          host::CardModel::Ports8,
      host::CardModel::Ports16,         host::CardModel::Ports2MultiMode, host::CardModel::Ports4MultiMode,
      host::CardModel::Ports32,         host::CardModel::Ports32MemoryBar};
  host::CardSetup setup = host::SetupFor(in.PickValueInArray(kModels));
  setup.uart.memorySpace = setup.intc.memorySpace = in.ConsumeBool();

  fuzz::Begin();
  LibMain(module, DLL_PROCESS_ATTACH, nullptr);
  if (host::LoadDriver(DriverEntry, "serhub") != STATUS_SUCCESS) fuzz::Fail("load");
  host::Card& card = host::CreateCard(setup);
  // The 32-port card's expansion modules: each fitted or not.
  for (int m = 0; m < 4; ++m) card.SetModuleFitted(m, in.ConsumeIntegralInRange<int>(0, 3) != 0);
  host::DeviceNode& node = host::BringUpCard(card, 2, 13, 1);

  using S = host::NodeState;
  for (int steps = 0; steps < 64 && in.remaining_bytes() > 0; ++steps) {
    const S state = node.State();
    if (state == S::Removed || state == S::AddFailed || state == S::StartFailed) break;
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
      case 0:
        if (state == S::Started || state == S::Stopped) host::QueryBusRelations(node);
        break;
      case 1:
        if (state == S::Started) host::QueryStop(node);
        break;
      case 2:
        if (state == S::QueryStopped) host::CancelStop(node);
        break;
      case 3:
        if (state == S::QueryStopped) host::StopDevice(node);
        break;
      case 4:
        if (state == S::Stopped) host::StartDevice(node);
        break;
      case 5:
        if (state == S::Started) host::QueryRemove(node);
        break;
      case 6:
        if (state == S::QueryRemoved) host::CancelRemove(node);
        break;
      case 7:
        if (state == S::QueryRemoved) host::RemoveDevice(node);
        break;
      case 8:
        host::UnplugCard(node);
        break;
      case 9:
        if (state == S::Started) {
          if (host::DeviceNode* port = Port(node, in)) host::RemoveChild(*port);
        }
        break;
      case 10:
        if (host::DeviceNode* port = Port(node, in)) {
          static const DEVICE_POWER_STATE kStates[] = {PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
                                                       PowerDeviceD3};
          const DEVICE_POWER_STATE d = in.PickValueInArray(kStates);
          if (in.ConsumeBool()) host::QueryDevicePower(*port, d);
          host::SetDevicePower(*port, d);
        }
        break;
      case 11: {
        static const SYSTEM_POWER_STATE kStates[] = {PowerSystemWorking, PowerSystemSleeping1,
                                                     PowerSystemSleeping3, PowerSystemHibernate};
        const SYSTEM_POWER_STATE s = in.PickValueInArray(kStates);
        host::DeviceNode* target = in.ConsumeBool() ? &node : Port(node, in);
        if (target == nullptr) break;
        if (in.ConsumeBool()) host::QuerySystemPower(*target, s);
        host::SetSystemPower(*target, s);
        host::SetSystemPower(*target, PowerSystemWorking, PowerActionNone);
        break;
      }
      case 12:
        if (host::DeviceNode* port = Port(node, in)) host::WaitWake(*port, PowerSystemSleeping3);
        break;
      case 13:
        if (state == S::Started) host::DisableDevice(node);
        break;
      case 14:
        if (state == S::Disabled) host::EnableDevice(node);
        for (host::DeviceNode* port : node.Children())
          if (port->State() == S::Disabled && in.ConsumeBool()) host::EnableDevice(*port);
        break;
      default:
        if (state == S::Started || state == S::Stopped) PageSession(node, in);
        break;
    }
  }
  host::TearDownMachine();
  fuzz::End();
  return 0;
}
