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
#include <vector>

namespace host {

struct RegValue {
  std::string name;           // as first written
  uint32_t type = 0;          // REG_SZ 1, REG_BINARY 3, REG_DWORD 4, REG_MULTI_SZ 7, ...
  std::vector<uint8_t> data;  // raw bytes, exactly as written

  // Convenience for tests: the first four bytes as a little-endian DWORD.
  uint32_t Dword() const;
};

// One write to the store, in the order it happened.
struct RegWrite {
  std::string path;
  RegValue value;
};

class RegistryStore {
 public:
  static RegistryStore& Instance();

  // Empties the store, the write log and every fault.
  void Reset();

  bool KeyExists(const std::string& path) const;
  // Creates the key and every missing key above it. Returns true if it was new.
  bool CreateKey(const std::string& path);
  // Deletes the key with its subkeys and values. False if it did not exist.
  bool DeleteKey(const std::string& path);
  std::vector<std::string> SubKeys(const std::string& path) const;

  // Writes (creates or replaces) a value. Fails (returns false) when the key
  // does not exist or an injected fault says so; nothing is changed then.
  bool SetValue(const std::string& path, const std::string& name, uint32_t type,
                const void* data, size_t size);
  std::optional<RegValue> GetValue(const std::string& path,
                                   const std::string& name) const;
  bool DeleteValue(const std::string& path, const std::string& name);
  // Value names in creation order.
  std::vector<std::string> ValueNames(const std::string& path) const;

  // Every successful SetValue since the last Reset/ClearWriteLog, in order.
  std::vector<RegWrite> WriteLog() const;
  void ClearWriteLog();

  // Fault injection: while set, a SetValue for which the predicate returns
  // true fails and changes nothing. Pass nullptr to clear.
  using WriteFault = std::function<bool(const std::string& path, const std::string& name)>;
  void SetWriteFault(WriteFault fault);

  // Convenience setters used by tests and stand-ins.
  bool SetDword(const std::string& path, const std::string& name, uint32_t value);
  // REG_SZ data is kept as the platform keeps it: UTF-16LE with its NUL.
  bool SetString(const std::string& path, const std::string& name, const std::string& value);
  // A REG_SZ value's text (UTF-16LE narrowed to ASCII, up to the first NUL);
  // nullopt if the value is missing.
  std::optional<std::string> GetString(const std::string& path, const std::string& name) const;

  // Case-insensitive comparison of key paths / names, as the store uses it.
  static bool NamesEqual(const std::string& a, const std::string& b);

  // A key itself rather than its path, as an open handle refers to it: it
  // keeps referring to the same key when another one is later created under
  // the same path, and reads as deleted once the key (or a key above it) is
  // deleted or the store is reset.
  struct Key;
  using KeyRef = std::shared_ptr<Key>;
  // The key at `path`, or null when there is none.
  KeyRef OpenKey(const std::string& path) const;
  bool KeyDeleted(const KeyRef& key) const;
  // SetValue and GetValue on an open key; `path` is the key's path as opened,
  // for the write log and the fault predicate. Both fail on a deleted key.
  bool SetValue(const KeyRef& key, const std::string& path, const std::string& name,
                uint32_t type, const void* data, size_t size);
  std::optional<RegValue> GetValue(const KeyRef& key, const std::string& name) const;

  // Operations on the store since the process started (each public call that
  // reads or changes it counts one), for measurements.
  uint64_t OperationCount() const;

 private:
  RegistryStore();
  Key* Find(const std::string& path) const;
  void ForgetCachedKey();
  bool SetValueLocked(Key* k, const std::string& path, const std::string& name, uint32_t type,
                      const void* data, size_t size);
  KeyRef root_;
  mutable std::recursive_mutex mutex_;
  std::vector<RegWrite> log_;
  WriteFault fault_;
  mutable uint64_t operations_ = 0;
  mutable std::string cachedPath_;
  mutable Key* cachedKey_ = nullptr;
};

}  // namespace host
