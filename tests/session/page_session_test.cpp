// Whole property sheet sessions on the registry the driver published: cards
// brought up by the driver on the emulated machine, the "Ports" page opened
// through EnumPropPages as Device Manager opens it, ports changed through
// the "Change port" dialog, and PORTMODE looked for in the very keys the
// driver wrote and the serial port driver read.
#include <string>
#include <vector>

#include "session_support.h"

namespace session {
namespace {

constexpr int kRs232 = SERHUB_PORTMODE_RS232;
constexpr int kRs485Full = SERHUB_PORTMODE_RS485_FULL;
constexpr int kRs422 = SERHUB_PORTMODE_RS422;

class PageSessionTest : public SessionTest {
 protected:
  // Plugs and starts a card of `setup` at the location and installs its ports.
  static host::DeviceNode& BringUp(const host::CardSetup& setup, ULONG bus, ULONG device,
                                   ULONG function) {
    host::Card& card = host::CreateCard(setup);
    host::DeviceNode& node = host::BringUpCard(card, bus, device, function);
    EXPECT_EQ(host::NodeState::Started, node.State()) << node.problem;
    return node;
  }
  static host::DeviceNode& BringUp(host::CardModel model, ULONG bus, ULONG device,
                                   ULONG function) {
    return BringUp(host::SetupFor(model), bus, device, function);
  }

