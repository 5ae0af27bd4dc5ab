// Executive pool: tagged blocks with accounting per tag and per pool type,
// guard bytes on both sides, fill patterns, fault injection and the
// verifier's pool checks. Freed blocks stay out of reuse (filled with
// kFreedFill) until ResetKernel or until the quarantine grows too large.
// The books cost no allocation per block: records in one array, an
// open-addressed table from address to record, chunks recycled by size class.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <sanitizer/asan_interface.h>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define SERHUB_MEMCHECK(x) (void)(x)
#else
#define SERHUB_MEMCHECK(x) ((void)0)
#endif

#include "host/faults.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "kcore_internal.h"
#include "spin_lock.h"

namespace host {
namespace {

constexpr size_t kGuard = 16;
constexpr size_t kQuarantineLimit = 64u << 20;  // bytes of freed blocks kept
constexpr size_t kLargestBlock = 256u << 20;    // larger requests fail
constexpr ULONG kDefaultTag = 0x656E6F4E;       // "None"
constexpr uint32_t kNone = 0xFFFFFFFFu;

// The memory of a block is one chunk: kGuard bytes, the caller's bytes, kGuard
// bytes. Chunks come in size classes and are recycled only once their block
// has left the books (ResetKernel, or the quarantine trimmed); the books are
// records kept out of band, so a driver's underrun cannot damage them.
constexpr size_t kSmallStep = 64;     // classes of 64 bytes up to kSmallLimit
constexpr size_t kSmallLimit = 4096;
constexpr size_t kLargeLimit = 1u << 20;  // power-of-two classes up to here
constexpr int kSmallClasses = kSmallLimit / kSmallStep;
constexpr int kClasses = kSmallClasses + 9;  // 8K .. 1M

struct Block {
  unsigned char* base;  // kGuard bytes before the caller's pointer
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  bool freed;
  int sizeClass;  // -1: a chunk of its own, returned to the C heap
  bool gone;      // trimmed from the quarantine: its chunk is reused
};

// Chunk size class of a block of this many bytes, and its chunk size.
int ClassOf(size_t chunk) {
  if (chunk <= kSmallLimit) return static_cast<int>((chunk + kSmallStep - 1) / kSmallStep) - 1;
  if (chunk > kLargeLimit) return -1;
  int c = kSmallClasses;
  for (size_t n = kSmallLimit * 2; n < chunk; n <<= 1) ++c;
  return c;
}
size_t ClassBytes(int c) {
  if (c < kSmallClasses) return static_cast<size_t>(c + 1) * kSmallStep;
  return kSmallLimit << (c - kSmallClasses + 1);
}

// Open-addressed table from a block's address (the caller's pointer) to its
// record: no allocation per block, and no walk over the blocks to know
// whether a pointer is one.
class BlockTable {
 public:
  uint32_t Find(const void* p) const {
    if (slots_.empty()) return kNone;
    for (size_t i = Hash(p) & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].key == p) return slots_[i].index;
      if (slots_[i].key == nullptr) return kNone;
    }
  }
  void Insert(const void* p, uint32_t index) {
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    size_t i = Hash(p) & mask_;
    while (slots_[i].key != nullptr && slots_[i].key != Tombstone()) i = (i + 1) & mask_;
    if (slots_[i].key == nullptr) ++used_;
    slots_[i] = Slot{p, index};
  }
  void Erase(const void* p) {
    if (slots_.empty()) return;
    for (size_t i = Hash(p) & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].key == p) {
        slots_[i].key = Tombstone();
        return;
      }
      if (slots_[i].key == nullptr) return;
    }
  }
  void Clear() {
    if (used_ == 0) return;
    std::fill(slots_.begin(), slots_.end(), Slot{});
    used_ = 0;
  }

 private:
  struct Slot {
    const void* key = nullptr;
    uint32_t index = 0;
  };
  static const void* Tombstone() { return reinterpret_cast<const void*>(uintptr_t{1}); }
  static size_t Hash(const void* p) {
    auto v = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
    return static_cast<size_t>((v >> 4) * 0x9E3779B97F4A7C15ull >> 20);
  }
  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    size_t n = old.empty() ? 1024 : old.size() * 2;
    slots_.assign(n, Slot{});
    mask_ = n - 1;
    used_ = 0;
    for (const Slot& s : old) {
      if (s.key != nullptr && s.key != Tombstone()) Insert(s.key, s.index);
    }
  }
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;  // slots holding a key or a tombstone
};

