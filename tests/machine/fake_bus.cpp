#include "fake_bus.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "host/machine.h"

namespace fakebus {

namespace {

struct Extension {
  bool isChild;
  int index;
  PDEVICE_OBJECT lower;  // the FDO's
};

struct Child {
  PDEVICE_OBJECT pdo;
  bool reported;
};

struct State {
  std::mutex mutex;
  Config config;
  PDRIVER_OBJECT driver = nullptr;
  std::map<int, Child> children;
  std::vector<int> report;
  std::vector<std::string> log;
  std::u16string registryPath;
  int unloads = 0;
  NTSTATUS entryStatus = STATUS_SUCCESS;
};

State& S() {
  static State state;
  return state;
}

Extension* Ext(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

void Record(PDEVICE_OBJECT device, UCHAR minor) {
  Extension* ext = Ext(device);
  std::string who = ext->isChild ? "child" + std::to_string(ext->index) : "fdo";
  std::lock_guard<std::mutex> lock(S().mutex);
  S().log.push_back(who + ":" + host::PnpMinorName(minor));
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PWSTR WideBuffer(const std::u16string& text, size_t extra, ULONG tag) {
  size_t bytes = text.size() * sizeof(char16_t) + extra;
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, tag));
  if (buffer != nullptr) {
    std::memset(buffer, 0, bytes);
    std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
  }
  return buffer;
}

void PublishValues(PDEVICE_OBJECT pdo, int index) {
  HANDLE key = nullptr;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_WRITE, &key))) return;
  ULONG k = 0;
  for (const std::string& name : host::SerialValueNames()) {
    std::u16string wide(name.begin(), name.end());
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, wide.c_str());
    ULONG value = (ULONG)index * 100 + k++;
    ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value);
  }
  ZwClose(key);
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Extension* ext = Ext(device);
  Config config;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    config = S().config;
  }
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      char instance[8];
      std::snprintf(instance, sizeof instance, "%04X", ext->index);
      std::u16string text;
      size_t extra = 0;
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          text = std::u16string(u"FAKE\\PORT") + u'\0';
          extra = config.idExtraBytes;
          break;
        case BusQueryHardwareIDs:
        case BusQueryCompatibleIDs:
          text = std::u16string(u"FAKE\\PORT") + u'\0' + u'\0';
          break;
        case BusQueryInstanceID:
          text = std::u16string(instance, instance + 4) + u'\0';
          break;
        default:
          return Complete(irp, irp->IoStatus.Status);
      }
      PWSTR buffer = WideBuffer(text, extra, config.idTag);
      if (buffer == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      irp->IoStatus.Information = (ULONG_PTR)buffer;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->UniqueID = config.uniqueIds ? 1 : 0;
      caps->UINumber = (ULONG)ext->index;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
        return Complete(irp, irp->IoStatus.Status);
      }
      PWSTR buffer = WideBuffer(std::u16string(u"Fake port") + u'\0', 0, config.textTag);
      irp->IoStatus.Information = (ULONG_PTR)buffer;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
      auto* info = static_cast<PPNP_BUS_INFORMATION>(
          ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), config.busInfoTag));
      std::memset(info, 0, sizeof *info);
      info->LegacyBusType = PNPBus;
      irp->IoStatus.Information = (ULONG_PTR)info;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_RESOURCES:
      if (config.writePortValues) PublishValues(device, ext->index);
      return Complete(irp, irp->IoStatus.Status);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      bool reported;
      {
        std::lock_guard<std::mutex> lock(S().mutex);
        reported = S().children[ext->index].reported && !config.deleteReportedChildren;
        if (!reported) S().children.erase(ext->index);
      }
      NTSTATUS status = Complete(irp, STATUS_SUCCESS);
      // A PDO the bus no longer reports goes with its removal.
      if (!reported) IoDeleteDevice(device);
      return status;
    }
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

NTSTATUS NTAPI ForwardDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Extension* ext = Ext(device);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, ForwardDone, &event, TRUE, TRUE, TRUE);
      if (IoCallDriver(ext->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      }
      return Complete(irp, irp->IoStatus.Status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      std::vector<PDEVICE_OBJECT> listed;
      Config config;
      {
        std::lock_guard<std::mutex> lock(S().mutex);
        config = S().config;
        for (auto& [index, child] : S().children) child.reported = false;
        for (int index : S().report) {
          Child& child = S().children[index];
          if (child.pdo == nullptr) {
            IoCreateDevice(device->DriverObject, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child.pdo);
            *Ext(child.pdo) = {true, index, nullptr};
            child.pdo->Flags |= DO_POWER_PAGABLE;
            child.pdo->Flags &= ~DO_DEVICE_INITIALIZING;
          }
          child.reported = true;
          listed.push_back(child.pdo);
        }
      }
      size_t size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + listed.size() * sizeof(PDEVICE_OBJECT) +
                    config.relationsExtraBytes;
      auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, config.relationsTag));
      relations->Count = (ULONG)listed.size();
      for (size_t i = 0; i < listed.size(); i++) {
        relations->Objects[i] = listed[i];
        ObReferenceObject(listed[i]);
      }
      irp->IoStatus.Information = (ULONG_PTR)relations;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(ext->lower, irp);
      std::vector<PDEVICE_OBJECT> left;
      {
        std::lock_guard<std::mutex> lock(S().mutex);
        for (auto& [index, child] : S().children) left.push_back(child.pdo);
        S().children.clear();
      }
      for (PDEVICE_OBJECT pdo : left) IoDeleteDevice(pdo);
      IoDetachDevice(ext->lower);
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp) {
  Record(device, IoGetCurrentIrpStackLocation(irp)->MinorFunction);
  return Ext(device)->isChild ? ChildPnp(device, irp) : FdoPnp(device, irp);
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  if (Ext(device)->isChild) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status =
        (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) ? STATUS_SUCCESS : irp->IoStatus.Status;
    return Complete(irp, status);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Ext(device)->lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  *Ext(fdo) = {false, -1, IoAttachDeviceToDeviceStack(fdo, pdo)};
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().unloads++;
}

}  // namespace

void Reset() {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().config = Config{};
  S().driver = nullptr;
  S().children.clear();
  S().report.clear();
  S().log.clear();
  S().registryPath.clear();
  S().unloads = 0;
  S().entryStatus = STATUS_SUCCESS;
}

Config& Settings() { return S().config; }

void Report(const std::vector<int>& indices) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().report = indices;
}

std::vector<std::string> Log() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().log;
}

int Count(const std::string& who, UCHAR minor) {
  int n = 0;
  for (const auto& entry : Log()) {
    if (entry == who + ":" + host::PnpMinorName(minor)) n++;
  }
  return n;
}

int Find(const std::string& text) {
  auto log = Log();
  for (size_t i = 0; i < log.size(); i++) {
    if (log[i] == text) return (int)i;
  }
  return -1;
}

PDEVICE_OBJECT ChildPdo(int index) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto it = S().children.find(index);
  return it == S().children.end() ? nullptr : it->second.pdo;
}

std::u16string RegistryPathSeen() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().registryPath;
}

int Unloads() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().unloads;
}

void FailEntry(NTSTATUS status) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().entryStatus = status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().registryPath.assign(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
  if (!NT_SUCCESS(S().entryStatus)) return S().entryStatus;
  S().driver = driver;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace fakebus
