// The Plug and Play manager's device nodes: the machine's state, the nodes
// and their lookup, the text helpers, and the whole machine's reset, end
// checks and shutdown.
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

bool ParentLeaving(const DeviceNode& parent) {
  return parent.removing || parent.State() == NodeState::SurpriseRemoved ||
         parent.State() == NodeState::Removed;
}

namespace {

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
      VerifierFail("pnp.pdo-deleted-while-reported", "machine: Driver Verifier 0x221: the PDO of device " +
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
  std::u16string out(text.size(), u'\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
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
// The string as UTF-16LE code units (each byte one unit) with its NUL.
void AppendSz(std::vector<uint8_t>& bytes, const std::string& text) {
  size_t at = bytes.size();
  bytes.resize(at + 2 * (text.size() + 1), 0);
  for (unsigned char c : text) {
    bytes[at] = c;
    at += 2;
  }
}
}  // namespace

std::vector<uint8_t> SzBytes(const std::string& text) {
  std::vector<uint8_t> bytes;
  AppendSz(bytes, text);
  return bytes;
}

std::vector<uint8_t> MultiSzBytes(const std::vector<std::string>& strings) {
  size_t total = 2;
  for (const auto& s : strings) total += 2 * (s.size() + 1);
  std::vector<uint8_t> bytes;
  bytes.reserve(total);
  for (const auto& s : strings) AppendSz(bytes, s);
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

bool& IllegalSequencesAllowed() {
  static bool allowed = false;
  return allowed;
}

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
  VerifierFail("pnp.sequence-refused", "machine: refused to send " + what + " to " + NodeText(node) + " in state " +
               NodeStateName(node.State()) + ": the Plug and Play manager never does");
  return true;
}

}  // namespace machine

using namespace machine;

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

void DeviceNode::SetState(NodeState state) { state_.store(state, std::memory_order_release); }

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
  SetHandedOutHook(nullptr);
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
