// Races between the threads that reach the bus device at once. The driver's
// calls of a few kernel routines pass through the observation points below
// (the executable is linked with --wrap), where a test can hold a thread at
// an exact step and let another thread run into the same device meanwhile.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "host/kernel.h"
#include "host/machine.h"
#include "host/verifier.h"
#include "platform_test.h"
#include "serhub.h"

using IncrementResult = decltype(IncrementOutstandingIo(static_cast<PBUS_EXTENSION>(nullptr)));

extern "C" {
VOID FASTCALL __real_ExAcquireFastMutex(PFAST_MUTEX FastMutex);
VOID FASTCALL __real_ExReleaseFastMutex(PFAST_MUTEX FastMutex);
LONG NTAPI __real_KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTSTATUS NTAPI __real_KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                            KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                            PLARGE_INTEGER Timeout);
LONG_PTR FASTCALL __real_ObfReferenceObject(PVOID Object);
IncrementResult __real__Z22IncrementOutstandingIoP14_BUS_EXTENSION(PBUS_EXTENSION Bus);
}

namespace {

constexpr auto kPatience = std::chrono::seconds(20);

// Holds the first thread other than the arming one that reaches a point for
// `target`, until Release.
class Gate {
 public:
  void Arm(const void* target) {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = target;
    armer_ = std::this_thread::get_id();
    paused_ = false;
    released_ = false;
    armed_ = true;
  }
  // Unarmed, it takes no lock: a gate must not order the threads it watches.
  void Pass(const void* target) {
    if (!armed_.load()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (target_ == nullptr || target != target_ || std::this_thread::get_id() == armer_) return;
    target_ = nullptr;
    armed_ = false;
    paused_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
  }
  bool WaitPaused() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return paused_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = nullptr;
    armed_ = false;
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::atomic<bool> armed_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  const void* target_ = nullptr;
  std::thread::id armer_;
  bool paused_ = false;
  bool released_ = false;
};

Gate& BeforeCount() {  // a request about to take its count on the bus device
  static Gate gate;
  return gate;
}
Gate& BeforeSet() {  // a thread about to signal an event
  static Gate gate;
  return gate;
}

// Waits entered per object.
struct Waits {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<const void*, int> count;
};
Waits& W() {
  static Waits waits;
  return waits;
}
int WaitsOn(const void* object) {
  std::lock_guard<std::mutex> lock(W().mutex);
  return W().count[object];
}

// Children of one bus device as the holders of its ChildLock leave it: a
// change found when the lock is taken was made without it.
struct ChildWatch {
  std::mutex mutex;
  PBUS_EXTENSION bus = nullptr;
  std::array<PDEVICE_OBJECT, SERHUB_CHILD_SLOTS> last{};
  std::thread::id holder;
  int changedOutside = 0;
  int changedInside = 0;
  bool enumerating = false;   // a bus-relations query is under way
  int referencedOutside = 0;  // a listed port referenced without the lock by it
  int deletedWhileListed = 0;  // a port deleted while its slot still named it

  std::array<PDEVICE_OBJECT, SERHUB_CHILD_SLOTS> Snapshot() const {
    std::array<PDEVICE_OBJECT, SERHUB_CHILD_SLOTS> s;
    for (ULONG i = 0; i < SERHUB_CHILD_SLOTS; ++i) s[i] = bus->Children[i];
    return s;
  }
};
ChildWatch& CW() {
  static ChildWatch watch;
  return watch;
}

void WatchChildren(PBUS_EXTENSION bus) {
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    host::OnDeviceDeleted([](PDEVICE_OBJECT device) {
      std::lock_guard<std::mutex> lock(CW().mutex);
      if (CW().bus == nullptr) return;
      for (PDEVICE_OBJECT child : CW().Snapshot()) {
        if (child == device) CW().deletedWhileListed++;
      }
    });
  }
  std::lock_guard<std::mutex> lock(CW().mutex);
  CW().bus = bus;
  CW().last = CW().Snapshot();
  CW().changedOutside = CW().changedInside = CW().referencedOutside = 0;
  CW().deletedWhileListed = 0;
}

// Stops watching; a change since the last holder left counts as outside.
void StopWatchingChildren() {
  std::lock_guard<std::mutex> lock(CW().mutex);
  if (CW().bus != nullptr && CW().Snapshot() != CW().last) CW().changedOutside++;
  CW().bus = nullptr;
}

}  // namespace

