// Kernel registry handles: ZwSetValueKey, ZwQueryValueKey and ZwClose on
// keys of the shared registry store, with handle accounting.
#include <wdm.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
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
// with STATUS_KEY_DELETED once Kcb->Delete is set). A record does not change
// once made.
struct KeyHandle {
  std::string path;
  ACCESS_MASK access;
  const char* openedBy;             // the routine's name
  host::RegistryStore::KeyRef key;  // null if the key did not exist at the open
};
using HandleRef = std::shared_ptr<const KeyHandle>;

// One ZwSetValueKey call of the log; its strings and bytes are in setBytes.
struct SetEntry {
  size_t path, pathSize, name, nameSize, data, dataSize;
  ULONG type;
  NTSTATUS status;
};

struct ZwState {
  std::mutex mutex;
  // Handle values carry a sequence number that only grows. handles[i] is the
  // handle numbered first + i made since the last reset, null once closed;
  // a number below first is from before the reset and no longer known.
  uintptr_t first = 1;
  uintptr_t next = 1;
  std::vector<HandleRef> handles;
  size_t openCount = 0;
  std::vector<SetEntry> setLog;
  std::string setBytes;
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

enum class Known { Open, Closed, Unknown };

// Where a handle value stands; `slot` is its entry when it was made since
// the last reset. Called with the state's lock held.
Known Classify(ZwState& s, HANDLE h, HandleRef** slot) {
  auto value = reinterpret_cast<uintptr_t>(h);
  if ((value & kKernelHandleBase) != kKernelHandleBase || (value & 3) != 0) return Known::Unknown;
  uintptr_t sequence = (value & ~kKernelHandleBase) >> 2;
  if (sequence < s.first || sequence >= s.next) return Known::Unknown;
  *slot = &s.handles[sequence - s.first];
  return **slot ? Known::Open : Known::Closed;
}

// The record behind a handle, or null after reporting the bad handle.
HandleRef Lookup(HANDLE h, const char* routine) {
  auto& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  HandleRef* slot = nullptr;
  Known known = Classify(s, h, &slot);
  if (known == Known::Open) return *slot;
  lock.unlock();
  host::VerifierFail(std::string("INVALID_KERNEL_HANDLE: ") + routine + " on " +
                     (known == Known::Closed ? "closed" : "unknown") + " handle " + HandleText(h));
  return nullptr;
}

// The key of a handle; a handle made for a path with no key behind it looks
// the path up each time.
host::RegistryStore::KeyRef KeyOf(const KeyHandle& handle) {
  if (handle.key) return handle.key;
  return host::RegistryStore::Instance().OpenKey(handle.path);
}

// A value name as the store keeps it (UTF-8), in a buffer the thread reuses.
const std::string& NameOf(PUNICODE_STRING name) {
  thread_local std::string text;
  text.clear();
  if (name && name->Buffer) host::kio::AppendUtf8(text, name->Buffer, name->Length / sizeof(WCHAR));
  return text;
}

}  // namespace

namespace host {
namespace kio {

HANDLE CreateKeyHandle(const std::string& path, ACCESS_MASK access, const char* openedBy) {
  auto record = std::make_shared<KeyHandle>();
  record->path = path;
  record->access = access;
  record->openedBy = openedBy;
  record->key = RegistryStore::Instance().OpenKey(path);
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  uintptr_t value = kKernelHandleBase | (s.next++ << 2);
  s.handles.push_back(std::move(record));
  ++s.openCount;
  return reinterpret_cast<HANDLE>(value);
}

void ResetKeyHandles() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.handles.clear();
  s.first = s.next;
  s.openCount = 0;
  s.setLog.clear();
  s.setBytes.clear();
}

std::vector<std::string> KeyHandleEndChecks() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<std::string> out;
  for (size_t i = 0; i < s.handles.size(); ++i) {
    const HandleRef& key = s.handles[i];
    if (!key) continue;
    uintptr_t value = kKernelHandleBase | ((s.first + i) << 2);
    out.push_back("kernel key handle " + HandleText(reinterpret_cast<HANDLE>(value)) + " on " +
                  key->path + " (from " + key->openedBy + ") was never closed");
  }
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
  HandleRef* slot = nullptr;
  if (Classify(s, handle, &slot) != Known::Open) return std::nullopt;
  return (*slot)->path;
}

std::optional<ACCESS_MASK> KernelKeyAccess(HANDLE handle) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  HandleRef* slot = nullptr;
  if (Classify(s, handle, &slot) != Known::Open) return std::nullopt;
  return (*slot)->access;
}

size_t OpenKernelKeyCount() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.openCount;
}

std::vector<ZwSetValueCall> ZwSetValueLog() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<ZwSetValueCall> out;
  out.reserve(s.setLog.size());
  for (const SetEntry& e : s.setLog) {
    ZwSetValueCall call{};
    call.path.assign(s.setBytes, e.path, e.pathSize);
    call.name.assign(s.setBytes, e.name, e.nameSize);
    call.type = e.type;
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.setBytes.data()) + e.data;
    call.data.assign(bytes, bytes + e.dataSize);
    call.status = e.status;
    out.push_back(std::move(call));
  }
  return out;
}