  static std::vector<std::string> PathsOf(const std::vector<host::RegWrite>& writes) {
    std::vector<std::string> paths;
    for (const auto& write : writes) paths.push_back(write.path);
    return paths;
  }
  static std::vector<uint32_t> ModesOf(const std::vector<host::RegWrite>& writes) {
    std::vector<uint32_t> modes;
    for (const auto& write : writes) {
      EXPECT_EQ(static_cast<uint32_t>(REG_DWORD), write.value.type) << write.path;
      EXPECT_EQ(4u, write.value.data.size()) << write.path;
      modes.push_back(write.value.Dword());
    }
    return modes;
  }
  // The PORTNAME of every present port of the card, in port order.
  static std::vector<std::string> PortNames(const host::DeviceNode& card) {
    std::vector<std::string> names;
    for (host::DeviceNode* port : card.Children()) names.push_back(port->PortName());
    return names;
  }
  // Every port's Device Parameters key that holds a PORTMODE value.
  static std::vector<std::string> KeysWithPortMode(const host::DeviceNode& card) {
    std::vector<std::string> keys;
    for (host::DeviceNode* port : card.Children()) {
      if (Reg().GetValue(port->DeviceParametersPath(), SERHUB_PORTMODE_A))
        keys.push_back(port->DeviceParametersPath());
    }
    return keys;
  }
};

// ---------------------------------------------------------------------------
// The multi-mode 4-port card at bus 2, device 13, function 0: two ports
// changed, the sheet accepted in one of the ways a user accepts it.

enum class Accept { ApplyThenOk, Ok, EnterKey };

class MultiModeSessionTest : public PageSessionTest,
                             public ::testing::WithParamInterface<Accept> {};

TEST_P(MultiModeSessionTest, ChosenModesLandInTheKeysTheSerialDriverRead) {
  host::DeviceNode& card = BringUp(host::CardModel::Ports4MultiMode, 2, 13, 0);
  ASSERT_EQ(4u, card.Children().size());
  const std::vector<std::string> namesBefore = PortNames(card);
  EXPECT_EQ((std::vector<std::string>{"COM3", "COM4", "COM5", "COM6"}), namesBefore);
  Reg().ClearWriteLog();

  CardSheet sheet(card);
  ASSERT_TRUE(sheet.DeviceOpened());
  EXPECT_TRUE(sheet.Offered());
  ASSERT_EQ(1u, sheet.Sheet().PageCount());
  EXPECT_EQ("Ports", sheet.Sheet().PageTitle(0));
  EXPECT_EQ((std::vector<std::string>{"port-1    COM3      RS485_HALF",
                                      "port-2    COM4      RS485_HALF",
                                      "port-3    COM5      RS485_HALF",
                                      "port-4    COM6      RS485_HALF"}),
            sheet.Show());

  std::string comShown;
  sheet.ChangeLine(1, kRs422, &comShown);
  EXPECT_EQ("COM4", comShown) << "the dialog shows the name the COM port installer gave";
  sheet.ChangeLine(2, kRs485Full);
  EXPECT_EQ((std::vector<std::string>{"port-1    COM3      RS485_HALF",
                                      "port-2    COM4      RS422",
                                      "port-3    COM5      RS485_FULL",
                                      "port-4    COM6      RS485_HALF"}),
            sheet.Lines());

  switch (GetParam()) {
    case Accept::ApplyThenOk:
      sheet.Sheet().MarkChanged();  // as another page of the sheet would
      ASSERT_TRUE(sheet.Sheet().PressApply());
      EXPECT_TRUE(WritesOf(SERHUB_PORTMODE_A).empty()) << "written before the page was released";
      ASSERT_TRUE(sheet.Sheet().PressOk());
      break;
    case Accept::Ok:
      ASSERT_TRUE(sheet.Sheet().PressOk());
      break;
    case Accept::EnterKey:
      host::User().PressEnter();
      sheet.Sheet().Run();
      break;
  }
  ASSERT_FALSE(sheet.Sheet().IsOpen());
  EXPECT_EQ(1, sheet.Sheet().Result());

  // Exactly the four ports' keys, each written once; the untouched ports
  // had no PORTMODE and get the record's mode 0.
  const auto writes = WritesOf(SERHUB_PORTMODE_A);
  std::vector<std::string> driverKeys;
  for (host::DeviceNode* port : card.Children()) {
    driverKeys.push_back(port->DeviceParametersPath());
    auto reading = port->LastSerialReading();
    ASSERT_TRUE(reading.has_value());
    EXPECT_EQ(port->InstancePath(), reading->instancePath);
  }
  EXPECT_EQ((std::vector<std::string>{PortKey("020D0000"), PortKey("020D0001"),
                                      PortKey("020D0002"), PortKey("020D0003")}),
            driverKeys);
  EXPECT_EQ(driverKeys, PathsOf(writes));
  EXPECT_EQ((std::vector<uint32_t>{kRs232, kRs422, kRs485Full, kRs232}), ModesOf(writes));
  EXPECT_TRUE(WritesOf(SERHUB_PORTNAME_A).empty());
  EXPECT_EQ(namesBefore, PortNames(card));
  for (host::DeviceNode* port : card.Children()) {
    auto type = Reg().GetValue(port->DeviceParametersPath(), SERHUB_PORTTYPE_A);
    ASSERT_TRUE(type.has_value());
    EXPECT_EQ(1u, type->Dword()) << "the page changed the driver's PORTTYPE";
  }

  // A second session shows the saved modes, and accepting it unchanged
  // writes nothing.
  Reg().ClearWriteLog();
  CardSheet again(card);
  ASSERT_TRUE(again.Offered());
  EXPECT_EQ((std::vector<std::string>{"port-1    COM3      RS485_HALF",
                                      "port-2    COM4      RS422",
                                      "port-3    COM5      RS485_FULL",
                                      "port-4    COM6      RS485_HALF"}),
            again.Show());
  ASSERT_TRUE(again.Sheet().PressOk());
  EXPECT_TRUE(WritesOf(SERHUB_PORTMODE_A).empty());
}

INSTANTIATE_TEST_SUITE_P(Accepted, MultiModeSessionTest,
                         ::testing::Values(Accept::ApplyThenOk, Accept::Ok, Accept::EnterKey),
                         [](const ::testing::TestParamInfo<Accept>& info) {
                           switch (info.param) {
                             case Accept::ApplyThenOk: return "ApplyThenOk";
                             case Accept::Ok: return "Ok";
                             case Accept::EnterKey: return "EnterKey";
                           }
                           return "Unknown";
                         });

// ---------------------------------------------------------------------------

TEST_F(PageSessionTest, TwoCardsEachPageWritesOnlyItsOwnSwitchablePorts) {
  host::DeviceNode& multi = BringUp(host::CardModel::Ports4MultiMode, 2, 13, 0);
  host::DeviceNode& plain = BringUp(host::CardModel::Ports8, 2, 14, 0);
  ASSERT_EQ(8u, plain.Children().size());
  Reg().ClearWriteLog();

  {
    // The plain card's ports were installed after the multi-mode card's.
    CardSheet sheet(plain);
    ASSERT_TRUE(sheet.Offered());
    std::vector<std::string> expected;
    for (int port = 1; port <= 8; ++port) expected.push_back(ListLine(port, port + 6, "RS232"));
    EXPECT_EQ(expected, sheet.Show());
    // On an RS-232 port the mode buttons are disabled: the click does nothing.
    sheet.ChangeLine(3, kRs422);
    EXPECT_EQ(ListLine(4, 10, "RS232"), sheet.Lines().at(3));
    ASSERT_TRUE(sheet.Sheet().PressOk());
  }
  EXPECT_TRUE(WritesOf(SERHUB_PORTMODE_A).empty());
  EXPECT_TRUE(KeysWithPortMode(plain).empty());

  {
    CardSheet sheet(multi);
    ASSERT_TRUE(sheet.Offered());
    sheet.Show();
    sheet.ChangeLine(0, kRs485Full);
    ASSERT_TRUE(sheet.Sheet().PressOk());
  }
  const auto writes = WritesOf(SERHUB_PORTMODE_A);
  EXPECT_EQ((std::vector<std::string>{PortKey("020D0000"), PortKey("020D0001"),
                                      PortKey("020D0002"), PortKey("020D0003")}),
            PathsOf(writes));
  EXPECT_EQ((std::vector<uint32_t>{kRs485Full, kRs232, kRs232, kRs232}), ModesOf(writes));
  EXPECT_TRUE(KeysWithPortMode(plain).empty());
  EXPECT_TRUE(WritesOf(SERHUB_PORTNAME_A).empty());
}

TEST_F(PageSessionTest, CancelWithoutApplyWritesNothing) {
  host::DeviceNode& card = BringUp(host::CardModel::Ports4MultiMode, 2, 13, 0);
  Reg().ClearWriteLog();
  {
    CardSheet sheet(card);
    ASSERT_TRUE(sheet.Offered());
    sheet.Show();
    sheet.ChangeLine(0, kRs422);
    sheet.ChangeLine(3, kRs485Full);
    ASSERT_TRUE(sheet.Sheet().PressCancel());
    EXPECT_EQ(0, sheet.Sheet().Result());
  }
  EXPECT_TRUE(Reg().WriteLog().empty()) << "the session wrote " << Reg().WriteLog().size()
                                        << " value(s), the first " << Reg().WriteLog()[0].value.name;
  EXPECT_TRUE(KeysWithPortMode(card).empty());
}

TEST_F(PageSessionTest, ModesChosenAfterApplyAreSavedEvenWhenCancelled) {
  host::DeviceNode& card = BringUp(host::CardModel::Ports2MultiMode, 2, 13, 0);
  Reg().ClearWriteLog();
  {
    CardSheet sheet(card);
    ASSERT_TRUE(sheet.Offered());
    EXPECT_EQ((std::vector<std::string>{"port-1    COM3      RS485_HALF",
                                        "port-2    COM4      RS485_HALF"}),
              sheet.Show());
    sheet.ChangeLine(0, kRs422);
    sheet.Sheet().MarkChanged();
    ASSERT_TRUE(sheet.Sheet().PressApply());
    sheet.ChangeLine(1, kRs485Full);
    ASSERT_TRUE(sheet.Sheet().PressCancel());
  }
  const auto writes = WritesOf(SERHUB_PORTMODE_A);
  EXPECT_EQ((std::vector<std::string>{PortKey("020D0000"), PortKey("020D0001")}), PathsOf(writes));
  EXPECT_EQ((std::vector<uint32_t>{kRs422, kRs485Full}), ModesOf(writes));
}

TEST_F(PageSessionTest, ThirtyTwoPortCardWithoutItsThirdModuleListsPortsOneToSixteen) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports32);
  setup.modules = {true, true, false, true};
  host::DeviceNode& card = BringUp(setup, 2, 13, 0);
  auto ports = Reg().GetValue(card.DeviceParametersPath(), "PORTS");
  ASSERT_TRUE(ports.has_value());
  EXPECT_EQ(32u, ports->Dword()) << "PORTS is the model's count, not the enumerated one";
  ASSERT_EQ(16u, card.Children().size());
  for (ULONG port = 16; port < 32; ++port)
    EXPECT_FALSE(Reg().KeyExists(PortKey(InstanceId(2, 13, 0, port)))) << port;

