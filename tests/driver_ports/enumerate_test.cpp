// Port enumeration: the port devices a card reports, their settings and
// identity, the expansion-module probe of the 32-port card, and the relations
// list handed to the Plug and Play manager.
#include <cstring>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "ports_fixture.h"

namespace porttest {
namespace {

using host::CardModel;
using host::CardRange;

// ---------------------------------------------------------------------------
// Settings of every port, for every model.

struct ModelCase {
  CardModel model;
  ULONG ports;
  bool multiMode;
};

void PrintTo(const ModelCase& c, std::ostream* os) {
  *os << c.ports << " ports" << (c.multiMode ? ", multi-mode" : "");
}

class PortSettingsTest : public PortTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(PortSettingsTest, EveryPortCarriesItsRegistersAndTheCardInterrupt) {
  const ModelCase c = GetParam();
  host::Card& card = host::CreateCard(c.model);
  host::DeviceNode& node = host::BringUpCard(card);
  ASSERT_EQ(host::NodeState::Started, node.State());
  ASSERT_EQ(c.ports, node.Children().size());

  PBUS_EXTENSION bus = BusOf(node);
  EXPECT_EQ(c.ports, bus->ChildCount);
  const host::Card::InterruptInfo irq = card.Interrupt();
  for (ULONG i = 0; i < c.ports; i++) {
    SCOPED_TRACE("port " + std::to_string(i));
    host::DeviceNode* child = PortNode(node, i);
    ASSERT_NE(nullptr, child);
    ASSERT_EQ(bus->Children[i], child->Pdo());
    PPORT_EXTENSION port = PortOf(child);
    const ExpectedPort e = ExpectedFor(card, c.ports, c.multiMode, i);
    EXPECT_EQ(e.baseAddr, port->BaseAddr);
    EXPECT_EQ(e.intcAddr, port->IntcAddr);
    EXPECT_EQ(e.intcIndex, port->IntcIndex);
    EXPECT_EQ(e.portType, port->PortType);
    EXPECT_EQ(e.echoAddr, port->EchoAddr);
    EXPECT_EQ(7372800u, port->ClockRate);
    EXPECT_EQ(irq.vector, port->InterruptVector);
    EXPECT_EQ(irq.level, port->InterruptLevel);
    EXPECT_EQ(irq.vector, port->TrInterruptVector);
    EXPECT_EQ(irq.level, port->TrInterruptLevel);
    EXPECT_EQ(static_cast<ULONG>(irq.affinity), port->InterruptAffinity);
    EXPECT_EQ(i, port->PortIndex);
    EXPECT_EQ(child->Pdo(), port->Self);
    EXPECT_FALSE(port->IsBus);
    EXPECT_EQ(node.Fdo(), port->ParentFdo);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, PortSettingsTest,
    ::testing::Values(ModelCase{CardModel::Ports2, 2, false}, ModelCase{CardModel::Ports4, 4, false},
                      ModelCase{CardModel::Ports8, 8, false}, ModelCase{CardModel::Ports16, 16, false},
                      ModelCase{CardModel::Ports32, 32, false},
                      ModelCase{CardModel::Ports2MultiMode, 2, true},
                      ModelCase{CardModel::Ports4MultiMode, 4, true}),
    [](const ::testing::TestParamInfo<ModelCase>& info) {
      return std::to_string(info.param.ports) + (info.param.multiMode ? "PortsMultiMode" : "Ports");
    });

// The addresses of the ports that sit at the edges of the layout, written
// out as offsets rather than computed.
TEST_F(PortTest, RegisterAddressesAtTheEdgesOfEachLayout) {
  struct Spot {
    CardModel model;
    ULONG port;
    ULONG baseOffset;    // from UartBase
    bool intcFromUart;   // IntcAddr counted from UartBase (32 ports) or IntcBase
    LONG intcOffset;     // -1: IntcAddr is 0
    ULONG intcIndex;
  };
  const Spot spots[] = {
      {CardModel::Ports2, 1, 8, false, -1, 1},     {CardModel::Ports2, 0, 0, false, -1, 0},
      {CardModel::Ports4, 3, 24, false, 0, 3},     {CardModel::Ports8, 5, 40, false, 0, 5},
      {CardModel::Ports16, 7, 56, false, 0, 7},    {CardModel::Ports16, 9, 72, false, 1, 1},
      {CardModel::Ports32, 13, 104, true, 108, 5}, {CardModel::Ports32, 17, 136, true, 172, 1},
      {CardModel::Ports32, 31, 248, true, 236, 7},
  };
  ULONG slot = 0;
  for (const Spot& s : spots) {
    SCOPED_TRACE("model " + std::to_string(host::SubsystemDword(s.model)) + " port " +
                 std::to_string(s.port));
    host::Card& card = host::CreateCard(s.model);
    host::DeviceNode& node = host::BringUpCard(card, 1, ++slot, 0);
    host::DeviceNode* child = PortNode(node, s.port);
    ASSERT_NE(nullptr, child);
    const ULONG uart = static_cast<ULONG>(card.TranslatedStart(CardRange::Uart));
    const ULONG intc = static_cast<ULONG>(card.TranslatedStart(CardRange::Intc));
    PPORT_EXTENSION port = PortOf(child);
    EXPECT_EQ(uart + s.baseOffset, port->BaseAddr);
    ULONG intcAddr = s.intcOffset < 0 ? 0 : (s.intcFromUart ? uart : intc) + s.intcOffset;
    EXPECT_EQ(intcAddr, port->IntcAddr);
    EXPECT_EQ(s.intcIndex, port->IntcIndex);
    EXPECT_EQ(0u, port->PortType);
    EXPECT_EQ(0u, port->EchoAddr);
    EXPECT_EQ(STATUS_SUCCESS, host::QueryAndRemove(node));
  }
}

TEST_F(PortTest, PortDevicesAreSerialPortsReadyForTheirDriver) {
  host::Card& card = host::CreateCard(CardModel::Ports4);
  host::DeviceNode& node = host::BringUpCard(card);
  ASSERT_EQ(4u, node.Children().size());
  for (host::DeviceNode* child : node.Children()) {
    PDEVICE_OBJECT pdo = child->Pdo();
    EXPECT_EQ(static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT), pdo->DeviceType);
    EXPECT_TRUE(pdo->Characteristics & FILE_AUTOGENERATED_DEVICE_NAME);
    EXPECT_FALSE(host::DeviceName(pdo).empty());
    EXPECT_TRUE(pdo->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(pdo->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(driver_, pdo->DriverObject);
    // Created while the bus device sat in NotStarted; started since.
    EXPECT_EQ(static_cast<ULONG>(Started), PortOf(pdo)->PnpState);
    EXPECT_EQ(static_cast<ULONG>(NotStarted), PortOf(pdo)->PreviousPnpState);
    EXPECT_EQ(PowerSystemWorking, PortOf(pdo)->SystemPowerState);
    EXPECT_EQ(PowerDeviceD0, PortOf(pdo)->DevicePowerState);
  }
}

// ---------------------------------------------------------------------------
// Identity.

TEST_F(PortTest, InstanceIdsSpellBusDeviceFunctionAndPortInUpperCaseHex) {
  host::Card& card = host::CreateCard(CardModel::Ports32);
  host::DeviceNode& node = host::BringUpCard(card, 0, 17, 0);
  ASSERT_EQ(32u, node.Children().size());
  const std::pair<ULONG, const char*> expected[] = {
      {0, "00110000"}, {15, "0011000F"}, {16, "00110010"}, {31, "0011001F"}};
  for (const auto& [index, id] : expected) {
    host::DeviceNode* child = PortNode(node, index);
    ASSERT_NE(nullptr, child) << id;
    EXPECT_EQ(id, child->instanceId);
    PPORT_EXTENSION port = PortOf(child);
    EXPECT_EQ(id, Narrow(port->InstanceId, 8));
    for (size_t k = 8; k < 18; k++) EXPECT_EQ(0, port->InstanceId[k]) << id << " char " << k;
    EXPECT_EQ("PCIMULTI\\PCI_SER", Narrow(port->DeviceId, 16));
    for (size_t k = 16; k < 34; k++) EXPECT_EQ(0, port->DeviceId[k]);
    EXPECT_EQ("PCIMULTI\\PCI_SER", Narrow(port->HardwareIds, 16));
    for (size_t k = 16; k < 36; k++) EXPECT_EQ(0, port->HardwareIds[k]);
  }

  host::Card& second = host::CreateCard(CardModel::Ports8);
  host::DeviceNode& other = host::BringUpCard(second, 2, 13, 1);
  ASSERT_NE(nullptr, PortNode(other, 5));
  EXPECT_EQ("020D0105", PortNode(other, 5)->instanceId);
}

TEST_F(PortTest, InstancePrefixUsesLettersForNibblesAboveNine) {
  BUS_EXTENSION bus{};
  bus.Location = (0xAB << 8) | (0x1F << 3) | 7;
  PCHAR prefix = BuildInstancePrefix(&bus);
  ASSERT_NE(nullptr, prefix);
  auto block = host::PoolBlock(prefix);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(9u, block->size);
  EXPECT_EQ(SERHUB_TAG_DDK, block->tag);
  EXPECT_EQ(PagedPool, block->type);
  EXPECT_EQ(0, std::memcmp(prefix, "AB1F0700", 9));
  ExFreePool(prefix);

  host::FailPoolAllocationNth(1);
  EXPECT_EQ(nullptr, BuildInstancePrefix(&bus));
}

// ---------------------------------------------------------------------------
// The expansion-module probe.

std::vector<host::RegisterAccess> UartAccessesFrom(const host::Card& card, ULONG first,
                                                   ULONG last) {
  std::vector<host::RegisterAccess> out;
  for (const auto& a : card.AccessLog()) {
    if (a.range == CardRange::Uart && a.offset >= first && a.offset <= last) out.push_back(a);
  }
  return out;
}

TEST_F(PortTest, MissingThirdModuleEndsTheWalkAtPort16) {
  host::CardSetup setup = host::SetupFor(CardModel::Ports32);
  setup.modules = {true, true, false, true};
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = host::BringUpCard(card);
  ASSERT_EQ(host::NodeState::Started, node.State());

  EXPECT_EQ(16u, node.Children().size());
  EXPECT_EQ(16u, BusOf(node)->ChildCount);
  for (ULONG i = 0; i < 16; i++) EXPECT_NE(nullptr, PortNode(node, i)) << i;
  for (ULONG i = 16; i < SERHUB_CHILD_SLOTS; i++) EXPECT_EQ(nullptr, BusOf(node)->Children[i]) << i;

  // A fitted module: armed, its signature read port by port, disarmed.
  const std::vector<host::RegisterAccess> first = {
      {CardRange::Uart, 5, true, 0x01},   {CardRange::Uart, 4, false, 'Q'},
      {CardRange::Uart, 12, false, 'K'},  {CardRange::Uart, 20, false, 'P'},
      {CardRange::Uart, 28, false, 'C'},  {CardRange::Uart, 36, false, 'I'},
      {CardRange::Uart, 5, true, 0x00}};
  EXPECT_EQ(first, UartAccessesFrom(card, 0, 63));
  EXPECT_FALSE(card.ModuleSignatureArmed(0));
  EXPECT_FALSE(card.ModuleSignatureArmed(1));
  EXPECT_EQ(0x00, card.Register(CardRange::Uart, 64 + 5));

  // The missing module: armed, one byte read, left armed.
  const std::vector<host::RegisterAccess> third = {{CardRange::Uart, 133, true, 0x01},
                                                   {CardRange::Uart, 132, false, 0xFF}};
  EXPECT_EQ(third, UartAccessesFrom(card, 128, 191));
  // The fourth module is never touched.
  EXPECT_TRUE(UartAccessesFrom(card, 192, 255).empty());
}

TEST_F(PortTest, NoModuleAtPortZeroReportsOnlyTheListFromAbove) {
  host::CardSetup setup = host::SetupFor(CardModel::Ports32);
  setup.modules = {false, true, true, true};
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = host::BringUpCard(card);
  ASSERT_EQ(host::NodeState::Started, node.State());
  EXPECT_TRUE(node.Children().empty());
  EXPECT_EQ(0u, BusOf(node)->ChildCount);
  EXPECT_TRUE(UartAccessesFrom(card, 64, 255).empty());

  PDEVICE_RELATIONS above = ListFromAbove(2);
  PDEVICE_OBJECT a = above->Objects[0], b = above->Objects[1];
  PDEVICE_RELATIONS list = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, QueryBusRelationsDirect(node, above, &list));
  ASSERT_NE(nullptr, list);
  EXPECT_NE(above, list);
  EXPECT_FALSE(host::PoolBlock(above).has_value());  // the old list was freed
  ASSERT_EQ(2u, list->Count);
  EXPECT_EQ(a, list->Objects[0]);
  EXPECT_EQ(b, list->Objects[1]);
  for (ULONG i = 0; i < SERHUB_CHILD_SLOTS; i++) EXPECT_EQ(nullptr, BusOf(node)->Children[i]);
  ReleaseRelations(list);
}

TEST_F(PortTest, CardsBelow32PortsAreNeverProbed) {
  host::Card& card = host::CreateCard(CardModel::Ports16);
  host::DeviceNode& node = PlugAndStart(card);
  card.ClearAccessLog();
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(node));
  EXPECT_EQ(16u, node.Children().size());
  EXPECT_TRUE(UartAccessesFrom(card, 0, card.RangeLength(CardRange::Uart)).empty());
}

// A register file answering the probe with a chosen signature.
class SignatureFile : public host::IoHandler {
 public:
  explicit SignatureFile(const char* signature) : signature_(signature) {}
  UCHAR Read(ULONG offset) override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back({CardRange::Uart, offset, false, 0});
    const ULONG inModule = offset % 64;
    if (inModule % 8 == 4 && inModule / 8 < signature_.size()) return signature_[inModule / 8];
    return 0;
  }
  void Write(ULONG offset, UCHAR value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back({CardRange::Uart, offset, true, value});
  }
  std::vector<host::RegisterAccess> Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }

