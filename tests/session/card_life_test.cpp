// The whole life of every card model with the driver on the emulated machine:
// load, AddDevice, start, enumeration and installation of the ports, what the
// serial port driver finds in each port's key, device and system power
// transitions, stop and restart, removal (surprise or queried), and unload.
// Then ports dropped and reported again, a card plugged back in after the
// driver was unloaded, and the machine's shutdown.
#include <cstdint>
#include <ostream>
#include <tuple>
#include <utility>
#include <vector>

#include "session_support.h"

namespace session {
namespace {

struct LifeCase {
  const char* name;
  host::CardModel model;
  ULONG ports;
  bool multiMode;
  bool memory;  // both register ranges in memory space
  UCHAR setup4, setup5, setup6;  // setup values of control registers 4, 5 and 6
};

const LifeCase kCases[] = {
    {"Ports2", host::CardModel::Ports2, 2, false, false, 0xFF, 0xFF, 0xF3},
    {"Ports4", host::CardModel::Ports4, 4, false, false, 0xF0, 0xFF, 0xFF},
    {"Ports8", host::CardModel::Ports8, 8, false, false, 0x00, 0xFF, 0xFF},
    {"Ports16", host::CardModel::Ports16, 16, false, false, 0x00, 0x00, 0xFF},
    {"Ports2MultiMode", host::CardModel::Ports2MultiMode, 2, true, false, 0xFC, 0xFF, 0xFF},
    {"Ports4MultiMode", host::CardModel::Ports4MultiMode, 4, true, false, 0xF0, 0xFF, 0xFF},
    {"Ports32", host::CardModel::Ports32, 32, false, false, 0xFE, 0xFF, 0xFF},
    {"Ports8Memory", host::CardModel::Ports8, 8, false, true, 0x00, 0xFF, 0xFF},
    {"Ports32Memory", host::CardModel::Ports32, 32, false, true, 0xFE, 0xFF, 0xFF},
};

// Names the case in test messages instead of dumping its bytes.
void PrintTo(const LifeCase& c, std::ostream* os) { *os << c.name; }

using Write = std::pair<ULONG, UCHAR>;  // control register offset, value

std::vector<Write> ControlWrites(const host::Card& card) {
  std::vector<Write> writes;
  for (const auto& access : card.Writes(host::CardRange::Intc))
    writes.emplace_back(access.offset, access.value);
  return writes;
}

std::vector<Write> SetupWrites(const LifeCase& c) {
  std::vector<Write> writes = {{0, 0x00}, {1, 0x00}, {2, 0x00}};
  if (c.multiMode) writes.emplace_back(17, 0x00);
  std::vector<Write> rest = {{4, c.setup4}, {5, c.setup5}, {6, c.setup6}, {8, 0xFF},
                             {9, 0xFF},     {10, 0xFF},    {12, 0x00},    {13, 0x00},
                             {14, 0x00}};
  writes.insert(writes.end(), rest.begin(), rest.end());
  return writes;
}

const std::vector<Write> kShutdownWrites = {{0, 0x00},  {1, 0x00},  {2, 0x00},  {4, 0xFF},
                                            {5, 0xFF},  {6, 0xFF},  {8, 0xFF},  {9, 0xFF},
                                            {10, 0xFF}, {12, 0x00}, {13, 0x00}, {14, 0x00}};

class CardLifeTest : public SessionTest,
                     public ::testing::WithParamInterface<std::tuple<LifeCase, bool>> {
 protected:
  const LifeCase& Case() const { return std::get<0>(GetParam()); }
  bool Surprise() const { return std::get<1>(GetParam()); }

  // The address through which the driver reaches a range: the port number,
  // or the mapping of a range in memory space (which must exist, non-cached,
  // with the range's length).
  static ULONG ReachedAt(const host::Card& card, host::CardRange range) {
    if (!card.Range(range).memorySpace) return card.Range(range).ioBase;
    for (const auto& mapping : host::LiveMappings()) {
      if (mapping.physical != card.TranslatedStart(range)) continue;
      EXPECT_EQ(MmNonCached, mapping.cacheType);
      EXPECT_EQ(card.RangeLength(range), mapping.length);
      return static_cast<ULONG>(reinterpret_cast<uintptr_t>(mapping.virtualAddress));
    }
    ADD_FAILURE() << "the " << host::CardRangeName(range) << " range is not mapped";
    return 0;
  }

  // The eleven values port `i` must publish, in the serial driver's order.
  std::vector<ULONG> Expected(const host::Card& card, ULONG uart, ULONG intc, ULONG i) const {
    const LifeCase& c = Case();
    ULONG intcAddr = intc;
    if (c.ports == 2) intcAddr = 0;
    if (c.ports == 16 && i >= 8) intcAddr = intc + 1;
    if (c.ports == 32) intcAddr = uart + 64 * (i / 8) + 44;
    const auto irq = card.Interrupt();
    return {uart + 8 * i,
            intcAddr,
            SERHUB_CLOCK_RATE,
            i % 8,
            c.multiMode ? 1u : 0u,
            c.multiMode ? intc + 17 : 0u,
            irq.vector,
            irq.level,
            irq.vector,
            irq.level,
            static_cast<ULONG>(irq.affinity)};
  }
};

TEST_P(CardLifeTest, WholeLifeFromLoadToUnload) {
  const LifeCase& c = Case();
  host::CardSetup setup = host::SetupFor(c.model);
  // An interrupt whose vector, level and affinity all differ from each other
  // and from the defaults, so that a value taken from the wrong field shows.
  setup.irq = 9;
  setup.affinity = 0x6;
  setup.uart.memorySpace = setup.intc.memorySpace = c.memory;
  host::Card& card = host::CreateCard(setup);

  // --- Plug, start, enumerate, install ---
  host::DeviceNode& node = host::BringUpCard(card, 2, 13, 1);
  ASSERT_EQ(host::NodeState::Started, node.State()) << node.problem;
  EXPECT_EQ(STATUS_SUCCESS, node.addStatus);
  EXPECT_EQ(STATUS_SUCCESS, node.filterStatus);
  EXPECT_EQ(STATUS_SUCCESS, node.startStatus);
  EXPECT_EQ(STATUS_SUCCESS, node.relationsStatus);

  auto ports = Reg().GetValue(node.DeviceParametersPath(), "PORTS");
  ASSERT_TRUE(ports.has_value()) << "no PORTS in " << node.DeviceParametersPath();
  EXPECT_EQ(static_cast<uint32_t>(REG_DWORD), ports->type);
  EXPECT_EQ((std::vector<uint8_t>{static_cast<uint8_t>(c.ports), 0, 0, 0}), ports->data);

  EXPECT_EQ(SetupWrites(c), ControlWrites(card));
  for (const auto& access : host::IoAccessLog()) {
    EXPECT_TRUE(access.claimed) << "an access at 0x" << std::hex << access.address
                                << " reached no register of the card";
    EXPECT_EQ(c.memory ? host::IoSpace::Register : host::IoSpace::Port, access.space);
  }
  const ULONG uart = ReachedAt(card, host::CardRange::Uart);
  const ULONG intc = ReachedAt(card, host::CardRange::Intc);
  EXPECT_EQ(c.memory ? 2u : 0u, host::LiveMappings().size());

  const PDEVICE_OBJECT busDevice = node.Fdo();
  ASSERT_NE(nullptr, busDevice);
  const auto interfaces = host::RegisteredInterfaces(node.Pdo());
  ASSERT_EQ(1u, interfaces.size());
  EXPECT_TRUE(host::IsInterfaceEnabled(interfaces[0]));

  const std::vector<host::DeviceNode*> children = node.Children();
  ASSERT_EQ(c.ports, children.size());
  EXPECT_EQ(1 + c.ports, DriverDeviceCount());
  std::vector<PDEVICE_OBJECT> pdos;
  for (ULONG i = 0; i < c.ports; ++i) {
    host::DeviceNode* port = children[i];
    SCOPED_TRACE("port index " + std::to_string(i));
    pdos.push_back(port->Pdo());
    EXPECT_EQ(InstanceId(2, 13, 1, i), port->instanceId);
    EXPECT_EQ(host::NodeState::Started, port->State()) << port->problem;
    EXPECT_EQ("COM" + std::to_string(3 + i), port->PortName());

    const auto readings = port->SerialReadings();
    ASSERT_EQ(1u, readings.size());
    const host::SerialReading& reading = readings[0];
    EXPECT_EQ(STATUS_SUCCESS, reading.openStatus);
    EXPECT_EQ(PortKey(port->instanceId),
              "SYSTEM\\CurrentControlSet\\Enum\\" + reading.instancePath + "\\Device Parameters");
    const std::vector<ULONG> expected = Expected(card, uart, intc, i);
    const auto& names = host::SerialValueNames();
    ASSERT_EQ(names.size(), reading.values.size());
    for (size_t v = 0; v < names.size(); ++v) {
      auto value = reading.Dword(names[v]);
      ASSERT_TRUE(value.has_value()) << names[v] << " missing or not a 4-byte REG_DWORD";
      EXPECT_EQ(expected[v], *value) << names[v];
    }
  }
  std::vector<int> com(c.ports + 2);
  for (size_t n = 0; n < com.size(); ++n) com[n] = static_cast<int>(n) + 1;
  EXPECT_EQ(com, host::ClaimedComNumbers());

  // --- Power: every port to D3 and back, then the card to S3 and back ---
  const size_t powerLogStart = host::PoSetPowerStateLog().size();
  for (host::DeviceNode* port : children) {
    SCOPED_TRACE(port->instanceId);
    auto d3 = host::SetDevicePower(*port, PowerDeviceD3);
    EXPECT_EQ(STATUS_SUCCESS, d3.status);
    EXPECT_EQ(PowerDeviceD3, host::RecordedDevicePowerState(port->Pdo()));
    auto d0 = host::SetDevicePower(*port, PowerDeviceD0);
    EXPECT_EQ(STATUS_SUCCESS, d0.status);
    EXPECT_EQ(PowerDeviceD0, host::RecordedDevicePowerState(port->Pdo()));
  }
  {
    const auto log = host::PoSetPowerStateLog();
    ASSERT_EQ(powerLogStart + 2 * c.ports, log.size());
    for (ULONG i = 0; i < c.ports; ++i) {
      for (int step = 0; step < 2; ++step) {
        const auto& call = log[powerLogStart + 2 * i + step];
        EXPECT_EQ(pdos[i], call.device) << "port " << i << " step " << step;
        EXPECT_EQ(DevicePowerState, call.type);
        EXPECT_EQ(step == 0 ? PowerDeviceD3 : PowerDeviceD0, call.state.DeviceState);
      }
    }
  }
  node.Pci()->ClearRequestLog();
  EXPECT_EQ(STATUS_SUCCESS, host::QuerySystemPower(node, PowerSystemSleeping3).status);
  EXPECT_EQ(STATUS_SUCCESS, host::SetSystemPower(node, PowerSystemSleeping3).status);
  EXPECT_EQ(STATUS_SUCCESS, host::SetSystemPower(node, PowerSystemWorking, PowerActionNone).status);
  {
    // The bus device passed all three down to the PCI bus driver, unchanged.
    std::vector<std::tuple<UCHAR, ULONG, ULONG>> seen;
    for (const auto& request : node.Pci()->RequestLog())
      if (request.major == IRP_MJ_POWER) seen.emplace_back(request.minor, request.parameter, request.state);
    const std::vector<std::tuple<UCHAR, ULONG, ULONG>> expected = {
        {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3},
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3},
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking}};
    EXPECT_EQ(expected, seen);
  }
  // The card's system transitions change no device's recorded power state.
  EXPECT_EQ(powerLogStart + 2 * c.ports, host::PoSetPowerStateLog().size());
  for (PDEVICE_OBJECT pdo : pdos) EXPECT_EQ(PowerDeviceD0, host::RecordedDevicePowerState(pdo));

