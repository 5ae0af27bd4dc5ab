// The I/O manager's Plug and Play services: device nodes of PDOs,
// IoGetDeviceProperty, device interfaces and IoOpenDeviceRegistryKey, plus
// the fault injection shared by the I/O manager routines of the stand-in.
#include <wdm.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/io.h"
#include "host/faults.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "kernel/kio_internal.h"
#include "registry/registry.h"

namespace {

constexpr NTSTATUS kStatusInvalidParameter2 = static_cast<NTSTATUS>(0xC00000F0L);
const char kEnumRoot[] = "SYSTEM\\CurrentControlSet\\Enum\\";
const char kHwProfileRoot[] =
    "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\";

struct DeviceNode {
  std::string instancePath;
  std::optional<ULONG> address;
  std::optional<ULONG> busNumber;
};

struct Interface {
  std::u16string name;
  std::string instancePath;
  bool enabled = false;
  int enableCalls = 0;
  int disableCalls = 0;
};

struct PnpState {
  std::mutex mutex;
  std::map<PDEVICE_OBJECT, DeviceNode> nodes;
  std::vector<Interface> interfaces;  // registration order
  std::vector<host::InterfaceStateCall> stateLog;
  std::vector<std::string> findings;  // interfaces left enabled at node removal
  // Fault injection, indexed by IoRoutine.
  static constexpr size_t kRoutines = static_cast<size_t>(host::IoRoutine::QueryValueKey) + 1;
  std::array<std::atomic<int>, kRoutines> calls{};  // counted without the lock
  std::atomic<bool> armed{false};  // something in nth or always
  std::array<std::vector<std::pair<int, NTSTATUS>>, kRoutines> nth;  // absolute call number
  std::array<std::optional<NTSTATUS>, kRoutines> always;
  std::vector<std::pair<std::string, NTSTATUS>> valueFaults;
  // Whether valueFaults may hold anything: ZwSetValueKey skips the lock
  // while no value fault is armed.
  std::atomic<bool> valueFaultsArmed{false};
};

PnpState& State() {
  static PnpState state;
  return state;
}

char16_t LowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c; }

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

Interface* FindInterface(PnpState& s, const std::u16string& name) {
  for (auto& itf : s.interfaces)
    if (EqualNoCase(itf.name, name)) return &itf;
  return nullptr;
}

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::string Describe(const std::u16string& name) { return host::kio::ToUtf8(name.data(), name.size()); }

void OnDeviceGone(PDEVICE_OBJECT device);

void HookDeviceDeletion() {
  static std::once_flag once;
  std::call_once(once, [] { host::OnDeviceDeleted(OnDeviceGone); });
}

// Removes the node and disables the device's interfaces; the caller holds the lock.
void RemoveNodeLocked(PnpState& s, PDEVICE_OBJECT pdo) {
  auto it = s.nodes.find(pdo);
  if (it == s.nodes.end()) return;
  for (auto& itf : s.interfaces) {
    if (itf.enabled && host::RegistryStore::NamesEqual(itf.instancePath, it->second.instancePath)) {
      s.findings.push_back("pnp.interface-enabled-at-removal: device interface " + Describe(itf.name) +
                           " still enabled when the device node of " + it->second.instancePath +
                           " was removed");
      itf.enabled = false;
    }
  }
  s.nodes.erase(it);
}

void OnDeviceGone(PDEVICE_OBJECT device) {
  {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    RemoveNodeLocked(s, device);
  }
  host::kio::ForgetPowerState(device);
}

// The instance path of a PDO, or nullopt after reporting an invalid PDO the
// way the Plug and Play manager does (bug check 0xCA, invalid PDO).
std::optional<std::string> PdoPath(PDEVICE_OBJECT device, const char* routine) {
  auto& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.nodes.find(device);
    if (it != s.nodes.end()) return it->second.instancePath;
  }
  host::VerifierFail("pnp.not-a-pdo",
                     std::string("PNP_DETECTED_FATAL_ERROR: ") + routine +
                         " called with a device object that is not a PDO with a device node");
  return std::nullopt;
}