 private:
  std::string signature_;
  std::mutex mutex_;
  std::vector<host::RegisterAccess> log_;
};

TEST_F(PortTest, ProbeStopsAtTheFirstWrongSignatureByte) {
  SignatureFile file("QKX");
  host::AddPortRange(0xE000, 64, &file);
  EXPECT_FALSE(ProbeModule(reinterpret_cast<PUCHAR>(0xE000), 0, 32, FALSE));
  const std::vector<host::RegisterAccess> expected = {{CardRange::Uart, 5, true, 0x01},
                                                      {CardRange::Uart, 4, false, 0},
                                                      {CardRange::Uart, 12, false, 0},
                                                      {CardRange::Uart, 20, false, 0}};
  EXPECT_EQ(expected, file.Log());
  host::RemoveRanges(&file);
}

TEST_F(PortTest, ProbeOnlyTouchesTheFirstPortOfEachModuleOfA32PortCard) {
  SignatureFile file("QKPCI");
  host::AddPortRange(0xE000, 256, &file);
  PUCHAR base = reinterpret_cast<PUCHAR>(0xE000);
  EXPECT_TRUE(ProbeModule(base, 0, 16, FALSE));
  EXPECT_TRUE(ProbeModule(base, 8, 16, FALSE));
  EXPECT_TRUE(ProbeModule(base, 9, 32, FALSE));
  EXPECT_TRUE(ProbeModule(base, 31, 32, FALSE));
  EXPECT_TRUE(file.Log().empty());
  EXPECT_TRUE(host::IoAccessLog().empty());
  host::RemoveRanges(&file);
}

