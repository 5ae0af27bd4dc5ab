// The Plug and Play manager: loads drivers, keeps the device nodes, sends
// the requests of a device's life to the top of each device stack, and looks
// after child devices: new ones are interrogated, installed and started,
// vanished ones removed.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

#include "host/io.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "machine_internal.h"
#include "registry.h"

#ifndef STATUS_IMAGE_ALREADY_LOADED
#define STATUS_IMAGE_ALREADY_LOADED ((NTSTATUS)0xC000010EL)
#endif

namespace host {

void RunComPortInstaller(DeviceNode& node);  // com.cpp

namespace machine {

namespace {

// A parent that is being removed or was surprise-removed reports no children.
bool ParentLeaving(const DeviceNode& parent) {
  return parent.removing || parent.State() == NodeState::SurpriseRemoved ||
         parent.State() == NodeState::Removed;
}

// A bus driver keeps a child's PDO until the child has been reported missing
// ("Removing a Device in a Bus Driver": the PDO is deleted at the
// IRP_MN_REMOVE_DEVICE that follows a bus-relations answer without it, or
// when the bus device itself is removed). Deleting it while the device node
// still holds it and the bus still reports it is Driver Verifier's PnP check
// 0x221.
void OnDeviceGone(PDEVICE_OBJECT device) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  for (auto& node : state.nodes) {
    if (node->Pdo() != device || node->pdoDeleted) continue;
    node->pdoDeleted = true;
    DeviceNode* parent = node->Parent();
    if (parent != nullptr && node->reported && !ParentLeaving(*parent) &&
        node->State() != NodeState::Removed) {
      VerifierFail("machine: Driver Verifier 0x221: the PDO of device " +
                   (node->InstancePath().empty() ? Hex((ULONG_PTR)device) : node->InstancePath()) +
                   " was deleted while its bus still reports it and its device node holds it");
    }
  }
}

}  // namespace

MachineState& State() {
  static MachineState state;
  static std::once_flag once;
  std::call_once(once, [] { OnDeviceDeleted(OnDeviceGone); });
  return state;
}

std::string Narrow(const char16_t* text, size_t units) {
  std::string out;
  for (size_t i = 0; i < units && text[i] != 0; i++) {
    char16_t c = text[i];
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return out;
}

std::u16string Widen(const std::string& text) {
  std::u16string out;
  for (unsigned char c : text) out.push_back(static_cast<char16_t>(c));
  return out;
}

std::string Hex(ULONGLONG value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string Upper(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

namespace {

std::vector<uint8_t> SzBytes(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (unsigned char c : text) {
    bytes.push_back(c);
    bytes.push_back(0);
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::vector<uint8_t> MultiSzBytes(const std::vector<std::string>& strings) {
  std::vector<uint8_t> bytes;
  for (const auto& s : strings) {
    auto one = SzBytes(s);
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

bool& IllegalSequencesAllowed() {
  static bool allowed = false;
  return allowed;
}

// A request the Plug and Play manager never sends in this order: refused
// with a finding unless the test asked for it.
bool RefuseSequence(const DeviceNode& node, const std::string& what);

// A node without a stack to send requests to.
bool Gone(const DeviceNode& node) {
  return node.State() == NodeState::Removed || node.State() == NodeState::Disabled || node.pdoDeleted;
}

bool StartedLike(NodeState s) {
  return s == NodeState::Started || s == NodeState::QueryStopped || s == NodeState::Stopped ||
         s == NodeState::QueryRemoved;
}

std::string NodeText(const DeviceNode& node) {
  return "device " + (node.InstancePath().empty() ? Hex((ULONG_PTR)node.Pdo()) : node.InstancePath());
}

bool RefuseSequence(const DeviceNode& node, const std::string& what) {
  if (IllegalSequencesAllowed()) return false;
  VerifierFail("machine: refused to send " + what + " to " + NodeText(node) + " in state " +
               NodeStateName(node.State()) + ": the Plug and Play manager never does");
  return true;
}

}  // namespace

// --- Drivers ---------------------------------------------------------------

namespace {

NTSTATUS LoadRecord(LoadedDriverRecord& record) {
  PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\" + Widen(record.service));
  RegistryStore::Instance().CreateKey("SYSTEM\\CurrentControlSet\\Services\\" + record.service);
  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Widen(record.service);
  // The I/O manager's copy of the path lives only while DriverEntry runs.
  std::vector<char16_t> buffer(path.begin(), path.end());
  buffer.push_back(u'\0');
  UNICODE_STRING registryPath;
  registryPath.Length = static_cast<USHORT>(path.size() * sizeof(char16_t));
  registryPath.MaximumLength = static_cast<USHORT>(registryPath.Length + sizeof(char16_t));
  registryPath.Buffer = buffer.data();
  record.loads++;
  NTSTATUS status = record.entry(driver, &registryPath);
  std::fill(buffer.begin(), buffer.end(), u'\xDDDD');
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    VerifierFail("DriverEntry of " + record.service + " returned at IRQL " +
                 std::to_string(KeGetCurrentIrql()));
  }
  if (!NT_SUCCESS(status)) {
    DeleteDriverObject(driver);
    record.object = nullptr;
  } else {
    record.object = driver;
  }
  return status;
}

}  // namespace

PDRIVER_OBJECT EnsureDriverLoaded(const std::string& service) {
  auto& state = State();
  LoadedDriverRecord* record;
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    auto it = state.drivers.find(Upper(service));
    if (it == state.drivers.end()) {
      if (Upper(service) != Upper(kSerialService)) return nullptr;
      LoadedDriverRecord serial;
      serial.service = kSerialService;
      serial.entry = SerialDriverEntry;
      it = state.drivers.emplace(Upper(service), serial).first;
    }
    record = &it->second;
    if (record->object != nullptr) return record->object;
  }
  LoadRecord(*record);
  return record->object;
}

void UnloadIfIdle(const std::string& service) {
  auto& state = State();
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    if (!state.autoUnload) return;
    auto it = state.drivers.find(Upper(service));
    if (it == state.drivers.end() || it->second.object == nullptr) return;
    if (it->second.object->DeviceObject != nullptr) return;
  }
  UnloadDriver(service);
}

}  // namespace machine

using machine::Hex;
using machine::State;
using machine::Upper;
using machine::MultiSzBytes;
using machine::NodeText;
using machine::StartedLike;
using machine::RefuseSequence;
using machine::ParentLeaving;
using machine::SzBytes;

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string& service, PDRIVER_OBJECT* driver) {
  auto& state = State();
  machine::LoadedDriverRecord* record;
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    record = &state.drivers[Upper(service)];
    state.lastService = service;
    if (record->object != nullptr) {
      if (driver) *driver = record->object;
      return STATUS_IMAGE_ALREADY_LOADED;
    }
    record->service = service;
    record->entry = entry;
  }
  NTSTATUS status = machine::LoadRecord(*record);
  if (driver) *driver = record->object;
  return status;
}

PDRIVER_OBJECT LoadedDriver(const std::string& service) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  auto it = state.drivers.find(Upper(service));
  return it == state.drivers.end() ? nullptr : it->second.object;
}

bool UnloadDriver(const std::string& service) {
  auto& state = State();
  PDRIVER_OBJECT driver;
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    auto it = state.drivers.find(Upper(service));
    if (it == state.drivers.end() || it->second.object == nullptr) return false;
    driver = it->second.object;
    if (driver->DeviceObject != nullptr) {
      VerifierFail("machine: driver " + service + " cannot be unloaded: it still has device objects");
      return false;
    }
    it->second.object = nullptr;
    it->second.unloads++;
  }
  if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
  DeleteDriverObject(driver);
  return true;
}

