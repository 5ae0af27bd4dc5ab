// The PCI bus driver stand-in: configuration reads, capabilities, identity,
// failure injection and late completion from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "host/io.h"
#include "host/kernel.h"
#include "host/machine.h"
#include "host/verifier.h"
#include "registry.h"
#include "platform_test.h"

namespace {

class PciTest : public testsupport::PlatformTest {
 protected:
  // A card in a slot with no function driver: requests go straight to the PCI device.
  host::DeviceNode& Plug(host::CardModel model = host::CardModel::Ports8) {
    host::PlugOptions options;
    options.addDevice = false;
    return host::PlugCard(host::CreateCard(model), 2, 13, 1, options);
  }
  void TearDown() override {
    host::TearDownMachine();
    testsupport::PlatformTest::TearDown();
  }
};

host::PnpResult ReadConfig(host::DeviceNode& node, ULONG offset, ULONG* value, ULONG length = 4) {
  return host::SendPnp(node, IRP_MN_READ_CONFIG, [&](PIO_STACK_LOCATION s) {
    s->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    s->Parameters.ReadWriteConfig.Buffer = value;
    s->Parameters.ReadWriteConfig.Offset = offset;
    s->Parameters.ReadWriteConfig.Length = length;
  });
}

TEST_F(PciTest, ConfigReadReturnsBytesAndCountsOnlyAnsweredReads) {
  host::DeviceNode& node = Plug(host::CardModel::Ports32);
  host::Card& card = *node.GetCard();
  ULONG value = 0;
  host::PnpResult r = ReadConfig(node, 0x2C, &value);
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(STATUS_SUCCESS, r.returned);
  EXPECT_EQ(4u, r.information);
  EXPECT_EQ(0x91641698u, value);
  EXPECT_EQ(1, card.ConfigReads());

  // Beyond the 256 bytes: refused, nothing read.
  value = 0xABCD;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ReadConfig(node, 0xFE, &value).status);
  EXPECT_EQ(0xABCDu, value);
  EXPECT_EQ(1, card.ConfigReads());

  node.Pci()->FailRequests(IRP_MJ_PNP, IRP_MN_READ_CONFIG, STATUS_DEVICE_NOT_READY, 1);
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, ReadConfig(node, 0x18, &value).status);
  EXPECT_EQ(0xABCDu, value);
  EXPECT_EQ(STATUS_SUCCESS, ReadConfig(node, 0x18, &value).status);
  EXPECT_EQ(1u, value & 1);
  EXPECT_EQ(2, card.ConfigReads());
  ASSERT_EQ(2u, card.ConfigLog().size());
  EXPECT_EQ(0x18u, card.ConfigLog()[1].offset);
  EXPECT_EQ(4, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_READ_CONFIG));
}

TEST_F(PciTest, HeldRequestIsCompletedFromAnotherThreadWhenReleased) {
  host::DeviceNode& node = Plug();
  node.Pci()->DeliverRequests(IRP_MJ_PNP, IRP_MN_READ_CONFIG, host::Delivery::HoldPending, 1);
  ULONG value = 0;
  std::atomic<bool> back{false};
  host::PnpResult result{};
  std::thread sender([&] {
    result = ReadConfig(node, 0x2C, &value);
    back = true;
  });
  ASSERT_TRUE(node.Pci()->WaitForHeld(1));
  EXPECT_FALSE(back.load());
  EXPECT_EQ(0, node.GetCard()->ConfigReads());
  node.Pci()->ReleaseHeld();
  sender.join();
  EXPECT_EQ(STATUS_PENDING, result.returned);
  EXPECT_EQ(STATUS_SUCCESS, result.status);
  EXPECT_EQ(0x00084B51u, value);
  ASSERT_EQ(1u, node.Pci()->RequestLog().size());
  EXPECT_TRUE(node.Pci()->RequestLog()[0].pended);

  // The rule was for one request: the next one is answered at once.
  EXPECT_EQ(STATUS_SUCCESS, ReadConfig(node, 0x2C, &value).returned);
}

TEST_F(PciTest, FromThreadDeliveryPendsAndCompletesWithTheInjectedStatus) {
  host::DeviceNode& node = Plug();
  node.Pci()->DeliverRequests(IRP_MJ_PNP, -1, host::Delivery::FromThread);
  node.Pci()->FailRequests(IRP_MJ_PNP, IRP_MN_READ_CONFIG, STATUS_UNSUCCESSFUL, 1);
  ULONG value = 0;
  host::PnpResult failed = ReadConfig(node, 0x2C, &value);
  EXPECT_EQ(STATUS_PENDING, failed.returned);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, failed.status);
  host::PnpResult ok = ReadConfig(node, 0x2C, &value);
  EXPECT_EQ(STATUS_PENDING, ok.returned);
  EXPECT_EQ(STATUS_SUCCESS, ok.status);
  EXPECT_EQ(0x00084B51u, value);
}

