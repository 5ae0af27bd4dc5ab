// Host-side control of the kernel stand-in's I/O manager Plug and Play
// services, kernel registry handles, HAL port/register routines, I/O space
// mapping and PoSetPowerState. Tests and the machine stand-in use it to set
// up device nodes and hardware ranges, inject faults and read what the
// driver did. Everything here is thread-safe.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

// Fresh state for a test: device nodes, interfaces, open key handles,
// mappings, port/memory ranges, logs and faults. (The registry store itself is
// reset by RegistryStore::Reset.)
void ResetIo();
// What is left over at the end of a test: kernel key handles still open,
// I/O space still mapped, interfaces still enabled when their device node was
// removed. One description per finding; empty when clean.
std::vector<std::string> IoEndChecks();

// ---------------------------------------------------------------------------
// Device nodes.
//
// IoGetDeviceProperty, IoRegisterDeviceInterface and IoOpenDeviceRegistryKey
// accept only a PDO with a device node; any other device object gets
// STATUS_INVALID_DEVICE_REQUEST and a verifier failure (the platform stops
// with PNP_DETECTED_FATAL_ERROR, invalid PDO). Registry-based properties are
// read from the instance key SYSTEM\CurrentControlSet\Enum\<instance path>:
// "DeviceDesc", "HardwareID", "CompatibleIDs", "Class", "ClassGUID", "Driver",
// "Mfg", "FriendlyName", "LocationInformation", "UINumber", LogConf\"BootConfig";
// a missing value gives STATUS_OBJECT_NAME_NOT_FOUND. The stand-ins that play
// the bus drivers and the Plug and Play manager write those values into the
// registry store.

// Gives the device a device node with this instance path, relative to
// SYSTEM\CurrentControlSet\Enum (e.g. "PCI\\VEN_1234&DEV_5678&SUBSYS_00084B51\\3&1a2b&0&68"),
// which makes it a PDO for the Plug and Play services. Creates the instance
// key in the registry store if it is missing.
void SetDeviceInstancePath(PDEVICE_OBJECT pdo, const std::string& instancePath);
// The instance path of a PDO; "" when the device has no device node.
std::string DeviceInstancePath(PDEVICE_OBJECT pdo);
bool HasDeviceNode(PDEVICE_OBJECT pdo);
// The device node goes away (the PDO was reported missing and removed, or the
// card was unplugged). Interfaces of the device still enabled are reported by
// IoEndChecks and disabled, as the Plug and Play manager does. The device
// object itself stays until IoDeleteDevice. Deleting a PDO that still has a
// node removes the node the same way.
void RemoveDeviceNode(PDEVICE_OBJECT pdo);
// Values for IoGetDeviceProperty that do not live in the instance key.
void SetDeviceAddress(PDEVICE_OBJECT pdo, ULONG address);      // DevicePropertyAddress
void SetDeviceBusNumber(PDEVICE_OBJECT pdo, ULONG busNumber);  // DevicePropertyBusNumber

