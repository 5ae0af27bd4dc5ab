// KERNEL32: local memory, last error, string helpers; the stand-in's
// findings, reset and end checks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "host/faults.h"
#include "win32_internal.h"

namespace host {
namespace win32 {

namespace {

std::mutex g_findingsMutex;
std::vector<std::string> g_findings;

// Local memory. Each block has kGuard bytes of 0xFD on both sides.
constexpr size_t kGuard = 16;
constexpr BYTE kGuardByte = 0xFD;
constexpr BYTE kFreshByte = 0xCD;
constexpr BYTE kFreedByte = 0xDD;

struct LocalBlock {
  size_t size;
  size_t sequence;
  BYTE* raw;
};

std::mutex g_localMutex;
std::map<const void*, LocalBlock> g_liveBlocks;
std::map<const void*, LocalBlock> g_freedBlocks;  // kept out of reuse
size_t g_localCalls = 0;
int g_failLocalNth = 0;

thread_local DWORD t_lastError = 0;

// A program built with the address sanitizer gets the page heap's rule of
// Application Verifier: freed memory is made inaccessible (decommitted) and
// the bytes past a block fault, so that a use after LocalFree or a write past
// the end stops the program at the access. Without the sanitizer these are
// null, and only the fill bytes and the guard check remain.
extern "C" void __asan_poison_memory_region(void const volatile*, size_t) __attribute__((weak));
extern "C" void __asan_unpoison_memory_region(void const volatile*, size_t) __attribute__((weak));

void Poison(const void* p, size_t size) {
  if (__asan_poison_memory_region) __asan_poison_memory_region(p, size);
}

void Unpoison(const void* p, size_t size) {
  if (__asan_unpoison_memory_region) __asan_unpoison_memory_region(p, size);
}

// The guards are poisoned while the block lives; the check itself may read them.
bool GuardsIntact(const LocalBlock& block) {
  const BYTE* after = block.raw + kGuard + block.size;
  Unpoison(block.raw, kGuard);
  Unpoison(after, kGuard);
  bool intact = true;
  for (size_t i = 0; i < kGuard; ++i) {
    if (block.raw[i] != kGuardByte || after[i] != kGuardByte) intact = false;
  }
  Poison(block.raw, kGuard);
  Poison(after, kGuard);
  return intact;
}

}  // namespace

void Finding(const std::string& what) {
  std::lock_guard<std::mutex> lock(g_findingsMutex);
  g_findings.push_back(what);
}

std::vector<std::string> TakeFindings() {
  std::lock_guard<std::mutex> lock(g_findingsMutex);
  return g_findings;
}

void ClearFindings() {
  std::lock_guard<std::mutex> lock(g_findingsMutex);
  g_findings.clear();
}

std::string Hex(uintptr_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

void ResetLocalMemory() {
  std::lock_guard<std::mutex> lock(g_localMutex);
  for (auto* blocks : {&g_liveBlocks, &g_freedBlocks}) {
    for (auto& entry : *blocks) {
      Unpoison(entry.second.raw, entry.second.size + 2 * kGuard);
      std::free(entry.second.raw);
    }
  }
  g_liveBlocks.clear();
  g_freedBlocks.clear();
  g_localCalls = 0;
  g_failLocalNth = 0;
}

void LocalMemoryEndChecks(std::vector<std::string>& out, Win32Counts& counts) {
  std::lock_guard<std::mutex> lock(g_localMutex);
  for (auto& entry : g_liveBlocks) {
    counts.localBlocks++;
    counts.localBytes += entry.second.size;
    out.push_back("LocalAlloc block not freed: " + Hex(reinterpret_cast<uintptr_t>(entry.first)) +
                  ", " + std::to_string(entry.second.size) + " bytes, allocation #" +
                  std::to_string(entry.second.sequence));
    if (!GuardsIntact(entry.second))
      out.push_back("LocalAlloc block " + Hex(reinterpret_cast<uintptr_t>(entry.first)) +
                    " was written beyond its " + std::to_string(entry.second.size) + " bytes");
  }
}

}  // namespace win32

// ---------------------------------------------------------------------------
// Host API.

void FailLocalAllocNth(int n) {
  std::lock_guard<std::mutex> lock(win32::g_localMutex);
  win32::g_failLocalNth = n;
}

size_t LocalAllocCount() {
  std::lock_guard<std::mutex> lock(win32::g_localMutex);
  return win32::g_localCalls;
}

bool IsLocalBlock(const void* p) {
  std::lock_guard<std::mutex> lock(win32::g_localMutex);
  return win32::g_liveBlocks.count(p) != 0;
}

void ResetWin32() {
  // Windows and pages first: their teardown is silent but may free blocks
  // the DLL allocated.
  win32::ResetUserScript();
  win32::ResetWindows();
  win32::ResetPropertySheetPages();
  win32::ResetSetupApi();
  win32::ResetRegistryApi();
  win32::ResetLocalMemory();
  win32::ResetModuleState();
  win32::ClearFindings();
  SetLastError(0);
}

std::vector<std::string> Win32EndChecks() {
  std::vector<std::string> out;
  Win32Counts counts;
  win32::LocalMemoryEndChecks(out, counts);
  win32::RegistryApiEndChecks(out, counts);
  win32::SetupApiEndChecks(out, counts);
  win32::WindowEndChecks(out, counts);
  win32::PropertySheetPageEndChecks(out, counts);
  win32::UserScriptEndChecks(out, counts);
  for (auto& finding : win32::TakeFindings()) out.push_back(finding);
  return out;
}

Win32Counts Win32Outstanding() {
  std::vector<std::string> ignored;
  Win32Counts counts;
  win32::LocalMemoryEndChecks(ignored, counts);
  win32::RegistryApiEndChecks(ignored, counts);
  win32::SetupApiEndChecks(ignored, counts);
  win32::WindowEndChecks(ignored, counts);
  win32::PropertySheetPageEndChecks(ignored, counts);
  win32::UserScriptEndChecks(ignored, counts);
  return counts;
}

}  // namespace host

using host::win32::g_liveBlocks;
using host::win32::g_freedBlocks;
using host::win32::g_localMutex;
using host::win32::kGuard;
using host::win32::kGuardByte;
using host::win32::LocalBlock;

extern "C" {

DWORD WINAPI GetLastError(void) { return host::win32::t_lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { host::win32::t_lastError = dwErrCode; }

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  std::unique_lock<std::mutex> lock(g_localMutex);
  host::win32::g_localCalls++;
  // Out of memory: NULL with ERROR_NOT_ENOUGH_MEMORY.
  if ((host::win32::g_failLocalNth > 0 && --host::win32::g_failLocalNth == 0) ||
      host::FaultDue(host::FaultKind::UserLocalAlloc)) {
    lock.unlock();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  if (uFlags & ~LMEM_VALID_FLAGS) {
    lock.unlock();
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  BYTE* raw = static_cast<BYTE*>(std::malloc(uBytes + 2 * kGuard));
  if (raw == nullptr) {
    lock.unlock();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  std::memset(raw, kGuardByte, kGuard);
  std::memset(raw + kGuard + uBytes, kGuardByte, kGuard);
  std::memset(raw + kGuard, (uFlags & LMEM_ZEROINIT) ? 0 : host::win32::kFreshByte, uBytes);
  BYTE* user = raw + kGuard;
  host::win32::Poison(raw, kGuard);
  host::win32::Poison(user + uBytes, kGuard);
  g_liveBlocks[user] = LocalBlock{uBytes, host::win32::g_localCalls, raw};
  return user;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (hMem == NULL) return NULL;
  std::unique_lock<std::mutex> lock(g_localMutex);
  auto it = g_liveBlocks.find(hMem);
  if (it == g_liveBlocks.end()) {
    bool twice = g_freedBlocks.count(hMem) != 0;
    lock.unlock();
    host::win32::Finding(std::string("LocalFree of ") +
                         (twice ? "a block already freed: " : "a pointer LocalAlloc never returned: ") +
                         host::win32::Hex(reinterpret_cast<uintptr_t>(hMem)));
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
  }
  LocalBlock block = it->second;
  g_liveBlocks.erase(it);
  bool intact = host::win32::GuardsIntact(block);
  std::memset(block.raw + kGuard, host::win32::kFreedByte, block.size);
  host::win32::Poison(block.raw + kGuard, block.size);
  g_freedBlocks[hMem] = block;
  lock.unlock();
  if (!intact)
    host::win32::Finding("LocalFree: block " + host::win32::Hex(reinterpret_cast<uintptr_t>(hMem)) +
                         " was written beyond its " + std::to_string(block.size) + " bytes");
  return NULL;
}

SIZE_T WINAPI LocalSize(HLOCAL hMem) {
  std::lock_guard<std::mutex> lock(g_localMutex);
  auto it = g_liveBlocks.find(hMem);
  if (it == g_liveBlocks.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return it->second.size;
}

int WINAPI lstrlenA(LPCSTR lpString) {
  if (lpString == NULL) return 0;
  return static_cast<int>(std::strlen(lpString));
}

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
  if (lpString1 == NULL || lpString2 == NULL) return NULL;
  std::memmove(lpString1, lpString2, std::strlen(lpString2) + 1);
  return lpString1;
}

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  if (lpString1 == NULL || lpString2 == NULL) return NULL;
  if (iMaxLength <= 0) return lpString1;
  int i = 0;
  for (; i < iMaxLength - 1 && lpString2[i] != '\0'; ++i) lpString1[i] = lpString2[i];
  lpString1[i] = '\0';
  return lpString1;
}

LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
  if (lpString1 == NULL || lpString2 == NULL) return NULL;
  std::memmove(lpString1 + std::strlen(lpString1), lpString2, std::strlen(lpString2) + 1);
  return lpString1;
}

int WINAPI MulDiv(int nNumber, int nNumerator, int nDenominator) {
  if (nDenominator == 0) return -1;
  // Rounds half away from zero, as the platform does.
  long long product = static_cast<long long>(nNumber) * nNumerator;
  bool negative = (product < 0) != (nDenominator < 0);
  long long magnitude = product < 0 ? -product : product;
  long long divisor = nDenominator < 0 ? -static_cast<long long>(nDenominator) : nDenominator;
  long long result = (magnitude + divisor / 2) / divisor;
  if (negative) result = -result;
  if (result > 0x7fffffffLL || result < -0x80000000LL) return -1;
  return static_cast<int>(result);
}

}  // extern "C"
