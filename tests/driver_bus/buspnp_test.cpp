// Plug and Play handling of the bus device: start, stop, removal and their
// queries and cancels, relations, and resource-requirement filtering.
#include <thread>

#include "bus_fixture.h"

namespace bustest {
namespace {

using BusPnpTest = BusTest;
using host::CardRange;

constexpr UCHAR kShared = CmResourceShareShared;
constexpr UCHAR kDeviceExclusive = CmResourceShareDeviceExclusive;
constexpr UCHAR kDriverExclusive = CmResourceShareDriverExclusive;

std::u16string InterfaceOf(host::DeviceNode& node) {
  auto names = host::RegisteredInterfaces(node.Pdo());
  return names.empty() ? std::u16string() : names[0];
}

int PortsWrites() {
  int count = 0;
  for (const auto& call : host::ZwSetValueLog()) {
    if (call.name == "PORTS") ++count;
  }
  return count;
}

POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return s;
}

// ---------------------------------------------------------------------------
// Start.

TEST_F(BusPnpTest, StartPublishesPortsSetsUpTheCardAndEnablesTheInterface) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  PBUS_EXTENSION bus = BusOf(node);

  EXPECT_EQ(std::optional<uint32_t>(8), PortsValue(node));
  auto log = host::ZwSetValueLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_TRUE(host::RegistryStore::NamesEqual(node.DeviceParametersPath(), log[0].path));
  EXPECT_EQ(static_cast<ULONG>(REG_DWORD), log[0].type);
  EXPECT_EQ((std::vector<uint8_t>{8, 0, 0, 0}), log[0].data);
  EXPECT_EQ(0u, host::OpenKernelKeyCount());

  EXPECT_EQ(8u, bus->PortCount);
  EXPECT_EQ(0u, bus->MultiMode);
  EXPECT_EQ(SetupWrites(8, false), WritesOf(card, CardRange::Intc));
  EXPECT_TRUE(host::IsInterfaceEnabled(InterfaceOf(node)));
  // A start leaves the bus device's state alone, and its count back at 1.
  EXPECT_EQ(static_cast<ULONG>(NotStarted), bus->PnpState);
  EXPECT_EQ(1, bus->OutstandingIo);
  EXPECT_EQ(1, KeReadStateEvent(&bus->StopEvent));
}

TEST_F(BusPnpTest, MultiModeCardSetsMultiMode) {
  host::Card& card = host::CreateCard(host::CardModel::Ports4MultiMode);
  host::DeviceNode& node = PlugAndStart(card);
  EXPECT_EQ(std::optional<uint32_t>(4), PortsValue(node));
  EXPECT_EQ(4u, BusOf(node)->PortCount);
  EXPECT_EQ(1u, BusOf(node)->MultiMode);
}

TEST_F(BusPnpTest, LowerDriverFailingTheStartEndsIt) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  PBUS_EXTENSION bus = BusOf(node);
  bus->PortCount = 5;  // left over from an earlier start
  bus->MultiMode = 1;
  node.Pci()->FailRequests(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);

  EXPECT_EQ(STATUS_DEVICE_NOT_READY, host::StartDevice(node, false));
  EXPECT_EQ(0, card.ConfigReads()) << "the card was identified";
  EXPECT_EQ(0, PortsWrites());
  EXPECT_EQ(5u, bus->PortCount);
  EXPECT_EQ(1u, bus->MultiMode);
  EXPECT_TRUE(card.AccessLog().empty());
  EXPECT_FALSE(host::IsInterfaceEnabled(InterfaceOf(node)));
  EXPECT_EQ(1, bus->OutstandingIo);
  bus->PortCount = 0;
  bus->MultiMode = 0;
}

TEST_F(BusPnpTest, StartWaitsForALowerDriverThatPends) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  node.Pci()->DeliverRequests(IRP_MJ_PNP, IRP_MN_START_DEVICE, host::Delivery::HoldPending, 1);

  NTSTATUS status = STATUS_PENDING;
  std::thread starter([&] { status = host::StartDevice(node, false); });
  EXPECT_TRUE(node.Pci()->WaitForHeld(1));
  // Nothing happens above the PCI bus driver before it has started the card.
  EXPECT_EQ(0, card.ConfigReads());
  EXPECT_EQ(0, PortsWrites());
  node.Pci()->ReleaseHeld();
  starter.join();

  EXPECT_EQ(STATUS_SUCCESS, status);
  EXPECT_EQ(std::optional<uint32_t>(8), PortsValue(node));
  EXPECT_TRUE(host::IsInterfaceEnabled(InterfaceOf(node)));
}