struct PoolState {
  kcore::SpinLock lock;  // a mutex would cost more than the allocation
  std::vector<Block> records;      // every block since ResetKernel, oldest first
  BlockTable table;                // caller's pointer -> record
  std::vector<uint32_t> quarantine;  // freed, oldest first, from quarantineHead
  size_t quarantineHead = 0;
  size_t quarantineBytes = 0;
  std::vector<unsigned char*> spareChunks[kClasses];  // recycled, per class
  size_t allocationCalls = 0;
  int failNth = 0;  // counts down; the allocation that brings it to 0 fails
  std::vector<ULONG> failTags;
  std::string faultDetail = "None";  // the tag of the allocation being made
  ULONG faultDetailTag = kDefaultTag;
};

// Writes the tag's four characters as TagText does, into a string that keeps
// its length (no string made per allocation).
void SetTagText(std::string& text, ULONG tag) {
  for (int i = 0; i < 4; ++i) {
    auto c = static_cast<unsigned char>(tag >> (8 * i));
    text[i] = static_cast<unsigned char>(c - 0x20) < 0x5F ? static_cast<char>(c) : '.';
  }
}

// Made once and never destroyed, so that the chunks kept for reuse stay
// reachable to the end for the leak checkers; reaching it costs no guard.
PoolState& g_state = *new PoolState;
PoolState& State() { return g_state; }

