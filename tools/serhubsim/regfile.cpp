// Reading and writing registry files as the platform's registry editor does.
#include "regfile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "registry.h"

namespace sim {
namespace {

constexpr uint32_t kRegSz = 1, kRegBinary = 3, kRegDword = 4;
constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kRoot = "HKEY_LOCAL_MACHINE";
// The registry editor wraps a hex line once it reaches this column.
constexpr size_t kHexWrapColumn = 77;

// Names in the store are narrow strings: ASCII, anything else kept as UTF-8
// (characters of the Basic Multilingual Plane).
std::u16string Widen(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0xE0 && i + 2 < text.size()) {
      out.push_back(static_cast<char16_t>((c & 0x0F) << 12 | (text[i + 1] & 0x3F) << 6 | (text[i + 2] & 0x3F)));
      i += 2;
    } else if (c >= 0xC0 && i + 1 < text.size()) {
      out.push_back(static_cast<char16_t>((c & 0x1F) << 6 | (text[i + 1] & 0x3F)));
      i += 1;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool EqualsNoCase(const std::u16string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] < 0x80 ? static_cast<char16_t>(std::toupper(a[i])) : a[i];
    if (x != static_cast<char16_t>(std::toupper(static_cast<unsigned char>(b[i])))) return false;
  }
  return true;
}

// --- Writing ----------------------------------------------------------------

void Escape(std::u16string& out, const std::u16string& text) {
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out.push_back(u'\\');
    if (c == u'\n') {
      out += u"\\n";
      continue;
    }
    out.push_back(c);
  }
}

std::u16string Utf16Data(const std::vector<uint8_t>& data) {
  std::u16string text;
  for (size_t i = 0; i + 1 < data.size(); i += 2)
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  return text;
}

// A REG_SZ that reads back exactly as written: whole UTF-16 units, one NUL at the end only.
bool PlainString(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2) return false;
  std::u16string text = Utf16Data(data);
  return text.back() == 0 && text.find(u'\0') == text.size() - 1;
}

void WriteValue(std::u16string& out, const host::RegValue& value) {
  std::u16string line;
  if (value.name.empty()) {
    line = u"@=";
  } else {
    line = u"\"";
    Escape(line, Widen(value.name));
    line += u"\"=";
  }
  if (value.type == kRegSz && PlainString(value.data)) {
    std::u16string text = Utf16Data(value.data);
    text.pop_back();
    line += u"\"";
    Escape(line, text);
    line += u"\"\r\n";
    out += line;
    return;
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    char text[24];
    std::snprintf(text, sizeof text, "dword:%08x\r\n", value.Dword());
    out += line + Widen(text);
    return;
  }
  char prefix[24];
  if (value.type == kRegBinary)
    std::snprintf(prefix, sizeof prefix, "hex:");
  else
    std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
  line += Widen(prefix);
  size_t column = line.size();
  for (size_t i = 0; i < value.data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", value.data[i]);
    line += Widen(byte);
    if (i + 1 == value.data.size()) break;
    line.push_back(u',');
    column += 3;
    if (column >= kHexWrapColumn) {
      line += u"\\\r\n  ";
      column = 2;
    }
  }
  out += line + u"\r\n";
}

bool LessNoCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) < std::toupper(static_cast<unsigned char>(y));
  });
}

void WriteKey(std::u16string& out, const host::RegistryStore& store, const std::string& path) {
  out += u"\r\n[" + Widen(kRoot) + (path.empty() ? u"" : u"\\" + Widen(path)) + u"]\r\n";
  for (const auto& name : store.ValueNames(path))
    if (auto value = store.GetValue(path, name)) WriteValue(out, *value);
  auto subkeys = store.SubKeys(path);
  std::stable_sort(subkeys.begin(), subkeys.end(), LessNoCase);
  for (const auto& subkey : subkeys) WriteKey(out, store, path.empty() ? subkey : path + "\\" + subkey);
}

// --- Reading ----------------------------------------------------------------

struct Line {
  std::u16string text;
  int number;
};

