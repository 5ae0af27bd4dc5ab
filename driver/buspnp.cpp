// serhub: Plug and Play requests of the bus device: start with the card's
// identification and setup, stop and removal with their waits, the
// bus-relations query, resource-requirement filtering, and pass-down of
// everything else to the PCI bus driver.
#include "serhub.h"

static NTSTATUS StartBusDevice(PIRP Irp, PIO_STACK_LOCATION IrpStack, PBUS_EXTENSION Bus);
static NTSTATUS StopBusDevice(PIRP Irp, PBUS_EXTENSION Bus);
static NTSTATUS RemoveBusDevice(PIRP Irp, PBUS_EXTENSION Bus);
static NTSTATUS FilterRequirements(PIRP Irp, PIO_STACK_LOCATION IrpStack, PBUS_EXTENSION Bus);
static NTSTATUS PassDown(PIRP Irp, PBUS_EXTENSION Bus);
static NTSTATUS CompleteHere(PIRP Irp, PBUS_EXTENSION Bus, NTSTATUS Status);
static VOID MarkPortRangesShared(PIO_RESOURCE_REQUIREMENTS_LIST List);

// Every Plug and Play request to the bus device. Each request holds a
// count in OutstandingIo while it is inside; removal gives up its own count
// and the device's initial one and waits for the rest to leave.
SERHUB_PAGED_CODE NTSTATUS BusPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                  PIO_STACK_LOCATION IrpStack, PBUS_EXTENSION Bus) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);

  IncrementOutstandingIo(Bus);

  NTSTATUS Status;
  switch (IrpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartBusDevice(Irp, IrpStack, Bus);

    case IRP_MN_QUERY_REMOVE_DEVICE:
      EnterPnpState(SERHUB_COMMON(Bus), RemovePending);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(Irp, Bus);

    case IRP_MN_REMOVE_DEVICE:
      return RemoveBusDevice(Irp, Bus);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      CancelPnpState(SERHUB_COMMON(Bus), RemovePending);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(Irp, Bus);

    case IRP_MN_STOP_DEVICE:
      return StopBusDevice(Irp, Bus);

    case IRP_MN_QUERY_STOP_DEVICE:
      EnterPnpState(SERHUB_COMMON(Bus), StopPending);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(Irp, Bus);

    case IRP_MN_CANCEL_STOP_DEVICE:
      CancelPnpState(SERHUB_COMMON(Bus), StopPending);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(Irp, Bus);

    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (IrpStack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        Status = EnumeratePorts(Irp, Bus);
      } else {
        Status = STATUS_SUCCESS;
      }
      Irp->IoStatus.Status = Status;
      if (!NT_SUCCESS(Status)) {
        return CompleteHere(Irp, Bus, Status);
      }
      return PassDown(Irp, Bus);

    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
      return FilterRequirements(Irp, IrpStack, Bus);

    case IRP_MN_SURPRISE_REMOVAL:
      EnterPnpState(SERHUB_COMMON(Bus), SurpriseRemovePending);
      DisableBusInterface(Bus);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(Irp, Bus);

    default:
      return PassDown(Irp, Bus);
  }
}

// Passes the request to the PCI bus driver below and leaves the handler.
SERHUB_PAGED_CODE static NTSTATUS PassDown(PIRP Irp, PBUS_EXTENSION Bus) {
  PAGED_CODE();

  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS Status = IoCallDriver(Bus->NextLowerDriver, Irp);
  DecrementOutstandingIo(Bus);
  return Status;
}

// Completes the request here with Status and leaves the handler.
SERHUB_PAGED_CODE static NTSTATUS CompleteHere(PIRP Irp, PBUS_EXTENSION Bus, NTSTATUS Status) {
  PAGED_CODE();

  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  DecrementOutstandingIo(Bus);
  return Status;
}

