// IRQL rules around requests: the completion APC of a synchronous request,
// a wait that would deadlock on it, IRQL kept across dispatch and completion
// routines, the documented IRQL of the device-object routines, and paged
// pool touched at DISPATCH_LEVEL. Each check is shown on a deliberately
// wrong routine of the test driver.
#include <chrono>
#include <thread>

#include "kcore_fixture.h"

namespace kcore_test {
namespace {

constexpr ULONG kTestTag = 0x74736554;  // "Test"

class IrqlApcTest : public KernelCoreTest {
 protected:
  // A device whose dispatch routine keeps the IRP pending in `*held`.
  PDEVICE_OBJECT MakePendingDevice(PIRP* held) {
    return MakeDevice([held](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      *held = irp;
      return STATUS_PENDING;
    });
  }
};

// Under a fast mutex the request's completion may not reach the thread; it
// arrives, with the status and the event, when the mutex is released.
TEST_F(IrqlApcTest, SynchronousRequestIsFinishedOnlyWhenItsThreadDropsBelowApcLevel) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    return CompleteWith(irp, STATUS_SUCCESS, 7);
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_PENDING;
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);

  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, nullptr, 0, nullptr, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  ExAcquireFastMutex(&mutex);
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(iosb.Status, STATUS_PENDING);
  EXPECT_TRUE(host::IrpAlive(irp));
  ExReleaseFastMutex(&mutex);

  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 7u);
  EXPECT_FALSE(host::IrpAlive(irp));
}

// The classic deadlock: build at PASSIVE_LEVEL, then send and wait while
// holding a fast mutex. Another thread completes the request; Windows would
// hang; the stand-in reports it once and lets the wait end.
TEST_F(IrqlApcTest, WaitingForASynchronousRequestUnderAFastMutexIsADeadlock) {
  host::SetWaitSafetyLimit(std::chrono::seconds(5));
  PIRP held = nullptr;
  PDEVICE_OBJECT dev = MakePendingDevice(&held);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);

  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, nullptr, 0, nullptr, &event, &iosb);
  ExAcquireFastMutex(&mutex);
  ASSERT_EQ(IoCallDriver(dev, irp), STATUS_PENDING);
  std::thread completer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CompleteWith(held, STATUS_SUCCESS);
  });
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  completer.join();
  ExReleaseFastMutex(&mutex);
  ExpectOneFailure("sync.wait-blocks-apc: ");
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

// IoBuildSynchronousFsdRequest wants PASSIVE_LEVEL, IoDetachDevice too;
// IoDeleteDevice allows APC_LEVEL but not DISPATCH_LEVEL.
TEST_F(IrqlApcTest, DeviceRoutinesCheckTheirDocumentedIrql) {
  PDEVICE_OBJECT lower = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  PDEVICE_OBJECT upper = MakeAttached(lower, nullptr);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};

  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, lower, nullptr, 0, nullptr, &event, &iosb);
  ExpectOneFailure("irql.ddi-call: IoBuildSynchronousFsdRequest at IRQL 1");
  IoDetachDevice(lower);
  ExpectOneFailure("irql.ddi-call: IoDetachDevice at IRQL 1");
  IoDeleteDevice(upper);  // allowed at APC_LEVEL
  EXPECT_TRUE(TakeFailures().empty());
  KeLowerIrql(old);
  IoCallDriver(lower, irp);

  host::RunAtIrql(DISPATCH_LEVEL, [&] { IoDeleteDevice(lower); });
  ExpectOneFailure("irql.ddi-call: IoDeleteDevice at IRQL 2");
}

NTSTATUS NTAPI RaisingRoutine(PDEVICE_OBJECT, PIRP, PVOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // and never lowered: the fault under test
  return STATUS_SUCCESS;
}

TEST_F(IrqlApcTest, DispatchAndCompletionRoutinesMustKeepTheIrql) {
  PDEVICE_OBJECT lower = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // the fault under test
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, lower, nullptr, 0, nullptr, &event, &iosb);
  EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
  ExpectOneFailure("io.irql-changed: ");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  PDEVICE_OBJECT fine = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  PDEVICE_OBJECT* below = &fine;
  PDEVICE_OBJECT filter = MakeAttached(fine, [below](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RaisingRoutine, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(*below, irp);
  });
  irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, filter, nullptr, 0, nullptr, &event, &iosb);
  EXPECT_EQ(IoCallDriver(filter, irp), STATUS_SUCCESS);
  ExpectOneFailure("io.completion-irql-changed: ");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

NTSTATUS NTAPI SignalContextRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A completion routine whose event lives in paged pool is fine at
// PASSIVE_LEVEL and a fault when the lower driver completes from a DPC.
TEST_F(IrqlApcTest, PagedPoolTouchedAtDispatchLevelIsReported) {
  KIRQL completeAt = PASSIVE_LEVEL;
  PDEVICE_OBJECT lower = MakeDevice([&completeAt](PDEVICE_OBJECT, PIRP irp) {
    host::RunAtIrql(completeAt, [&] { CompleteWith(irp, STATUS_SUCCESS); });
    return STATUS_SUCCESS;
  });
  auto event = static_cast<PKEVENT>(ExAllocatePoolWithTag(PagedPool, sizeof(KEVENT), kTestTag));
  for (KIRQL irql : {PASSIVE_LEVEL, DISPATCH_LEVEL}) {
    completeAt = irql;
    KeInitializeEvent(event, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(2, FALSE);
    irp->CurrentLocation--;  // the sender's own location, for its routine
    irp->Tail.Overlay.CurrentStackLocation--;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, SignalContextRoutine, event, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    EXPECT_EQ(KeReadStateEvent(event), 1);
  }
  // At DISPATCH_LEVEL: the routine is handed the paged block, and KeSetEvent touches it.
  EXPECT_EQ(host::VerifierCount("irql.paged-pool"), 2u) << Joined(host::VerifierFailures());
  std::vector<std::string> all = TakeFailures();
  EXPECT_EQ(all.size(), 2u) << Joined(all);
  ExFreePoolWithTag(event, kTestTag);
}

}  // namespace
}  // namespace kcore_test
