// The life of a device as the manager sends it: plug, resource
// requirements, start, stop, query remove, surprise removal, removal,
// disable, enable and a driver update, in the order Windows uses.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

#include "host/io.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "pnp_internal.h"
#include "registry.h"

namespace host {

namespace machine {

// Every present node of the subtree, children before their parent.
void PostOrder(DeviceNode& node, std::vector<DeviceNode*>& out) {
  for (DeviceNode* child : node.Children()) PostOrder(*child, out);
  out.push_back(&node);
}

std::map<DeviceNode*, NodeState>& SavedStates() {
  static std::map<DeviceNode*, NodeState> saved;
  return saved;
}

void SaveState(DeviceNode& node) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  SavedStates()[&node] = node.State();
}

void RestoreState(DeviceNode& node) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  auto it = SavedStates().find(&node);
  if (it != SavedStates().end()) node.SetState(it->second);
}

NTSTATUS StartAndFollowUp(DeviceNode& node, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated,
                          bool removeOnFailure) {
  // A restart after a stop (resource rebalance) is not a first start.
  const bool restart = node.State() == NodeState::Stopped;
  PnpResult r = Call(node.Pdo(), IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION s) {
    s->Parameters.StartDevice.AllocatedResources = raw;
    s->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
  }, 0);
  node.startStatus = r.status;
  if (!NT_SUCCESS(r.status)) {
    node.problem = "start failed";
    node.SetState(NodeState::StartFailed);
    if (removeOnFailure) RemoveTree(node);
    return r.status;
  }
  node.SetState(NodeState::Started);
  // What the platform asks a device right after it started: its
  // capabilities again, and after a first start (not after the restart that
  // follows a stop) its PnP device state.
  if (auto caps = QueryCapabilities(node)) {
    if (node.Parent() != nullptr) node.capabilities = caps;
  }
  if (!restart) Call(node.Pdo(), IRP_MN_QUERY_PNP_DEVICE_STATE, {}, 0);
  return r.status;
}

// Sends IRP_MN_REMOVE_DEVICE to the subtree, children first. A child that
// its bus still reports keeps its device node and PDO (Disabled), and so
// does the node itself when `disable` is set; everything below a node that
// goes is removed for good.
NTSTATUS RemoveTree(DeviceNode& node, bool disable) {
  node.removing = true;
  for (DeviceNode* child : node.Children()) RemoveTree(*child, false);
  NTSTATUS status = STATUS_SUCCESS;
  if (!node.pdoDeleted && IsDeviceAlive(node.Pdo())) {
    status = Call(node.Pdo(), IRP_MN_REMOVE_DEVICE, {}, 0).status;
  }
  node.removing = false;
  const bool stillPresent = node.Parent() != nullptr && node.reported && !ParentLeaving(*node.Parent());
  AfterRemove(node, disable || stillPresent);
  return status;
}

void AfterRemove(DeviceNode& node, bool keep) {
  PDEVICE_OBJECT pdo = node.Pdo();
  bool alive = !node.pdoDeleted && IsDeviceAlive(pdo);
  if (alive && pdo->AttachedDevice != nullptr) {
    VerifierFail("pnp.remove-left-attached", "machine: after IRP_MN_REMOVE_DEVICE device " + Hex((ULONG_PTR)pdo->AttachedDevice) +
                 " is still attached above the PDO of " + NodeText(node));
  }
  if (node.fdoAtAdd != nullptr && IsDeviceAlive(node.fdoAtAdd)) {
    VerifierFail("pnp.remove-left-device", "machine: the function device " + Hex((ULONG_PTR)node.fdoAtAdd) + " of " + NodeText(node) +
                 " was not deleted at IRP_MN_REMOVE_DEVICE");
  }
  node.fdoAtAdd = nullptr;
  if (keep) {
    node.SetState(NodeState::Disabled);
    if (node.GetCard() != nullptr) node.GetCard()->StopDecoding();
    if (!node.service.empty()) machine::UnloadIfIdle(node.service);
    return;
  }
  node.SetState(NodeState::Removed);
  if (node.Parent() != nullptr) node.Parent()->DropChild(&node);

  if (node.GetCard() != nullptr) {
    // The card's device node goes, and the PCI bus driver deletes its PDO.
    node.GetCard()->StopDecoding();
    if (alive && pdo->AttachedDevice == nullptr) {
      IoDeleteDevice(pdo);
    }
  } else {
    if (alive && HasDeviceNode(pdo)) RemoveDeviceNode(pdo);
    if (node.holdsReference) {
      node.holdsReference = false;
      ObDereferenceObject(pdo);
    }
  }
  if (!node.service.empty()) machine::UnloadIfIdle(node.service);
}

}  // namespace machine

