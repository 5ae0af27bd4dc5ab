// The card's resources, the mapping of memory-space ranges, and the control
// registers' setup and reset.
#include "bus_fixture.h"

namespace bustest {
namespace {

using host::CardRange;
using host::ResourceListBuilder;

using CardResTest = BusTest;

constexpr ULONG kUartPort = 0xE000;
constexpr ULONG kSparePort = 0xE100;
constexpr ULONG kIntcPort = 0xE200;
constexpr ULONGLONG kUartMemory = 0xF0000000;
constexpr ULONGLONG kIntcMemory = 0xF0010000;

// Runs ParseCardResources over a translated list, as the start handler does.
NTSTATUS Parse(PBUS_EXTENSION bus, std::vector<uint8_t>* translated) {
  IO_STACK_LOCATION stack{};
  stack.MajorFunction = IRP_MJ_PNP;
  stack.MinorFunction = IRP_MN_START_DEVICE;
  stack.Parameters.StartDevice.AllocatedResourcesTranslated =
      translated ? reinterpret_cast<PCM_RESOURCE_LIST>(translated->data()) : nullptr;
  return ParseCardResources(&stack, bus);
}

// ---------------------------------------------------------------------------
// ParseCardResources.

TEST_F(CardResTest, FourPortCardTakesFirstAndThirdPortRange) {
  BUS_EXTENSION bus{};
  bus.PortCount = 4;
  auto list = ResourceListBuilder()
                  .Interrupt(18, 0x3B, 0x3)
                  .Port(kUartPort, 32)
                  .Port(kSparePort, 16)
                  .Port(kIntcPort, 24)
                  .Memory(kUartMemory, 0x1000)
                  .Build();
  ASSERT_EQ(STATUS_SUCCESS, Parse(&bus, &list));
  EXPECT_EQ(static_cast<LONGLONG>(kUartPort), bus.UartStart.QuadPart);
  EXPECT_EQ(32u, bus.UartLength);
  EXPECT_FALSE(bus.UartNeedsMap);
  EXPECT_FALSE(bus.UartMapped);
  EXPECT_EQ(static_cast<LONGLONG>(kIntcPort), bus.IntcStart.QuadPart);
  EXPECT_EQ(24u, bus.IntcLength);
  EXPECT_FALSE(bus.IntcNeedsMap);
  EXPECT_EQ(18u, bus.InterruptLevel);
  EXPECT_EQ(0x3Bu, bus.InterruptVector);
  EXPECT_EQ(0x3u, bus.InterruptAffinity);
  EXPECT_EQ(18u, bus.TrInterruptLevel);
  EXPECT_EQ(0x3Bu, bus.TrInterruptVector);
  EXPECT_EQ(4u, bus.PortCount);
}

TEST_F(CardResTest, ThirtyTwoPortCardTakesFirstAsControlAndSecondAsUarts) {
  BUS_EXTENSION bus{};
  bus.PortCount = 32;
  auto list = ResourceListBuilder()
                  .Port(kIntcPort, 32)
                  .Port(kUartPort, 256)
                  .Port(kSparePort, 16)
                  .Interrupt(16, 0x3D, 0x1)
                  .Build();
  ASSERT_EQ(STATUS_SUCCESS, Parse(&bus, &list));
  EXPECT_EQ(static_cast<LONGLONG>(kIntcPort), bus.IntcStart.QuadPart);
  EXPECT_EQ(32u, bus.IntcLength);
  EXPECT_EQ(static_cast<LONGLONG>(kUartPort), bus.UartStart.QuadPart);
  EXPECT_EQ(256u, bus.UartLength);
}

TEST_F(CardResTest, OtherResourceTypesDoNotShiftThePortNumbering) {
  BUS_EXTENSION bus{};
  bus.PortCount = 8;
  auto list = ResourceListBuilder()
                  .Port(kUartPort, 64)
                  .Memory(kUartMemory, 0x100)
                  .Interrupt(20, 0x39, 0x1)
                  .Port(kSparePort, 16)
                  .Memory(kIntcMemory, 0x100)
                  .Port(kIntcPort, 32)
                  .Port(0xE300, 8)
                  .Build();
  ASSERT_EQ(STATUS_SUCCESS, Parse(&bus, &list));
  EXPECT_EQ(static_cast<LONGLONG>(kUartPort), bus.UartStart.QuadPart);
  EXPECT_EQ(static_cast<LONGLONG>(kIntcPort), bus.IntcStart.QuadPart);
  EXPECT_EQ(32u, bus.IntcLength);
}

TEST_F(CardResTest, LastInterruptWinsInBothPasses) {
  BUS_EXTENSION bus{};
  bus.PortCount = 16;
  auto list = ResourceListBuilder()
                  .Interrupt(10, 0x41, 0x1)
                  .Port(kUartPort, 128)
                  .Port(kSparePort, 16)
                  .Port(kIntcPort, 32)
                  .Interrupt(12, 0x43, 0x2)
                  .Build();
  ASSERT_EQ(STATUS_SUCCESS, Parse(&bus, &list));
  EXPECT_EQ(12u, bus.InterruptLevel);
  EXPECT_EQ(0x43u, bus.InterruptVector);
  EXPECT_EQ(0x2u, bus.InterruptAffinity);
  EXPECT_EQ(12u, bus.TrInterruptLevel);
  EXPECT_EQ(0x43u, bus.TrInterruptVector);
}

TEST_F(CardResTest, MemorySpacePortRangesNeedMapping) {
  BUS_EXTENSION bus{};
  bus.PortCount = 2;
  bus.UartMapped = TRUE;  // stale
  auto list = ResourceListBuilder()
                  .Port(kUartMemory, 16, false)
                  .Port(kSparePort, 16)
                  .Port(kIntcMemory, 32, false)
                  .Interrupt(9, 0x39, 0x1)
                  .Build();
  ASSERT_EQ(STATUS_SUCCESS, Parse(&bus, &list));
  EXPECT_TRUE(bus.UartNeedsMap);
  EXPECT_TRUE(bus.IntcNeedsMap);
  EXPECT_FALSE(bus.UartMapped);
  EXPECT_FALSE(bus.IntcMapped);
  EXPECT_EQ(static_cast<LONGLONG>(kIntcMemory), bus.IntcStart.QuadPart);
}

struct BadListCase {
  const char* what;
  ULONG ports;
  std::vector<uint8_t> list;
};

class BadResourcesTest : public BusTest, public ::testing::WithParamInterface<int> {};

std::vector<BadListCase> BadLists() {
  return {
      {"no interrupt", 8,
       ResourceListBuilder().Port(kUartPort, 64).Port(kSparePort, 16).Port(kIntcPort, 32).Build()},
      {"interrupt vector 0", 8,
       ResourceListBuilder()
           .Port(kUartPort, 64)
           .Port(kSparePort, 16)
           .Port(kIntcPort, 32)
           .Interrupt(5, 0, 1)
           .Build()},
      {"2-port card with two port ranges", 2,
       ResourceListBuilder().Port(kUartPort, 16).Port(kIntcPort, 32).Interrupt(5, 0x35, 1).Build()},
      {"32-port card with one port range", 32,
       ResourceListBuilder().Port(kIntcPort, 32).Interrupt(5, 0x35, 1).Build()},
      {"UART range of length 0", 4,
       ResourceListBuilder()
           .Port(kUartPort, 0)
           .Port(kSparePort, 16)
           .Port(kIntcPort, 32)
           .Interrupt(5, 0x35, 1)
           .Build()},
      {"memory ranges only", 4,
       ResourceListBuilder()
           .Memory(kUartMemory, 0x100)
           .Memory(kIntcMemory, 0x100)
           .Memory(kIntcMemory + 0x1000, 0x100)
           .Interrupt(5, 0x35, 1)
           .Build()},
      {"empty list", 8, ResourceListBuilder().Build()},
  };
}

TEST_P(BadResourcesTest, MissingPiecesFailTheParse) {
  BadListCase c = BadLists()[GetParam()];
  SCOPED_TRACE(c.what);
  BUS_EXTENSION bus{};
  bus.PortCount = c.ports;
  bus.UartLength = 99;  // stale values are not taken for found ranges
  bus.IntcLength = 99;
  bus.InterruptVector = 0x99;
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, Parse(&bus, &c.list));
  EXPECT_EQ(0u, bus.PortCount);
}

INSTANTIATE_TEST_SUITE_P(Lists, BadResourcesTest, ::testing::Range(0, 7));

TEST_F(CardResTest, NoTranslatedListFails) {
  BUS_EXTENSION bus{};
  bus.PortCount = 8;
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, Parse(&bus, nullptr));
  EXPECT_EQ(0u, bus.PortCount);
}

