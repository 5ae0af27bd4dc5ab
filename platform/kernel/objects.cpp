// Object manager and I/O manager objects: driver objects, device objects,
// device stacks and counted references.
//
// A device object is one allocation, as the I/O manager lays it out:
// DEVICE_OBJECT, the device extension (zeroed), guard bytes, then the I/O
// manager's private DEVOBJ_EXTENSION. Its memory goes when it has been
// deleted, the last reference is released and no device is attached above it
// any more; the memory is then filled and kept out of reuse until
// ResetKernel, so late use and double deletion show.
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "host/faults.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "kcore_internal.h"
#include "spin_lock.h"

namespace host {
namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDeviceObjectExtension = 13;
constexpr size_t kExtensionGuard = 16;

// The I/O manager's private part of a device object.
struct DevObjExtension {
  CSHORT Type;
  USHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_OBJECT AttachedTo;
};

struct DeviceRecord {
  PDEVICE_OBJECT dev;
  unsigned char* memory;
  size_t bytes;
  size_t extensionSize;
  PDRIVER_OBJECT driver;
  std::u16string name;
  PDEVICE_OBJECT attachedTo = nullptr;
  LONG references = 0;  // beyond the creation reference
  bool deleted = false;
  bool freed = false;
};

struct DriverRecord {
  std::unique_ptr<DRIVER_OBJECT> object;
  std::unique_ptr<DRIVER_EXTENSION> extension;
  std::u16string name;
  std::u16string serviceName;
  std::u16string hardwareDatabase;
  UNICODE_STRING hardwareDatabaseString;
  LONG references = 0;
};

using DeletedHooks = std::vector<std::function<void(PDEVICE_OBJECT)>>;

struct ObjectState {
  kcore::SpinLock lock;
  std::map<PDEVICE_OBJECT, DeviceRecord> devices;  // kept after deletion until reset
  // The names of the devices not yet deleted (views of their records' names).
  std::unordered_map<std::u16string_view, PDEVICE_OBJECT> liveNames;
  std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers;
  // Replaced, never changed in place, so a deletion takes the list without
  // copying it.
  std::shared_ptr<const DeletedHooks> deletedHooks = std::make_shared<DeletedHooks>();
  ULONG nameCounter = 0;
  int failCreateNth = 0;
};

ObjectState g_objects;
ObjectState& S() { return g_objects; }

UNICODE_STRING StringOf(std::u16string& s) {
  UNICODE_STRING u;
  u.Buffer = s.empty() ? nullptr : s.data();
  u.Length = static_cast<USHORT>(s.size() * sizeof(WCHAR));
  u.MaximumLength = static_cast<USHORT>(u.Length + sizeof(WCHAR));
  return u;
}

size_t RoundUp8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

unsigned char* GuardOf(const DeviceRecord& r) {
  return r.memory + sizeof(DEVICE_OBJECT) + RoundUp8(r.extensionSize);
}

bool ExtensionGuardIntact(const DeviceRecord& r) {
  const unsigned char* g = GuardOf(r);
  for (size_t i = 0; i < kExtensionGuard; ++i) {
    if (g[i] != kcore::kGuardFill) return false;
  }
  return true;
}

// Caller holds the lock.
std::string DeviceTextLocked(PDEVICE_OBJECT dev) {
  auto it = S().devices.find(dev);
  if (it == S().devices.end()) return "device " + kcore::PointerText(dev) + " (not a device object)";
  const DeviceRecord& r = it->second;
  std::string text = "device " + kcore::PointerText(dev) + " (";
  auto d = S().drivers.find(r.driver);
  text += d != S().drivers.end() ? kcore::Narrow(d->second->name) : "driver gone";
  if (!r.name.empty()) text += ", " + kcore::Narrow(r.name);
  if (r.freed) text += ", freed";
  else if (r.deleted) text += ", deleted";
  return text + ")";
}

// Releases the memory of a deleted device with no references; caller holds
// the lock.
void FreeDeviceLocked(DeviceRecord& r) {
  if (!ExtensionGuardIntact(r)) {
    VerifierFail("mem.extension-overrun", "the device extension of " + DeviceTextLocked(r.dev) +
                                              " (" + std::to_string(r.extensionSize) +
                                              " bytes) was written past its end");
  }
  std::memset(r.memory, kcore::kFreedFill, r.bytes);
  r.freed = true;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

PDRIVER_DISPATCH DefaultDispatchRoutine() { return InvalidDeviceRequest; }

PDRIVER_OBJECT CreateDriverObject(const std::u16string& name) {
  static const std::u16string kPrefix = u"\\Driver\\";
  auto rec = std::make_unique<DriverRecord>();
  rec->serviceName = name.compare(0, kPrefix.size(), kPrefix) == 0 ? name.substr(kPrefix.size()) : name;
  rec->name = kPrefix + rec->serviceName;
  rec->hardwareDatabase = u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM";
  rec->object = std::make_unique<DRIVER_OBJECT>();
  rec->extension = std::make_unique<DRIVER_EXTENSION>();
  PDRIVER_OBJECT d = rec->object.get();
  std::memset(d, 0, sizeof *d);
  std::memset(rec->extension.get(), 0, sizeof(DRIVER_EXTENSION));
  d->Type = kIoTypeDriver;
  d->Size = sizeof(DRIVER_OBJECT);
  d->DriverExtension = rec->extension.get();
  d->DriverExtension->DriverObject = d;
  d->DriverExtension->ServiceKeyName = StringOf(rec->serviceName);
  d->DriverName = StringOf(rec->name);
  rec->hardwareDatabaseString = StringOf(rec->hardwareDatabase);
  d->HardwareDatabase = &rec->hardwareDatabaseString;
  for (auto& entry : d->MajorFunction) entry = InvalidDeviceRequest;
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  S().drivers[d] = std::move(rec);
  return d;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto it = S().drivers.find(driver);
  if (it == S().drivers.end()) {
    VerifierFail("host.bad-call", "DeleteDriverObject of " + kcore::PointerText(driver) +
                                      ", which is not a driver object");
    return;
  }
  if (driver->DeviceObject != nullptr) {
    VerifierFail("obj.unload-with-devices", "driver " + kcore::Narrow(it->second->name) +
                                                " unloaded while it still has device objects (" +
                                                DeviceTextLocked(driver->DeviceObject) + ")");
  }
  S().drivers.erase(it);
}

PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT dev) {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto it = S().devices.find(dev);
  return it == S().devices.end() ? nullptr : it->second.attachedTo;
}

LONG ReferenceCount(PDEVICE_OBJECT dev) {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto it = S().devices.find(dev);
  return it == S().devices.end() ? 0 : it->second.references;
}

bool IsDeviceAlive(PDEVICE_OBJECT dev) {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto it = S().devices.find(dev);
  return it != S().devices.end() && !it->second.deleted;
}

std::u16string DeviceName(PDEVICE_OBJECT dev) {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto it = S().devices.find(dev);
  return it == S().devices.end() ? std::u16string() : it->second.name;
}

void OnDeviceDeleted(std::function<void(PDEVICE_OBJECT)> hook) {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto hooks = std::make_shared<DeletedHooks>(*S().deletedHooks);
  hooks->push_back(std::move(hook));
  S().deletedHooks = std::move(hooks);
}

void FailDeviceCreationNth(int n) {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  S().failCreateNth = n > 0 ? n : 0;
}

namespace kcore {

std::string DeviceText(PDEVICE_OBJECT dev) {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  return DeviceTextLocked(dev);
}

void ResetObjects() {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  for (auto& [dev, r] : S().devices) std::free(r.memory);
  S().liveNames.clear();
  S().devices.clear();
  S().drivers.clear();
  S().nameCounter = 0;
  S().failCreateNth = 0;
}

void ObjectEndChecks(std::vector<std::string>& out) {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  for (auto& [dev, r] : S().devices) {
    if (!r.deleted) out.push_back("obj.device-leak: " + DeviceTextLocked(dev) + " was never deleted");
    if (r.references > 0) {
      out.push_back("obj.reference-leak: " + DeviceTextLocked(dev) + " still has " + std::to_string(r.references) +
                    " reference(s) from ObReferenceObject / IoGetAttachedDeviceReference");
    }
    if (!r.freed && !ExtensionGuardIntact(r)) {
      out.push_back("mem.extension-overrun: the device extension of " + DeviceTextLocked(dev) + " was written past its end");
    }
  }
  for (auto& [d, rec] : S().drivers) {
    if (rec->references > 0) {
      out.push_back("obj.reference-leak: driver object " + Narrow(rec->name) + " still has " +
                    std::to_string(rec->references) + " reference(s)");
    }
  }
}

}  // namespace kcore
}  // namespace host

