// USER32 wsprintfA / wvsprintfA: the platform's own small formatter, not the
// C library's. A conversion is %[-][#][0][width][.precision][l|h|w|I|I32|I64]type
// with the types c C d i u x X s S p; there is no floating point and no '*'.
// An unknown type character is printed as it stands. Output stops at 1024
// characters, the terminating NUL included.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "win32_internal.h"

namespace {

constexpr UINT kLeftAlign = 0x0001;
constexpr UINT kPrefixHex = 0x0002;
constexpr UINT kZeroPad = 0x0004;
constexpr UINT kLong = 0x0008;
constexpr UINT kShort = 0x0010;
constexpr UINT kUpperHex = 0x0020;
constexpr UINT kWide = 0x0040;
constexpr UINT kIntPtr = 0x0080;
constexpr UINT kInt64 = 0x0100;

enum class Type { Unknown, Char, WideChar, String, WideString, Signed, Unsigned, Hex };

struct Field {
  UINT flags = 0;
  UINT width = 0;
  UINT precision = 0;
  Type type = Type::Unknown;
};

// Parses the conversion after '%'; returns how many characters it took.
// An unknown type character is not taken, so that it prints as text.
size_t ParseField(const char* format, Field* field) {
  const char* p = format;
  if (*p == '-') field->flags |= kLeftAlign, ++p;
  if (*p == '#') field->flags |= kPrefixHex, ++p;
  if (*p == '0') field->flags |= kZeroPad, ++p;
  while (*p >= '0' && *p <= '9') field->width = field->width * 10 + (*p++ - '0');
  if (*p == '.') {
    ++p;
    while (*p >= '0' && *p <= '9') field->precision = field->precision * 10 + (*p++ - '0');
  }
  if (*p == 'l') field->flags |= kLong, ++p;
  else if (*p == 'h') field->flags |= kShort, ++p;
  else if (*p == 'w') field->flags |= kWide, ++p;
  else if (*p == 'I') {
    if (p[1] == '6' && p[2] == '4') field->flags |= kInt64, p += 3;
    else if (p[1] == '3' && p[2] == '2') p += 3;
    else field->flags |= kIntPtr, ++p;
  }
  switch (*p) {
    case 'c': field->type = (field->flags & kLong) ? Type::WideChar : Type::Char; break;
    case 'C': field->type = (field->flags & kShort) ? Type::Char : Type::WideChar; break;
    case 'd':
    case 'i': field->type = Type::Signed; break;
    case 's': field->type = (field->flags & (kLong | kWide)) ? Type::WideString : Type::String; break;
    case 'S': field->type = (field->flags & (kShort | kWide)) ? Type::String : Type::WideString; break;
    case 'u': field->type = Type::Unsigned; break;
    case 'p':
      field->width = 2 * sizeof(void*);
      field->flags |= kZeroPad | kIntPtr | kUpperHex;
      field->type = Type::Hex;
      break;
    case 'X': field->flags |= kUpperHex; field->type = Type::Hex; break;
    case 'x': field->type = Type::Hex; break;
    default:
      field->type = Type::Unknown;
      return static_cast<size_t>(p - format);
  }
  return static_cast<size_t>(p - format) + 1;
}

constexpr size_t kMax = 1024;

// The text being formatted: anything past kMax - 1 characters is dropped, so
// that no combination of width, precision and prefix can run past the
// caller's buffer.
class Output {
 public:
  void push_back(char c) {
    if (size_ < kMax - 1) text_[size_] = c;
    ++size_;
  }
  void append(const char* s, size_t n) {
    if (size_ < kMax - 1) std::memcpy(text_ + size_, s, std::min(n, kMax - 1 - size_));
    size_ += n;
  }
  // Copies the kept text and its terminating NUL to out; returns its length.
  int CopyTo(char* out) const {
    size_t n = std::min(size_, kMax - 1);
    std::memcpy(out, text_, n);
    out[n] = '\0';
    return static_cast<int>(n);
  }

