// A machine with the cards plugged in, the events run on them as the Plug and
// Play manager, the power manager and a user at Device Manager would, and the
// end of the run: every card still present removed, the driver unloaded.
#include "life.h"

#include <map>
#include <memory>

#include "host/io.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "serhub_registry.h"
#include "serhubpp_res.h"
#include "win32/host_win32.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern "C" BOOL WINAPI LibMain(HINSTANCE Module, DWORD Reason, LPVOID Reserved);
extern "C" BOOL WINAPI EnumPropPages(PSP_PROPSHEETPAGE_REQUEST Request,
                                     LPFNADDPROPSHEETPAGE AddPage, LPARAM Param);

namespace sim {
namespace {

constexpr int kPortList = 1000;
constexpr int kChangeButton = 1001;
constexpr int kFirstModeButton = 1007;

std::string Status(NTSTATUS status) { return host::StatusText(status); }
std::string Bool(BOOL value) { return value ? "TRUE" : "FALSE"; }

// The "Ports" page of one card as Device Manager holds it while the card's
// properties are open.
struct Sheet {
  HDEVINFO set = INVALID_HANDLE_VALUE;
  std::unique_ptr<host::PropertySheet> sheet;
};

struct Slot {
  host::Card* card = nullptr;
  host::DeviceNode* node = nullptr;
  Sheet page;
  bool asleep = false;
};

class Life {
 public:
  explicit Life(const Options& options) : options_(options) {}

  RunResult Run() {
    auto& store = host::RegistryStore::Instance();
    store.Reset();
    host::ResetKernel();
    host::ResetIo();
    host::ResetMachine();
    host::ResetWin32();
    if (options_.registry) ApplyRegFile(*options_.registry, store);

    result_.driverEntry = Status(host::LoadDriver(DriverEntry, "serhub"));
    module_ = host::CreateResourceModule(serhubpp::kResourceBytes, serhubpp::kResourceSize);
    LibMain(module_, DLL_PROCESS_ATTACH, nullptr);

    for (const auto& request : options_.cards) Plug(request);
    for (const auto& event : options_.events) {
      for (size_t c = 0; c < slots_.size(); ++c) {
        if (options_.onCard && options_.onCard != static_cast<int>(c) + 1) continue;
        Run(c, event, false);
      }
    }
    // The end of the run: sheets still open are closed, a card is woken and a
    // pending stop cancelled, as before a shutdown, and cards still present removed.
    for (size_t c = 0; c < slots_.size(); ++c) {
      if (slots_[c].page.sheet) Run(c, {"page:cancel", EventKind::PageCancel}, true);
      if (slots_[c].asleep) Run(c, {"wake", EventKind::Wake}, true);
      if (slots_[c].node->State() == host::NodeState::QueryStopped)
        Run(c, {"cancel-stop", EventKind::CancelStop}, true);
      if (slots_[c].node->State() != host::NodeState::Removed) Run(c, {"remove", EventKind::Remove}, true);
    }
    if (host::LoadedDriver("serhub")) host::UnloadDriver("serhub");
    result_.unloaded = !host::LoadedDriver("serhub");
    LibMain(module_, DLL_PROCESS_DETACH, nullptr);
    host::DestroyResourceModule(module_);

    for (size_t c = 0; c < slots_.size(); ++c)
      result_.cards[c].state = host::NodeStateName(slots_[c].node->State());
    Verify();
    host::TearDownMachine();
    return std::move(result_);
  }

 private:
  void Plug(const CardRequest& request) {
    host::CardSetup setup = host::SetupFor(host::CardModel::Ports8);
    setup.subsystem = request.subsystem;
    setup.bar2Io = request.bar2Io;
    setup.uart.memorySpace = setup.intc.memorySpace = request.memory;
    setup.modules = request.modules;
    if (request.irq) {
      setup.vector = (*request.irq)[0];
      setup.level = (*request.irq)[1];
      setup.affinity = (*request.irq)[2];
    }
    Slot slot;
    slot.card = &host::CreateCard(setup);
    slot.node = &host::PlugCard(*slot.card, request.bus, request.device, request.function);
    slots_.push_back(std::move(slot));

    CardRecord record;
    record.request = request;
    record.subsystem = request.subsystem;
    record.instancePath = slots_.back().node->InstancePath();
    if (auto* pci = slots_.back().node->Pci()) record.location = pci->LocationText();
    result_.cards.push_back(record);

    EventRecord plug{"plug", static_cast<int>(slots_.size()), true};
    plug.steps.push_back({"AddDevice", Sent(slots_.back().node->addStatus)});
    Finish(slots_.size() - 1, plug);
  }