using namespace machine;

DeviceNode& PlugCard(Card& card, ULONG bus, ULONG device, ULONG function, const PlugOptions& options) {
  auto& state = State();
  for (DeviceNode* n : AllNodes()) {
    if (n->GetCard() != nullptr && n->State() != NodeState::Removed && n->Pci()->Bus() == bus &&
        n->Pci()->DeviceNumber() == device && n->Pci()->Function() == function) {
      VerifierFail("host.bad-call", "machine: PCI bus " + std::to_string(bus) + " device " + std::to_string(device) +
                   " function " + std::to_string(function) + " already holds a card");
    }
  }
  card.SetLocation((int)bus, (int)device, (int)function);
  PciDevice* pci;
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    state.pciDevices.push_back(std::make_unique<PciDevice>(card, bus, device, function));
    pci = state.pciDevices.back().get();
  }
  PDEVICE_OBJECT pdo = pci->Pdo();
  char instance[40];
  std::snprintf(instance, sizeof instance, "4&%x&0&%02X", 0x1b34f2a0u + bus * 0x2c1u, (device << 3) | function);
  std::string path = pci->DeviceId() + "\\" + instance;

  auto node = std::make_unique<DeviceNode>(nullptr, pdo, path);
  DeviceNode& result = *node;
  node->SetCard(&card, pci);
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    node->service = options.service.empty() ? state.lastService : options.service;
    state.nodes.push_back(std::move(node));
  }
  if (pdo == nullptr) {
    result.problem = "no PCI device object";
    result.SetState(NodeState::AddFailed);
    return result;
  }

  auto& store = RegistryStore::Instance();
  const std::string key = result.KeyPath();
  store.CreateKey(key);
  std::string location = options.locationText.value_or(pci->LocationText());
  store.SetString(key, "LocationInformation", location);
  std::string vd = pci->DeviceId().substr(0, pci->DeviceId().find("&SUBSYS_"));
  auto multi = MultiSzBytes({pci->DeviceId(), vd});
  store.SetValue(key, "HardwareID", REG_MULTI_SZ, multi.data(), multi.size());
  store.SetString(key, "DeviceDesc", "PCI multi-port serial card");
  store.SetString(key, "Service", result.service);
  SetDeviceInstancePath(pdo, path);
  SetDeviceAddress(pdo, (device << 16) | function);
  SetDeviceBusNumber(pdo, bus);

  if (options.addDevice) AddFunctionDriver(result);
  return result;
}

NTSTATUS QueryResourceRequirements(DeviceNode& node) {
  PnpResult r = Call(node.Pdo(), IRP_MN_QUERY_RESOURCE_REQUIREMENTS, {}, 0);
  node.requirementsStatus = r.status;
  node.requirements.clear();
  if (NT_SUCCESS(r.status) && r.information != 0) {
    auto* list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(r.information);
    node.requirements = TakeBlock(r.information, "resource requirements", RequirementsListSize(list));
  }
  return r.status;
}

NTSTATUS FilterResourceRequirements(DeviceNode& node) {
  if (node.requirementsStatus == STATUS_PENDING) QueryResourceRequirements(node);
  void* list = nullptr;
  if (!node.requirements.empty()) {
    list = ExAllocatePoolWithTag(PagedPool, node.requirements.size(), machine::kPnpTag);
    if (list == nullptr) {
      node.filterStatus = STATUS_INSUFFICIENT_RESOURCES;
      return node.filterStatus;
    }
    std::memcpy(list, node.requirements.data(), node.requirements.size());
  }
  PnpResult r = Call(node.Pdo(), IRP_MN_FILTER_RESOURCE_REQUIREMENTS, [&](PIO_STACK_LOCATION s) {
    s->Parameters.FilterResourceRequirements.IoResourceRequirementList =
        static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(list);
  }, reinterpret_cast<ULONG_PTR>(list) != 0 ? reinterpret_cast<ULONG_PTR>(list) : 0);
  node.filterStatus = r.status;
  node.filteredRequirements.clear();
  const ULONG_PTR original = reinterpret_cast<ULONG_PTR>(list);
  if (r.information != 0) {
    auto* filtered = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(r.information);
    std::vector<uint8_t> bytes = TakeBlock(r.information, "filtered resource requirements",
                                           RequirementsListSize(filtered));
    if (NT_SUCCESS(r.status)) node.filteredRequirements = bytes;
  }
  // Nobody filtered: the requirements stay as the bus driver gave them.
  if (!NT_SUCCESS(r.status)) node.filteredRequirements = node.requirements;
  if (original != 0 && r.information != original && PoolBlock(list)) {
    // A driver that hands back a list of its own frees the one it was given.
    if (r.information != 0) {
      VerifierFail("pnp.filter-list-leaked", "machine: IRP_MN_FILTER_RESOURCE_REQUIREMENTS of " + NodeText(node) +
                   " returned a new list without freeing the one passed in");
    }
    ExFreePool(list);
  }
  return r.status;
}