// Copies a registry value of the instance key the way IoGetDeviceProperty
// returns registry-based properties.
NTSTATUS RegistryProperty(const std::string& keyPath, const char* valueName, ULONG expectedType,
                          ULONG bufferLength, PVOID buffer, PULONG resultLength) {
  NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
  host::RegistryStore::Instance().ReadValue(keyPath, valueName, [&](const host::RegValueView& value) {
    ULONG length = static_cast<ULONG>(value.size);
    *resultLength = length;
    if (bufferLength < length) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else if (value.type != expectedType) {
      status = kStatusInvalidParameter2;
    } else {
      if (length) std::memcpy(buffer, value.data, length);
      status = STATUS_SUCCESS;
    }
  });
  return status;
}

NTSTATUS FixedProperty(const void* data, ULONG length, ULONG bufferLength, PVOID buffer,
                       PULONG resultLength) {
  *resultLength = length;
  if (bufferLength < length) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(buffer, data, length);
  return STATUS_SUCCESS;
}

}  // namespace

namespace host {

namespace kio {

NTSTATUS TakeFault(IoRoutine routine) {
  auto& s = State();
  const auto index = static_cast<size_t>(routine);
  int call = ++s.calls[index];
  if (s.armed.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.always[index]) return *s.always[index];
    auto& armed = s.nth[index];
    for (auto it = armed.begin(); it != armed.end(); ++it) {
      if (it->first == call) {
        NTSTATUS status = it->second;
        armed.erase(it);
        return status;
      }
    }
  }
  // Each of these routines fails with STATUS_INSUFFICIENT_RESOURCES when the
  // kernel runs out of pool (MmMapIoSpace returns NULL when no system PTEs
  // are left).
  static constexpr FaultKind kKinds[PnpState::kRoutines] = {
      FaultKind::DeviceProperty, FaultKind::RegisterInterface, FaultKind::InterfaceState,
      FaultKind::OpenDeviceKey,  FaultKind::MapIoSpace,        FaultKind::SetValueKey,
      FaultKind::QueryValueKey};
  static_assert(static_cast<size_t>(IoRoutine::GetDeviceProperty) == 0 &&
                static_cast<size_t>(IoRoutine::QueryValueKey) == 6);
  if (FaultDue(kKinds[index])) return STATUS_INSUFFICIENT_RESOURCES;
  return STATUS_SUCCESS;
}

NTSTATUS SetValueFault(std::string_view valueName) {
  auto& s = State();
  if (!s.valueFaultsArmed.load(std::memory_order_acquire)) return STATUS_SUCCESS;
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const auto& fault : s.valueFaults)
    if (RegistryStore::NamesEqual(fault.first, valueName)) return fault.second;
  return STATUS_SUCCESS;
}

bool CheckIrql(const char* routine, KIRQL maximum) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql <= maximum) return true;
  VerifierFail("irql.ddi-call", std::string("IRQL_NOT_LESS_OR_EQUAL: ") + routine +
                                    " called at IRQL " + std::to_string(irql) + ", above " +
                                    std::to_string(maximum));
  return false;
}

std::string ToUtf8(const char16_t* text, size_t units) {
  std::string out;
  AppendUtf8(out, text, units);
  return out;
}