  static std::string Sent(NTSTATUS status) { return status == STATUS_PENDING ? "" : Status(status); }

  void Run(size_t c, const Event& event, bool implicit) {
    Slot& slot = slots_[c];
    EventRecord record{event.text, static_cast<int>(c) + 1, implicit};
    host::RegistryStore::Instance().ClearWriteLog();
    slot.card->ClearAccessLog();
    Perform(slot, event, record);
    Finish(c, record);
  }

  // What the event does, if the card's state allows it.
  void Perform(Slot& slot, const Event& event, EventRecord& record) {
    host::DeviceNode& node = *slot.node;
    using S = host::NodeState;
    S state = node.State();
    auto skip = [&](const std::string& why) {
      record.skipped = true;
      record.steps.push_back({"not sent", why});
    };
    auto in = [&](std::initializer_list<S> states) {
      for (S s : states)
        if (s == state) return true;
      return false;
    };
    std::string stateText = std::string("the card is ") + host::NodeStateName(state);
    switch (event.kind) {
      case EventKind::Start:
        if (!in({S::DriversAdded, S::Stopped})) return skip(stateText);
        if (node.requirementsStatus == STATUS_PENDING) {
          record.steps.push_back({"IRP_MN_QUERY_RESOURCE_REQUIREMENTS", Status(host::QueryResourceRequirements(node))});
          record.steps.push_back({"IRP_MN_FILTER_RESOURCE_REQUIREMENTS", Status(host::FilterResourceRequirements(node))});
        }
        record.steps.push_back({"IRP_MN_START_DEVICE", Status(host::StartDevice(node))});
        if (node.State() == S::Started) {
          record.steps.push_back({"IRP_MN_QUERY_DEVICE_RELATIONS (bus)", Status(host::QueryBusRelations(node))});
          record.steps.push_back({"port devices", std::to_string(node.Children().size())});
        } else {
          record.steps.push_back({"card after the failed start", host::NodeStateName(node.State())});
        }
        return;
      case EventKind::QueryStop:
        if (!in({S::Started})) return skip(stateText);
        record.steps.push_back({"IRP_MN_QUERY_STOP_DEVICE", Status(host::QueryStop(node))});
        return;
      case EventKind::CancelStop:
        if (!in({S::QueryStopped})) return skip(stateText);
        record.steps.push_back({"IRP_MN_CANCEL_STOP_DEVICE", Status(host::CancelStop(node))});
        return;
      case EventKind::Stop:
        if (!in({S::Started, S::QueryStopped})) return skip(stateText);
        if (state == S::Started) {
          NTSTATUS query = host::QueryStop(node);
          record.steps.push_back({"IRP_MN_QUERY_STOP_DEVICE", Status(query)});
          if (!NT_SUCCESS(query)) return;
        }
        record.steps.push_back({"IRP_MN_STOP_DEVICE", Status(host::StopDevice(node))});
        return;
      case EventKind::QueryRemove:
        if (!in({S::Started, S::Stopped, S::DriversAdded})) return skip(stateText);
        record.steps.push_back({"IRP_MN_QUERY_REMOVE_DEVICE", Status(host::QueryRemove(node))});
        return;
      case EventKind::CancelRemove:
        if (!in({S::QueryRemoved})) return skip(stateText);
        record.steps.push_back({"IRP_MN_CANCEL_REMOVE_DEVICE", Status(host::CancelRemove(node))});
        return;
      case EventKind::Remove:
        if (state == S::Removed) return skip(stateText);
        if (state == S::QueryRemoved || state == S::SurpriseRemoved || state == S::AddFailed ||
            state == S::StartFailed || state == S::Disabled) {
          record.steps.push_back({"IRP_MN_REMOVE_DEVICE", Status(host::RemoveDevice(node))});
        } else {
          NTSTATUS query = host::QueryRemove(node);
          record.steps.push_back({"IRP_MN_QUERY_REMOVE_DEVICE", Status(query)});
          if (NT_SUCCESS(query)) {
            record.steps.push_back({"IRP_MN_REMOVE_DEVICE", Status(host::RemoveDevice(node))});
          } else {
            record.steps.push_back({"IRP_MN_CANCEL_REMOVE_DEVICE", Status(host::CancelRemove(node))});
          }
        }
        slot.asleep = false;
        return;
      case EventKind::SurpriseRemove:
        if (state == S::Removed || state == S::SurpriseRemoved) return skip(stateText);
        // The card is pulled: surprise removal of a stack that was started, then removal.
        if (in({S::Started, S::QueryStopped, S::Stopped, S::QueryRemoved}))
          record.steps.push_back({"IRP_MN_SURPRISE_REMOVAL", Status(host::SurpriseRemove(node))});
        record.steps.push_back({"IRP_MN_REMOVE_DEVICE", Status(host::RemoveDevice(node))});
        slot.asleep = false;
        return;
      case EventKind::Sleep:
        if (!in({S::Started})) return skip(stateText);
        if (slot.asleep) return skip("the card is asleep already");
        Sleep(slot, event.sleepState, record);
        return;
      case EventKind::Wake:
        if (!slot.asleep) return skip("the card is not asleep");
        Wake(slot, record);
        return;
      case EventKind::DisableCard:
        if (!in({S::Started})) return skip(stateText);
        record.steps.push_back({"disable (query remove, remove)", Status(host::DisableDevice(node))});
        record.steps.push_back({"card", host::NodeStateName(node.State())});
        slot.asleep = false;
        return;
      case EventKind::EnableCard:
        if (!in({S::Disabled})) return skip(stateText);
        record.steps.push_back({"enable (AddDevice, start, bus relations)", Status(host::EnableDevice(node))});
        record.steps.push_back({"port devices", std::to_string(node.Children().size())});
        return;
      case EventKind::DisablePort:
      case EventKind::EnablePort: {
        if (!in({S::Started})) return skip(stateText);
        host::DeviceNode* port = Port(node, event.port);
        if (!port) return skip("the card has no port " + std::to_string(event.port));
        std::string portState = std::string("port ") + std::to_string(event.port) + " is " +
                                host::NodeStateName(port->State());
        if (event.kind == EventKind::DisablePort) {
          if (port->State() != S::Started) return skip(portState);
          record.steps.push_back({"disable port (query remove, remove)", Status(host::DisableDevice(*port))});
        } else {
          if (port->State() != S::Disabled) return skip(portState);
          record.steps.push_back({"enable port (AddDevice, start)", Status(host::EnableDevice(*port))});
        }
        record.steps.push_back({"port", host::NodeStateName(port->State())});
        return;
      }
      case EventKind::PageOpen:
      case EventKind::PageSet:
      case EventKind::PageDiscard:
      case EventKind::PageOk:
      case EventKind::PageApply:
      case EventKind::PageCancel:
        if (state == S::Removed) return skip(stateText);
        PageEvent(slot, event, record);
        return;
    }
  }

