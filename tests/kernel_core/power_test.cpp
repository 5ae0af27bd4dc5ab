// Power IRPs: PoCallDriver, one PoStartNextPowerIrp per device, pageable
// devices at PASSIVE_LEVEL.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "kcore_fixture.h"

namespace kcore_test {
namespace {

// A driver's power dispatch: start the next power IRP `starts` times, then
// pass the IRP down, or complete it when there is no lower device.
Dispatch PowerHandler(PDEVICE_OBJECT* lower, int starts) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    for (int i = 0; i < starts; ++i) PoStartNextPowerIrp(irp);
    if (*lower == nullptr) return CompleteWith(irp, STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(*lower, irp);
  };
}

PDEVICE_OBJECT g_none = nullptr;

class PowerTest : public KernelCoreTest {
 protected:
  host::IrpResult SetPower(PDEVICE_OBJECT top, UCHAR minor = IRP_MN_SET_POWER) {
    return host::SendIrpAndWait(top, IRP_MJ_POWER, minor, [](PIO_STACK_LOCATION sp) {
      sp->Parameters.Power.Type = DevicePowerState;
      sp->Parameters.Power.State.DeviceState = PowerDeviceD3;
    });
  }
};

TEST_F(PowerTest, EachDeviceStartingTheNextIrpOnceIsClean) {
  PDEVICE_OBJECT pdo = MakeDevice(PowerHandler(&g_none, 1));
  PDEVICE_OBJECT fdo = MakeAttached(pdo, PowerHandler(&pdo, 1));
  EXPECT_EQ(SetPower(fdo).iosb.Status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeFailures().empty());
}

TEST_F(PowerTest, MissingOrRepeatedStartIsReportedForTheDeviceAtFault) {
  for (int starts : {0, 2}) {
    PDEVICE_OBJECT pdo = MakeDevice(PowerHandler(&g_none, 1));
    PDEVICE_OBJECT fdo = MakeAttached(pdo, PowerHandler(&pdo, starts));
    SetPower(fdo, IRP_MN_QUERY_POWER);
    std::vector<std::string> f = TakeFailures();
    ASSERT_EQ(f.size(), 1u) << Joined(f);
    char fdoText[32];
    snprintf(fdoText, sizeof fdoText, "device %p", static_cast<void*>(fdo));
    EXPECT_NE(f[0].find(fdoText), std::string::npos) << f[0];
    EXPECT_NE(f[0].find(std::to_string(starts) + " time(s)"), std::string::npos) << f[0];
    DeleteAllDevices();
  }
}

TEST_F(PowerTest, StartingAfterPassingTheIrpOnIsReported) {
  PDEVICE_OBJECT pdo = MakeDevice(PowerHandler(&g_none, 1));
  PDEVICE_OBJECT fdo = MakeAttached(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);  // too late: the location is no longer ours
    return PoCallDriver(pdo, irp);
  });
  SetPower(fdo);
  std::vector<std::string> f = TakeFailures();
  EXPECT_EQ(f.size(), 2u) << Joined(f);  // the stray call and the missing one
}

TEST_F(PowerTest, StartFromTheCompletionRoutineCountsForItsOwner) {
  struct Routine {
    static NTSTATUS NTAPI Start(PDEVICE_OBJECT, PIRP irp, PVOID) {
      PoStartNextPowerIrp(irp);
      if (irp->PendingReturned) IoMarkIrpPending(irp);
      return STATUS_SUCCESS;
    }
  };
  PDEVICE_OBJECT pdo = MakeDevice(PowerHandler(&g_none, 1));
  PDEVICE_OBJECT fdo = MakeAttached(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Routine::Start, nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(pdo, irp);
  });
  EXPECT_EQ(SetPower(fdo).iosb.Status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeFailures().empty());
}

TEST_F(PowerTest, WaitWakeDoesNotRequireAStart) {
  PDEVICE_OBJECT pdo = MakeDevice(PowerHandler(&g_none, 0));
  SetPower(pdo, IRP_MN_WAIT_WAKE);
  EXPECT_TRUE(TakeFailures().empty());
}