TEST_F(PortTest, ProbeReachesAMemorySpaceRangeThroughRegisterAccess) {
  SignatureFile file("QKPCI");
  PHYSICAL_ADDRESS physical;
  physical.QuadPart = 0xF0001000;
  host::AddMemoryRange(physical.QuadPart, 256, &file);
  PUCHAR mapped = static_cast<PUCHAR>(MmMapIoSpace(physical, 256, MmNonCached));
  ASSERT_NE(nullptr, mapped);
  host::ClearIoAccessLog();

  EXPECT_TRUE(ProbeModule(mapped, 24, 32, TRUE));
  MmUnmapIoSpace(mapped, 256);
  const auto accesses = host::IoAccessLog();
  ASSERT_EQ(7u, accesses.size());
  for (const auto& a : accesses) {
    EXPECT_EQ(host::IoSpace::Register, a.space);
    EXPECT_TRUE(a.claimed);
  }
  EXPECT_EQ(physical.QuadPart + 192 + 5, accesses.front().address);
  EXPECT_EQ(physical.QuadPart + 192 + 36, accesses[5].address);
  EXPECT_EQ(0x00, accesses.back().value);
  host::RemoveRanges(&file);
}

TEST_F(PortTest, MemorySpace32PortCardIsProbedThroughItsMapping) {
  host::CardSetup setup = host::SetupFor(CardModel::Ports32);
  setup.uart.memorySpace = true;
  setup.modules = {true, false, true, true};
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = host::BringUpCard(card);
  ASSERT_EQ(host::NodeState::Started, node.State());
  EXPECT_EQ(8u, node.Children().size());
  const std::vector<host::RegisterAccess> second = {{CardRange::Uart, 69, true, 0x01},
                                                    {CardRange::Uart, 68, false, 0xFF}};
  EXPECT_EQ(second, UartAccessesFrom(card, 64, 127));
  for (const auto& a : host::IoAccessLog()) {
    if (a.space == host::IoSpace::Port) {
      EXPECT_FALSE(a.address >= card.Range(CardRange::Uart).ioBase &&
                   a.address < card.Range(CardRange::Uart).ioBase + 256)
          << "port access to the UART range at " << a.address;
    }
  }
}