  // The card's port device with this 1-based number, disabled ones included.
  static host::DeviceNode* Port(host::DeviceNode& card, int number) {
    for (host::DeviceNode* port : card.Children())
      if (PortIndex(*port) == number - 1) return port;
    return nullptr;
  }

  static int PortIndex(const host::DeviceNode& port) {
    return port.instanceId.size() == 8 ? std::stoi(port.instanceId.substr(6), nullptr, 16) : -1;
  }

  // Ports with a running stack: a disabled port gets no power requests.
  static std::vector<host::DeviceNode*> RunningPorts(host::DeviceNode& card) {
    std::vector<host::DeviceNode*> ports;
    for (host::DeviceNode* port : card.Children())
      if (port->State() == host::NodeState::Started) ports.push_back(port);
    return ports;
  }

  // --- Power ------------------------------------------------------------------

  static std::string Same(const std::vector<NTSTATUS>& statuses) {
    if (statuses.empty()) return "no port devices";
    std::string text;
    for (NTSTATUS s : statuses) {
      if (s != statuses[0]) {
        text.clear();
        for (NTSTATUS t : statuses) text += (text.empty() ? "" : ", ") + Status(t);
        return text;
      }
    }
    return Status(statuses[0]) + (statuses.size() > 1 ? " (each)" : "");
  }

  // The power manager queries every stack, then sets the state, children before their parent.
  void Sleep(Slot& slot, int sleepState, EventRecord& record) {
    static const SYSTEM_POWER_STATE states[] = {PowerSystemWorking, PowerSystemSleeping1,
                                                PowerSystemSleeping2, PowerSystemSleeping3,
                                                PowerSystemHibernate};
    SYSTEM_POWER_STATE target = states[sleepState];
    POWER_ACTION action = sleepState == 4 ? PowerActionHibernate : PowerActionSleep;
    std::string s = "S" + std::to_string(sleepState);
    auto ports = RunningPorts(*slot.node);
    std::vector<NTSTATUS> results;
    for (auto* port : ports) results.push_back(host::QuerySystemPower(*port, target, action).status);
    record.steps.push_back({"IRP_MN_QUERY_POWER " + s + " to the ports", Same(results)});
    NTSTATUS query = host::QuerySystemPower(*slot.node, target, action).status;
    record.steps.push_back({"IRP_MN_QUERY_POWER " + s + " to the card", Status(query)});
    results.clear();
    for (auto* port : ports) results.push_back(host::SetSystemPower(*port, target, action).status);
    record.steps.push_back({"IRP_MN_SET_POWER " + s + " to the ports", Same(results)});
    record.steps.push_back({"IRP_MN_SET_POWER " + s + " to the card",
                            Status(host::SetSystemPower(*slot.node, target, action).status)});
    slot.asleep = true;
  }

