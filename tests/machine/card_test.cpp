// The emulated card: configuration space, register file, access log, the
// expansion-module probe of the 32-port card and the resource lists.
#include <gtest/gtest.h>

#include <cstring>

#include "host/io.h"
#include "host/machine.h"
#include "platform_test.h"

namespace {

using host::CardRange;

class CardTest : public testsupport::PlatformTest {};

// Resource descriptors are packed to 4 bytes, as on the platform: read the
// 8-byte start addresses by copy.
LONGLONG StartOf(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d) {
  LONGLONG start;
  std::memcpy(&start, &d.u.Port.Start, sizeof start);
  return start;
}

PUCHAR Port(ULONGLONG address) { return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(address)); }

TEST_F(CardTest, ConfigurationSpaceNamesEveryModel) {
  struct Row {
    host::CardModel model;
    ULONG subsystem;
    bool bar2Io;
    ULONG ports;
  } rows[] = {
      {host::CardModel::Ports2, 0x00024B51, true, 2},
      {host::CardModel::Ports4, 0x00044B51, true, 4},
      {host::CardModel::Ports8, 0x00084B51, true, 8},
      {host::CardModel::Ports16, 0x00104B51, true, 16},
      {host::CardModel::Ports2MultiMode, 0x00824B51, true, 2},
      {host::CardModel::Ports4MultiMode, 0x00844B51, true, 4},
      {host::CardModel::Ports32, 0x91641698, true, 32},
      {host::CardModel::Ports32MemoryBar, 0x91641698, false, 32},
  };
  for (const Row& row : rows) {
    host::Card& card = host::CreateCard(row.model);
    SCOPED_TRACE(row.subsystem);
    EXPECT_EQ(row.subsystem, card.ConfigDword(0x2C));
    EXPECT_EQ(row.bar2Io, (card.ConfigDword(0x18) & 1) != 0);
    EXPECT_EQ(row.ports, card.Ports());
    EXPECT_EQ((ULONG)host::kCardDeviceId << 16 | host::kCardVendorId, card.ConfigDword(0));
    EXPECT_EQ(row.ports >= 32 ? 256u : 8 * row.ports, card.RangeLength(CardRange::Uart));
  }
  host::CardSetup unknown;
  unknown.subsystem = 0x00204B51;
  host::Card& other = host::CreateCard(unknown);
  EXPECT_EQ(0x00204B51u, other.ConfigDword(0x2C));
  EXPECT_EQ(0u, other.ConfigReads());
}

TEST_F(CardTest, RegistersKeepWritesAndLogEveryAccessInOrder) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  card.PresetRegister(CardRange::Intc, 3, 0x5A);
  card.Decode();
  const ULONGLONG intc = card.TranslatedStart(CardRange::Intc);
  WRITE_PORT_UCHAR(Port(intc + 4), 0xF0);
  EXPECT_EQ(0x5A, READ_PORT_UCHAR(Port(intc + 3)));
  EXPECT_EQ(0xF0, READ_PORT_UCHAR(Port(intc + 4)));
  EXPECT_EQ(0xF0, card.Register(CardRange::Intc, 4));
  std::vector<host::RegisterAccess> expected = {
      {CardRange::Intc, 4, true, 0xF0},
      {CardRange::Intc, 3, false, 0x5A},
      {CardRange::Intc, 4, false, 0xF0},
  };
  EXPECT_EQ(expected, card.AccessLog());
  EXPECT_EQ(1u, card.Writes(CardRange::Intc).size());
  EXPECT_TRUE(card.Writes(CardRange::Uart).empty());
  card.StopDecoding();
}

TEST_F(CardTest, FittedModuleShowsSignatureOnlyAfterTheProbeIsArmed) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports32);
  setup.modules = {true, true, false, true};
  host::Card& card = host::CreateCard(setup);
  card.PresetRegister(CardRange::Uart, 64 + 4, 0x11);  // module 1, port 8, register 4
  card.Decode();
  const ULONGLONG module1 = card.TranslatedStart(CardRange::Uart) + 64;

  // Before 0x01 reaches register 5 the registers read what the file holds.
  EXPECT_EQ(0x11, READ_PORT_UCHAR(Port(module1 + 4)));
  EXPECT_FALSE(card.ModuleSignatureArmed(1));

  WRITE_PORT_UCHAR(Port(module1 + 5), 0x01);
  std::string signature;
  for (int port = 0; port < 5; port++) signature.push_back((char)READ_PORT_UCHAR(Port(module1 + 8 * port + 4)));
  EXPECT_EQ("QKPCI", signature);
  // Only the first five ports carry it; other registers are unchanged.
  EXPECT_EQ(0x00, READ_PORT_UCHAR(Port(module1 + 8 * 5 + 4)));
  EXPECT_EQ(0x01, READ_PORT_UCHAR(Port(module1 + 5)));
  // Another module is not armed by it.
  EXPECT_NE('Q', READ_PORT_UCHAR(Port(card.TranslatedStart(CardRange::Uart) + 4)));

  WRITE_PORT_UCHAR(Port(module1 + 5), 0x00);
  EXPECT_EQ(0x11, READ_PORT_UCHAR(Port(module1 + 4)));
  card.StopDecoding();
}