TEST_F(BusPnpTest, StartCompletedFromAnotherThreadSucceeds) {
  host::Card& card = host::CreateCard(host::CardModel::Ports16);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  node.Pci()->DeliverRequests(IRP_MJ_PNP, -1, host::Delivery::FromThread);
  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node, false));
  node.Pci()->ClearInjections();
  EXPECT_EQ(16u, BusOf(node)->PortCount);
  EXPECT_EQ(SetupWrites(16, false), WritesOf(card, CardRange::Intc));
}

TEST_F(BusPnpTest, UnknownCardPublishesZeroPortsAndFails) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports8);
  setup.subsystem = 0x00204B51;
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));

  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, host::StartDevice(node, false));
  EXPECT_EQ(std::optional<uint32_t>(0), PortsValue(node));
  EXPECT_EQ(0u, BusOf(node)->PortCount);
  EXPECT_EQ(0u, BusOf(node)->MultiMode);
  EXPECT_TRUE(card.AccessLog().empty());
  EXPECT_EQ(0, host::MapCount());
  EXPECT_FALSE(host::IsInterfaceEnabled(InterfaceOf(node)));
}

TEST_F(BusPnpTest, PortsKeyProblemsDoNotStopTheStart) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));

  host::FailIoCallAlways(host::IoRoutine::OpenDeviceRegistryKey);
  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node, false));
  host::ClearIoFaults();
  EXPECT_FALSE(PortsValue(node).has_value());

  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(node));
  ASSERT_EQ(STATUS_SUCCESS, host::StopDevice(node));
  host::FailSetValue("PORTS");
  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node, false));
  host::ClearIoFaults();
  EXPECT_FALSE(PortsValue(node).has_value());
  EXPECT_EQ(0u, host::OpenKernelKeyCount()) << "the card key was left open";
  EXPECT_EQ(8u, BusOf(node)->PortCount);
}

TEST_F(BusPnpTest, StartStopStartSucceedsWithTheInterfaceStillEnabled) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  PBUS_EXTENSION bus = BusOf(node);
  std::u16string name = InterfaceOf(node);

  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(node));
  EXPECT_EQ(static_cast<ULONG>(StopPending), bus->PnpState);
  ASSERT_EQ(STATUS_SUCCESS, host::StopDevice(node));
  EXPECT_EQ(static_cast<ULONG>(Stopped), bus->PnpState);
  EXPECT_EQ(static_cast<ULONG>(StopPending), bus->PreviousPnpState);
  EXPECT_EQ(0u, bus->PortCount);
  EXPECT_TRUE(host::IsInterfaceEnabled(name));
  EXPECT_NE(nullptr, bus->InterfaceName.Buffer);
  EXPECT_EQ(0, host::InterfaceDisableCalls(name));
  auto afterStop = SetupWrites(8, false);
  auto shutdown = ShutdownWrites();
  afterStop.insert(afterStop.end(), shutdown.begin(), shutdown.end());
  EXPECT_EQ(afterStop, WritesOf(card, CardRange::Intc));

  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node, false));
  EXPECT_EQ(static_cast<ULONG>(Stopped), bus->PnpState);
  EXPECT_EQ(8u, bus->PortCount);
  EXPECT_EQ(2, PortsWrites());
  EXPECT_EQ(2, card.ConfigReads()) << "identified once per start";
  auto log = host::InterfaceStateLog();
  ASSERT_EQ(2u, log.size());
  EXPECT_TRUE(log[1].enable);
  EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, log[1].status);
}

TEST_F(BusPnpTest, FailedInterfaceEnableFailsTheStartButLeavesTheCardSetUp) {
  host::Card& card = host::CreateCard(host::CardModel::Ports4);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  host::FailIoCallNth(host::IoRoutine::SetDeviceInterfaceState, 1, STATUS_INSUFFICIENT_RESOURCES);

  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, host::StartDevice(node, false));
  EXPECT_EQ(4u, BusOf(node)->PortCount);
  EXPECT_EQ(SetupWrites(4, false), WritesOf(card, CardRange::Intc));

  card.ClearAccessLog();
  ASSERT_EQ(STATUS_SUCCESS, host::RemoveDevice(node));
  EXPECT_EQ(ShutdownWrites(), WritesOf(card, CardRange::Intc));
}