int DriverLoadCount(const std::string& service) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  auto it = state.drivers.find(Upper(service));
  return it == state.drivers.end() ? 0 : it->second.loads;
}

int DriverUnloadCount(const std::string& service) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  auto it = state.drivers.find(Upper(service));
  return it == state.drivers.end() ? 0 : it->second.unloads;
}

void SetAutoUnload(bool on) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  state.autoUnload = on;
}

void SetExpectedBufferTags(const ChildBufferTags& tags) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  state.tags = tags;
}

// --- Text ------------------------------------------------------------------

std::string StatusText(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_NOT_IMPLEMENTED: return "STATUS_NOT_IMPLEMENTED";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_NO_SUCH_DEVICE: return "STATUS_NO_SUCH_DEVICE";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_DELETE_PENDING: return "STATUS_DELETE_PENDING";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_DEVICE_CONFIGURATION_ERROR: return "STATUS_DEVICE_CONFIGURATION_ERROR";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    default: return Hex((ULONG)status, 8);
  }
}

std::string PnpMinorName(UCHAR minor) {
  static const char* names[] = {
      "IRP_MN_START_DEVICE",          "IRP_MN_QUERY_REMOVE_DEVICE",
      "IRP_MN_REMOVE_DEVICE",         "IRP_MN_CANCEL_REMOVE_DEVICE",
      "IRP_MN_STOP_DEVICE",           "IRP_MN_QUERY_STOP_DEVICE",
      "IRP_MN_CANCEL_STOP_DEVICE",    "IRP_MN_QUERY_DEVICE_RELATIONS",
      "IRP_MN_QUERY_INTERFACE",       "IRP_MN_QUERY_CAPABILITIES",
      "IRP_MN_QUERY_RESOURCES",       "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
      "IRP_MN_QUERY_DEVICE_TEXT",     "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
      "0x0E",                         "IRP_MN_READ_CONFIG",
      "IRP_MN_WRITE_CONFIG",          "IRP_MN_EJECT",
      "IRP_MN_SET_LOCK",              "IRP_MN_QUERY_ID",
      "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION",
      "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL"};
  if (minor < sizeof(names) / sizeof(names[0])) return names[minor];
  return Hex(minor, 2);
}