void AppendUtf8(std::string& out, const char16_t* text, size_t units) {
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

std::u16string ToUtf16(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c;
    size_t extra;
    if (b < 0x80) {
      c = b, extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, extra = 2;
    } else {
      c = b & 0x07, extra = 3;
    }
    ++i;
    for (size_t k = 0; k < extra && i < text.size(); ++k, ++i)
      c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace kio

void ResetIo() {
  HookDeviceDeletion();
  {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.nodes.clear();
    s.interfaces.clear();
    s.stateLog.clear();
    s.findings.clear();
    for (auto& calls : s.calls) calls.store(0);
    for (auto& armed : s.nth) armed.clear();
    s.always.fill(std::nullopt);
    s.armed.store(false, std::memory_order_release);
    s.valueFaults.clear();
    s.valueFaultsArmed.store(false, std::memory_order_release);
  }
  kio::ResetKeyHandles();
  kio::ResetHal();
  kio::ResetPower();
}

std::vector<std::string> IoEndChecks() {
  std::vector<std::string> out;
  {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    out = s.findings;
  }
  for (auto& f : kio::KeyHandleEndChecks()) out.push_back(std::move(f));
  for (auto& f : kio::HalEndChecks()) out.push_back(std::move(f));
  return out;
}

void SetDeviceInstancePath(PDEVICE_OBJECT pdo, const std::string& instancePath) {
  HookDeviceDeletion();
  RegistryStore::Instance().CreateKey(kEnumRoot + instancePath);
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.nodes[pdo].instancePath = instancePath;
}

std::string DeviceInstancePath(PDEVICE_OBJECT pdo) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(pdo);
  return it == s.nodes.end() ? std::string() : it->second.instancePath;
}

bool HasDeviceNode(PDEVICE_OBJECT pdo) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.nodes.count(pdo) != 0;
}

void RemoveDeviceNode(PDEVICE_OBJECT pdo) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  RemoveNodeLocked(s, pdo);
}

void SetDeviceAddress(PDEVICE_OBJECT pdo, ULONG address) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(pdo);
  if (it != s.nodes.end()) it->second.address = address;
}

void SetDeviceBusNumber(PDEVICE_OBJECT pdo, ULONG busNumber) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(pdo);
  if (it != s.nodes.end()) it->second.busNumber = busNumber;
}

void FailIoCallNth(IoRoutine routine, int n, NTSTATUS status) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto index = static_cast<size_t>(routine);
  s.nth[index].emplace_back(s.calls[index].load() + n, status);
  s.armed.store(true, std::memory_order_release);
}

void FailIoCallAlways(IoRoutine routine, NTSTATUS status) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.always[static_cast<size_t>(routine)] = status;
  s.armed.store(true, std::memory_order_release);
}

void FailSetValue(const std::string& valueName, NTSTATUS status) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.valueFaults.emplace_back(valueName, status);
  s.valueFaultsArmed.store(true, std::memory_order_release);
}

void ClearIoFaults() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto& armed : s.nth) armed.clear();
  s.always.fill(std::nullopt);
  s.valueFaults.clear();
  s.armed.store(false, std::memory_order_release);
  s.valueFaultsArmed.store(false, std::memory_order_release);
}

int IoCallCount(IoRoutine routine) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.calls[static_cast<size_t>(routine)].load();
}

std::vector<std::u16string> RegisteredInterfaces(PDEVICE_OBJECT pdo) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<std::u16string> out;
  auto node = s.nodes.find(pdo);
  if (node == s.nodes.end()) return out;
  for (const auto& itf : s.interfaces)
    if (RegistryStore::NamesEqual(itf.instancePath, node->second.instancePath))
      out.push_back(itf.name);
  return out;
}

bool IsInterfaceRegistered(const std::u16string& symbolicLinkName) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return FindInterface(s, symbolicLinkName) != nullptr;
}

bool IsInterfaceEnabled(const std::u16string& symbolicLinkName) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto* itf = FindInterface(s, symbolicLinkName);
  return itf && itf->enabled;
}

int InterfaceEnableCalls(const std::u16string& symbolicLinkName) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto* itf = FindInterface(s, symbolicLinkName);
  return itf ? itf->enableCalls : 0;
}

int InterfaceDisableCalls(const std::u16string& symbolicLinkName) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto* itf = FindInterface(s, symbolicLinkName);
  return itf ? itf->disableCalls : 0;
}

std::vector<InterfaceStateCall> InterfaceStateLog() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.stateLog;
}

}  // namespace host

