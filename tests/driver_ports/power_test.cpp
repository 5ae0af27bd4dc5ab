// Power requests: a port device completes them itself and records the states
// it is set to; the bus device passes them down, counted once it has left
// NotStarted, so that its removal waits for them.
#include <thread>

#include "ports_fixture.h"

namespace porttest {
namespace {

using host::CardModel;

POWER_STATE SystemState(SYSTEM_POWER_STATE s) {
  POWER_STATE p;
  p.SystemState = s;
  return p;
}

POWER_STATE DeviceState(DEVICE_POWER_STATE d) {
  POWER_STATE p;
  p.DeviceState = d;
  return p;
}

class PowerTest : public PortTest {
 protected:
  host::DeviceNode& Card8() {
    host::DeviceNode& node = host::BringUpCard(host::CreateCard(CardModel::Ports8));
    EXPECT_EQ(host::NodeState::Started, node.State());
    return node;
  }
  // Sends a power request straight to the device, as the driver above it
  // would pass it down, after resetting the PoStartNextPowerIrp counts.
  // A status other than STATUS_NOT_SUPPORTED is set by a driver above.
  host::IrpResult Power(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                        POWER_STATE state, NTSTATUS initial = STATUS_NOT_SUPPORTED) {
    ResetPowerStarts();
    auto fill = [&](PIO_STACK_LOCATION s) {
      s->Parameters.Power.Type = type;
      s->Parameters.Power.State = state;
      s->Parameters.Power.ShutdownType = PowerActionNone;
    };
    if (initial == STATUS_NOT_SUPPORTED) {
      return host::SendIrpAndWait(device, IRP_MJ_POWER, minor, fill, initial);
    }
    return SendFromAbove(device, IRP_MJ_POWER, minor, fill, initial);
  }
};

TEST_F(PowerTest, PortRecordsDeviceStateAndTellsThePowerManager) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 2)->Pdo();
  PPORT_EXTENSION port = PortOf(pdo);
  const size_t calls = host::PoSetPowerStateLog().size();

  host::IrpResult r = Power(pdo, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD3));
  EXPECT_EQ(STATUS_SUCCESS, r.returned);
  EXPECT_EQ(STATUS_SUCCESS, r.iosb.Status);
  EXPECT_EQ(1, PowerStartsBy(pdo));
  EXPECT_EQ(PowerDeviceD3, port->DevicePowerState);
  EXPECT_EQ(PowerSystemWorking, port->SystemPowerState);
  const auto log = host::PoSetPowerStateLog();
  ASSERT_EQ(calls + 1, log.size());
  EXPECT_EQ(pdo, log.back().device);
  EXPECT_EQ(DevicePowerState, log.back().type);
  EXPECT_EQ(PowerDeviceD3, log.back().state.DeviceState);
  EXPECT_EQ(PowerDeviceD3, host::RecordedDevicePowerState(pdo));

  // Through the whole port stack, back to D0.
  host::PowerResult whole = host::SetDevicePower(*PortNode(node, 2), PowerDeviceD0);
  EXPECT_EQ(STATUS_SUCCESS, whole.status);
  EXPECT_EQ(PowerDeviceD0, port->DevicePowerState);
}

TEST_F(PowerTest, PortRecordsSystemStateWithoutTellingThePowerManager) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 6)->Pdo();
  PPORT_EXTENSION port = PortOf(pdo);
  const size_t calls = host::PoSetPowerStateLog().size();

  host::IrpResult r = Power(pdo, IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemSleeping3));
  EXPECT_EQ(STATUS_SUCCESS, r.returned);
  EXPECT_EQ(STATUS_SUCCESS, r.iosb.Status);
  EXPECT_EQ(1, PowerStartsBy(pdo));
  EXPECT_EQ(PowerSystemSleeping3, port->SystemPowerState);
  EXPECT_EQ(PowerDeviceD0, port->DevicePowerState);
  EXPECT_EQ(calls, host::PoSetPowerStateLog().size());
}

TEST_F(PowerTest, PortAgreesToQueriesAndLeavesOtherRequestsAsTheyCame) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 0)->Pdo();
  PPORT_EXTENSION port = PortOf(pdo);
  const size_t calls = host::PoSetPowerStateLog().size();

  host::IrpResult r = Power(pdo, IRP_MN_QUERY_POWER, DevicePowerState, DeviceState(PowerDeviceD2));
  EXPECT_EQ(STATUS_SUCCESS, r.iosb.Status);
  EXPECT_EQ(1, PowerStartsBy(pdo));
  r = Power(pdo, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(PowerSystemHibernate));
  EXPECT_EQ(STATUS_SUCCESS, r.iosb.Status);
  EXPECT_EQ(1, PowerStartsBy(pdo));

  struct Other {
    UCHAR minor;
    POWER_STATE_TYPE type;
  };
  const Other others[] = {{IRP_MN_WAIT_WAKE, SystemPowerState},
                          {IRP_MN_POWER_SEQUENCE, SystemPowerState},
                          {IRP_MN_SET_POWER, static_cast<POWER_STATE_TYPE>(2)},
                          {0x05, SystemPowerState}};
  for (const Other& o : others) {
    for (NTSTATUS initial : {STATUS_NOT_SUPPORTED, STATUS_SUCCESS, static_cast<NTSTATUS>(0xC0000123)}) {
      SCOPED_TRACE("minor " + std::to_string(o.minor) + " status " + std::to_string(initial));
      r = Power(pdo, o.minor, o.type, SystemState(PowerSystemSleeping1), initial);
      EXPECT_EQ(initial, r.iosb.Status);
      EXPECT_EQ(initial, r.returned);
      EXPECT_EQ(1, PowerStartsBy(pdo));
    }
  }
  EXPECT_EQ(PowerSystemWorking, port->SystemPowerState);
  EXPECT_EQ(PowerDeviceD0, port->DevicePowerState);
  EXPECT_EQ(calls, host::PoSetPowerStateLog().size());
  EXPECT_EQ(host::NodeState::Started, PortNode(node, 0)->State());

  host::PowerResult wake = host::WaitWake(*PortNode(node, 0), PowerSystemSleeping3);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, wake.status);
}