extern "C" VOID FASTCALL __wrap_ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  __real_ExAcquireFastMutex(FastMutex);
  std::lock_guard<std::mutex> lock(CW().mutex);
  if (CW().bus == nullptr || FastMutex != &CW().bus->ChildLock) return;
  if (CW().Snapshot() != CW().last) CW().changedOutside++;
  CW().holder = std::this_thread::get_id();
}

extern "C" VOID FASTCALL __wrap_ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  {
    std::lock_guard<std::mutex> lock(CW().mutex);
    if (CW().bus != nullptr && FastMutex == &CW().bus->ChildLock) {
      auto now = CW().Snapshot();
      if (now != CW().last) CW().changedInside++;
      CW().last = now;
      CW().holder = std::thread::id();
    }
  }
  __real_ExReleaseFastMutex(FastMutex);
}

extern "C" LONG_PTR FASTCALL __wrap_ObfReferenceObject(PVOID Object) {
  {
    std::lock_guard<std::mutex> lock(CW().mutex);
    if (CW().bus != nullptr && CW().enumerating && CW().holder != std::this_thread::get_id()) {
      for (PDEVICE_OBJECT child : CW().last) {
        if (child == Object) CW().referencedOutside++;
      }
    }
  }
  return __real_ObfReferenceObject(Object);
}

extern "C" LONG NTAPI __wrap_KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  BeforeSet().Pass(Event);
  return __real_KeSetEvent(Event, Increment, Wait);
}

extern "C" NTSTATUS NTAPI __wrap_KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                       KPROCESSOR_MODE WaitMode,
                                                       BOOLEAN Alertable,
                                                       PLARGE_INTEGER Timeout) {
  {
    std::lock_guard<std::mutex> lock(W().mutex);
    W().count[Object]++;
  }
  W().changed.notify_all();
  return __real_KeWaitForSingleObject(Object, WaitReason, WaitMode, Alertable, Timeout);
}

extern "C" IncrementResult __wrap__Z22IncrementOutstandingIoP14_BUS_EXTENSION(PBUS_EXTENSION Bus) {
  BeforeCount().Pass(Bus);
  return __real__Z22IncrementOutstandingIoP14_BUS_EXTENSION(Bus);
}

