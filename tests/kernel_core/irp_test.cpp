// IRP handling: stack layout, completion routines, STATUS_MORE_PROCESSING_REQUIRED,
// pending, synchronous requests, and the verifier's request checks.
#include <thread>

#include "kcore_fixture.h"

namespace kcore_test {
namespace {

struct RoutineCall {
  std::string name;
  PDEVICE_OBJECT device;
  BOOLEAN pendingReturned;
  NTSTATUS status;
};
std::vector<RoutineCall> g_calls;

struct RoutinePlan {
  std::string name;
  NTSTATUS result = STATUS_SUCCESS;
  bool propagatePending = true;
  PKEVENT signal = nullptr;
};

NTSTATUS NTAPI RecordingRoutine(PDEVICE_OBJECT dev, PIRP irp, PVOID context) {
  auto plan = static_cast<RoutinePlan*>(context);
  g_calls.push_back({plan->name, dev, irp->PendingReturned, irp->IoStatus.Status});
  if (plan->result != STATUS_MORE_PROCESSING_REQUIRED && plan->propagatePending && irp->PendingReturned) {
    IoMarkIrpPending(irp);
  }
  if (plan->signal != nullptr) KeSetEvent(plan->signal, IO_NO_INCREMENT, FALSE);
  return plan->result;
}

// A filter that passes the IRP down with a completion routine.
Dispatch PassDownWithRoutine(PDEVICE_OBJECT* lower, RoutinePlan* plan, bool success = true,
                             bool error = true, bool cancel = true) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RecordingRoutine, plan, success, error, cancel);
    return IoCallDriver(*lower, irp);
  };
}

Dispatch Skip(PDEVICE_OBJECT* lower) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(*lower, irp);
  };
}

class IrpTest : public KernelCoreTest {
 protected:
  void SetUp() override {
    KernelCoreTest::SetUp();
    g_calls.clear();
  }
};

TEST_F(IrpTest, AllocatedIrpStartsOnePastTheLastLocationAndCallDriverStepsDown) {
  PIO_STACK_LOCATION seen = nullptr;
  PDEVICE_OBJECT dev = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    seen = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(irp->CurrentLocation, 3);
    EXPECT_EQ(seen->DeviceObject, driver_->DeviceObject);
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  PIRP irp = IoAllocateIrp(3, FALSE);
  ASSERT_NE(irp, nullptr);
  auto first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), first + 3);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  RoutinePlan sender{"sender", STATUS_MORE_PROCESSING_REQUIRED};
  IoSetCompletionRoutine(irp, RecordingRoutine, &sender, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen, first + 2);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].device, nullptr);  // the sender has no stack location of its own
  EXPECT_TRUE(host::IrpCompleted(irp));
  IoFreeIrp(irp);
  EXPECT_FALSE(host::IrpAlive(irp));
}

TEST_F(IrpTest, CompletionRoutinesRunBottomUpWithTheirOwnersDeviceAndFlags) {
  PDEVICE_OBJECT pdo = nullptr, mid = nullptr;
  RoutinePlan midPlan{"mid"}, topPlan{"top"}, errorOnly{"error-only"};
  pdo = MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 7); });
  mid = MakeAttached(pdo, PassDownWithRoutine(&pdo, &midPlan));
  PDEVICE_OBJECT filter = MakeAttached(mid, PassDownWithRoutine(&mid, &errorOnly, false, true, false));
  PDEVICE_OBJECT top = MakeAttached(filter, PassDownWithRoutine(&filter, &topPlan));
  EXPECT_EQ(top->StackSize, 4);

  host::IrpResult r = host::SendIrpAndWait(top, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  EXPECT_EQ(r.returned, STATUS_SUCCESS);
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(r.iosb.Information, 7u);
  ASSERT_EQ(g_calls.size(), 2u);  // the error-only routine is skipped on success
  EXPECT_EQ(g_calls[0].name, "mid");
  EXPECT_EQ(g_calls[0].device, mid);
  EXPECT_EQ(g_calls[1].name, "top");
  EXPECT_EQ(g_calls[1].device, top);
}