  CardSheet sheet(card);
  ASSERT_TRUE(sheet.Offered());
  std::vector<std::string> expected;
  for (int port = 1; port <= 16; ++port) expected.push_back(ListLine(port, port + 2, "RS232"));
  EXPECT_EQ(expected, sheet.Show());
  EXPECT_EQ("port-10   COM12     RS232", sheet.Lines().at(9));
}

TEST_F(PageSessionTest, PortUninstalledWhileThePageIsOpenIsSkippedAtSave) {
  host::DeviceNode& card = BringUp(host::CardModel::Ports4MultiMode, 2, 13, 0);
  Reg().ClearWriteLog();
  const std::string gone = PortKey("020D0002");
  {
    CardSheet sheet(card);
    ASSERT_TRUE(sheet.Offered());
    ASSERT_EQ(4u, sheet.Show().size());
    host::UninstallPort("020D0002");
    ASSERT_FALSE(Reg().KeyExists(gone));
    sheet.ChangeLine(2, kRs422);  // the uninstalled port itself
    sheet.ChangeLine(3, kRs485Full);
    ASSERT_TRUE(sheet.Sheet().PressOk());
  }
  const auto writes = WritesOf(SERHUB_PORTMODE_A);
  EXPECT_EQ((std::vector<std::string>{PortKey("020D0000"), PortKey("020D0001"),
                                      PortKey("020D0003")}),
            PathsOf(writes));
  EXPECT_EQ((std::vector<uint32_t>{kRs232, kRs232, kRs485Full}), ModesOf(writes));
  EXPECT_FALSE(Reg().KeyExists(gone)) << "the save created the uninstalled port's key again";
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 6}), host::ClaimedComNumbers());
}

