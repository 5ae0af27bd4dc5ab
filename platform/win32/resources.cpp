// Modules with resources (KERNEL32 FindResource and friends), the code page
// conversions of the ANSI calls and the dialog template parser.
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "win32_internal.h"

namespace host {
namespace win32 {

namespace {

std::mutex g_moduleMutex;
std::map<HINSTANCE, std::unique_ptr<Module>> g_modules;

// Code page 1252: bytes 0x80-0x9F map to these code points; the five
// undefined bytes map to the C1 control of the same value, as the platform's
// conversion does. Every other byte maps to the code point of its value.
const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char AnsiFromUnit(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == unit) return static_cast<char>(0x80 + i);
  return '?';
}

// Reads little-endian fields of a template or resource file within bounds.
class Reader {
 public:
  Reader(const BYTE* data, size_t size) : data_(data), size_(size) {}
  bool ok() const { return ok_; }
  size_t pos() const { return pos_; }
  void Seek(size_t pos) {
    if (pos > size_) ok_ = false;
    else pos_ = pos;
  }
  void AlignDword() { Seek((pos_ + 3) & ~size_t(3)); }
  WORD Word() {
    if (!Need(2)) return 0;
    WORD v = static_cast<WORD>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  DWORD Dword() {
    DWORD lo = Word();
    DWORD hi = Word();
    return lo | (hi << 16);
  }
  BYTE Byte() {
    if (!Need(1)) return 0;
    return data_[pos_++];
  }
  std::string String() {
    std::u16string text;
    for (;;) {
      WORD unit = Word();
      if (!ok_ || unit == 0) break;
      text.push_back(static_cast<char16_t>(unit));
    }
    return Utf16ToAnsi(text.data(), text.size());
  }
  NameOrOrdinal NameOrOrd() {
    NameOrOrdinal result;
    if (!Need(2)) return result;
    WORD first = static_cast<WORD>(data_[pos_] | (data_[pos_ + 1] << 8));
    if (first == 0xFFFF) {
      pos_ += 2;
      result.isOrdinal = true;
      result.ordinal = Word();
    } else {
      result.name = String();
    }
    return result;
  }
  std::vector<BYTE> Bytes(size_t count) {
    if (!Need(count)) return {};
    std::vector<BYTE> out(data_ + pos_, data_ + pos_ + count);
    pos_ += count;
    return out;
  }

 private:
  bool Need(size_t n) {
    if (!ok_ || size_ - pos_ < n) {
      ok_ = false;
      return false;
    }
    return true;
  }
  const BYTE* data_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

bool SameName(const NameOrOrdinal& a, const NameOrOrdinal& b) {
  if (a.isOrdinal != b.isOrdinal) return false;
  if (a.isOrdinal) return a.ordinal == b.ordinal;
  return EqualNoCase(a.name, b.name);
}

std::unique_ptr<Module> ParseResFile(const BYTE* bytes, size_t size) {
  auto module = std::make_unique<Module>();
  Reader r(bytes, size);
  bool first = true;
  while (r.ok() && r.pos() < size) {
    size_t start = r.pos();
    DWORD dataSize = r.Dword();
    DWORD headerSize = r.Dword();
    ResourceEntry entry;
    entry.type = r.NameOrOrd();
    entry.name = r.NameOrOrd();
    r.AlignDword();
    r.Dword();  // DataVersion
    r.Word();   // MemoryFlags
    entry.language = r.Word();
    r.Dword();  // Version
    r.Dword();  // Characteristics
    if (!r.ok() || headerSize < r.pos() - start) return nullptr;
    if (first) {
      // A resource file begins with an empty entry of type 0 and name 0.
      if (dataSize != 0 || !entry.type.isOrdinal || entry.type.ordinal != 0) return nullptr;
      first = false;
    }
    r.Seek(start + headerSize);
    entry.data = r.Bytes(dataSize);
    if (!r.ok()) return nullptr;
    if (!(entry.type.isOrdinal && entry.type.ordinal == 0)) module->resources.push_back(entry);
    size_t next = (r.pos() + 3) & ~size_t(3);
    if (next >= size) break;
    r.Seek(next);
  }
  if (!r.ok() || first) return nullptr;
  return module;
}

// How well a resource's language matches what the loader looks for; lower
// is better, -1 is no match at all.
int LanguageRank(WORD language) {
  if (language == 0x0409) return 0;
  if (language == 0x0000) return 1;
  if (PRIMARYLANGID(language) == LANG_NEUTRAL) return 2;
  if (PRIMARYLANGID(language) == LANG_ENGLISH) return 3;
  return 4;
}

}  // namespace

std::string Utf16ToAnsi(const char16_t* text, size_t units) {
  std::string out;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) out.push_back(AnsiFromUnit(text[i]));
  return out;
}

std::u16string AnsiToUtf16(const char* text, size_t count) {
  std::u16string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out.push_back(c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : static_cast<char16_t>(c));
  }
  return out;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return CompareNoCase(a, b) == 0 && a.size() == b.size();
}

int CompareNoCase(const std::string& a, const std::string& b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    int ca = std::tolower(static_cast<unsigned char>(a[i]));
    int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

NameOrOrdinal NameFromPointer(LPCSTR name) {
  NameOrOrdinal result;
  if (IS_INTRESOURCE(name)) {
    result.isOrdinal = true;
    result.ordinal = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
  } else if (name[0] == '#') {
    // "#123" names the ordinal 123.
    result.isOrdinal = true;
    unsigned value = 0;
    for (const char* p = name + 1; *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
    result.ordinal = static_cast<WORD>(value);
  } else {
    result.name = name;
  }
  return result;
}

Module* FindModule(HINSTANCE instance) {
  std::lock_guard<std::mutex> lock(g_moduleMutex);
  auto it = g_modules.find(instance);
  return it == g_modules.end() ? nullptr : it->second.get();
}

const ResourceEntry* FindResourceEntry(HINSTANCE instance, LPCSTR name, LPCSTR type) {
  Module* module = FindModule(instance);
  if (module == nullptr) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  if (name == nullptr || type == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  NameOrOrdinal wantedName = NameFromPointer(name);
  NameOrOrdinal wantedType = NameFromPointer(type);
  bool typeSeen = false;
  const ResourceEntry* best = nullptr;
  int bestRank = 100;
  for (const auto& entry : module->resources) {
    if (!SameName(entry.type, wantedType)) continue;
    typeSeen = true;
    if (!SameName(entry.name, wantedName)) continue;
    int rank = LanguageRank(entry.language);
    if (rank < bestRank) {
      best = &entry;
      bestRank = rank;
    }
  }
  if (best == nullptr)
    SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return best;
}

void ResetModuleState() {
  // Modules stay loaded across tests; only what a test did to them goes.
  std::lock_guard<std::mutex> lock(g_moduleMutex);
  for (auto& entry : g_modules) entry.second->threadCallsDisabled = false;
}

}  // namespace win32

// ---------------------------------------------------------------------------
// Host API.

HINSTANCE CreateResourceModule(const void* resBytes, size_t size) {
  if (resBytes == nullptr) return nullptr;
  auto module = win32::ParseResFile(static_cast<const BYTE*>(resBytes), size);
  if (!module) return nullptr;
  HINSTANCE handle = reinterpret_cast<HINSTANCE>(module.get());
  std::lock_guard<std::mutex> lock(win32::g_moduleMutex);
  win32::g_modules[handle] = std::move(module);
  return handle;
}

HINSTANCE CreateResourceModuleFromFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return nullptr;
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return CreateResourceModule(bytes.data(), bytes.size());
}

bool DestroyResourceModule(HINSTANCE module) {
  std::lock_guard<std::mutex> lock(win32::g_moduleMutex);
  return win32::g_modules.erase(module) != 0;
}

bool ThreadLibraryCallsDisabled(HINSTANCE module) {
  win32::Module* m = win32::FindModule(module);
  return m != nullptr && m->threadCallsDisabled;
}

std::optional<DialogTemplate> ParseDialogTemplate(const void* data, size_t size) {
  if (data == nullptr) return std::nullopt;
  win32::Reader r(static_cast<const BYTE*>(data), size);
  DialogTemplate t;
  WORD count;
  WORD first = r.Word();
  WORD second = r.Word();
  if (first == 1 && second == 0xFFFF) {
    t.extended = true;
    t.helpId = r.Dword();
    t.exStyle = r.Dword();
    t.style = r.Dword();
  } else {
    r.Seek(0);
    t.style = r.Dword();
    t.exStyle = r.Dword();
  }
  count = r.Word();
  t.x = static_cast<short>(r.Word());
  t.y = static_cast<short>(r.Word());
  t.cx = static_cast<short>(r.Word());
  t.cy = static_cast<short>(r.Word());
  t.menu = r.NameOrOrd();
  t.windowClass = r.NameOrOrd();
  t.caption = r.String();
  if (t.style & DS_SETFONT) {
    t.hasFont = true;
    t.pointSize = r.Word();
    if (t.extended) {
      t.weight = r.Word();
      t.italic = r.Byte();
      t.charset = r.Byte();
    }
    t.faceName = r.String();
  }
  for (WORD i = 0; i < count && r.ok(); ++i) {
    r.AlignDword();
    DialogItemTemplate item;
    if (t.extended) {
      item.helpId = r.Dword();
      item.exStyle = r.Dword();
      item.style = r.Dword();
    } else {
      item.style = r.Dword();
      item.exStyle = r.Dword();
    }
    item.x = static_cast<short>(r.Word());
    item.y = static_cast<short>(r.Word());
    item.cx = static_cast<short>(r.Word());
    item.cy = static_cast<short>(r.Word());
    item.id = t.extended ? r.Dword() : r.Word();
    item.windowClass = r.NameOrOrd();
    item.text = r.NameOrOrd();
    WORD extra = r.Word();
    item.creationData = r.Bytes(extra);
    t.items.push_back(item);
  }
  if (!r.ok()) return std::nullopt;
  t.size = r.pos();
  return t;
}

std::optional<DialogTemplate> FindDialogTemplate(HINSTANCE module, int id) {
  const win32::ResourceEntry* entry = win32::FindDialogResource(module, MAKEINTRESOURCEA(id));
  if (entry == nullptr) return std::nullopt;
  return ParseDialogTemplate(entry->data.data(), entry->data.size());
}

std::optional<WORD> DialogTemplateLanguage(HINSTANCE module, int id) {
  const win32::ResourceEntry* entry = win32::FindDialogResource(module, MAKEINTRESOURCEA(id));
  if (entry == nullptr) return std::nullopt;
  return entry->language;
}

}  // namespace host

namespace {

// Resource handles are the entries themselves; a handle must belong to a
// loaded module.
const host::win32::ResourceEntry* EntryOf(HRSRC handle) {
  std::lock_guard<std::mutex> lock(host::win32::g_moduleMutex);
  for (auto& module : host::win32::g_modules)
    for (auto& entry : module.second->resources)
      if (reinterpret_cast<HRSRC>(const_cast<host::win32::ResourceEntry*>(&entry)) == handle)
        return &entry;
  return nullptr;
}

}  // namespace

extern "C" {

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
  host::win32::Module* module = host::win32::FindModule(hLibModule);
  if (module == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  module->threadCallsDisabled = true;
  return TRUE;
}

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
  const host::win32::ResourceEntry* entry = host::win32::FindResourceEntry(hModule, lpName, lpType);
  return reinterpret_cast<HRSRC>(const_cast<host::win32::ResourceEntry*>(entry));
}

HRSRC WINAPI FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage) {
  if (wLanguage == MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)) return FindResourceA(hModule, lpName, lpType);
  host::win32::Module* module = host::win32::FindModule(hModule);
  if (module == nullptr) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return NULL;
  }
  host::NameOrOrdinal name = host::win32::NameFromPointer(lpName);
  host::NameOrOrdinal type = host::win32::NameFromPointer(lpType);
  bool typeSeen = false;
  bool nameSeen = false;
  for (auto& entry : module->resources) {
    if (!host::win32::SameName(entry.type, type)) continue;
    typeSeen = true;
    if (!host::win32::SameName(entry.name, name)) continue;
    nameSeen = true;
    if (entry.language == wLanguage) return reinterpret_cast<HRSRC>(&entry);
  }
  SetLastError(!typeSeen ? ERROR_RESOURCE_TYPE_NOT_FOUND
                         : !nameSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_LANG_NOT_FOUND);
  return NULL;
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
  (void)hModule;
  const host::win32::ResourceEntry* entry = EntryOf(hResInfo);
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return NULL;
  }
  return const_cast<BYTE*>(entry->data.data());
}

LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
  (void)hModule;
  const host::win32::ResourceEntry* entry = EntryOf(hResInfo);
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(entry->data.size());
}

BOOL WINAPI FreeResource(HGLOBAL hResData) {
  (void)hResData;
  return FALSE;  // obsolete: resources are freed with their module
}

}  // extern "C"
