// The serial port function driver that loads on every port device: it
// attaches above the port's PDO, passes every Plug and Play and power request
// down as a function driver does and, once its start has been accepted below,
// reads the port's settings from the PDO's Device Parameters key the way the
// real serial driver does. The machine records what it read.
#include <cstring>

#include "host/io.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "machine_internal.h"

namespace host {

namespace {

struct SerialExtension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT lower;
};

SerialExtension* Extension(PDEVICE_OBJECT device) {
  return static_cast<SerialExtension*>(device->DeviceExtension);
}

NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void ReadPortSettings(SerialExtension* ext) {
  SerialReading reading;
  reading.instancePath = DeviceInstancePath(ext->pdo);
  HANDLE key = nullptr;
  reading.openStatus = IoOpenDeviceRegistryKey(ext->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (NT_SUCCESS(reading.openStatus)) {
    // The names as the driver has them, built once.
    static const std::vector<std::u16string> wideNames = [] {
      std::vector<std::u16string> wide;
      for (const std::string& name : SerialValueNames()) wide.push_back(machine::Widen(name));
      return wide;
    }();
    reading.values.reserve(wideNames.size());
    for (size_t n = 0; n < wideNames.size(); ++n) {
      const std::string& name = SerialValueNames()[n];
      UNICODE_STRING valueName;
      RtlInitUnicodeString(&valueName, wideNames[n].c_str());
      alignas(8) UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 16] = {};
      ULONG length = 0;
      NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                                        sizeof buffer, &length);
      auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
      SerialReading::Value value{name, status, 0, 0, 0};
      if (NT_SUCCESS(status)) {
        value.type = info->Type;
        value.dataLength = info->DataLength;
        std::memcpy(&value.data, info->Data, info->DataLength < 4 ? info->DataLength : 4);
      }
      reading.values.push_back(value);
    }
    ZwClose(key);
  }
  auto& state = machine::State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  state.serialReadings.push_back(std::move(reading));
}

NTSTATUS NTAPI SerialAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  {
    auto& state = machine::State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    if (state.serialAddFailures > 0) {
      state.serialAddFailures--;
      return state.serialAddFailStatus;
    }
  }
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(SerialExtension), nullptr,
                                   FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  SerialExtension* ext = Extension(fdo);
  ext->self = fdo;
  ext->pdo = pdo;
  ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (ext->lower == nullptr) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS PassDown(SerialExtension* ext, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI SerialPnp(PDEVICE_OBJECT device, PIRP irp) {
  SerialExtension* ext = Extension(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, StartCompletion, &event, TRUE, TRUE, TRUE);
      NTSTATUS status = IoCallDriver(ext->lower, irp);
      if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      }
      status = irp->IoStatus.Status;
      if (NT_SUCCESS(status)) ReadPortSettings(ext);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = ext->lower;
      NTSTATUS status = PassDown(ext, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, irp);
    default:
      return PassDown(ext, irp);
  }
}

NTSTATUS NTAPI SerialPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Extension(device)->lower, irp);
}

VOID NTAPI SerialUnload(PDRIVER_OBJECT) {}

}  // namespace

namespace machine {

NTSTATUS NTAPI SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = SerialPnp;
  driver->MajorFunction[IRP_MJ_POWER] = SerialPower;
  driver->DriverExtension->AddDevice = SerialAddDevice;
  driver->DriverUnload = SerialUnload;
  return STATUS_SUCCESS;
}

}  // namespace machine

const std::vector<std::string>& SerialValueNames() {
  static const std::vector<std::string> names = {
      "BASEADDR", "INTCADDR", "CLKRATE",  "INTCIDX", "PORTTYPE", "ECHOADDR",
      "VECTOR",   "LEVEL",    "TRVECTOR", "TRLEVEL", "AFFINITY"};
  return names;
}

std::optional<ULONG> SerialReading::Dword(const std::string& name) const {
  for (const auto& v : values) {
    if (v.name == name && NT_SUCCESS(v.status) && v.type == REG_DWORD && v.dataLength == 4) {
      return v.data;
    }
  }
  return std::nullopt;
}

std::vector<SerialReading> SerialReadings() {
  auto& state = machine::State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  return state.serialReadings;
}

void FailSerialAddDevice(NTSTATUS status, int count) {
  auto& state = machine::State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  state.serialAddFailures = count;
  state.serialAddFailStatus = status;
}

}  // namespace host
