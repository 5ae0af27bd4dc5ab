// I/O request packets: allocation, IofCallDriver, IofCompleteRequest with
// completion routines, synchronous FSD requests, power IRPs, and the
// verifier's request checks.
//
// Stack locations follow the IRP in memory. Location L (1..StackCount) is
// ((PIO_STACK_LOCATION)(irp + 1))[L - 1]; CurrentLocation == L means
// Tail.Overlay.CurrentStackLocation points at it. A fresh IRP has
// CurrentLocation = StackCount + 1, one past the last location.
//
// For each dispatch the stand-in remembers what the completion found at that
// location when it passed it (the status, whether it was marked pending), so
// the dispatch's return value can be checked even when the IRP has been
// completed (and perhaps freed) by the time the dispatch routine returns.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "host/faults.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "kcore_internal.h"
#include "spin_lock.h"

namespace host {
namespace {

constexpr CSHORT kIoTypeIrp = 6;

// One dispatch "incarnation" of a stack location: created by the first
// IofCallDriver that lands on the location, shared by further calls that land
// on it before completion passes (a driver that skipped its location), and
// closed when completion passes it.
struct LocationPass {
  PDEVICE_OBJECT device = nullptr;
  bool passed = false;
  bool markedPending = false;  // SL_PENDING_RETURNED when completion passed
  NTSTATUS status = 0;         // IoStatus.Status when completion passed
  bool returnedPending = false;
  bool pendingChecked = false;
};

enum class IrpState {
  Idle,        // allocated, not yet sent (or back with its sender)
  InDriver,    // sent; a driver owns it
  Completing,  // IofCompleteRequest is running completion routines
  Finished,    // completion ran past the last location
};

struct IrpRecord {
  PIRP irp = nullptr;
  unsigned char* memory = nullptr;
  size_t bytes = 0;
  // The record's own block for IoAllocateIrp, kept with the record when the
  // table is reset and handed to the next IRP that fits in it.
  unsigned char* owned = nullptr;
  size_t ownedBytes = 0;
  bool external = false;  // memory from the caller (IoInitializeIrp)
  bool threaded = false;  // IoBuildSynchronousFsdRequest
  bool apcQueued = false;  // finished; its completion APC has not run yet
  bool freed = false;
  bool freeDeferred = false;
  // Another record took over its address (IoInitializeIrp on the memory of
  // a freed IRP); counted and reported no more.
  bool superseded = false;
  IrpState state = IrpState::Idle;
  int completions = 0;       // IofCompleteRequest calls
  int completionDepth = 0;   // completion routines running
  std::vector<LocationPass*> locations;  // [L - 1]
  // Power IRP bookkeeping, per device that received the IRP.
  std::map<PDEVICE_OBJECT, int> powerReceived;
  std::map<PDEVICE_OBJECT, int> powerStarts;
  bool powerChecked = false;
  POWER_STATE_TYPE powerType = SystemPowerState;  // of IRP_MN_SET_POWER / QUERY_POWER
  // Buffered I/O of a synchronous FSD request.
  void* systemBuffer = nullptr;
  void* userBuffer = nullptr;
  size_t userLength = 0;
  bool copyBackOnCompletion = false;
  UCHAR major = 0;
  UCHAR minor = 0;
};

// The power manager's serialisation on Windows 2000/XP: a device has at most
// one IRP_MN_SET_POWER or IRP_MN_QUERY_POWER of each type (system, device)
// active; PoCallDriver holds back the next one until the device calls
// PoStartNextPowerIrp for the active one ("Calling PoStartNextPowerIrp").
using PowerKey = std::pair<PDEVICE_OBJECT, int>;
struct QueuedPower {
  PowerKey key;
  PIRP irp;
};

// IRP address -> record, open addressing with linear probing. Records stay
// until the table is reset, so nothing is ever removed; a reset clears it
// at once.
class IrpIndex {
 public:
  IrpRecord* Find(PIRP irp) const {
    if (slots_.empty()) return nullptr;
    for (size_t i = Hash(irp);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.irp == irp) return s.record;
      if (s.irp == nullptr) return nullptr;
    }
  }
  // Returns the record the address named before, if any (now replaced).
  IrpRecord* Insert(PIRP irp, IrpRecord* record) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    for (size_t i = Hash(irp);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.irp == irp) {
        IrpRecord* old = s.record;
        s.record = record;
        return old;
      }
      if (s.irp == nullptr) {
        s = Slot{irp, record};
        ++count_;
        return nullptr;
      }
    }
  }
  void Clear() {
    if (count_ == 0) return;
    std::fill(slots_.begin(), slots_.end(), Slot{});
    count_ = 0;
  }

 private:
  struct Slot {
    PIRP irp = nullptr;
    IrpRecord* record = nullptr;
  };
  size_t Hash(PIRP irp) const {
    auto v = reinterpret_cast<uintptr_t>(irp);
    v ^= v >> 17;
    v *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(v >> 20) & mask_;
  }
  void Place(PIRP irp, IrpRecord* record) {
    size_t i = Hash(irp);
    while (slots_[i].irp != nullptr) i = (i + 1) & mask_;
    slots_[i] = Slot{irp, record};
  }
  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.irp != nullptr) Place(s.irp, s.record);
    }
  }
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
};

