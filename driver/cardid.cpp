// serhub: identification of the card model from the subsystem dword of its
// PCI configuration space, read through the card's own device stack.
#include "serhub.h"

// Configuration-space offsets.
#define SERHUB_PCI_BAR2_OFFSET 0x18
#define SERHUB_PCI_SUBSYSTEM_OFFSET 0x2C

// Subsystem dword of the 32-port card, which is accepted only with an I/O
// space Base Address Register 2.
#define SERHUB_SUBSYSTEM_32PORT 0x91641698UL

// Reads (or writes) Length bytes at Offset of the card's configuration
// space with IRP_MN_READ_CONFIG (IRP_MN_WRITE_CONFIG), sent to the top of
// the card's device stack, and waits for the answer.
SERHUB_PAGED_CODE NTSTATUS AccessPciConfig(PDEVICE_OBJECT Device, BOOLEAN Write, PVOID Buffer,
                                           ULONG Offset, ULONG Length) {
  PAGED_CODE();

  KEVENT Event;
  IO_STATUS_BLOCK IoStatus;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  RtlZeroMemory(&IoStatus, sizeof(IoStatus));

  PDEVICE_OBJECT Top = IoGetAttachedDeviceReference(Device);
  NTSTATUS Status;
  PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Top, NULL, 0, NULL, &Event, &IoStatus);
  if (Irp == NULL) {
    Status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MinorFunction = Write ? IRP_MN_WRITE_CONFIG : IRP_MN_READ_CONFIG;
    Next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    Next->Parameters.ReadWriteConfig.Buffer = Buffer;
    Next->Parameters.ReadWriteConfig.Offset = Offset;
    Next->Parameters.ReadWriteConfig.Length = Length;

    Status = IoCallDriver(Top, Irp);
    if (Status == STATUS_PENDING) {
      KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
      Status = IoStatus.Status;
    }
  }
  ObDereferenceObject(Top);
  return Status;
}

// Returns the card code: port count in bits 0 to 6, 0x80 for multi-mode
// line drivers, 0 for a card that is not supported or could not be read.
SERHUB_PAGED_CODE ULONG IdentifyCard(PBUS_EXTENSION Bus) {
  PAGED_CODE();

  ULONG Value = 0;
  if (!NT_SUCCESS(AccessPciConfig(Bus->Self, FALSE, &Value, SERHUB_PCI_SUBSYSTEM_OFFSET,
                                  sizeof(Value)))) {
    return 0;
  }

  switch (Value) {
    case 0x00024B51UL:
      return 0x02;
    case 0x00044B51UL:
      return 0x04;
    case 0x00084B51UL:
      return 0x08;
    case 0x00104B51UL:
      return 0x10;
    case 0x00824B51UL:
      return 0x82;
    case 0x00844B51UL:
      return 0x84;
    default:
      break;
  }

  if (Value == SERHUB_SUBSYSTEM_32PORT) {
    Value = 0;
    if (NT_SUCCESS(AccessPciConfig(Bus->Self, FALSE, &Value, SERHUB_PCI_BAR2_OFFSET,
                                   sizeof(Value))) &&
        (Value & 1) != 0) {
      return 0x20;
    }
  }
  return 0;
}