void ClearZwSetValueLog() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.setLog.clear();
  s.setBytes.clear();
}

}  // namespace host

namespace kio = host::kio;

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  (void)TitleIndex;  // ignored by the platform
  kio::CheckIrql("ZwSetValueKey", PASSIVE_LEVEL);
  const std::string& name = NameOf(ValueName);
  HandleRef handle;

  // Every call is logged with the handle's path, the name and the bytes.
  auto finish = [&](NTSTATUS status) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    SetEntry e{};
    const std::string* path = handle ? &handle->path : nullptr;
    e.path = s.setBytes.size();
    e.pathSize = path ? path->size() : 0;
    if (path) s.setBytes += *path;
    e.name = s.setBytes.size();
    e.nameSize = name.size();
    s.setBytes += name;
    e.data = s.setBytes.size();
    e.dataSize = Data ? DataSize : 0;
    if (e.dataSize) s.setBytes.append(static_cast<const char*>(Data), DataSize);
    e.type = Type;
    e.status = status;
    s.setLog.push_back(e);
    return status;
  };

  handle = Lookup(KeyHandle, "ZwSetValueKey");
  if (!handle) return finish(STATUS_INVALID_HANDLE);
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
  if (fault == STATUS_SUCCESS) fault = kio::SetValueFault(name);
  if (fault != STATUS_SUCCESS) return finish(fault);

  auto& store = host::RegistryStore::Instance();
  auto key = KeyOf(*handle);
  if (store.KeyDeleted(key)) return finish(kStatusKeyDeleted);
  if (!store.SetValue(key, handle->path, name, Type, Data, DataSize))
    return finish(STATUS_INSUFFICIENT_RESOURCES);
  return finish(STATUS_SUCCESS);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  kio::CheckIrql("ZwQueryValueKey", PASSIVE_LEVEL);
  HandleRef handle = Lookup(KeyHandle, "ZwQueryValueKey");
  if (!handle) return STATUS_INVALID_HANDLE;
  if (!ResultLength || !ValueName || (ValueName->Length && !ValueName->Buffer) ||
      (Length && !KeyValueInformation)) {
    host::VerifierFail("ZwQueryValueKey called with a missing name, buffer or ResultLength");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS fault = kio::TakeFault(host::IoRoutine::QueryValueKey);
  if (fault != STATUS_SUCCESS) return fault;

  auto& store = host::RegistryStore::Instance();
  auto key = KeyOf(*handle);
  if (store.KeyDeleted(key)) return kStatusKeyDeleted;
  const std::string& name = NameOf(ValueName);

  auto* out = static_cast<uint8_t*>(KeyValueInformation);
  auto putUlong = [out](size_t offset, ULONG v) { std::memcpy(out + offset, &v, sizeof v); };
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  // The stored value is copied out in place, under the store's lock.
  auto copyOut = [&](const host::RegValueView& value) {
    switch (KeyValueInformationClass) {
      case KeyValueBasicInformation: {
        // TitleIndex, Type, NameLength, Name[] (the name as stored, no NUL).
        const ULONG header = 12;
        std::u16string stored = kio::ToUtf16(std::string(value.name));
        ULONG nameBytes = static_cast<ULONG>(stored.size() * sizeof(char16_t));
        *ResultLength = header + nameBytes;
        if (Length < header) {
          status = STATUS_BUFFER_TOO_SMALL;
          return;
        }
        putUlong(0, 0);
        putUlong(4, value.type);
        putUlong(8, nameBytes);
        ULONG copy = std::min(nameBytes, Length - header);
        std::memcpy(out + header, stored.data(), copy);
        status = copy < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
        return;
      }
      case KeyValuePartialInformation: {
        const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        ULONG dataBytes = static_cast<ULONG>(value.size);
        *ResultLength = header + dataBytes;
        if (Length < header) {
          status = STATUS_BUFFER_TOO_SMALL;
          return;
        }
        putUlong(0, 0);
        putUlong(4, value.type);
        putUlong(8, dataBytes);
        ULONG copy = std::min(dataBytes, Length - header);
        if (copy) std::memcpy(out + header, value.data, copy);
        status = copy < dataBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
        return;
      }
      case KeyValueFullInformation:
        status = STATUS_NOT_IMPLEMENTED;  // not kept by this stand-in
        return;
    }
  };
  if (!store.ReadValue(key, name, copyOut)) return STATUS_OBJECT_NAME_NOT_FOUND;
  return status;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  kio::CheckIrql("ZwClose", PASSIVE_LEVEL);
  auto& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  HandleRef* slot = nullptr;
  Known known = Classify(s, Handle, &slot);
  if (known != Known::Open) {
    lock.unlock();
    host::VerifierFail(std::string("INVALID_KERNEL_HANDLE: ZwClose on ") +
                       (known == Known::Closed ? "already closed" : "unknown") + " handle " +
                       HandleText(Handle));
    return STATUS_INVALID_HANDLE;
  }
  HandleRef closing = std::move(*slot);
  slot->reset();
  --s.openCount;
  lock.unlock();  // the record (and perhaps its key) goes outside the lock
  return STATUS_SUCCESS;
}
