// serhub: the card's two register ranges and its interrupt, taken from the
// start resources; mapping of memory-space ranges; the control registers'
// setup and reset values.
#include "serhub.h"

static VOID TakeRange(PCM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor, PHYSICAL_ADDRESS* Start,
                      ULONG* Length, BOOLEAN* NeedsMap, BOOLEAN* Mapped);
static PUCHAR ReachRange(PHYSICAL_ADDRESS Start, ULONG Length, BOOLEAN NeedsMap, BOOLEAN* Mapped);
static VOID ReleaseRange(PUCHAR Base, ULONG Length, BOOLEAN* Mapped);
static VOID WriteControlRegisters(PBUS_EXTENSION Bus, BOOLEAN ClearEcho, UCHAR ModelA,
                                  UCHAR ModelB, UCHAR ModelC);

// Reads one card register. Ranges in memory space have been mapped and are
// reached as memory registers, ranges in I/O space through port I/O. Only
// the Plug and Play code uses them, at PASSIVE_LEVEL.
SERHUB_PAGED_CODE UCHAR ReadCardRegister(PUCHAR Address, BOOLEAN MemorySpace) {
  PAGED_CODE();
  if (MemorySpace) {
    return READ_REGISTER_UCHAR(Address);
  }
  return READ_PORT_UCHAR(Address);
}

// Writes one card register, as ReadCardRegister reads it.
SERHUB_PAGED_CODE VOID WriteCardRegister(PUCHAR Address, BOOLEAN MemorySpace, UCHAR Value) {
  PAGED_CODE();
  if (MemorySpace) {
    WRITE_REGISTER_UCHAR(Address, Value);
  } else {
    WRITE_PORT_UCHAR(Address, Value);
  }
}

// Records one port-type range as the card's UartBlock or IntcBlock.
SERHUB_PAGED_CODE static VOID TakeRange(PCM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor,
                                        PHYSICAL_ADDRESS* Start, ULONG* Length,
                                        BOOLEAN* NeedsMap, BOOLEAN* Mapped) {
  PAGED_CODE();

  // The descriptor is packed to 4 bytes, so Start may sit at an address that
  // is not 8-aligned: copy its value, never bind a reference to it.
  Start->QuadPart = Descriptor->u.Port.Start.QuadPart;
  *Length = Descriptor->u.Port.Length;
  *NeedsMap = (Descriptor->Flags & CM_RESOURCE_PORT_IO) ? FALSE : TRUE;
  *Mapped = FALSE;
}

// Sorts the translated start resources into UartBlock, IntcBlock and the
// interrupt. The port ranges are told apart by their order among the port
// descriptors, which depends on the card model.
SERHUB_PAGED_CODE NTSTATUS ParseCardResources(PIO_STACK_LOCATION IrpStack, PBUS_EXTENSION Bus) {
  PAGED_CODE();

  Bus->InterruptLevel = 0;
  Bus->InterruptVector = 0;
  Bus->TrInterruptLevel = 0;
  Bus->TrInterruptVector = 0;
  Bus->UartLength = 0;
  Bus->IntcLength = 0;

  PCM_RESOURCE_LIST Resources = IrpStack->Parameters.StartDevice.AllocatedResourcesTranslated;
  if (Resources != NULL) {
    PCM_PARTIAL_RESOURCE_LIST Partial = &Resources->List[0].PartialResourceList;
    // Which port range is which, by its number among the port descriptors:
    // the 32-port card lists its control range first and its UARTs second,
    // the other models their UARTs first and their control range third.
    const ULONG UartRange = (Bus->PortCount == 32) ? 1 : 0;
    const ULONG IntcRange = (Bus->PortCount == 32) ? 0 : 2;
    ULONG PortRanges = 0;

    for (ULONG Index = 0; Index < Partial->Count; Index++) {
      PCM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor = &Partial->PartialDescriptors[Index];
      switch (Descriptor->Type) {
        case CmResourceTypePort:
          if (PortRanges == UartRange) {
            TakeRange(Descriptor, &Bus->UartStart, &Bus->UartLength, &Bus->UartNeedsMap,
                      &Bus->UartMapped);
          } else if (PortRanges == IntcRange) {
            TakeRange(Descriptor, &Bus->IntcStart, &Bus->IntcLength, &Bus->IntcNeedsMap,
                      &Bus->IntcMapped);
          }
          PortRanges++;
          break;
        case CmResourceTypeInterrupt:
          Bus->InterruptLevel = Descriptor->u.Interrupt.Level;
          Bus->InterruptVector = Descriptor->u.Interrupt.Vector;
          Bus->InterruptAffinity = static_cast<ULONG>(Descriptor->u.Interrupt.Affinity);
          break;
        default:
          break;
      }
    }

    // The second pair is taken from the same translated list.
    for (ULONG Index = 0; Index < Partial->Count; Index++) {
      PCM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor = &Partial->PartialDescriptors[Index];
      if (Descriptor->Type == CmResourceTypeInterrupt) {
        Bus->TrInterruptLevel = Descriptor->u.Interrupt.Level;
        Bus->TrInterruptVector = Descriptor->u.Interrupt.Vector;
      }
    }

    if (Bus->InterruptVector != 0 && Bus->UartLength != 0 && Bus->IntcLength != 0) {
      return STATUS_SUCCESS;
    }
  }

  Bus->PortCount = 0;
  return STATUS_DEVICE_CONFIGURATION_ERROR;
}