// ---------------------------------------------------------------------------
// Queries and cancels.

TEST_F(BusPnpTest, CancelsRestoreOnlyFromTheirPendingState) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  PBUS_EXTENSION bus = BusOf(node);
  auto state = [bus] { return bus->PnpState; };

  // Cancels with nothing pending change nothing and still succeed.
  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE).status);
  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE).status);
  EXPECT_EQ(static_cast<ULONG>(NotStarted), state());

  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_QUERY_STOP_DEVICE).status);
  EXPECT_EQ(static_cast<ULONG>(StopPending), state());
  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE).status);
  EXPECT_EQ(static_cast<ULONG>(StopPending), state()) << "cancel of the other kind";
  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE).status);
  EXPECT_EQ(static_cast<ULONG>(NotStarted), state());

  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE).status);
  EXPECT_EQ(static_cast<ULONG>(RemovePending), state());
  EXPECT_EQ(static_cast<ULONG>(NotStarted), bus->PreviousPnpState);
  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE).status);
  EXPECT_EQ(static_cast<ULONG>(RemovePending), state());
  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE).status);
  EXPECT_EQ(static_cast<ULONG>(NotStarted), state());

  // Stopped: a stray cancel leaves it stopped.
  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_QUERY_STOP_DEVICE).status);
  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_STOP_DEVICE).status);
  EXPECT_EQ(static_cast<ULONG>(Stopped), state());
  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE).status);
  EXPECT_EQ(static_cast<ULONG>(Stopped), state());

  // Every one of them went on to the PCI bus driver.
  EXPECT_EQ(4, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE));
  EXPECT_EQ(3, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE));
  EXPECT_EQ(1, bus->OutstandingIo);
}

TEST_F(BusPnpTest, OtherRelationsPassDownWithSuccess) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  for (DEVICE_RELATION_TYPE type : {RemovalRelations, EjectionRelations, PowerRelations}) {
    node.Pci()->ClearRequestLog();
    host::PnpResult result = host::SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS,
                                           [type](PIO_STACK_LOCATION stack) {
                                             stack->Parameters.QueryDeviceRelations.Type = type;
                                           });
    // The PCI bus driver leaves these alone: the status is the bus device's.
    EXPECT_EQ(STATUS_SUCCESS, result.status) << "relation type " << type;
    EXPECT_EQ(STATUS_SUCCESS, result.returned) << "relation type " << type;
    EXPECT_EQ(0u, result.information) << "relation type " << type;
    EXPECT_EQ(1, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS));
  }
  EXPECT_TRUE(BusOf(node)->Children[0] == nullptr);
}

TEST_F(BusPnpTest, FailedEnumerationIsCompletedHere) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  node.Pci()->ClearRequestLog();
  host::FailPoolTag(SERHUB_TAG_DDK);
  host::PnpResult result = host::SendPnpTo(node.Fdo(), IRP_MN_QUERY_DEVICE_RELATIONS,
                                           [](PIO_STACK_LOCATION stack) {
                                             stack->Parameters.QueryDeviceRelations.Type =
                                                 BusRelations;
                                           });
  host::ClearPoolFaults();
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.status);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.returned);
  EXPECT_EQ(0, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS));
  EXPECT_EQ(1, BusOf(node)->OutstandingIo);
}

TEST_F(BusPnpTest, UnhandledRequestsPassDownUntouched) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  node.Pci()->ClearRequestLog();
  host::PnpResult state = host::SendPnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
  EXPECT_EQ(STATUS_SUCCESS, state.status);
  host::PnpResult iface = host::SendPnp(node, IRP_MN_QUERY_INTERFACE);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, iface.status) << "status changed on the way down";
  EXPECT_EQ(1, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE));
  EXPECT_EQ(1, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE));
}

// ---------------------------------------------------------------------------
// Stop and removal waits.