TEST_F(IrpTest, ErrorAndCancelFlagsSelectRoutines) {
  PDEVICE_OBJECT pdo = nullptr, mid = nullptr;
  RoutinePlan successOnly{"success-only"}, cancelOnly{"cancel-only"};
  pdo = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    irp->Cancel = TRUE;
    return CompleteWith(irp, STATUS_CANCELLED);
  });
  mid = MakeAttached(pdo, PassDownWithRoutine(&pdo, &successOnly, true, false, false));
  PDEVICE_OBJECT top = MakeAttached(mid, PassDownWithRoutine(&mid, &cancelOnly, false, false, true));
  EXPECT_EQ(host::SendIrpAndWait(top, IRP_MJ_PNP, IRP_MN_STOP_DEVICE).iosb.Status, STATUS_CANCELLED);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].name, "cancel-only");
}

// The forward-and-wait pattern: the routine stops completion, the owner
// looks at the result and completes the IRP again.
class ForwardAndWait : public IrpTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ForwardAndWait, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
  bool lowerPends = GetParam();
  PIRP held = nullptr;
  PDEVICE_OBJECT pdo = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    if (!lowerPends) return CompleteWith(irp, STATUS_SUCCESS, 1);
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  RoutinePlan stop{"stop", STATUS_MORE_PROCESSING_REQUIRED, false, &done};
  RoutinePlan topPlan{"top"};
  std::thread completer;
  PDEVICE_OBJECT fdo = MakeAttached(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RecordingRoutine, &stop, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
      completer = std::thread([&] { CompleteWith(held, STATUS_SUCCESS, 1); });
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_FALSE(g_calls.empty());
    EXPECT_EQ(g_calls.size(), 1u);  // nothing above ran yet
    irp->IoStatus.Information = 42;
    return CompleteWith(irp, irp->IoStatus.Status, 42);
  });
  PDEVICE_OBJECT top = MakeAttached(fdo, PassDownWithRoutine(&fdo, &topPlan));
  host::IrpResult r = host::SendIrpAndWait(top, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  if (completer.joinable()) completer.join();
  EXPECT_EQ(r.returned, STATUS_SUCCESS);
  EXPECT_EQ(r.iosb.Information, 42u);
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(g_calls[0].name, "stop");
  EXPECT_EQ(g_calls[0].device, fdo);
  EXPECT_EQ(g_calls[1].name, "top");
  EXPECT_FALSE(g_calls[1].pendingReturned);  // the owner completed synchronously
}

INSTANTIATE_TEST_SUITE_P(LowerSynchronousOrPending, ForwardAndWait, ::testing::Bool());

TEST_F(IrpTest, PendingReturnedReachesUpperRoutinesThroughSkippedLocations) {
  PIRP held = nullptr;
  PDEVICE_OBJECT pdo = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  PDEVICE_OBJECT mid = MakeAttached(pdo, Skip(&pdo));
  RoutinePlan topPlan{"top"};
  PDEVICE_OBJECT top = MakeAttached(mid, PassDownWithRoutine(&mid, &topPlan));
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, top, nullptr, 0, nullptr, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  CompleteWith(held, STATUS_SUCCESS, 5);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Information, 5u);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_TRUE(g_calls[0].pendingReturned);
}

TEST_F(IrpTest, SynchronousFsdRequestReportsSignalsAndFreesItself) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    memcpy(irp->AssociatedIrp.SystemBuffer, "abc", 3);
    return CompleteWith(irp, STATUS_SUCCESS, 3);
  });
  dev->Flags |= DO_BUFFERED_IO;
  char buffer[5] = "xxxx";
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_UNSUCCESSFUL;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, buffer, 4, &offset, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.Read.Length, 4u);
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_STREQ(buffer, "abcx");  // only Information bytes come back
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_FALSE(host::IrpAlive(irp));
  EXPECT_EQ(host::OutstandingIrps(), 0u);

  IoFreeIrp(irp);
  ExpectOneFailure("double free");
}