const char* NodeStateName(NodeState state) {
  switch (state) {
    case NodeState::Initialized: return "Initialized";
    case NodeState::AddFailed: return "AddFailed";
    case NodeState::DriversAdded: return "DriversAdded";
    case NodeState::Started: return "Started";
    case NodeState::StartFailed: return "StartFailed";
    case NodeState::QueryStopped: return "QueryStopped";
    case NodeState::Stopped: return "Stopped";
    case NodeState::QueryRemoved: return "QueryRemoved";
    case NodeState::SurpriseRemoved: return "SurpriseRemoved";
    case NodeState::Removed: return "Removed";
    case NodeState::Disabled: return "Disabled";
  }
  return "?";
}

// --- Device nodes ----------------------------------------------------------

DeviceNode::DeviceNode(DeviceNode* parent, PDEVICE_OBJECT pdo, std::string instancePath)
    : parent_(parent), pdo_(pdo), instancePath_(std::move(instancePath)) {}

PDEVICE_OBJECT DeviceNode::Fdo() const {
  if (pdoDeleted || pdo_ == nullptr || !IsDeviceAlive(pdo_)) return nullptr;
  return pdo_->AttachedDevice;
}

PDEVICE_OBJECT DeviceNode::Top() const {
  if (pdoDeleted || pdo_ == nullptr || !IsDeviceAlive(pdo_)) return nullptr;
  return IoGetAttachedDevice(pdo_);
}

std::string DeviceNode::KeyPath() const {
  return "SYSTEM\\CurrentControlSet\\Enum\\" + instancePath_;
}

std::string DeviceNode::DeviceParametersPath() const {
  return KeyPath() + "\\Device Parameters";
}

NodeState DeviceNode::State() const {
  std::lock_guard<std::recursive_mutex> lock(machine::State().mutex);
  return state_;
}

void DeviceNode::SetState(NodeState state) {
  std::lock_guard<std::recursive_mutex> lock(machine::State().mutex);
  state_ = state;
}

std::vector<DeviceNode*> DeviceNode::Children() const {
  std::lock_guard<std::recursive_mutex> lock(machine::State().mutex);
  return children_;
}

std::vector<DeviceNode*> DeviceNode::AllChildren() const {
  std::lock_guard<std::recursive_mutex> lock(machine::State().mutex);
  return allChildren_;
}

void DeviceNode::AddChild(DeviceNode* child) {
  std::lock_guard<std::recursive_mutex> lock(machine::State().mutex);
  children_.push_back(child);
  allChildren_.push_back(child);
}

void DeviceNode::DropChild(DeviceNode* child) {
  std::lock_guard<std::recursive_mutex> lock(machine::State().mutex);
  children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
}

std::string DeviceNode::PortName() const {
  if (instancePath_.empty()) return "";
  return RegistryStore::Instance().GetString(DeviceParametersPath(), "PORTNAME").value_or("");
}

std::vector<SerialReading> DeviceNode::SerialReadings() const {
  std::vector<SerialReading> mine;
  for (const auto& r : host::SerialReadings()) {
    if (RegistryStore::NamesEqual(r.instancePath, instancePath_)) mine.push_back(r);
  }
  return mine;
}

std::optional<SerialReading> DeviceNode::LastSerialReading() const {
  auto all = SerialReadings();
  if (all.empty()) return std::nullopt;
  return all.back();
}

std::vector<DeviceNode*> AllNodes() {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  std::vector<DeviceNode*> nodes;
  for (auto& n : state.nodes) nodes.push_back(n.get());
  return nodes;
}

DeviceNode* FindNode(PDEVICE_OBJECT pdo) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  for (auto& n : state.nodes) {
    if (n->Pdo() == pdo && !n->pdoDeleted && n->State() != NodeState::Removed) return n.get();
  }
  return nullptr;
}

DeviceNode* FindNodeByInstance(const std::string& id) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  for (auto it = state.nodes.rbegin(); it != state.nodes.rend(); ++it) {
    DeviceNode* n = it->get();
    if (n->State() == NodeState::Removed) continue;
    if (RegistryStore::NamesEqual(n->instanceId, id) || RegistryStore::NamesEqual(n->InstancePath(), id)) {
      return n;
    }
  }
  return nullptr;
}

// --- Sending requests -------------------------------------------------------