std::vector<Line> SplitLines(const std::u16string& text) {
  std::vector<Line> lines;
  std::u16string current;
  int number = 1;
  for (char16_t c : text) {
    if (c == u'\n') {
      if (!current.empty() && current.back() == u'\r') current.pop_back();
      lines.push_back({current, number++});
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) {
    if (current.back() == u'\r') current.pop_back();
    lines.push_back({current, number});
  }
  return lines;
}

void TrimRight(std::u16string& s) {
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.pop_back();
}
size_t SkipBlanks(const std::u16string& s, size_t i) {
  while (i < s.size() && (s[i] == u' ' || s[i] == u'\t')) ++i;
  return i;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// A quoted string starting at s[i] == '"'; i ends past the closing quote.
std::optional<std::u16string> Quoted(const std::u16string& s, size_t& i) {
  std::u16string out;
  for (++i; i < s.size(); ++i) {
    if (s[i] == u'"') {
      ++i;
      return out;
    }
    if (s[i] == u'\\') {
      if (++i == s.size()) return std::nullopt;
      if (s[i] == u'n') {
        out.push_back(u'\n');
      } else if (s[i] == u'\\' || s[i] == u'"') {
        out.push_back(s[i]);
      } else {
        return std::nullopt;
      }
      continue;
    }
    out.push_back(s[i]);
  }
  return std::nullopt;
}

class Parser {
 public:
  RegFileParse Run(const std::u16string& text) {
    RegFileParse result;
    auto lines = SplitLines(text);
    if (lines.empty() || !EqualsNoCase(Trimmed(lines[0].text), kHeader))
      return Fail(1, std::string("the first line is not \"") + kHeader + "\"");
    RegFile file;
    for (size_t n = 1; n < lines.size(); ++n) {
      std::u16string line = lines[n].text;
      int number = lines[n].number;
      size_t start = SkipBlanks(line, 0);
      if (start == line.size() || line[start] == u';') continue;
      if (line[start] == u'[') {
        auto key = KeyLine(line.substr(start), number);
        if (!key) return error_;
        file.keys.push_back(*key);
        continue;
      }
      if (file.keys.empty() || file.keys.back().remove)
        return Fail(number, "a value that belongs to no key");
      // Hex data goes on over the following lines while a line ends in a backslash.
      std::u16string entry = line;
      TrimRight(entry);
      while (!entry.empty() && entry.back() == u'\\' && HexEntry(entry)) {
        entry.pop_back();
        if (++n == lines.size()) return Fail(number, "the value goes on past the end of the file");
        std::u16string more = lines[n].text;
        TrimRight(more);
        entry += more.substr(SkipBlanks(more, 0));
      }
      auto value = ValueLine(entry.substr(start), number);
      if (!value) return error_;
      file.keys.back().values.push_back(*value);
    }
    result.file = std::move(file);
    return result;
  }

 private:
  static std::u16string Trimmed(std::u16string s) {
    TrimRight(s);
    return s.substr(SkipBlanks(s, 0));
  }
  // The entry's data is hex: only hex data goes on over several lines.
  static bool HexEntry(const std::u16string& entry) {
    size_t i = SkipBlanks(entry, 0);
    if (i < entry.size() && entry[i] == u'"') {
      if (!Quoted(entry, i)) return false;
    } else if (i < entry.size() && entry[i] == u'@') {
      ++i;
    } else {
      return false;
    }
    i = SkipBlanks(entry, i);
    if (i == entry.size() || entry[i] != u'=') return false;
    i = SkipBlanks(entry, i + 1);
    return entry.compare(i, 3, u"hex") == 0;
  }
  RegFileParse Fail(int line, std::string what) {
    error_.file.reset();
    error_.error = {line, std::move(what)};
    return error_;
  }

  std::optional<RegFileKey> KeyLine(std::u16string s, int number) {
    TrimRight(s);
    if (s.back() != u']') {
      Fail(number, "a key line that does not end in ']'");
      return std::nullopt;
    }
    RegFileKey key;
    s = s.substr(1, s.size() - 2);
    if (!s.empty() && s[0] == u'-') {
      key.remove = true;
      s.erase(0, 1);
    }
    size_t slash = s.find(u'\\');
    std::u16string root = s.substr(0, slash);
    if (!EqualsNoCase(root, kRoot) && !EqualsNoCase(root, "HKLM")) {
      Fail(number, "the key " + Narrow(s) + " is not under HKEY_LOCAL_MACHINE, the only root the machine has");
      return std::nullopt;
    }
    key.path = slash == std::u16string::npos ? "" : Narrow(s.substr(slash + 1));
    if (key.path.find("\\\\") != std::string::npos || (!key.path.empty() && key.path.back() == '\\')) {
      Fail(number, "the key " + Narrow(s) + " has an empty name in its path");
      return std::nullopt;
    }
    if (key.remove && key.path.empty()) {
      Fail(number, "HKEY_LOCAL_MACHINE itself cannot be deleted");
      return std::nullopt;
    }
    return key;
  }

  std::optional<RegFileValue> ValueLine(const std::u16string& s, int number) {
    RegFileValue value;
    size_t i = 0;
    if (s[0] == u'@') {
      i = 1;
    } else if (s[0] == u'"') {
      auto name = Quoted(s, i);
      if (!name) return Bad(number, "a value name without its closing quote or with a bad escape");
      value.name = Narrow(*name);
    } else {
      return Bad(number, "a line that is neither a key, a value nor a comment");
    }
    i = SkipBlanks(s, i);
    if (i == s.size() || s[i] != u'=') return Bad(number, "a value name not followed by '='");
    i = SkipBlanks(s, i + 1);
    std::u16string data = s.substr(i);
    TrimRight(data);
    if (data == u"-") {
      value.remove = true;
      return value;
    }
    if (!data.empty() && data[0] == u'"') {
      size_t j = 0;
      auto text = Quoted(data, j);
      if (!text || j != data.size()) return Bad(number, "a string without its closing quote, with a bad escape or with text after it");
      value.type = kRegSz;
      for (char16_t c : *text + u'\0') {
        value.data.push_back(static_cast<uint8_t>(c & 0xFF));
        value.data.push_back(static_cast<uint8_t>(c >> 8));
      }
      return value;
    }
    if (data.rfind(u"dword:", 0) == 0) {
      std::u16string digits = data.substr(6);
      if (digits.empty() || digits.size() > 8) return Bad(number, "dword: needs 1 to 8 hexadecimal digits");
      uint32_t v = 0;
      for (char16_t c : digits) {
        if (HexDigit(c) < 0) return Bad(number, "dword: needs 1 to 8 hexadecimal digits");
        v = v << 4 | static_cast<uint32_t>(HexDigit(c));
      }
      value.type = kRegDword;
      for (int b = 0; b < 4; ++b) value.data.push_back(static_cast<uint8_t>(v >> (8 * b)));
      return value;
    }
    if (data.rfind(u"hex", 0) == 0) {
      size_t j = 3;
      value.type = kRegBinary;
      if (j < data.size() && data[j] == u'(') {
        size_t close = data.find(u')', j);
        if (close == std::u16string::npos || close == j + 1 || close - j - 1 > 8)
          return Bad(number, "hex( needs a type of 1 to 8 hexadecimal digits and ')'");
        uint32_t type = 0;
        for (size_t k = j + 1; k < close; ++k) {
          if (HexDigit(data[k]) < 0) return Bad(number, "hex( needs a type of 1 to 8 hexadecimal digits and ')'");
          type = type << 4 | static_cast<uint32_t>(HexDigit(data[k]));
        }
        value.type = type;
        j = close + 1;
      }
      if (j == data.size() || data[j] != u':') return Bad(number, "hex data needs ':' after its type");
      ++j;
      while (true) {
        j = SkipBlanks(data, j);
        if (j == data.size()) break;
        if (j + 1 >= data.size() || HexDigit(data[j]) < 0 || HexDigit(data[j + 1]) < 0)
          return Bad(number, "hex data must be two-digit bytes separated by commas");
        value.data.push_back(static_cast<uint8_t>(HexDigit(data[j]) << 4 | HexDigit(data[j + 1])));
        j = SkipBlanks(data, j + 2);
        if (j == data.size()) break;
        if (data[j] != u',') return Bad(number, "hex data must be two-digit bytes separated by commas");
        ++j;
      }
      return value;
    }
    return Bad(number, "value data that is not \"text\", dword:, hex: or hex(type):");
  }

  std::optional<RegFileValue> Bad(int number, std::string what) {
    Fail(number, std::move(what));
    return std::nullopt;
  }

  RegFileParse error_;
};

}  // namespace

RegFileParse ParseRegFile(const std::vector<uint8_t>& bytes) {
  std::u16string text;
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    if (bytes.size() % 2) return {std::nullopt, {1, "a UTF-16 file with an odd number of bytes"}};
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  } else {
    size_t start = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
    for (size_t i = start; i < bytes.size(); ++i) text.push_back(bytes[i]);
  }
  return Parser().Run(text);
}

void ApplyRegFile(const RegFile& file, host::RegistryStore& store) {
  for (const auto& key : file.keys) {
    if (key.remove) {
      store.DeleteKey(key.path);
      continue;
    }
    store.CreateKey(key.path);
    for (const auto& value : key.values) {
      if (value.remove)
        store.DeleteValue(key.path, value.name);
      else
        store.SetValue(key.path, value.name, value.type, value.data.data(), value.data.size());
    }
  }
}

std::vector<uint8_t> ExportRegFile(const host::RegistryStore& store) {
  std::u16string text = Widen(kHeader) + u"\r\n";
  WriteKey(text, store, "");
  text += u"\r\n";
  std::vector<uint8_t> bytes = {0xFF, 0xFE};
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

}  // namespace sim