TEST_F(PageSessionTest, PortUninstalledBeforeThePageOpensLeavesAGapInTheList) {
  host::DeviceNode& card = BringUp(host::CardModel::Ports4MultiMode, 2, 13, 0);
  host::UninstallPort("020D0001");
  Reg().ClearWriteLog();
  {
    CardSheet sheet(card);
    ASSERT_TRUE(sheet.Offered());
    EXPECT_EQ((std::vector<std::string>{"port-1    COM3      RS485_HALF",
                                        "port-3    COM5      RS485_HALF",
                                        "port-4    COM6      RS485_HALF"}),
              sheet.Show());
    // Line 1 is the third port's.
    std::string comShown;
    sheet.ChangeLine(1, kRs422, &comShown);
    EXPECT_EQ("COM5", comShown);
    EXPECT_EQ((std::vector<std::string>{"port-1    COM3      RS485_HALF",
                                        "port-3    COM5      RS422",
                                        "port-4    COM6      RS485_HALF"}),
              sheet.Lines());
    EXPECT_EQ(1, SendMessageA(GetDlgItem(sheet.Sheet().PageWindow(0), kPortList), LB_GETCURSEL, 0, 0));
    ASSERT_TRUE(sheet.Sheet().PressOk());
  }
  const auto writes = WritesOf(SERHUB_PORTMODE_A);
  EXPECT_EQ((std::vector<std::string>{PortKey("020D0000"), PortKey("020D0002"),
                                      PortKey("020D0003")}),
            PathsOf(writes));
  EXPECT_EQ((std::vector<uint32_t>{kRs232, kRs422, kRs232}), ModesOf(writes));
  EXPECT_FALSE(Reg().KeyExists(PortKey("020D0001")));
}