// ---------------------------------------------------------------------------
// The relations list.

TEST_F(PortTest, ListFromAboveStaysInFrontOfThePorts) {
  host::Card& card = host::CreateCard(CardModel::Ports4);
  host::DeviceNode& node = host::BringUpCard(card);
  ASSERT_EQ(4u, node.Children().size());
  PBUS_EXTENSION bus = BusOf(node);

  PDEVICE_RELATIONS above = ListFromAbove(2);
  PDEVICE_OBJECT a = above->Objects[0], b = above->Objects[1];
  PDEVICE_RELATIONS list = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, QueryBusRelationsDirect(node, above, &list));
  ASSERT_NE(nullptr, list);
  EXPECT_FALSE(host::PoolBlock(above).has_value());
  auto block = host::PoolBlock(list);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(SERHUB_TAG_DDK, block->tag);
  EXPECT_EQ(PagedPool, block->type);
  EXPECT_EQ(FIELD_OFFSET(DEVICE_RELATIONS, Objects) + 6 * sizeof(PDEVICE_OBJECT), block->size);
  ASSERT_EQ(6u, list->Count);
  EXPECT_EQ(a, list->Objects[0]);
  EXPECT_EQ(b, list->Objects[1]);
  for (ULONG i = 0; i < 4; i++) EXPECT_EQ(bus->Children[i], list->Objects[2 + i]) << i;
  ReleaseRelations(list);
}