TEST_F(BusPnpTest, StopWaitsForAPowerRequestInsideTheBusDevice) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  PBUS_EXTENSION bus = BusOf(node);
  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(node));  // power requests are counted now

  host::PciDevice& pci = *node.Pci();
  pci.DeliverRequests(IRP_MJ_POWER, -1, host::Delivery::HoldBlocking);
  auto power = host::SendPowerAsync(node, IRP_MN_SET_POWER, DevicePowerState,
                                    DeviceState(PowerDeviceD0));
  ASSERT_TRUE(pci.WaitForHeld(1));
  EXPECT_EQ(2, bus->OutstandingIo);
  card.ClearAccessLog();

  NTSTATUS stopStatus = STATUS_PENDING;
  std::thread stopper([&] { stopStatus = host::StopDevice(node); });
  EXPECT_TRUE(WaitUntilWaitedOn(&bus->StopEvent));
  // The stop is waiting: nothing of it has happened yet.
  EXPECT_EQ(0, pci.RequestCount(IRP_MJ_PNP, IRP_MN_STOP_DEVICE));
  EXPECT_TRUE(card.AccessLog().empty());
  EXPECT_EQ(static_cast<ULONG>(StopPending), bus->PnpState);

  pci.ReleaseHeld();
  EXPECT_EQ(STATUS_SUCCESS, power->Wait().status);
  stopper.join();
  pci.ClearInjections();

  EXPECT_EQ(STATUS_SUCCESS, stopStatus);
  EXPECT_EQ(static_cast<ULONG>(Stopped), bus->PnpState);
  EXPECT_EQ(ShutdownWrites(), WritesOf(card, CardRange::Intc));
  EXPECT_EQ(1, bus->OutstandingIo);
  EXPECT_EQ(1, KeReadStateEvent(&bus->StopEvent));
  // The power request left before the stop went down.
  auto log = pci.RequestLog();
  size_t powerAt = log.size(), stopAt = log.size();
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].major == IRP_MJ_POWER && powerAt == log.size()) powerAt = i;
    if (log[i].major == IRP_MJ_PNP && log[i].minor == IRP_MN_STOP_DEVICE) stopAt = i;
  }
  EXPECT_LT(powerAt, stopAt);
}

TEST_F(BusPnpTest, RemovalWaitsForAPowerRequestInsideTheBusDevice) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  PDEVICE_OBJECT fdo = node.Fdo();
  PBUS_EXTENSION bus = BusOf(node);
  PKEVENT removeEvent = &bus->RemoveEvent;
  ASSERT_EQ(STATUS_SUCCESS, host::QueryRemove(node));

  host::PciDevice& pci = *node.Pci();
  pci.DeliverRequests(IRP_MJ_POWER, -1, host::Delivery::HoldBlocking);
  auto power = host::SendPowerAsync(node, IRP_MN_SET_POWER, DevicePowerState,
                                    DeviceState(PowerDeviceD0));
  ASSERT_TRUE(pci.WaitForHeld(1));

  NTSTATUS removeStatus = STATUS_PENDING;
  std::thread remover([&] { removeStatus = host::RemoveDevice(node); });
  EXPECT_TRUE(WaitUntilWaitedOn(removeEvent));
  EXPECT_EQ(0, pci.RequestCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
  EXPECT_TRUE(host::IsDeviceAlive(fdo));
  EXPECT_EQ(static_cast<ULONG>(Deleted), bus->PnpState);
  // A new request while the removal waits is turned away.
  int stateQueries = pci.RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE);
  host::PnpResult late = host::SendPnpTo(fdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
  EXPECT_EQ(STATUS_DELETE_PENDING, late.status);
  EXPECT_EQ(stateQueries, pci.RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE));

  pci.ReleaseHeld();
  EXPECT_EQ(STATUS_SUCCESS, power->Wait().status);
  remover.join();
  pci.ClearInjections();

  EXPECT_EQ(STATUS_SUCCESS, removeStatus);
  EXPECT_FALSE(host::IsDeviceAlive(fdo));
  EXPECT_EQ(1, pci.RequestCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
}

// ---------------------------------------------------------------------------
// Surprise removal and removal.

