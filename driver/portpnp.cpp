// serhub: Plug and Play requests of the port devices. A port device is the
// bottom of its own stack: every request is completed here, none is passed on.
#include "serhub.h"

namespace {

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

// Asks the card's whole stack, from its top, for the card's capabilities.
SERHUB_PAGED_CODE NTSTATUS GetParentCapabilities(PDEVICE_OBJECT Target,
                                                 PDEVICE_CAPABILITIES Capabilities) {
  PAGED_CODE();
  RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
  Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  Capabilities->Version = 1;
  Capabilities->Address = 0xFFFFFFFF;
  Capabilities->UINumber = 0xFFFFFFFF;

  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK IoStatusBlock;
  NTSTATUS Status;

  PDEVICE_OBJECT Top = IoGetAttachedDeviceReference(Target);
  PIRP Request = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Top, NULL, 0, NULL, &Event, &IoStatusBlock);
  if (Request == NULL) {
    Status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    // Plug and Play requests start out unsupported.
    Request->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Request->IoStatus.Information = 0;
    // The request was built for the stack's top device, which takes the
    // next location; an IRP without one cannot be sent.
    if (Request->CurrentLocation <= 1) {
      Status = STATUS_INVALID_PARAMETER;
    } else {
      PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Request);
      RtlZeroMemory(Stack, sizeof(IO_STACK_LOCATION));
      Stack->MajorFunction = IRP_MJ_PNP;
      Stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
      Stack->Parameters.DeviceCapabilities.Capabilities = Capabilities;
      Status = IoCallDriver(Top, Request);
      if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = IoStatusBlock.Status;
      }
    }
  }
  ObDereferenceObject(Top);
  return Status;
}

SERHUB_PAGED_CODE NTSTATUS QueryPortCapabilities(PPORT_EXTENSION Port, PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_CAPABILITIES Caps = Stack->Parameters.DeviceCapabilities.Capabilities;
  if (Caps->Version < 1) {
    return STATUS_UNSUCCESSFUL;
  }

  PBUS_EXTENSION Bus = static_cast<PBUS_EXTENSION>(Port->ParentFdo->DeviceExtension);
  DEVICE_CAPABILITIES ParentCaps;
  NTSTATUS Status = GetParentCapabilities(Bus->NextLowerDriver, &ParentCaps);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  EditPortCapabilityFlags(Caps);
  Caps->UINumber = Port->PortIndex;
  for (ULONG Index = 0; Index < static_cast<ULONG>(PowerSystemMaximum); Index++) {
    Caps->DeviceState[Index] = ParentCaps.DeviceState[Index];
  }
  Caps->SystemWake = ParentCaps.SystemWake;
  Caps->DeviceWake = ParentCaps.DeviceWake;
  Caps->D1Latency = 0;
  Caps->D2Latency = 0;
  Caps->D3Latency = 0;
  return STATUS_SUCCESS;
}

SERHUB_PAGED_CODE NTSTATUS QueryPortId(PPORT_EXTENSION Port, PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  const WCHAR* Source;
  ULONG Size;
  switch (Stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      Source = Port->DeviceId;
      Size = SERHUB_DEVICE_ID_SIZE;
      break;
    case BusQueryHardwareIDs:
    case BusQueryCompatibleIDs:
      Source = Port->HardwareIds;
      Size = SERHUB_HARDWARE_IDS_SIZE;
      break;
    case BusQueryInstanceID:
      Source = Port->InstanceId;
      Size = SERHUB_INSTANCE_ID_SIZE;
      break;
    default:
      return Irp->IoStatus.Status;
  }

  PVOID Buffer = ExAllocatePoolWithTag(PagedPool, Size, SERHUB_TAG_DDK);
  if (Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Buffer, Size);
  RtlCopyMemory(Buffer, Source, Size);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Buffer);
  return STATUS_SUCCESS;
}

SERHUB_PAGED_CODE NTSTATUS QueryPortText(PPORT_EXTENSION Port, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Port);
  static const WCHAR Description[] = SERHUB_WIDE(SERHUB_DESCRIPTION);
  static_assert(sizeof(Description) == SERHUB_DESCRIPTION_SIZE, "description size");

  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
    return Irp->IoStatus.Status;
  }
  if (Irp->IoStatus.Information != 0) {
    // A driver above has already given a description.
    return STATUS_SUCCESS;
  }
  PVOID Buffer = ExAllocatePoolWithTag(PagedPool, sizeof(Description), SERHUB_TAG_DDK);
  if (Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(Buffer, Description, sizeof(Description));
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Buffer);
  return STATUS_SUCCESS;
}