namespace {

using host::CardModel;

POWER_STATE D0() {
  POWER_STATE p;
  p.DeviceState = PowerDeviceD0;
  return p;
}

class RaceTest : public testsupport::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    {
      std::lock_guard<std::mutex> lock(W().mutex);
      W().count.clear();
    }
    ASSERT_EQ(STATUS_SUCCESS, host::LoadDriver(DriverEntry, "serhub"));
  }
  void TearDown() override {
    // Never leave a thread parked at a gate.
    BeforeCount().Release();
    BeforeSet().Release();
    StopWatchingChildren();
    host::TearDownMachine();
    PlatformTest::TearDown();
  }

  // Waits on ChildLock so far (the fast mutex counts them atomically).
  static ULONG Contention(PBUS_EXTENSION bus) {
    return __atomic_load_n(&bus->ChildLock.Contention, __ATOMIC_SEQ_CST);
  }
  static PBUS_EXTENSION BusOf(host::DeviceNode& node) {
    return static_cast<PBUS_EXTENSION>(node.Fdo()->DeviceExtension);
  }
  host::DeviceNode& Started(CardModel model) {
    host::DeviceNode& node = host::PlugCard(host::CreateCard(model), 2, 13, 1);
    EXPECT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
    EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node));
    return node;
  }
  // A bus-relations query straight to the bus device; the ports it lists stay
  // in Children only. Returns how many it listed.
  static ULONG EnumerateDirect(PDEVICE_OBJECT fdo) {
    host::PnpResult r = host::SendPnpTo(fdo, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
      s->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    auto* list = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
    if (!NT_SUCCESS(r.status) || list == nullptr) return 0;
    ULONG count = list->Count;
    for (ULONG i = 0; i < count; ++i) ObDereferenceObject(list->Objects[i]);
    ExFreePool(list);
    return count;
  }
  // Runs fn on a thread of its own; Done() tells whether it has returned.
  class Background {
   public:
    explicit Background(std::function<void()> fn)
        : thread_([this, fn] {
            fn();
            done_ = true;
          }) {}
    ~Background() { thread_.join(); }
    bool Done() const { return done_; }
    // Until pred holds or the thread has returned; pred's last answer.
    bool WaitFor(const std::function<bool()>& pred) {
      auto deadline = std::chrono::steady_clock::now() + kPatience;
      while (!pred() && !done_ && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return pred();
    }

   private:
    std::atomic<bool> done_{false};
    std::thread thread_;
  };
};

// A power request that passed the state tests just before the removal began
// and takes its count only after the removal's wait has ended must be turned
// away, not passed down through the deleted bus device.
TEST_F(RaceTest, PowerRequestCountingAfterRemovalsWaitIsTurnedAway) {
  host::DeviceNode& node = Started(CardModel::Ports8);
  PDEVICE_OBJECT fdo = node.Fdo();
  ASSERT_EQ(STATUS_SUCCESS, host::QueryRemove(node));  // power requests are counted now
  BeforeCount().Arm(BusOf(node));
  auto power = host::SendPowerAsync(fdo, IRP_MN_SET_POWER, DevicePowerState, D0());
  ASSERT_TRUE(BeforeCount().WaitPaused());

  const int powerBefore = node.Pci()->RequestCount(IRP_MJ_POWER);
  ASSERT_EQ(STATUS_SUCCESS, host::RemoveDevice(node));
  EXPECT_FALSE(host::IsDeviceAlive(fdo));
  BeforeCount().Release();
  host::PowerResult late = power->Wait();
  EXPECT_EQ(STATUS_DELETE_PENDING, late.status);
  EXPECT_EQ(STATUS_DELETE_PENDING, late.returned);
  EXPECT_EQ(powerBefore, node.Pci()->RequestCount(IRP_MJ_POWER)) << "passed down after removal";
}

// One request leaves (its count drops to 1) and is held just before it sets
// StopEvent; another enters meanwhile and stays inside. The late signal must
// not let a stop go on while the second request is inside.
TEST_F(RaceTest, StopWaitsForARequestThatEnteredWhileAnotherWasLeaving) {
  host::DeviceNode& node = Started(CardModel::Ports8);
  host::Card& card = *node.GetCard();
  PBUS_EXTENSION bus = BusOf(node);
  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(node));

  BeforeSet().Arm(&bus->StopEvent);
  auto leaving = host::SendPowerAsync(node, IRP_MN_QUERY_POWER, DevicePowerState, D0());
  ASSERT_TRUE(BeforeSet().WaitPaused());
  node.Pci()->DeliverRequests(IRP_MJ_POWER, -1, host::Delivery::HoldBlocking, 1);
  auto inside = host::SendPowerAsync(node, IRP_MN_SET_POWER, DevicePowerState, D0());
  ASSERT_TRUE(node.Pci()->WaitForHeld(1));
  BeforeSet().Release();
  EXPECT_EQ(STATUS_SUCCESS, leaving->Wait().status);

  card.ClearAccessLog();
  NTSTATUS stopped = STATUS_PENDING;
  {
    Background stop([&] { stopped = host::StopDevice(node); });
    // A stop that looks again after a wake-up waits a second time.
    const bool stillWaiting = stop.WaitFor([&] { return WaitsOn(&bus->StopEvent) >= 2; });
    EXPECT_TRUE(stillWaiting && !stop.Done()) << "the stop went on with a request inside";
    EXPECT_TRUE(card.Writes(host::CardRange::Intc).empty()) << "card reset with a request inside";
    node.Pci()->ReleaseHeld();
  }
  EXPECT_EQ(STATUS_SUCCESS, inside->Wait().status);
  EXPECT_EQ(STATUS_SUCCESS, stopped);
  EXPECT_FALSE(card.Writes(host::CardRange::Intc).empty());
  EXPECT_EQ(1, bus->OutstandingIo);
}