TEST_F(BusPnpTest, SurpriseRemovalThenRemovalTakesTheCardDownOnce) {
  host::Card& card = host::CreateCard(host::CardModel::Ports2MultiMode);
  host::DeviceNode& node = PlugAndStart(card);
  ASSERT_EQ(2u, EnumerateDirect(node));
  PBUS_EXTENSION bus = BusOf(node);
  PDEVICE_OBJECT port0 = bus->Children[0];
  PDEVICE_OBJECT fdo = node.Fdo();
  std::u16string name = InterfaceOf(node);
  card.ClearAccessLog();

  ASSERT_EQ(STATUS_SUCCESS, host::SurpriseRemove(node));
  EXPECT_EQ(static_cast<ULONG>(SurpriseRemovePending), bus->PnpState);
  EXPECT_FALSE(host::IsInterfaceEnabled(name));
  EXPECT_EQ(1, host::InterfaceDisableCalls(name));
  EXPECT_EQ(nullptr, bus->InterfaceName.Buffer);
  EXPECT_EQ(0, bus->InterfaceName.Length);
  EXPECT_EQ(0, bus->InterfaceName.MaximumLength);
  EXPECT_EQ(ShutdownWrites(), WritesOf(card, CardRange::Intc));
  EXPECT_EQ(0u, bus->PortCount);
  EXPECT_EQ(port0, bus->Children[0]) << "surprise removal touched the port devices";
  EXPECT_TRUE(host::IsDeviceAlive(port0));

  ASSERT_EQ(STATUS_SUCCESS, host::RemoveDevice(node));
  EXPECT_FALSE(host::IsDeviceAlive(port0));
  EXPECT_EQ(1, host::InterfaceDisableCalls(name));
  EXPECT_EQ(ShutdownWrites(), WritesOf(card, CardRange::Intc)) << "shut down twice";
  EXPECT_FALSE(host::IsDeviceAlive(fdo));
  EXPECT_EQ(0u, host::PoolOutstanding(host::kRtlStringTag));
}

TEST_F(BusPnpTest, RemovalDisablesTheInterfaceAndDeletesTheBusDevice) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  PDEVICE_OBJECT fdo = node.Fdo();
  std::u16string name = InterfaceOf(node);
  card.ClearAccessLog();

  ASSERT_EQ(STATUS_SUCCESS, host::QueryAndRemove(node));
  EXPECT_EQ(1, host::InterfaceDisableCalls(name));
  EXPECT_FALSE(host::IsInterfaceEnabled(name));
  EXPECT_EQ(ShutdownWrites(), WritesOf(card, CardRange::Intc));
  EXPECT_FALSE(host::IsDeviceAlive(fdo));
}

// Records the deletions the bus device makes during its removal.
struct DeletionRecord {
  std::mutex mutex;
  PBUS_EXTENSION bus = nullptr;  // while the bus device lives
  PDEVICE_OBJECT busDevice = nullptr;
  host::PciDevice* pci = nullptr;
  std::vector<PDEVICE_OBJECT> deleted;
  std::vector<bool> lockHeld;
  std::vector<int> removesSeenByPci;
  // The bus device's own end: removals the PCI device had seen when the bus
  // device detached and when it was deleted, and whether it was still
  // attached then.
  int removesAtDetach = -1;
  int removesAtDelete = -1;
  bool attachedAtDelete = false;
};

DeletionRecord& Deletions() {
  static DeletionRecord record;
  return record;
}

void WatchDeletions() {
  static bool hooked = false;
  if (hooked) return;
  hooked = true;
  host::OnDeviceDeleted([](PDEVICE_OBJECT device) {
    DeletionRecord& r = Deletions();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.bus == nullptr) return;
    if (device == r.busDevice) {
      r.removesAtDelete = r.pci->RequestCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
      r.attachedAtDelete = host::AttachedTo(device) != nullptr;
      r.bus = nullptr;  // its extension goes with it
      return;
    }
    r.deleted.push_back(device);
    r.lockHeld.push_back(r.bus->ChildLock.Owner != nullptr);
    r.removesSeenByPci.push_back(r.pci->RequestCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
  });
}

