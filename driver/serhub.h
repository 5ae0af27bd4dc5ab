// serhub: private header of the bus driver for the PCI multi-port serial
// cards. Both device extensions, the PnP states, the card interface GUID,
// the code placement macros and every routine shared between source files.
#pragma once

#include <ntddk.h>

#include "serhub_registry.h"

// ---------------------------------------------------------------------------
// Code placement. DriverEntry goes to the discardable INIT section, the
// Plug and Play code to the pageable PAGE section; DispatchPower, the power
// handlers, the request counter and the completion routines stay in .text.
// The Windows build (GCC) places code with section attributes; the host
// build has no sections.
#if defined(_WIN32)
#define SERHUB_INIT_CODE __attribute__((section("INIT")))
#define SERHUB_PAGED_CODE __attribute__((section("PAGE")))
#else
#define SERHUB_INIT_CODE
#define SERHUB_PAGED_CODE
#endif
#define SERHUB_NONPAGED_CODE

// Wide string literals: WCHAR is wchar_t on Windows and char16_t on the
// host build. SERHUB_WIDE("x") or SERHUB_WIDE(SOME_MACRO) gives a WCHAR literal.
#if defined(_WIN32)
#define SERHUB_WIDE_(s) L##s
#else
#define SERHUB_WIDE_(s) u##s
#endif
#define SERHUB_WIDE(s) SERHUB_WIDE_(s)

// Pool tags, four characters in memory order.
#define SERHUB_TAG_DDK 0x206B6444UL   // "Ddk "
#define SERHUB_TAG_ZBUS 0x7375625AUL  // "Zbus"

// Number of slots in BUS_EXTENSION.Children; enumeration fills at most 32.
#define SERHUB_CHILD_SLOTS 33
#define SERHUB_MAX_PORTS 32

// ---------------------------------------------------------------------------
// The card's registers.
//
// UartBlock: 8 registers per port, port i at UartBase + 8 * i. On the
// 32-port card every 8-port expansion module takes 64 bytes and has its
// interrupt-status register at offset 44 of its block; register 5 of a
// module's first port arms its signature, which register 4 of the module's
// first five ports then returns.
#define UART_REGISTER_SPAN 8
#define UART_SIGNATURE 4
#define UART_SIGNATURE_CONTROL 5
#define MODULE_PORTS 8
#define MODULE_SPAN (UART_REGISTER_SPAN * MODULE_PORTS)  // 64
#define MODULE_STATUS 44

// IntcBlock: the control registers.
#define INTC_STATUS_LOW 0    // interrupt status, ports 0 to 7
#define INTC_STATUS_HIGH 1   // interrupt status, ports 8 to 15
#define INTC_CONTROL 2
#define INTC_MODEL_A 4       // per-model values at setup
#define INTC_MODEL_B 5
#define INTC_MODEL_C 6
#define INTC_SET_A 8         // 0xFF at setup and reset
#define INTC_SET_B 9
#define INTC_SET_C 10
#define INTC_CLEAR_A 12      // 0x00 at setup and reset
#define INTC_CLEAR_B 13
#define INTC_CLEAR_C 14
#define INTC_ECHO 17         // echo control of multi-mode cards

// ---------------------------------------------------------------------------
// What a port device hands out for IRP_MN_QUERY_ID and
// IRP_MN_QUERY_DEVICE_TEXT, in bytes with the terminating NULs.
#define SERHUB_DEVICE_ID_SIZE sizeof(SERHUB_WIDE(SERHUB_PORT_DEVICE_ID))          // 34
#define SERHUB_HARDWARE_IDS_SIZE sizeof(SERHUB_WIDE(SERHUB_PORT_DEVICE_ID "\0"))  // 36
#define SERHUB_INSTANCE_ID_SIZE (9 * sizeof(WCHAR))                              // 18
#define SERHUB_DESCRIPTION "PCI serial port"
#define SERHUB_DESCRIPTION_SIZE sizeof(SERHUB_WIDE(SERHUB_DESCRIPTION))          // 32

// ---------------------------------------------------------------------------
// PnP states, shared by the bus device and the port devices.
typedef enum _SERHUB_PNP_STATE {
  NotStarted = 0,
  Started = 1,
  StopPending = 2,
  Stopped = 3,
  RemovePending = 4,
  SurpriseRemovePending = 5,
  Deleted = 6
} SERHUB_PNP_STATE;