  // --- Stop and restart ---
  std::vector<LONG> references;
  for (PDEVICE_OBJECT pdo : pdos) references.push_back(host::ReferenceCount(pdo));
  card.ClearAccessLog();
  EXPECT_EQ(STATUS_SUCCESS, host::QueryStop(node));
  EXPECT_TRUE(ControlWrites(card).empty()) << "the stop query touched the card";
  EXPECT_EQ(STATUS_SUCCESS, host::StopDevice(node));
  EXPECT_EQ(kShutdownWrites, ControlWrites(card));
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_TRUE(host::IsInterfaceEnabled(interfaces[0])) << "a stop leaves the interface enabled";

  card.ClearAccessLog();
  host::ClearZwSetValueLog();
  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node));
  EXPECT_EQ(SetupWrites(c), ControlWrites(card));
  {
    // The restart publishes the port count again, and nothing else.
    const auto values = host::ZwSetValueLog();
    ASSERT_EQ(1u, values.size());
    EXPECT_EQ(node.DeviceParametersPath(), values[0].path);
    EXPECT_EQ("PORTS", values[0].name);
    EXPECT_EQ(STATUS_SUCCESS, values[0].status);
    EXPECT_EQ((std::vector<uint8_t>{static_cast<uint8_t>(c.ports), 0, 0, 0}), values[0].data);
  }
  EXPECT_EQ(c.memory ? 2u : 0u, host::LiveMappings().size());
  EXPECT_EQ(STATUS_SUCCESS, host::QueryBusRelations(node));
  std::vector<PDEVICE_OBJECT> reported;
  for (host::DeviceNode* port : node.Children()) reported.push_back(port->Pdo());
  EXPECT_EQ(pdos, reported) << "the restarted card reports other port devices";
  EXPECT_EQ(c.ports, node.AllChildren().size()) << "a port device node was created twice";
  EXPECT_EQ(1 + c.ports, DriverDeviceCount()) << "a port device object was created twice";
  std::vector<LONG> referencesNow;
  for (PDEVICE_OBJECT pdo : pdos) referencesNow.push_back(host::ReferenceCount(pdo));
  EXPECT_EQ(references, referencesNow) << "reporting the ports again changed their references";

  // --- Removal ---
  card.ClearAccessLog();
  const NTSTATUS removal = Surprise() ? host::UnplugCard(node) : host::QueryAndRemove(node);
  EXPECT_EQ(STATUS_SUCCESS, removal);
  EXPECT_EQ(host::NodeState::Removed, node.State());
  for (host::DeviceNode* port : children) EXPECT_EQ(host::NodeState::Removed, port->State());
  EXPECT_EQ(kShutdownWrites, ControlWrites(card)) << "the card must be shut down exactly once";
  EXPECT_FALSE(host::IsInterfaceEnabled(interfaces[0]));
  EXPECT_EQ(1, host::InterfaceDisableCalls(interfaces[0]));
  EXPECT_FALSE(host::IsDeviceAlive(busDevice));
  for (PDEVICE_OBJECT pdo : pdos) EXPECT_FALSE(host::IsDeviceAlive(pdo));
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_EQ(host::MapCount(), host::UnmapCount());
  EXPECT_EQ(c.memory ? 4 : 0, host::MapCount());

  EXPECT_EQ(nullptr, host::LoadedDriver(kService)) << "the driver stayed loaded";
  EXPECT_EQ(1, host::DriverLoadCount(kService));
  EXPECT_EQ(1, host::DriverUnloadCount(kService));
}