TEST_F(BusPnpTest, RemovalDeletesRemainingPortDevicesInSlotOrderUnderTheLock) {
  WatchDeletions();
  host::Card& card = host::CreateCard(host::CardModel::Ports4);
  host::DeviceNode& node = PlugAndStart(card);
  PBUS_EXTENSION bus = BusOf(node);
  ASSERT_EQ(4u, EnumerateDirect(node));

  // One more device in the last slot, which enumeration never fills.
  PDEVICE_OBJECT extra = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(PORT_EXTENSION), nullptr,
                                           FILE_DEVICE_SERIAL_PORT, 0, FALSE, &extra));
  extra->Flags &= ~DO_DEVICE_INITIALIZING;
  bus->Children[SERHUB_CHILD_SLOTS - 1] = extra;

  std::vector<PDEVICE_OBJECT> expected;
  for (ULONG slot = 0; slot < SERHUB_CHILD_SLOTS; ++slot) {
    if (bus->Children[slot] != nullptr) expected.push_back(bus->Children[slot]);
  }
  ASSERT_EQ(5u, expected.size());
  {
    std::lock_guard<std::mutex> lock(Deletions().mutex);
    Deletions().bus = bus;
    Deletions().busDevice = node.Fdo();
    Deletions().pci = node.Pci();
    Deletions().deleted.clear();
    Deletions().lockHeld.clear();
    Deletions().removesSeenByPci.clear();
  }

  ASSERT_EQ(STATUS_SUCCESS, host::QueryAndRemove(node));

  std::lock_guard<std::mutex> lock(Deletions().mutex);
  Deletions().bus = nullptr;
  EXPECT_EQ(expected, Deletions().deleted);
  for (size_t i = 0; i < Deletions().deleted.size(); ++i) {
    EXPECT_TRUE(Deletions().lockHeld[i]) << "slot " << i << " deleted without ChildLock";
    EXPECT_EQ(0, Deletions().removesSeenByPci[i]) << "deleted after the removal went down";
  }
  for (PDEVICE_OBJECT child : expected) EXPECT_FALSE(host::IsDeviceAlive(child));
}

TEST_F(BusPnpTest, RemovalGoesDownBeforeTheBusDeviceDetachesAndDeletesItself) {
  WatchDeletions();
  host::Card& card = host::CreateCard(host::CardModel::Ports2);
  host::DeviceNode& node = PlugAndStart(card);
  {
    std::lock_guard<std::mutex> lock(Deletions().mutex);
    Deletions().bus = BusOf(node);
    Deletions().busDevice = node.Fdo();
    Deletions().pci = node.Pci();
    Deletions().removesAtDetach = Deletions().removesAtDelete = -1;
    Deletions().attachedAtDelete = true;
  }
  ASSERT_EQ(STATUS_SUCCESS, host::QueryAndRemove(node));
  std::lock_guard<std::mutex> lock(Deletions().mutex);
  Deletions().bus = nullptr;
  EXPECT_EQ(1, Deletions().removesAtDetach) << "detached before the removal went down";
  EXPECT_EQ(1, Deletions().removesAtDelete) << "deleted before the removal went down";
  EXPECT_FALSE(Deletions().attachedAtDelete) << "deleted while still attached";
}

// ---------------------------------------------------------------------------
// Resource requirements.

std::vector<uint8_t> MixedRequirements() {
  host::RequirementsBuilder b;
  b.List()
      .Port(0x40, 0xE000, 0xE03F, kDeviceExclusive)
      .Memory(0x1000, 0xF0000000, 0xF0000FFF, kDriverExclusive)
      .Interrupt(11, 11, kDeviceExclusive)
      .Port(0x10, 0xE100, 0xE10F, CmResourceShareUndetermined)
      .Port(0x20, 0xE200, 0xE21F, kDriverExclusive);
  b.List()
      .Interrupt(0, 15, kShared, IO_RESOURCE_ALTERNATIVE)
      .Port(0x40, 0, 0xFFFF, kDeviceExclusive, CM_RESOURCE_PORT_IO, IO_RESOURCE_ALTERNATIVE)
      .Memory(0x1000, 0, 0xFFFFFFFF, kDeviceExclusive, IO_RESOURCE_ALTERNATIVE);
  b.List().Port(0x8, 0, 0xFFFF, kDeviceExclusive, CM_RESOURCE_PORT_IO, IO_RESOURCE_ALTERNATIVE);
  return b.Build(2, (13 << 3) | 1);
}

// Every port descriptor is shared; every other byte of the list is unchanged.
void ExpectOnlyPortsShared(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
  auto lists = host::ParseRequirements(after);
  auto original = host::ParseRequirements(before);
  ASSERT_EQ(original.size(), lists.size());
  for (size_t l = 0; l < lists.size(); ++l) {
    ASSERT_EQ(original[l].size(), lists[l].size());
    for (size_t d = 0; d < lists[l].size(); ++d) {
      IO_RESOURCE_DESCRIPTOR expect = original[l][d];
      if (expect.Type == CmResourceTypePort) expect.ShareDisposition = kShared;
      EXPECT_EQ(0, std::memcmp(&expect, &lists[l][d], sizeof expect))
          << "list " << l << " descriptor " << d << " type " << int(lists[l][d].Type)
          << " share " << int(lists[l][d].ShareDisposition);
    }
  }
  ASSERT_EQ(before.size(), after.size());
  EXPECT_EQ(0, std::memcmp(before.data(), after.data(), FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List)));
}