namespace {

// One Plug and Play request to the top of the stack the device is in, as the
// Plug and Play manager sends it: status STATUS_NOT_SUPPORTED, the given
// Information, waited for when pending.
PnpResult Call(PDEVICE_OBJECT device, UCHAR minor,
               const std::function<void(PIO_STACK_LOCATION)>& fill, ULONG_PTR information,
               bool toTop = true) {
  PnpResult result{STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, information};
  if (device == nullptr || !IsDeviceAlive(device)) {
    VerifierFail("machine: " + PnpMinorName(minor) + " for a device that no longer exists");
    return result;
  }
  PDEVICE_OBJECT target = toTop ? IoGetAttachedDeviceReference(device) : device;
  if (!toTop) ObReferenceObject(target);
  if (information == 0) {
    // The host's own sender: no IRP allocation faults are spent on it.
    IrpResult r = SendIrpAndWait(target, IRP_MJ_PNP, minor, fill, STATUS_NOT_SUPPORTED);
    result = {r.returned, r.iosb.Status, r.iosb.Information};
  } else {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_NOT_SUPPORTED;
    iosb.Information = information;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, nullptr, 0, nullptr, &event, &iosb);
    if (irp != nullptr) {
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      irp->IoStatus.Information = information;
      PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
      stack->MajorFunction = IRP_MJ_PNP;
      stack->MinorFunction = minor;
      if (fill) fill(stack);
      result.returned = IoCallDriver(target, irp);
      if (result.returned == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      }
      result.status = iosb.Status;
      result.information = iosb.Information;
    }
  }
  ObDereferenceObject(target);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    VerifierFail("machine: " + PnpMinorName(minor) + " came back at IRQL " +
                 std::to_string(KeGetCurrentIrql()));
  }
  return result;
}

// A buffer a driver handed out in a completed request: must be a live pool
// block with the expected tag. Returns its size, or 0 when it is no pool block.
size_t CheckHandedOut(const void* buffer, const std::string& what, ULONG tag) {
  auto block = PoolBlock(buffer);
  if (!block) {
    VerifierFail("machine: " + what + " at " + Hex((ULONG_PTR)buffer) +
                 " is not a pool block the requester can free");
    return 0;
  }
  if (tag != 0 && block->tag != tag) {
    VerifierFail("machine: " + what + " has pool tag '" + TagText(block->tag) + "', expected '" +
                 TagText(tag) + "'");
  }
  return block->size;
}

// Reads a wide string (or multi-string) handed out in Information, checks its
// buffer and frees it.
std::optional<std::vector<std::string>> TakeStrings(ULONG_PTR information, const std::string& what,
                                                    ULONG tag, bool multi) {
  if (information == 0) {
    VerifierFail("machine: " + what + " succeeded without a buffer");
    return std::nullopt;
  }
  const auto* text = reinterpret_cast<const char16_t*>(information);
  size_t size = CheckHandedOut(text, what, tag);
  if (size == 0) return std::nullopt;
  const size_t units = size / sizeof(char16_t);
  std::vector<std::string> strings;
  std::string current;
  size_t used = 0;  // code units up to and including the final NUL
  bool terminated = false;
  for (size_t i = 0; i < units; i++) {
    if (text[i] != 0) {
      current.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
      continue;
    }
    if (!multi) {
      strings.push_back(current);
      used = i + 1;
      terminated = true;
      break;
    }
    if (current.empty()) {  // the empty string that ends a multi-string
      used = i + 1;
      terminated = true;
      break;
    }
    strings.push_back(current);
    current.clear();
  }
  if (!terminated) {
    VerifierFail("machine: " + what + " is not " + (multi ? "ended by an empty string" : "NUL-terminated") +
                 " within its " + std::to_string(size) + "-byte buffer");
  } else if (used * sizeof(char16_t) != size) {
    VerifierFail("machine: " + what + " came in a " + std::to_string(size) +
                 "-byte buffer; its contents need " + std::to_string(used * sizeof(char16_t)));
  }
  ExFreePool(const_cast<char16_t*>(text));
  if (!terminated) return std::nullopt;
  return strings;
}

// A copy of a pool block of known layout, freed afterwards.
std::vector<uint8_t> TakeBlock(ULONG_PTR information, const std::string& what, size_t needed) {
  auto* p = reinterpret_cast<uint8_t*>(information);
  size_t size = CheckHandedOut(p, what, 0);
  if (size == 0) return {};
  std::vector<uint8_t> bytes(p, p + std::min(size, needed));
  if (needed > size) {
    VerifierFail("machine: " + what + " needs " + std::to_string(needed) + " bytes but its buffer holds " +
                 std::to_string(size));
  }
  ExFreePool(p);
  return bytes;
}

void CheckInitializingCleared(PDEVICE_OBJECT pdo, const std::string& who) {
  for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
    if (d->Flags & DO_DEVICE_INITIALIZING) {
      VerifierFail("machine: " + who + " left DO_DEVICE_INITIALIZING set on device " +
                   Hex((ULONG_PTR)d) + " after AddDevice");
    }
  }
}

