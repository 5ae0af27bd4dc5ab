// serhub: Plug and Play requests of the port devices. A port device is the
// bottom of its own stack: every request is completed here, none is passed on.
#include "serhub.h"

namespace {

// Sizes in bytes, terminating NULs included, of what QUERY_ID hands out.
const ULONG DeviceIdSize = 34;
const ULONG HardwareIdsSize = 36;
const ULONG InstanceIdSize = 18;

// Flag word of DEVICE_CAPABILITIES as a port device reports it: these flags
// are cleared, UniqueID is set, and every other flag keeps what the
// requester put in.
SERHUB_PAGED_CODE VOID EditPortCapabilityFlags(PDEVICE_CAPABILITIES Caps) {
  PAGED_CODE();
  Caps->LockSupported = FALSE;
  Caps->EjectSupported = FALSE;
  Caps->Removable = FALSE;
  Caps->DockDevice = FALSE;
  Caps->UniqueID = TRUE;
  Caps->SilentInstall = FALSE;
  Caps->RawDeviceOK = FALSE;
  Caps->SurpriseRemovalOK = FALSE;
  Caps->HardwareDisabled = FALSE;
}

}  // namespace

SERHUB_ALLOC_TEXT(PAGE, GetParentCapabilities)
SERHUB_ALLOC_TEXT(PAGE, QueryPortCapabilities)
SERHUB_ALLOC_TEXT(PAGE, QueryPortId)
SERHUB_ALLOC_TEXT(PAGE, QueryPortText)
SERHUB_ALLOC_TEXT(PAGE, QueryPortRelations)
SERHUB_ALLOC_TEXT(PAGE, QueryPortBusInformation)
SERHUB_ALLOC_TEXT(PAGE, PortDevicePnp)

// Asks the card's whole stack, from its top, for the card's capabilities.
SERHUB_PAGED_CODE NTSTATUS GetParentCapabilities(PDEVICE_OBJECT Target,
                                                 PDEVICE_CAPABILITIES Capabilities) {
  PAGED_CODE();
  RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
  Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  Capabilities->Version = 1;
  Capabilities->Address = 0xFFFFFFFF;
  Capabilities->UINumber = 0xFFFFFFFF;

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  NTSTATUS status;

  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Target);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, NULL, 0, NULL, &event, &ioStatus);
  if (irp == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    // Plug and Play requests start out unsupported.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    // The request was built for the stack's top device, which takes the
    // next location; an IRP without one cannot be sent.
    if (irp->CurrentLocation <= 1) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
      RtlZeroMemory(stack, sizeof(IO_STACK_LOCATION));
      stack->MajorFunction = IRP_MJ_PNP;
      stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
      stack->Parameters.DeviceCapabilities.Capabilities = Capabilities;
      status = IoCallDriver(top, irp);
      if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
      }
    }
  }
  ObDereferenceObject(top);
  return status;
}

SERHUB_PAGED_CODE NTSTATUS QueryPortCapabilities(PPORT_EXTENSION Port, PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
  if (caps->Version < 1) {
    return STATUS_UNSUCCESSFUL;
  }

  PBUS_EXTENSION bus = (PBUS_EXTENSION)Port->ParentFdo->DeviceExtension;
  DEVICE_CAPABILITIES parentCaps;
  NTSTATUS status = GetParentCapabilities(bus->NextLowerDriver, &parentCaps);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  EditPortCapabilityFlags(caps);
  caps->UINumber = Port->PortIndex;
  for (ULONG i = 0; i < (ULONG)PowerSystemMaximum; i++) {
    caps->DeviceState[i] = parentCaps.DeviceState[i];
  }
  caps->SystemWake = parentCaps.SystemWake;
  caps->DeviceWake = parentCaps.DeviceWake;
  caps->D1Latency = 0;
  caps->D2Latency = 0;
  caps->D3Latency = 0;
  return STATUS_SUCCESS;
}

SERHUB_PAGED_CODE NTSTATUS QueryPortId(PPORT_EXTENSION Port, PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const WCHAR* source;
  ULONG size;
  switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      source = Port->DeviceId;
      size = DeviceIdSize;
      break;
    case BusQueryHardwareIDs:
    case BusQueryCompatibleIDs:
      source = Port->HardwareIds;
      size = HardwareIdsSize;
      break;
    case BusQueryInstanceID:
      source = Port->InstanceId;
      size = InstanceIdSize;
      break;
    default:
      return Irp->IoStatus.Status;
  }

  PVOID buffer = ExAllocatePoolWithTag(PagedPool, size, SERHUB_TAG_DDK);
  if (buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(buffer, size);
  RtlCopyMemory(buffer, source, size);
  Irp->IoStatus.Information = (ULONG_PTR)buffer;
  return STATUS_SUCCESS;
}

SERHUB_PAGED_CODE NTSTATUS QueryPortText(PPORT_EXTENSION Port, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Port);
  static const WCHAR description[] = SERHUB_WIDE("PCI serial port");

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
    return Irp->IoStatus.Status;
  }
  if (Irp->IoStatus.Information != 0) {
    // A driver above has already given a description.
    return STATUS_SUCCESS;
  }
  PVOID buffer = ExAllocatePoolWithTag(PagedPool, sizeof(description), SERHUB_TAG_DDK);
  if (buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(buffer, description, sizeof(description));
  Irp->IoStatus.Information = (ULONG_PTR)buffer;
  return STATUS_SUCCESS;
}