// The counter under two threads entering and leaving at once. One request
// stays inside throughout, so the threads move the count between 2 and 4 and
// no event is touched: only the counter's own atomic steps keep every count.
TEST_F(RaceTest, CounterKeepsEveryCountUnderTwoThreads) {
  host::DeviceNode& node = Started(CardModel::Ports2);
  PBUS_EXTENSION bus = BusOf(node);
  IncrementOutstandingIo(bus);
  constexpr int kRounds = 1000000;
  std::atomic<int> ready{0};
  auto work = [&] {
    ready++;
    while (ready.load() < 2) {
    }
    for (int i = 0; i < kRounds; ++i) {
      IncrementOutstandingIo(bus);
      DecrementOutstandingIo(bus);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(2, bus->OutstandingIo);
  DecrementOutstandingIo(bus);
  EXPECT_EQ(1, bus->OutstandingIo);
  EXPECT_NE(0, KeReadStateEvent(&bus->StopEvent));
  EXPECT_EQ(0, KeReadStateEvent(&bus->RemoveEvent));
}

// Enumeration fills Children and a port's removal empties its slot only while
// holding ChildLock, and the ports listed are referenced under it.
TEST_F(RaceTest, ChildrenChangeOnlyUnderChildLock) {
  host::DeviceNode& node = Started(CardModel::Ports32);
  PBUS_EXTENSION bus = BusOf(node);
  WatchChildren(bus);
  auto enumerate = [&] {
    CW().enumerating = true;
    ULONG listed = EnumerateDirect(node.Fdo());
    CW().enumerating = false;
    return listed;
  };
  ASSERT_EQ(32u, enumerate());
  PDEVICE_OBJECT last = bus->Children[31];
  ASSERT_NE(nullptr, last);
  // The last module goes missing: its ports are no longer listed, and the
  // last one is removed.
  node.GetCard()->SetModuleFitted(3, false);
  ASSERT_EQ(24u, enumerate());
  ASSERT_EQ(STATUS_SUCCESS, host::SendPnpTo(last, IRP_MN_SURPRISE_REMOVAL).status);
  ASSERT_EQ(STATUS_SUCCESS, host::SendPnpTo(last, IRP_MN_REMOVE_DEVICE).status);
  EXPECT_EQ(nullptr, bus->Children[31]);
  EXPECT_FALSE(host::IsDeviceAlive(last));
  StopWatchingChildren();
  std::lock_guard<std::mutex> lock(CW().mutex);
  EXPECT_EQ(0, CW().deletedWhileListed) << "a port deleted itself before emptying its slot";
  EXPECT_EQ(0, CW().changedOutside) << "Children changed without ChildLock";
  EXPECT_EQ(0, CW().referencedOutside) << "a listed port referenced without ChildLock";
  EXPECT_GE(CW().changedInside, 33);  // 32 slots filled one by one, one emptied
}

// While another thread holds ChildLock, a bus-relations query does not get
// as far as building its prefix, and a port's removal leaves its slot alone.
TEST_F(RaceTest, EnumerationAndPortRemovalWaitForChildLock) {
  host::DeviceNode& node = Started(CardModel::Ports32);
  PBUS_EXTENSION bus = BusOf(node);
  PDEVICE_OBJECT fdo = node.Fdo();

  ExAcquireFastMutex(&bus->ChildLock);
  const size_t allocations = host::PoolAllocationCount();
  ULONG listed = 0;
  {
    Background query([&] { listed = EnumerateDirect(fdo); });
    EXPECT_TRUE(query.WaitFor([&] { return Contention(bus) > 0; }));
    EXPECT_FALSE(query.Done());
    EXPECT_EQ(allocations, host::PoolAllocationCount()) << "enumeration went on without the lock";
    ExReleaseFastMutex(&bus->ChildLock);
  }
  ASSERT_EQ(32u, listed);

  node.GetCard()->SetModuleFitted(3, false);
  ASSERT_EQ(24u, EnumerateDirect(fdo));
  PDEVICE_OBJECT port = bus->Children[30];
  ASSERT_EQ(STATUS_SUCCESS, host::SendPnpTo(port, IRP_MN_SURPRISE_REMOVAL).status);
  const ULONG contention = Contention(bus);
  ExAcquireFastMutex(&bus->ChildLock);
  {
    Background removal([&] { host::SendPnpTo(port, IRP_MN_REMOVE_DEVICE); });
    EXPECT_TRUE(removal.WaitFor([&] { return Contention(bus) > contention; }));
    EXPECT_FALSE(removal.Done());
    EXPECT_EQ(port, bus->Children[30]) << "slot emptied without the lock";
    EXPECT_TRUE(host::IsDeviceAlive(port));
    ExReleaseFastMutex(&bus->ChildLock);
  }
  EXPECT_EQ(nullptr, bus->Children[30]);
  EXPECT_FALSE(host::IsDeviceAlive(port));
}

}  // namespace