  void Wake(Slot& slot, EventRecord& record) {
    record.steps.push_back({"IRP_MN_SET_POWER S0 to the card",
                            Status(host::SetSystemPower(*slot.node, PowerSystemWorking, PowerActionNone).status)});
    std::vector<NTSTATUS> results;
    for (auto* port : RunningPorts(*slot.node))
      results.push_back(host::SetSystemPower(*port, PowerSystemWorking, PowerActionNone).status);
    record.steps.push_back({"IRP_MN_SET_POWER S0 to the ports", Same(results)});
    slot.asleep = false;
  }

  // --- The property page --------------------------------------------------------

  bool OpenSheet(Slot& slot, EventRecord& record) {
    if (slot.page.sheet) return true;
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    BOOL opened = SetupDiOpenDeviceInfoA(set, slot.node->InstancePath().c_str(), nullptr, 0, &device);
    if (!opened) {
      record.steps.push_back({"SetupDiOpenDeviceInfoA", Bool(opened)});
      SetupDiDestroyDeviceInfoList(set);
      return false;
    }
    SP_PROPSHEETPAGE_REQUEST request = {};
    request.cbSize = sizeof request;
    request.PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES;
    request.DeviceInfoSet = set;
    request.DeviceInfoData = &device;
    auto sheet = std::make_unique<host::PropertySheet>("Card properties");
    BOOL offered = EnumPropPages(&request, sheet->AddPageCallback(), sheet->AddPageParam());
    record.steps.push_back({"EnumPropPages", Bool(offered) + ", " + std::to_string(sheet->PageCount()) + " page(s)"});
    if (sheet->PageCount() == 0) {
      sheet.reset();
      SetupDiDestroyDeviceInfoList(set);
      return false;
    }
    sheet->Show();
    slot.page.set = set;
    slot.page.sheet = std::move(sheet);
    return true;
  }

  void CloseSheet(Slot& slot) {
    slot.page.sheet.reset();  // releases the pages
    SetupDiDestroyDeviceInfoList(slot.page.set);
    slot.page.set = INVALID_HANDLE_VALUE;
  }

  HWND PageWindow(Slot& slot) { return slot.page.sheet->PageWindow(0); }

  void PageEvent(Slot& slot, const Event& event, EventRecord& record) {
    bool wasOpen = slot.page.sheet != nullptr;
    if (event.kind == EventKind::PageCancel && !wasOpen) {
      record.skipped = true;
      record.steps.push_back({"not sent", "the card's properties are not open"});
      return;
    }
    if (!OpenSheet(slot, record)) return;
    switch (event.kind) {
      case EventKind::PageSet:
      case EventKind::PageDiscard:
        ChangePort(slot, event, record);
        break;
      case EventKind::PageOk:
        record.steps.push_back({"OK", slot.page.sheet->PressOk() ? "closed" : "refused"});
        break;
      case EventKind::PageApply:
        // The page never marks a change itself, so Apply may be greyed out.
        if (!slot.page.sheet->ApplyEnabled())
          record.steps.push_back({"Apply", "disabled; the click does nothing"});
        else
          record.steps.push_back({"Apply", slot.page.sheet->PressApply() ? "accepted" : "refused"});
        break;
      case EventKind::PageCancel:
        record.steps.push_back({"Cancel", slot.page.sheet->PressCancel() ? "closed" : "refused"});
        break;
      default:
        break;
    }
    if (slot.page.sheet && slot.page.sheet->IsOpen()) {
      TakePage(slot, result_.cards[record.card - 1].page);
    } else if (slot.page.sheet) {
      CloseSheet(slot);
    }
  }