SERHUB_PAGED_CODE NTSTATUS QueryPortRelations(PPORT_EXTENSION Port, PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
    return Irp->IoStatus.Status;
  }

  // This device is the target of its own stack: a list that a driver above
  // already put here is replaced, and the references it held are dropped.
  PDEVICE_RELATIONS oldRelations = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
  if (oldRelations != NULL) {
    for (ULONG i = 0; i < oldRelations->Count; i++) {
      if (oldRelations->Objects[i] != NULL) {
        ObDereferenceObject(oldRelations->Objects[i]);
      }
    }
    ExFreePool(oldRelations);
    Irp->IoStatus.Information = 0;
  }

  PDEVICE_RELATIONS relations =
      (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), SERHUB_TAG_DDK);
  if (relations == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  relations->Count = 1;
  relations->Objects[0] = Port->Self;
  ObReferenceObject(Port->Self);
  Irp->IoStatus.Information = (ULONG_PTR)relations;
  return STATUS_SUCCESS;
}

SERHUB_PAGED_CODE NTSTATUS QueryPortBusInformation(PPORT_EXTENSION Port, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Port);
  PPNP_BUS_INFORMATION info = (PPNP_BUS_INFORMATION)ExAllocatePoolWithTag(
      PagedPool, sizeof(PNP_BUS_INFORMATION), SERHUB_TAG_ZBUS);
  if (info == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  info->BusTypeGuid = GUID_SERIAL_CARD_BUS;
  info->LegacyBusType = PNPBus;
  info->BusNumber = 0;
  Irp->IoStatus.Information = (ULONG_PTR)info;
  return STATUS_SUCCESS;
}

SERHUB_PAGED_CODE NTSTATUS PortDevicePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                         PIO_STACK_LOCATION IrpStack, PPORT_EXTENSION Port) {
  PAGED_CODE();
  NTSTATUS status;

  switch (IrpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      EnterPnpState(SERHUB_COMMON(Port), Started);
      Port->DevicePowerState = PowerDeviceD0;
      status = STATUS_SUCCESS;
      break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
      EnterPnpState(SERHUB_COMMON(Port), RemovePending);
      status = STATUS_SUCCESS;
      break;

    case IRP_MN_REMOVE_DEVICE: {
      // A bus driver keeps the PDO of a device that is still there (the
      // user disabled it, its driver is being replaced): the device node
      // still holds it and enabling it starts it again on the same device
      // object. Only a port that a bus-relations query no longer reported,
      // or whose card is gone, is deleted; the bus device's own removal
      // deletes the ports it still holds.
      PBUS_EXTENSION Bus = (PBUS_EXTENSION)Port->ParentFdo->DeviceExtension;
      ExAcquireFastMutex(&Bus->ChildLock);
      BOOLEAN Present = !Port->ReportedMissing && Bus->PnpState != Deleted &&
                        Bus->PnpState != SurpriseRemovePending;
      if (Present) {
        EnterPnpState(SERHUB_COMMON(Port), NotStarted);
      } else {
        EnterPnpState(SERHUB_COMMON(Port), Deleted);
        Bus->Children[Port->PortIndex] = NULL;
      }
      ExReleaseFastMutex(&Bus->ChildLock);
      if (!Present) {
        // The extension goes with the device: nothing below reads it.
        IoDeleteDevice(Port->Self);
      }
      status = STATUS_SUCCESS;
      break;
    }

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      CancelPnpState(SERHUB_COMMON(Port), RemovePending);
      status = STATUS_SUCCESS;
      break;

    case IRP_MN_STOP_DEVICE:
      EnterPnpState(SERHUB_COMMON(Port), Stopped);
      status = STATUS_SUCCESS;
      break;

    case IRP_MN_QUERY_STOP_DEVICE:
      EnterPnpState(SERHUB_COMMON(Port), StopPending);
      status = STATUS_SUCCESS;
      break;

    case IRP_MN_CANCEL_STOP_DEVICE:
      CancelPnpState(SERHUB_COMMON(Port), StopPending);
      status = STATUS_SUCCESS;
      break;

    case IRP_MN_QUERY_DEVICE_RELATIONS:
      status = QueryPortRelations(Port, Irp);
      break;

    case IRP_MN_QUERY_CAPABILITIES:
      status = QueryPortCapabilities(Port, Irp);
      break;

    case IRP_MN_QUERY_RESOURCES:
      // No resources of its own: the port's settings go to its registry key.
      PublishPortParameters(DeviceObject, Port);
      status = Irp->IoStatus.Status;
      break;

    case IRP_MN_QUERY_DEVICE_TEXT:
      status = QueryPortText(Port, Irp);
      break;

    case IRP_MN_QUERY_ID:
      status = QueryPortId(Port, Irp);
      break;

    case IRP_MN_QUERY_BUS_INFORMATION:
      status = QueryPortBusInformation(Port, Irp);
      break;

    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      // No paging, hibernation or crash-dump file on a serial port.
      status = STATUS_NOT_IMPLEMENTED;
      break;

    case IRP_MN_SURPRISE_REMOVAL:
      EnterPnpState(SERHUB_COMMON(Port), SurpriseRemovePending);
      status = STATUS_SUCCESS;
      break;

    default:
      status = Irp->IoStatus.Status;
      break;
  }

  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
