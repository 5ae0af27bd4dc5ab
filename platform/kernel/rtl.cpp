// Run-time library: counted strings and memory comparison, with the
// platform's edge-case behaviour (truncation, termination, empty input).
#include "host/kernel.h"
#include "host/verifier.h"
#include "kcore_internal.h"

namespace {

void PageableRoutine(const char* routine) {
  if (host::kcore::Irql() > APC_LEVEL) {
    host::VerifierFail("irql.ddi-call", std::string(routine) + " at IRQL " +
                                            std::to_string(host::kcore::Irql()) +
                                            " (pageable; must run at or below APC_LEVEL)");
  }
}

// The platform's upper-case mapping for the characters drivers meet:
// ASCII, Latin-1, basic Greek and Cyrillic.
WCHAR Upcase(WCHAR c) {
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
  if (c < 0x80) return c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<WCHAR>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
  return c;
}

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  constexpr size_t kMaxSize = 0xFFFC;  // even, room for the terminator
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  size_t size = WideLength(SourceString) * sizeof(WCHAR);
  if (size > kMaxSize) size = kMaxSize;
  DestinationString->Length = static_cast<USHORT>(size);
  DestinationString->MaximumLength = static_cast<USHORT>(size + sizeof(WCHAR));
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT length = SourceString->Length < DestinationString->MaximumLength
                      ? SourceString->Length
                      : DestinationString->MaximumLength;
  if (length > 0) memmove(DestinationString->Buffer, SourceString->Buffer, length);
  DestinationString->Length = length;
  if (DestinationString->Length < DestinationString->MaximumLength) {
    DestinationString->Buffer[length / sizeof(WCHAR)] = 0;
  }
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  PageableRoutine("RtlUnicodeStringToInteger");
  const WCHAR* p = String->Buffer;
  USHORT remaining = String->Length / sizeof(WCHAR);
  while (remaining >= 1 && *p <= u' ') {
    ++p;
    --remaining;
  }
  bool negative = false;
  if (remaining >= 1) {
    if (*p == u'+') {
      ++p;
      --remaining;
    } else if (*p == u'-') {
      negative = true;
      ++p;
      --remaining;
    }
  }
  if (Base == 0) {
    Base = 10;
    if (remaining >= 2 && p[0] == u'0') {
      if (p[1] == u'b') Base = 2;
      else if (p[1] == u'o') Base = 8;
      else if (p[1] == u'x') Base = 16;
      if (Base != 10) {
        p += 2;
        remaining -= 2;
      }
    }
  } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Value == nullptr) return STATUS_ACCESS_VIOLATION;
  ULONG total = 0;
  for (; remaining >= 1; ++p, --remaining) {
    WCHAR c = *p;
    ULONG digit;
    if (c >= u'0' && c <= u'9') digit = c - u'0';
    else if (c >= u'A' && c <= u'Z') digit = c - u'A' + 10;
    else if (c >= u'a' && c <= u'z') digit = c - u'a' + 10;
    else break;
    if (digit >= Base) break;
    total = total * Base + digit;  // wraps, as the platform's does
  }
  *Value = negative ? 0u - total : total;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  USHORT length = Source->Length;
  if (length == 0) return STATUS_SUCCESS;
  if (static_cast<ULONG>(Destination->Length) + length > Destination->MaximumLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  WCHAR* end = Destination->Buffer + Destination->Length / sizeof(WCHAR);
  memmove(end, Source->Buffer, length);
  Destination->Length = static_cast<USHORT>(Destination->Length + length);
  if (Destination->MaximumLength > Destination->Length) end[length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Source);
  return RtlAppendUnicodeStringToString(Destination, &source);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
  PageableRoutine("RtlEqualUnicodeString");
  if (String1->Length != String2->Length) return FALSE;
  size_t n = String1->Length / sizeof(WCHAR);
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive ? Upcase(a) != Upcase(b) : a != b) return FALSE;
  }
  return TRUE;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  auto a = static_cast<const unsigned char*>(Source1);
  auto b = static_cast<const unsigned char*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

}  // extern "C"