// ---------------------------------------------------------------------------
// SetUpCard and ShutDownCard on ranges decoded by the test.

// The card's two ranges decoded in I/O or memory space by register files.
struct Ranges {
  RegisterFile uart{256};
  RegisterFile intc{32};
  Ranges(bool uartMemory, bool intcMemory) {
    if (uartMemory) host::AddMemoryRange(kUartMemory, 256, &uart);
    else host::AddPortRange(kUartPort, 256, &uart);
    if (intcMemory) host::AddMemoryRange(kIntcMemory, 32, &intc);
    else host::AddPortRange(kIntcPort, 32, &intc);
  }
  ~Ranges() {
    host::RemoveRanges(&uart);
    host::RemoveRanges(&intc);
  }
};

// A bus extension as ParseCardResources leaves it.
BUS_EXTENSION ParsedBus(ULONG ports, bool multiMode, bool uartMemory, bool intcMemory) {
  BUS_EXTENSION bus{};
  bus.PortCount = ports;
  bus.MultiMode = multiMode ? 1 : 0;
  bus.UartStart.QuadPart = uartMemory ? kUartMemory : kUartPort;
  bus.UartLength = 8 * ports;
  bus.UartNeedsMap = uartMemory;
  bus.IntcStart.QuadPart = intcMemory ? kIntcMemory : kIntcPort;
  bus.IntcLength = 32;
  bus.IntcNeedsMap = intcMemory;
  bus.InterruptVector = 0x3B;
  return bus;
}