// Interface class of the card's bus device, and the bus type that every
// port device reports: {AF5B4200-6D32-11D3-B89C-00C04FAD5171}.
extern const GUID GUID_SERIAL_CARD_BUS;

// ---------------------------------------------------------------------------
// The bus device's extension. The first six fields are the common header that
// PORT_EXTENSION repeats.
typedef struct _BUS_EXTENSION {
  PDEVICE_OBJECT Self;
  BOOLEAN IsBus;
  ULONG PnpState;
  ULONG PreviousPnpState;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;

  PDEVICE_OBJECT UnderlyingPdo;
  PDEVICE_OBJECT NextLowerDriver;
  PDEVICE_OBJECT Children[SERHUB_CHILD_SLOTS];
  FAST_MUTEX ChildLock;
  LONG OutstandingIo;
  KEVENT RemoveEvent;
  KEVENT StopEvent;
  UNICODE_STRING InterfaceName;
  ULONG Location;
  ULONG PortCount;
  ULONG ChildCount;

  PHYSICAL_ADDRESS UartStart;
  PUCHAR UartBase;
  ULONG UartLength;
  BOOLEAN UartNeedsMap;
  BOOLEAN UartMapped;
  ULONG MultiMode;
  PHYSICAL_ADDRESS IntcStart;
  PUCHAR IntcBase;
  ULONG IntcLength;
  BOOLEAN IntcNeedsMap;
  BOOLEAN IntcMapped;

  ULONG TrInterruptLevel;
  ULONG TrInterruptVector;
  ULONG InterruptLevel;
  ULONG InterruptVector;
  ULONG InterruptAffinity;
} BUS_EXTENSION, *PBUS_EXTENSION;

// The port device's extension.
typedef struct _PORT_EXTENSION {
  PDEVICE_OBJECT Self;
  BOOLEAN IsBus;
  ULONG PnpState;
  ULONG PreviousPnpState;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;

  PDEVICE_OBJECT ParentFdo;
  WCHAR DeviceId[34];
  WCHAR HardwareIds[36];
  WCHAR InstanceId[18];
  ULONG PortIndex;
  ULONG BaseAddr;
  ULONG IntcAddr;
  ULONG EchoAddr;
  ULONG ClockRate;
  ULONG IntcIndex;
  ULONG PortType;
  ULONG TrInterruptVector;
  ULONG TrInterruptLevel;
  ULONG InterruptVector;
  ULONG InterruptLevel;
  ULONG InterruptAffinity;

  // Set when a bus-relations query walked past the port without reporting it
  // (its module stopped answering, the card is no longer set up): from then
  // on its removal deletes the device.
  BOOLEAN ReportedMissing;
} PORT_EXTENSION, *PPORT_EXTENSION;

// The common header, for code that does not yet know which extension it has.
typedef struct _COMMON_EXTENSION {
  PDEVICE_OBJECT Self;
  BOOLEAN IsBus;
  ULONG PnpState;
  ULONG PreviousPnpState;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
} COMMON_EXTENSION, *PCOMMON_EXTENSION;