NTSTATUS StartDevice(DeviceNode& node, bool removeOnFailure) {
  std::vector<uint8_t> raw, translated;
  if (Card* card = node.GetCard()) {
    raw = card->RawResources();
    translated = card->TranslatedResources();
    card->Decode();
  }
  // Aligned copies that live while the start request is handled.
  std::vector<ULONGLONG> rawCopy((raw.size() + 7) / 8), translatedCopy((translated.size() + 7) / 8);
  if (!raw.empty()) std::memcpy(rawCopy.data(), raw.data(), raw.size());
  if (!translated.empty()) std::memcpy(translatedCopy.data(), translated.data(), translated.size());
  return StartAndFollowUp(node, raw.empty() ? nullptr : reinterpret_cast<PCM_RESOURCE_LIST>(rawCopy.data()),
                          translated.empty() ? nullptr : reinterpret_cast<PCM_RESOURCE_LIST>(translatedCopy.data()),
                          removeOnFailure);
}

DeviceNode& BringUpCard(Card& card, ULONG bus, ULONG device, ULONG function, const PlugOptions& options) {
  DeviceNode& node = PlugCard(card, bus, device, function, options);
  if (node.State() != NodeState::DriversAdded) return node;
  QueryResourceRequirements(node);
  FilterResourceRequirements(node);
  if (!NT_SUCCESS(StartDevice(node))) return node;
  QueryBusRelations(node);
  return node;
}

NTSTATUS QueryStop(DeviceNode& node) {
  SaveState(node);
  NTSTATUS status = Call(node.Pdo(), IRP_MN_QUERY_STOP_DEVICE, {}, 0).status;
  if (NT_SUCCESS(status)) {
    node.SetState(NodeState::QueryStopped);
  } else {
    Call(node.Pdo(), IRP_MN_CANCEL_STOP_DEVICE, {}, 0);
  }
  return status;
}

NTSTATUS CancelStop(DeviceNode& node) {
  NTSTATUS status = Call(node.Pdo(), IRP_MN_CANCEL_STOP_DEVICE, {}, 0).status;
  if (node.State() == NodeState::QueryStopped) RestoreState(node);
  return status;
}

// IRP_MN_STOP_DEVICE comes only after a granted IRP_MN_QUERY_STOP_DEVICE
// ("Stopping a Device": the stop request is always preceded by its query).
NTSTATUS StopDevice(DeviceNode& node) {
  if (node.State() != NodeState::QueryStopped && RefuseSequence(node, "IRP_MN_STOP_DEVICE without a granted query")) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  NTSTATUS status = Call(node.Pdo(), IRP_MN_STOP_DEVICE, {}, 0).status;
  node.SetState(NodeState::Stopped);
  return status;
}

NTSTATUS QueryRemove(DeviceNode& node) {
  if (!machine::Gone(node)) QueryRemovalRelations(node);
  std::vector<DeviceNode*> order;
  PostOrder(node, order);
  std::vector<DeviceNode*> asked;
  for (DeviceNode* d : order) {
    if (machine::Gone(*d)) continue;
    SaveState(*d);
    asked.push_back(d);
    NTSTATUS status = Call(d->Pdo(), IRP_MN_QUERY_REMOVE_DEVICE, {}, 0).status;
    if (!NT_SUCCESS(status)) {
      for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
        Call((*it)->Pdo(), IRP_MN_CANCEL_REMOVE_DEVICE, {}, 0);
        if ((*it)->State() == NodeState::QueryRemoved) RestoreState(**it);
      }
      return status;
    }
    d->SetState(NodeState::QueryRemoved);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CancelRemove(DeviceNode& node) {
  std::vector<DeviceNode*> order;
  PostOrder(node, order);
  NTSTATUS result = STATUS_SUCCESS;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    DeviceNode* d = *it;
    if (machine::Gone(*d)) continue;
    NTSTATUS status = Call(d->Pdo(), IRP_MN_CANCEL_REMOVE_DEVICE, {}, 0).status;
    if (d == &node) result = status;
    if (d->State() == NodeState::QueryRemoved) RestoreState(*d);
  }
  return result;
}