struct ModelCase {
  ULONG ports;
  bool multiMode;
  host::CardModel model;
};

void PrintTo(const ModelCase& c, std::ostream* os) {
  *os << c.ports << " ports" << (c.multiMode ? ", multi-mode" : "");
}

const ModelCase kModels[] = {
    {2, false, host::CardModel::Ports2},          {2, true, host::CardModel::Ports2MultiMode},
    {4, false, host::CardModel::Ports4},          {4, true, host::CardModel::Ports4MultiMode},
    {8, false, host::CardModel::Ports8},          {16, false, host::CardModel::Ports16},
    {32, false, host::CardModel::Ports32},
};

class ModelTest : public BusTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelTest, SetupAndShutdownWriteTheModelsValuesInOrder) {
  const ModelCase& m = GetParam();
  Ranges ranges(false, false);
  BUS_EXTENSION bus = ParsedBus(m.ports, m.multiMode, false, false);

  ASSERT_EQ(STATUS_SUCCESS, SetUpCard(&bus));
  EXPECT_EQ(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(kUartPort)), bus.UartBase);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(kIntcPort)), bus.IntcBase);
  EXPECT_FALSE(bus.UartMapped);
  EXPECT_FALSE(bus.IntcMapped);
  EXPECT_EQ(SetupWrites(m.ports, m.multiMode), ranges.intc.Writes())
      << Describe(ranges.intc.Writes());
  EXPECT_TRUE(ranges.uart.Writes().empty());
  EXPECT_EQ(m.ports, bus.PortCount);
  EXPECT_EQ(0, host::MapCount());

  auto expected = SetupWrites(m.ports, m.multiMode);
  auto reset = ShutdownWrites();
  expected.insert(expected.end(), reset.begin(), reset.end());
  ShutDownCard(&bus);
  EXPECT_EQ(expected, ranges.intc.Writes()) << Describe(ranges.intc.Writes());
  EXPECT_EQ(0u, bus.PortCount);
  ShutDownCard(&bus);  // only the first call acts
  EXPECT_EQ(expected, ranges.intc.Writes());
  EXPECT_TRUE(ranges.uart.Writes().empty());
  EXPECT_EQ(0, ranges.intc.Reads() + ranges.uart.Reads());
  // Every access went through port I/O.
  for (const auto& access : host::IoAccessLog()) EXPECT_EQ(host::IoSpace::Port, access.space);
}