// Both extensions begin with the common header, field for field.
#define SERHUB_SAME_OFFSET(Type, Field) \
  static_assert(FIELD_OFFSET(Type, Field) == FIELD_OFFSET(COMMON_EXTENSION, Field), \
                #Type "." #Field " is not where the common header has it")
SERHUB_SAME_OFFSET(BUS_EXTENSION, Self);
SERHUB_SAME_OFFSET(BUS_EXTENSION, IsBus);
SERHUB_SAME_OFFSET(BUS_EXTENSION, PnpState);
SERHUB_SAME_OFFSET(BUS_EXTENSION, PreviousPnpState);
SERHUB_SAME_OFFSET(BUS_EXTENSION, SystemPowerState);
SERHUB_SAME_OFFSET(BUS_EXTENSION, DevicePowerState);
SERHUB_SAME_OFFSET(PORT_EXTENSION, Self);
SERHUB_SAME_OFFSET(PORT_EXTENSION, IsBus);
SERHUB_SAME_OFFSET(PORT_EXTENSION, PnpState);
SERHUB_SAME_OFFSET(PORT_EXTENSION, PreviousPnpState);
SERHUB_SAME_OFFSET(PORT_EXTENSION, SystemPowerState);
SERHUB_SAME_OFFSET(PORT_EXTENSION, DevicePowerState);
#undef SERHUB_SAME_OFFSET

// The identity arrays hold what QUERY_ID copies out of them.
static_assert(sizeof(PORT_EXTENSION::DeviceId) >= SERHUB_DEVICE_ID_SIZE, "DeviceId too small");
static_assert(sizeof(PORT_EXTENSION::HardwareIds) >= SERHUB_HARDWARE_IDS_SIZE, "HardwareIds too small");
static_assert(sizeof(PORT_EXTENSION::InstanceId) >= SERHUB_INSTANCE_ID_SIZE, "InstanceId too small");

// ---------------------------------------------------------------------------
// Entry and routing (entry.cpp).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
// PnP state transitions of either kind of device: entering a state saves the
// current one; a cancel goes back only from the matching pending state.
VOID EnterPnpState(PCOMMON_EXTENSION Common, ULONG State);
VOID CancelPnpState(PCOMMON_EXTENSION Common, ULONG PendingState);
#define SERHUB_COMMON(Extension) reinterpret_cast<PCOMMON_EXTENSION>(Extension)

// Bus device creation and request accounting (busdevice.cpp).
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS ReadCardLocation(PBUS_EXTENSION Bus);
BOOLEAN IncrementOutstandingIo(PBUS_EXTENSION Bus);
VOID DecrementOutstandingIo(PBUS_EXTENSION Bus);

// Bus device Plug and Play (buspnp.cpp).
NTSTATUS BusPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpStack,
                PBUS_EXTENSION Bus);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp);
NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS EnableBusInterface(PBUS_EXTENSION Bus);
VOID DisableBusInterface(PBUS_EXTENSION Bus);

// Power (power.cpp).
NTSTATUS BusPower(PBUS_EXTENSION Bus, PIRP Irp);
NTSTATUS CompletePowerDeletePending(PIRP Irp);
NTSTATUS PortPower(PPORT_EXTENSION Port, PIRP Irp);

// Card identification (cardid.cpp).
NTSTATUS AccessPciConfig(PDEVICE_OBJECT Device, BOOLEAN Write, PVOID Buffer, ULONG Offset,
                         ULONG Length);
ULONG IdentifyCard(PBUS_EXTENSION Bus);

// Card resources and register setup (cardres.cpp).
NTSTATUS ParseCardResources(PIO_STACK_LOCATION IrpStack, PBUS_EXTENSION Bus);
NTSTATUS SetUpCard(PBUS_EXTENSION Bus);
VOID ShutDownCard(PBUS_EXTENSION Bus);

// Port enumeration (enumerate.cpp).
NTSTATUS EnumeratePorts(PIRP Irp, PBUS_EXTENSION Bus);
// MemorySpace: the UART range lies in memory space (UartNeedsMap).
BOOLEAN ProbeModule(PUCHAR UartBase, ULONG PortIndex, ULONG PortCount, BOOLEAN MemorySpace);
NTSTATUS CreatePortDevice(PBUS_EXTENSION Bus, ULONG PortIndex, PCHAR Prefix);
PCHAR BuildInstancePrefix(PBUS_EXTENSION Bus);

// Port device Plug and Play (portpnp.cpp).
NTSTATUS PortDevicePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpStack,
                       PPORT_EXTENSION Port);
NTSTATUS QueryPortRelations(PPORT_EXTENSION Port, PIRP Irp);
NTSTATUS QueryPortCapabilities(PPORT_EXTENSION Port, PIRP Irp);
NTSTATUS QueryPortText(PPORT_EXTENSION Port, PIRP Irp);
NTSTATUS QueryPortId(PPORT_EXTENSION Port, PIRP Irp);
NTSTATUS QueryPortBusInformation(PPORT_EXTENSION Port, PIRP Irp);
NTSTATUS GetParentCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Capabilities);

// Port device parameters (portparams.cpp).
VOID PublishPortParameters(PDEVICE_OBJECT DeviceObject, PPORT_EXTENSION Port);
NTSTATUS WriteRegistryValue(HANDLE Key, PCWSTR Name, ULONG NameSize, ULONG Type, PVOID Data,
                            ULONG DataSize);

// Card register access: port I/O for ranges in I/O space, memory-register
// access for ranges that lie in memory space and were mapped (cardres.cpp).
UCHAR ReadCardRegister(PUCHAR Address, BOOLEAN MemorySpace);
VOID WriteCardRegister(PUCHAR Address, BOOLEAN MemorySpace, UCHAR Value);