// Disable and enable as Device Manager does them, for one port and for the
// card, then a driver update: device nodes and PDOs stay, the driver is
// added again on the same PDO, and the verifier finds nothing.
class DisableEnableTest : public SessionTest, public ::testing::WithParamInterface<LifeCase> {};

TEST_P(DisableEnableTest, PortAndCardComeBackOnTheirPdos) {
  const LifeCase& c = GetParam();
  host::CardSetup setup = host::SetupFor(c.model);
  setup.uart.memorySpace = setup.intc.memorySpace = c.memory;
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = host::BringUpCard(card, 2, 13, 1);
  ASSERT_EQ(host::NodeState::Started, node.State()) << node.problem;
  const PDEVICE_OBJECT pci = node.Pdo();
  const std::u16string link = host::RegisteredInterfaces(pci).at(0);

  // --- One port ---
  host::DeviceNode& port = *node.Children().back();
  const PDEVICE_OBJECT portPdo = port.Pdo();
  card.ClearAccessLog();
  ASSERT_EQ(STATUS_SUCCESS, host::DisableDevice(port));
  EXPECT_EQ(host::NodeState::Disabled, port.State());
  EXPECT_TRUE(host::IsDeviceAlive(portPdo));
  EXPECT_EQ(1 + c.ports, DriverDeviceCount());
  EXPECT_TRUE(ControlWrites(card).empty()) << "a port's removal touched the card";
  ASSERT_EQ(STATUS_SUCCESS, host::EnableDevice(port));
  EXPECT_EQ(host::NodeState::Started, port.State()) << port.problem;
  EXPECT_EQ(portPdo, port.Pdo());
  ASSERT_EQ(2u, port.SerialReadings().size());
  EXPECT_EQ(port.SerialReadings()[0].values.size(), port.SerialReadings()[1].values.size());
  for (size_t v = 0; v < port.SerialReadings()[1].values.size(); ++v) {
    EXPECT_EQ(port.SerialReadings()[0].values[v].data, port.SerialReadings()[1].values[v].data);
    EXPECT_EQ(STATUS_SUCCESS, port.SerialReadings()[1].values[v].status);
  }

  // --- The card ---
  card.ClearAccessLog();
  ASSERT_EQ(STATUS_SUCCESS, host::DisableDevice(node));
  EXPECT_EQ(host::NodeState::Disabled, node.State());
  EXPECT_TRUE(host::IsDeviceAlive(pci));
  EXPECT_EQ(pci, node.Pdo());
  EXPECT_EQ(kShutdownWrites, ControlWrites(card));
  EXPECT_FALSE(host::IsInterfaceEnabled(link));
  EXPECT_FALSE(host::IsDeviceAlive(portPdo));
  EXPECT_EQ(nullptr, host::LoadedDriver(kService)) << "the idle driver stayed loaded";

  card.ClearAccessLog();
  ASSERT_EQ(STATUS_SUCCESS, host::EnableDevice(node));
  EXPECT_EQ(host::NodeState::Started, node.State()) << node.problem;
  EXPECT_EQ(2, host::DriverLoadCount(kService));
  EXPECT_EQ(SetupWrites(c), ControlWrites(card));
  ASSERT_EQ(1u, host::RegisteredInterfaces(pci).size()) << "the interface was registered twice";
  EXPECT_TRUE(host::IsInterfaceEnabled(link)) << "the existing link did not come back";
  const auto children = node.Children();
  ASSERT_EQ(c.ports, children.size());
  for (ULONG i = 0; i < c.ports; ++i) {
    EXPECT_EQ(InstanceId(2, 13, 1, i), children[i]->instanceId);
    EXPECT_EQ(host::NodeState::Started, children[i]->State()) << children[i]->problem;
    EXPECT_EQ("COM" + std::to_string(3 + i), children[i]->PortName());
  }

  // --- A driver update ---
  ASSERT_EQ(STATUS_SUCCESS, host::UpdateDriver(node, DriverEntry));
  EXPECT_EQ(host::NodeState::Started, node.State()) << node.problem;
  EXPECT_EQ(3, host::DriverLoadCount(kService));
  EXPECT_EQ(c.ports, node.Children().size());
}

