// The Plug and Play manager with a tiny bus driver: loading and unloading,
// children added and removed by bus relations, the checks on buffers the
// children hand out, the COM port installer and the serial port driver.
#include <gtest/gtest.h>

#include <algorithm>

#include "buffer_contract.h"
#include "fake_bus.h"
#include "host/io.h"
#include "host/kernel.h"
#include "host/machine.h"
#include "host/verifier.h"
#include "platform_test.h"
#include "registry.h"

namespace {

constexpr ULONG kWrongTag = 0x676E6F57;  // "Wong"

class PnpTest : public testsupport::PlatformTest {
 protected:
  void SetUp() override {
    testsupport::PlatformTest::SetUp();
    fakebus::Reset();
    ASSERT_EQ(STATUS_SUCCESS, host::LoadDriver(fakebus::DriverEntry, "fakebus"));
  }
  void TearDown() override {
    host::TearDownMachine();
    testsupport::PlatformTest::TearDown();
  }
  host::DeviceNode& BringUp(std::vector<int> children) {
    fakebus::Report(children);
    return host::BringUpCard(host::CreateCard(host::CardModel::Ports8), 2, 13, 1);
  }
  // Takes the verifier's findings (so the test does not fail on them).
  std::string TakeFailures() {
    std::string all;
    for (const auto& f : host::VerifierFailures()) all += f + "\n";
    host::ClearVerifierFailures();
    return all;
  }
};

TEST_F(PnpTest, LoadsTheDriverWithItsServiceKeyPath) {
  EXPECT_EQ(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\fakebus", fakebus::RegistryPathSeen());
  EXPECT_TRUE(host::RegistryStore::Instance().KeyExists("SYSTEM\\CurrentControlSet\\Services\\fakebus"));
  PDRIVER_OBJECT driver = host::LoadedDriver("fakebus");
  ASSERT_NE(nullptr, driver);
  EXPECT_EQ(1, host::DriverLoadCount("fakebus"));

  fakebus::FailEntry(STATUS_INSUFFICIENT_RESOURCES);
  PDRIVER_OBJECT failed = reinterpret_cast<PDRIVER_OBJECT>(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, host::LoadDriver(fakebus::DriverEntry, "other", &failed));
  EXPECT_EQ(nullptr, failed);
  EXPECT_EQ(nullptr, host::LoadedDriver("other"));
}

TEST_F(PnpTest, BringUpStartsTheCardAndEveryReportedChild) {
  host::DeviceNode& card = BringUp({0, 1, 2});
  EXPECT_EQ(host::NodeState::Started, card.State());
  EXPECT_EQ(STATUS_SUCCESS, card.addStatus);
  EXPECT_EQ(STATUS_SUCCESS, card.startStatus);
  EXPECT_TRUE(card.GetCard()->Decoding());
  EXPECT_EQ(1, card.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_START_DEVICE));
  EXPECT_FALSE(card.filteredRequirements.empty());

  auto children = card.Children();
  ASSERT_EQ(3u, children.size());
  PDRIVER_OBJECT serial = host::LoadedDriver("Serial");
  ASSERT_NE(nullptr, serial);
  for (int i = 0; i < 3; i++) {
    host::DeviceNode& child = *children[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(host::NodeState::Started, child.State());
    EXPECT_EQ(fakebus::ChildPdo(i), child.Pdo());
    EXPECT_EQ("FAKE\\PORT", child.deviceId);
    EXPECT_EQ(std::vector<std::string>{"FAKE\\PORT"}, child.hardwareIds);
    EXPECT_EQ("Fake port", child.description);
    ASSERT_TRUE(child.capabilities.has_value());
    EXPECT_EQ((ULONG)i, child.capabilities->UINumber);
    ASSERT_TRUE(child.busInformation.has_value());
    EXPECT_EQ(PNPBus, child.busInformation->LegacyBusType);
    EXPECT_EQ("FAKE\\PORT\\000" + std::to_string(i), child.InstancePath());
    EXPECT_EQ(child.InstancePath(), host::DeviceInstancePath(child.Pdo()));
    // The serial port driver sits above the PDO.
    ASSERT_NE(nullptr, child.Fdo());
    EXPECT_EQ(serial, child.Fdo()->DriverObject);
    EXPECT_NE(0u, child.Pdo()->Flags & DO_BUS_ENUMERATED_DEVICE);
    // The manager holds one reference for the device node, no more.
    EXPECT_EQ(1, host::ReferenceCount(child.Pdo()));
  }
  // Interrogation order: identity first, resources before the start.
  int resources = fakebus::Find("child1:IRP_MN_QUERY_RESOURCES");
  int start = fakebus::Find("child1:IRP_MN_START_DEVICE");
  ASSERT_GE(resources, 0);
  EXPECT_LT(fakebus::Find("child1:IRP_MN_QUERY_ID"), resources);
  EXPECT_LT(resources, start);
}

TEST_F(PnpTest, SerialDriverReadsTheValuesPublishedAtTheResourceQuery) {
  host::DeviceNode& card = BringUp({0, 5});
  host::DeviceNode& port5 = *card.Children()[1];
  auto reading = port5.LastSerialReading();
  ASSERT_TRUE(reading.has_value());
  EXPECT_EQ(STATUS_SUCCESS, reading->openStatus);
  ASSERT_EQ(11u, reading->values.size());
  for (ULONG k = 0; k < 11; k++) {
    EXPECT_EQ(host::SerialValueNames()[k], reading->values[k].name);
    EXPECT_EQ(std::optional<ULONG>(500 + k), reading->Dword(host::SerialValueNames()[k]));
  }
  EXPECT_EQ(2u, host::SerialReadings().size());
}

TEST_F(PnpTest, SerialDriverRecordsMissingValues) {
  fakebus::Settings().writePortValues = false;
  host::DeviceNode& card = BringUp({0});
  auto reading = card.Children()[0]->LastSerialReading();
  ASSERT_TRUE(reading.has_value());
  EXPECT_EQ(STATUS_SUCCESS, reading->openStatus);
  EXPECT_EQ(std::nullopt, reading->Dword("BASEADDR"));
  EXPECT_FALSE(NT_SUCCESS(reading->values[0].status));
}

TEST_F(PnpTest, KnownChildrenAreNotInterrogatedAgain) {
  host::DeviceNode& card = BringUp({0, 1});
  const int queries = fakebus::Count("child0", IRP_MN_QUERY_ID);
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(card));
  EXPECT_EQ(queries, fakebus::Count("child0", IRP_MN_QUERY_ID));
  EXPECT_EQ(1, fakebus::Count("child0", IRP_MN_START_DEVICE));
  EXPECT_EQ(2u, card.Children().size());
  // The second list's references were given back.
  EXPECT_EQ(1, host::ReferenceCount(card.Children()[0]->Pdo()));
}

TEST_F(PnpTest, DeviceListedTwiceIsReportedOnceAndItsSecondReferenceGivenBack) {
  host::DeviceNode& card = BringUp({0, 1});
  fakebus::Report({1, 0, 1});
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(card));
  const std::string found = TakeFailures();
  EXPECT_EQ(1, std::count(found.begin(), found.end(), '\n')) << found;
  EXPECT_NE(std::string::npos, found.find(" twice")) << found;
  ASSERT_EQ(2u, card.Children().size());
  for (host::DeviceNode* child : card.Children()) EXPECT_EQ(1, host::ReferenceCount(child->Pdo()));
  EXPECT_EQ(1, fakebus::Count("child1", IRP_MN_START_DEVICE));
}

