// Interrupt request level of each thread, the pageable-code check, and the
// delivery of kernel APCs.
//
// APCs: the I/O manager finishes a request built with
// IoBuildSynchronousFsdRequest (copies its status to the caller's
// IO_STATUS_BLOCK, signals the caller's event, frees the IRP) in a special
// kernel APC queued to the thread that built it (IopCompleteRequest, queued
// by IoCompleteRequest; see ReactOS ntoskrnl/io/iomgr/irp.c). Windows
// delivers a kernel APC only while the thread runs below APC_LEVEL: at once
// if it already does (the APC interrupt), otherwise when its IRQL drops below
// APC_LEVEL. A thread waiting at PASSIVE_LEVEL gets it inside its wait; a
// thread waiting at APC_LEVEL (inside ExAcquireFastMutex, for example) never
// does, so waiting there for such a request's event deadlocks. On Windows
// 2000/XP a critical region (KeEnterCriticalRegion) holds back normal kernel
// APCs only, not this special one; the stand-in has no critical or guarded
// regions, so only the IRQL holds it back.
//
// Here an APC for a thread below APC_LEVEL runs at once on the thread that
// queued it (what the APC interrupt would do, without stopping the target
// host thread); an APC for a thread at or above APC_LEVEL waits in that
// thread's queue until its IRQL drops. KeWaitForSingleObject at APC_LEVEL
// on an event that only a queued APC of the waiting thread would signal
// records the deadlock and then delivers the APC, so the test goes on.
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/kernel.h"
#include "host/verifier.h"
#include "kcore_internal.h"

namespace {

struct QueuedApc {
  PRKEVENT signals;
  std::function<void()> routine;
};

struct ApcThread {
  bool blocked = false;  // IRQL at or above APC_LEVEL
  std::deque<QueuedApc> queue;
};

std::mutex g_apcLock;
std::map<PVOID, std::shared_ptr<ApcThread>>& Threads() {
  static std::map<PVOID, std::shared_ptr<ApcThread>> threads;
  return threads;
}

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local char t_threadIdentity;

// This thread's APC record, registered while the thread lives.
struct ThreadRegistration {
  std::shared_ptr<ApcThread> record = std::make_shared<ApcThread>();
  ThreadRegistration() {
    std::lock_guard<std::mutex> lock(g_apcLock);
    Threads()[&t_threadIdentity] = record;
  }
  ~ThreadRegistration() {
    std::lock_guard<std::mutex> lock(g_apcLock);
    Threads().erase(&t_threadIdentity);
  }
};

ApcThread& Self() {
  thread_local ThreadRegistration registration;
  return *registration.record;
}

void RunAll(std::vector<QueuedApc>& apcs) {
  for (QueuedApc& apc : apcs) apc.routine();
}

// Every IRQL change goes through here: crossing APC_LEVEL downwards delivers
// what is queued to the thread.
void ChangeIrql(KIRQL irql) {
  KIRQL old = t_irql;
  if ((old >= APC_LEVEL) == (irql >= APC_LEVEL)) {
    t_irql = irql;
    return;
  }
  std::vector<QueuedApc> due;  // an empty vector, unlike a deque, costs no allocation
  {
    ApcThread& self = Self();
    std::lock_guard<std::mutex> lock(g_apcLock);
    t_irql = irql;
    self.blocked = irql >= APC_LEVEL;
    if (!self.blocked && !self.queue.empty()) {
      due.assign(std::make_move_iterator(self.queue.begin()), std::make_move_iterator(self.queue.end()));
      self.queue.clear();
    }
  }
  RunAll(due);
}

}  // namespace

namespace host {
namespace kcore {

PVOID ThreadToken() {
  Self();  // registered before its token is handed out
  return &t_threadIdentity;
}
KIRQL Irql() { return t_irql; }
void SetIrql(KIRQL irql) { ChangeIrql(irql); }

void QueueKernelApc(PVOID thread, PRKEVENT signals, std::function<void()> routine) {
  if (thread == &t_threadIdentity && t_irql < APC_LEVEL) {
    // The calling thread itself, below APC_LEVEL: delivered now. Only this
    // thread changes its own IRQL, so no lock is needed to know that.
    routine();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(g_apcLock);
    auto it = Threads().find(thread);
    if (it != Threads().end() && it->second->blocked) {
      it->second->queue.push_back({signals, std::move(routine)});
      routine = nullptr;
    }
  }
  if (routine) {
    routine();  // the thread runs below APC_LEVEL (or is gone): delivered now
  } else {
    WakeWaiters();  // a waiter at APC_LEVEL must see what it is waiting for
  }
}

bool TakeApcSignalling(PRKEVENT event, std::function<void()>* routine) {
  ApcThread& self = Self();
  std::lock_guard<std::mutex> lock(g_apcLock);
  for (auto it = self.queue.begin(); it != self.queue.end(); ++it) {
    if (it->signals == event) {
      *routine = std::move(it->routine);
      self.queue.erase(it);
      return true;
    }
  }
  return false;
}

void ResetApcs() {
  std::lock_guard<std::mutex> lock(g_apcLock);
  for (auto& [token, thread] : Threads()) thread->queue.clear();
}

size_t QueuedApcCount() {
  std::lock_guard<std::mutex> lock(g_apcLock);
  size_t n = 0;
  for (auto& [token, thread] : Threads()) n += thread->queue.size();
  return n;
}

}  // namespace kcore

KIRQL SetCurrentIrql(KIRQL irql) {
  KIRQL old = t_irql;
  ChangeIrql(irql);
  return old;
}

void RunAtIrql(KIRQL irql, const std::function<void()>& fn) {
  KIRQL old = SetCurrentIrql(irql);
  fn();
  SetCurrentIrql(old);
}

}  // namespace host

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return t_irql; }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  if (NewIrql > HIGH_LEVEL) {
    host::VerifierFail("irql.raise-invalid",
                       "KeRaiseIrql to " + std::to_string(NewIrql) + ", which is not an IRQL");
  } else if (NewIrql < t_irql) {
    host::VerifierFail("irql.raise-below-current",
                       "KeRaiseIrql to " + std::to_string(NewIrql) + " from the higher IRQL " +
                           std::to_string(t_irql) + " (IRQL_NOT_GREATER_OR_EQUAL)");
  }
  if (OldIrql != nullptr) *OldIrql = t_irql;
  ChangeIrql(NewIrql);
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > t_irql) {
    host::VerifierFail("irql.lower-above-current",
                       "KeLowerIrql to " + std::to_string(NewIrql) + " from the lower IRQL " +
                           std::to_string(t_irql) + " (IRQL_NOT_LESS_OR_EQUAL)");
  }
  ChangeIrql(NewIrql);
}

VOID NTAPI HostPagedCodeCheck(const char* Routine) {
  if (t_irql > APC_LEVEL) {
    host::VerifierFail("irql.paged-code", std::string("pageable code ") +
                                              (Routine ? Routine : "?") + " ran at IRQL " +
                                              std::to_string(t_irql) + " (above APC_LEVEL)");
  }
}

}  // extern "C"