using host::IoRoutine;
namespace kio = host::kio;

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                   DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                   PVOID PropertyBuffer, PULONG ResultLength) {
  kio::CheckIrql("IoGetDeviceProperty", PASSIVE_LEVEL);
  if (!ResultLength) {
    host::VerifierFail("ddi.invalid-parameter",
                       "IoGetDeviceProperty called without a ResultLength");
    return STATUS_INVALID_PARAMETER;
  }
  *ResultLength = 0;
  if (BufferLength && !PropertyBuffer) {
    host::VerifierFail("ddi.invalid-parameter",
                       "IoGetDeviceProperty called with a BufferLength but no PropertyBuffer");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS fault = kio::TakeFault(IoRoutine::GetDeviceProperty);
  if (fault != STATUS_SUCCESS) return fault;
  auto path = PdoPath(DeviceObject, "IoGetDeviceProperty");
  if (!path) return STATUS_INVALID_DEVICE_REQUEST;
  const std::string key = kEnumRoot + *path;

  switch (DeviceProperty) {
    case DevicePropertyDeviceDescription:
      return RegistryProperty(key, "DeviceDesc", REG_SZ, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyHardwareID:
      return RegistryProperty(key, "HardwareID", REG_MULTI_SZ, BufferLength, PropertyBuffer,
                              ResultLength);
    case DevicePropertyCompatibleIDs:
      return RegistryProperty(key, "CompatibleIDs", REG_MULTI_SZ, BufferLength, PropertyBuffer,
                              ResultLength);
    case DevicePropertyBootConfiguration:
      return RegistryProperty(key + "\\LogConf", "BootConfig", 8 /* REG_RESOURCE_LIST */,
                              BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyClassName:
      return RegistryProperty(key, "Class", REG_SZ, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyClassGuid:
      return RegistryProperty(key, "ClassGUID", REG_SZ, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyDriverKeyName:
      return RegistryProperty(key, "Driver", REG_SZ, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyManufacturer:
      return RegistryProperty(key, "Mfg", REG_SZ, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyFriendlyName:
      return RegistryProperty(key, "FriendlyName", REG_SZ, BufferLength, PropertyBuffer,
                              ResultLength);
    case DevicePropertyLocationInformation:
      return RegistryProperty(key, "LocationInformation", REG_SZ, BufferLength, PropertyBuffer,
                              ResultLength);
    case DevicePropertyUINumber:
      return RegistryProperty(key, "UINumber", REG_DWORD, BufferLength, PropertyBuffer,
                              ResultLength);
    case DevicePropertyEnumeratorName: {
      std::u16string name = kio::ToUtf16(path->substr(0, path->find('\\')));
      name.push_back(u'\0');
      return FixedProperty(name.data(), static_cast<ULONG>(name.size() * sizeof(char16_t)),
                           BufferLength, PropertyBuffer, ResultLength);
    }
    case DevicePropertyAddress:
    case DevicePropertyBusNumber: {
      std::optional<ULONG> value;
      {
        auto& s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.nodes.find(DeviceObject);
        if (it != s.nodes.end())
          value = DeviceProperty == DevicePropertyAddress ? it->second.address
                                                          : it->second.busNumber;
      }
      if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
      ULONG v = *value;
      return FixedProperty(&v, sizeof v, BufferLength, PropertyBuffer, ResultLength);
    }
    case DevicePropertyBootConfigurationTranslated:
      return STATUS_NOT_SUPPORTED;
    case DevicePropertyPhysicalDeviceObjectName:
    case DevicePropertyBusTypeGuid:
    case DevicePropertyLegacyBusType:
    case DevicePropertyInstallState:
    case DevicePropertyRemovalPolicy:
      // Not kept by this stand-in.
      return STATUS_NOT_IMPLEMENTED;
  }
  return kStatusInvalidParameter2;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
  kio::CheckIrql("IoRegisterDeviceInterface", PASSIVE_LEVEL);
  if (!InterfaceClassGuid || !SymbolicLinkName) {
    host::VerifierFail("ddi.invalid-parameter",
                       "IoRegisterDeviceInterface called without a class GUID or a name to fill");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS fault = kio::TakeFault(IoRoutine::RegisterDeviceInterface);
  if (fault != STATUS_SUCCESS) return fault;
  auto path = PdoPath(PhysicalDeviceObject, "IoRegisterDeviceInterface");
  if (!path) return STATUS_INVALID_DEVICE_REQUEST;

  std::string text = "\\??\\" + *path;
  std::replace(text.begin() + 4, text.end(), '\\', '#');
  text += "#" + GuidText(*InterfaceClassGuid);
  std::u16string name = kio::ToUtf16(text);
  if (ReferenceString && ReferenceString->Length) {
    if (!ReferenceString->Buffer) {
      host::VerifierFail("ddi.invalid-parameter",
                         "IoRegisterDeviceInterface: reference string with a length but no buffer");
      return STATUS_INVALID_PARAMETER;
    }
    name += u'\\';
    name.append(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
  }
  size_t bytes = name.size() * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;

  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR),
                                                          host::kRtlStringTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, name.data(), bytes);
  buffer[name.size()] = u'\0';

  {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (Interface* existing = FindInterface(s, name)) {
      name = existing->name;  // the first registration's spelling
      std::memcpy(buffer, name.data(), bytes);
    } else {
      Interface itf;
      itf.name = name;
      itf.instancePath = *path;
      s.interfaces.push_back(itf);
    }
  }
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes);
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  kio::CheckIrql("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
  std::u16string name;
  if (SymbolicLinkName && SymbolicLinkName->Buffer)
    name.assign(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR));
  NTSTATUS status = kio::TakeFault(IoRoutine::SetDeviceInterfaceState);
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  Interface* itf = FindInterface(s, name);
  if (itf) (Enable ? itf->enableCalls : itf->disableCalls)++;
  if (status == STATUS_SUCCESS) {
    if (name.empty()) {
      status = STATUS_INVALID_PARAMETER;
    } else if (!itf) {
      status = STATUS_OBJECT_NAME_NOT_FOUND;
    } else if (Enable) {
      status = itf->enabled ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
      itf->enabled = true;
    } else {
      status = itf->enabled ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
      itf->enabled = false;
    }
  }
  s.stateLog.push_back({name, Enable != FALSE, status});
  return status;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  kio::CheckIrql("IoOpenDeviceRegistryKey", PASSIVE_LEVEL);
  if (!DevInstRegKey) {
    host::VerifierFail("ddi.invalid-parameter",
                       "IoOpenDeviceRegistryKey called without a handle to fill");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS fault = kio::TakeFault(IoRoutine::OpenDeviceRegistryKey);
  if (fault != STATUS_SUCCESS) return fault;
  const ULONG kind = DevInstKeyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER);
  if ((DevInstKeyType & ~(PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER |
                          PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) ||
      (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER))
    return STATUS_INVALID_PARAMETER;
  auto path = PdoPath(DeviceObject, "IoOpenDeviceRegistryKey");
  if (!path) return STATUS_INVALID_DEVICE_REQUEST;

  auto& store = host::RegistryStore::Instance();
  const std::string root = (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE)
                               ? std::string(kHwProfileRoot)
                               : std::string("SYSTEM\\CurrentControlSet\\");
  std::string keyPath;
  if (kind == PLUGPLAY_REGKEY_DEVICE) {
    keyPath = root + "Enum\\" + *path + "\\Device Parameters";
    store.CreateKey(keyPath);
  } else {
    auto driver = store.GetString(kEnumRoot + *path, "Driver");
    if (!driver) return STATUS_OBJECT_NAME_NOT_FOUND;
    keyPath = root + "Control\\Class\\" + *driver;
    if (!store.KeyExists(keyPath)) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *DevInstRegKey = kio::CreateKeyHandle(keyPath, DesiredAccess, "IoOpenDeviceRegistryKey");
  return STATUS_SUCCESS;
}