TEST_F(PnpTest, ChildrenMissingFromTheAnswerAreSurpriseRemovedThenRemoved) {
  host::DeviceNode& card = BringUp({0, 1, 2});
  host::DeviceNode* gone = card.Children()[1];
  PDEVICE_OBJECT goneFdo = gone->Fdo();
  fakebus::Report({0, 2});
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(card));
  EXPECT_EQ(host::NodeState::Removed, gone->State());
  EXPECT_EQ(2u, card.Children().size());
  int surprise = fakebus::Find("child1:IRP_MN_SURPRISE_REMOVAL");
  int remove = fakebus::Find("child1:IRP_MN_REMOVE_DEVICE");
  ASSERT_GE(surprise, 0);
  EXPECT_LT(surprise, remove);
  // The fake deleted its PDO; the serial driver deleted its device.
  EXPECT_FALSE(host::IsDeviceAlive(gone->Pdo()));
  EXPECT_FALSE(host::IsDeviceAlive(goneFdo));

  // Reported again, it comes back as a new device.
  fakebus::Report({0, 1, 2});
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(card));
  ASSERT_EQ(3u, card.Children().size());
  EXPECT_EQ(host::NodeState::Started, card.Children()[2]->State());
  EXPECT_EQ("FAKE\\PORT\\0001", card.Children()[2]->InstancePath());
}