// ---------------------------------------------------------------------------
// Fault injection for the I/O manager routines.
enum class IoRoutine {
  GetDeviceProperty,        // IoGetDeviceProperty
  RegisterDeviceInterface,  // IoRegisterDeviceInterface
  SetDeviceInterfaceState,  // IoSetDeviceInterfaceState
  OpenDeviceRegistryKey,    // IoOpenDeviceRegistryKey
  MapIoSpace,               // MmMapIoSpace (fails by returning NULL; status unused)
  SetValueKey,              // ZwSetValueKey
  QueryValueKey,            // ZwQueryValueKey
};
// The n-th call of the routine from now (1 = the next one) fails with this
// status and changes nothing. Several may be armed at once.
void FailIoCallNth(IoRoutine routine, int n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// Every call of the routine fails until ClearIoFaults.
void FailIoCallAlways(IoRoutine routine, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// ZwSetValueKey of this value name (case-insensitive) fails with status until cleared.
void FailSetValue(const std::string& valueName, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void ClearIoFaults();
// Calls made since ResetIo (including failed ones), to aim FailIoCallNth.
int IoCallCount(IoRoutine routine);

// ---------------------------------------------------------------------------
// Device interfaces.

// Every interface registered for the PDO's instance path, in registration order.
std::vector<std::u16string> RegisteredInterfaces(PDEVICE_OBJECT pdo);
bool IsInterfaceRegistered(const std::u16string& symbolicLinkName);
bool IsInterfaceEnabled(const std::u16string& symbolicLinkName);
// IoSetDeviceInterfaceState calls on the name (any result), per direction.
int InterfaceEnableCalls(const std::u16string& symbolicLinkName);
int InterfaceDisableCalls(const std::u16string& symbolicLinkName);
struct InterfaceStateCall {
  std::u16string name;
  bool enable;
  NTSTATUS status;
};
std::vector<InterfaceStateCall> InterfaceStateLog();

// ---------------------------------------------------------------------------
// Kernel registry handles.

// Handles of IoOpenDeviceRegistryKey and OpenKernelKey. ZwClose of an unknown
// or closed handle, and ZwSetValueKey / ZwQueryValueKey on one, give
// STATUS_INVALID_HANDLE and a verifier failure; handle values are never
// reused. Value names are taken from the UNICODE_STRING's Length (a NUL within
// Length is part of the name, as on the platform). ZwQueryValueKey supports
// KeyValuePartialInformation and KeyValueBasicInformation.
//
// Opens an existing key (path relative to HKEY_LOCAL_MACHINE) for a stand-in
// that reads or writes it through Zw*; NULL if the key is missing. The handle
// must be closed with ZwClose like any other.
HANDLE OpenKernelKey(const std::string& path, ACCESS_MASK access = KEY_ALL_ACCESS);
// The key path of an open handle; nullopt if the handle is not open.
std::optional<std::string> KernelKeyPath(HANDLE handle);
std::optional<ACCESS_MASK> KernelKeyAccess(HANDLE handle);
size_t OpenKernelKeyCount();

// One ZwSetValueKey call, in call order, whatever its result.
struct ZwSetValueCall {
  std::string path;   // key path of the handle ("" for a bad handle)
  std::string name;   // value name, UTF-8
  ULONG type;
  std::vector<uint8_t> data;
  NTSTATUS status;
};
std::vector<ZwSetValueCall> ZwSetValueLog();
void ClearZwSetValueLog();

// ---------------------------------------------------------------------------
// HAL: I/O ports and memory-mapped registers.
//
// READ_/WRITE_PORT_UCHAR take port numbers (up to 0xFFFF); given an address
// from MmMapIoSpace (or anything else above 0xFFFF) they report a verifier
// failure and reach no device (reads give 0xFF). READ_/WRITE_REGISTER_UCHAR
// take only addresses inside a live mapping; anything else is reported and
// reaches no device. A port or physical address that no range decodes reads
// 0xFF and swallows writes, like an undriven bus. Every access is logged.
// Handlers are called without any stand-in lock held, on the caller's thread.

// A device's decoder for a range of I/O or memory space; offsets are relative
// to the range's base.
struct IoHandler {
  virtual ~IoHandler() = default;
  virtual UCHAR Read(ULONG offset) = 0;
  virtual void Write(ULONG offset, UCHAR value) = 0;
};
// Ranges must not overlap existing ones. The handler must outlive its ranges.
void AddPortRange(ULONG base, ULONG length, IoHandler* handler);            // I/O space
void AddMemoryRange(ULONGLONG physical, ULONG length, IoHandler* handler);  // memory space
void RemoveRanges(IoHandler* handler);

enum class IoSpace { Port, Register };
// One READ_/WRITE_ PORT/REGISTER call, in order. address is the port number
// for ports and the physical address for registers (the mapped virtual
// address translated back); claimed is false when no range decoded it.
struct IoAccess {
  IoSpace space;
  ULONGLONG address;
  bool write;
  UCHAR value;  // the value written or returned
  bool claimed;
};
std::vector<IoAccess> IoAccessLog();
void ClearIoAccessLog();

// A live MmMapIoSpace mapping. The virtual address lies in a reserved region
// that is never accessible: dereferencing it directly faults. MmUnmapIoSpace
// reports an address it did not hand out, a second unmap and a length other
// than the mapped one; mappings still live are leaks for IoEndChecks.
struct IoMapping {
  PVOID virtualAddress;
  ULONGLONG physical;
  SIZE_T length;
  MEMORY_CACHING_TYPE cacheType;
};
std::vector<IoMapping> LiveMappings();
// MmMapIoSpace calls that succeeded since ResetIo, and MmUnmapIoSpace calls that were accepted.
int MapCount();
int UnmapCount();

// ---------------------------------------------------------------------------
// Power.

// One PoSetPowerState call, in order.
struct PoSetPowerStateCall {
  PDEVICE_OBJECT device;
  POWER_STATE_TYPE type;
  POWER_STATE state;
  POWER_STATE previous;  // what the call returned
};
std::vector<PoSetPowerStateCall> PoSetPowerStateLog();
// The state last set for the device (D0 / PowerSystemWorking if never set).
DEVICE_POWER_STATE RecordedDevicePowerState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE RecordedSystemPowerState(PDEVICE_OBJECT device);

}  // namespace host
