// Events, waits, fast mutexes and IRQL.
#include <atomic>
#include <thread>

#include "kcore_fixture.h"

namespace kcore_test {
namespace {

class SyncTest : public KernelCoreTest {};

LARGE_INTEGER Relative(LONGLONG milliseconds) {
  LARGE_INTEGER t;
  t.QuadPart = -milliseconds * 10000;
  return t;
}

TEST_F(SyncTest, NotificationEventStaysSignalledSynchronizationEventResets) {
  KEVENT n, s;
  KeInitializeEvent(&n, NotificationEvent, FALSE);
  KeInitializeEvent(&s, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&n, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&n, IO_NO_INCREMENT, FALSE), 1);  // previous state
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&n), 1);
  EXPECT_EQ(KeReadStateEvent(&n), 0);

  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&s), 0);  // the satisfied wait took it
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&s, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&s);
  EXPECT_EQ(KeReadStateEvent(&s), 0);
}

TEST_F(SyncTest, TimedWaitOnAnUnsignalledEventTimesOut) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER t = Relative(20);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
  EXPECT_TRUE(TakeFailures().empty());  // a timed wait may time out
}

TEST_F(SyncTest, WaitBlocksUntilAnotherThreadSetsTheEvent) {
  KEVENT ready, go;
  KeInitializeEvent(&ready, NotificationEvent, FALSE);
  KeInitializeEvent(&go, SynchronizationEvent, FALSE);
  std::atomic<int> stage{0};
  NTSTATUS waited = STATUS_UNSUCCESSFUL;
  int stageSeen = -1;
  std::thread waiter([&] {
    KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
    waited = KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    stageSeen = stage.load();
  });
  KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
  stage = 1;  // written before the set: the waiter must see it
  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  waiter.join();
  EXPECT_EQ(waited, STATUS_SUCCESS);
  EXPECT_EQ(stageSeen, 1);
  EXPECT_EQ(KeReadStateEvent(&go), 0);  // synchronization event consumed by the waiter
}

TEST_F(SyncTest, InfiniteWaitGivesUpAfterTheSafetyLimit) {
  host::SetWaitSafetyLimit(std::chrono::milliseconds(20));
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
  ExpectOneFailure("wait never satisfied");
}

TEST_F(SyncTest, WaitIrqlRules) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, TRUE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  host::RunAtIrql(DISPATCH_LEVEL, [&] {
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  });
  EXPECT_TRUE(TakeFailures().empty());
  host::RunAtIrql(DISPATCH_LEVEL, [&] { KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr); });
  ExpectOneFailure("at IRQL 2");
}

TEST_F(SyncTest, UninitializedEventIsReported) {
  KEVENT e;
  memset(&e, 0xA5, sizeof e);
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  ExpectOneFailure("not an initialized KEVENT");
}

TEST_F(SyncTest, FastMutexRaisesToApcLevelAndRestores) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  ExAcquireFastMutex(&m);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  EXPECT_EQ(m.Owner != nullptr, true);
  ExReleaseFastMutex(&m);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(m.Count, 1);
}

TEST_F(SyncTest, FastMutexExcludesOtherThreads) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  ExAcquireFastMutex(&m);
  std::atomic<bool> inside{false};
  std::thread other([&] {
    ExAcquireFastMutex(&m);
    inside = true;
    ExReleaseFastMutex(&m);
  });
  // The other thread counts its contention once it is blocked on the mutex.
  while (__atomic_load_n(&m.Contention, __ATOMIC_SEQ_CST) == 0) std::this_thread::yield();
  EXPECT_FALSE(inside.load());
  ExReleaseFastMutex(&m);
  other.join();
  EXPECT_TRUE(inside.load());
}

TEST_F(SyncTest, FastMutexMisuseIsReported) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  host::RunAtIrql(DISPATCH_LEVEL, [&] {
    ExAcquireFastMutex(&m);
    ExReleaseFastMutex(&m);
  });
  {
    std::vector<std::string> f = TakeFailures();
    ASSERT_FALSE(f.empty());
    EXPECT_NE(f[0].find("above APC_LEVEL"), std::string::npos) << f[0];
  }
  ExAcquireFastMutex(&m);
  ExAcquireFastMutex(&m);
  ExpectOneFailure("not recursive");
  std::thread([&] { ExReleaseFastMutex(&m); }).join();
  ExpectOneFailure("does not own it");
  ExReleaseFastMutex(&m);
  ExReleaseFastMutex(&m);
  ExpectOneFailure("not held");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SyncTest, HeldMutexAndRaisedIrqlShowInEndChecks) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  ExAcquireFastMutex(&m);
  std::vector<std::string> end = host::KernelEndChecks();
  ASSERT_EQ(end.size(), 2u) << Joined(end);
  EXPECT_NE(end[0].find("still held"), std::string::npos);
  EXPECT_NE(end[1].find("IRQL is still 1"), std::string::npos);
  ExReleaseFastMutex(&m);
}

TEST_F(SyncTest, IrqlChangesInTheWrongDirectionAreReported) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KeRaiseIrql(APC_LEVEL, &old);
  ExpectOneFailure("IRQL_NOT_GREATER_OR_EQUAL");
  KeLowerIrql(DISPATCH_LEVEL);
  ExpectOneFailure("IRQL_NOT_LESS_OR_EQUAL");
  PAGED_CODE();
  ExpectOneFailure("pageable code");
  KeLowerIrql(PASSIVE_LEVEL);
  PAGED_CODE();
  EXPECT_TRUE(TakeFailures().empty());
}

}  // namespace
}  // namespace kcore_test