TEST_P(ModelTest, WholeLifeWritesSetupOnceAndResetOnce) {
  const ModelCase& m = GetParam();
  host::Card& card = host::CreateCard(m.model);
  host::DeviceNode& node = PlugAndStart(card);
  PBUS_EXTENSION bus = BusOf(node);
  EXPECT_EQ(m.ports, bus->PortCount);
  EXPECT_EQ(m.multiMode ? 1u : 0u, bus->MultiMode);
  EXPECT_EQ(SetupWrites(m.ports, m.multiMode), WritesOf(card, CardRange::Intc));
  EXPECT_EQ(card.Interrupt().vector, bus->InterruptVector);
  EXPECT_EQ(card.Interrupt().level, bus->InterruptLevel);
  EXPECT_EQ(static_cast<ULONG>(card.Interrupt().affinity), bus->InterruptAffinity);
  EXPECT_EQ(bus->InterruptVector, bus->TrInterruptVector);
  EXPECT_EQ(bus->InterruptLevel, bus->TrInterruptLevel);
  EXPECT_EQ(card.TranslatedStart(CardRange::Uart), static_cast<ULONGLONG>(bus->UartStart.QuadPart));
  EXPECT_EQ(card.TranslatedStart(CardRange::Intc), static_cast<ULONGLONG>(bus->IntcStart.QuadPart));

  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(node));
  ASSERT_EQ(STATUS_SUCCESS, host::StopDevice(node));
  ASSERT_EQ(STATUS_SUCCESS, host::QueryAndRemove(node));
  auto expected = SetupWrites(m.ports, m.multiMode);
  auto reset = ShutdownWrites();
  expected.insert(expected.end(), reset.begin(), reset.end());
  EXPECT_EQ(expected, WritesOf(card, CardRange::Intc)) << Describe(WritesOf(card, CardRange::Intc));
  EXPECT_TRUE(WritesOf(card, CardRange::Uart).empty());
  EXPECT_TRUE(WritesOf(card, CardRange::Spare).empty());
}

INSTANTIATE_TEST_SUITE_P(Models, ModelTest, ::testing::ValuesIn(kModels));