TEST_F(PortTest, EveryReportTakesOneReferencePerPortAndCreatesNothingNew) {
  host::Card& card = host::CreateCard(CardModel::Ports8);
  host::DeviceNode& node = host::BringUpCard(card);
  PBUS_EXTENSION bus = BusOf(node);
  std::vector<PDEVICE_OBJECT> before(bus->Children, bus->Children + 8);
  std::vector<LONG> refs;
  for (PDEVICE_OBJECT pdo : before) refs.push_back(host::ReferenceCount(pdo));

  for (int round = 1; round <= 2; round++) {
    PDEVICE_RELATIONS list = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, QueryBusRelationsDirect(node, nullptr, &list));
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(8u, list->Count);
    for (ULONG i = 0; i < 8; i++) {
      EXPECT_EQ(before[i], list->Objects[i]) << i;
      EXPECT_EQ(refs[i] + 1, host::ReferenceCount(before[i])) << i;
    }
    ReleaseRelations(list);
  }
  for (ULONG i = 0; i < 8; i++) EXPECT_EQ(before[i], bus->Children[i]);
  EXPECT_EQ(8u, node.Children().size());
}

// A port the user disables is still on the card: its device stays in its
// slot and is reported again; enabling it starts the same device object.
TEST_F(PortTest, DisabledPortKeepsItsDeviceAndIsStartedAgainWhenEnabled) {
  host::Card& card = host::CreateCard(CardModel::Ports4);
  host::DeviceNode& node = host::BringUpCard(card);
  PBUS_EXTENSION bus = BusOf(node);
  host::DeviceNode* third = PortNode(node, 3);
  ASSERT_NE(nullptr, third);
  PDEVICE_OBJECT pdo = third->Pdo();

  ASSERT_EQ(STATUS_SUCCESS, host::DisableDevice(*third));
  ASSERT_TRUE(host::IsDeviceAlive(pdo));
  EXPECT_EQ(pdo, bus->Children[3]);
  EXPECT_EQ(static_cast<ULONG>(NotStarted), PortOf(pdo)->PnpState);
  EXPECT_EQ(nullptr, pdo->AttachedDevice);

  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(node));
  EXPECT_EQ(pdo, bus->Children[3]);
  EXPECT_EQ(4u, node.Children().size());
  EXPECT_EQ(host::NodeState::Disabled, third->State());

  ASSERT_EQ(STATUS_SUCCESS, host::EnableDevice(*third));
  EXPECT_EQ(host::NodeState::Started, third->State());
  EXPECT_EQ(pdo, third->Pdo());
  EXPECT_EQ(static_cast<ULONG>(Started), PortOf(pdo)->PnpState);
  ASSERT_EQ(2u, third->SerialReadings().size());
  EXPECT_EQ(std::optional<ULONG>(PortOf(pdo)->BaseAddr), third->LastSerialReading()->Dword("BASEADDR"));
}