TEST_F(PageSessionTest, PortTenAtBusTwoDeviceThreeUsesTheSameKeyOnBothSides) {
  host::Card& cardHw = host::CreateCard(host::CardModel::Ports16);
  host::DeviceNode& card = host::BringUpCard(cardHw, 2, 3, 0);
  ASSERT_EQ(host::NodeState::Started, card.State()) << card.problem;
  const std::string key =
      "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\0203000A\\Device Parameters";

  // The driver's side: the port device, its published values and what the
  // serial port driver read.
  host::DeviceNode* port10 = host::FindNodeByInstance("0203000A");
  ASSERT_NE(nullptr, port10);
  EXPECT_EQ(10u, PortIndexOf(*port10));
  EXPECT_EQ(key, port10->DeviceParametersPath());
  auto reading = port10->LastSerialReading();
  ASSERT_TRUE(reading.has_value());
  EXPECT_EQ("PCIMULTI\\PCI_SER\\0203000A", reading->instancePath);
  const ULONG uart = cardHw.Range(host::CardRange::Uart).ioBase;
  EXPECT_EQ(uart + 80, reading->Dword(SERHUB_BASEADDR_A).value_or(0));
  bool written = false;
  for (const auto& call : host::ZwSetValueLog()) {
    if (call.name == SERHUB_BASEADDR_A && call.path == key) {
      written = true;
      EXPECT_EQ(4u, call.data.size());
    }
  }
  EXPECT_TRUE(written) << "the driver wrote no BASEADDR into " << key;

  // The page's side: a COM name and a port type changed in that key by hand
  // show on the page, and a mode chosen for the port is written there.
  ASSERT_TRUE(Reg().SetString(key, SERHUB_PORTNAME_A, "COM77"));
  ASSERT_TRUE(Reg().SetDword(key, SERHUB_PORTTYPE_A, SERHUB_PORTTYPE_ALL_MODES));
  Reg().ClearWriteLog();
  {
    CardSheet sheet(card);
    ASSERT_TRUE(sheet.Offered());
    const auto lines = sheet.Show();
    ASSERT_EQ(16u, lines.size());
    EXPECT_EQ("port-11   COM77     RS232", lines[10]);
    sheet.ChangeLine(10, kRs422);
    ASSERT_TRUE(sheet.Sheet().PressOk());
  }
  const auto writes = WritesOf(SERHUB_PORTMODE_A);
  EXPECT_EQ(std::vector<std::string>{key}, PathsOf(writes));
  EXPECT_EQ(std::vector<uint32_t>{kRs422}, ModesOf(writes));
}

// Wherever the card sits on the PCI bus, the page finds every port key the
// driver wrote and saves into exactly those keys.
struct Location {
  ULONG bus, device, function;
};

class LocationSessionTest : public PageSessionTest,
                            public ::testing::WithParamInterface<Location> {};

TEST_P(LocationSessionTest, PageAndDriverAgreeOnEveryPortKey) {
  const Location at = GetParam();
  host::DeviceNode& card = BringUp(host::CardModel::Ports4MultiMode, at.bus, at.device, at.function);
  ASSERT_EQ(4u, card.Children().size());
  std::vector<std::string> driverKeys;
  for (host::DeviceNode* port : card.Children()) {
    EXPECT_EQ(InstanceId(at.bus, at.device, at.function, PortIndexOf(*port)), port->instanceId);
    EXPECT_EQ(PortKey(port->instanceId), port->DeviceParametersPath());
    driverKeys.push_back(port->DeviceParametersPath());
  }
  Reg().ClearWriteLog();
  {
    CardSheet sheet(card);
    ASSERT_TRUE(sheet.Offered());
    EXPECT_EQ(4u, sheet.Show().size()) << "the page missed a port key the driver wrote";
    sheet.ChangeLine(3, kRs422);
    ASSERT_TRUE(sheet.Sheet().PressOk());
  }
  const auto writes = WritesOf(SERHUB_PORTMODE_A);
  EXPECT_EQ(driverKeys, PathsOf(writes));
  EXPECT_EQ((std::vector<uint32_t>{kRs232, kRs232, kRs232, kRs422}), ModesOf(writes));
}