// Returns the address through which a range is reached: its mapping for a
// range in memory space (NULL if the mapping failed), else its port address.
SERHUB_PAGED_CODE static PUCHAR ReachRange(PHYSICAL_ADDRESS Start, ULONG Length,
                                           BOOLEAN NeedsMap, BOOLEAN* Mapped) {
  PAGED_CODE();

  if (NeedsMap) {
    PUCHAR Base = static_cast<PUCHAR>(MmMapIoSpace(Start, Length, MmNonCached));
    if (Base != NULL) {
      *Mapped = TRUE;
    }
    return Base;
  }
  return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(Start.LowPart));
}

// Unmaps a range that was mapped, with its own length.
SERHUB_PAGED_CODE static VOID ReleaseRange(PUCHAR Base, ULONG Length, BOOLEAN* Mapped) {
  PAGED_CODE();

  if (*Mapped) {
    MmUnmapIoSpace(Base, Length);
    *Mapped = FALSE;
  }
}

// Writes the control registers in the card's order: the status and control
// registers cleared, the echo control cleared when asked (setup of a
// multi-mode card), the three per-model registers, then the two fixed
// groups. Setup and shutdown differ only in the echo and per-model values.
SERHUB_PAGED_CODE static VOID WriteControlRegisters(PBUS_EXTENSION Bus, BOOLEAN ClearEcho,
                                                    UCHAR ModelA, UCHAR ModelB, UCHAR ModelC) {
  PAGED_CODE();

  PUCHAR Intc = Bus->IntcBase;
  BOOLEAN Memory = Bus->IntcNeedsMap;
  WriteCardRegister(Intc + INTC_STATUS_LOW, Memory, 0x00);
  WriteCardRegister(Intc + INTC_STATUS_HIGH, Memory, 0x00);
  WriteCardRegister(Intc + INTC_CONTROL, Memory, 0x00);
  if (ClearEcho) {
    WriteCardRegister(Intc + INTC_ECHO, Memory, 0x00);
  }
  WriteCardRegister(Intc + INTC_MODEL_A, Memory, ModelA);
  WriteCardRegister(Intc + INTC_MODEL_B, Memory, ModelB);
  WriteCardRegister(Intc + INTC_MODEL_C, Memory, ModelC);
  WriteCardRegister(Intc + INTC_SET_A, Memory, 0xFF);
  WriteCardRegister(Intc + INTC_SET_B, Memory, 0xFF);
  WriteCardRegister(Intc + INTC_SET_C, Memory, 0xFF);
  WriteCardRegister(Intc + INTC_CLEAR_A, Memory, 0x00);
  WriteCardRegister(Intc + INTC_CLEAR_B, Memory, 0x00);
  WriteCardRegister(Intc + INTC_CLEAR_C, Memory, 0x00);
}

// Makes both ranges reachable and brings the control registers into their
// initial state. On failure nothing stays mapped and nothing is written.
SERHUB_PAGED_CODE NTSTATUS SetUpCard(PBUS_EXTENSION Bus) {
  PAGED_CODE();

  ULONG MultiMode = Bus->MultiMode;

  Bus->UartBase = ReachRange(Bus->UartStart, Bus->UartLength, Bus->UartNeedsMap, &Bus->UartMapped);
  Bus->IntcBase = ReachRange(Bus->IntcStart, Bus->IntcLength, Bus->IntcNeedsMap, &Bus->IntcMapped);

  if (Bus->UartBase == NULL || Bus->IntcBase == NULL) {
    Bus->PortCount = 0;
    ReleaseRange(Bus->UartBase, Bus->UartLength, &Bus->UartMapped);
    ReleaseRange(Bus->IntcBase, Bus->IntcLength, &Bus->IntcMapped);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }

  // Offsets 4, 5 and 6 leave one bit clear per port; only the 2-port row
  // depends on the line drivers.
  UCHAR ModelA;
  UCHAR ModelB;
  UCHAR ModelC;
  switch (Bus->PortCount) {
    case 2:
      if (MultiMode) {
        ModelA = 0xFC;
        ModelB = 0xFF;
        ModelC = 0xFF;
      } else {
        ModelA = 0xFF;
        ModelB = 0xFF;
        ModelC = 0xF3;
      }
      break;
    case 4:
      ModelA = 0xF0;
      ModelB = 0xFF;
      ModelC = 0xFF;
      break;
    case 8:
      ModelA = 0x00;
      ModelB = 0xFF;
      ModelC = 0xFF;
      break;
    case 16:
      ModelA = 0x00;
      ModelB = 0x00;
      ModelC = 0xFF;
      break;
    default:  // 32
      ModelA = 0xFE;
      ModelB = 0xFF;
      ModelC = 0xFF;
      break;
  }

  WriteControlRegisters(Bus, MultiMode != 0, ModelA, ModelB, ModelC);
  return STATUS_SUCCESS;
}

// Puts the control registers back into their reset state and unmaps the
// ranges. Acts only while the card is set up (PortCount not 0).
SERHUB_PAGED_CODE VOID ShutDownCard(PBUS_EXTENSION Bus) {
  PAGED_CODE();

  if (Bus->PortCount == 0) {
    return;
  }
  Bus->PortCount = 0;

  WriteControlRegisters(Bus, FALSE, 0xFF, 0xFF, 0xFF);

  ReleaseRange(Bus->UartBase, Bus->UartLength, &Bus->UartMapped);
  ReleaseRange(Bus->IntcBase, Bus->IntcLength, &Bus->IntcMapped);
}