TEST_F(IrpTest, CompletingTwiceIsReported) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_SUCCESS);
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  host::SendIrpAndWait(dev, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  ExpectOneFailure("completed twice");
}

TEST_F(IrpTest, CompletingAnIrpBackWithItsSenderIsReported) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
  RoutinePlan sender{"sender", STATUS_MORE_PROCESSING_REQUIRED};
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, RecordingRoutine, &sender, TRUE, TRUE, TRUE);
  IoCallDriver(dev, irp);
  EXPECT_TRUE(TakeFailures().empty());
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ExpectOneFailure("no driver holds");
  IoFreeIrp(irp);
}

TEST_F(IrpTest, ReturningPendingWithoutMarkingIsReportedWhenCompletionPasses) {
  PIRP held = nullptr;
  PDEVICE_OBJECT dev = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, nullptr, 0, nullptr, &event, &iosb);
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_PENDING);
  EXPECT_TRUE(TakeFailures().empty());  // it might still mark it
  CompleteWith(held, STATUS_SUCCESS);
  ExpectOneFailure("without marking it pending");
}

TEST_F(IrpTest, ReturningPendingAfterCompletingUnmarkedIsReported) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  });
  host::SendIrpAndWait(dev, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  ExpectOneFailure("without marking it pending");
}

TEST_F(IrpTest, FilterThatDropsThePendingMarkIsNamed) {
  PIRP held = nullptr;
  PDEVICE_OBJECT pdo = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  RoutinePlan forgetful{"forgetful", STATUS_SUCCESS, false};
  PDEVICE_OBJECT fdo = MakeAttached(pdo, PassDownWithRoutine(&pdo, &forgetful));
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, fdo, nullptr, 0, nullptr, &event, &iosb);
  EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_PENDING);
  CompleteWith(held, STATUS_SUCCESS);
  std::vector<std::string> f = TakeFailures();
  ASSERT_EQ(f.size(), 1u) << Joined(f);
  char fdoText[32];
  snprintf(fdoText, sizeof fdoText, "device %p", static_cast<void*>(fdo));
  EXPECT_NE(f[0].find(fdoText), std::string::npos) << f[0];
  EXPECT_NE(f[0].find("without marking it pending"), std::string::npos) << f[0];
}

TEST_F(IrpTest, MarkingPendingThenReturningAStatusIsReported) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  host::SendIrpAndWait(dev, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  ExpectOneFailure("after marking it pending");
}

TEST_F(IrpTest, ReturningWithoutCompletingIsReported) {
  PIRP held = nullptr;
  PDEVICE_OBJECT dev = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_SUCCESS;
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, nullptr, 0, nullptr, &event, &iosb);
  IoCallDriver(dev, irp);
  ExpectOneFailure("neither completed the IRP nor marked it pending");
  CompleteWith(held, STATUS_SUCCESS);  // so the request is not left behind
}

TEST_F(IrpTest, ReturnedStatusMustMatchTheCompletedStatus) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_UNSUCCESSFUL);
    return STATUS_SUCCESS;
  });
  host::SendIrpAndWait(dev, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  ExpectOneFailure("but completed it with IoStatus.Status STATUS_UNSUCCESSFUL");
}

TEST_F(IrpTest, PnpRequestMustStartWithNotSupported) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  });
  EXPECT_EQ(host::SendIrpAndWait(dev, IRP_MJ_PNP, IRP_MN_QUERY_ID).returned, STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(TakeFailures().empty());
  host::SendIrpAndWait(dev, IRP_MJ_PNP, IRP_MN_QUERY_ID, {}, STATUS_SUCCESS);
  ExpectOneFailure("must start with STATUS_NOT_SUPPORTED");
}