// The function driver's AddDevice for the node.
void AddFunctionDriver(DeviceNode& node) {
  PDRIVER_OBJECT driver = node.service.empty() ? nullptr : machine::EnsureDriverLoaded(node.service);
  if (driver == nullptr || driver->DriverExtension->AddDevice == nullptr) {
    node.addStatus = STATUS_NO_SUCH_DEVICE;
    node.problem = "no function driver could be loaded";
    node.SetState(NodeState::AddFailed);
    return;
  }
  node.addStatus = driver->DriverExtension->AddDevice(driver, node.Pdo());
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    VerifierFail("machine: AddDevice of " + node.service + " returned at IRQL " +
                 std::to_string(KeGetCurrentIrql()));
  }
  if (NT_SUCCESS(node.addStatus)) {
    node.fdoAtAdd = node.Pdo()->AttachedDevice;
    CheckInitializingCleared(node.Pdo(), node.service);
    node.SetState(NodeState::DriversAdded);
  } else {
    if (node.Pdo()->AttachedDevice != nullptr) {
      VerifierFail("machine: AddDevice of " + node.service + " failed with " +
                   StatusText(node.addStatus) + " but left a device attached to the PDO");
    }
    node.problem = "AddDevice failed";
    node.SetState(NodeState::AddFailed);
    machine::UnloadIfIdle(node.service);
  }
}

void ProcessRelations(DeviceNode& node, ULONG_PTR information);
NTSTATUS RemoveTree(DeviceNode& node, bool disable = false);
void AfterRemove(DeviceNode& node, bool keep);

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

// Capabilities as the manager asks for them: at enumeration and again once
// the device's drivers have started it (IRP_MN_QUERY_CAPABILITIES).
std::optional<DEVICE_CAPABILITIES> QueryCapabilities(DeviceNode& node) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(DEVICE_CAPABILITIES);
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  PnpResult r = Call(node.Pdo(), IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
    s->Parameters.DeviceCapabilities.Capabilities = &caps;
  }, 0);
  if (!NT_SUCCESS(r.status)) return std::nullopt;
  return caps;
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

void StartChild(DeviceNode& child);