TEST_F(PnpTest, RemovalTakesChildrenFirstAndUnloadsTheDrivers) {
  host::DeviceNode& card = BringUp({0, 1});
  PDEVICE_OBJECT pdo = card.Pdo();
  ASSERT_EQ(STATUS_SUCCESS, host::QueryAndRemove(card));
  int child0 = fakebus::Find("child0:IRP_MN_REMOVE_DEVICE");
  int child1 = fakebus::Find("child1:IRP_MN_REMOVE_DEVICE");
  int fdo = fakebus::Find("fdo:IRP_MN_REMOVE_DEVICE");
  ASSERT_GE(child0, 0);
  EXPECT_LT(child0, fdo);
  EXPECT_LT(child1, fdo);
  EXPECT_LT(fakebus::Find("child0:IRP_MN_QUERY_REMOVE_DEVICE"), fakebus::Find("fdo:IRP_MN_QUERY_REMOVE_DEVICE"));
  EXPECT_EQ(host::NodeState::Removed, card.State());
  EXPECT_FALSE(host::IsDeviceAlive(pdo));
  EXPECT_FALSE(card.GetCard()->Decoding());
  // Both drivers lost their last device and were unloaded.
  EXPECT_EQ(nullptr, host::LoadedDriver("fakebus"));
  EXPECT_EQ(nullptr, host::LoadedDriver("Serial"));
  EXPECT_EQ(1, fakebus::Unloads());

  // A new card loads the driver again.
  host::DeviceNode& again = host::BringUpCard(host::CreateCard(host::CardModel::Ports2), 2, 14, 0);
  EXPECT_EQ(host::NodeState::Started, again.State());
  EXPECT_EQ(2, host::DriverLoadCount("fakebus"));
}

TEST_F(PnpTest, RefusedQueryRemoveIsCancelledEverywhere) {
  host::DeviceNode& card = BringUp({0});
  card.Pci()->FailRequests(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_UNSUCCESSFUL, 1);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, host::QueryRemove(card));
  EXPECT_EQ(1, fakebus::Count("child0", IRP_MN_CANCEL_REMOVE_DEVICE));
  EXPECT_EQ(1, fakebus::Count("fdo", IRP_MN_CANCEL_REMOVE_DEVICE));
  EXPECT_EQ(host::NodeState::Started, card.State());
  EXPECT_EQ(host::NodeState::Started, card.Children()[0]->State());
}

TEST_F(PnpTest, FailedStartIsFollowedByRemoval) {
  fakebus::Report({});
  host::Card& c = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& card = host::PlugCard(c, 1, 2, 0);
  card.Pci()->FailRequests(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, host::StartDevice(card));
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, card.startStatus);
  EXPECT_EQ(host::NodeState::Removed, card.State());
  EXPECT_EQ(1, fakebus::Count("fdo", IRP_MN_REMOVE_DEVICE));
}