TEST_F(IrpTest, DefaultDispatchCompletesWithInvalidDeviceRequest) {
  PDEVICE_OBJECT dev = MakeDevice(nullptr);
  host::IrpResult r = host::SendIrpAndWait(dev, IRP_MJ_CREATE, 0, {}, STATUS_SUCCESS);
  EXPECT_EQ(r.returned, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(r.iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(IrpTest, CallingDriverWithoutAStackLocationLeftIsReported) {
  PDEVICE_OBJECT pdo = MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
  PDEVICE_OBJECT fdo = MakeAttached(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = IoCallDriver(pdo, irp);  // forgot to leave a location for it
    return CompleteWith(irp, status);
  });
  fdo->StackSize = 1;  // as if the attach had not raised it
  host::IrpResult r = host::SendIrpAndWait(fdo, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  EXPECT_FALSE(NT_SUCCESS(r.iosb.Status));
  ExpectOneFailure("no stack location left");
}

TEST_F(IrpTest, CompletingAboveDispatchLevelIsReported) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old = host::SetCurrentIrql(HIGH_LEVEL);
    CompleteWith(irp, STATUS_SUCCESS);
    host::SetCurrentIrql(old);
    return STATUS_SUCCESS;
  });
  host::SendIrpAndWait(dev, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  ExpectOneFailure("IoCompleteRequest at IRQL 15");
}

TEST_F(IrpTest, AllocatedIrpCompletedPastItsSenderIsReported) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoCallDriver(dev, irp);
  ExpectOneFailure("completed past its sender");
  IoFreeIrp(irp);
}

TEST_F(IrpTest, RoutineMayFreeTheIrpOnlyWhenItStopsCompletion) {
  struct Freeing {
    static NTSTATUS NTAPI Stop(PDEVICE_OBJECT, PIRP irp, PVOID) {
      IoFreeIrp(irp);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    static NTSTATUS NTAPI Continue(PDEVICE_OBJECT, PIRP irp, PVOID) {
      IoFreeIrp(irp);
      return STATUS_SUCCESS;
    }
  };
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
  for (PIO_COMPLETION_ROUTINE routine : {Freeing::Stop, Freeing::Continue}) {
    PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(dev, irp);
    EXPECT_FALSE(host::IrpAlive(irp));
  }
  ExpectOneFailure("freed in a completion routine that returned STATUS_SUCCESS");
}

TEST_F(IrpTest, RoutineMayCompleteTheIrpItselfOnlyWhenItStopsCompletion) {
  struct Completing {
    static NTSTATUS NTAPI Routine(PDEVICE_OBJECT, PIRP irp, PVOID stop) {
      irp->IoStatus.Information = 11;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return stop ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
    }
  };
  for (bool stop : {true, false}) {
    PDEVICE_OBJECT pdo = MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT fdo = MakeAttached(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Completing::Routine, stop ? irp : nullptr, TRUE, TRUE, TRUE);
      return IoCallDriver(pdo, irp);
    });
    host::IrpResult r = host::SendIrpAndWait(fdo, IRP_MJ_READ, 0, {}, STATUS_SUCCESS);
    EXPECT_EQ(r.iosb.Information, 11u);
    if (stop) {
      EXPECT_TRUE(TakeFailures().empty());
    } else {
      ExpectOneFailure("completed twice");
    }
    EXPECT_EQ(host::OutstandingIrps(), 0u);
    DeleteAllDevices();
  }
}

TEST_F(IrpTest, InitializeIrpLaysOutCallerMemory) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 3); });
  alignas(16) unsigned char memory[IoSizeOfIrp(2)];
  memset(memory, 0xCC, sizeof memory);
  auto irp = reinterpret_cast<PIRP>(memory);
  IoInitializeIrp(irp, sizeof memory, 2);
  EXPECT_EQ(irp->StackCount, 2);
  EXPECT_EQ(irp->CurrentLocation, 3);
  EXPECT_EQ(irp->Size, sizeof memory);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);  // zeroed
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  RoutinePlan sender{"sender", STATUS_MORE_PROCESSING_REQUIRED};
  IoSetCompletionRoutine(irp, RecordingRoutine, &sender, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
  EXPECT_EQ(irp->IoStatus.Information, 3u);
  EXPECT_EQ(host::OutstandingIrps(), 0u);  // the caller's memory, not the I/O manager's
  IoInitializeIrp(irp, 8, 2);
  ExpectOneFailure("too small");
}