// Ports past a module that stopped answering are reported missing and go at
// their removal; a port already disabled goes at the second removal.
TEST_F(PortTest, PortsOfAModuleThatStopsAnsweringAreDeletedAtTheirRemoval) {
  host::Card& card = host::CreateCard(CardModel::Ports32);
  host::DeviceNode& node = host::BringUpCard(card);
  PBUS_EXTENSION bus = BusOf(node);
  ASSERT_EQ(32u, node.Children().size());
  host::DeviceNode* ninth = PortNode(node, 9);
  ASSERT_EQ(STATUS_SUCCESS, host::DisableDevice(*ninth));
  std::vector<PDEVICE_OBJECT> before(bus->Children, bus->Children + 32);

  card.SetModuleFitted(1, false);
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(node));
  EXPECT_EQ(8u, bus->ChildCount);
  EXPECT_EQ(8u, node.Children().size());
  for (ULONG i = 0; i < 32; i++) {
    if (i < 8) {
      EXPECT_EQ(before[i], bus->Children[i]) << i;
    } else {
      EXPECT_EQ(nullptr, bus->Children[i]) << i;
      EXPECT_FALSE(host::IsDeviceAlive(before[i])) << i;
    }
  }
  EXPECT_EQ(host::NodeState::Removed, ninth->State());
}