// Calls f for every block not yet freed, oldest first.
template <typename F>
void ForEachLive(PoolState& s, F&& f) {
  for (const Block& b : s.records) {
    if (!b.freed) f(b);
  }
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

const void* UserPointer(const Block& b) { return b.base + kGuard; }

std::string Describe(const void* p, const Block& b) {
  return "pool block " + kcore::PointerText(p) + " (" + std::to_string(b.size) + " bytes, tag '" +
         TagText(b.tag) + "', " + TypeName(b.type) + ")";
}

// In a build with AddressSanitizer the guards and every freed block are
// poisoned, so that ASan reports a driver's overrun, underrun or use after
// free at the faulting access (the role of special pool and of the verifier's
// pool tracking on Windows); the stand-in's own checks below unpoison the
// bytes they look at. Chunks waiting for reuse stay poisoned (and, under
// Valgrind's memcheck, inaccessible), so a stale pointer into a block of an
// earlier life is still caught. Without either tool these do nothing.
void Poison(const void* p, size_t n) { ASAN_POISON_MEMORY_REGION(p, n); }
void Unpoison(const void* p, size_t n) { ASAN_UNPOISON_MEMORY_REGION(p, n); }
void PoisonGuards(const Block& b) {
  Poison(b.base, kGuard);
  Poison(b.base + kGuard + b.size, kGuard);
}

unsigned char* TakeChunk(PoolState& s, int c, size_t bytes) {
  if (c >= 0 && !s.spareChunks[c].empty()) {
    unsigned char* chunk = s.spareChunks[c].back();
    s.spareChunks[c].pop_back();
    Unpoison(chunk, ClassBytes(c));
    SERHUB_MEMCHECK(VALGRIND_MAKE_MEM_UNDEFINED(chunk, ClassBytes(c)));
    return chunk;
  }
  return static_cast<unsigned char*>(std::malloc(c >= 0 ? ClassBytes(c) : bytes));
}

// The block's chunk goes back for reuse; its record and table entry are the
// caller's to drop.
void ReleaseChunk(PoolState& s, const Block& b) {
  if (b.sizeClass < 0) {
    Unpoison(b.base, kGuard + b.size + kGuard);
    std::free(b.base);
    return;
  }
  Poison(b.base, ClassBytes(b.sizeClass));
  SERHUB_MEMCHECK(VALGRIND_MAKE_MEM_NOACCESS(b.base, ClassBytes(b.sizeClass)));
  s.spareChunks[b.sizeClass].push_back(b.base);
}

// Whether the kGuard bytes at p all still hold the guard fill.
bool GuardIntact(const unsigned char* p) {
  constexpr uint64_t kIntact = 0x0101010101010101ull * kcore::kGuardFill;
  uint64_t word[2];
  std::memcpy(word, p, sizeof word);
  static_assert(sizeof word == kGuard, "guard is two words");
  return word[0] == kIntact && word[1] == kIntact;
}

bool GuardsIntact(const Block& b) {
  Unpoison(b.base, kGuard);
  Unpoison(b.base + kGuard + b.size, kGuard);
  bool intact = GuardIntact(b.base) && GuardIntact(b.base + kGuard + b.size);
  PoisonGuards(b);
  return intact;
}

// Returns "" when both guards are intact, else what was damaged.
std::string GuardDamage(const Block& b) {
  std::string damage;
  if (GuardsIntact(b)) return damage;
  Unpoison(b.base, kGuard);
  Unpoison(b.base + kGuard + b.size, kGuard);
  bool before = GuardIntact(b.base);
  bool after = GuardIntact(b.base + kGuard + b.size);
  PoisonGuards(b);
  if (!before) damage = "the bytes before it were overwritten (underrun)";
  if (!after) {
    if (!damage.empty()) damage += "; ";
    damage += "the bytes after it were overwritten (overrun past " + std::to_string(b.size) +
              " bytes)";
  }
  return damage;
}

// Finds the block p points into (not at its start), live or freed; caller
// holds the lock. Only reached for a pointer that is not a block's start.
const Block* ContainingBlock(PoolState& s, const void* p, const void** start) {
  auto addr = reinterpret_cast<const unsigned char*>(p);
  const Block* found = nullptr;
  auto test = [&](const Block& block) {
    auto begin = static_cast<const unsigned char*>(UserPointer(block));
    if (found == nullptr && addr > begin && addr < begin + block.size) found = &block;
  };
  for (const Block& block : s.records) {
    if (!block.gone) test(block);
  }
  if (found != nullptr) *start = UserPointer(*found);
  return found;
}

const Block* FindBlock(PoolState& s, const void* p) {
  uint32_t i = s.table.Find(p);
  return i == kNone ? nullptr : &s.records[i];
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
    std::lock_guard<kcore::SpinLock> lock(s.lock);
    const void* start = p;
    const Block* b = FindBlock(s, p);
    if (b == nullptr) b = ContainingBlock(s, p, &start);
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
  while (s.quarantineBytes > kQuarantineLimit && s.quarantineHead < s.quarantine.size()) {
    Block& b = s.records[s.quarantine[s.quarantineHead++]];
    s.quarantineBytes -= b.size;
    s.table.Erase(UserPointer(b));
    ReleaseChunk(s, b);
    b.gone = true;
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
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  ++s.allocationCalls;
  if (s.failNth > 0 && --s.failNth == 0) return nullptr;
  // The pool runs out: ExAllocatePoolWithTag returns NULL.
  if (tag != s.faultDetailTag) {
    SetTagText(s.faultDetail, tag);
    s.faultDetailTag = tag;
  }
  if (host::FaultDue(host::FaultKind::Pool, s.faultDetail)) return nullptr;
  for (ULONG t : s.failTags) {
    if (t == tag) return nullptr;
  }
  if (bytes > kLargestBlock) return nullptr;

  size_t chunkBytes = kGuard + bytes + kGuard;
  int c = ClassOf(chunkBytes);
  unsigned char* base = TakeChunk(s, c, chunkBytes);
  if (base == nullptr) return nullptr;
  std::memset(base, kcore::kGuardFill, kGuard);
  std::memset(base + kGuard, kcore::kAllocatedFill, bytes);
  std::memset(base + kGuard + bytes, kcore::kGuardFill, kGuard);
  if (c >= 0 && ClassBytes(c) > chunkBytes) Poison(base + chunkBytes, ClassBytes(c) - chunkBytes);
  auto i = static_cast<uint32_t>(s.records.size());
  s.records.push_back(Block{base, bytes, tag, type, false, c, false});
  void* p = base + kGuard;
  s.table.Insert(p, i);
  PoisonGuards(s.records[i]);
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
    std::lock_guard<kcore::SpinLock> lock(s.lock);
    uint32_t index = s.table.Find(p);
    if (index == kNone) {
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
    Block& b = s.records[index];
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
    if (!GuardsIntact(b)) {
      VerifierFail("pool.overrun",
                   std::string(routine) + ": " + Describe(p, b) + ": " + GuardDamage(b));
    }
    Unpoison(b.base, kGuard + b.size + kGuard);
    std::memset(b.base, kcore::kFreedFill, kGuard + b.size + kGuard);
    Poison(b.base, kGuard + b.size + kGuard);
    b.freed = true;
    info = b;
    s.quarantine.push_back(index);
    s.quarantineBytes += info.size;
    TrimQuarantine(s);
  }
  if (kcore::HeldFastMutexWithin(p, info.size)) {
    VerifierFail("sync.freed-while-held", std::string(routine) + ": " + Describe(p, info) +
                                              " freed while a fast mutex in it is held");
  }
}

}  // namespace

std::string TagText(ULONG tag) {
  std::string text(4, '.');
  SetTagText(text, tag);
  return text;
}

std::optional<PoolBlockInfo> PoolBlock(const void* p) {
  PoolState& s = State();
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  const Block* b = FindBlock(s, p);
  if (b == nullptr || b->freed) return std::nullopt;
  return PoolBlockInfo{b->size, b->tag, b->type};
}

size_t PoolOutstanding(ULONG tag) {
  PoolState& s = State();
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  size_t n = 0;
  ForEachLive(s, [&](const Block& b) {
    if (tag == 0 || b.tag == tag) ++n;
  });
  return n;
}

size_t PoolOutstandingBytes(ULONG tag) {
  PoolState& s = State();
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  size_t n = 0;
  ForEachLive(s, [&](const Block& b) {
    if (tag == 0 || b.tag == tag) n += b.size;
  });
  return n;
}

size_t PoolOutstandingOfType(POOL_TYPE type) {
  PoolState& s = State();
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  size_t n = 0;
  ForEachLive(s, [&](const Block& b) {
    if (BaseType(b.type) == BaseType(type)) ++n;
  });
  return n;
}

void FailPoolAllocationNth(int n) {
  PoolState& s = State();
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  s.failNth = n > 0 ? n : 0;
}

void FailPoolTag(ULONG tag) {
  PoolState& s = State();
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  s.failTags.push_back(tag);
}

void ClearPoolFaults() {
  PoolState& s = State();
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  s.failNth = 0;
  s.failTags.clear();
}

size_t PoolAllocationCount() {
  PoolState& s = State();
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  return s.allocationCalls;
}

namespace kcore {

void ResetPool() {
  PoolState& s = State();
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  for (const Block& b : s.records) {
    if (!b.gone) ReleaseChunk(s, b);
  }
  s.records.clear();
  s.table.Clear();
  s.quarantine.clear();
  s.quarantineHead = 0;
  s.quarantineBytes = 0;
  s.allocationCalls = 0;
  s.failNth = 0;
  s.failTags.clear();
}

void PoolEndChecks(std::vector<std::string>& out) {
  PoolState& s = State();
  std::lock_guard<kcore::SpinLock> lock(s.lock);
  ForEachLive(s, [&](const Block& b) {
    const void* p = UserPointer(b);
    out.push_back("pool.leak: " + Describe(p, b) + " was never freed");
    std::string damage = GuardDamage(b);
    if (!damage.empty()) out.push_back("pool.overrun: " + Describe(p, b) + ": " + damage);
  });
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