TEST_F(CardResTest, MemorySpaceRangesAreMappedWithTheirOwnLengthsAndUnmapped) {
  Ranges ranges(true, true);
  BUS_EXTENSION bus = ParsedBus(16, false, true, true);
  bus.UartLength = 128;

  ASSERT_EQ(STATUS_SUCCESS, SetUpCard(&bus));
  EXPECT_TRUE(bus.UartMapped);
  EXPECT_TRUE(bus.IntcMapped);
  auto mappings = host::LiveMappings();
  ASSERT_EQ(2u, mappings.size());
  for (const auto& mapping : mappings) {
    EXPECT_EQ(MmNonCached, mapping.cacheType);
    if (mapping.physical == kUartMemory) {
      EXPECT_EQ(128u, mapping.length);
      EXPECT_EQ(mapping.virtualAddress, static_cast<PVOID>(bus.UartBase));
    } else {
      EXPECT_EQ(kIntcMemory, mapping.physical);
      EXPECT_EQ(32u, mapping.length);
      EXPECT_EQ(mapping.virtualAddress, static_cast<PVOID>(bus.IntcBase));
    }
  }
  EXPECT_EQ(SetupWrites(16, false), ranges.intc.Writes());
  for (const auto& access : host::IoAccessLog()) {
    EXPECT_EQ(host::IoSpace::Register, access.space);
    EXPECT_TRUE(access.claimed);
  }

  ShutDownCard(&bus);
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_EQ(2, host::UnmapCount());
  EXPECT_FALSE(bus.UartMapped);
  EXPECT_FALSE(bus.IntcMapped);
  auto expected = SetupWrites(16, false);
  auto reset = ShutdownWrites();
  expected.insert(expected.end(), reset.begin(), reset.end());
  EXPECT_EQ(expected, ranges.intc.Writes());
}

TEST_F(CardResTest, OnlyTheMemorySpaceRangeIsMapped) {
  Ranges ranges(true, false);
  BUS_EXTENSION bus = ParsedBus(8, false, true, false);
  ASSERT_EQ(STATUS_SUCCESS, SetUpCard(&bus));
  EXPECT_TRUE(bus.UartMapped);
  EXPECT_FALSE(bus.IntcMapped);
  ASSERT_EQ(1u, host::LiveMappings().size());
  EXPECT_EQ(kUartMemory, host::LiveMappings()[0].physical);
  EXPECT_EQ(64u, host::LiveMappings()[0].length);
  EXPECT_EQ(SetupWrites(8, false), ranges.intc.Writes());
  for (const auto& access : host::IoAccessLog()) EXPECT_EQ(host::IoSpace::Port, access.space);
  ShutDownCard(&bus);
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_EQ(1, host::UnmapCount());
}

TEST_F(CardResTest, FailedSecondMappingUnmapsTheFirstAndWritesNothing) {
  Ranges ranges(true, true);
  BUS_EXTENSION bus = ParsedBus(4, true, true, true);
  host::FailIoCallNth(host::IoRoutine::MapIoSpace, 2);
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, SetUpCard(&bus));
  EXPECT_EQ(0u, bus.PortCount);
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_EQ(1, host::UnmapCount());
  EXPECT_TRUE(ranges.intc.Writes().empty());
  EXPECT_TRUE(host::IoAccessLog().empty());
  ShutDownCard(&bus);  // nothing more to do
  EXPECT_EQ(1, host::UnmapCount());
}

TEST_F(CardResTest, FailedFirstMappingUnmapsTheSecondAndWritesNothing) {
  Ranges ranges(true, true);
  BUS_EXTENSION bus = ParsedBus(4, false, true, true);
  host::FailIoCallNth(host::IoRoutine::MapIoSpace, 1);
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, SetUpCard(&bus));
  EXPECT_EQ(0u, bus.PortCount);
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_EQ(1, host::UnmapCount());
  EXPECT_TRUE(host::IoAccessLog().empty());
}

TEST_F(CardResTest, RangeAtAddressZeroIsRefused) {
  Ranges ranges(false, false);
  BUS_EXTENSION bus = ParsedBus(8, false, false, false);
  bus.IntcStart.QuadPart = 0;
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, SetUpCard(&bus));
  EXPECT_EQ(0u, bus.PortCount);
  EXPECT_TRUE(host::IoAccessLog().empty());
}

