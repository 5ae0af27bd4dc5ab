// serhub: creation of the bus device on the card, the card's PCI location,
// and the bus device's outstanding-request counter with its two events.
#include "serhub.h"

// Interface class of the card's bus device, and the bus type of every port
// device: {AF5B4200-6D32-11D3-B89C-00C04FAD5171}. Constant, non-paged data.
const GUID GUID_SERIAL_CARD_BUS = {
    0xAF5B4200, 0x6D32, 0x11D3, {0xB8, 0x9C, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};

// Creates the bus device for one card, registers the card's device
// interface, attaches above the card's physical device object and reads the
// card's PCI bus, device and function numbers.
SERHUB_PAGED_CODE NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject,
                                           PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();

  PDEVICE_OBJECT DeviceObject = NULL;
  NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(BUS_EXTENSION), NULL,
                                   FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, TRUE,
                                   &DeviceObject);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  PBUS_EXTENSION Bus = static_cast<PBUS_EXTENSION>(DeviceObject->DeviceExtension);
  RtlZeroMemory(Bus, sizeof(BUS_EXTENSION));
  Bus->PnpState = NotStarted;
  Bus->PreviousPnpState = NotStarted;
  Bus->IsBus = TRUE;
  Bus->Self = DeviceObject;
  Bus->UnderlyingPdo = PhysicalDeviceObject;
  Bus->SystemPowerState = PowerSystemWorking;
  Bus->DevicePowerState = PowerDeviceD0;
  ExInitializeFastMutex(&Bus->ChildLock);

  DeviceObject->Flags |= DO_POWER_PAGABLE;
  POWER_STATE PowerState;
  PowerState.DeviceState = Bus->DevicePowerState;
  PoSetPowerState(DeviceObject, DevicePowerState, PowerState);

  Bus->OutstandingIo = 1;
  KeInitializeEvent(&Bus->RemoveEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&Bus->StopEvent, SynchronizationEvent, TRUE);

  Status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_SERIAL_CARD_BUS, NULL,
                                     &Bus->InterfaceName);
  if (!NT_SUCCESS(Status)) {
    IoDeleteDevice(DeviceObject);
    return Status;
  }

  Bus->NextLowerDriver = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  if (Bus->NextLowerDriver == NULL) {
    ExFreePool(Bus->InterfaceName.Buffer);
    IoDeleteDevice(DeviceObject);
    return STATUS_NO_SUCH_DEVICE;
  }

  Status = ReadCardLocation(Bus);
  if (!NT_SUCCESS(Status)) {
    ExFreePool(Bus->InterfaceName.Buffer);
    IoDetachDevice(Bus->NextLowerDriver);
    IoDeleteDevice(DeviceObject);
    return Status;
  }

  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  return Status;
}

// TRUE for a UTF-16 code unit from "0" to "9".
static inline BOOLEAN IsDecimalDigit(WCHAR Character) {
  USHORT Unit = static_cast<USHORT>(Character);
  return Unit >= 0x0030 && Unit <= 0x0039;
}

// Takes the first three decimal numbers of the card's location text, in
// which the PCI bus driver names the bus, device and function numbers, and
// stores them in Location as bus << 8 | device << 3 | function. A text
// with only one or two numbers succeeds and leaves Location alone; a text
// without any number fails.
SERHUB_PAGED_CODE NTSTATUS ReadCardLocation(PBUS_EXTENSION Bus) {
  PAGED_CODE();

  ULONG Length = 0;
  NTSTATUS Status = IoGetDeviceProperty(Bus->UnderlyingPdo, DevicePropertyLocationInformation, 0,
                                        NULL, &Length);
  if (Status != STATUS_BUFFER_TOO_SMALL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The buffer is twice the property's size, so that the terminating NUL
  // written after a number that ends the text still lies inside it. An
  // empty size holds no number; a size that cannot be doubled is refused.
  if (Length == 0 || Length > 0x7FFFFFFFUL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PWCHAR Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, Length * 2, SERHUB_TAG_DDK));
  if (Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  ULONG Returned = 0;
  Status = IoGetDeviceProperty(Bus->UnderlyingPdo, DevicePropertyLocationInformation, Length,
                               Buffer, &Returned);
  if (!NT_SUCCESS(Status)) {
    ExFreePool(Buffer);
    return Status;
  }

  // Only the characters the query filled are looked at: never more than the
  // size reported first, and never more than the second query returned.
  ULONG Limit = (Returned < Length ? Returned : Length) / sizeof(WCHAR);
  ULONG Index = 0;
  ULONG Numbers[3] = {0, 0, 0};
  ULONG Found = 0;
  Status = STATUS_INSUFFICIENT_RESOURCES;

  while (Found < 3) {
    while (Index < Limit && !IsDecimalDigit(Buffer[Index])) {
      Index++;
    }
    if (Index >= Limit) {
      break;
    }
    ULONG Start = Index;
    while (Index < Limit && IsDecimalDigit(Buffer[Index])) {
      Index++;
    }
    // Index is at most Limit, which is at most half the allocation in
    // characters, so the terminator stays inside the buffer.
    Buffer[Index] = 0;
    Index++;

    UNICODE_STRING Digits;
    RtlInitUnicodeString(&Digits, &Buffer[Start]);
    Status = RtlUnicodeStringToInteger(&Digits, 10, &Numbers[Found]);
    if (!NT_SUCCESS(Status)) {
      break;
    }
    Found++;
  }

  if (Found == 3) {
    Bus->Location = ((Numbers[0] << 5) | Numbers[1]) << 3 | Numbers[2];
    Status = STATUS_SUCCESS;
  }

  ExFreePool(Buffer);
  return Status;
}

// Takes a count for a request entering the bus device's handlers. Once
// removal has let the count reach 0 the device is on its way out: no count is
// taken and the result is FALSE, so that the caller turns the request away.
// The test for 0 and the increment are one compare-exchange, so a request that
// passed the state tests just before removal began cannot take a count after
// removal's wait has ended. Non-paged, callable up to DISPATCH_LEVEL.
SERHUB_NONPAGED_CODE BOOLEAN IncrementOutstandingIo(PBUS_EXTENSION Bus) {
  // Start from the count between requests; when the field holds another
  // value the exchange fails and returns it, and only that value is acted on.
  LONG Count = 1;
  for (;;) {
    if (Count == 0) {
      return FALSE;
    }
    LONG Seen = InterlockedCompareExchange(&Bus->OutstandingIo, Count + 1, Count);
    if (Seen == Count) {
      break;
    }
    Count = Seen;
  }
  if (Count + 1 == 2) {
    KeClearEvent(&Bus->StopEvent);
  }
  return TRUE;
}

// Drops a count: StopEvent is set when only the device's own count is left,
// RemoveEvent when that one is gone too. Non-paged, callable up to
// DISPATCH_LEVEL.
SERHUB_NONPAGED_CODE VOID DecrementOutstandingIo(PBUS_EXTENSION Bus) {
  LONG Count = InterlockedDecrement(&Bus->OutstandingIo);
  if (Count == 1) {
    KeSetEvent(&Bus->StopEvent, IO_NO_INCREMENT, FALSE);
  }
  if (Count == 0) {
    KeSetEvent(&Bus->RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}
