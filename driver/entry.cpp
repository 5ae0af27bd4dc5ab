// serhub: driver entry, unload and the two dispatch routines through which
// every request reaches the bus device and the port devices.
#include "serhub.h"

// Copy of the service key path handed to DriverEntry; lives until unload.
static UNICODE_STRING DriverRegistryPath;

// Loads the driver: keeps a copy of the registry path and registers the
// Plug and Play and power dispatch routines, AddDevice and the unload
// routine. Every other major function keeps the I/O manager's default
// entry, which fails the request with STATUS_INVALID_DEVICE_REQUEST.
extern "C" SERHUB_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                     PUNICODE_STRING RegistryPath) {
  DriverRegistryPath.Length = RegistryPath->Length;
  DriverRegistryPath.MaximumLength = static_cast<USHORT>(RegistryPath->Length + sizeof(WCHAR));
  DriverRegistryPath.Buffer = static_cast<PWCH>(
      ExAllocatePoolWithTag(PagedPool, DriverRegistryPath.MaximumLength, SERHUB_TAG_ZBUS));
  if (DriverRegistryPath.Buffer == NULL) {
    DriverRegistryPath.Length = 0;
    DriverRegistryPath.MaximumLength = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyUnicodeString(&DriverRegistryPath, RegistryPath);

  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->DriverUnload = DriverUnload;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

// IRP_MJ_PNP for the bus device and every port device. A device whose
// removal has begun turns every new request away.
SERHUB_PAGED_CODE NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();

  PCOMMON_EXTENSION Common = static_cast<PCOMMON_EXTENSION>(DeviceObject->DeviceExtension);
  PIO_STACK_LOCATION IrpStack = IoGetCurrentIrpStackLocation(Irp);

  if (Common->PnpState == Deleted) {
    Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
  }
  if (Common->IsBus) {
    return BusPnp(DeviceObject, Irp, IrpStack, reinterpret_cast<PBUS_EXTENSION>(Common));
  }
  return PortDevicePnp(DeviceObject, Irp, IrpStack, reinterpret_cast<PPORT_EXTENSION>(Common));
}

// IRP_MJ_POWER for the bus device and every port device. Non-paged.
SERHUB_NONPAGED_CODE NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCOMMON_EXTENSION Common = static_cast<PCOMMON_EXTENSION>(DeviceObject->DeviceExtension);

  if (Common->PnpState == Deleted) {
    return CompletePowerDeletePending(Irp);
  }
  if (Common->IsBus) {
    return BusPower(reinterpret_cast<PBUS_EXTENSION>(Common), Irp);
  }
  return PortPower(reinterpret_cast<PPORT_EXTENSION>(Common), Irp);
}

// Every device has been deleted by its removal before the system unloads
// the driver; only the registry path copy is left to free.
SERHUB_PAGED_CODE VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);

  if (DriverRegistryPath.Buffer != NULL) {
    ExFreePool(DriverRegistryPath.Buffer);
    DriverRegistryPath.Buffer = NULL;
    DriverRegistryPath.Length = 0;
    DriverRegistryPath.MaximumLength = 0;
  }
}

SERHUB_PAGED_CODE VOID EnterPnpState(PCOMMON_EXTENSION Common, ULONG State) {
  PAGED_CODE();

  Common->PreviousPnpState = Common->PnpState;
  Common->PnpState = State;
}

SERHUB_PAGED_CODE VOID CancelPnpState(PCOMMON_EXTENSION Common, ULONG PendingState) {
  PAGED_CODE();

  if (Common->PnpState == PendingState) {
    Common->PnpState = Common->PreviousPnpState;
  }
}
