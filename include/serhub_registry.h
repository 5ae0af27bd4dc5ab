// The registry contract between the serhub bus driver, the serhubpp property
// page and the serial port driver that loads on each port device.
//
// Card key (the Device Parameters key of the card's PCI device):
//   PORTS     REG_DWORD  the card's port count (0 for an unrecognised card)
// Port key (the Device Parameters key of a port device):
//   BASEADDR, INTCADDR, CLKRATE, INTCIDX, PORTTYPE, ECHOADDR, VECTOR, LEVEL,
//   TRVECTOR, TRLEVEL, AFFINITY   REG_DWORD, written by the driver in this order
//   PORTNAME  REG_SZ     "COMn", maintained by the system's COM port installer
//   PORTMODE  REG_DWORD  the line mode chosen on the property page
#pragma once

// The card's port count as the driver writes it; the property page reads it
// as SERHUB_PORTS_A (value names compare without regard to case).
#define SERHUB_PORTS_VALUE "PORTS"

// Value names in ANSI, as the property page uses them.
#define SERHUB_PORTS_A "Ports"
#define SERHUB_BASEADDR_A "BASEADDR"
#define SERHUB_INTCADDR_A "INTCADDR"
#define SERHUB_CLKRATE_A "CLKRATE"
#define SERHUB_INTCIDX_A "INTCIDX"
#define SERHUB_PORTTYPE_A "PORTTYPE"
#define SERHUB_ECHOADDR_A "ECHOADDR"
#define SERHUB_VECTOR_A "VECTOR"
#define SERHUB_LEVEL_A "LEVEL"
#define SERHUB_TRVECTOR_A "TRVECTOR"
#define SERHUB_TRLEVEL_A "TRLEVEL"
#define SERHUB_AFFINITY_A "AFFINITY"
#define SERHUB_PORTNAME_A "PORTNAME"
#define SERHUB_PORTMODE_A "PORTMODE"

// PORTTYPE codes.
#define SERHUB_PORTTYPE_RS232_ONLY 0  // no choice of line drivers
#define SERHUB_PORTTYPE_MULTIMODE 1   // RS485 HALF, RS485 FULL, RS422
#define SERHUB_PORTTYPE_ALL_MODES 2   // all four modes

// PORTMODE codes.
#define SERHUB_PORTMODE_RS232 0
#define SERHUB_PORTMODE_RS485_HALF 1
#define SERHUB_PORTMODE_RS485_FULL 2
#define SERHUB_PORTMODE_RS422 3

// The port devices' device ID (also their one hardware and compatible ID).
#define SERHUB_PORT_DEVICE_ID "PCIMULTI\\PCI_SER"

// The port devices' enumerator and device ID.
#define SERHUB_PORT_ENUM_KEY "SYSTEM\\CurrentControlSet\\Enum\\" SERHUB_PORT_DEVICE_ID

// Under HKEY_LOCAL_MACHINE: %s is the card's six-digit location key (bus,
// device, function as two upper-case hex digits each), %02X the port index.
#define SERHUB_PORT_KEY_FORMAT SERHUB_PORT_ENUM_KEY "\\%s%02X\\Device Parameters"

// UART input clock of every port, in Hz.
#define SERHUB_CLOCK_RATE 7372800
