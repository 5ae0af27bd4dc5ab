// Dispatcher objects (notification and synchronization events) and fast
// mutexes. Waiting threads really block: every dispatcher state change
// happens under one lock and wakes all waiters, who re-check their object.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "host/kernel.h"
#include "host/verifier.h"
#include "kcore_internal.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kDefaultSafetyLimit(30000);

struct Dispatcher {
  std::mutex lock;
  std::condition_variable changed;
  std::chrono::milliseconds safetyLimit = kDefaultSafetyLimit;
  std::map<PFAST_MUTEX, PVOID> heldMutexes;  // mutex -> owning thread
  std::atomic<size_t> heldCount{0};          // heldMutexes.size(), read without the lock
};

// At namespace scope: every event call asks for it.
Dispatcher g_dispatcher;
inline Dispatcher& D() { return g_dispatcher; }

constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);

bool ValidEvent(PRKEVENT event, const char* routine) {
  // Only at DISPATCH_LEVEL and above can paged memory be a fault; the text
  // is not built below it.
  if (kcore::Irql() >= DISPATCH_LEVEL)
    kcore::CheckResidentAtIrql(event, std::string(routine) + ": event");
  if (event == nullptr) {
    VerifierFail("ddi.invalid-parameter", std::string(routine) + "(NULL)");
    return false;
  }
  if (event->Header.Type > SynchronizationEvent || event->Header.Size != kEventSize) {
    VerifierFail("ddi.invalid-parameter", std::string(routine) + " on " +
                                              kcore::PointerText(event) +
                                              ", which is not an initialized KEVENT");
    return false;
  }
  return true;
}

// 100-nanosecond units since 1601-01-01, the platform's system time.
LONGLONG SystemTimeNow() {
  using namespace std::chrono;
  constexpr LONGLONG kEpochDifference = 116444736000000000LL;
  auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  return kEpochDifference + since1970 / 100;
}

}  // namespace

void SetWaitSafetyLimit(std::chrono::milliseconds limit) {
  std::lock_guard<std::mutex> lock(D().lock);
  D().safetyLimit = limit;
}

namespace kcore {

void ResetSync() {
  std::lock_guard<std::mutex> lock(D().lock);
  D().safetyLimit = kDefaultSafetyLimit;
  D().heldMutexes.clear();
  D().heldCount.store(0, std::memory_order_release);
}

void SyncEndChecks(std::vector<std::string>& out) {
  std::lock_guard<std::mutex> lock(D().lock);
  for (auto& [mutex, owner] : D().heldMutexes) {
    (void)owner;
    out.push_back("sync.mutex-held-at-end: fast mutex " + PointerText(mutex) + " is still held");
  }
}

void SignalEventFromIoManager(PRKEVENT event) {
  {
    std::lock_guard<std::mutex> lock(D().lock);
    event->Header.SignalState = 1;
  }
  D().changed.notify_all();
}

void WakeWaiters() {
  { std::lock_guard<std::mutex> lock(D().lock); }
  D().changed.notify_all();
}

bool HeldFastMutexWithin(const void* begin, size_t length) {
  // Asked at every pool free; almost always no fast mutex is held at all.
  if (D().heldCount.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> lock(D().lock);
  auto b = static_cast<const unsigned char*>(begin);
  for (auto& [mutex, owner] : D().heldMutexes) {
    (void)owner;
    auto m = reinterpret_cast<const unsigned char*>(mutex);
    if (m >= b && m < b + length) return true;
  }
  return false;
}

}  // namespace kcore
}  // namespace host

