// Card identification from the subsystem dword, read through the card's
// own device stack.
#include <thread>

#include "bus_fixture.h"
#include "test_filter.h"

namespace bustest {
namespace {

using CardIdTest = BusTest;

struct IdCase {
  uint32_t subsystem;
  bool bar2Io;
  ULONG code;
  int reads;
};

void PrintTo(const IdCase& c, std::ostream* os) {
  char text[64];
  std::snprintf(text, sizeof text, "subsystem %08X bar2 %s", c.subsystem, c.bar2Io ? "io" : "mem");
  *os << text;
}

class IdentifyTest : public BusTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(IdentifyTest, SubsystemDwordGivesTheCardCode) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports8);
  setup.subsystem = GetParam().subsystem;
  setup.bar2Io = GetParam().bar2Io;
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, node.addStatus);

  EXPECT_EQ(GetParam().code, IdentifyCard(BusOf(node)));

  auto log = card.ConfigLog();
  ASSERT_EQ(static_cast<size_t>(GetParam().reads), log.size());
  EXPECT_FALSE(log[0].write);
  EXPECT_EQ(0x2Cu, log[0].offset);
  EXPECT_EQ(4u, log[0].length);
  if (log.size() == 2) {
    EXPECT_FALSE(log[1].write);
    EXPECT_EQ(0x18u, log[1].offset);
    EXPECT_EQ(4u, log[1].length);
  }
  EXPECT_EQ(1, BusOf(node)->OutstandingIo);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IdentifyTest,
    ::testing::Values(IdCase{0x00024B51, true, 0x02, 1}, IdCase{0x00044B51, true, 0x04, 1},
                      IdCase{0x00084B51, true, 0x08, 1}, IdCase{0x00104B51, true, 0x10, 1},
                      IdCase{0x00824B51, true, 0x82, 1}, IdCase{0x00844B51, true, 0x84, 1},
                      IdCase{0x91641698, true, 0x20, 2},
                      // Not in the table.
                      IdCase{0x91641698, false, 0x00, 2}, IdCase{0x00204B51, true, 0x00, 1},
                      IdCase{0x00884B51, true, 0x00, 1}, IdCase{0x00024B52, true, 0x00, 1},
                      IdCase{0x4B510002, true, 0x00, 1}, IdCase{0x91641699, true, 0x00, 1},
                      IdCase{0x00000000, true, 0x00, 1}, IdCase{0x00014B51, true, 0x00, 1}));

TEST_F(CardIdTest, ReadTravelsDownTheBusDevicesStack) {
  host::Card& card = host::CreateCard(host::CardModel::Ports4);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  node.Pci()->ClearRequestLog();
  EXPECT_EQ(0x04u, IdentifyCard(BusOf(node)));
  auto log = node.Pci()->RequestLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(IRP_MJ_PNP, log[0].major);
  EXPECT_EQ(IRP_MN_READ_CONFIG, log[0].minor);
  EXPECT_EQ(0x2Cu, log[0].offset);
  EXPECT_EQ(4u, log[0].length);
  EXPECT_EQ(STATUS_SUCCESS, log[0].status);
}

TEST_F(CardIdTest, FailedReadGivesZero) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  node.Pci()->FailRequests(IRP_MJ_PNP, IRP_MN_READ_CONFIG, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(0u, IdentifyCard(BusOf(node)));
  EXPECT_EQ(0x08u, IdentifyCard(BusOf(node))) << "the fault was for one read only";
}

TEST_F(CardIdTest, ReadThatPendsAndThenFailsGivesZero) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  // A driver above the PCI bus driver puts a whole dword into the buffer,
  // pends the read and then fails it: the data does not count.
  testsupport::TestFilter* self = nullptr;
  testsupport::TestFilter filter(node.Fdo(), [&](PIRP irp, PIO_STACK_LOCATION s, NTSTATUS* r) {
    if (s->MinorFunction != IRP_MN_READ_CONFIG) return false;
    const ULONG known = 0x00084B51;
    std::memcpy(s->Parameters.ReadWriteConfig.Buffer, &known, sizeof known);
    IoMarkIrpPending(irp);
    self->CompleteLater(irp, STATUS_DEVICE_NOT_READY);
    *r = STATUS_PENDING;
    return true;
  });
  self = &filter;
  EXPECT_EQ(0u, IdentifyCard(BusOf(node)));
  EXPECT_EQ(0, card.ConfigReads());
}

