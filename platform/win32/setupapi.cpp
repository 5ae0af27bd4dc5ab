// SETUPAPI: device information sets over the host registry. SetupAPI reads
// only the registry: a device is its instance key under
// SYSTEM\CurrentControlSet\Enum, which the Plug and Play manager writes.
#include <cctype>
#include <cstring>
#include <mutex>

#include "host/faults.h"
#include "registry.h"
#include "win32_internal.h"

namespace host {
namespace win32 {

namespace {

constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr char kClassKey[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\";

struct DeviceSet;

struct DeviceElement {
  DeviceSet* set;
  std::string instanceId;  // as the registry spells it
  GUID classGuid;
  DWORD devInst;
};

struct DeviceSet {
  GUID classGuid;
  bool hasClass;
  std::vector<std::unique_ptr<DeviceElement>> devices;
};

std::mutex g_setMutex;
std::map<HDEVINFO, std::unique_ptr<DeviceSet>> g_sets;
DWORD g_nextDevInst = 1;

bool GuidEqual(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
bool ParseGuid(const std::string& text, GUID* guid) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}') return false;
  static const int kGroups[5] = {8, 4, 4, 4, 12};
  std::vector<int> bytes;
  size_t pos = 1;
  for (int g = 0; g < 5; ++g) {
    if (g > 0) {
      if (text[pos] != '-') return false;
      ++pos;
    }
    for (int i = 0; i < kGroups[g]; i += 2) {
      int hi = HexDigit(text[pos]), lo = HexDigit(text[pos + 1]);
      if (hi < 0 || lo < 0) return false;
      bytes.push_back(hi * 16 + lo);
      pos += 2;
    }
  }
  guid->Data1 = ULONG(bytes[0]) << 24 | ULONG(bytes[1]) << 16 | ULONG(bytes[2]) << 8 | bytes[3];
  guid->Data2 = USHORT(bytes[4] << 8 | bytes[5]);
  guid->Data3 = USHORT(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = UCHAR(bytes[8 + i]);
  return true;
}

DeviceSet* FindSet(HDEVINFO set) {
  if (set == NULL || set == INVALID_HANDLE_VALUE) return nullptr;
  auto it = g_sets.find(set);
  return it == g_sets.end() ? nullptr : it->second.get();
}

// The device a SP_DEVINFO_DATA names, checked as SetupAPI checks it.
DeviceElement* FindDevice(HDEVINFO setHandle, PSP_DEVINFO_DATA data) {
  DeviceSet* set = FindSet(setHandle);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (data == NULL || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  for (auto& device : set->devices)
    if (reinterpret_cast<ULONG_PTR>(device.get()) == data->Reserved) return device.get();
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

void Fill(PSP_DEVINFO_DATA data, const DeviceElement& device) {
  if (data == NULL) return;
  data->ClassGuid = device.classGuid;
  data->DevInst = device.devInst;
  data->Reserved = reinterpret_cast<ULONG_PTR>(&device);
}

// Registry-backed device properties by SPDRP_ code.
const char* PropertyValueName(DWORD property) {
  switch (property) {
    case SPDRP_DEVICEDESC: return "DeviceDesc";
    case SPDRP_HARDWAREID: return "HardwareID";
    case SPDRP_COMPATIBLEIDS: return "CompatibleIDs";
    case SPDRP_SERVICE: return "Service";
    case SPDRP_CLASS: return "Class";
    case SPDRP_CLASSGUID: return "ClassGUID";
    case SPDRP_DRIVER: return "Driver";
    case SPDRP_CONFIGFLAGS: return "ConfigFlags";
    case SPDRP_MFG: return "Mfg";
    case SPDRP_FRIENDLYNAME: return "FriendlyName";
    case SPDRP_LOCATION_INFORMATION: return "LocationInformation";
    case SPDRP_CAPABILITIES: return "Capabilities";
    case SPDRP_UI_NUMBER: return "UINumber";
    case SPDRP_UPPERFILTERS: return "UpperFilters";
    case SPDRP_LOWERFILTERS: return "LowerFilters";
    default: return nullptr;
  }
}

}  // namespace

void ResetSetupApi() {
  std::lock_guard<std::mutex> lock(g_setMutex);
  g_sets.clear();
}

void SetupApiEndChecks(std::vector<std::string>& out, Win32Counts& counts) {
  std::lock_guard<std::mutex> lock(g_setMutex);
  for (auto& entry : g_sets) {
    counts.deviceInfoSets++;
    out.push_back("HDEVINFO not destroyed: " + Hex(reinterpret_cast<uintptr_t>(entry.first)) +
                  " with " + std::to_string(entry.second->devices.size()) + " device(s)");
  }
}

}  // namespace win32
}  // namespace host

namespace w = host::win32;

extern "C" {

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent) {
  (void)hwndParent;
  auto set = std::make_unique<w::DeviceSet>();
  set->hasClass = ClassGuid != NULL;
  set->classGuid = ClassGuid ? *ClassGuid : GUID{};
  HDEVINFO handle = set.get();
  std::lock_guard<std::mutex> lock(w::g_setMutex);
  w::g_sets[handle] = std::move(set);
  return handle;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  std::lock_guard<std::mutex> lock(w::g_setMutex);
  if (w::FindSet(DeviceInfoSet) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  w::g_sets.erase(DeviceInfoSet);
  return TRUE;
}

BOOL WINAPI SetupDiOpenDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceInstanceId,
                                   HWND hwndParent, DWORD OpenFlags,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
  (void)hwndParent;
  std::lock_guard<std::mutex> lock(w::g_setMutex);
  w::DeviceSet* set = w::FindSet(DeviceInfoSet);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (DeviceInstanceId == NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (OpenFlags & ~(DIOD_CANCEL_REMOVE | DIOD_INHERIT_CLASSDRVS)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return FALSE;
  }
  if (DeviceInfoData != NULL && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  std::string id = DeviceInstanceId;
  for (auto& device : set->devices) {
    if (w::EqualNoCase(device->instanceId, id)) {
      w::Fill(DeviceInfoData, *device);
      return TRUE;
    }
  }
  std::string keyPath = std::string(w::kEnumKey) + id;
  host::RegistryStore& store = host::RegistryStore::Instance();
  if (id.empty() || !store.KeyExists(keyPath)) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  GUID classGuid{};
  DWORD type = 0;
  std::vector<BYTE> data;
  if (w::ReadValueAnsi(keyPath, "ClassGUID", &type, &data) && type == REG_SZ) {
    std::string text(data.begin(), data.end());
    text = text.c_str();  // up to the terminator
    w::ParseGuid(text, &classGuid);
  }
  if (set->hasClass && !w::GuidEqual(set->classGuid, classGuid)) {
    SetLastError(ERROR_CLASS_MISMATCH);
    return FALSE;
  }
  auto device = std::make_unique<w::DeviceElement>();
  device->set = set;
  // The instance ID as the registry spells it (instance IDs are upper case).
  device->instanceId = id;
  for (char& c : device->instanceId) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  device->classGuid = classGuid;
  device->devInst = w::g_nextDevInst++;
  w::Fill(DeviceInfoData, *device);
  set->devices.push_back(std::move(device));
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                        PDWORD RequiredSize) {
  std::lock_guard<std::mutex> lock(w::g_setMutex);
  w::DeviceElement* device = w::FindDevice(DeviceInfoSet, DeviceInfoData);
  if (device == nullptr) return FALSE;
  DWORD needed = static_cast<DWORD>(device->instanceId.size() + 1);
  if (RequiredSize != NULL) *RequiredSize = needed;
  if (DeviceInstanceId == NULL || DeviceInstanceIdSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(DeviceInstanceId, device->instanceId.c_str(), needed);
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  std::lock_guard<std::mutex> lock(w::g_setMutex);
  w::DeviceElement* device = w::FindDevice(DeviceInfoSet, DeviceInfoData);
  if (device == nullptr) return FALSE;
  if (PropertyBuffer == NULL && PropertyBufferSize != 0) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  const char* valueName = w::PropertyValueName(Property);
  // No memory to read the property: FALSE with ERROR_NOT_ENOUGH_MEMORY.
  if (host::FaultDue(host::FaultKind::UserSetupDiProperty)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (valueName == nullptr) {
    SetLastError(ERROR_INVALID_REG_PROPERTY);
    return FALSE;
  }
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!w::ReadValueAnsi(std::string(w::kEnumKey) + device->instanceId, valueName, &type, &data)) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  DWORD size = static_cast<DWORD>(data.size());
  if (PropertyRegDataType != NULL) *PropertyRegDataType = type;
  if (RequiredSize != NULL) *RequiredSize = size;
  if (PropertyBufferSize < size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (size) std::memcpy(PropertyBuffer, data.data(), size);
  return TRUE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 DWORD Scope, DWORD HwProfile, DWORD KeyType,
                                 REGSAM samDesired) {
  (void)HwProfile;
  std::unique_lock<std::mutex> lock(w::g_setMutex);
  w::DeviceElement* device = w::FindDevice(DeviceInfoSet, DeviceInfoData);
  if (device == nullptr) return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  if (Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) {
    SetLastError(ERROR_INVALID_FLAGS);
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  }
  if (KeyType != DIREG_DEV && KeyType != DIREG_DRV) {
    SetLastError(ERROR_INVALID_FLAGS);
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  }
  std::string instanceKey = std::string(w::kEnumKey) + device->instanceId;
  lock.unlock();
  // The key cannot be opened (out of memory, or denied): INVALID_HANDLE_VALUE.
  if (host::FaultDue(host::FaultKind::UserSetupDiOpenKey)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  }
  std::string path;
  if (KeyType == DIREG_DEV) {
    path = instanceKey + "\\Device Parameters";
  } else {
    // The driver key: Control\Class\<the instance key's "Driver" value>.
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!w::ReadValueAnsi(instanceKey, "Driver", &type, &data) || type != REG_SZ) {
      SetLastError(ERROR_KEY_DOES_NOT_EXIST);
      return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    std::string driver(data.begin(), data.end());
    path = std::string(w::kClassKey) + driver.c_str();
  }
  HKEY key = NULL;
  LONG status = w::OpenKeyHandle(path, samDesired, &key);
  if (status != ERROR_SUCCESS) {
    SetLastError(status == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DOES_NOT_EXIST : status);
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  }
  return key;
}

}  // extern "C"
