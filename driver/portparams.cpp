// serhub: the hardware settings that every port device publishes in its
// Device Parameters key, and the routine with which the driver writes each of
// its registry values.
#include "serhub.h"

namespace {

// One published value: its UTF-16 name, the name's size with the NUL, and
// the PORT_EXTENSION field it comes from.
struct PORT_VALUE {
  PCWSTR Name;
  ULONG NameSize;
  ULONG FieldOffset;
};

#define SERHUB_PORT_VALUE(name, field) \
  { SERHUB_WIDE(name), sizeof(SERHUB_WIDE(name)), FIELD_OFFSET(PORT_EXTENSION, field) }

// The serial port driver on each port device reads these; they are written
// in this order.
const PORT_VALUE PortValues[] = {
    SERHUB_PORT_VALUE(SERHUB_BASEADDR_A, BaseAddr),
    SERHUB_PORT_VALUE(SERHUB_INTCADDR_A, IntcAddr),
    SERHUB_PORT_VALUE(SERHUB_CLKRATE_A, ClockRate),
    SERHUB_PORT_VALUE(SERHUB_INTCIDX_A, IntcIndex),
    SERHUB_PORT_VALUE(SERHUB_PORTTYPE_A, PortType),
    SERHUB_PORT_VALUE(SERHUB_ECHOADDR_A, EchoAddr),
    SERHUB_PORT_VALUE(SERHUB_VECTOR_A, InterruptVector),
    SERHUB_PORT_VALUE(SERHUB_LEVEL_A, InterruptLevel),
    SERHUB_PORT_VALUE(SERHUB_TRVECTOR_A, TrInterruptVector),
    SERHUB_PORT_VALUE(SERHUB_TRLEVEL_A, TrInterruptLevel),
    SERHUB_PORT_VALUE(SERHUB_AFFINITY_A, InterruptAffinity),
};

#undef SERHUB_PORT_VALUE

}  // namespace

SERHUB_ALLOC_TEXT(PAGE, WriteRegistryValue)
SERHUB_ALLOC_TEXT(PAGE, PublishPortParameters)

// Writes one value through an open key. Name is NameSize bytes including
// its NUL; it is copied into a counted string of its own for ZwSetValueKey.
SERHUB_PAGED_CODE NTSTATUS WriteRegistryValue(HANDLE Key, PCWSTR Name, ULONG NameSize, ULONG Type,
                                              PVOID Data, ULONG DataSize) {
  PAGED_CODE();
  UNICODE_STRING valueName;
  valueName.Length = 0;
  valueName.MaximumLength = (USHORT)(NameSize + sizeof(WCHAR));
  valueName.Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, valueName.MaximumLength, SERHUB_TAG_DDK);
  if (valueName.Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlAppendUnicodeToString(&valueName, Name);

  NTSTATUS status = ZwSetValueKey(Key, &valueName, 0, Type, Data, DataSize);
  ExFreePool(valueName.Buffer);
  return status;
}

// IRP_MN_QUERY_RESOURCES of a port device: writes the port's eleven values
// into its Device Parameters key. Nothing is reported; a value that cannot
// be written does not keep the others from being written.
SERHUB_PAGED_CODE VOID PublishPortParameters(PDEVICE_OBJECT DeviceObject, PPORT_EXTENSION Port) {
  PAGED_CODE();
  HANDLE key = NULL;
  NTSTATUS status =
      IoOpenDeviceRegistryKey(DeviceObject, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_WRITE, &key);
  if (!NT_SUCCESS(status)) {
    return;
  }
  for (ULONG i = 0; i < sizeof(PortValues) / sizeof(PortValues[0]); i++) {
    PULONG field = (PULONG)((PUCHAR)Port + PortValues[i].FieldOffset);
    WriteRegistryValue(key, PortValues[i].Name, PortValues[i].NameSize, REG_DWORD, field,
                       sizeof(ULONG));
  }
  ZwClose(key);
}