 private:
  char text_[kMax];
  size_t size_ = 0;
};

int Format(char* out, const char* format, va_list args) {
  static const char kNull[] = "(null)";
  Output result;
  int room = kMax;  // characters left, the terminating NUL included
  while (*format != '\0' && room > 1) {
    if (*format != '%') {
      // A run of plain text, as far as the next conversion or the room.
      size_t run = std::strcspn(format, "%");
      if (run > static_cast<size_t>(room - 1)) run = static_cast<size_t>(room - 1);
      result.append(format, run);
      format += run;
      room -= static_cast<int>(run);
      continue;
    }
    ++format;
    if (*format == '%') {
      result.push_back(*format++);
      --room;
      continue;
    }
    Field field;
    format += ParseField(format, &field);
    if (field.type == Type::Unknown) continue;

    char ch = 0;
    std::string converted;  // wide strings converted to ANSI
    const char* text = nullptr;
    size_t textSize = 0;
    char number[24];
    long long value = 0;
    switch (field.type) {
      case Type::Char:
        ch = static_cast<char>(va_arg(args, int));
        break;
      case Type::WideChar: {
        char16_t unit = static_cast<char16_t>(va_arg(args, int));
        ch = host::win32::Utf16ToAnsi(&unit, 1)[0];
        break;
      }
      case Type::String: {
        const char* s = va_arg(args, const char*);
        text = s ? s : kNull;
        // Only as far as the precision reaches (the whole string without one).
        textSize = field.precision ? strnlen(text, field.precision) : std::strlen(text);
        break;
      }
      case Type::WideString: {
        const char16_t* s = va_arg(args, const char16_t*);
        if (s == nullptr) {
          text = kNull;
          textSize = sizeof kNull - 1;
        } else {
          size_t n = 0;
          while (s[n] != 0) ++n;
          converted = host::win32::Utf16ToAnsi(s, n);
          text = converted.c_str();
          textSize = converted.size();
        }
        break;
      }
      default:
        if (field.flags & kIntPtr) value = va_arg(args, intptr_t);
        else if (field.flags & kInt64) value = va_arg(args, long long);
        else value = va_arg(args, int);
        break;
    }

    // Length of the converted item, and the precision it is padded to.
    UINT limit = static_cast<UINT>(room - 1);
    UINT len = 0;
    if (field.flags & kLeftAlign) field.flags &= ~kZeroPad;
    if (field.width > limit) field.width = limit;
    switch (field.type) {
      case Type::Char:
      case Type::WideChar:
        len = field.precision = 1;
        break;
      case Type::String:
      case Type::WideString:
        len = static_cast<UINT>(field.precision ? std::min<size_t>(field.precision, textSize) : textSize);
        if (len > limit) len = limit;
        field.precision = len;
        break;
      default: {
        const char* digits = (field.flags & kUpperHex) ? "0123456789ABCDEF" : "0123456789abcdef";
        unsigned long long magnitude = static_cast<unsigned long long>(value);
        char* d = number;
        if (field.type == Type::Signed && value < 0) {
          *d++ = '-';
          magnitude = 0ULL - static_cast<unsigned long long>(value);
        }
        if (field.flags & kIntPtr) magnitude = static_cast<uintptr_t>(magnitude);
        else if (!(field.flags & kInt64)) magnitude = static_cast<unsigned int>(magnitude);
        unsigned base = field.type == Type::Hex ? 16 : 10;
        char reversed[24];
        int n = 0;
        do {
          reversed[n++] = digits[magnitude % base];
          magnitude /= base;
        } while (magnitude);
        while (n > 0) *d++ = reversed[--n];
        *d = '\0';
        len = static_cast<UINT>(d - number);
        if (len > limit) len = limit;
        if (field.precision < len) field.precision = len;
        if (field.precision > limit) field.precision = limit;
        if ((field.flags & kZeroPad) && field.width > field.precision) field.precision = field.width;
        if (field.flags & kPrefixHex) len += 2;
        break;
      }
    }

    if (!(field.flags & kLeftAlign))
      for (UINT i = field.precision; i < field.width; ++i, --room) result.push_back(' ');
    UINT sign = 0;
    switch (field.type) {
      case Type::Char:
      case Type::WideChar:
        result.push_back(ch);
        break;
      case Type::String:
      case Type::WideString:
        result.append(text, len);
        break;
      default:
        if (field.type == Type::Hex && (field.flags & kPrefixHex)) {
          if (room > 3) {
            result.push_back('0');
            result.push_back((field.flags & kUpperHex) ? 'X' : 'x');
            room -= 2;
          }
          len -= 2;
        }
        // The sign goes before any zero padding.
        if (field.type != Type::Unsigned && number[0] == '-') {
          result.push_back('-');
          sign = 1;
        }
        for (UINT i = len; i < field.precision; ++i, --room) result.push_back('0');
        result.append(number + sign, len - sign);
        break;
    }
    if (field.flags & kLeftAlign)
      for (UINT i = field.precision; i < field.width; ++i, --room) result.push_back(' ');
    room -= static_cast<int>(len);
  }
  return result.CopyTo(out);
}

}  // namespace

extern "C" {

int WINAPI wvsprintfA(LPSTR lpOutput, LPCSTR lpFmt, va_list arglist) {
  if (lpOutput == NULL || lpFmt == NULL) return 0;
  va_list copy;
  va_copy(copy, arglist);
  int n = Format(lpOutput, lpFmt, copy);
  va_end(copy);
  return n;
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  if (lpOut == NULL || lpFmt == NULL) return 0;
  va_list args;
  va_start(args, lpFmt);
  int n = Format(lpOut, lpFmt, args);
  va_end(args);
  return n;
}

}  // extern "C"