TEST_F(PnpTest, StopAndRestartKeepTheChildren) {
  host::DeviceNode& card = BringUp({0});
  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(card));
  EXPECT_EQ(host::NodeState::QueryStopped, card.State());
  ASSERT_EQ(STATUS_SUCCESS, host::CancelStop(card));
  EXPECT_EQ(host::NodeState::Started, card.State());
  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(card));
  ASSERT_EQ(STATUS_SUCCESS, host::StopDevice(card));
  EXPECT_EQ(host::NodeState::Stopped, card.State());
  ASSERT_EQ(STATUS_SUCCESS, host::StartDevice(card));
  EXPECT_EQ(host::NodeState::Started, card.State());
  EXPECT_EQ(2, card.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_START_DEVICE));
  EXPECT_EQ(1u, card.Children().size());
}

// Windows asks only for pool the requester can free; the tags and exact
// sizes a driver promises are checked on the test side.
TEST_F(PnpTest, BufferContractCatchesWrongTagsAndSizes) {
  testsupport::ExpectBufferContract();
  fakebus::Settings().idTag = kWrongTag;
  fakebus::Settings().idExtraBytes = 4;
  fakebus::Settings().textTag = kWrongTag;
  fakebus::Settings().busInfoTag = 0x206B6444;
  fakebus::Settings().relationsTag = kWrongTag;
  fakebus::Settings().relationsExtraBytes = 8;
  BringUp({0});
  EXPECT_EQ("", TakeFailures()) << "the platform itself holds drivers to no tags or sizes";
  std::string found;
  for (const auto& f : testsupport::TakeBufferContractFindings()) found += f + "\n";
  EXPECT_NE(std::string::npos, found.find("device ID has pool tag 'Wong', expected 'Ddk '")) << found;
  EXPECT_NE(std::string::npos, found.find("device ID came in a 24-byte buffer; its contents need 20")) << found;
  EXPECT_NE(std::string::npos, found.find("device description has pool tag 'Wong'")) << found;
  EXPECT_NE(std::string::npos, found.find("bus information has pool tag 'Ddk ', expected 'Zbus'")) << found;
  EXPECT_NE(std::string::npos, found.find("bus relations has pool tag 'Wong'")) << found;
  EXPECT_NE(std::string::npos, found.find("bus relations came in a 24-byte buffer; its contents need 16")) << found;
  EXPECT_EQ(std::string::npos, found.find("hardware IDs came in")) << found;
}

TEST_F(PnpTest, BufferContractCanBeChangedOrSwitchedOff) {
  testsupport::BufferContract contract;
  contract.ids = kWrongTag;
  contract.text = 0;
  testsupport::ExpectBufferContract(contract);
  fakebus::Settings().idTag = kWrongTag;
  fakebus::Settings().textTag = kWrongTag;
  BringUp({0});
  EXPECT_TRUE(testsupport::TakeBufferContractFindings().empty());
}

TEST_F(PnpTest, ComInstallerGivesTheLowestFreeNumberFromCom3) {
  host::DeviceNode& card = BringUp({0, 1, 2});
  EXPECT_EQ("COM3", card.Children()[0]->PortName());
  EXPECT_EQ("COM4", card.Children()[1]->PortName());
  EXPECT_EQ("COM5", host::ComName("0002"));
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), host::ClaimedComNumbers());
  EXPECT_EQ("Fake port (COM4)",
            host::RegistryStore::Instance().GetString(card.Children()[1]->KeyPath(), "FriendlyName").value_or(""));

  // A removed port stays installed: its number is not given away, and it
  // gets its name back when it returns.
  fakebus::Report({0, 2});
  host::QueryBusRelations(card);
  fakebus::Report({0, 2, 3});
  host::QueryBusRelations(card);
  EXPECT_EQ("COM6", host::ComName("0003"));
  fakebus::Report({0, 1, 2, 3});
  host::QueryBusRelations(card);
  EXPECT_EQ("COM4", host::ComName("0001"));

  // Uninstalling frees the number for the next new port.
  fakebus::Report({0, 2, 3});
  host::QueryBusRelations(card);
  host::UninstallPort("0001");
  EXPECT_EQ((std::vector<int>{1, 2, 3, 5, 6}), host::ClaimedComNumbers());
  fakebus::Report({0, 2, 3, 7});
  host::QueryBusRelations(card);
  EXPECT_EQ("COM4", host::ComName("0007"));
}

