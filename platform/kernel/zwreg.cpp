// Kernel registry handles: ZwSetValueKey, ZwQueryValueKey and ZwClose on
// keys of the shared registry store, with handle accounting.
#include <wdm.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/io.h"
#include "host/verifier.h"
#include "kernel/kio_internal.h"
#include "registry/registry.h"

namespace {

constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);
// Kernel handles carry the kernel-handle bit; the stand-in never reuses a value,
// so a stale handle is always recognised.
constexpr uintptr_t kKernelHandleBase = static_cast<uintptr_t>(0xFFFFFFFF80000000ull);

// A handle refers to the key object it was opened on, as the object manager's
// handles do: a key deleted under it stays deleted for the handle
// (STATUS_KEY_DELETED) even if a new key is created under the same path. The
// configuration manager checks the handle's key control block, not a path
// (ReactOS ntoskrnl/config/cmapi.c: CmSetValueKey and CmQueryValueKey fail
// with STATUS_KEY_DELETED once Kcb->Delete is set).
struct KeyHandle {
  std::string path;
  ACCESS_MASK access;
  std::string openedBy;
  host::RegistryStore::KeyRef key;  // null if the key did not exist at the open
};

struct OpenKey {
  std::string path;
  host::RegistryStore::KeyRef key;
};

struct ZwState {
  std::mutex mutex;
  std::map<uintptr_t, KeyHandle> open;
  std::set<uintptr_t> closed;
  uintptr_t next = 1;
  std::vector<host::ZwSetValueCall> setLog;
};

ZwState& State() {
  static ZwState state;
  return state;
}

std::string HandleText(HANDLE h) {
  char text[32];
  std::snprintf(text, sizeof text, "%#llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
  return text;
}

// The key behind a handle, or nullopt after reporting the bad handle. A
// handle made for a path with no key behind it looks the path up each time.
std::optional<OpenKey> Lookup(HANDLE h, const char* routine) {
  auto& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  auto key = reinterpret_cast<uintptr_t>(h);
  auto it = s.open.find(key);
  if (it != s.open.end()) {
    OpenKey open{it->second.path, it->second.key};
    lock.unlock();
    if (!open.key) open.key = host::RegistryStore::Instance().OpenKey(open.path);
    return open;
  }
  bool wasClosed = s.closed.count(key) != 0;
  lock.unlock();
  host::VerifierFail(std::string("INVALID_KERNEL_HANDLE: ") + routine + " on " +
                     (wasClosed ? "closed" : "unknown") + " handle " + HandleText(h));
  return std::nullopt;
}

}  // namespace

namespace host {
namespace kio {

HANDLE CreateKeyHandle(const std::string& path, ACCESS_MASK access, const char* openedBy) {
  auto node = RegistryStore::Instance().OpenKey(path);
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  uintptr_t value = kKernelHandleBase | (s.next++ << 2);
  s.open[value] = {path, access, openedBy, std::move(node)};
  return reinterpret_cast<HANDLE>(value);
}

void ResetKeyHandles() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.open.clear();
  s.closed.clear();
  s.setLog.clear();
}

std::vector<std::string> KeyHandleEndChecks() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<std::string> out;
  for (const auto& [value, key] : s.open)
    out.push_back("kernel key handle " + HandleText(reinterpret_cast<HANDLE>(value)) + " on " +
                  key.path + " (from " + key.openedBy + ") was never closed");
  return out;
}

}  // namespace kio

HANDLE OpenKernelKey(const std::string& path, ACCESS_MASK access) {
  if (!RegistryStore::Instance().KeyExists(path)) return nullptr;
  return kio::CreateKeyHandle(path, access, "OpenKernelKey");
}

std::optional<std::string> KernelKeyPath(HANDLE handle) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.open.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.open.end()) return std::nullopt;
  return it->second.path;
}

std::optional<ACCESS_MASK> KernelKeyAccess(HANDLE handle) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.open.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.open.end()) return std::nullopt;
  return it->second.access;
}

size_t OpenKernelKeyCount() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.open.size();
}

std::vector<ZwSetValueCall> ZwSetValueLog() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.setLog;
}

void ClearZwSetValueLog() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.setLog.clear();
}

}  // namespace host

