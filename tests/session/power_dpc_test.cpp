// The driver under the platform's harder timing: system power requests sent
// to every stack as the power manager sends them, and a PCI bus driver that
// completes every request from a DPC at DISPATCH_LEVEL. The fixture's end
// checks fail the test on any verifier finding.
#include "session_support.h"

namespace session {
namespace {

class PlatformTimingTest : public SessionTest {};

TEST_F(PlatformTimingTest, SystemPowerReachesEveryStackChildrenFirstThenParentsFirstOnWake) {
  host::Card& card = host::CreateCard(host::SetupFor(host::CardModel::Ports4));
  host::DeviceNode& node = host::BringUpCard(card);
  ASSERT_EQ(host::NodeState::Started, node.State()) << node.problem;
  const std::vector<host::DeviceNode*> ports = node.Children();
  ASSERT_EQ(4u, ports.size());

  for (SYSTEM_POWER_STATE state : {PowerSystemSleeping3, PowerSystemWorking}) {
    auto results = host::SendSystemPowerToAll(IRP_MN_SET_POWER, state);
    ASSERT_EQ(5u, results.size());
    // Going to sleep the card's stack comes last, waking it comes first.
    const size_t cardAt = state == PowerSystemWorking ? 0 : 4;
    EXPECT_EQ(&node, results[cardAt].node);
    for (size_t i = 0; i < results.size(); ++i) {
      EXPECT_EQ(STATUS_SUCCESS, results[i].result.status) << i;
      if (i != cardAt) {
        EXPECT_EQ(&node, results[i].node->Parent()) << i;
      }
    }
  }
}

TEST_F(PlatformTimingTest, LifeWithThePciDriverCompletingFromADpc) {
  host::Card& card = host::CreateCard(host::SetupFor(host::CardModel::Ports8));
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, node.addStatus);
  for (UCHAR major : {IRP_MJ_PNP, IRP_MJ_POWER})
    node.Pci()->DeliverRequests(major, -1, host::Delivery::FromDpc);

  EXPECT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  ASSERT_EQ(STATUS_SUCCESS, host::StartDevice(node));
  EXPECT_EQ(STATUS_SUCCESS, host::QueryBusRelations(node));
  EXPECT_EQ(8u, node.Children().size());
  EXPECT_EQ(STATUS_SUCCESS, host::SetSystemPower(node, PowerSystemSleeping3).status);
  EXPECT_EQ(STATUS_SUCCESS, host::SetSystemPower(node, PowerSystemWorking, PowerActionNone).status);
  EXPECT_EQ(STATUS_SUCCESS, host::QueryStop(node));
  EXPECT_EQ(STATUS_SUCCESS, host::StopDevice(node));
  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node));
  EXPECT_EQ(STATUS_SUCCESS, host::QueryAndRemove(node));
  EXPECT_GT(node.Pci()->RequestCount(IRP_MJ_PNP), 5);
}

}  // namespace
}  // namespace session