// IRP_MN_START_DEVICE: the lower drivers start the card first; then the card
// is identified, its port count published, its resources sorted and its
// registers set up, and the device interface enabled. The state is left
// as it is.
SERHUB_PAGED_CODE static NTSTATUS StartBusDevice(PIRP Irp, PIO_STACK_LOCATION IrpStack,
                                                 PBUS_EXTENSION Bus) {
  PAGED_CODE();

  NTSTATUS Status = ForwardAndWait(Bus->NextLowerDriver, Irp);
  if (!NT_SUCCESS(Status)) {
    return CompleteHere(Irp, Bus, Status);
  }

  ULONG CardCode = IdentifyCard(Bus);
  Bus->PortCount = CardCode & 0x7F;

  // The port count goes out even for a card that is refused below, so that
  // the property page finds 0 there. Neither failure stops the start.
  HANDLE Key = NULL;
  if (NT_SUCCESS(IoOpenDeviceRegistryKey(Bus->UnderlyingPdo, PLUGPLAY_REGKEY_DEVICE,
                                         STANDARD_RIGHTS_WRITE, &Key))) {
    WriteRegistryValue(Key, SERHUB_WIDE(SERHUB_PORTS_VALUE), sizeof(SERHUB_WIDE(SERHUB_PORTS_VALUE)),
                       REG_DWORD, &Bus->PortCount, sizeof(ULONG));
    ZwClose(Key);
  }

  Bus->MultiMode = (CardCode & 0x80) ? 1 : 0;

  if (Bus->PortCount == 0) {
    Status = STATUS_DEVICE_CONFIGURATION_ERROR;
  } else {
    Status = ParseCardResources(IrpStack, Bus);
    if (NT_SUCCESS(Status)) {
      Status = SetUpCard(Bus);
      if (NT_SUCCESS(Status)) {
        Status = EnableBusInterface(Bus);
      }
    }
  }
  return CompleteHere(Irp, Bus, Status);
}

// IRP_MN_STOP_DEVICE: waits until no other request is inside the handlers,
// then resets the card and unmaps its ranges. The interface stays enabled.
SERHUB_PAGED_CODE static NTSTATUS StopBusDevice(PIRP Irp, PBUS_EXTENSION Bus) {
  PAGED_CODE();

  DecrementOutstandingIo(Bus);
  // A request that leaves just as another enters can set StopEvent after the
  // entering one has cleared it: the count, not the event alone, says when
  // no other request is inside.
  do {
    KeWaitForSingleObject(&Bus->StopEvent, Executive, KernelMode, FALSE, NULL);
  } while (InterlockedCompareExchange(&Bus->OutstandingIo, 0, 0) != 1);
  IncrementOutstandingIo(Bus);

  EnterPnpState(SERHUB_COMMON(Bus), Stopped);
  ShutDownCard(Bus);

  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(Irp, Bus);
}

// IRP_MN_REMOVE_DEVICE: takes the card down unless a surprise removal did,
// waits for every request still inside, deletes the port devices that are
// left, passes the request down, detaches and deletes the bus device.
SERHUB_PAGED_CODE static NTSTATUS RemoveBusDevice(PIRP Irp, PBUS_EXTENSION Bus) {
  PAGED_CODE();

  if (Bus->PnpState != SurpriseRemovePending) {
    DisableBusInterface(Bus);
  }
  EnterPnpState(SERHUB_COMMON(Bus), Deleted);

  // This request's count and the one the device holds for its existence.
  DecrementOutstandingIo(Bus);
  DecrementOutstandingIo(Bus);
  KeWaitForSingleObject(&Bus->RemoveEvent, Executive, KernelMode, FALSE, NULL);

  ExAcquireFastMutex(&Bus->ChildLock);
  for (ULONG Slot = 0; Slot < SERHUB_CHILD_SLOTS; Slot++) {
    if (Bus->Children[Slot] != NULL) {
      IoDeleteDevice(Bus->Children[Slot]);
      Bus->Children[Slot] = NULL;
    }
  }
  ExReleaseFastMutex(&Bus->ChildLock);

  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  PDEVICE_OBJECT NextLowerDriver = Bus->NextLowerDriver;
  PDEVICE_OBJECT Self = Bus->Self;
  NTSTATUS Status = IoCallDriver(NextLowerDriver, Irp);

  IoDetachDevice(NextLowerDriver);
  IoDeleteDevice(Self);
  return Status;
}