INSTANTIATE_TEST_SUITE_P(Models, DisableEnableTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<LifeCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Models, CardLifeTest, ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
    [](const ::testing::TestParamInfo<CardLifeTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "_Unplugged" : "_QueryRemoved");
    });

}  // namespace
}  // namespace session

namespace session {
namespace {

class CardComesBackTest : public SessionTest {};

// Bus relations asked while the card is stopped report no port: the Plug and
// Play manager removes the port devices. After the restart they come back
// under the same instance IDs, keep their COM names and publish again.
TEST_F(CardComesBackTest, PortsDroppedWhileStoppedComeBackUnderTheirNames) {
  host::Card& card = host::CreateCard(host::CardModel::Ports4MultiMode);
  host::DeviceNode& node = host::BringUpCard(card, 0, 17, 0);
  ASSERT_EQ(host::NodeState::Started, node.State()) << node.problem;
  const auto first = node.Children();
  ASSERT_EQ(4u, first.size());
  EXPECT_EQ("00110003", first[3]->instanceId);

  EXPECT_EQ(STATUS_SUCCESS, host::QueryStop(node));
  EXPECT_EQ(STATUS_SUCCESS, host::StopDevice(node));
  EXPECT_EQ(STATUS_SUCCESS, host::QueryBusRelations(node));
  EXPECT_TRUE(node.Children().empty());
  for (host::DeviceNode* port : first) {
    EXPECT_EQ(host::NodeState::Removed, port->State());
    EXPECT_FALSE(host::IsDeviceAlive(port->Pdo()));
  }
  EXPECT_EQ(1u, DriverDeviceCount()) << "only the bus device is left";

  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node));
  EXPECT_EQ(STATUS_SUCCESS, host::QueryBusRelations(node));
  const auto second = node.Children();
  ASSERT_EQ(4u, second.size());
  for (size_t i = 0; i < second.size(); ++i) {
    SCOPED_TRACE("port index " + std::to_string(i));
    EXPECT_NE(first[i], second[i]);
    EXPECT_EQ(first[i]->instanceId, second[i]->instanceId);
    EXPECT_EQ(host::NodeState::Started, second[i]->State()) << second[i]->problem;
    EXPECT_EQ("COM" + std::to_string(3 + i), second[i]->PortName());
    auto reading = second[i]->LastSerialReading();
    ASSERT_TRUE(reading.has_value());
    EXPECT_EQ(1u, reading->Dword(SERHUB_PORTTYPE_A).value_or(0));
    EXPECT_EQ(card.Range(host::CardRange::Uart).ioBase + 8 * i,
              reading->Dword(SERHUB_BASEADDR_A).value_or(0));
  }
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6}), host::ClaimedComNumbers());
  EXPECT_EQ(5u, DriverDeviceCount());

  EXPECT_EQ(STATUS_SUCCESS, host::QueryAndRemove(node));
  EXPECT_EQ(1, host::DriverUnloadCount(kService));
}