TEST_F(CardResTest, ShutdownOfACardNotSetUpDoesNothing) {
  Ranges ranges(true, true);
  BUS_EXTENSION bus = ParsedBus(8, false, true, true);
  bus.PortCount = 0;
  bus.UartMapped = TRUE;
  bus.UartBase = reinterpret_cast<PUCHAR>(0x1000);
  ShutDownCard(&bus);
  EXPECT_TRUE(host::IoAccessLog().empty());
  EXPECT_EQ(0, host::UnmapCount());
  EXPECT_TRUE(bus.UartMapped);
}

// ---------------------------------------------------------------------------
// Whole lives through the Plug and Play manager.

TEST_F(CardResTest, CardReachedThroughMemorySpaceGetsItsRegistersAndMappingsBack) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports4MultiMode);
  setup.uart.memorySpace = true;
  setup.intc.memorySpace = true;
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = PlugAndStart(card);
  PBUS_EXTENSION bus = BusOf(node);

  EXPECT_EQ(SetupWrites(4, true), WritesOf(card, CardRange::Intc));
  EXPECT_EQ(0xF0, card.Register(CardRange::Intc, 4));
  auto mappings = host::LiveMappings();
  ASSERT_EQ(2u, mappings.size());
  for (const auto& mapping : mappings) {
    CardRange range = mapping.physical == card.TranslatedStart(CardRange::Uart) ? CardRange::Uart
                                                                              : CardRange::Intc;
    EXPECT_EQ(card.TranslatedStart(range), mapping.physical);
    EXPECT_EQ(card.RangeLength(range), mapping.length);
  }
  EXPECT_TRUE(bus->UartMapped);
  EXPECT_TRUE(bus->IntcMapped);

  ASSERT_EQ(STATUS_SUCCESS, host::QueryAndRemove(node));
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_EQ(2, host::UnmapCount());
  EXPECT_EQ(0xFF, card.Register(CardRange::Intc, 4));
}

TEST_F(CardResTest, StopThenRemovalOfAMemorySpaceCardUnmapsOnceAtTheStop) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports8);
  setup.uart.memorySpace = true;
  setup.intc.memorySpace = true;
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = PlugAndStart(card);
  ASSERT_EQ(2, host::MapCount());

  ASSERT_EQ(STATUS_SUCCESS, host::QueryStop(node));
  ASSERT_EQ(STATUS_SUCCESS, host::StopDevice(node));
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_EQ(2, host::UnmapCount());
  card.ClearAccessLog();

  ASSERT_EQ(STATUS_SUCCESS, host::QueryAndRemove(node));
  EXPECT_EQ(2, host::UnmapCount()) << "the removal unmapped again";
  EXPECT_TRUE(WritesOf(card, CardRange::Intc).empty()) << "the removal reset the card again";
}

TEST_F(CardResTest, StartFailingInTheParseLeavesTheCardAlone) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports2);
  setup.intc.present = false;
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, host::StartDevice(node, false));
  EXPECT_EQ(0u, BusOf(node)->PortCount);
  EXPECT_EQ(std::optional<uint32_t>(2), PortsValue(node));
  ASSERT_EQ(STATUS_SUCCESS, host::RemoveDevice(node));
  EXPECT_TRUE(card.AccessLog().empty());
  EXPECT_EQ(0, host::MapCount());
  EXPECT_EQ(0, host::UnmapCount());
}

TEST_F(CardResTest, StartWithAFailedMappingLeavesNothingMapped) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports8);
  setup.uart.memorySpace = true;
  setup.intc.memorySpace = true;
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  host::FailIoCallNth(host::IoRoutine::MapIoSpace, 2);
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, host::StartDevice(node, false));
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_TRUE(card.AccessLog().empty());
  EXPECT_FALSE(host::IsInterfaceEnabled(host::RegisteredInterfaces(node.Pdo())[0]));
  ASSERT_EQ(STATUS_SUCCESS, host::RemoveDevice(node));
  EXPECT_EQ(1, host::UnmapCount());
}

}  // namespace
}  // namespace bustest