// Interrogates a new child, installs it, loads the serial port driver on it and starts it.
void BringUpChild(DeviceNode& child) {
  const auto tags = [] {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    return State().tags;
  }();
  PDEVICE_OBJECT pdo = child.Pdo();
  auto queryId = [&](BUS_QUERY_ID_TYPE type, const char* what, bool multi) {
    PnpResult r = Call(pdo, IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; }, 0);
    if (!NT_SUCCESS(r.status)) return std::optional<std::vector<std::string>>();
    return TakeStrings(r.information, what, tags.ids, multi);
  };

  if (auto id = queryId(BusQueryDeviceID, "device ID", false)) child.deviceId = id->at(0);
  if (auto ids = queryId(BusQueryHardwareIDs, "hardware IDs", true)) child.hardwareIds = *ids;
  if (auto ids = queryId(BusQueryCompatibleIDs, "compatible IDs", true)) child.compatibleIds = *ids;
  if (auto id = queryId(BusQueryInstanceID, "instance ID", false)) child.instanceId = id->at(0);

  child.capabilities = QueryCapabilities(child);

  if (child.deviceId.empty() || child.instanceId.empty()) {
    child.problem = child.deviceId.empty() ? "no device ID" : "no instance ID";
    return;
  }
  // The instance path: unique instance IDs stand alone; others are made
  // unique with the parent's prefix.
  std::string instance = child.instanceId;
  if (!child.capabilities || !child.capabilities->UniqueID) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "5&%x&0&", (unsigned)std::hash<std::string>()(child.Parent()->InstancePath()) & 0xFFFFFFF);
    instance = prefix + instance;
  }
  std::string path = child.deviceId + "\\" + instance;
  // A device node outlives the removal of a device that is still present
  // (disabled, start failed, driver updated) and keeps its PDO; a second PDO
  // with its instance path is PNP_DETECTED_FATAL_ERROR (0xCA), parameter 1
  // (duplicate PDO).
  for (DeviceNode* other : AllNodes()) {
    if (other != &child && other->State() != NodeState::Removed &&
        RegistryStore::NamesEqual(other->InstancePath(), path)) {
      VerifierFail("machine: bug check 0xCA parameter 1: bus relations report a second PDO with the "
                   "instance path " + path + ", whose device node still exists");
      child.problem = "duplicate instance path";
      return;
    }
  }
  child.SetInstancePath(path);
  // The device node exists from here on: the driver may open its keys.
  RegistryStore::Instance().CreateKey(child.KeyPath());
  SetDeviceInstancePath(pdo, path);


  auto queryText = [&](DEVICE_TEXT_TYPE type, const char* what) -> std::string {
    PnpResult r = Call(pdo, IRP_MN_QUERY_DEVICE_TEXT, [&](PIO_STACK_LOCATION s) {
      s->Parameters.QueryDeviceText.DeviceTextType = type;
      s->Parameters.QueryDeviceText.LocaleId = 0x409;
    }, 0);
    if (!NT_SUCCESS(r.status)) return "";
    auto text = TakeStrings(r.information, what, tags.text, false);
    return text ? text->at(0) : "";
  };
  child.description = queryText(DeviceTextDescription, "device description");
  child.location = queryText(DeviceTextLocationInformation, "location text");

  PnpResult bus = Call(pdo, IRP_MN_QUERY_BUS_INFORMATION, {}, 0);
  if (NT_SUCCESS(bus.status) && bus.information != 0) {
    auto* info = reinterpret_cast<PPNP_BUS_INFORMATION>(bus.information);
    size_t size = CheckHandedOut(info, "bus information", tags.busInformation);
    if (size != 0) {
      if (size != sizeof(PNP_BUS_INFORMATION)) {
        VerifierFail("machine: bus information came in a " + std::to_string(size) +
                     "-byte buffer; a PNP_BUS_INFORMATION needs " +
                     std::to_string(sizeof(PNP_BUS_INFORMATION)));
      }
      if (size >= sizeof(PNP_BUS_INFORMATION)) child.busInformation = *info;
      ExFreePool(info);
    }
  }

  PnpResult resources = Call(pdo, IRP_MN_QUERY_RESOURCES, {}, 0);
  child.queryResourcesStatus = resources.status;
  if (NT_SUCCESS(resources.status) && resources.information != 0) {
    auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(resources.information);
    child.bootResources = TakeBlock(resources.information, "boot configuration", ResourceListSize(list));
  }
  PnpResult requirements = Call(pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, {}, 0);
  child.requirementsStatus = requirements.status;
  if (NT_SUCCESS(requirements.status) && requirements.information != 0) {
    auto* list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(requirements.information);
    child.requirements = TakeBlock(requirements.information, "resource requirements", RequirementsListSize(list));
  }

  auto& store = RegistryStore::Instance();
  const std::string key = child.KeyPath();
  store.CreateKey(key);
  auto set = [&](const char* name, uint32_t type, const std::vector<uint8_t>& bytes) {
    store.SetValue(key, name, type, bytes.data(), bytes.size());
  };
  set("HardwareID", REG_MULTI_SZ, MultiSzBytes(child.hardwareIds));
  set("CompatibleIDs", REG_MULTI_SZ, MultiSzBytes(child.compatibleIds));
  if (!child.description.empty()) set("DeviceDesc", REG_SZ, SzBytes(child.description));
  if (!child.location.empty()) set("LocationInformation", REG_SZ, SzBytes(child.location));
  if (child.capabilities) {
    ULONG flags;
    std::memcpy(&flags, reinterpret_cast<const uint8_t*>(&*child.capabilities) + 4, 4);
    store.SetDword(key, "Capabilities", flags);
    if (child.capabilities->UINumber != 0xFFFFFFFF) store.SetDword(key, "UINumber", child.capabilities->UINumber);
  }
  store.SetString(key, "Class", "Ports");
  store.SetString(key, "Service", machine::kSerialService);

  // The Ports class installer, then the function driver.
  RunComPortInstaller(child);
  child.service = machine::kSerialService;
  AddFunctionDriver(child);
  StartChild(child);
}

// A child whose function driver was added: resource requirements through the
// stack's filter, start, then its own bus relations.
void StartChild(DeviceNode& child) {
  if (child.State() != NodeState::DriversAdded) return;
  PDEVICE_OBJECT pdo = child.Pdo();

  // Resource requirements go through the stack's filter; the port devices
  // claim none, so the device starts without resources.
  void* list = nullptr;
  if (!child.requirements.empty()) {
    list = ExAllocatePoolWithTag(PagedPool, child.requirements.size(), machine::kPnpTag);
    if (list != nullptr) std::memcpy(list, child.requirements.data(), child.requirements.size());
  }
  PnpResult filter = Call(pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, [&](PIO_STACK_LOCATION s) {
    s->Parameters.FilterResourceRequirements.IoResourceRequirementList =
        static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(list);
  }, reinterpret_cast<ULONG_PTR>(list));
  child.filterStatus = filter.status;
  if (filter.information != 0 && filter.information != reinterpret_cast<ULONG_PTR>(list)) {
    auto* filtered = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(filter.information);
    child.filteredRequirements = TakeBlock(filter.information, "filtered requirements", RequirementsListSize(filtered));
  } else if (list != nullptr) {
    ExFreePool(list);
  }
  StartAndFollowUp(child, nullptr, nullptr, true);
  if (child.State() == NodeState::Started) {
    PnpResult r = Call(pdo, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
      s->Parameters.QueryDeviceRelations.Type = BusRelations;
    }, 0);
    if (NT_SUCCESS(r.status)) ProcessRelations(child, r.information);
  }
}