// Only a list that is handed out reports ports missing, and a port once
// reported missing is not reported again when its module answers again
// before its removal came.
TEST_F(PortTest, PortsAreReportedMissingOnlyByAListHandedOutAndOnlyOnce) {
  host::Card& card = host::CreateCard(CardModel::Ports32);
  host::DeviceNode& node = host::BringUpCard(card);
  PBUS_EXTENSION bus = BusOf(node);
  PDEVICE_OBJECT ninth = bus->Children[9];

  card.SetModuleFitted(1, false);
  host::FailPoolAllocationNth(2);  // the prefix succeeds, the list does not
  PDEVICE_RELATIONS list = nullptr;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, QueryBusRelationsDirect(node, nullptr, &list));
  card.SetModuleFitted(1, true);
  ASSERT_EQ(STATUS_SUCCESS, host::DisableDevice(*PortNode(node, 9)));
  EXPECT_TRUE(host::IsDeviceAlive(ninth));
  EXPECT_EQ(ninth, bus->Children[9]);

  card.SetModuleFitted(1, false);
  ASSERT_EQ(STATUS_SUCCESS, QueryBusRelationsDirect(node, nullptr, &list));
  ASSERT_EQ(8u, list->Count);
  ReleaseRelations(list);
  card.SetModuleFitted(1, true);
  ASSERT_EQ(STATUS_SUCCESS, QueryBusRelationsDirect(node, nullptr, &list));
  EXPECT_EQ(8u, list->Count);  // ports 8 to 31 wait for their removal
  for (ULONG i = 0; i < list->Count; i++) EXPECT_EQ(bus->Children[i], list->Objects[i]) << i;
  EXPECT_EQ(ninth, bus->Children[9]);
  ReleaseRelations(list);
}

TEST_F(PortTest, PortThatCannotBeCreatedIsLeftOutAndTriedAgain) {
  host::Card& card = host::CreateCard(CardModel::Ports4);
  host::DeviceNode& node = PlugAndStart(card);
  PBUS_EXTENSION bus = BusOf(node);

  host::FailDeviceCreationNth(2);  // port 1
  PDEVICE_RELATIONS list = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, QueryBusRelationsDirect(node, nullptr, &list));
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(nullptr, bus->Children[1]);
  EXPECT_EQ(4u, bus->ChildCount);
  ASSERT_EQ(3u, list->Count);
  EXPECT_EQ(FIELD_OFFSET(DEVICE_RELATIONS, Objects) + 3 * sizeof(PDEVICE_OBJECT),
            host::PoolBlock(list)->size);
  EXPECT_EQ(bus->Children[0], list->Objects[0]);
  EXPECT_EQ(bus->Children[2], list->Objects[1]);
  EXPECT_EQ(bus->Children[3], list->Objects[2]);
  ReleaseRelations(list);

  ASSERT_EQ(STATUS_SUCCESS, QueryBusRelationsDirect(node, nullptr, &list));
  ASSERT_NE(nullptr, list);
  ASSERT_NE(nullptr, bus->Children[1]);
  ASSERT_EQ(4u, list->Count);
  for (ULONG i = 0; i < 4; i++) EXPECT_EQ(bus->Children[i], list->Objects[i]) << i;
  EXPECT_EQ("020D0101", Narrow(PortOf(bus->Children[1])->InstanceId, 8));
  ReleaseRelations(list);
}