SERHUB_PAGED_CODE NTSTATUS QueryPortRelations(PPORT_EXTENSION Port, PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
    return Irp->IoStatus.Status;
  }

  // This device is the target of its own stack: a list that a driver above
  // already put here is replaced, and the references it held are dropped.
  PDEVICE_RELATIONS OldRelations = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
  if (OldRelations != NULL) {
    for (ULONG Index = 0; Index < OldRelations->Count; Index++) {
      if (OldRelations->Objects[Index] != NULL) {
        ObDereferenceObject(OldRelations->Objects[Index]);
      }
    }
    ExFreePool(OldRelations);
    Irp->IoStatus.Information = 0;
  }

  PDEVICE_RELATIONS Relations = static_cast<PDEVICE_RELATIONS>(
      ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), SERHUB_TAG_DDK));
  if (Relations == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Relations->Count = 1;
  Relations->Objects[0] = Port->Self;
  ObReferenceObject(Port->Self);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Relations);
  return STATUS_SUCCESS;
}

SERHUB_PAGED_CODE NTSTATUS QueryPortBusInformation(PPORT_EXTENSION Port, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Port);
  PPNP_BUS_INFORMATION Info = static_cast<PPNP_BUS_INFORMATION>(
      ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), SERHUB_TAG_ZBUS));
  if (Info == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Info->BusTypeGuid = GUID_SERIAL_CARD_BUS;
  Info->LegacyBusType = PNPBus;
  Info->BusNumber = 0;
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Info);
  return STATUS_SUCCESS;
}

SERHUB_PAGED_CODE NTSTATUS PortDevicePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                         PIO_STACK_LOCATION IrpStack, PPORT_EXTENSION Port) {
  PAGED_CODE();
  NTSTATUS Status;

  switch (IrpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      EnterPnpState(SERHUB_COMMON(Port), Started);
      Port->DevicePowerState = PowerDeviceD0;
      Status = STATUS_SUCCESS;
      break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
      EnterPnpState(SERHUB_COMMON(Port), RemovePending);
      Status = STATUS_SUCCESS;
      break;

    case IRP_MN_REMOVE_DEVICE: {
      // A bus driver keeps the PDO of a device that is still there (the
      // user disabled it, its driver is being replaced): the device node
      // still holds it and enabling it starts it again on the same device
      // object. Only a port that a bus-relations query no longer reported,
      // or whose card is gone, is deleted; the bus device's own removal
      // deletes the ports it still holds.
      PBUS_EXTENSION Bus = static_cast<PBUS_EXTENSION>(Port->ParentFdo->DeviceExtension);
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
      Status = STATUS_SUCCESS;
      break;
    }

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      CancelPnpState(SERHUB_COMMON(Port), RemovePending);
      Status = STATUS_SUCCESS;
      break;

    case IRP_MN_STOP_DEVICE:
      EnterPnpState(SERHUB_COMMON(Port), Stopped);
      Status = STATUS_SUCCESS;
      break;

    case IRP_MN_QUERY_STOP_DEVICE:
      EnterPnpState(SERHUB_COMMON(Port), StopPending);
      Status = STATUS_SUCCESS;
      break;

    case IRP_MN_CANCEL_STOP_DEVICE:
      CancelPnpState(SERHUB_COMMON(Port), StopPending);
      Status = STATUS_SUCCESS;
      break;

    case IRP_MN_QUERY_DEVICE_RELATIONS:
      Status = QueryPortRelations(Port, Irp);
      break;

    case IRP_MN_QUERY_CAPABILITIES:
      Status = QueryPortCapabilities(Port, Irp);
      break;

    case IRP_MN_QUERY_RESOURCES:
      // No resources of its own: the port's settings go to its registry key.
      PublishPortParameters(DeviceObject, Port);
      Status = Irp->IoStatus.Status;
      break;

    case IRP_MN_QUERY_DEVICE_TEXT:
      Status = QueryPortText(Port, Irp);
      break;

    case IRP_MN_QUERY_ID:
      Status = QueryPortId(Port, Irp);
      break;

    case IRP_MN_QUERY_BUS_INFORMATION:
      Status = QueryPortBusInformation(Port, Irp);
      break;

    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      // No paging, hibernation or crash-dump file on a serial port.
      Status = STATUS_NOT_IMPLEMENTED;
      break;

    case IRP_MN_SURPRISE_REMOVAL:
      EnterPnpState(SERHUB_COMMON(Port), SurpriseRemovePending);
      Status = STATUS_SUCCESS;
      break;

    default:
      Status = Irp->IoStatus.Status;
      break;
  }

  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