using host::D;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  // No lock: until it is initialized the event is nobody else's to touch
  // (the caller hands it out afterwards, through something that orders it).
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Absolute = 0;
  Event->Header.Size = host::kEventSize;
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
  Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  if (host::kcore::Irql() > DISPATCH_LEVEL) {
    host::VerifierFail(
        "irql.ddi-call",
        "KeSetEvent at IRQL " + std::to_string(host::kcore::Irql()) + " (above DISPATCH_LEVEL)");
  }
  if (!host::ValidEvent(Event, "KeSetEvent")) return 0;
  LONG previous;
  {
    std::lock_guard<std::mutex> lock(D().lock);
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
  }
  D().changed.notify_all();
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  if (!host::ValidEvent(Event, "KeClearEvent")) return;
  std::lock_guard<std::mutex> lock(D().lock);
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  if (host::kcore::Irql() > DISPATCH_LEVEL) {
    host::VerifierFail(
        "irql.ddi-call",
        "KeResetEvent at IRQL " + std::to_string(host::kcore::Irql()) + " (above DISPATCH_LEVEL)");
  }
  if (!host::ValidEvent(Event, "KeResetEvent")) return 0;
  std::lock_guard<std::mutex> lock(D().lock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  if (!host::ValidEvent(Event, "KeReadStateEvent")) return 0;
  std::lock_guard<std::mutex> lock(D().lock);
  return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  auto event = static_cast<PRKEVENT>(Object);
  KIRQL irql = host::kcore::Irql();
  bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
  if (zeroTimeout ? irql > DISPATCH_LEVEL : irql > APC_LEVEL) {
    host::VerifierFail("irql.ddi-call", std::string("KeWaitForSingleObject") +
                                            (zeroTimeout ? " with a zero timeout"
                                                         : " with a timeout other than zero") +
                                            " at IRQL " + std::to_string(irql));
  }
  if (!host::ValidEvent(event, "KeWaitForSingleObject")) return STATUS_INVALID_PARAMETER;

  // Deadline: the caller's timeout, or the safety limit for an infinite wait.
  std::unique_lock<std::mutex> lock(D().lock);
  bool infinite = Timeout == nullptr;
  auto deadline = host::Clock::now() + D().safetyLimit;
  if (!infinite) {
    LONGLONG ticks = Timeout->QuadPart;
    if (ticks > 0) ticks = std::max<LONGLONG>(0, ticks - host::SystemTimeNow());  // absolute
    else ticks = -ticks;                                                          // relative
    deadline = host::Clock::now() + std::chrono::nanoseconds(ticks * 100);
  }
  while (event->Header.SignalState == 0) {
    std::function<void()> apc;
    if (irql >= APC_LEVEL && host::kcore::TakeApcSignalling(event, &apc)) {
      // Only an APC queued to this very thread would end the wait, and APCs
      // are not delivered at APC_LEVEL: on Windows the thread hangs here.
      lock.unlock();
      host::VerifierFail(
          "sync.wait-blocks-apc",
          "KeWaitForSingleObject at IRQL " + std::to_string(irql) + " on event " +
              host::kcore::PointerText(event) +
              ", which only the I/O manager's completion APC queued to this thread would signal; "
              "APCs are not delivered at or above APC_LEVEL (a fast mutex held?), so the wait "
              "never ends");
      apc();
      lock.lock();
      continue;
    }
    if (D().changed.wait_until(lock, deadline) == std::cv_status::timeout &&
        event->Header.SignalState == 0) {
      if (infinite) {
        lock.unlock();
        host::VerifierFail("sync.wait-never-satisfied",
                           "KeWaitForSingleObject on event " + host::kcore::PointerText(event) +
                               ": wait never satisfied (gave up after the safety limit)");
      }
      return STATUS_TIMEOUT;
    }
  }
  if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
  return STATUS_SUCCESS;
}

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
  FastMutex->OldIrql = 0;
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  KIRQL irql = host::kcore::Irql();
  if (irql > APC_LEVEL) {
    host::VerifierFail("irql.fast-mutex-acquire",
                       "ExAcquireFastMutex(" + host::kcore::PointerText(FastMutex) + ") at IRQL " +
                           std::to_string(irql) + " (above APC_LEVEL)");
  }
  PVOID me = host::kcore::ThreadToken();
  std::unique_lock<std::mutex> lock(D().lock);
  if (FastMutex->Count != 0 && FastMutex->Count != 1) {
    lock.unlock();
    host::VerifierFail("ddi.invalid-parameter", "ExAcquireFastMutex on " +
                                                    host::kcore::PointerText(FastMutex) +
                                                    ", which is not an initialized FAST_MUTEX");
    return;
  }
  if (FastMutex->Count == 0 && FastMutex->Owner == me) {
    lock.unlock();
    host::VerifierFail(
        "sync.fast-mutex-recursive",
        "ExAcquireFastMutex(" + host::kcore::PointerText(FastMutex) +
            ") by the thread that already holds it (fast mutexes are not recursive)");
    return;
  }
  auto deadline = host::Clock::now() + D().safetyLimit;
  while (FastMutex->Count == 0) {
    __atomic_add_fetch(&FastMutex->Contention, 1, __ATOMIC_SEQ_CST);
    if (D().changed.wait_until(lock, deadline) == std::cv_status::timeout && FastMutex->Count == 0) {
      lock.unlock();
      host::VerifierFail("sync.wait-never-satisfied",
                         "ExAcquireFastMutex(" + host::kcore::PointerText(FastMutex) +
                             "): wait never satisfied (gave up after the safety limit)");
      return;
    }
  }
  FastMutex->Count = 0;
  FastMutex->Owner = me;
  FastMutex->OldIrql = irql;
  D().heldMutexes[FastMutex] = me;
  D().heldCount.store(D().heldMutexes.size(), std::memory_order_release);
  lock.unlock();
  host::kcore::SetIrql(irql > APC_LEVEL ? irql : APC_LEVEL);
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  PVOID me = host::kcore::ThreadToken();
  KIRQL oldIrql;
  {
    std::unique_lock<std::mutex> lock(D().lock);
    if (FastMutex->Count != 0) {
      lock.unlock();
      host::VerifierFail("sync.fast-mutex-release-unowned",
                         "ExReleaseFastMutex(" + host::kcore::PointerText(FastMutex) +
                             ") of a fast mutex that is not held");
      return;
    }
    if (FastMutex->Owner != me) {
      lock.unlock();
      host::VerifierFail("sync.fast-mutex-release-unowned",
                         "ExReleaseFastMutex(" + host::kcore::PointerText(FastMutex) +
                             ") by a thread that does not own it");
      return;
    }
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    oldIrql = static_cast<KIRQL>(FastMutex->OldIrql);
    D().heldMutexes.erase(FastMutex);
    D().heldCount.store(D().heldMutexes.size(), std::memory_order_release);
  }
  D().changed.notify_all();
  if (host::kcore::Irql() != APC_LEVEL) {
    host::VerifierFail("irql.fast-mutex-release",
                       "ExReleaseFastMutex(" + host::kcore::PointerText(FastMutex) + ") at IRQL " +
                           std::to_string(host::kcore::Irql()) +
                           " (the acquire raised to APC_LEVEL; the IRQL was changed in between)");
  }
  host::kcore::SetIrql(oldIrql);
}

}  // extern "C"