struct IrpTable {
  // Held only for the table's own bookkeeping (and the findings it reports),
  // never across a dispatch or completion routine or a wait.
  kcore::SpinLock lock;
  // Every IRP of this run, kept after free until reset (so that a second
  // free or completion is recognised), in the order they were made; reports
  // walk them in address order (SortedIrps). Records, their blocks and the
  // location passes are reused after a reset instead of going back to the
  // heap: a life makes hundreds of IRPs.
  std::vector<std::unique_ptr<IrpRecord>> records;
  size_t used = 0;  // records[0, used) belong to this run
  IrpIndex index;
  std::vector<std::unique_ptr<LocationPass>> passes;  // stable addresses
  size_t passesUsed = 0;
  int failNth = 0;
  std::set<PowerKey> powerBusy;
  std::deque<QueuedPower> powerQueued;  // held back, in arrival order
  std::vector<QueuedPower> powerReady;  // released, to be delivered outside the lock
  std::atomic<size_t> powerReadyCount{0};  // powerReady.size(), read without the lock
  std::set<PDEVICE_OBJECT> pagableReported;
  std::function<void(std::function<void()>)> powerDelivery;

  ~IrpTable() {
    for (auto& r : records) std::free(r->owned);
  }

  // Caller holds the lock.
  IrpRecord* NewRecord(PIRP irp) {
    if (used == records.size()) records.push_back(std::make_unique<IrpRecord>());
    IrpRecord* r = records[used++].get();
    // A fresh record's fields, but the block (`owned`) and the location
    // list's storage are kept.
    IrpRecord fresh;
    fresh.owned = r->owned;
    fresh.ownedBytes = r->ownedBytes;
    fresh.locations = std::move(r->locations);
    fresh.locations.clear();
    *r = std::move(fresh);
    r->irp = irp;
    if (IrpRecord* old = index.Insert(irp, r)) old->superseded = true;
    return r;
  }
  // A fresh pass, valid until the table is reset. Caller holds the lock.
  LocationPass* NewPass() {
    if (passesUsed == passes.size()) passes.push_back(std::make_unique<LocationPass>());
    LocationPass* p = passes[passesUsed++].get();
    *p = LocationPass{};
    return p;
  }
};

// At namespace scope rather than a function's static: the table is asked
// for on every step of every request, and nothing uses it before main.
IrpTable g_table;
inline IrpTable& T() { return g_table; }

// The records that pass the filter, in IRP address order, so that reports
// come out the same way every run. Caller holds the lock.
template <typename Filter>
std::vector<IrpRecord*> SortedIrps(Filter keep) {
  std::vector<IrpRecord*> out;
  for (size_t i = 0; i < T().used; ++i) {
    if (keep(*T().records[i])) out.push_back(T().records[i].get());
  }
  std::sort(out.begin(), out.end(), [](const IrpRecord* a, const IrpRecord* b) {
    return std::less<PIRP>()(a->irp, b->irp);
  });
  return out;
}

bool SerialisedPower(UCHAR minor) {
  return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
}

// Releases the device's active request of that type and readies the next one
// held back for it. Caller holds the lock.
void ReleasePowerLocked(PowerKey key) {
  IrpTable& t = T();
  if (t.powerBusy.erase(key) == 0) return;
  for (auto it = t.powerQueued.begin(); it != t.powerQueued.end(); ++it) {
    if (it->key == key) {
      t.powerBusy.insert(key);
      t.powerReady.push_back(*it);
      t.powerReadyCount.store(t.powerReady.size(), std::memory_order_release);
      t.powerQueued.erase(it);
      return;
    }
  }
}

void PresentPowerIrp(PDEVICE_OBJECT device, PIRP irp);
void StartNextPowerIrp(PIRP irp);

// Delivers what ReleasePowerLocked readied, from a thread of the power
// manager (the driver that called PoStartNextPowerIrp may hold a lock).
void DeliverReadyPower() {
  // Whoever readies a request (under the lock) comes here afterwards, so a
  // count of zero seen without the lock leaves nothing of its own behind.
  if (T().powerReadyCount.load(std::memory_order_acquire) == 0) return;
  std::vector<QueuedPower> ready;
  std::function<void(std::function<void()>)> delivery;
  {
    std::lock_guard<host::kcore::SpinLock> lock(T().lock);
    ready.swap(T().powerReady);
    T().powerReadyCount.store(0, std::memory_order_release);
    delivery = T().powerDelivery;
  }
  for (const QueuedPower& q : ready) {
    std::function<void()> job = [q] { PresentPowerIrp(q.key.first, q.irp); };
    if (delivery)
      delivery(std::move(job));
    else
      std::thread(std::move(job)).detach();
  }
}

thread_local bool t_inPoCallDriver = false;
thread_local bool t_presentingHeldPower = false;

PIO_STACK_LOCATION Location(PIRP irp, int l) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (l - 1);
}

// Caller holds the lock.
IrpRecord* Find(PIRP irp) { return T().index.Find(irp); }

std::string IrpText(const IrpRecord& r) {
  return "IRP " + kcore::PointerText(r.irp) + " (" + kcore::IrpFunctionText(r.major, r.minor) + ")";
}