INSTANTIATE_TEST_SUITE_P(Locations, LocationSessionTest,
                         ::testing::Values(Location{0, 0, 0}, Location{0, 17, 0},
                                           Location{2, 13, 7}, Location{16, 10, 1},
                                           Location{255, 31, 7}),
                         [](const ::testing::TestParamInfo<Location>& info) {
                           return "Bus" + std::to_string(info.param.bus) + "Device" +
                                  std::to_string(info.param.device) + "Function" +
                                  std::to_string(info.param.function);
                         });

TEST_F(PageSessionTest, UnrecognisedCardGetsNoPage) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports8);
  setup.subsystem = 0x00204B51;
  host::Card& cardHw = host::CreateCard(setup);
  host::DeviceNode& card = host::BringUpCard(cardHw, 2, 13, 0);
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, card.startStatus);
  EXPECT_TRUE(card.Children().empty());
  auto ports = Reg().GetValue(card.DeviceParametersPath(), "PORTS");
  ASSERT_TRUE(ports.has_value()) << "the failed start published no PORTS";
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), ports->data);

  CardSheet sheet(card);
  ASSERT_TRUE(sheet.DeviceOpened()) << "the card's instance key stays after the failed start";
  EXPECT_FALSE(sheet.Offered());
  EXPECT_EQ(0u, sheet.Sheet().PageCount());
}

TEST_F(PageSessionTest, DriverLeavesSavedModesAndNamesAloneWhenPortsComeBack) {
  host::DeviceNode& card = BringUp(host::CardModel::Ports4MultiMode, 2, 13, 0);
  {
    CardSheet sheet(card);
    ASSERT_TRUE(sheet.Offered());
    sheet.Show();
    sheet.ChangeLine(1, kRs422);
    ASSERT_TRUE(sheet.Sheet().PressOk());
  }
  host::ClearZwSetValueLog();

  // The port device of port 2 disabled, reported again and enabled; then
  // the card stopped and restarted.
  host::DeviceNode* port = host::FindNodeByInstance("020D0001");
  ASSERT_NE(nullptr, port);
  EXPECT_EQ(STATUS_SUCCESS, host::DisableDevice(*port));
  EXPECT_EQ(STATUS_SUCCESS, host::QueryBusRelations(card));
  EXPECT_EQ(STATUS_SUCCESS, host::EnableDevice(*port));
  EXPECT_EQ(port, host::FindNodeByInstance("020D0001"));
  EXPECT_EQ(host::NodeState::Started, port->State()) << port->problem;
  // The serial driver read the values the port published before it was disabled.
  ASSERT_EQ(2u, port->SerialReadings().size());
  EXPECT_EQ(std::optional<ULONG>(1), port->LastSerialReading()->Dword(SERHUB_PORTTYPE_A));
  EXPECT_EQ(STATUS_SUCCESS, host::QueryStop(card));
  EXPECT_EQ(STATUS_SUCCESS, host::StopDevice(card));
  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(card));
  EXPECT_EQ(STATUS_SUCCESS, host::QueryBusRelations(card));

  const std::string key = PortKey("020D0001");
  EXPECT_EQ("COM4", Reg().GetString(key, SERHUB_PORTNAME_A).value_or(""));
  auto mode = Reg().GetValue(key, SERHUB_PORTMODE_A);
  ASSERT_TRUE(mode.has_value());
  EXPECT_EQ(static_cast<uint32_t>(kRs422), mode->Dword());
  for (const auto& call : host::ZwSetValueLog()) {
    EXPECT_NE(SERHUB_PORTMODE_A, call.name) << call.path;
    EXPECT_NE(SERHUB_PORTNAME_A, call.name) << call.path;
  }

  // The page sees the mode it saved.
  CardSheet sheet(card);
  ASSERT_TRUE(sheet.Offered());
  EXPECT_EQ("port-2    COM4      RS422", sheet.Show().at(1));
}

}  // namespace
}  // namespace session
