// Registry files in the platform's export format, "Windows Registry Editor
// Version 5.00": UTF-16LE with a byte-order mark and CRLF line ends, one
// [HKEY_LOCAL_MACHINE\...] section per key, values as "name"="text" (REG_SZ,
// with \\ and \" escaped), dword:xxxxxxxx (REG_DWORD), hex:... (REG_BINARY)
// and hex(t):... for every other type, hex lines wrapped with a trailing
// backslash as the platform's registry editor wraps them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {
class RegistryStore;
}

namespace sim {

struct RegFileValue {
  std::string name;  // "" for the key's default value (@)
  bool remove = false;  // "name"=-
  uint32_t type = 0;
  std::vector<uint8_t> data;  // as stored (strings UTF-16LE with their NUL)
};

struct RegFileKey {
  std::string path;  // below HKEY_LOCAL_MACHINE ("" for the root itself)
  bool remove = false;  // [-HKEY_LOCAL_MACHINE\...]
  std::vector<RegFileValue> values;
};

struct RegFile {
  std::vector<RegFileKey> keys;
};

struct RegFileError {
  int line = 0;  // 1-based
  std::string what;
};

// Reads a file's bytes (UTF-16LE with a byte-order mark, or 8-bit text).
// Either a file or the first error.
struct RegFileParse {
  std::optional<RegFile> file;
  RegFileError error;
};
RegFileParse ParseRegFile(const std::vector<uint8_t>& bytes);

// Applies the file to the store, in order.
void ApplyRegFile(const RegFile& file, host::RegistryStore& store);

// The whole store as the platform's registry editor exports HKEY_LOCAL_MACHINE:
// keys depth first, subkeys in name order, values in the order they were created.
std::vector<uint8_t> ExportRegFile(const host::RegistryStore& store);

}  // namespace sim
