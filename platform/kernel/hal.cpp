// The HAL's port and register routines and the memory manager's I/O space
// mapping. Devices decode ranges of I/O space and memory space through
// IoHandlers; MmMapIoSpace hands out addresses inside a reserved region that
// is never accessible, so only READ_/WRITE_REGISTER_UCHAR reach the device and
// a direct dereference faults.
#include <sys/mman.h>

#include <wdm.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/io.h"
#include "host/verifier.h"
#include "kernel/kio_internal.h"

namespace {

constexpr uintptr_t kPageSize = 0x1000;
constexpr size_t kRegionSize = size_t(256) << 20;  // address space for mappings
constexpr ULONG kHighestPort = 0xFFFF;

struct Range {
  ULONGLONG base;
  ULONGLONG length;
  host::IoHandler* handler;
};

struct Mapping {
  uintptr_t slot;       // first page of the slot in the region
  size_t slotSize;      // pages of the slot, plus one guard page, in bytes
  host::IoMapping info;
};

struct HalState {
  std::mutex mutex;
  std::vector<Range> ports;
  std::vector<Range> memory;
  std::map<uintptr_t, Mapping> mappings;  // by virtual address handed out
  std::vector<uintptr_t> unmapped;        // addresses unmapped since reset
  std::vector<host::IoAccess> log;
  uintptr_t region = 0;
  size_t cursor = 0;
  int maps = 0;
  int unmaps = 0;
};

HalState& State() {
  static HalState state;
  return state;
}

std::string Hex(ULONGLONG v) {
  char text[24];
  std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(v));
  return text;
}

bool Overlaps(const std::vector<Range>& ranges, ULONGLONG base, ULONGLONG length) {
  for (const auto& r : ranges)
    if (base < r.base + r.length && r.base < base + length) return true;
  return false;
}

// The handler and offset decoding an address; handler null when none does.
std::pair<host::IoHandler*, ULONG> Decode(const std::vector<Range>& ranges, ULONGLONG address) {
  for (const auto& r : ranges)
    if (address >= r.base && address - r.base < r.length)
      return {r.handler, static_cast<ULONG>(address - r.base)};
  return {nullptr, 0};
}

bool InRegion(const HalState& s, uintptr_t va) {
  return s.region && va >= s.region && va - s.region < kRegionSize;
}

// The live mapping holding va; the caller holds the lock.
const Mapping* FindMapping(const HalState& s, uintptr_t va) {
  auto it = s.mappings.upper_bound(va);
  if (it == s.mappings.begin()) return nullptr;
  --it;
  const auto& m = it->second;
  if (va - it->first < m.info.length) return &m;
  return nullptr;
}

// A free slot of the given size in the region; 0 when the region is full.
uintptr_t AllocateSlot(HalState& s, size_t size) {
  if (!s.region) {
    void* p = mmap(nullptr, kRegionSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    if (p == MAP_FAILED) return 0;
    s.region = reinterpret_cast<uintptr_t>(p);
  }
  for (int pass = 0; pass < 2; ++pass) {
    while (s.cursor + size <= kRegionSize) {
      uintptr_t slot = s.region + s.cursor;
      bool busy = false;
      for (const auto& [va, m] : s.mappings) {
        if (slot < m.slot + m.slotSize && m.slot < slot + size) {
          s.cursor = m.slot + m.slotSize - s.region;
          busy = true;
          break;
        }
      }
      if (!busy) {
        s.cursor += size;
        return slot;
      }
    }
    s.cursor = 0;  // wrap around once
  }
  return 0;
}

void Log(host::IoSpace space, ULONGLONG address, bool write, UCHAR value, bool claimed) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.log.push_back({space, address, write, value, claimed});
}

// Port routine: returns the handler for a valid port address, reporting misuse.
std::pair<host::IoHandler*, ULONG> PortTarget(uintptr_t port, const char* routine) {
  auto& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (InRegion(s, port)) {
    lock.unlock();
    host::VerifierFail(
        "hal.port-on-memory-space",
        std::string(routine) + " on " + Hex(port) +
            ", an address mapped with MmMapIoSpace (memory space needs the register routines)");
    return {nullptr, 0};
  }
  if (port > kHighestPort) {
    lock.unlock();
    host::VerifierFail("hal.port-not-decoded",
                       std::string(routine) + " on " + Hex(port) + ", outside I/O space");
    return {nullptr, 0};
  }
  return Decode(s.ports, port);
}

// Register routine: translates a mapped address to its physical address and handler.
struct RegisterTarget {
  bool mapped = false;
  ULONGLONG physical = 0;
  host::IoHandler* handler = nullptr;
  ULONG offset = 0;
};

RegisterTarget RegisterTargetOf(uintptr_t va, const char* routine) {
  auto& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  RegisterTarget t;
  if (const Mapping* m = FindMapping(s, va)) {
    t.mapped = true;
    t.physical = m->info.physical + (va - reinterpret_cast<uintptr_t>(m->info.virtualAddress));
    auto [handler, offset] = Decode(s.memory, t.physical);
    t.handler = handler;
    t.offset = offset;
    return t;
  }
  lock.unlock();
  host::VerifierFail("hal.register-not-mapped",
                     std::string(routine) + " on " + Hex(va) +
                         ", which is not inside a live MmMapIoSpace mapping");
  return t;
}

}  // namespace

namespace host {

void AddPortRange(ULONG base, ULONG length, IoHandler* handler) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (Overlaps(s.ports, base, length))
    VerifierFail("machine.decode-overlap", "AddPortRange: ports " + Hex(base) + " length " +
                                               Hex(length) + " overlap a range already decoded");
  s.ports.push_back({base, length, handler});
}

