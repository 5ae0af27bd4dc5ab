// ADVAPI32: registry handles over the host registry store, with the ANSI
// conversions and size rules of the platform's *A calls.
#include <cctype>
#include <cstring>
#include <mutex>
#include <string_view>

#include "host/faults.h"
#include "registry.h"
#include "win32_internal.h"

namespace host {
namespace win32 {

namespace {

struct KeyRecord {
  std::string path;
  ACCESS_MASK granted;
};

std::mutex g_keyMutex;
std::map<HKEY, KeyRecord> g_keys;
uintptr_t g_nextKey = 0x1000;
std::map<std::string, ACCESS_MASK> g_keyAccess;  // upper-case path -> rights allowed

std::string Upper(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool IsPredefined(HKEY key) {
  return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE ||
         key == HKEY_USERS || key == HKEY_PERFORMANCE_DATA || key == HKEY_CURRENT_CONFIG;
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The key a handle stands for and the rights it was granted.
LONG Resolve(HKEY key, std::string* path, ACCESS_MASK* granted) {
  if (key == HKEY_LOCAL_MACHINE) {
    *path = "";
    *granted = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  if (IsPredefined(key)) return ERROR_INVALID_HANDLE;  // not kept by the host registry
  std::lock_guard<std::mutex> lock(g_keyMutex);
  auto it = g_keys.find(key);
  if (it == g_keys.end()) return ERROR_INVALID_HANDLE;
  *path = it->second.path;
  *granted = it->second.granted;
  return ERROR_SUCCESS;
}

// Appends a relative key name. A name that starts with a backslash or has an
// empty component is not a valid relative path.
LONG Join(const std::string& base, const char* sub, std::string* out) {
  std::string name = sub ? sub : "";
  while (!name.empty() && name.back() == '\\') name.pop_back();
  if (!name.empty() && name.front() == '\\') return ERROR_BAD_PATHNAME;
  if (name.find("\\\\") != std::string::npos) return ERROR_BAD_PATHNAME;
  if (name.empty()) *out = base;
  else if (base.empty()) *out = name;
  else *out = base + "\\" + name;
  return ERROR_SUCCESS;
}

bool g_administrator = true;

// The rights the keys of the device tree grant this process. The Plug and
// Play manager keeps SYSTEM\CurrentControlSet\Enum to itself: everyone may
// read it, only SYSTEM may change it. The exception are the devices'
// hardware keys ("Device Parameters" under an instance key, and their
// subkeys), which administrators may write too: class installers and
// property pages running for an administrator write device settings there
// (SetupDiOpenDevRegKey with DIREG_DEV and KEY_WRITE). Device Manager lets
// only administrators change settings; a standard user reads the whole tree.
ACCESS_MASK EnumTreeRights(std::string_view path) {
  constexpr std::string_view kEnum = "SYSTEM\\CURRENTCONTROLSET\\ENUM";
  if (path.size() < kEnum.size() || !RegistryStore::NamesEqual(path.substr(0, kEnum.size()), kEnum))
    return KEY_ALL_ACCESS;
  if (path.size() > kEnum.size() && path[kEnum.size()] != '\\') return KEY_ALL_ACCESS;
  // Enum\<enumerator>\<device>\<instance>\Device Parameters[\...]
  size_t parts = 0;
  std::string_view fourth;
  size_t at = kEnum.size();
  while (at < path.size()) {
    size_t next = path.find('\\', at + 1);
    std::string_view part = path.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
    if (parts == 3) fourth = part;
    ++parts;
    at = next == std::string_view::npos ? path.size() : next;
  }
  if (g_administrator && parts >= 4 && RegistryStore::NamesEqual(fourth, "DEVICE PARAMETERS"))
    return KEY_ALL_ACCESS;
  return KEY_READ;
}

ACCESS_MASK AllowedRights(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_keyMutex);
  if (g_keyAccess.empty()) return EnumTreeRights(path);
  std::string upper = Upper(path);
  auto it = g_keyAccess.find(upper);
  return it == g_keyAccess.end() ? EnumTreeRights(upper) : it->second;
}

// Access check of an open: the rights granted, or ERROR_ACCESS_DENIED.
LONG Grant(const std::string& path, REGSAM desired, ACCESS_MASK* granted) {
  desired &= ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
  desired &= ~MAXIMUM_ALLOWED;
  ACCESS_MASK wanted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (desired & GENERIC_READ) wanted |= KEY_READ;
  if (desired & GENERIC_WRITE) wanted |= KEY_WRITE;
  if (desired & GENERIC_EXECUTE) wanted |= KEY_EXECUTE;
  if (desired & GENERIC_ALL) wanted |= KEY_ALL_ACCESS;
  ACCESS_MASK allowed = AllowedRights(path);
  if (wanted & ~allowed) return ERROR_ACCESS_DENIED;
  if (maximum) {
    if (allowed == 0 && wanted == 0) return ERROR_ACCESS_DENIED;
    wanted |= allowed;
  }
  *granted = wanted;
  return ERROR_SUCCESS;
}

HKEY NewHandle(const std::string& path, ACCESS_MASK granted) {
  std::lock_guard<std::mutex> lock(g_keyMutex);
  HKEY handle = reinterpret_cast<HKEY>(g_nextKey);
  g_nextKey += 4;
  g_keys[handle] = KeyRecord{path, granted};
  return handle;
}

std::string DisplayPath(const std::string& path) {
  return path.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + path;
}

// A handle usable for an operation that needs `right` on a key that still
// exists.
LONG Usable(HKEY key, ACCESS_MASK right, std::string* path) {
  ACCESS_MASK granted = 0;
  LONG status = Resolve(key, path, &granted);
  if (status != ERROR_SUCCESS) return status;
  if ((granted & right) != right) return ERROR_ACCESS_DENIED;
  if (!RegistryStore::Instance().KeyExists(*path)) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

}  // namespace

bool ReadValueAnsi(const std::string& keyPath, const std::string& valueName, DWORD* type,
                   std::vector<BYTE>* data) {
  return RegistryStore::Instance().ReadValue(keyPath, valueName, [&](const RegValueView& value) {
    *type = value.type;
    if (IsStringType(value.type)) {
      // UTF-16 code units to ANSI, as stored: a missing terminator is not added.
      thread_local std::u16string units;
      units.clear();
      for (size_t i = 0; i + 1 < value.size; i += 2)
        units.push_back(static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8)));
      std::string ansi = Utf16ToAnsi(units.data(), units.size());
      data->assign(ansi.begin(), ansi.end());
    } else {
      data->assign(value.data, value.data + value.size);
    }
  });
}

LONG CopyValueOut(DWORD type, const std::vector<BYTE>& data, LPDWORD lpType, LPBYTE lpData,
                  LPDWORD lpcbData) {
  if (lpType != NULL) *lpType = type;
  if (lpcbData == NULL) return ERROR_SUCCESS;
  DWORD size = static_cast<DWORD>(data.size());
  if (lpData != NULL) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(lpData, data.data(), size);
  }
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LONG OpenKeyHandle(const std::string& path, REGSAM desired, HKEY* result) {
  if (!RegistryStore::Instance().KeyExists(path)) return ERROR_FILE_NOT_FOUND;
  ACCESS_MASK granted = 0;
  LONG status = Grant(path, desired, &granted);
  if (status != ERROR_SUCCESS) return status;
  *result = NewHandle(path, granted);
  return ERROR_SUCCESS;
}

void ResetRegistryApi() {
  std::lock_guard<std::mutex> lock(g_keyMutex);
  g_keys.clear();
  g_keyAccess.clear();
  g_administrator = true;
}

void RegistryApiEndChecks(std::vector<std::string>& out, Win32Counts& counts) {
  std::lock_guard<std::mutex> lock(g_keyMutex);
  for (auto& entry : g_keys) {
    counts.openKeys++;
    out.push_back("HKEY not closed: " + Hex(reinterpret_cast<uintptr_t>(entry.first)) + " " +
                  DisplayPath(entry.second.path));
  }
}

}  // namespace win32

void SetRegistryKeyAccess(const std::string& path, ACCESS_MASK allowed) {
  std::lock_guard<std::mutex> lock(win32::g_keyMutex);
  win32::g_keyAccess[win32::Upper(path)] = allowed;
}

void ClearRegistryKeyAccess() {
  std::lock_guard<std::mutex> lock(win32::g_keyMutex);
  win32::g_keyAccess.clear();
}

void SetProcessIsAdministrator(bool administrator) {
  std::lock_guard<std::mutex> lock(win32::g_keyMutex);
  win32::g_administrator = administrator;
}

std::vector<OpenKeyInfo> OpenKeys() {
  std::lock_guard<std::mutex> lock(win32::g_keyMutex);
  std::vector<OpenKeyInfo> out;
  for (auto& entry : win32::g_keys)
    out.push_back(OpenKeyInfo{entry.first, entry.second.path, entry.second.granted});
  return out;
}

}  // namespace host

using host::RegistryStore;
namespace w = host::win32;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
  // The registry runs out of paged pool: ERROR_NOT_ENOUGH_MEMORY (RegOpenKeyA
  // comes through here).
  if (host::FaultDue(host::FaultKind::UserRegOpenKey)) return ERROR_NOT_ENOUGH_MEMORY;
  (void)ulOptions;
  if (phkResult == NULL) return ERROR_INVALID_PARAMETER;
  *phkResult = NULL;
  std::string base;
  ACCESS_MASK baseGranted = 0;
  LONG status = w::Resolve(hKey, &base, &baseGranted);
  if (status != ERROR_SUCCESS) return status;
  std::string path;
  status = w::Join(base, lpSubKey, &path);
  if (status != ERROR_SUCCESS) return status;
  return w::OpenKeyHandle(path, samDesired, phkResult);
}

LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (phkResult == NULL) return ERROR_INVALID_PARAMETER;
  // No subkey: the same handle comes back, not a new one.
  if (lpSubKey == NULL || *lpSubKey == '\0') {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return RegOpenKeyExA(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  (void)Reserved;
  (void)lpClass;
  (void)dwOptions;
  (void)lpSecurityAttributes;
  if (phkResult == NULL || lpSubKey == NULL) return ERROR_INVALID_PARAMETER;
  *phkResult = NULL;
  std::string base;
  ACCESS_MASK baseGranted = 0;
  LONG status = w::Resolve(hKey, &base, &baseGranted);
  if (status != ERROR_SUCCESS) return status;
  std::string path;
  status = w::Join(base, lpSubKey, &path);
  if (status != ERROR_SUCCESS) return status;
  RegistryStore& store = RegistryStore::Instance();
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  if (!store.KeyExists(path)) {
    if (!store.KeyExists(base)) return ERROR_KEY_DELETED;
    if (!(baseGranted & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    store.CreateKey(path);
    disposition = REG_CREATED_NEW_KEY;
  }
  status = w::OpenKeyHandle(path, samDesired, phkResult);
  if (status == ERROR_SUCCESS && lpdwDisposition != NULL) *lpdwDisposition = disposition;
  return status;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != NULL) return ERROR_INVALID_PARAMETER;
  if (lpData != NULL && lpcbData == NULL) return ERROR_INVALID_PARAMETER;
  if (host::FaultDue(host::FaultKind::UserRegQueryValue, lpValueName ? lpValueName : ""))
    return ERROR_NOT_ENOUGH_MEMORY;
  std::string path;
  LONG status = w::Usable(hKey, KEY_QUERY_VALUE, &path);
  if (status != ERROR_SUCCESS) return status;
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!w::ReadValueAnsi(path, lpValueName ? lpValueName : "", &type, &data))
    return ERROR_FILE_NOT_FOUND;
  return w::CopyValueOut(type, data, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  (void)Reserved;
  if (lpData == NULL && cbData != 0) return ERROR_INVALID_PARAMETER;
  if (host::FaultDue(host::FaultKind::UserRegSetValue, lpValueName ? lpValueName : ""))
    return ERROR_NOT_ENOUGH_MEMORY;
  std::string path;
  LONG status = w::Usable(hKey, KEY_SET_VALUE, &path);
  if (status != ERROR_SUCCESS) return status;
  std::vector<BYTE> stored;
  if (w::IsStringType(dwType)) {
    // A caller that left the terminating NUL out of the count gets it
    // counted, as the platform does.
    if (cbData != 0 && lpData[cbData - 1] != 0 && lpData[cbData] == 0) cbData++;
    std::u16string units = w::AnsiToUtf16(reinterpret_cast<const char*>(lpData), cbData);
    for (char16_t unit : units) {
      stored.push_back(static_cast<BYTE>(unit & 0xFF));
      stored.push_back(static_cast<BYTE>(unit >> 8));
    }
  } else if (cbData != 0) {
    stored.assign(lpData, lpData + cbData);
  }
  if (!RegistryStore::Instance().SetValue(path, lpValueName ? lpValueName : "", dwType,
                                          stored.data(), stored.size()))
    return ERROR_REGISTRY_IO_FAILED;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::string path;
  LONG status = w::Usable(hKey, KEY_SET_VALUE, &path);
  if (status != ERROR_SUCCESS) return status;
  if (!RegistryStore::Instance().DeleteValue(path, lpValueName ? lpValueName : ""))
    return ERROR_FILE_NOT_FOUND;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == NULL || *lpSubKey == '\0') return ERROR_INVALID_PARAMETER;
  std::string base;
  ACCESS_MASK baseGranted = 0;
  LONG status = w::Resolve(hKey, &base, &baseGranted);
  if (status != ERROR_SUCCESS) return status;
  std::string path;
  status = w::Join(base, lpSubKey, &path);
  if (status != ERROR_SUCCESS) return status;
  RegistryStore& store = RegistryStore::Instance();
  if (!store.KeyExists(path)) return ERROR_FILE_NOT_FOUND;
  if (!(w::AllowedRights(path) & DELETE)) return ERROR_ACCESS_DENIED;
  // A key with subkeys cannot be deleted in one call.
  if (!store.SubKeys(path).empty()) return ERROR_ACCESS_DENIED;
  store.DeleteKey(path);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (w::IsPredefined(hKey)) return ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(w::g_keyMutex);
    if (w::g_keys.erase(hKey) != 0) return ERROR_SUCCESS;
  }
  w::Finding("RegCloseKey of a handle that is not open: " +
             w::Hex(reinterpret_cast<uintptr_t>(hKey)));
  return ERROR_INVALID_HANDLE;
}

}  // extern "C"