void CheckRelationsBlock(const DEVICE_RELATIONS* relations, ULONG tag) {
  size_t size = CheckHandedOut(relations, "bus relations", tag);
  if (size == 0) return;
  size_t minimum = FIELD_OFFSET(DEVICE_RELATIONS, Objects);
  if (size < minimum) {
    VerifierFail("machine: bus relations list of " + std::to_string(size) + " bytes has no room for its count");
    return;
  }
  size_t exact = minimum + relations->Count * sizeof(PDEVICE_OBJECT);
  bool ok = size == exact || (relations->Count == 0 && size == sizeof(DEVICE_RELATIONS));
  if (!ok) {
    VerifierFail("machine: bus relations list with " + std::to_string(relations->Count) +
                 " device(s) came in a " + std::to_string(size) + "-byte buffer; it needs " +
                 std::to_string(std::max(exact, sizeof(DEVICE_RELATIONS))));
  }
}

// A bus-relations answer: forget known devices' extra references, remove
// vanished children, bring up new ones.
void ProcessRelations(DeviceNode& node, ULONG_PTR information) {
  const ULONG tag = [] {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    return State().tags.relations;
  }();
  std::vector<PDEVICE_OBJECT> reported;
  if (information != 0) {
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    CheckRelationsBlock(relations, tag);
    if (PoolBlock(relations)) {
      size_t room = (PoolBlock(relations)->size - FIELD_OFFSET(DEVICE_RELATIONS, Objects)) / sizeof(PDEVICE_OBJECT);
      for (ULONG i = 0; i < relations->Count && i < room; i++) reported.push_back(relations->Objects[i]);
      ExFreePool(relations);
    }
  }

  std::vector<DeviceNode*> present = node.Children();
  std::set<DeviceNode*> seen;
  std::vector<DeviceNode*> fresh;
  std::set<PDEVICE_OBJECT> listed;
  for (PDEVICE_OBJECT pdo : reported) {
    if (pdo == nullptr || !IsDeviceAlive(pdo)) {
      VerifierFail("machine: bus relations of " + NodeText(node) + " name a device that does not exist (" +
                   Hex((ULONG_PTR)pdo) + ")");
      continue;
    }
    if (!listed.insert(pdo).second) {
      VerifierFail("machine: bus relations of " + NodeText(node) + " list device " + Hex((ULONG_PTR)pdo) + " twice");
      ObDereferenceObject(pdo);
      continue;
    }
    auto known = std::find_if(present.begin(), present.end(), [&](DeviceNode* c) { return c->Pdo() == pdo; });
    if (known != present.end()) {
      // The manager already holds its reference; this one was the list's.
      ObDereferenceObject(pdo);
      seen.insert(*known);
      (*known)->reported = true;
      continue;
    }
    if (pdo->Flags & DO_DEVICE_INITIALIZING) {
      VerifierFail("machine: bus relations of " + NodeText(node) + " report device " + Hex((ULONG_PTR)pdo) +
                   " with DO_DEVICE_INITIALIZING still set");
    }
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    auto child = std::make_unique<DeviceNode>(&node, pdo, "");
    child->holdsReference = true;
    child->reported = true;
    DeviceNode* raw = child.get();
    {
      std::lock_guard<std::recursive_mutex> lock(State().mutex);
      State().nodes.push_back(std::move(child));
    }
    node.AddChild(raw);
    fresh.push_back(raw);
  }

  // New children first: a vanished child's device node exists until its
  // removal has been processed after the enumeration.
  for (DeviceNode* child : present) {
    if (!seen.count(child)) child->reported = false;
  }
  for (DeviceNode* child : fresh) BringUpChild(*child);

  // Children the bus no longer reports: reported missing, so their PDOs may
  // go at the removal that follows (a second one for a disabled child).
  for (DeviceNode* child : present) {
    if (seen.count(child)) continue;
    if (StartedLike(child->State())) {
      for (DeviceNode* d : [&] { std::vector<DeviceNode*> v; PostOrder(*child, v); return v; }()) {
        if (StartedLike(d->State())) {
          Call(d->Pdo(), IRP_MN_SURPRISE_REMOVAL, {}, 0);
          d->SetState(NodeState::SurpriseRemoved);
        }
      }
    }
    RemoveTree(*child);
  }
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
    VerifierFail("machine: after IRP_MN_REMOVE_DEVICE device " + Hex((ULONG_PTR)pdo->AttachedDevice) +
                 " is still attached above the PDO of " + NodeText(node));
  }
  if (node.fdoAtAdd != nullptr && IsDeviceAlive(node.fdoAtAdd)) {
    VerifierFail("machine: the function device " + Hex((ULONG_PTR)node.fdoAtAdd) + " of " + NodeText(node) +
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

}  // namespace

// --- The life of a device ----------------------------------------------------

DeviceNode& PlugCard(Card& card, ULONG bus, ULONG device, ULONG function, const PlugOptions& options) {
  auto& state = State();
  for (DeviceNode* n : AllNodes()) {
    if (n->GetCard() != nullptr && n->State() != NodeState::Removed && n->Pci()->Bus() == bus &&
        n->Pci()->DeviceNumber() == device && n->Pci()->Function() == function) {
      VerifierFail("machine: PCI bus " + std::to_string(bus) + " device " + std::to_string(device) +
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
      VerifierFail("machine: IRP_MN_FILTER_RESOURCE_REQUIREMENTS of " + NodeText(node) +
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

NTSTATUS QueryBusRelations(DeviceNode& node) {
  PnpResult r = Call(node.Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = BusRelations;
  }, 0);
  node.relationsStatus = r.status;
  if (!NT_SUCCESS(r.status)) {
    if (r.information != 0) {
      VerifierFail("machine: failed bus relations of " + NodeText(node) + " came back with a list");
    }
    return r.status;
  }
  ProcessRelations(node, r.information);
  return r.status;
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

// Before it asks a device whether it can be removed, the manager collects
// the devices that go with it: IRP_MN_QUERY_DEVICE_RELATIONS for
// RemovalRelations (the reported devices are queried along with it; the
// drivers here report none of their own).
void QueryRemovalRelations(DeviceNode& node) {
  PnpResult r = Call(node.Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = RemovalRelations;
  }, 0);
  if (!NT_SUCCESS(r.status) || r.information == 0) return;
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
  if (CheckHandedOut(relations, "removal relations", 0) == 0) return;
  for (ULONG i = 0; i < relations->Count; i++) {
    if (relations->Objects[i] != nullptr) ObDereferenceObject(relations->Objects[i]);
  }
  ExFreePool(relations);
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
    VerifierFail("machine: " + NodeText(node) + " was already removed");
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
    VerifierFail("machine: refused to disable " + NodeText(node) + " in state " + NodeStateName(node.State()));
    return STATUS_INVALID_DEVICE_STATE;
  }
  NTSTATUS status = QueryRemove(node);
  if (!NT_SUCCESS(status)) return status;
  return RemoveTree(node, true);
}

NTSTATUS EnableDevice(DeviceNode& node) {
  if (node.State() != NodeState::Disabled) {
    VerifierFail("machine: refused to enable " + NodeText(node) + " in state " + NodeStateName(node.State()));
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

PnpResult SendPnp(DeviceNode& node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                  ULONG_PTR information) {
  return Call(node.Pdo(), minor, fill, information, true);
}

PnpResult SendPnpTo(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                    ULONG_PTR information) {
  return Call(device, minor, fill, information, false);
}

// --- Whole machine -----------------------------------------------------------

void ResetMachine() {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  for (auto& pci : state.pciDevices) pci->Abandon();
  state.nodes.clear();
  SavedStates().clear();
  state.pciDevices.clear();
  state.cards.clear();
  state.pciDriver = nullptr;
  state.drivers.clear();
  state.lastService.clear();
  state.autoUnload = true;
  state.tags = ChildBufferTags{};
  state.serialReadings.clear();
  state.serialAddFailures = 0;
  state.serialAddFailStatus = STATUS_SUCCESS;
  state.livePowerRequests = 0;
  machine::IllegalSequencesAllowed() = false;
}

std::vector<std::string> MachineEndChecks() {
  auto& state = State();
  std::vector<std::string> findings;
  std::vector<PciDevice*> devices;
  int power;
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    for (auto& pci : state.pciDevices) devices.push_back(pci.get());
    power = state.livePowerRequests;
  }
  for (PciDevice* pci : devices) {
    size_t held = pci->HeldCount();
    if (held != 0) {
      findings.push_back("machine: " + std::to_string(held) + " request(s) still held at the PCI device at " +
                         pci->LocationText() + " (released now)");
      pci->ReleaseHeld();
    }
  }
  if (power != 0) {
    findings.push_back("machine: " + std::to_string(power) + " power request(s) still running");
  }
  return findings;
}

void TearDownMachine() {
  for (DeviceNode* node : AllNodes()) {
    if (node->Parent() != nullptr || node->State() == NodeState::Removed) continue;
    UnplugCard(*node);
  }
  std::vector<std::string> services;
  {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    for (auto& [name, record] : State().drivers) {
      if (record.object != nullptr) services.push_back(record.service);
    }
  }
  for (const auto& service : services) {
    PDRIVER_OBJECT driver = LoadedDriver(service);
    if (driver != nullptr && driver->DeviceObject == nullptr) UnloadDriver(service);
  }
}

}  // namespace host