// The Plug and Play manager unloads the driver after the card's removal and
// loads it again when the card is plugged back in: the second life is like
// the first, and the ports find their old keys with their COM names.
TEST_F(CardComesBackTest, CardPluggedBackInAfterUnloadStartsAgain) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& first = host::BringUpCard(card, 2, 13, 1);
  ASSERT_EQ(host::NodeState::Started, first.State()) << first.problem;
  ASSERT_EQ(8u, first.Children().size());
  EXPECT_EQ(STATUS_SUCCESS, host::UnplugCard(first));
  EXPECT_EQ(nullptr, host::LoadedDriver(kService));
  EXPECT_EQ(1, host::DriverUnloadCount(kService));

  card.ClearAccessLog();
  host::DeviceNode& second = host::BringUpCard(card, 2, 13, 1);
  ASSERT_EQ(host::NodeState::Started, second.State()) << second.problem;
  EXPECT_EQ(2, host::DriverLoadCount(kService));
  EXPECT_EQ(SetupWrites({"Ports8", host::CardModel::Ports8, 8, false, false, 0x00, 0xFF, 0xFF}),
            ControlWrites(card));
  const auto ports = second.Children();
  ASSERT_EQ(8u, ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(first.AllChildren()[i]->InstancePath(), ports[i]->InstancePath());
    EXPECT_EQ("COM" + std::to_string(3 + i), ports[i]->PortName());
    EXPECT_EQ(host::NodeState::Started, ports[i]->State()) << ports[i]->problem;
  }
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), host::ClaimedComNumbers());

  EXPECT_EQ(STATUS_SUCCESS, host::QueryAndRemove(second));
  EXPECT_EQ(nullptr, host::LoadedDriver(kService));
  EXPECT_EQ(2, host::DriverUnloadCount(kService));
}

// TearDownMachine, as a shutdown, is documented to surprise-remove started
// devices before removing them (platform/host/machine.h).
class MachineShutdownTest : public SessionTest {};

TEST_F(MachineShutdownTest, StartedCardIsSurpriseRemovedBeforeRemoval) {
  host::Card& card = host::CreateCard(host::CardModel::Ports2);
  host::DeviceNode& node = host::BringUpCard(card, 2, 13, 1);
  ASSERT_EQ(host::NodeState::Started, node.State()) << node.problem;
  host::TearDownMachine();
  EXPECT_EQ(host::NodeState::Removed, node.State());
  EXPECT_EQ(1, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL));
  EXPECT_EQ(1, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
}

}  // namespace
}  // namespace session