using host::S;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  using namespace host;
  *DeviceObject = nullptr;
  if (kcore::Irql() != PASSIVE_LEVEL) {
    VerifierFail("irql.ddi-call", "IoCreateDevice at IRQL " + std::to_string(kcore::Irql()) +
                                      " (must be PASSIVE_LEVEL)");
  }
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  if (S().drivers.find(DriverObject) == S().drivers.end()) {
    VerifierFail("ddi.invalid-parameter", "IoCreateDevice with " +
                                              kcore::PointerText(DriverObject) +
                                              ", which is not a driver object");
    return STATUS_INVALID_PARAMETER;
  }
  if (S().failCreateNth > 0 && --S().failCreateNth == 0) return STATUS_INSUFFICIENT_RESOURCES;
  // No pool for the device object and its extension.
  if (host::FaultDue(host::FaultKind::CreateDevice)) return STATUS_INSUFFICIENT_RESOURCES;

  std::u16string name;
  if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
    // "\Device\%08x" of the next number.
    static const char16_t kDigits[] = u"0123456789abcdef";
    ULONG number = ++S().nameCounter;
    name = u"\\Device\\00000000";
    for (size_t i = name.size(); number != 0; number >>= 4) name[--i] = kDigits[number & 0xF];
  } else if (DeviceName != nullptr && DeviceName->Length > 0) {
    name.assign(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
  }
  if (!name.empty() && S().liveNames.count(name) != 0) return STATUS_OBJECT_NAME_COLLISION;

  size_t extension = RoundUp8(DeviceExtensionSize);
  size_t bytes = sizeof(DEVICE_OBJECT) + extension + kExtensionGuard + sizeof(DevObjExtension);
  auto memory = static_cast<unsigned char*>(std::calloc(1, bytes));
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto dev = reinterpret_cast<PDEVICE_OBJECT>(memory);
  std::memset(memory + sizeof(DEVICE_OBJECT) + extension, kcore::kGuardFill, kExtensionGuard);
  auto doe = reinterpret_cast<DevObjExtension*>(memory + sizeof(DEVICE_OBJECT) + extension +
                                                kExtensionGuard);
  doe->Type = kIoTypeDeviceObjectExtension;
  doe->Size = sizeof(DevObjExtension);
  doe->DeviceObject = dev;

  dev->Type = kIoTypeDevice;
  dev->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  dev->DriverObject = DriverObject;
  dev->DeviceExtension = DeviceExtensionSize ? memory + sizeof(DEVICE_OBJECT) : nullptr;
  dev->DeviceType = DeviceType;
  dev->Characteristics = DeviceCharacteristics;
  dev->Flags = DO_DEVICE_INITIALIZING;
  if (Exclusive) dev->Flags |= DO_EXCLUSIVE;
  if (!name.empty()) dev->Flags |= DO_DEVICE_HAS_NAME;
  dev->StackSize = 1;
  dev->AlignmentRequirement = 0;
  dev->DeviceObjectExtension = doe;
  // The device lock is a synchronization event, initially signalled.
  dev->DeviceLock.Header.Type = SynchronizationEvent;
  dev->DeviceLock.Header.Size = sizeof(KEVENT) / sizeof(LONG);
  dev->DeviceLock.Header.SignalState = 1;
  dev->DeviceLock.Header.WaitListHead.Flink = &dev->DeviceLock.Header.WaitListHead;
  dev->DeviceLock.Header.WaitListHead.Blink = &dev->DeviceLock.Header.WaitListHead;

  // New devices go to the head of the driver's list.
  dev->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = dev;

  DeviceRecord& r = S().devices[dev];
  r.dev = dev;
  r.memory = memory;
  r.bytes = bytes;
  r.extensionSize = DeviceExtensionSize;
  r.driver = DriverObject;
  r.name = std::move(name);
  if (!r.name.empty()) S().liveNames.emplace(r.name, dev);
  *DeviceObject = dev;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  using namespace host;
  kcore::ForgetPowerDevice(DeviceObject);
  // The reference page: IRQL <= APC_LEVEL (DDI compliance rule IrqlIoApcLte).
  if (kcore::Irql() > APC_LEVEL) {
    VerifierFail("irql.ddi-call", "IoDeleteDevice at IRQL " + std::to_string(kcore::Irql()) +
                                      " (must be at most APC_LEVEL)");
  }
  std::shared_ptr<const DeletedHooks> hooks;
  {
    std::lock_guard<host::kcore::SpinLock> lock(S().lock);
    auto it = S().devices.find(DeviceObject);
    if (it == S().devices.end()) {
      VerifierFail("ddi.invalid-parameter", "IoDeleteDevice of " +
                                                kcore::PointerText(DeviceObject) +
                                                ", which is not a device object");
      return;
    }
    DeviceRecord& r = it->second;
    if (r.deleted) {
      VerifierFail("io.delete-twice", "IoDeleteDevice of " + DeviceTextLocked(DeviceObject) +
                                          ", which was already deleted");
      return;
    }
    if (r.attachedTo != nullptr) {
      VerifierFail("io.delete-attached", "IoDeleteDevice of " + DeviceTextLocked(DeviceObject) +
                                             " while it is still attached to " +
                                             DeviceTextLocked(r.attachedTo) +
                                             " (IoDetachDevice first)");
      // Take it off the stack so the rest of the test does not walk freed memory.
      PDEVICE_OBJECT lower = r.attachedTo;
      if (lower->AttachedDevice == DeviceObject) lower->AttachedDevice = nullptr;
      r.attachedTo = nullptr;
      auto l = S().devices.find(lower);
      if (l != S().devices.end() && l->second.deleted && l->second.references == 0 && !l->second.freed) {
        FreeDeviceLocked(l->second);
      }
    }
    // Unlink from the driver's list.
    PDEVICE_OBJECT* link = &r.driver->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link == DeviceObject) *link = DeviceObject->NextDevice;
    r.deleted = true;
    if (!r.name.empty()) S().liveNames.erase(r.name);
    hooks = S().deletedHooks;
  }
  for (auto& hook : *hooks) hook(DeviceObject);
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto it = S().devices.find(DeviceObject);
  // With a device still attached above (a removal travelling down the stack
  // deletes the lower devices first), the memory waits for IoDetachDevice.
  if (it != S().devices.end() && it->second.references == 0 && !it->second.freed &&
      DeviceObject->AttachedDevice == nullptr) {
    FreeDeviceLocked(it->second);
  }
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  while (DeviceObject->AttachedDevice != nullptr) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  auto it = S().devices.find(top);
  if (it == S().devices.end() || it->second.freed) {
    host::VerifierFail(
        "obj.stack-top-deleted",
        "IoGetAttachedDeviceReference on a stack whose top is " + host::DeviceTextLocked(top));
    return top;
  }
  ++it->second.references;
  return top;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
  using namespace host;
  // The reference page: IRQL <= DISPATCH_LEVEL.
  if (kcore::Irql() > DISPATCH_LEVEL) {
    VerifierFail("irql.ddi-call",
                 "IoAttachDeviceToDeviceStack at IRQL " + std::to_string(kcore::Irql()));
  }
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto src = S().devices.find(SourceDevice);
  if (src == S().devices.end() || src->second.deleted) {
    VerifierFail("ddi.invalid-parameter",
                 "IoAttachDeviceToDeviceStack with source " + DeviceTextLocked(SourceDevice));
    return nullptr;
  }
  auto target = S().devices.find(TargetDevice);
  if (target == S().devices.end() || target->second.freed) {
    VerifierFail("io.attach-to-deleted",
                 "IoAttachDeviceToDeviceStack onto " + DeviceTextLocked(TargetDevice));
    return nullptr;
  }
  if (src->second.attachedTo != nullptr) {
    VerifierFail("io.attach-twice",
                 "IoAttachDeviceToDeviceStack of " + DeviceTextLocked(SourceDevice) +
                     ", which is already attached to " + DeviceTextLocked(src->second.attachedTo));
    return nullptr;
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
  auto topRecord = S().devices.find(top);
  // Fault plans: IoAttachDeviceToDeviceStack is documented to return NULL
  // when it cannot attach, e.g. while the target device's driver is being
  // unloaded.
  if (host::FaultDue(host::FaultKind::AttachDevice)) return nullptr;
  // A stack that is being torn down takes no new devices: the I/O manager
  // refuses a target marked delete-pending (ReactOS
  // IopAttachDeviceToDeviceStackSafe returns NULL for DOE_DELETE_PENDING).
  // The Plug and Play manager never hands a driver such a PDO, so an attach
  // that gets here means a PDO was deleted while its device node held it.
  if (target->second.deleted || topRecord == S().devices.end() || topRecord->second.deleted) {
    VerifierFail("io.attach-to-deleted", "IoAttachDeviceToDeviceStack onto " +
                 DeviceTextLocked(TargetDevice) + ", which is being deleted");
    return nullptr;
  }
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  src->second.attachedTo = top;
  static_cast<DevObjExtension*>(SourceDevice->DeviceObjectExtension)->AttachedTo = top;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  using namespace host;
  // The reference page: IRQL PASSIVE_LEVEL (DDI compliance rule IrqlIoPassive3).
  if (kcore::Irql() != PASSIVE_LEVEL) {
    VerifierFail("irql.ddi-call", "IoDetachDevice at IRQL " + std::to_string(kcore::Irql()) +
                                      " (must be PASSIVE_LEVEL)");
  }
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto target = S().devices.find(TargetDevice);
  if (target == S().devices.end() || target->second.freed) {
    VerifierFail("ddi.invalid-parameter", "IoDetachDevice on " + DeviceTextLocked(TargetDevice));
    return;
  }
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) {
    VerifierFail("io.detach-nothing", "IoDetachDevice on " + DeviceTextLocked(TargetDevice) +
                                          ", which has no device attached above it");
    return;
  }
  auto a = S().devices.find(above);
  if (a != S().devices.end()) {
    a->second.attachedTo = nullptr;
    if (!a->second.freed) static_cast<DevObjExtension*>(above->DeviceObjectExtension)->AttachedTo = nullptr;
  }
  TargetDevice->AttachedDevice = nullptr;
  if (target->second.deleted && target->second.references == 0 && !target->second.freed) {
    FreeDeviceLocked(target->second);
  }
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  using namespace host;
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto dev = S().devices.find(static_cast<PDEVICE_OBJECT>(Object));
  if (dev != S().devices.end()) {
    if (dev->second.freed) {
      VerifierFail("obj.reference-freed", "ObReferenceObject on " + DeviceTextLocked(dev->first) +
                                              ", whose memory is gone");
      return 0;
    }
    return 1 + ++dev->second.references;
  }
  auto drv = S().drivers.find(static_cast<PDRIVER_OBJECT>(Object));
  if (drv != S().drivers.end()) return 1 + ++drv->second->references;
  VerifierFail("ddi.invalid-parameter",
               "ObReferenceObject on " + kcore::PointerText(Object) + ", which is not an object");
  return 0;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  using namespace host;
  std::lock_guard<host::kcore::SpinLock> lock(S().lock);
  auto dev = S().devices.find(static_cast<PDEVICE_OBJECT>(Object));
  if (dev != S().devices.end()) {
    DeviceRecord& r = dev->second;
    if (r.freed || r.references == 0) {
      VerifierFail("obj.dereference-zero",
                   "ObDereferenceObject on " + DeviceTextLocked(dev->first) +
                       " without a reference to release (reference count below zero)");
      return 0;
    }
    --r.references;
    if (r.references == 0 && r.deleted && dev->first->AttachedDevice == nullptr) FreeDeviceLocked(r);
    return r.deleted ? r.references : 1 + r.references;
  }
  auto drv = S().drivers.find(static_cast<PDRIVER_OBJECT>(Object));
  if (drv != S().drivers.end()) {
    if (drv->second->references == 0) {
      VerifierFail("obj.dereference-zero",
                   "ObDereferenceObject on driver object " + kcore::Narrow(drv->second->name) +
                       " without a reference to release (reference count below zero)");
      return 0;
    }
    return 1 + --drv->second->references;
  }
  VerifierFail("ddi.invalid-parameter",
               "ObDereferenceObject on " + kcore::PointerText(Object) + ", which is not an object");
  return 0;
}

}  // extern "C"