namespace kio = host::kio;

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  (void)TitleIndex;  // ignored by the platform
  kio::CheckIrql("ZwSetValueKey", PASSIVE_LEVEL);
  host::ZwSetValueCall call{};
  call.type = Type;
  if (ValueName && ValueName->Buffer)
    call.name = kio::ToUtf8(ValueName->Buffer, ValueName->Length / sizeof(WCHAR));
  if (Data && DataSize)
    call.data.assign(static_cast<const uint8_t*>(Data), static_cast<const uint8_t*>(Data) + DataSize);

  auto finish = [&call](NTSTATUS status) {
    call.status = status;
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.setLog.push_back(std::move(call));
    return status;
  };

  auto open = Lookup(KeyHandle, "ZwSetValueKey");
  if (!open) return finish(STATUS_INVALID_HANDLE);
  call.path = open->path;
  if (!ValueName || (ValueName->Length && !ValueName->Buffer)) {
    host::VerifierFail("ZwSetValueKey called without a valid value name");
    return finish(STATUS_INVALID_PARAMETER);
  }
  if (ValueName->Length % sizeof(WCHAR)) return finish(STATUS_INVALID_PARAMETER);
  if (DataSize && !Data) {
    host::VerifierFail("ZwSetValueKey called with a DataSize but no Data");
    return finish(STATUS_ACCESS_VIOLATION);
  }
  NTSTATUS fault = kio::TakeFault(host::IoRoutine::SetValueKey);
  if (fault == STATUS_SUCCESS) fault = kio::SetValueFault(call.name);
  if (fault != STATUS_SUCCESS) return finish(fault);

  auto& store = host::RegistryStore::Instance();
  if (store.KeyDeleted(open->key)) return finish(kStatusKeyDeleted);
  if (!store.SetValue(open->key, open->path, call.name, Type, Data, DataSize))
    return finish(STATUS_INSUFFICIENT_RESOURCES);
  return finish(STATUS_SUCCESS);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  kio::CheckIrql("ZwQueryValueKey", PASSIVE_LEVEL);
  auto open = Lookup(KeyHandle, "ZwQueryValueKey");
  if (!open) return STATUS_INVALID_HANDLE;
  if (!ResultLength || !ValueName || (ValueName->Length && !ValueName->Buffer) ||
      (Length && !KeyValueInformation)) {
    host::VerifierFail("ZwQueryValueKey called with a missing name, buffer or ResultLength");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS fault = kio::TakeFault(host::IoRoutine::QueryValueKey);
  if (fault != STATUS_SUCCESS) return fault;

  auto& store = host::RegistryStore::Instance();
  if (store.KeyDeleted(open->key)) return kStatusKeyDeleted;
  std::string name = kio::ToUtf8(ValueName->Buffer, ValueName->Length / sizeof(WCHAR));
  auto value = store.GetValue(open->key, name);
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;

  auto* out = static_cast<uint8_t*>(KeyValueInformation);
  auto putUlong = [out](size_t offset, ULONG v) { std::memcpy(out + offset, &v, sizeof v); };
  switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
      // TitleIndex, Type, NameLength, Name[] (the name as stored, no NUL).
      const ULONG header = 12;
      std::u16string stored = kio::ToUtf16(value->name);
      ULONG nameBytes = static_cast<ULONG>(stored.size() * sizeof(char16_t));
      *ResultLength = header + nameBytes;
      if (Length < header) return STATUS_BUFFER_TOO_SMALL;
      putUlong(0, 0);
      putUlong(4, value->type);
      putUlong(8, nameBytes);
      ULONG copy = std::min(nameBytes, Length - header);
      std::memcpy(out + header, stored.data(), copy);
      return copy < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
      const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      ULONG dataBytes = static_cast<ULONG>(value->data.size());
      *ResultLength = header + dataBytes;
      if (Length < header) return STATUS_BUFFER_TOO_SMALL;
      putUlong(0, 0);
      putUlong(4, value->type);
      putUlong(8, dataBytes);
      ULONG copy = std::min(dataBytes, Length - header);
      if (copy) std::memcpy(out + header, value->data.data(), copy);
      return copy < dataBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValueFullInformation:
      return STATUS_NOT_IMPLEMENTED;  // not kept by this stand-in
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  kio::CheckIrql("ZwClose", PASSIVE_LEVEL);
  auto& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  auto key = reinterpret_cast<uintptr_t>(Handle);
  auto it = s.open.find(key);
  if (it == s.open.end()) {
    bool wasClosed = s.closed.count(key) != 0;
    lock.unlock();
    host::VerifierFail(std::string("INVALID_KERNEL_HANDLE: ZwClose on ") +
                       (wasClosed ? "already closed" : "unknown") + " handle " +
                       HandleText(Handle));
    return STATUS_INVALID_HANDLE;
  }
  s.open.erase(it);
  s.closed.insert(key);
  return STATUS_SUCCESS;
}
