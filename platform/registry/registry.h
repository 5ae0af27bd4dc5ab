// The host's one registry: a tree of keys under HKEY_LOCAL_MACHINE with typed
// values. The kernel stand-in (Zw*, IoOpenDeviceRegistryKey) and the Win32
// stand-in (Reg*, SetupDiOpenDevRegKey) both work on this store, so the
// property page reads exactly what the driver wrote.
//
// String data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is stored as UTF-16LE, as
// the platform stores it; the ANSI Win32 calls convert on the way in and out.
//
// Key paths are relative to HKEY_LOCAL_MACHINE, backslash separated, e.g.
// "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\020D0105\\Device Parameters".
// Key and value names compare without regard to case (ASCII), as the
// platform's do; the case given at creation is kept for listing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace host {

struct RegValue {
  std::string name;           // as first written
  uint32_t type = 0;          // REG_SZ 1, REG_BINARY 3, REG_DWORD 4, REG_MULTI_SZ 7, ...
  std::vector<uint8_t> data;  // raw bytes, exactly as written

  // Convenience for tests: the first four bytes as a little-endian DWORD.
  uint32_t Dword() const;
};

// A stored value as it lies in the store, for a reader that looks at it in
// place. Valid only during the ValueReader call.
struct RegValueView {
  std::string_view name;
  uint32_t type = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;

  RegValue Copy() const;
};

// One write to the store, in the order it happened.
struct RegWrite {
  std::string path;
  RegValue value;
};

// A callable that looks at a stored value in place, without a copy. It is
// called at most once, under the store's lock, and must not call the store.
class ValueReader {
 public:
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, ValueReader>>>
  ValueReader(F&& f)  // NOLINT(google-explicit-constructor): taken like a function
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, const RegValueView& v) { (*static_cast<std::remove_reference_t<F>*>(o))(v); }) {}
  void operator()(const RegValueView& v) const { call_(object_, v); }

 private:
  void* object_;
  void (*call_)(void*, const RegValueView&);
};

class RegistryStore {
 public:
  static RegistryStore& Instance();

  // Empties the store, the write log and every fault.
  void Reset();

  bool KeyExists(std::string_view path) const;
  // Creates the key and every missing key above it. Returns true if it was new.
  bool CreateKey(std::string_view path);
  // Deletes the key with its subkeys and values. False if it did not exist.
  bool DeleteKey(std::string_view path);
  std::vector<std::string> SubKeys(std::string_view path) const;

  // Writes (creates or replaces) a value. Fails (returns false) when the key
  // does not exist or an injected fault says so; nothing is changed then.
  bool SetValue(std::string_view path, std::string_view name, uint32_t type, const void* data,
                size_t size);
  std::optional<RegValue> GetValue(std::string_view path, std::string_view name) const;
  // GetValue without the copy: calls `reader` with the stored value and
  // returns true, or returns false when the key or the value is missing.
  bool ReadValue(std::string_view path, std::string_view name, ValueReader reader) const;
  bool DeleteValue(std::string_view path, std::string_view name);
  // Value names in creation order.
  std::vector<std::string> ValueNames(std::string_view path) const;

  // Every successful SetValue since the last Reset/ClearWriteLog, in order.
  std::vector<RegWrite> WriteLog() const;
  void ClearWriteLog();

  // Fault injection: while set, a SetValue for which the predicate returns
  // true fails and changes nothing. Pass nullptr to clear.
  using WriteFault = std::function<bool(const std::string& path, const std::string& name)>;
  void SetWriteFault(WriteFault fault);

  // Convenience setters used by tests and stand-ins.
  bool SetDword(std::string_view path, std::string_view name, uint32_t value);
  // REG_SZ data is kept as the platform keeps it: UTF-16LE with its NUL.
  bool SetString(std::string_view path, std::string_view name, std::string_view value);
  // A REG_SZ value's text (UTF-16LE narrowed to ASCII, up to the first NUL);
  // nullopt if the value is missing.
  std::optional<std::string> GetString(std::string_view path, std::string_view name) const;

  // Case-insensitive comparison of key paths / names, as the store uses it.
  static bool NamesEqual(std::string_view a, std::string_view b);

  // A key itself rather than its path, as an open handle refers to it: it
  // keeps referring to the same key when another one is later created under
  // the same path, and reads as deleted once the key (or a key above it) is
  // deleted or the store is reset.
  struct Key;
  using KeyRef = std::shared_ptr<Key>;
  // The key at `path`, or null when there is none.
  KeyRef OpenKey(std::string_view path) const;
  bool KeyDeleted(const KeyRef& key) const;
  // SetValue and GetValue on an open key; `path` is the key's path as opened,
  // for the write log and the fault predicate. Both fail on a deleted key.
  bool SetValue(const KeyRef& key, std::string_view path, std::string_view name, uint32_t type,
                const void* data, size_t size);
  std::optional<RegValue> GetValue(const KeyRef& key, std::string_view name) const;
  bool ReadValue(const KeyRef& key, std::string_view name, ValueReader reader) const;

  // Operations on the store since the process started (each public call that
  // reads or changes it counts one), for measurements.
  uint64_t OperationCount() const;

 private:
  // One write of the log, its strings and bytes kept in logBytes_.
  struct LogEntry {
    size_t path, pathSize, name, nameSize, data, dataSize;
    uint32_t type;
  };
  // A path as last looked up, with its key; kept across deletions and resets
  // and believed only while the key is still in the store.
  struct PathEntry {
    size_t hash = 0;
    std::string path;
    KeyRef key;
  };
  RegistryStore();
  const KeyRef* FindRef(std::string_view path) const;
  KeyRef NewKey();
  void Recycle(KeyRef& key);
  Key* Find(std::string_view path) const;
  bool Gone(const Key* k) const;
  bool SetValueLocked(Key* k, std::string_view path, std::string_view name, uint32_t type,
                      const void* data, size_t size);
  KeyRef root_;
  mutable std::recursive_mutex mutex_;
  std::vector<LogEntry> log_;
  std::string logBytes_;
  WriteFault fault_;
  uint64_t generation_ = 0;  // keys of earlier generations were emptied by Reset
  mutable uint64_t operations_ = 0;
  mutable std::vector<PathEntry> paths_;  // direct-mapped by the path's hash
  static constexpr size_t kMaxSpareKeys = 8192;
  std::vector<KeyRef> spare_;  // emptied keys ready for reuse
};

}  // namespace host
