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
#include <string_view>
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
constexpr size_t kSpareRecords = 64;

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
// Records are shared with the calls using a handle at the moment; a record
// is not changed while a handle refers to it.
using HandleRef = std::shared_ptr<KeyHandle>;

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
  std::vector<HandleRef> spare;  // records of closed handles, for reuse
  std::vector<SetEntry> setLog;
  host::ByteLog setBytes;
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

// A value name as the store keeps it (UTF-8). Names are short and ASCII
// nearly always: those are narrowed in place without the heap.
class NameOf {
 public:
  explicit NameOf(PUNICODE_STRING name) {
    const size_t units = name && name->Buffer ? name->Length / sizeof(WCHAR) : 0;
    if (units <= sizeof small_) {
      size_t i = 0;
      while (i < units && name->Buffer[i] < 0x80) {
        small_[i] = static_cast<char>(name->Buffer[i]);
        ++i;
      }
      if (i == units) {
        view_ = std::string_view(small_, units);
        return;
      }
    }
    large_ = host::kio::ToUtf8(name->Buffer, units);
    view_ = large_;
  }
  NameOf(const NameOf&) = delete;
  NameOf& operator=(const NameOf&) = delete;
  std::string_view View() const { return view_; }

 private:
  char small_[64];
  std::string large_;
  std::string_view view_;
};

}  // namespace

namespace host {
namespace kio {

HANDLE CreateKeyHandle(const std::string& path, ACCESS_MASK access, const char* openedBy) {
  auto key = RegistryStore::Instance().OpenKey(path);
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  HandleRef record;
  if (s.spare.empty()) {
    record = std::make_shared<KeyHandle>();
  } else {
    record = std::move(s.spare.back());
    s.spare.pop_back();
  }
  record->path = path;
  record->access = access;
  record->openedBy = openedBy;
  record->key = std::move(key);
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
  s.setBytes.Clear();
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
    call.path = s.setBytes.Text(e.path, e.pathSize);
    call.name = s.setBytes.Text(e.name, e.nameSize);
    call.type = e.type;
    const uint8_t* bytes = s.setBytes.At(e.data);
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
  s.setBytes.Clear();
}

}  // namespace host

namespace kio = host::kio;

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  (void)TitleIndex;  // ignored by the platform
  kio::CheckIrql("ZwSetValueKey", PASSIVE_LEVEL);
  const NameOf utf8(ValueName);
  const std::string_view name = utf8.View();
  HandleRef handle;

  // Every call is logged with the handle's path, the name and the bytes.
  auto finish = [&](NTSTATUS status) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    SetEntry e{};
    const std::string* path = handle ? &handle->path : nullptr;
    e.pathSize = path ? path->size() : 0;
    e.path = s.setBytes.Append(path ? path->data() : nullptr, e.pathSize);
    e.nameSize = name.size();
    e.name = s.setBytes.Append(name.data(), name.size());
    e.dataSize = Data ? DataSize : 0;
    e.data = s.setBytes.Append(Data, e.dataSize);
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
  switch (store.SetValueUnlessDeleted(KeyOf(*handle), handle->path, name, Type, Data, DataSize)) {
    case host::RegistryStore::Access::Deleted:
      return finish(kStatusKeyDeleted);
    case host::RegistryStore::Access::Failed:
      return finish(STATUS_INSUFFICIENT_RESOURCES);
    case host::RegistryStore::Access::Done:
      break;
  }
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
  const NameOf utf8(ValueName);
  const std::string_view name = utf8.View();

  auto* out = static_cast<uint8_t*>(KeyValueInformation);
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  // Both classes kept here (KEY_VALUE_BASIC_INFORMATION and
  // KEY_VALUE_PARTIAL_INFORMATION, as wdm.h declares them) lay out
  // TitleIndex, Type, then the length of what follows and its bytes (the
  // name as stored, no NUL; or the data).
  auto put = [&](ULONG type, const void* bytes, ULONG size) {
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    *ResultLength = header + size;
    if (Length < header) {
      status = STATUS_BUFFER_TOO_SMALL;
      return;
    }
    const ULONG fields[3] = {0, type, size};
    std::memcpy(out, fields, sizeof fields);
    ULONG copy = std::min(size, Length - header);
    if (copy) std::memcpy(out + header, bytes, copy);
    status = copy < size ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
  };
  // The stored value is copied out in place, under the store's lock.
  auto copyOut = [&](const host::RegValueView& value) {
    switch (KeyValueInformationClass) {
      case KeyValueBasicInformation: {
        std::u16string stored = kio::ToUtf16(std::string(value.name));
        put(value.type, stored.data(), static_cast<ULONG>(stored.size() * sizeof(char16_t)));
        return;
      }
      case KeyValuePartialInformation:
        put(value.type, value.data, static_cast<ULONG>(value.size));
        return;
      case KeyValueFullInformation:
        status = STATUS_NOT_IMPLEMENTED;  // not kept by this stand-in
        return;
    }
  };
  switch (store.ReadValueUnlessDeleted(KeyOf(*handle), name, copyOut)) {
    case host::RegistryStore::Access::Deleted:
      return kStatusKeyDeleted;
    case host::RegistryStore::Access::Failed:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case host::RegistryStore::Access::Done:
      break;
  }
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
  --s.openCount;
  // No call is using the handle's record: keep it for the next handle.
  if (closing.use_count() == 1 && s.spare.size() < kSpareRecords) {
    closing->key.reset();
    s.spare.push_back(std::move(closing));
  }
  return STATUS_SUCCESS;
}
