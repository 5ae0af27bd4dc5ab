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

#define SERHUB_PORT_VALUE(name, Field) \
  { SERHUB_WIDE(name), sizeof(SERHUB_WIDE(name)), FIELD_OFFSET(PORT_EXTENSION, Field) }

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

// Writes one value through an open key. Name is NameSize bytes including
// its NUL; it is copied into a counted string of its own for ZwSetValueKey.
SERHUB_PAGED_CODE NTSTATUS WriteRegistryValue(HANDLE Key, PCWSTR Name, ULONG NameSize, ULONG Type,
                                              PVOID Data, ULONG DataSize) {
  PAGED_CODE();
  UNICODE_STRING ValueName;
  ValueName.Length = 0;
  ValueName.MaximumLength = static_cast<USHORT>(NameSize + sizeof(WCHAR));
  ValueName.Buffer =
      static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, ValueName.MaximumLength, SERHUB_TAG_DDK));
  if (ValueName.Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlAppendUnicodeToString(&ValueName, Name);

  NTSTATUS Status = ZwSetValueKey(Key, &ValueName, 0, Type, Data, DataSize);
  ExFreePool(ValueName.Buffer);
  return Status;
}

// IRP_MN_QUERY_RESOURCES of a port device: writes the port's eleven values
// into its Device Parameters key. Nothing is reported; a value that cannot
// be written does not keep the others from being written.
SERHUB_PAGED_CODE VOID PublishPortParameters(PDEVICE_OBJECT DeviceObject, PPORT_EXTENSION Port) {
  PAGED_CODE();
  HANDLE Key = NULL;
  NTSTATUS Status =
      IoOpenDeviceRegistryKey(DeviceObject, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_WRITE, &Key);
  if (!NT_SUCCESS(Status)) {
    return;
  }
  for (ULONG Index = 0; Index < sizeof(PortValues) / sizeof(PortValues[0]); Index++) {
    PULONG Field =
        reinterpret_cast<PULONG>(reinterpret_cast<PUCHAR>(Port) + PortValues[Index].FieldOffset);
    WriteRegistryValue(Key, PortValues[Index].Name, PortValues[Index].NameSize, REG_DWORD, Field,
                       sizeof(ULONG));
  }
  ZwClose(Key);
}