TEST_F(PnpTest, ExistingPortNameIsKeptAndClaimed) {
  auto& store = host::RegistryStore::Instance();
  const std::string key = "SYSTEM\\CurrentControlSet\\Enum\\FAKE\\PORT\\0000\\Device Parameters";
  store.CreateKey(key);
  store.SetString(key, "PORTNAME", "COM9");
  host::DeviceNode& card = BringUp({0, 1});
  EXPECT_EQ("COM9", card.Children()[0]->PortName());
  EXPECT_EQ("COM3", card.Children()[1]->PortName());
  EXPECT_EQ((std::vector<int>{1, 2, 3, 9}), host::ClaimedComNumbers());
}

TEST_F(PnpTest, DisabledChildKeepsItsNodeAndPdoUntilReportedMissing) {
  host::DeviceNode& card = BringUp({0, 1});
  host::DeviceNode* port = card.Children()[0];
  PDEVICE_OBJECT pdo = port->Pdo();
  ASSERT_EQ(STATUS_SUCCESS, host::DisableDevice(*port));
  EXPECT_EQ(host::NodeState::Disabled, port->State());
  // RemovalRelations, then the query, then the removal.
  int relations = fakebus::Find("child0:IRP_MN_QUERY_DEVICE_RELATIONS");
  int query = fakebus::Find("child0:IRP_MN_QUERY_REMOVE_DEVICE");
  ASSERT_NE(-1, relations);
  EXPECT_LT(relations, query);
  EXPECT_LT(query, fakebus::Find("child0:IRP_MN_REMOVE_DEVICE"));
  // The manager keeps its reference and the device node.
  ASSERT_TRUE(host::IsDeviceAlive(pdo));
  EXPECT_EQ(1, host::ReferenceCount(pdo));
  EXPECT_TRUE(host::HasDeviceNode(pdo));

  // Reported again: the same node, still disabled, nothing started.
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(card));
  ASSERT_EQ(2u, card.Children().size());
  EXPECT_EQ(host::NodeState::Disabled, port->State());
  EXPECT_EQ(1, fakebus::Count("child0", IRP_MN_START_DEVICE));

  ASSERT_EQ(STATUS_SUCCESS, host::EnableDevice(*port));
  EXPECT_EQ(host::NodeState::Started, port->State());
  EXPECT_EQ(pdo, port->Pdo());
  EXPECT_EQ(2, fakebus::Count("child0", IRP_MN_START_DEVICE));

  // Reported missing while disabled: a second removal, then the PDO goes.
  ASSERT_EQ(STATUS_SUCCESS, host::DisableDevice(*port));
  fakebus::Report({1});
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(card));
  EXPECT_EQ(3, fakebus::Count("child0", IRP_MN_REMOVE_DEVICE));
  EXPECT_EQ(host::NodeState::Removed, port->State());
  EXPECT_FALSE(host::IsDeviceAlive(pdo));
  EXPECT_EQ(1u, card.Children().size());
}

TEST_F(PnpTest, BusThatDeletesAReportedChildIsCaught) {
  host::DeviceNode& card = BringUp({0, 1});
  fakebus::Settings().deleteReportedChildren = true;
  host::DeviceNode* port = card.Children()[0];
  ASSERT_EQ(STATUS_SUCCESS, host::DisableDevice(*port));
  EXPECT_NE(std::string::npos, TakeFailures().find("0x221"));

  // The function driver cannot attach to the PDO being deleted.
  EXPECT_FALSE(NT_SUCCESS(host::EnableDevice(*port)));
  EXPECT_NE(std::string::npos, TakeFailures().find("being deleted"));

  // The next answer reports a new PDO with the instance ID of the kept node.
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(card));
  EXPECT_NE(std::string::npos, TakeFailures().find("0xCA parameter 1"));
}