TEST_F(PortTest, PlugAndPlayManagerGetsTheMissingPortOnItsNextQuery) {
  host::Card& card = host::CreateCard(CardModel::Ports4);
  host::DeviceNode& node = PlugAndStart(card);
  host::FailDeviceCreationNth(3);  // port 2
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(node));
  EXPECT_EQ(3u, node.Children().size());
  EXPECT_EQ(nullptr, PortNode(node, 2));
  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(node));
  EXPECT_EQ(4u, node.Children().size());
  ASSERT_NE(nullptr, PortNode(node, 2));
  EXPECT_EQ(host::NodeState::Started, PortNode(node, 2)->State());
}

TEST_F(PortTest, NoMemoryForThePrefixChangesNothing) {
  host::Card& card = host::CreateCard(CardModel::Ports4);
  host::DeviceNode& node = PlugAndStart(card);
  PDEVICE_RELATIONS above = ListFromAbove(1);
  host::FailPoolAllocationNth(1);
  PDEVICE_RELATIONS list = nullptr;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, QueryBusRelationsDirect(node, above, &list));
  EXPECT_EQ(above, list);  // still the old list, still alive
  EXPECT_TRUE(host::PoolBlock(above).has_value());
  for (ULONG i = 0; i < SERHUB_CHILD_SLOTS; i++) EXPECT_EQ(nullptr, BusOf(node)->Children[i]);
  ReleaseRelations(list);
}

TEST_F(PortTest, NoMemoryForTheListKeepsTheNewPortsForTheNextQuery) {
  host::Card& card = host::CreateCard(CardModel::Ports4);
  host::DeviceNode& node = PlugAndStart(card);
  PBUS_EXTENSION bus = BusOf(node);
  PDEVICE_RELATIONS above = ListFromAbove(1);
  host::FailPoolAllocationNth(2);  // the prefix succeeds, the list does not
  PDEVICE_RELATIONS list = nullptr;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, QueryBusRelationsDirect(node, above, &list));
  EXPECT_EQ(above, list);
  EXPECT_TRUE(host::PoolBlock(above).has_value());
  ReleaseRelations(list);
  for (ULONG i = 0; i < 4; i++) EXPECT_NE(nullptr, bus->Children[i]) << i;
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));  // the prefix went back

  ASSERT_EQ(STATUS_SUCCESS, host::QueryBusRelations(node));
  EXPECT_EQ(4u, node.Children().size());
  for (ULONG i = 0; i < 4; i++) EXPECT_EQ(bus->Children[i], PortNode(node, i)->Pdo()) << i;
}

TEST_F(PortTest, CardThatIsNotSetUpReportsNoPorts) {
  host::Card& card = host::CreateCard(CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(node));
  ASSERT_EQ(STATUS_SUCCESS, host::StopDevice(node));
  ASSERT_EQ(0u, BusOf(node)->PortCount);
  card.ClearAccessLog();

  PDEVICE_RELATIONS above = ListFromAbove(2);
  PDEVICE_RELATIONS list = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, QueryBusRelationsDirect(node, above, &list));
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(2u, list->Count);
  EXPECT_EQ(0u, BusOf(node)->ChildCount);
  EXPECT_TRUE(card.AccessLog().empty());
  ReleaseRelations(list);
}

TEST_F(PortTest, PortCountBeyondTheTableIsHeldToThirtyTwoPorts) {
  host::CardSetup setup = host::SetupFor(CardModel::Ports32);
  setup.uart.ioBase = 0xD000;
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = PlugAndStart(card);
  // Something right behind the card's UART block that would answer a probe.
  SignatureFile behind("QKPCI");
  host::AddPortRange(0xD100, 64, &behind);
  PBUS_EXTENSION bus = BusOf(node);
  bus->PortCount = 40;
  PDEVICE_RELATIONS list = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, QueryBusRelationsDirect(node, nullptr, &list));
  bus->PortCount = 32;
  host::RemoveRanges(&behind);
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(32u, list->Count);
  EXPECT_EQ(32u, bus->ChildCount);
  EXPECT_EQ(nullptr, bus->Children[32]);
  EXPECT_TRUE(behind.Log().empty());
  ReleaseRelations(list);
}

}  // namespace
}  // namespace porttest