NTSTATUS SurpriseRemove(DeviceNode& node) {
  std::vector<DeviceNode*> order;
  PostOrder(node, order);
  NTSTATUS result = STATUS_SUCCESS;
  for (DeviceNode* d : order) {
    if (machine::Gone(*d) || d->State() == NodeState::SurpriseRemoved) continue;
    NTSTATUS status = Call(d->Pdo(), IRP_MN_SURPRISE_REMOVAL, {}, 0).status;
    if (d == &node) result = status;
    d->SetState(NodeState::SurpriseRemoved);
  }
  return result;
}

// IRP_MN_REMOVE_DEVICE of a started device comes only after a granted
// IRP_MN_QUERY_REMOVE_DEVICE or after IRP_MN_SURPRISE_REMOVAL ("Removing a
// Device in a Function Driver", "Handling an IRP_MN_SURPRISE_REMOVAL
// Request").
NTSTATUS RemoveDevice(DeviceNode& node) {
  if (node.State() == NodeState::Removed) {
    VerifierFail("host.bad-call", "machine: " + NodeText(node) + " was already removed");
    return STATUS_NO_SUCH_DEVICE;
  }
  if (StartedLike(node.State()) && node.State() != NodeState::QueryRemoved &&
      RefuseSequence(node, "IRP_MN_REMOVE_DEVICE without query remove or surprise removal")) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  return RemoveTree(node);
}

NTSTATUS QueryAndRemove(DeviceNode& node) {
  NTSTATUS status = QueryRemove(node);
  if (!NT_SUCCESS(status)) return status;
  return RemoveDevice(node);
}

NTSTATUS DisableDevice(DeviceNode& node) {
  if (node.State() != NodeState::Started) {
    VerifierFail("host.bad-call", "machine: refused to disable " + NodeText(node) + " in state " + NodeStateName(node.State()));
    return STATUS_INVALID_DEVICE_STATE;
  }
  NTSTATUS status = QueryRemove(node);
  if (!NT_SUCCESS(status)) return status;
  return RemoveTree(node, true);
}

NTSTATUS EnableDevice(DeviceNode& node) {
  if (node.State() != NodeState::Disabled) {
    VerifierFail("host.bad-call", "machine: refused to enable " + NodeText(node) + " in state " + NodeStateName(node.State()));
    return STATUS_INVALID_DEVICE_STATE;
  }
  node.problem.clear();
  node.startStatus = STATUS_PENDING;
  node.requirementsStatus = STATUS_PENDING;
  node.filterStatus = STATUS_PENDING;
  AddFunctionDriver(node);
  if (node.State() != NodeState::DriversAdded) return node.addStatus;
  if (node.GetCard() != nullptr) {
    QueryResourceRequirements(node);
    FilterResourceRequirements(node);
    NTSTATUS status = StartDevice(node);
    if (NT_SUCCESS(status)) QueryBusRelations(node);
    return status;
  }
  StartChild(node);
  return node.startStatus;
}

NTSTATUS UpdateDriver(DeviceNode& node, PDRIVER_INITIALIZE entry) {
  NTSTATUS status = DisableDevice(node);
  if (!NT_SUCCESS(status)) return status;
  {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    auto it = State().drivers.find(Upper(node.service));
    if (it != State().drivers.end()) it->second.entry = entry;
  }
  return EnableDevice(node);
}

void AllowIllegalSequences(bool on) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  machine::IllegalSequencesAllowed() = on;
}

NTSTATUS RemoveChild(DeviceNode& port) {
  return DisableDevice(port);
}

NTSTATUS UnplugCard(DeviceNode& node) {
  if (StartedLike(node.State())) SurpriseRemove(node);
  return RemoveDevice(node);
}

}  // namespace host
