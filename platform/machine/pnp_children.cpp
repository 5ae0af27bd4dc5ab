// Child bring-up: a newly reported child is interrogated (IDs, capabilities,
// text, bus information, resources), installed, given its function driver
// and started.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

#include "host/faults.h"
#include "host/io.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "pnp_internal.h"
#include "registry.h"

namespace host {

namespace machine {

void CheckInitializingCleared(PDEVICE_OBJECT pdo, const std::string& who) {
  for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
    if (d->Flags & DO_DEVICE_INITIALIZING) {
      VerifierFail("pnp.initializing-not-cleared", "machine: " + who + " left DO_DEVICE_INITIALIZING set on device " +
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
  {
    DriverScope scope(driver);
    node.addStatus = driver->DriverExtension->AddDevice(driver, node.Pdo());
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    VerifierFail("pnp.irql-on-return", "machine: AddDevice of " + node.service + " returned at IRQL " +
                 std::to_string(KeGetCurrentIrql()));
  }
  if (NT_SUCCESS(node.addStatus)) {
    node.fdoAtAdd = node.Pdo()->AttachedDevice;
    CheckInitializingCleared(node.Pdo(), node.service);
    node.SetState(NodeState::DriversAdded);
  } else {
    if (node.Pdo()->AttachedDevice != nullptr) {
      VerifierFail("pnp.add-failed-attached", "machine: AddDevice of " + node.service + " failed with " +
                   StatusText(node.addStatus) + " but left a device attached to the PDO");
    }
    node.problem = "AddDevice failed";
    node.SetState(NodeState::AddFailed);
    machine::UnloadIfIdle(node.service);
  }
}

// Interrogates a new child, installs it, loads the serial port driver on it and starts it.
void BringUpChild(DeviceNode& child) {
  PDEVICE_OBJECT pdo = child.Pdo();
  auto queryId = [&](BUS_QUERY_ID_TYPE type, const char* what, bool multi) {
    PnpResult r = Call(pdo, IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; }, 0);
    if (!NT_SUCCESS(r.status)) return std::optional<std::vector<std::string>>();
    return TakeStrings(r.information, what, multi);
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
  bool duplicate = false;
  {
    // Compared as the registry compares names (ASCII letters without case),
    // from the end: siblings' instance paths differ there.
    auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; };
    auto sameFromEnd = [&](const std::string& a, const std::string& b) {
      if (a.size() != b.size()) return false;
      for (size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i] && fold(a[i]) != fold(b[i])) return false;
      }
      return true;
    };
    auto& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    for (const auto& other : state.nodes) {
      if (other.get() != &child && other->State() != NodeState::Removed &&
          sameFromEnd(other->InstancePath(), path)) {
        duplicate = true;
        break;
      }
    }
  }
  if (duplicate) {
    VerifierFail("pnp.duplicate-pdo", "machine: bug check 0xCA parameter 1: bus relations report a second PDO with the "
                 "instance path " + path + ", whose device node still exists");
    child.problem = "duplicate instance path";
    return;
  }
  child.SetInstancePath(path);
  // The device node exists from here on (SetDeviceInstancePath creates its
  // key): the driver may open its keys.
  SetDeviceInstancePath(pdo, path);


  auto queryText = [&](DEVICE_TEXT_TYPE type, const char* what) -> std::string {
    PnpResult r = Call(pdo, IRP_MN_QUERY_DEVICE_TEXT, [&](PIO_STACK_LOCATION s) {
      s->Parameters.QueryDeviceText.DeviceTextType = type;
      s->Parameters.QueryDeviceText.LocaleId = 0x409;
    }, 0);
    if (!NT_SUCCESS(r.status)) return "";
    auto text = TakeStrings(r.information, what, false);
    return text ? text->at(0) : "";
  };
  child.description = queryText(DeviceTextDescription, "device description");
  child.location = queryText(DeviceTextLocationInformation, "location text");

  PnpResult bus = Call(pdo, IRP_MN_QUERY_BUS_INFORMATION, {}, 0);
  if (NT_SUCCESS(bus.status) && bus.information != 0) {
    auto* info = reinterpret_cast<PPNP_BUS_INFORMATION>(bus.information);
    size_t size = CheckHandedOut(info, "bus information", sizeof(PNP_BUS_INFORMATION));
    if (size != 0) {
      if (size < sizeof(PNP_BUS_INFORMATION)) {
        VerifierFail("pnp.buffer-overrun", "machine: bus information came in a " + std::to_string(size) +
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

}  // namespace machine

}  // namespace host