void AddMemoryRange(ULONGLONG physical, ULONG length, IoHandler* handler) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (Overlaps(s.memory, physical, length))
    VerifierFail("machine.decode-overlap", "AddMemoryRange: memory " + Hex(physical) + " length " +
                                               Hex(length) + " overlaps a range already decoded");
  s.memory.push_back({physical, length, handler});
}

void RemoveRanges(IoHandler* handler) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto drop = [handler](std::vector<Range>& v) {
    for (auto it = v.begin(); it != v.end();) it = it->handler == handler ? v.erase(it) : it + 1;
  };
  drop(s.ports);
  drop(s.memory);
}

std::vector<IoAccess> IoAccessLog() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.log;
}

void ClearIoAccessLog() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.log.clear();
}

std::vector<IoMapping> LiveMappings() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<IoMapping> out;
  for (const auto& [va, m] : s.mappings) out.push_back(m.info);
  return out;
}

int MapCount() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.maps;
}

int UnmapCount() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.unmaps;
}

namespace kio {

void ResetHal() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.ports.clear();
  s.memory.clear();
  s.mappings.clear();
  s.unmapped.clear();
  s.log.clear();
  s.maps = 0;
  s.unmaps = 0;
}

std::vector<std::string> HalEndChecks() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<std::string> out;
  for (const auto& [va, m] : s.mappings)
    out.push_back("mm.mapping-leak: I/O space still mapped: physical " + Hex(m.info.physical) + " length " +
                  Hex(m.info.length) + " at " + Hex(va));
  return out;
}

}  // namespace kio
}  // namespace host

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) {
  auto port = reinterpret_cast<uintptr_t>(Port);
  auto [handler, offset] = PortTarget(port, "READ_PORT_UCHAR");
  UCHAR value = handler ? handler->Read(offset) : 0xFF;
  Log(host::IoSpace::Port, port, false, value, handler != nullptr);
  return value;
}

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
  auto port = reinterpret_cast<uintptr_t>(Port);
  auto [handler, offset] = PortTarget(port, "WRITE_PORT_UCHAR");
  if (handler) handler->Write(offset, Value);
  Log(host::IoSpace::Port, port, true, Value, handler != nullptr);
}

UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR* Register) {
  auto va = reinterpret_cast<uintptr_t>(Register);
  RegisterTarget t = RegisterTargetOf(va, "READ_REGISTER_UCHAR");
  UCHAR value = t.handler ? t.handler->Read(t.offset) : 0xFF;
  Log(host::IoSpace::Register, t.mapped ? t.physical : va, false, value, t.handler != nullptr);
  return value;
}

VOID NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) {
  auto va = reinterpret_cast<uintptr_t>(Register);
  RegisterTarget t = RegisterTargetOf(va, "WRITE_REGISTER_UCHAR");
  if (t.handler) t.handler->Write(t.offset, Value);
  Log(host::IoSpace::Register, t.mapped ? t.physical : va, true, Value, t.handler != nullptr);
}

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                         MEMORY_CACHING_TYPE CacheType) {
  host::kio::CheckIrql("MmMapIoSpace", DISPATCH_LEVEL);
  if (NumberOfBytes == 0) {
    host::VerifierFail("ddi.invalid-parameter", "MmMapIoSpace called with a length of 0");
    return nullptr;
  }
  if (CacheType < MmNonCached || CacheType >= MmMaximumCacheType) {
    host::VerifierFail("ddi.invalid-parameter", "MmMapIoSpace called with an invalid cache type " +
                                                    std::to_string(static_cast<int>(CacheType)));
    return nullptr;
  }
  if (host::kio::TakeFault(host::IoRoutine::MapIoSpace) != STATUS_SUCCESS) return nullptr;
  auto physical = static_cast<ULONGLONG>(PhysicalAddress.QuadPart);
  uintptr_t pageOffset = physical & (kPageSize - 1);
  size_t pages = (pageOffset + NumberOfBytes + kPageSize - 1) / kPageSize;
  size_t slotSize = (pages + 1) * kPageSize;  // one guard page after each mapping

  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  uintptr_t slot = AllocateSlot(s, slotSize);
  if (!slot) return nullptr;  // out of system PTEs
  uintptr_t va = slot + pageOffset;
  Mapping m;
  m.slot = slot;
  m.slotSize = slotSize;
  m.info = {reinterpret_cast<PVOID>(va), physical, NumberOfBytes, CacheType};
  s.mappings[va] = m;
  for (auto it = s.unmapped.begin(); it != s.unmapped.end();)
    it = *it == va ? s.unmapped.erase(it) : it + 1;
  ++s.maps;
  return reinterpret_cast<PVOID>(va);
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  host::kio::CheckIrql("MmUnmapIoSpace", DISPATCH_LEVEL);
  auto va = reinterpret_cast<uintptr_t>(BaseAddress);
  auto& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  auto it = s.mappings.find(va);
  if (it == s.mappings.end()) {
    bool twice = false;
    for (uintptr_t u : s.unmapped) twice |= u == va;
    lock.unlock();
    host::VerifierFail("mm.unmap-not-mapped", std::string("MmUnmapIoSpace of ") + Hex(va) +
                                                  (twice ? ", which was already unmapped"
                                                         : ", which MmMapIoSpace did not return"));
    return;
  }
  SIZE_T mappedLength = it->second.info.length;
  s.mappings.erase(it);
  s.unmapped.push_back(va);
  ++s.unmaps;
  lock.unlock();
  if (NumberOfBytes != mappedLength)
    host::VerifierFail("mm.unmap-wrong-length", "MmUnmapIoSpace of " + Hex(va) + " with length " +
                                                    Hex(NumberOfBytes) + ", mapped with length " +
                                                    Hex(mappedLength));
}