TEST_F(CardIdTest, ReadThatCannotBeBuiltGivesZero) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  host::FailIrpAllocationNth(1);
  EXPECT_EQ(0u, IdentifyCard(BusOf(node)));
  EXPECT_EQ(0, card.ConfigReads());
  // The top device's reference is dropped on this path too (end checks).
}

TEST_F(CardIdTest, SecondReadOfThe32PortCardThatCannotBeBuiltGivesZero) {
  host::Card& card = host::CreateCard(host::CardModel::Ports32);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  host::FailIrpAllocationNth(2);
  EXPECT_EQ(0u, IdentifyCard(BusOf(node)));
  EXPECT_EQ(1, card.ConfigReads());
}

TEST_F(CardIdTest, PendingReadIsWaitedFor) {
  host::Card& card = host::CreateCard(host::CardModel::Ports32);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  host::PciDevice& pci = *node.Pci();
  pci.DeliverRequests(IRP_MJ_PNP, IRP_MN_READ_CONFIG, host::Delivery::HoldPending);

  ULONG code = 0xFFFFFFFF;
  std::thread reader([&] { code = IdentifyCard(BusOf(node)); });
  EXPECT_TRUE(pci.WaitForHeld(1));
  pci.ReleaseHeld();
  EXPECT_TRUE(pci.WaitForHeld(1));  // the BAR 2 read, after the first was answered
  pci.ReleaseHeld();
  reader.join();
  pci.ClearInjections();
  EXPECT_EQ(0x20u, code);
}

TEST_F(CardIdTest, ReadCompletedAtOnceIsNotWaitedFor) {
  host::Card& card = host::CreateCard(host::CardModel::Ports32);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ResetWaits();
  EXPECT_EQ(0x20u, IdentifyCard(BusOf(node)));
  EXPECT_EQ(0, TotalWaits()) << "both reads completed in the dispatch routine";

  node.Pci()->DeliverRequests(IRP_MJ_PNP, IRP_MN_READ_CONFIG, host::Delivery::FromThread);
  EXPECT_EQ(0x20u, IdentifyCard(BusOf(node)));
  EXPECT_EQ(2, TotalWaits()) << "each pending read is waited for once";
  node.Pci()->ClearInjections();
}

TEST_F(CardIdTest, ReadCompletedFromAnotherThreadIsWaitedFor) {
  host::Card& card = host::CreateCard(host::CardModel::Ports2MultiMode);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  node.Pci()->DeliverRequests(IRP_MJ_PNP, IRP_MN_READ_CONFIG, host::Delivery::FromThread);
  EXPECT_EQ(0x82u, IdentifyCard(BusOf(node)));
  node.Pci()->ClearInjections();
}

TEST_F(CardIdTest, ThirtyTwoPortCardWithMemoryBarIsRefusedAtStart) {
  host::Card& card = host::CreateCard(host::CardModel::Ports32MemoryBar);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, host::StartDevice(node));
  EXPECT_EQ(std::optional<uint32_t>(0), PortsValue(node));
  EXPECT_EQ(2, card.ConfigReads());
  EXPECT_TRUE(card.AccessLog().empty());
}

TEST_F(CardIdTest, EveryStartIdentifiesAgain) {
  host::Card& card = host::CreateCard(host::CardModel::Ports32);
  host::DeviceNode& node = PlugAndStart(card);
  EXPECT_EQ(32u, BusOf(node)->PortCount);
  EXPECT_EQ(2, card.ConfigReads());
  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(node));
  ASSERT_EQ(STATUS_SUCCESS, host::StopDevice(node));
  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node, false));
  EXPECT_EQ(32u, BusOf(node)->PortCount);
  EXPECT_EQ(4, card.ConfigReads());
}

}  // namespace
}  // namespace bustest
