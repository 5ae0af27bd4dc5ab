// serhub: power requests. The driver manages no power of its own: the bus
// device passes every power request down to the PCI bus driver, and a port
// device, the bottom of its stack, records the states it is set to and
// agrees to every query. Everything here stays resident.
#include "serhub.h"

// Power request to the bus device. Requests are counted once the bus device
// has left NotStarted, so that stop and removal wait for them.
// A power request to a device that is being deleted: the next one may come,
// and this one ends with STATUS_DELETE_PENDING.
SERHUB_NONPAGED_CODE NTSTATUS CompletePowerDeletePending(PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = STATUS_DELETE_PENDING;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_DELETE_PENDING;
}

SERHUB_NONPAGED_CODE NTSTATUS BusPower(PBUS_EXTENSION Bus, PIRP Irp) {
  BOOLEAN Counted = FALSE;
  if (Bus->PnpState != NotStarted) {
    if (!IncrementOutstandingIo(Bus)) {
      // Removal has already seen the last request leave: the device is being
      // deleted and must not be passed through any more.
      return CompletePowerDeletePending(Irp);
    }
    Counted = TRUE;
  }
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS Status = PoCallDriver(Bus->NextLowerDriver, Irp);
  if (Counted) {
    DecrementOutstandingIo(Bus);
  }
  return Status;
}

// Power request to a port device: always completed here.
SERHUB_NONPAGED_CODE NTSTATUS PortPower(PPORT_EXTENSION Port, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

  switch (Stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (Stack->Parameters.Power.Type == SystemPowerState) {
        Port->SystemPowerState = Stack->Parameters.Power.State.SystemState;
        Irp->IoStatus.Status = STATUS_SUCCESS;
      } else if (Stack->Parameters.Power.Type == DevicePowerState) {
        PoSetPowerState(Port->Self, DevicePowerState, Stack->Parameters.Power.State);
        Port->DevicePowerState = Stack->Parameters.Power.State.DeviceState;
        Irp->IoStatus.Status = STATUS_SUCCESS;
      }
      break;

    case IRP_MN_QUERY_POWER:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;

    default:
      // IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE and the rest: completed with
      // the status they arrived with.
      break;
  }

  PoStartNextPowerIrp(Irp);
  NTSTATUS Status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