TEST_F(PnpTest, SequencesWindowsNeverSendsAreRefused) {
  host::DeviceNode& card = BringUp({0});
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, host::StopDevice(card));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, host::RemoveDevice(card));
  EXPECT_EQ(0, fakebus::Count("fdo", IRP_MN_STOP_DEVICE));
  EXPECT_EQ(0, fakebus::Count("fdo", IRP_MN_REMOVE_DEVICE));
  EXPECT_NE(std::string::npos, TakeFailures().find("refused"));

  host::AllowIllegalSequences(true);
  EXPECT_EQ(STATUS_SUCCESS, host::StopDevice(card));
  EXPECT_EQ(1, fakebus::Count("fdo", IRP_MN_STOP_DEVICE));
}

TEST_F(PnpTest, StartIsFollowedByCapabilitiesAndAFirstStartByItsState) {
  host::DeviceNode& card = BringUp({0});
  const auto after = [](const std::string& who, const char* what) {
    const auto log = fakebus::Log();
    const auto last = [&](const std::string& text) {
      return std::find(log.rbegin(), log.rend(), text).base() - log.begin();
    };
    return last(who + ":" + what) > last(who + ":IRP_MN_START_DEVICE");
  };
  EXPECT_TRUE(after("child0", "IRP_MN_QUERY_CAPABILITIES"));
  EXPECT_EQ(1, fakebus::Count("child0", IRP_MN_QUERY_PNP_DEVICE_STATE));
  EXPECT_EQ(2, fakebus::Count("child0", IRP_MN_QUERY_CAPABILITIES));
  const int states = fakebus::Count("fdo", IRP_MN_QUERY_PNP_DEVICE_STATE);
  const int caps = fakebus::Count("fdo", IRP_MN_QUERY_CAPABILITIES);

  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(card));
  ASSERT_EQ(STATUS_SUCCESS, host::StopDevice(card));
  ASSERT_EQ(STATUS_SUCCESS, host::StartDevice(card));
  EXPECT_EQ(states, fakebus::Count("fdo", IRP_MN_QUERY_PNP_DEVICE_STATE)) << "asked again after a restart";
  EXPECT_EQ(caps + 1, fakebus::Count("fdo", IRP_MN_QUERY_CAPABILITIES));
}

TEST_F(PnpTest, PowerRequestsTravelThroughTheStacks) {
  host::DeviceNode& card = BringUp({0});
  EXPECT_EQ(STATUS_SUCCESS, host::SetDevicePower(card, PowerDeviceD3).status);
  EXPECT_EQ(1, card.Pci()->RequestCount(IRP_MJ_POWER, IRP_MN_SET_POWER));
  host::PowerResult child = host::QueryDevicePower(*card.Children()[0], PowerDeviceD2);
  EXPECT_EQ(STATUS_SUCCESS, child.status);
  EXPECT_EQ(1, card.Pci()->RequestCount(IRP_MJ_POWER));
}

TEST_F(PnpTest, PowerRequestMayRunWhileAPlugAndPlayRequestIsHeld) {
  host::DeviceNode& card = BringUp({});
  card.Pci()->DeliverRequests(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, host::Delivery::HoldBlocking, 1);
  NTSTATUS stop = STATUS_PENDING;
  std::thread pnp([&] { stop = host::QueryStop(card); });
  ASSERT_TRUE(card.Pci()->WaitForHeld(1));
  EXPECT_EQ(STATUS_SUCCESS, host::SetSystemPower(card, PowerSystemWorking).status);
  card.Pci()->ReleaseHeld();
  pnp.join();
  EXPECT_EQ(STATUS_SUCCESS, stop);
}

}  // namespace
