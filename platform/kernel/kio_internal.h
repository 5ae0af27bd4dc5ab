// Internal glue between the I/O manager, registry-handle, HAL and power parts
// of the kernel stand-in (pnpio.cpp, zwreg.cpp, hal.cpp, poset.cpp).
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>
#include <vector>

#include "host/io.h"

namespace host {
namespace kio {

// Counts the call and returns the injected status for it, or STATUS_SUCCESS.
NTSTATUS TakeFault(IoRoutine routine);
// The injected status for a ZwSetValueKey of this value name, or STATUS_SUCCESS.
NTSTATUS SetValueFault(std::string_view valueName);

// Reports a verifier failure when the current IRQL is above the limit.
// Returns false then.
bool CheckIrql(const char* routine, KIRQL maximum);

// UTF-16 <-> UTF-8 (value and key names are kept as UTF-8 in the store).
std::string ToUtf8(const char16_t* text, size_t units);
// ToUtf8 appended to `out`, for a caller that reuses its buffer.
void AppendUtf8(std::string& out, const char16_t* text, size_t units);
std::u16string ToUtf16(const std::string& text);

// A new kernel handle on an existing key of the store.
HANDLE CreateKeyHandle(const std::string& path, ACCESS_MASK access, const char* openedBy);

// Per-part reset and end checks, called by ResetIo / IoEndChecks.
void ResetKeyHandles();
std::vector<std::string> KeyHandleEndChecks();
void ResetHal();
std::vector<std::string> HalEndChecks();
void ResetPower();
void ForgetPowerState(PDEVICE_OBJECT device);

}  // namespace kio
}  // namespace host