TEST_F(PowerTest, BusDevicePassesEveryRequestDown) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT fdo = node.Fdo();
  PBUS_EXTENSION bus = BusOf(node);
  ASSERT_EQ(static_cast<ULONG>(NotStarted), bus->PnpState);

  const UCHAR minors[] = {IRP_MN_SET_POWER, IRP_MN_QUERY_POWER, IRP_MN_WAIT_WAKE,
                          IRP_MN_POWER_SEQUENCE};
  for (UCHAR minor : minors) {
    SCOPED_TRACE("minor " + std::to_string(minor));
    const int before = node.Pci()->RequestCount(IRP_MJ_POWER, minor);
    Power(fdo, minor, DevicePowerState, DeviceState(PowerDeviceD3));
    EXPECT_EQ(before + 1, node.Pci()->RequestCount(IRP_MJ_POWER, minor));
    EXPECT_EQ(1, PowerStartsBy(fdo));
    EXPECT_EQ(1, bus->OutstandingIo);
  }
  host::PowerResult r = host::SetDevicePower(node, PowerDeviceD3);
  EXPECT_EQ(node.Pci()->RequestLog().back().status, r.status);
  EXPECT_EQ(PowerDeviceD0, bus->DevicePowerState);
  EXPECT_EQ(PowerSystemWorking, bus->SystemPowerState);
}

TEST_F(PowerTest, BusCountsPowerRequestsOnlyOnceItHasLeftNotStarted) {
  host::DeviceNode& node = Card8();
  PBUS_EXTENSION bus = BusOf(node);
  ASSERT_EQ(static_cast<ULONG>(NotStarted), bus->PnpState);

  node.Pci()->DeliverRequests(IRP_MJ_POWER, -1, host::Delivery::HoldBlocking, 1);
  auto first = host::SendPowerAsync(node, IRP_MN_SET_POWER, SystemPowerState,
                                    SystemState(PowerSystemWorking));
  EXPECT_TRUE(node.Pci()->WaitForHeld(1));
  EXPECT_EQ(1, bus->OutstandingIo);  // not counted
  node.Pci()->ReleaseHeld();
  first->Wait();

  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(node));
  ASSERT_EQ(static_cast<ULONG>(StopPending), bus->PnpState);
  node.Pci()->DeliverRequests(IRP_MJ_POWER, -1, host::Delivery::HoldBlocking, 1);
  auto second = host::SendPowerAsync(node, IRP_MN_QUERY_POWER, SystemPowerState,
                                     SystemState(PowerSystemSleeping1));
  EXPECT_TRUE(node.Pci()->WaitForHeld(1));
  EXPECT_EQ(2, bus->OutstandingIo);  // counted while inside the handler
  node.Pci()->ReleaseHeld();
  second->Wait();
  EXPECT_EQ(1, bus->OutstandingIo);
  EXPECT_EQ(STATUS_SUCCESS, host::CancelStop(node));
}

TEST_F(PowerTest, RemovalWaitsForAPowerRequestInFlight) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT fdo = node.Fdo();
  PBUS_EXTENSION bus = BusOf(node);
  ASSERT_EQ(STATUS_SUCCESS, host::QueryRemove(node));
  ASSERT_EQ(static_cast<ULONG>(RemovePending), bus->PnpState);

  node.Pci()->DeliverRequests(IRP_MJ_POWER, -1, host::Delivery::HoldBlocking, 1);
  auto power = host::SendPowerAsync(node, IRP_MN_SET_POWER, DevicePowerState,
                                    DeviceState(PowerDeviceD0));
  ASSERT_TRUE(node.Pci()->WaitForHeld(1));

  NTSTATUS removed = STATUS_PENDING;
  std::thread remover([&] { removed = host::RemoveDevice(node); });
  const bool waited = WaitUntilWaitedOn(&bus->RemoveEvent);
  EXPECT_TRUE(waited);
  if (waited) {
    // The removal is parked on RemoveEvent: nothing has gone down yet.
    EXPECT_EQ(0, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
    EXPECT_TRUE(host::IsDeviceAlive(fdo));
    EXPECT_FALSE(power->Done());
  }
  node.Pci()->ReleaseHeld();
  EXPECT_EQ(STATUS_SUCCESS, power->Wait().returned);
  remover.join();
  EXPECT_EQ(STATUS_SUCCESS, removed);
  EXPECT_EQ(1, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
  EXPECT_FALSE(host::IsDeviceAlive(fdo));
  EXPECT_EQ(host::NodeState::Removed, node.State());
}

}  // namespace
}  // namespace porttest