// IRP_MN_FILTER_RESOURCE_REQUIREMENTS: after the lower drivers, every I/O
// port range of every alternative list becomes shareable.
SERHUB_PAGED_CODE static NTSTATUS FilterRequirements(PIRP Irp, PIO_STACK_LOCATION IrpStack,
                                                     PBUS_EXTENSION Bus) {
  PAGED_CODE();

  PKEVENT Event = static_cast<PKEVENT>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), SERHUB_TAG_DDK));
  if (Event == NULL) {
    return CompleteHere(Irp, Bus, STATUS_INSUFFICIENT_RESOURCES);
  }
  KeInitializeEvent(Event, SynchronizationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, FilterCompletion, Event, TRUE, TRUE, TRUE);

  NTSTATUS Status = IoCallDriver(Bus->NextLowerDriver, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
  }
  ExFreePool(Event);

  PIO_RESOURCE_REQUIREMENTS_LIST List =
      reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(Irp->IoStatus.Information);
  if (List == NULL) {
    List = IrpStack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(List);
  }
  if (List == NULL) {
    return CompleteHere(Irp, Bus, Irp->IoStatus.Status);
  }

  MarkPortRangesShared(List);
  return CompleteHere(Irp, Bus, STATUS_SUCCESS);
}

// Sets CmResourceShareShared on every port descriptor of every alternative
// list; each list follows directly after the descriptors of the one before.
SERHUB_PAGED_CODE static VOID MarkPortRangesShared(PIO_RESOURCE_REQUIREMENTS_LIST List) {
  PAGED_CODE();

  PIO_RESOURCE_LIST Alternative = &List->List[0];
  for (ULONG ListIndex = 0; ListIndex < List->AlternativeLists; ListIndex++) {
    for (ULONG Index = 0; Index < Alternative->Count; Index++) {
      PIO_RESOURCE_DESCRIPTOR Descriptor = &Alternative->Descriptors[Index];
      if (Descriptor->Type == CmResourceTypePort) {
        Descriptor->ShareDisposition = CmResourceShareShared;
      }
    }
    Alternative = reinterpret_cast<PIO_RESOURCE_LIST>(&Alternative->Descriptors[Alternative->Count]);
  }
}

// Sends the request down with its stack location copied and returns once
// the lower drivers have completed it; the caller completes it.
SERHUB_PAGED_CODE NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
  PAGED_CODE();

  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardCompletion, &Event, TRUE, TRUE, TRUE);

  NTSTATUS Status = IoCallDriver(LowerDevice, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
    Status = Irp->IoStatus.Status;
  }
  return Status;
}

// Completion routine of ForwardAndWait. The waiting dispatch routine
// completes the request itself and returns its final status rather than
// STATUS_PENDING, so the request is not marked pending here. Non-paged.
SERHUB_NONPAGED_CODE NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                      PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);

  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Completion routine of the resource-requirements filter. Non-paged.
SERHUB_NONPAGED_CODE NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                     PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);

  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Enables the card's device interface. An interface that a stop left
// enabled is reported as enabled already; that is success.
SERHUB_PAGED_CODE NTSTATUS EnableBusInterface(PBUS_EXTENSION Bus) {
  PAGED_CODE();

  NTSTATUS Status = IoSetDeviceInterfaceState(&Bus->InterfaceName, TRUE);
  if (Status == STATUS_OBJECT_NAME_EXISTS) {
    Status = STATUS_SUCCESS;
  }
  return Status;
}

// Disables the device interface and frees its name, once, then shuts the
// card down (which also acts only once per start).
SERHUB_PAGED_CODE VOID DisableBusInterface(PBUS_EXTENSION Bus) {
  PAGED_CODE();

  if (Bus->InterfaceName.Buffer != NULL) {
    IoSetDeviceInterfaceState(&Bus->InterfaceName, FALSE);
    ExFreePool(Bus->InterfaceName.Buffer);
    Bus->InterfaceName.Length = 0;
    Bus->InterfaceName.MaximumLength = 0;
    Bus->InterfaceName.Buffer = NULL;
  }
  ShutDownCard(Bus);
}