  void ChangePort(Slot& slot, const Event& event, EventRecord& record) {
    HWND page = PageWindow(slot);
    auto lines = host::ListItems(GetDlgItem(page, kPortList));
    std::string prefix = "port-" + std::to_string(event.port) + " ";
    int index = -1;
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].rfind(prefix, 0) == 0) index = static_cast<int>(i);
    if (index < 0) {
      record.steps.push_back({"line of port " + std::to_string(event.port), "none (the port has no COM name)"});
      return;
    }
    bool ok = event.kind == EventKind::PageSet;
    std::string dialog = "not shown";
    try {
      host::User()
          .SelectListItem(kPortList, index)
          .Click(kChangeButton)
          .Inspect([&](HWND d) {
            HWND radio = GetDlgItem(d, kFirstModeButton + event.mode);
            dialog = IsWindowEnabled(radio) ? "shown" : std::string("shown, ") + ModeName(event.mode) + " disabled";
          })
          .Click(kFirstModeButton + event.mode)
          .Click(ok ? IDOK : IDCANCEL);
      slot.page.sheet->Run();
    } catch (const std::exception& e) {
      host::User().Clear();
      dialog = std::string("the user could not go on: ") + e.what();
    }
    record.steps.push_back({"Change port", dialog + (ok ? ", OK" : ", Cancel")});
    lines = host::ListItems(GetDlgItem(page, kPortList));
    record.steps.push_back({"line", index < static_cast<int>(lines.size()) ? lines[index] : "(gone)"});
  }

  void TakePage(Slot& slot, PageRecord& page) {
    HWND window = PageWindow(slot);
    HWND list = GetDlgItem(window, kPortList);
    page.shown = true;
    page.title = slot.page.sheet->PageTitle(0);
    page.lines = host::ListItems(list);
    page.selected = static_cast<int>(SendMessageA(list, LB_GETCURSEL, 0, 0));
    page.changeEnabled = IsWindowEnabled(GetDlgItem(window, kChangeButton)) != FALSE;
  }

  // --- After every event --------------------------------------------------------

  void Finish(size_t c, EventRecord& record) {
    Slot& slot = slots_[c];
    CardRecord& card = result_.cards[c];
    record.writes = host::RegistryStore::Instance().WriteLog();
    record.registers = slot.card->AccessLog();
    int index = static_cast<int>(result_.events.size());
    for (const auto& access : record.registers) card.registers.push_back({index, access});
    card.addStatus = Sent(slot.node->addStatus);
    card.startStatus = Sent(slot.node->startStatus);
    // The card's key outlives the card: PORTS tells what the last start found.
    if (auto ports = host::RegistryStore::Instance().GetValue(slot.node->DeviceParametersPath(), "PORTS"))
      card.portsValue = ports->Dword();
    if (slot.node->State() != host::NodeState::Removed) TakeTree(slot, card);
    result_.events.push_back(std::move(record));
  }

  void TakeTree(Slot& slot, CardRecord& card) {
    auto& store = host::RegistryStore::Instance();
    card.treeState = host::NodeStateName(slot.node->State());
    card.busDevice = slot.node->Fdo() ? slot.node->service : "";
    card.ports.clear();
    card.multiMode.reset();
    for (host::DeviceNode* port : slot.node->Children()) {
      PortRecord record;
      record.instanceId = port->instanceId;
      record.index = PortIndex(*port);
      record.state = host::NodeStateName(port->State());
      record.comName = port->PortName();
      std::string path = port->DeviceParametersPath();
      for (const auto& name : store.ValueNames(path))
        if (auto value = store.GetValue(path, name)) record.values.push_back(*value);
      if (auto type = store.GetValue(path, SERHUB_PORTTYPE_A))
        card.multiMode = card.multiMode.value_or(false) || type->Dword() != SERHUB_PORTTYPE_RS232_ONLY;
      card.ports.push_back(std::move(record));
    }
  }

  void Verify() {
    VerifierRecord& v = result_.verifier;
    v.poolBlocks = host::PoolOutstanding();
    v.poolBytes = host::PoolOutstandingBytes();
    v.poolAllocations = host::PoolAllocationCount();
    v.irps = host::OutstandingIrps();
    for (host::DeviceNode* node : host::AllNodes()) {
      for (PDEVICE_OBJECT device : {node->Pdo(), node->fdoAtAdd}) {
        if (!device) continue;
        v.references += host::ReferenceCount(device);
        if (host::IsDeviceAlive(device)) ++v.devicesLeft;
      }
    }
    std::vector<std::string> left;
    for (auto list : {host::MachineEndChecks(), host::IoEndChecks(), host::KernelEndChecks(), host::Win32EndChecks()})
      left.insert(left.end(), list.begin(), list.end());
    v.findings = host::VerifierFindings();
    for (auto& what : left) v.findings.push_back({"end-of-run", what});
  }

  const Options& options_;
  RunResult result_;
  std::vector<Slot> slots_;
  HINSTANCE module_ = nullptr;
};

}  // namespace

RunResult RunLife(const Options& options) { return Life(options).Run(); }

}  // namespace sim