TEST_F(PowerTest, DefaultDispatchStartsTheNextIrpItself) {
  PDEVICE_OBJECT pdo = MakeDevice(nullptr);
  driver_->MajorFunction[IRP_MJ_POWER] = host::DefaultDispatchRoutine();
  EXPECT_EQ(SetPower(pdo).iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(TakeFailures().empty());
}

TEST_F(PowerTest, PowerIrpPassedWithIoCallDriverIsReported) {
  PDEVICE_OBJECT pdo = MakeDevice(PowerHandler(&g_none, 1));
  PDEVICE_OBJECT fdo = MakeAttached(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(pdo, irp);
  });
  SetPower(fdo);
  ExpectOneFailure("PoCallDriver");
}

TEST_F(PowerTest, PageableDeviceMustGetPowerIrpsAtPassiveLevel) {
  PDEVICE_OBJECT pdo = MakeDevice(PowerHandler(&g_none, 1));
  pdo->Flags |= DO_POWER_PAGABLE;
  PDEVICE_OBJECT fdo = MakeAttached(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = PoCallDriver(pdo, irp);
    KeLowerIrql(old);
    return status;
  });
  fdo->Flags |= DO_POWER_PAGABLE;
  SetPower(fdo);
  ExpectOneFailure("power.pagable-irql: ");
}

// Windows 2000/XP wants one DO_POWER_PAGABLE setting in a stack: a filter
// that does not take it from the device it attaches to is reported, once.
TEST_F(PowerTest, FilterNotTakingDoPowerPagableFromBelowIsReported) {
  PDEVICE_OBJECT pdo = MakeDevice(PowerHandler(&g_none, 1));
  pdo->Flags |= DO_POWER_PAGABLE;
  PDEVICE_OBJECT filter = MakeAttached(pdo, PowerHandler(&pdo, 1));  // the flag not copied
  SetPower(filter);
  SetPower(filter);
  ExpectOneFailure("power.pagable-mismatch: ");
}

// A driver routine that builds its own power IRP and forgets the initial
// STATUS_NOT_SUPPORTED the power manager would have set.
TEST_F(PowerTest, PowerIrpSentWithoutNotSupportedIsReported) {
  PDEVICE_OBJECT pdo = MakeDevice(PowerHandler(&g_none, 1));
  host::IrpResult r =
      host::SendIrpAndWait(pdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER, {}, STATUS_SUCCESS);
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  ExpectOneFailure("io.power-initial-status: ");
}

// The second power IRP of a type waits at PoCallDriver until the device has
// called PoStartNextPowerIrp for the first; another type is not held back.
TEST_F(PowerTest, NextPowerIrpWaitsForPoStartNextPowerIrp) {
  std::vector<PIRP> seen;
  std::mutex lock;
  PDEVICE_OBJECT pdo = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    std::lock_guard<std::mutex> hold(lock);
    seen.push_back(irp);
    IoMarkIrpPending(irp);  // kept; the test starts and completes it
    return STATUS_PENDING;
  });
  auto send = [&](POWER_STATE_TYPE type, std::atomic<int>* done) {
    return host::SendIrpAsync(
        pdo, IRP_MJ_POWER, IRP_MN_SET_POWER,
        [type](PIO_STACK_LOCATION sp) { sp->Parameters.Power.Type = type; }, STATUS_NOT_SUPPORTED,
        [done](const IO_STATUS_BLOCK&) { ++*done; });
  };
  auto seenCount = [&] {
    std::lock_guard<std::mutex> hold(lock);
    return seen.size();
  };
  std::atomic<int> done{0};
  EXPECT_EQ(send(DevicePowerState, &done), STATUS_PENDING);
  EXPECT_EQ(send(DevicePowerState, &done), STATUS_PENDING);  // held back
  EXPECT_EQ(send(SystemPowerState, &done), STATUS_PENDING);  // another type: delivered
  ASSERT_EQ(seenCount(), 2u);
  PIRP first = seen[0];
  PoStartNextPowerIrp(first);
  for (int i = 0; i < 500 && seenCount() < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(seenCount(), 3u);
  for (PIRP irp : {seen[1], seen[2]}) PoStartNextPowerIrp(irp);
  for (PIRP irp : seen) CompleteWith(irp, STATUS_SUCCESS);
  EXPECT_TRUE(host::WaitForCompletionsInFlight());
  EXPECT_EQ(done.load(), 3);
}

}  // namespace
}  // namespace kcore_test