TEST_F(BusPnpTest, FilterSharesEveryPortRangeInEveryAlternativeList) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  card.SetResourceRequirements(MixedRequirements());
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  EXPECT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  ExpectOnlyPortsShared(MixedRequirements(), node.filteredRequirements);
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
}

TEST_F(BusPnpTest, FilterSucceedsEvenWhenTheLowerDriverFailed) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  card.SetResourceRequirements(MixedRequirements());
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  node.Pci()->FailRequests(IRP_MJ_PNP, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  ExpectOnlyPortsShared(MixedRequirements(), node.filteredRequirements);
}

TEST_F(BusPnpTest, FilterWaitsForAPendingLowerDriverOnANonPagedEvent) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  card.SetResourceRequirements(MixedRequirements());
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::QueryResourceRequirements(node));
  node.Pci()->DeliverRequests(IRP_MJ_PNP, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                              host::Delivery::FromThread, 1);
  ResetWaits();
  EXPECT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  ExpectOnlyPortsShared(MixedRequirements(), node.filteredRequirements);
  auto block = LastWaitPoolBlock();
  ASSERT_TRUE(block.has_value()) << "the filter did not wait on a pool event";
  EXPECT_EQ(NonPagedPool, block->type);
  EXPECT_EQ(SERHUB_TAG_DDK, block->tag);
  EXPECT_EQ(sizeof(KEVENT), block->size);
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
}

TEST_F(BusPnpTest, FilterTakesTheListFromTheParametersWhenInformationIsEmpty) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  const std::vector<uint8_t> original = MixedRequirements();
  void* list = ExAllocatePoolWithTag(PagedPool, original.size(), 0x74736554);  // "Test"
  ASSERT_NE(nullptr, list);
  std::memcpy(list, original.data(), original.size());
  // Nobody below puts a list into Information.
  host::PnpResult r = host::SendPnp(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                                    [&](PIO_STACK_LOCATION stack) {
                                      stack->Parameters.FilterResourceRequirements
                                          .IoResourceRequirementList =
                                          static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(list);
                                    });
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(list), r.information) << "the list is not handed back";
  auto* bytes = static_cast<const uint8_t*>(list);
  ExpectOnlyPortsShared(original, std::vector<uint8_t>(bytes, bytes + original.size()));
  ExFreePool(list);
  EXPECT_EQ(1, BusOf(node)->OutstandingIo);
}

TEST_F(BusPnpTest, FilterWithoutAnyListGivesTheLowerStatus) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  auto noList = [](PIO_STACK_LOCATION stack) {
    stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = nullptr;
  };
  host::PnpResult passed = host::SendPnp(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, noList);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, passed.status);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, passed.returned);
  EXPECT_EQ(0u, passed.information);

  node.Pci()->FailRequests(IRP_MJ_PNP, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, STATUS_UNSUCCESSFUL);
  host::PnpResult failed = host::SendPnp(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, noList);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, failed.status);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, failed.returned);
  EXPECT_EQ(1, BusOf(node)->OutstandingIo);
}

TEST_F(BusPnpTest, FilterWithoutPoolIsNotPassedDown) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::QueryResourceRequirements(node));
  node.Pci()->ClearRequestLog();
  host::FailPoolTag(SERHUB_TAG_DDK);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, host::FilterResourceRequirements(node));
  host::ClearPoolFaults();
  EXPECT_EQ(0, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_FILTER_RESOURCE_REQUIREMENTS));
  EXPECT_EQ(1, BusOf(node)->OutstandingIo);
}

}  // namespace
}  // namespace bustest

// The bus device's detach, seen on its way to the kernel (the executable is
// linked with --wrap=IoDetachDevice).
extern "C" VOID NTAPI __real_IoDetachDevice(PDEVICE_OBJECT TargetDevice);
extern "C" VOID NTAPI __wrap_IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  {
    bustest::DeletionRecord& r = bustest::Deletions();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.bus != nullptr && r.pci != nullptr && TargetDevice == r.pci->Pdo()) {
      r.removesAtDetach = r.pci->RequestCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    }
  }
  __real_IoDetachDevice(TargetDevice);
}