TEST_F(PciTest, BlockingHoldKeepsAPowerRequestInsideTheDispatchRoutine) {
  host::DeviceNode& node = Plug();
  node.Pci()->DeliverRequests(IRP_MJ_POWER, IRP_MN_SET_POWER, host::Delivery::HoldBlocking, 1);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  auto request = host::SendPowerAsync(node, IRP_MN_SET_POWER, DevicePowerState, d3);
  ASSERT_TRUE(node.Pci()->WaitForHeld(1));
  EXPECT_FALSE(request->Done());
  // The end-of-test check reports the held request (and the power request
  // still running) and lets it go.
  auto findings = host::MachineEndChecks();
  ASSERT_EQ(2u, findings.size());
  EXPECT_NE(std::string::npos, findings[0].find("1 request(s) still held at the PCI device at PCI bus 2"));
  EXPECT_EQ(0u, node.Pci()->HeldCount());
  host::PowerResult result = request->Wait();
  EXPECT_EQ(STATUS_SUCCESS, result.returned);
  EXPECT_EQ(STATUS_SUCCESS, result.status);
  auto log = host::PoSetPowerStateLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(node.Pdo(), log[0].device);
  EXPECT_EQ(PowerDeviceD3, log[0].state.DeviceState);
}

TEST_F(PciTest, PowerRequestsAreAnsweredAndWaitWakeKeepsItsStatus) {
  host::DeviceNode& node = Plug();
  EXPECT_EQ(STATUS_SUCCESS, host::QuerySystemPower(node, PowerSystemSleeping3).status);
  EXPECT_EQ(STATUS_SUCCESS, host::SetSystemPower(node, PowerSystemSleeping3).status);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, host::WaitWake(node, PowerSystemSleeping1).status);
  EXPECT_TRUE(host::PoSetPowerStateLog().empty());
  EXPECT_EQ(3, node.Pci()->RequestCount(IRP_MJ_POWER));
}

TEST_F(PciTest, CapabilitiesReportTheSlotAndThePowerMapping) {
  host::DeviceNode& node = Plug();
  node.Pci()->Capabilities().SystemWake = PowerSystemSleeping1;
  node.Pci()->Capabilities().DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  host::PnpResult r = host::SendPnp(node, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
    s->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  ASSERT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ((13u << 16) | 1u, caps.Address);
  EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
  EXPECT_EQ(PowerDeviceD2, caps.DeviceState[PowerSystemSleeping1]);
  EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemSleeping3]);
  EXPECT_EQ(PowerSystemSleeping1, caps.SystemWake);
  EXPECT_EQ(sizeof caps, caps.Size);

  caps.Version = 0;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, host::SendPnp(node, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
              s->Parameters.DeviceCapabilities.Capabilities = &caps;
            }).status);
}

TEST_F(PciTest, IdentityAndLocationMatchTheSlot) {
  host::DeviceNode& node = Plug(host::CardModel::Ports4MultiMode);
  EXPECT_EQ("PCI\\VEN_7A5E&DEV_0C40&SUBSYS_00844B51&REV_00", node.Pci()->DeviceId());
  EXPECT_EQ(0u, node.InstancePath().find(node.Pci()->DeviceId() + "\\"));
  EXPECT_EQ(node.InstancePath(), host::DeviceInstancePath(node.Pdo()));
  EXPECT_EQ("PCI bus 2, device 13, function 1",
            host::RegistryStore::Instance().GetString(node.KeyPath(), "LocationInformation").value_or(""));

  host::PnpResult id = host::SendPnp(node, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryId.IdType = BusQueryDeviceID;
  });
  ASSERT_EQ(STATUS_SUCCESS, id.status);
  auto* text = reinterpret_cast<const char16_t*>(id.information);
  EXPECT_EQ(u"PCI\\VEN_7A5E&DEV_0C40&SUBSYS_00844B51&REV_00", std::u16string(text));
  ExFreePool(reinterpret_cast<PVOID>(id.information));

  // What a PCI device does not answer keeps the status it arrived with.
  EXPECT_EQ(STATUS_NOT_SUPPORTED, host::SendPnp(node, IRP_MN_QUERY_INTERFACE).status);
}

TEST_F(PciTest, LocationTextCanBeOverridden) {
  host::PlugOptions options;
  options.addDevice = false;
  options.locationText = "bus x7 dev 3";
  host::DeviceNode& node = host::PlugCard(host::CreateCard(host::CardModel::Ports2), 0, 3, 0, options);
  EXPECT_EQ("bus x7 dev 3",
            host::RegistryStore::Instance().GetString(node.KeyPath(), "LocationInformation").value_or(""));
}

}  // namespace