void SetUpIrp(PIRP irp, USHORT size, CCHAR stackSize) {
  std::memset(irp, 0, size);
  irp->Type = kIoTypeIrp;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->ApcEnvironment = 0;
  irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
  irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

void ResetRecordForUse(IrpRecord& r, CCHAR stackSize) {
  r.state = IrpState::Idle;
  r.completions = 0;
  r.completionDepth = 0;
  r.locations.assign(stackSize > 0 ? stackSize : 0, nullptr);  // keeps its capacity
  r.powerReceived.clear();
  r.powerStarts.clear();
  r.powerChecked = false;
  r.apcQueued = false;
}

PIRP AllocateIrp(CCHAR stackSize, bool injectFaults, bool threaded) {
  if (stackSize < 1) {
    VerifierFail("ddi.invalid-parameter",
                 "IoAllocateIrp with StackSize " + std::to_string(stackSize));
    return nullptr;
  }
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  if (injectFaults && T().failNth > 0 && --T().failNth == 0) return nullptr;
  // No memory for the IRP: IoAllocateIrp and IoBuildSynchronousFsdRequest return NULL.
  if (injectFaults && host::FaultDue(host::FaultKind::Irp)) return nullptr;
  USHORT size = IoSizeOfIrp(stackSize);
  // The next record's block is reused when the IRP fits in it. Blocks are
  // kept until the table is reset, so an address names one IRP per run.
  IrpTable& t = T();
  IrpRecord* spare = t.used < t.records.size() ? t.records[t.used].get() : nullptr;
  unsigned char* memory;
  size_t capacity;
  if (spare != nullptr && spare->owned != nullptr && spare->ownedBytes >= size) {
    memory = spare->owned;
    capacity = spare->ownedBytes;
  } else {
    memory = static_cast<unsigned char*>(std::malloc(size));
    if (memory == nullptr) return nullptr;
    capacity = size;
    if (spare != nullptr) {
      std::free(spare->owned);
      spare->owned = nullptr;
      spare->ownedBytes = 0;
    }
  }
  auto irp = reinterpret_cast<PIRP>(memory);
  SetUpIrp(irp, size, stackSize);
  IrpRecord* rec = t.NewRecord(irp);
  rec->owned = memory;
  rec->ownedBytes = capacity;
  rec->memory = memory;
  rec->bytes = size;
  rec->threaded = threaded;
  ResetRecordForUse(*rec, stackSize);
  return irp;
}

// Caller holds the lock; the IRP's memory is filled and kept until reset.
void ReleaseIrpMemoryLocked(IrpRecord& r) {
  if (r.systemBuffer != nullptr) {
    std::free(r.systemBuffer);
    r.systemBuffer = nullptr;
  }
  if (!r.external) std::memset(r.memory, kcore::kFreedFill, r.bytes);
  r.freed = true;
  r.freeDeferred = false;
}

// The power manager's rule: every device that received a power IRP calls
// PoStartNextPowerIrp for it exactly once (at most once for the minor
// functions that do not require it). Caller holds the lock.
void CheckPowerStartsLocked(IrpRecord& r) {
  if (r.powerChecked || r.major != IRP_MJ_POWER) return;
  r.powerChecked = true;
  bool required = r.minor == IRP_MN_SET_POWER || r.minor == IRP_MN_QUERY_POWER;
  for (auto& [dev, received] : r.powerReceived) {
    (void)received;
    int calls = r.powerStarts.count(dev) ? r.powerStarts[dev] : 0;
    if (required && calls == 0) ReleasePowerLocked({dev, r.powerType});  // so nothing waits forever
    if ((required && calls != 1) || calls > 1) {
      VerifierFail("power.start-next-count", kcore::DeviceText(dev) + " handled " + IrpText(r) +
                                                 " and called PoStartNextPowerIrp " +
                                                 std::to_string(calls) +
                                                 " time(s) for it (must be exactly once)");
    }
  }
  for (auto& [dev, calls] : r.powerStarts) {
    if (r.powerReceived.count(dev) == 0) {
      VerifierFail(
          "power.start-next-count",
          "PoStartNextPowerIrp was called " + std::to_string(calls) + " time(s) for " + IrpText(r) +
              " on behalf of " + (dev ? kcore::DeviceText(dev) : std::string("no device")) +
              ", which never received it (called after the stack location was passed on?)");
    }
  }
}

// The I/O manager's completion APC of a threaded IRP, run in the thread
// that built it: returns the status to the IO_STATUS_BLOCK, copies buffered
// input back, signals the event and frees the IRP.
void CompleteThreadedIrp(PIRP irp) {
  PKEVENT event = nullptr;
  {
    std::lock_guard<host::kcore::SpinLock> lock(T().lock);
    IrpRecord* r = Find(irp);
    if (r == nullptr || r->freed || !r->apcQueued) return;
    r->apcQueued = false;
    if (r->copyBackOnCompletion && r->systemBuffer != nullptr && NT_SUCCESS(irp->IoStatus.Status)) {
      size_t n =
          irp->IoStatus.Information < r->userLength ? irp->IoStatus.Information : r->userLength;
      std::memcpy(r->userBuffer, r->systemBuffer, n);
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    event = irp->UserEvent;
    if (r->completionDepth > 0)
      r->freeDeferred = true;
    else
      ReleaseIrpMemoryLocked(*r);
  }
  if (event != nullptr) kcore::SignalEventFromIoManager(event);
}

// What happens when completion runs past the sender: a threaded IRP is
// finished by an APC to its thread (see irql.cpp for when that runs).
void FinishIrp(PIRP irp) {
  PVOID thread;
  PKEVENT event;
  {
    std::lock_guard<host::kcore::SpinLock> lock(T().lock);
    IrpRecord* r = Find(irp);
    if (r == nullptr) return;
    r->state = IrpState::Finished;
    CheckPowerStartsLocked(*r);
    if (!r->threaded) {
      VerifierFail(
          "io.completed-past-sender",
          IrpText(*r) +
              " from IoAllocateIrp completed past its sender, which has no thread to return it "
              "to (the sender's completion routine must return STATUS_MORE_PROCESSING_REQUIRED)");
      return;
    }
    r->apcQueued = true;
    thread = irp->Tail.Overlay.Thread;
    event = irp->UserEvent;
  }
  DeliverReadyPower();
  kcore::QueueKernelApc(thread, event, [irp] { CompleteThreadedIrp(irp); });
}

NTSTATUS NTAPI SendAsyncDone(PDEVICE_OBJECT, PIRP irp, PVOID context);

struct AsyncContext {
  std::function<void(const IO_STATUS_BLOCK&)> done;
};

NTSTATUS NTAPI SendAsyncDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto ctx = static_cast<AsyncContext*>(context);
  IO_STATUS_BLOCK iosb = irp->IoStatus;
  IoFreeIrp(irp);
  if (ctx->done) ctx->done(iosb);
  delete ctx;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

bool IrpCompleted(PIRP irp) {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  IrpRecord* r = Find(irp);
  return r != nullptr && r->completions > 0;
}

bool IrpAlive(PIRP irp) {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  IrpRecord* r = Find(irp);
  return r != nullptr && !r->freed;
}

size_t OutstandingIrps() {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  size_t n = 0;
  for (size_t i = 0; i < T().used; ++i) {
    const IrpRecord& r = *T().records[i];
    if (!r.freed && !r.external && !r.superseded) ++n;
  }
  return n;
}

size_t IrpAllocationCount() {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  size_t n = 0;
  for (size_t i = 0; i < T().used; ++i) {
    if (!T().records[i]->external && !T().records[i]->superseded) ++n;
  }
  return n;
}

void FailIrpAllocationNth(int n) {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  T().failNth = n > 0 ? n : 0;
}

IrpResult SendIrpAndWait(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                         const std::function<void(PIO_STACK_LOCATION)>& fill,
                         NTSTATUS initialStatus) {
  IrpResult result{};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = AllocateIrp(target->StackSize, false, true);
  if (irp == nullptr) {
    result.returned = result.iosb.Status = STATUS_INSUFFICIENT_RESOURCES;
    return result;
  }
  irp->UserIosb = &result.iosb;
  irp->UserEvent = &event;
  irp->Tail.Overlay.Thread = kcore::ThreadToken();
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = initialStatus;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->MinorFunction = minor;
  if (fill) fill(sp);
  result.returned = major == IRP_MJ_POWER ? PoCallDriver(target, irp) : IofCallDriver(target, irp);
  if (result.returned == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  return result;
}

NTSTATUS SendIrpAsync(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                      const std::function<void(PIO_STACK_LOCATION)>& fill, NTSTATUS initialStatus,
                      std::function<void(const IO_STATUS_BLOCK&)> done, PIRP* sent) {
  PIRP irp = AllocateIrp(static_cast<CCHAR>(target->StackSize + 1), false, false);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // The sender's own location.
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  irp->IoStatus.Status = initialStatus;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->MinorFunction = minor;
  if (fill) fill(sp);
  IoSetCompletionRoutine(irp, SendAsyncDone, new AsyncContext{std::move(done)}, TRUE, TRUE, TRUE);
  if (sent != nullptr) *sent = irp;
  return major == IRP_MJ_POWER ? PoCallDriver(target, irp) : IofCallDriver(target, irp);
}

namespace kcore {

bool ConsumeIrpAllocationFault() {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  if (T().failNth > 0 && --T().failNth == 0) return true;
  return host::FaultDue(host::FaultKind::Irp);
}

PIRP AllocateIrpUnchecked(CCHAR stackSize) { return AllocateIrp(stackSize, false, false); }

void ResetIrps() {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  IrpTable& t = T();
  // The records and their blocks stay for the next run; what the IRPs
  // pointed at goes.
  for (size_t i = 0; i < t.used; ++i) {
    IrpRecord& r = *t.records[i];
    if (r.systemBuffer != nullptr) std::free(r.systemBuffer);
    r.systemBuffer = nullptr;
    r.powerReceived.clear();
    r.powerStarts.clear();
  }
  t.used = 0;
  t.index.Clear();
  t.passesUsed = 0;
  T().failNth = 0;
  T().powerBusy.clear();
  T().powerQueued.clear();
  T().powerReady.clear();
  T().powerReadyCount.store(0, std::memory_order_release);
  T().pagableReported.clear();
}

void ForgetPowerDevice(PDEVICE_OBJECT device) {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  for (auto it = T().powerBusy.begin(); it != T().powerBusy.end();) {
    it = it->first == device ? T().powerBusy.erase(it) : std::next(it);
  }
  T().pagableReported.erase(device);
}

void IrpEndChecks(std::vector<std::string>& out) {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  for (IrpRecord* r : SortedIrps([](const IrpRecord& r) { return !r.freed && !r.external && !r.superseded; })) {
    std::string state;
    switch (r->state) {
      case IrpState::Idle: state = "never sent or back with its sender"; break;
      case IrpState::InDriver: state = "still held by a driver"; break;
      case IrpState::Completing: state = "still completing"; break;
      case IrpState::Finished: state = "completed"; break;
    }
    out.push_back("io.irp-leak: " + IrpText(*r) + " was never freed (" + state + ")");
  }
}

}  // namespace kcore
}  // namespace host

using host::Find;
using host::T;

namespace {

// IofCompleteRequest calls still running, so that a test does not tear the
// kernel down under a completion that another thread is finishing.
// The count is atomic. A waiter registers under the lock before it checks
// the count; the call that brings the count to zero then sees the waiter
// (both sequentially consistent) and wakes it under the lock, so a waiter
// cannot miss the wake-up, and without a waiter nobody takes the lock.
std::mutex g_inFlightLock;
std::condition_variable g_inFlightDone;
std::atomic<int> g_inFlight{0};
std::atomic<int> g_inFlightWaiters{0};

void CompleteRequest(PIRP Irp, CCHAR PriorityBoost);

}  // namespace

namespace host {

bool WaitForCompletionsInFlight(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(g_inFlightLock);
  g_inFlightWaiters.fetch_add(1);
  bool done = g_inFlightDone.wait_for(lock, limit, [] { return g_inFlight.load() == 0; });
  g_inFlightWaiters.fetch_sub(1);
  return done;
}

}  // namespace host

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  if (host::kcore::Irql() > DISPATCH_LEVEL) {
    host::VerifierFail("irql.ddi-call",
                       "IoAllocateIrp at IRQL " + std::to_string(host::kcore::Irql()));
  }
  return host::AllocateIrp(StackSize, true, false);
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  if (PacketSize < IoSizeOfIrp(StackSize)) {
    host::VerifierFail("ddi.invalid-parameter",
                       "IoInitializeIrp with PacketSize " + std::to_string(PacketSize) +
                           ", too small for " + std::to_string(StackSize) + " stack locations");
    return;
  }
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  host::IrpRecord* r = Find(Irp);
  if (r != nullptr && !r->freed) {
    if (r->state == host::IrpState::InDriver || r->state == host::IrpState::Completing) {
      host::VerifierFail("io.initialize-irp-in-use", "IoInitializeIrp on " + host::IrpText(*r) +
                                                         ", which a driver still holds");
    }
    host::SetUpIrp(Irp, PacketSize, StackSize);
    host::ResetRecordForUse(*r, StackSize);
    return;
  }
  host::SetUpIrp(Irp, PacketSize, StackSize);
  host::IrpRecord* rec = T().NewRecord(Irp);
  rec->memory = reinterpret_cast<unsigned char*>(Irp);
  rec->bytes = PacketSize;
  rec->external = true;
  host::ResetRecordForUse(*rec, StackSize);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  using namespace host;
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  IrpRecord* r = Find(Irp);
  if (r == nullptr) {
    VerifierFail("io.not-an-irp",
                 "IoFreeIrp of " + kcore::PointerText(Irp) + ", which is not an IRP");
    return;
  }
  if (r->freed || r->freeDeferred || r->apcQueued) {
    VerifierFail("io.free-threaded-irp",
                 r->threaded ? "IoFreeIrp of " + IrpText(*r) +
                                   ", built by IoBuildSynchronousFsdRequest: the I/O manager "
                                   "already freed it when it completed (double free)"
                             : "IoFreeIrp of " + IrpText(*r) + ", which was already freed");
    return;
  }
  if (r->external) {
    VerifierFail("io.not-an-irp", "IoFreeIrp of " + IrpText(*r) +
                                      ", whose memory was not allocated by IoAllocateIrp");
    return;
  }
  bool insideCompletion = r->completionDepth > 0;
  if (r->state == IrpState::InDriver && !insideCompletion) {
    VerifierFail("io.free-in-use",
                 "IoFreeIrp of " + IrpText(*r) + " while a driver still holds it");
  }
  if (insideCompletion) r->freeDeferred = true;  // released when the routine returns
  else ReleaseIrpMemoryLocked(*r);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  using namespace host;
  bool viaPoCallDriver = t_inPoCallDriver;
  t_inPoCallDriver = false;
  bool heldPower = t_presentingHeldPower;
  t_presentingHeldPower = false;
  KIRQL irql = kcore::Irql();
  if (irql > DISPATCH_LEVEL)
    VerifierFail("irql.call-driver", "IoCallDriver at IRQL " + std::to_string(irql));

  LocationPass* pass;  // valid until the table is reset
  PDRIVER_DISPATCH dispatch;
  int location;
  UCHAR dispatchMajor, dispatchMinor;
  {
    std::lock_guard<host::kcore::SpinLock> lock(T().lock);
    IrpRecord* r = Find(Irp);
    if (r == nullptr || r->freed || r->freeDeferred) {
      VerifierFail("io.not-an-irp", "IoCallDriver to " + kcore::DeviceText(DeviceObject) +
                                        " with " + kcore::PointerText(Irp) + ", which is " +
                                        (r ? "a freed IRP" : "not an IRP"));
      return STATUS_INVALID_PARAMETER;
    }
    if (r->state == IrpState::Finished || (r->state == IrpState::Completing && r->completionDepth == 0)) {
      VerifierFail("io.call-completed", "IoCallDriver to " + kcore::DeviceText(DeviceObject) +
                                            " with " + IrpText(*r) +
                                            ", which was already completed");
      return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
      VerifierFail("io.no-stack-location",
                   "IoCallDriver to " + kcore::DeviceText(DeviceObject) + " with " + IrpText(*r) +
                       ", whose current stack location is past the end (CurrentLocation " +
                       std::to_string(Irp->CurrentLocation) + ")");
      return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
      VerifierFail("io.no-stack-location",
                   "IoCallDriver to " + kcore::DeviceText(DeviceObject) + " with " + IrpText(*r) +
                       ": no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
      return STATUS_INVALID_PARAMETER;
    }
    if (r->state == IrpState::Idle && Location(Irp, Irp->CurrentLocation - 1)->MajorFunction == IRP_MJ_PNP &&
        Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
      VerifierFail("io.pnp-initial-status",
                   IrpText(*r) + " sent to " + kcore::DeviceText(DeviceObject) +
                       " with IoStatus.Status " + kcore::StatusText(Irp->IoStatus.Status) +
                       " (a Plug and Play request must start with STATUS_NOT_SUPPORTED)");
    }
    if (r->state == IrpState::Idle &&
        Location(Irp, Irp->CurrentLocation - 1)->MajorFunction == IRP_MJ_POWER &&
        Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
      VerifierFail("io.power-initial-status",
                   IrpText(*r) + " sent to " + kcore::DeviceText(DeviceObject) +
                       " with IoStatus.Status " + kcore::StatusText(Irp->IoStatus.Status) +
                       " (a power request must start with STATUS_NOT_SUPPORTED)");
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    location = Irp->CurrentLocation;
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    r->major = sp->MajorFunction;
    r->minor = sp->MinorFunction;
    if (sp->MajorFunction == IRP_MJ_POWER) {
      if (!viaPoCallDriver) {
        VerifierFail("power.io-call-driver",
                     IrpText(*r) + " sent to " + kcore::DeviceText(DeviceObject) +
                         " with IoCallDriver (power IRPs go through PoCallDriver)");
      }
      ++r->powerReceived[DeviceObject];
      if (SerialisedPower(sp->MinorFunction)) r->powerType = sp->Parameters.Power.Type;
    }
    if (static_cast<size_t>(location) > r->locations.size()) r->locations.resize(location);
    auto& slot = r->locations[location - 1];
    if (!slot || slot->passed) slot = T().NewPass();
    slot->device = DeviceObject;
    pass = slot;
    r->state = IrpState::InDriver;
    dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    dispatchMajor = sp->MajorFunction;
    dispatchMinor = sp->MinorFunction;
  }

  NTSTATUS status;
  {
    host::DriverScope scope(DeviceObject->DriverObject);
    status = dispatch(DeviceObject, Irp);
  }
  if (kcore::Irql() != irql) {
    // I/O verification checks the IRQL around every dispatch routine; the
    // stand-in puts it back so the caller can go on.
    VerifierFail("io.irql-changed", kcore::DeviceText(DeviceObject) + " returned from its " +
                                        kcore::IrpFunctionText(dispatchMajor, dispatchMinor) +
                                        " dispatch routine at IRQL " +
                                        std::to_string(kcore::Irql()) + ", called at IRQL " +
                                        std::to_string(irql));
    kcore::SetIrql(irql);
  }

  if (heldPower) return status;  // the power manager's own delivery: nobody waits for the result
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  IrpRecord* r = Find(Irp);
  // Built only for a finding: formatting it on every call costs more than
  // the call itself.
  auto who = [&]() {
    return kcore::DeviceText(DeviceObject) + " returned " + kcore::StatusText(status) + " for " +
           (r ? IrpText(*r) : kcore::PointerText(Irp));
  };
  if (status == STATUS_PENDING) {
    if (pass->passed) {
      if (!pass->markedPending && !pass->pendingChecked) {
        pass->pendingChecked = true;
        VerifierFail("io.pending-not-marked",
                     who() + " without marking it pending (IoMarkIrpPending)");
      }
    } else if (r != nullptr && !r->freed &&
               (host::Location(Irp, location)->Control & SL_PENDING_RETURNED)) {
      // Marked; nothing to check when completion passes.
    } else {
      pass->returnedPending = true;  // checked when completion passes
    }
  } else if (!pass->passed) {
    VerifierFail("io.dispatch-lost-irp",
                 who() + " but neither completed the IRP nor marked it pending");
  } else {
    if (pass->markedPending) {
      VerifierFail("io.marked-not-pending",
                   who() + " after marking it pending (must return STATUS_PENDING)");
    }
    if (pass->status != status) {
      VerifierFail("io.status-mismatch", who() + " but completed it with IoStatus.Status " +
                                             kcore::StatusText(pass->status));
    }
  }
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  g_inFlight.fetch_add(1);
  CompleteRequest(Irp, PriorityBoost);
  if (g_inFlight.fetch_sub(1) == 1 && g_inFlightWaiters.load() > 0) {
    std::lock_guard<std::mutex> lock(g_inFlightLock);
    g_inFlightDone.notify_all();
  }
}

}  // extern "C"

namespace {

void CompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  using namespace host;
  (void)PriorityBoost;
  KIRQL irql = kcore::Irql();
  if (irql > DISPATCH_LEVEL)
    VerifierFail("irql.complete-request", "IoCompleteRequest at IRQL " + std::to_string(irql));
  int generation;
  {
    std::lock_guard<host::kcore::SpinLock> lock(T().lock);
    IrpRecord* r = Find(Irp);
    if (r == nullptr) {
      VerifierFail("io.not-an-irp",
                   "IoCompleteRequest of " + kcore::PointerText(Irp) + ", which is not an IRP");
      return;
    }
    if (r->freed || r->freeDeferred) {
      VerifierFail("io.complete-twice", "IoCompleteRequest of " + IrpText(*r) +
                                            ", which was already completed and freed "
                                            "(completed twice?)");
      return;
    }
    if (r->state == IrpState::Finished) {
      VerifierFail("io.complete-twice",
                   IrpText(*r) + " completed twice (MULTIPLE_IRP_COMPLETE_REQUESTS)");
      return;
    }
    if (r->state == IrpState::Completing && r->completionDepth == 0) {
      VerifierFail("io.complete-twice",
                   IrpText(*r) + " completed again while its completion is still running");
      return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
      VerifierFail("io.complete-not-owned", "IoCompleteRequest of " + IrpText(*r) +
                                                ", which no driver holds (it was never "
                                                "sent, or is back with its sender)");
      return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
      VerifierFail("io.complete-pending",
                   IrpText(*r) + " completed with IoStatus.Status STATUS_PENDING");
    }
    if (Irp->CancelRoutine != nullptr) {
      VerifierFail("io.complete-cancel-set", IrpText(*r) +
                                                 " completed with its cancel routine still set "
                                                 "(CANCEL_STATE_IN_COMPLETED_IRP)");
    }
    r->state = IrpState::Completing;
    generation = ++r->completions;
  }

  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
  for (; Irp->CurrentLocation <= Irp->StackCount + 1;
       ++sp, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
    int l = Irp->CurrentLocation - 1;  // the location being passed
    PIO_COMPLETION_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    PDEVICE_OBJECT routineDevice = nullptr;
    {
      std::lock_guard<host::kcore::SpinLock> lock(T().lock);
      IrpRecord* r = Find(Irp);
      Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
      LocationPass* pass = r->locations[l - 1];
      if (pass && !pass->passed) {
        pass->passed = true;
        pass->markedPending = Irp->PendingReturned;
        pass->status = Irp->IoStatus.Status;
        if (pass->returnedPending && !pass->markedPending && !pass->pendingChecked) {
          pass->pendingChecked = true;
          VerifierFail("io.pending-not-marked",
                       kcore::DeviceText(pass->device) + " returned STATUS_PENDING for " +
                           IrpText(*r) + " without marking it pending (IoMarkIrpPending)");
        }
      }
      NTSTATUS st = Irp->IoStatus.Status;
      bool invoke = (NT_SUCCESS(st) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                    (!NT_SUCCESS(st) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                    (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
      // The routine in location l belongs to whoever owns location l + 1. When
      // no driver was dispatched there, the devices are all done with the IRP.
      bool ownerIsDevice = l + 1 <= Irp->StackCount && r->locations[l] && !r->locations[l]->passed;
      if (!ownerIsDevice) CheckPowerStartsLocked(*r);
      if (invoke && sp->CompletionRoutine != nullptr) {
        routine = sp->CompletionRoutine;
        context = sp->Context;
        routineDevice = Irp->CurrentLocation == Irp->StackCount + 1
                            ? nullptr
                            : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        ++r->completionDepth;
      } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
        IoMarkIrpPending(Irp);
      }
      // Clear the location the completion leaves behind.
      sp->MinorFunction = 0;
      sp->Flags = 0;
      sp->Control = 0;
      sp->Parameters.Others.Argument1 = nullptr;
      sp->Parameters.Others.Argument2 = nullptr;
      sp->Parameters.Others.Argument3 = nullptr;
      sp->Parameters.Others.Argument4 = nullptr;
      sp->FileObject = nullptr;
    }
    DeliverReadyPower();
    if (routine == nullptr) continue;

    KIRQL before = kcore::Irql();
    if (before >= DISPATCH_LEVEL) {  // paged memory is a fault only from there
      kcore::CheckResidentAtIrql(
          context, "the context of a completion routine run for " + kcore::PointerText(Irp) + ",");
    }
    NTSTATUS result = routine(routineDevice, Irp, context);
    if (kcore::Irql() != before) {
      VerifierFail(
          "io.completion-irql-changed",
          "the completion routine of " +
              (routineDevice ? kcore::DeviceText(routineDevice) : std::string("the sender")) +
              " returned at IRQL " + std::to_string(kcore::Irql()) + ", called at IRQL " +
              std::to_string(before));
      kcore::SetIrql(before);
    }

    std::lock_guard<host::kcore::SpinLock> lock(T().lock);
    IrpRecord* r = Find(Irp);
    --r->completionDepth;
    if (r->freeDeferred && r->completionDepth == 0 && r->state != IrpState::Finished) {
      if (result != STATUS_MORE_PROCESSING_REQUIRED) {
        VerifierFail("io.completion-freed-irp",
                     IrpText(*r) + " was freed in a completion routine that returned " +
                         kcore::StatusText(result) + " instead of STATUS_MORE_PROCESSING_REQUIRED");
      }
      ReleaseIrpMemoryLocked(*r);
      return;
    }
    if (r->freeDeferred && r->completionDepth == 0) {
      // A threaded IRP finished inside the routine (completed again there).
      ReleaseIrpMemoryLocked(*r);
      if (result != STATUS_MORE_PROCESSING_REQUIRED) {
        VerifierFail("io.complete-twice",
                     IrpText(*r) +
                         " was completed inside a completion routine that then returned " +
                         kcore::StatusText(result) + " (completed twice)");
      }
      return;
    }
    if (r->completions != generation) {
      // The routine completed the IRP again itself.
      if (result != STATUS_MORE_PROCESSING_REQUIRED) {
        VerifierFail("io.complete-twice",
                     IrpText(*r) +
                         " was completed inside a completion routine that then returned " +
                         kcore::StatusText(result) + " (completed twice)");
      }
      return;
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
      // Completion stops here; the IRP belongs to the routine's owner again
      // (unless the routine already sent it on).
      if (r->state == IrpState::Completing) {
        r->state = Irp->CurrentLocation > Irp->StackCount ? IrpState::Idle : IrpState::InDriver;
      }
      return;
    }
  }
  host::FinishIrp(Irp);
}

}  // namespace

extern "C" {

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                        PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  using namespace host;
  // The reference page: callers must be running at PASSIVE_LEVEL (the
  // request is finished by an APC to the calling thread).
  if (kcore::Irql() != PASSIVE_LEVEL) {
    VerifierFail("irql.ddi-call", "IoBuildSynchronousFsdRequest at IRQL " +
                                      std::to_string(kcore::Irql()) + " (must be PASSIVE_LEVEL)");
  }
  if (kcore::ConsumeIrpAllocationFault()) return nullptr;
  PIRP irp = AllocateIrp(DeviceObject->StackSize, false, true);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = static_cast<UCHAR>(MajorFunction);
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Tail.Overlay.Thread = kcore::ThreadToken();
  irp->RequestorMode = KernelMode;
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    std::lock_guard<host::kcore::SpinLock> lock(T().lock);
    IrpRecord* r = Find(irp);
    if (DeviceObject->Flags & DO_BUFFERED_IO) {
      r->systemBuffer = std::malloc(Length ? Length : 1);
      if (MajorFunction == IRP_MJ_WRITE && Buffer != nullptr) std::memcpy(r->systemBuffer, Buffer, Length);
      else r->copyBackOnCompletion = true;
      r->userBuffer = Buffer;
      r->userLength = Length;
      irp->AssociatedIrp.SystemBuffer = r->systemBuffer;
    }
    irp->UserBuffer = Buffer;
    sp->Parameters.Read.Length = Length;
    if (StartingOffset != nullptr) sp->Parameters.Read.ByteOffset = *StartingOffset;
  }
  return irp;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  using namespace host;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  if (next->MajorFunction != IRP_MJ_POWER) {
    VerifierFail("ddi.invalid-parameter",
                 "PoCallDriver with " +
                     kcore::IrpFunctionText(next->MajorFunction, next->MinorFunction) +
                     ", which is not a power IRP");
  }
  KIRQL irql = kcore::Irql();
  if ((DeviceObject->Flags & DO_POWER_PAGABLE) && irql != PASSIVE_LEVEL) {
    VerifierFail("power.pagable-irql",
                 "PoCallDriver of " +
                     kcore::IrpFunctionText(next->MajorFunction, next->MinorFunction) + " to " +
                     kcore::DeviceText(DeviceObject) + ", which has DO_POWER_PAGABLE, at IRQL " +
                     std::to_string(irql) + " (must be PASSIVE_LEVEL)");
  }
  // Windows 2000/XP: every device object of a stack has the same
  // DO_POWER_PAGABLE setting ("Setting Device Object Flags for Power
  // Management"); 0xC9/0x23F for a device that did not take it from the
  // stack it attached to. Reported once per device.
  PDEVICE_OBJECT lower = AttachedTo(DeviceObject);
  if (lower != nullptr && ((lower->Flags ^ DeviceObject->Flags) & DO_POWER_PAGABLE)) {
    bool first;
    {
      std::lock_guard<host::kcore::SpinLock> lock(T().lock);
      first = T().pagableReported.insert(DeviceObject).second;
    }
    if (first) {
      VerifierFail("power.pagable-mismatch",
                   kcore::DeviceText(DeviceObject) +
                       ((DeviceObject->Flags & DO_POWER_PAGABLE) ? " has" : " lacks") +
                       " DO_POWER_PAGABLE, which " + kcore::DeviceText(lower) + " below it " +
                       ((lower->Flags & DO_POWER_PAGABLE) ? "has" : "lacks"));
    }
  }
  if (SerialisedPower(next->MinorFunction)) {
    PowerKey key{DeviceObject, next->Parameters.Power.Type};
    std::lock_guard<host::kcore::SpinLock> lock(T().lock);
    if (!T().powerBusy.insert(key).second) {
      // Held back until the device starts its next power IRP; the caller
      // sees STATUS_PENDING, and the location the device will get is marked
      // pending now so that completion carries the mark up to the caller.
      T().powerQueued.push_back({key, Irp});
      next->Control |= SL_PENDING_RETURNED;  // so completion carries the pending mark up
      IrpRecord* r = Find(Irp);
      if (r != nullptr && r->state == IrpState::Idle && Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        VerifierFail("io.power-initial-status",
                     IrpText(*r) + " sent to " + kcore::DeviceText(DeviceObject) +
                         " with IoStatus.Status " + kcore::StatusText(Irp->IoStatus.Status) +
                         " (a power request must start with STATUS_NOT_SUPPORTED)");
      }
      if (r != nullptr) r->state = IrpState::InDriver;
      return STATUS_PENDING;
    }
  }
  t_inPoCallDriver = true;
  return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  using namespace host;
  if (kcore::Irql() > DISPATCH_LEVEL) {
    VerifierFail("irql.ddi-call", "PoStartNextPowerIrp at IRQL " + std::to_string(kcore::Irql()));
  }
  StartNextPowerIrp(Irp);
  DeliverReadyPower();
}

}  // extern "C"

namespace host {
namespace {

void StartNextPowerIrp(PIRP Irp) {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  IrpRecord* r = Find(Irp);
  if (r == nullptr || r->freed) {
    VerifierFail("io.not-an-irp", "PoStartNextPowerIrp of " + kcore::PointerText(Irp) +
                                      ", which is " + (r ? "a freed IRP" : "not an IRP"));
    return;
  }
  if (Irp->CurrentLocation > Irp->StackCount) {
    VerifierFail("ddi.invalid-parameter",
                 "PoStartNextPowerIrp of " + IrpText(*r) + " with no current stack location");
    return;
  }
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  if (sp->MajorFunction != IRP_MJ_POWER && r->major != IRP_MJ_POWER) {
    VerifierFail("ddi.invalid-parameter",
                 "PoStartNextPowerIrp of " + IrpText(*r) + ", which is not a power IRP");
    return;
  }
  ++r->powerStarts[sp->DeviceObject];
  if (SerialisedPower(sp->MinorFunction)) {
    ReleasePowerLocked({sp->DeviceObject, sp->Parameters.Power.Type});
  }
}

// A request PoCallDriver held back, now given to its device by the power
// manager. What the dispatch routine returns goes to nobody.
void PresentPowerIrp(PDEVICE_OBJECT device, PIRP irp) {
  t_presentingHeldPower = true;
  t_inPoCallDriver = true;
  IofCallDriver(device, irp);
}

}  // namespace

void SetPowerDelivery(std::function<void(std::function<void()>)> post) {
  std::lock_guard<host::kcore::SpinLock> lock(T().lock);
  T().powerDelivery = std::move(post);
}

}  // namespace host
