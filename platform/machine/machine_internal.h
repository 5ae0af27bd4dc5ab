// Glue between the parts of the machine stand-in: the card, the PCI bus
// driver, the Plug and Play manager, the serial port driver and power.
#pragma once

#include <wdm.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/machine.h"

namespace host {
namespace machine {

// Pool tag of the buffers the machine's own drivers hand out ("PciM").
constexpr ULONG kPciTag = 0x4D696350;
// Pool tag of the lists the Plug and Play manager passes down ("PnpM").
constexpr ULONG kPnpTag = 0x4D706E50;

// Longest a test-facing wait of the machine blocks before giving up.
constexpr int kSafetySeconds = 10;

struct LoadedDriverRecord {
  std::string service;
  PDRIVER_INITIALIZE entry = nullptr;
  PDRIVER_OBJECT object = nullptr;  // NULL while not loaded
  int loads = 0;
  int unloads = 0;
};

struct MachineState {
  std::recursive_mutex mutex;
  std::vector<std::unique_ptr<Card>> cards;
  std::vector<std::unique_ptr<PciDevice>> pciDevices;
  std::vector<std::unique_ptr<DeviceNode>> nodes;
  PDRIVER_OBJECT pciDriver = nullptr;
  std::map<std::string, LoadedDriverRecord> drivers;  // key: upper-case service name
  std::string lastService;
  bool autoUnload = true;
  std::vector<SerialReading> serialReadings;
  int serialAddFailures = 0;
  NTSTATUS serialAddFailStatus = STATUS_SUCCESS;
  int livePowerRequests = 0;
};

MachineState& State();

// The PCI bus driver.
PDRIVER_OBJECT PciDriver();
PDEVICE_OBJECT CreatePciPdo(PciDevice* device);

// The serial port function driver.
NTSTATUS NTAPI SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
constexpr const char* kSerialService = "Serial";

// Drivers (pnp_drivers.cpp).
PDRIVER_OBJECT EnsureDriverLoaded(const std::string& service);
void UnloadIfIdle(const std::string& service);

// Text.
std::string Narrow(const char16_t* text, size_t units);
std::u16string Widen(const std::string& text);
std::string Hex(ULONGLONG value, int digits = 0);
std::string Upper(std::string text);

}  // namespace machine
}  // namespace host
