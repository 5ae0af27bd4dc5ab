// Executive pool: tagged blocks with accounting per tag and per pool type,
// guard bytes on both sides, fill patterns, fault injection and the
// verifier's pool checks. Freed blocks stay out of reuse (filled with
// kFreedFill) until ResetKernel or until the quarantine grows too large.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "host/faults.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "kcore_internal.h"

namespace host {
namespace {

constexpr size_t kGuard = 16;
constexpr size_t kQuarantineLimit = 64u << 20;  // bytes of freed blocks kept
constexpr size_t kLargestBlock = 256u << 20;    // larger requests fail
constexpr ULONG kDefaultTag = 0x656E6F4E;       // "None"

struct Block {
  unsigned char* base;  // kGuard bytes before the caller's pointer
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  bool freed;
};

struct PoolState {
  std::mutex lock;
  std::unordered_map<const void*, Block> blocks;  // by the caller's pointer
  std::deque<const void*> quarantine;             // freed, oldest first
  size_t quarantineBytes = 0;
  size_t allocationCalls = 0;
  int failNth = 0;  // counts down; the allocation that brings it to 0 fails
  std::vector<ULONG> failTags;
};

PoolState& State() {
  static PoolState state;
  return state;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }
POOL_TYPE BaseType(POOL_TYPE type) { return IsPaged(type) ? PagedPool : NonPagedPool; }

const char* TypeName(POOL_TYPE type) {
  switch (type) {
    case NonPagedPool: return "NonPagedPool";
    case PagedPool: return "PagedPool";
    case NonPagedPoolMustSucceed: return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned: return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned: return "PagedPoolCacheAligned";
    default: return "pool type ?";
  }
}

std::string Describe(const void* p, const Block& b) {
  return "pool block " + kcore::PointerText(p) + " (" + std::to_string(b.size) + " bytes, tag '" +
         TagText(b.tag) + "', " + TypeName(b.type) + ")";
}

// Returns "" when both guards are intact, else what was damaged.
std::string GuardDamage(const Block& b) {
  std::string damage;
  for (size_t i = 0; i < kGuard; ++i) {
    if (b.base[i] != kcore::kGuardFill) {
      damage = "the bytes before it were overwritten (underrun)";
      break;
    }
  }
  const unsigned char* after = b.base + kGuard + b.size;
  for (size_t i = 0; i < kGuard; ++i) {
    if (after[i] != kcore::kGuardFill) {
      if (!damage.empty()) damage += "; ";
      damage += "the bytes after it were overwritten (overrun past " + std::to_string(b.size) +
                " bytes)";
      break;
    }
  }
  return damage;
}

// Finds the block p points into (not at its start); caller holds the lock.
const Block* ContainingBlock(PoolState& s, const void* p, const void** start) {
  auto addr = reinterpret_cast<const unsigned char*>(p);
  for (auto& [key, block] : s.blocks) {
    auto begin = static_cast<const unsigned char*>(key);
    if (addr > begin && addr < begin + block.size) {
      *start = key;
      return &block;
    }
  }
  return nullptr;
}

}  // namespace

namespace kcore {

// Driver Verifier's IRQL checking pages pageable memory out, so that a touch
// of paged pool at DISPATCH_LEVEL or above faults (0xD1) even when the page
// would have been resident. The stand-in cannot see every read and write a
// driver makes; it checks the pointers the kernel itself is handed (events
// and other dispatcher objects, completion-routine contexts) against the
// live paged-pool blocks.
void CheckResidentAtIrql(const void* p, const std::string& use) {
  if (p == nullptr || Irql() < DISPATCH_LEVEL) return;
  std::string found;
  {
    PoolState& s = State();
    std::lock_guard<std::mutex> lock(s.lock);
    const void* start = p;
    auto it = s.blocks.find(p);
    const Block* b = it != s.blocks.end() ? &it->second : ContainingBlock(s, p, &start);
    if (b == nullptr || b->freed || !IsPaged(b->type)) return;
    found = Describe(start, *b);
  }
  VerifierFail("irql.paged-pool", use + " " + PointerText(p) + " lies in " + found +
                                      ", touched at IRQL " + std::to_string(Irql()) +
                                      " (paged pool may only be touched below DISPATCH_LEVEL)");
}

}  // namespace kcore

namespace {

void TrimQuarantine(PoolState& s) {
  while (s.quarantineBytes > kQuarantineLimit && !s.quarantine.empty()) {
    const void* oldest = s.quarantine.front();
    s.quarantine.pop_front();
    auto it = s.blocks.find(oldest);
    if (it == s.blocks.end()) continue;
    s.quarantineBytes -= it->second.size;
    std::free(it->second.base);
    s.blocks.erase(it);
  }
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine) {
  KIRQL irql = kcore::Irql();
  if (IsPaged(type) && irql > APC_LEVEL) {
    VerifierFail("pool.alloc-irql", std::string(routine) + ": paged pool (tag '" + TagText(tag) +
                                        "') allocated at IRQL " + std::to_string(irql) +
                                        " (above APC_LEVEL)");
  } else if (irql > DISPATCH_LEVEL) {
    VerifierFail("pool.alloc-irql", std::string(routine) + " at IRQL " + std::to_string(irql) +
                                        " (above DISPATCH_LEVEL)");
  }
  if (type == NonPagedPoolMustSucceed) {
    VerifierFail("pool.must-succeed", std::string(routine) +
                                          ": NonPagedPoolMustSucceed is not for drivers (tag '" +
                                          TagText(tag) + "')");
  } else if (type != NonPagedPool && type != PagedPool && type != NonPagedPoolCacheAligned &&
             type != PagedPoolCacheAligned) {
    VerifierFail("ddi.invalid-parameter",
                 std::string(routine) + ": bad pool type " + std::to_string(type));
    return nullptr;
  }
  if (bytes == 0) {
    VerifierFail("pool.zero-size",
                 std::string(routine) + ": zero-byte allocation (tag '" + TagText(tag) + "')");
  }

  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  ++s.allocationCalls;
  if (s.failNth > 0 && --s.failNth == 0) return nullptr;
  // The pool runs out: ExAllocatePoolWithTag returns NULL.
  if (host::FaultDue(host::FaultKind::Pool, host::TagText(tag))) return nullptr;
  for (ULONG t : s.failTags) {
    if (t == tag) return nullptr;
  }
  if (bytes > kLargestBlock) return nullptr;

  auto base = static_cast<unsigned char*>(std::malloc(kGuard + bytes + kGuard));
  if (base == nullptr) return nullptr;
  std::memset(base, kcore::kGuardFill, kGuard);
  std::memset(base + kGuard, kcore::kAllocatedFill, bytes);
  std::memset(base + kGuard + bytes, kcore::kGuardFill, kGuard);
  void* p = base + kGuard;
  s.blocks[p] = Block{base, bytes, tag, type, false};
  return p;
}

void Free(PVOID p, bool checkTag, ULONG tag, const char* routine) {
  if (p == nullptr) {
    VerifierFail("pool.free-bad-address", std::string(routine) + "(NULL)");
    return;
  }
  Block info{};
  {
    PoolState& s = State();
    std::lock_guard<std::mutex> lock(s.lock);
    auto it = s.blocks.find(p);
    if (it == s.blocks.end()) {
      const void* start = nullptr;
      const Block* inside = ContainingBlock(s, p, &start);
      if (inside != nullptr) {
        VerifierFail("pool.free-bad-address", std::string(routine) + " of " +
                                                  kcore::PointerText(p) + ", which points inside " +
                                                  Describe(start, *inside) +
                                                  " instead of at its start");
      } else {
        VerifierFail(
            "pool.free-bad-address",
            std::string(routine) + " of " + kcore::PointerText(p) + ", which is not a pool block");
      }
      return;
    }
    Block& b = it->second;
    if (b.freed) {
      VerifierFail("pool.double-free",
                   std::string(routine) + ": " + Describe(p, b) + " freed twice");
      return;
    }
    KIRQL irql = kcore::Irql();
    if (IsPaged(b.type) && irql > APC_LEVEL) {
      VerifierFail("pool.free-irql", std::string(routine) + ": " + Describe(p, b) +
                                         " freed at IRQL " + std::to_string(irql) +
                                         " (above APC_LEVEL)");
    } else if (irql > DISPATCH_LEVEL) {
      VerifierFail("pool.free-irql", std::string(routine) + ": " + Describe(p, b) +
                                         " freed at IRQL " + std::to_string(irql));
    }
    if (checkTag && tag != b.tag) {
      VerifierFail("pool.free-wrong-tag", std::string(routine) + ": " + Describe(p, b) +
                                              " freed with tag '" + TagText(tag) + "'");
    }
    std::string damage = GuardDamage(b);
    if (!damage.empty())
      VerifierFail("pool.overrun", std::string(routine) + ": " + Describe(p, b) + ": " + damage);
    std::memset(b.base, kcore::kFreedFill, kGuard + b.size + kGuard);
    b.freed = true;
    info = b;
    s.quarantine.push_back(p);
    s.quarantineBytes += b.size;
    TrimQuarantine(s);
  }
  if (kcore::HeldFastMutexWithin(p, info.size)) {
    VerifierFail("sync.freed-while-held", std::string(routine) + ": " + Describe(p, info) +
                                              " freed while a fast mutex in it is held");
  }
}

}  // namespace

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

std::optional<PoolBlockInfo> PoolBlock(const void* p) {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  auto it = s.blocks.find(p);
  if (it == s.blocks.end() || it->second.freed) return std::nullopt;
  return PoolBlockInfo{it->second.size, it->second.tag, it->second.type};
}

size_t PoolOutstanding(ULONG tag) {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  size_t n = 0;
  for (auto& [p, b] : s.blocks) {
    if (!b.freed && (tag == 0 || b.tag == tag)) ++n;
  }
  return n;
}

size_t PoolOutstandingBytes(ULONG tag) {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  size_t n = 0;
  for (auto& [p, b] : s.blocks) {
    if (!b.freed && (tag == 0 || b.tag == tag)) n += b.size;
  }
  return n;
}

size_t PoolOutstandingOfType(POOL_TYPE type) {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  size_t n = 0;
  for (auto& [p, b] : s.blocks) {
    if (!b.freed && BaseType(b.type) == BaseType(type)) ++n;
  }
  return n;
}

void FailPoolAllocationNth(int n) {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  s.failNth = n > 0 ? n : 0;
}

void FailPoolTag(ULONG tag) {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  s.failTags.push_back(tag);
}

void ClearPoolFaults() {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  s.failNth = 0;
  s.failTags.clear();
}

size_t PoolAllocationCount() {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  return s.allocationCalls;
}

namespace kcore {

void ResetPool() {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  for (auto& [p, b] : s.blocks) std::free(b.base);
  s.blocks.clear();
  s.quarantine.clear();
  s.quarantineBytes = 0;
  s.allocationCalls = 0;
  s.failNth = 0;
  s.failTags.clear();
}

void PoolEndChecks(std::vector<std::string>& out) {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  for (auto& [p, b] : s.blocks) {
    if (b.freed) continue;
    out.push_back("pool.leak: " + Describe(p, b) + " was never freed");
    std::string damage = GuardDamage(b);
    if (!damage.empty()) out.push_back("pool.overrun: " + Describe(p, b) + ": " + damage);
  }
}

}  // namespace kcore
}  // namespace host

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return host::Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag");
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return host::Allocate(PoolType, NumberOfBytes, host::kDefaultTag, "ExAllocatePool");
}

VOID NTAPI ExFreePool(PVOID P) { host::Free(P, false, 0, "ExFreePool"); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { host::Free(P, true, Tag, "ExFreePoolWithTag"); }

}  // extern "C"