TEST_F(IrpTest, InitializingAFreedIrpsMemoryMakesItTheCallersIrp) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoFreeIrp(irp);
  IoInitializeIrp(irp, IoSizeOfIrp(2), 2);
  EXPECT_TRUE(host::IrpAlive(irp));
  EXPECT_EQ(host::OutstandingIrps(), 0u);
  EXPECT_EQ(host::IrpAllocationCount(), 0u);
  IoFreeIrp(irp);
  ExpectOneFailure("not allocated by IoAllocateIrp");
}

TEST_F(IrpTest, SendingACompletedIrpAgainIsReported) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoCallDriver(dev, irp);
  TakeFailures();  // completed past its sender: covered above
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_INVALID_PARAMETER);
  ExpectOneFailure("already completed");
  IoFreeIrp(irp);
}

TEST_F(IrpTest, AsyncSendReportsTheFinalStatusOnceAndFreesTheIrp) {
  PIRP held = nullptr;
  PDEVICE_OBJECT dev = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  int calls = 0;
  IO_STATUS_BLOCK last{};
  PIRP sent = nullptr;
  NTSTATUS status = host::SendIrpAsync(
      dev, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, {}, STATUS_NOT_SUPPORTED,
      [&](const IO_STATUS_BLOCK& iosb) {
        ++calls;
        last = iosb;
      },
      &sent);
  EXPECT_EQ(status, STATUS_PENDING);
  EXPECT_EQ(sent, held);
  EXPECT_EQ(calls, 0);
  std::thread([&] { CompleteWith(held, STATUS_SUCCESS, 9); }).join();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(last.Status, STATUS_SUCCESS);
  EXPECT_EQ(last.Information, 9u);
  EXPECT_FALSE(host::IrpAlive(sent));
}

TEST_F(IrpTest, EndChecksListIrpsNeverFreed) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  std::vector<std::string> end = host::KernelEndChecks();
  ASSERT_EQ(end.size(), 1u) << Joined(end);
  EXPECT_NE(end[0].find("never freed"), std::string::npos);
  IoFreeIrp(irp);
  EXPECT_TRUE(host::KernelEndChecks().empty());
}

// A reset keeps the IRPs' records and blocks for the next run: what the
// last run left (completed twice, never freed) must not follow them.
TEST_F(IrpTest, IrpsOfTheNextRunStartFresh) {
  PDEVICE_OBJECT dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_SUCCESS);
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  host::SendIrpAndWait(dev, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  ExpectOneFailure("completed twice");
  IoAllocateIrp(dev->StackSize, FALSE);  // never freed
  DeleteAllDevices();

  SetUp();
  dev = MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 5); });
  host::IrpResult r = host::SendIrpAndWait(dev, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(r.iosb.Information, 5u);
  EXPECT_TRUE(TakeFailures().empty());
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  EXPECT_EQ(irp->CurrentLocation, dev->StackSize + 1);
  EXPECT_EQ(host::OutstandingIrps(), 1u);
  EXPECT_EQ(host::IrpAllocationCount(), 2u);
  IoFreeIrp(irp);
  EXPECT_TRUE(TakeFailures().empty());
  IoFreeIrp(irp);
  ExpectOneFailure("already freed");
}

TEST_F(IrpTest, IrpAllocationFaultInjection) {
  host::FailIrpAllocationNth(2);
  PIRP first = IoAllocateIrp(1, FALSE);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  PIRP third = IoAllocateIrp(1, FALSE);
  EXPECT_NE(third, nullptr);
  IoFreeIrp(first);
  IoFreeIrp(third);
}

}  // namespace
}  // namespace kcore_test