TEST_F(CardTest, MissingModuleFloatsTheBusAndIgnoresWrites) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports32);
  setup.modules = {true, true, false, true};
  host::Card& card = host::CreateCard(setup);
  card.PresetRegister(CardRange::Uart, 128 + 4, 0x22);
  card.Decode();
  const ULONGLONG module2 = card.TranslatedStart(CardRange::Uart) + 128;
  WRITE_PORT_UCHAR(Port(module2 + 5), 0x01);
  EXPECT_FALSE(card.ModuleSignatureArmed(2));
  for (ULONG offset : {4u, 5u, 12u, 44u}) EXPECT_EQ(0xFF, READ_PORT_UCHAR(Port(module2 + offset)));
  EXPECT_EQ(0x22, card.Register(CardRange::Uart, 128 + 4));
  EXPECT_EQ(0x00, card.Register(CardRange::Uart, 128 + 5));
  // The access is still seen on the bus.
  EXPECT_EQ((host::RegisterAccess{CardRange::Uart, 128 + 5, true, 0x01}), card.AccessLog().front());

  // Fitting the module later makes it answer.
  card.SetModuleFitted(2, true);
  WRITE_PORT_UCHAR(Port(module2 + 5), 0x01);
  EXPECT_EQ('Q', READ_PORT_UCHAR(Port(module2 + 4)));
  card.StopDecoding();
}

TEST_F(CardTest, ResourceListsFollowEachModelsOrder) {
  host::Card& eight = host::CreateCard(host::CardModel::Ports8);
  auto raw = host::ParseResources(eight.RawResources());
  auto translated = host::ParseResources(eight.TranslatedResources());
  ASSERT_EQ(4u, translated.size());
  const CardRange order[] = {CardRange::Uart, CardRange::Spare, CardRange::Intc};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(CmResourceTypePort, translated[i].Type);
    EXPECT_EQ(CM_RESOURCE_PORT_IO, translated[i].Flags & CM_RESOURCE_PORT_IO);
    EXPECT_EQ((LONGLONG)eight.Range(order[i]).ioBase, StartOf(translated[i]));
    EXPECT_EQ(eight.Range(order[i]).length, translated[i].u.Port.Length);
  }
  // The interrupt: raw names the line, translated the HAL's vector and level.
  ASSERT_EQ(CmResourceTypeInterrupt, translated[3].Type);
  EXPECT_EQ(11u, raw[3].u.Interrupt.Vector);
  EXPECT_EQ(11u, raw[3].u.Interrupt.Level);
  EXPECT_EQ(0x3Bu, translated[3].u.Interrupt.Vector);
  EXPECT_EQ(16u, translated[3].u.Interrupt.Level);
  EXPECT_EQ(1u, translated[3].u.Interrupt.Affinity);

  host::Card& big = host::CreateCard(host::CardModel::Ports32);
  auto bigList = host::ParseResources(big.TranslatedResources());
  ASSERT_EQ(3u, bigList.size());
  EXPECT_EQ((LONGLONG)big.Range(CardRange::Intc).ioBase, StartOf(bigList[0]));
  EXPECT_EQ((LONGLONG)big.Range(CardRange::Uart).ioBase, StartOf(bigList[1]));
  EXPECT_EQ(256u, bigList[1].u.Port.Length);
}

TEST_F(CardTest, MemorySpaceRangeIsTranslatedWithoutThePortIoFlagAndDecodedThere) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports4);
  setup.uart.memorySpace = true;
  host::Card& card = host::CreateCard(setup);
  auto raw = host::ParseResources(card.RawResources());
  auto translated = host::ParseResources(card.TranslatedResources());
  EXPECT_EQ(CM_RESOURCE_PORT_IO, raw[0].Flags);
  EXPECT_EQ((LONGLONG)card.Range(CardRange::Uart).ioBase, StartOf(raw[0]));
  EXPECT_EQ(CmResourceTypePort, translated[0].Type);
  EXPECT_EQ(0, translated[0].Flags & CM_RESOURCE_PORT_IO);
  EXPECT_EQ((LONGLONG)card.Range(CardRange::Uart).memoryBase, StartOf(translated[0]));

  card.Decode();
  PHYSICAL_ADDRESS physical;
  physical.QuadPart = (LONGLONG)card.TranslatedStart(CardRange::Uart);
  auto* mapped = static_cast<PUCHAR>(MmMapIoSpace(physical, card.RangeLength(CardRange::Uart), MmNonCached));
  ASSERT_NE(nullptr, mapped);
  WRITE_REGISTER_UCHAR(mapped + 9, 0x77);
  EXPECT_EQ(0x77, card.Register(CardRange::Uart, 9));
  MmUnmapIoSpace(mapped, card.RangeLength(CardRange::Uart));
  card.StopDecoding();
}

TEST_F(CardTest, RequirementsCarryEveryAlternativeList) {
  host::CardSetup setup = host::SetupFor(host::CardModel::Ports2MultiMode);
  setup.alternativeLists = 2;
  host::Card& card = host::CreateCard(setup);
  auto lists = host::ParseRequirements(card.ResourceRequirements());
  ASSERT_EQ(2u, lists.size());
  for (const auto& list : lists) {
    ASSERT_EQ(4u, list.size());
    EXPECT_EQ(CmResourceTypePort, list[0].Type);
    EXPECT_EQ(CmResourceTypeInterrupt, list[3].Type);
  }
  EXPECT_EQ((LONGLONG)card.Range(CardRange::Uart).ioBase, lists[0][0].u.Port.MinimumAddress.QuadPart);
  EXPECT_EQ(0, lists[1][0].u.Port.MinimumAddress.QuadPart);

  // Hand-built lists replace the card's own.
  auto built = host::RequirementsBuilder().List().Memory(0x100, 0xF0000000, 0xF00000FF).Build();
  card.SetResourceRequirements(built);
  EXPECT_EQ(built, card.ResourceRequirements());
  EXPECT_EQ(built.size(), host::RequirementsListSize(
                              reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(built.data())));
}

}  // namespace
