// Port and register routines, I/O space mapping.
#include "io_fixture.h"

namespace kiotest {
namespace {

// A device decoding a small register file and recording what reached it.
struct RegisterFile : host::IoHandler {
  UCHAR regs[64] = {};
  std::vector<std::pair<ULONG, int>> seen;  // offset, value written or -1 for a read
  UCHAR Read(ULONG offset) override {
    seen.emplace_back(offset, -1);
    return regs[offset];
  }
  void Write(ULONG offset, UCHAR value) override {
    seen.emplace_back(offset, value);
    regs[offset] = value;
  }
};

PUCHAR Port(ULONG port) { return reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(port)); }

PHYSICAL_ADDRESS Physical(ULONGLONG address) {
  PHYSICAL_ADDRESS p;
  p.QuadPart = static_cast<LONGLONG>(address);
  return p;
}

class HalTest : public IoTest {};

TEST_F(HalTest, PortsRouteToTheirRangeAndUndrivenPortsReadFF) {
  RegisterFile uarts, intc;
  host::AddPortRange(0xE000, 0x40, &uarts);
  host::AddPortRange(0xE800, 0x20, &intc);
  uarts.regs[5] = 0x60;
  WRITE_PORT_UCHAR(Port(0xE811), 0x00);
  WRITE_PORT_UCHAR(Port(0xE804), 0xFC);
  EXPECT_EQ(READ_PORT_UCHAR(Port(0xE005)), 0x60);
  EXPECT_EQ(READ_PORT_UCHAR(Port(0xE040)), 0xFF);  // one past the range
  WRITE_PORT_UCHAR(Port(0x3F8), 0x12);             // goes nowhere

  EXPECT_EQ(intc.seen, (std::vector<std::pair<ULONG, int>>{{0x11, 0x00}, {0x04, 0xFC}}));
  EXPECT_EQ(uarts.seen, (std::vector<std::pair<ULONG, int>>{{0x05, -1}}));
  auto log = host::IoAccessLog();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].address, 0xE811u);
  EXPECT_TRUE(log[0].write);
  EXPECT_EQ(log[2].value, 0x60);
  EXPECT_FALSE(log[2].write);
  EXPECT_FALSE(log[3].claimed);
  EXPECT_EQ(log[3].value, 0xFF);
  EXPECT_EQ(log[4].address, 0x3F8u);
  EXPECT_FALSE(log[4].claimed);
  for (const auto& a : log) EXPECT_EQ(a.space, host::IoSpace::Port);

  host::RemoveRanges(&intc);
  EXPECT_EQ(READ_PORT_UCHAR(Port(0xE804)), 0xFF);
}

TEST_F(HalTest, MappedRegistersReachTheMemoryRange) {
  RegisterFile card;
  host::AddMemoryRange(0xFEB00000, 0x40, &card);
  card.regs[0x13] = 0xA5;
  auto* base = static_cast<PUCHAR>(MmMapIoSpace(Physical(0xFEB00010), 0x20, MmNonCached));
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) & 0xFFF, 0x010u) << "page offset is kept";
  auto live = host::LiveMappings();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].physical, 0xFEB00010u);
  EXPECT_EQ(live[0].length, 0x20u);
  EXPECT_EQ(live[0].cacheType, MmNonCached);

  EXPECT_EQ(READ_REGISTER_UCHAR(base + 3), 0xA5);
  WRITE_REGISTER_UCHAR(base + 4, 0x5A);
  EXPECT_EQ(card.regs[0x14], 0x5A);
  auto log = host::IoAccessLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].space, host::IoSpace::Register);
  EXPECT_EQ(log[0].address, 0xFEB00013u);
  EXPECT_EQ(log[1].address, 0xFEB00014u);
  EXPECT_TRUE(log[1].write);

  MmUnmapIoSpace(base, 0x20);
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_EQ(host::MapCount(), 1);
  EXPECT_EQ(host::UnmapCount(), 1);
}

TEST_F(HalTest, WrongRoutineForTheSpaceIsReported) {
  RegisterFile card;
  host::AddMemoryRange(0xFEB00000, 0x40, &card);
  host::AddPortRange(0xE000, 0x40, &card);
  auto* base = static_cast<PUCHAR>(MmMapIoSpace(Physical(0xFEB00000), 0x40, MmNonCached));
  ASSERT_NE(base, nullptr);

  WRITE_PORT_UCHAR(base + 1, 0x77);
  EXPECT_TRUE(OneFailureMentioning("MmMapIoSpace"));
  EXPECT_EQ(READ_PORT_UCHAR(base + 1), 0xFF);
  EXPECT_TRUE(OneFailureMentioning("READ_PORT_UCHAR"));
  EXPECT_EQ(READ_REGISTER_UCHAR(Port(0xE001)), 0xFF);
  EXPECT_TRUE(OneFailureMentioning("READ_REGISTER_UCHAR"));
  EXPECT_EQ(READ_REGISTER_UCHAR(base + 0x40), 0xFF);  // one past the mapping
  EXPECT_TRUE(OneFailureMentioning("not inside"));
  EXPECT_TRUE(card.seen.empty()) << "a misrouted access reached the device";

  MmUnmapIoSpace(base, 0x40);
  WRITE_REGISTER_UCHAR(base, 1);  // after unmapping
  EXPECT_TRUE(OneFailureMentioning("WRITE_REGISTER_UCHAR"));
  EXPECT_TRUE(card.seen.empty());
}

TEST_F(HalTest, UnmapChecksAndLeaks) {
  auto* a = MmMapIoSpace(Physical(0xFEB00000), 0x40, MmNonCached);
  auto* b = MmMapIoSpace(Physical(0xFEB01000), 0x20, MmNonCached);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);

  MmUnmapIoSpace(a, 0x20);
  EXPECT_TRUE(OneFailureMentioning("length"));
  MmUnmapIoSpace(a, 0x40);
  EXPECT_TRUE(OneFailureMentioning("already unmapped"));
  MmUnmapIoSpace(static_cast<PUCHAR>(b) + 1, 0x1F);
  EXPECT_TRUE(OneFailureMentioning("did not return"));

  auto findings = host::IoEndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("0xfeb01000"), std::string::npos);
  MmUnmapIoSpace(b, 0x20);
  EXPECT_TRUE(host::IoEndChecks().empty());
}

TEST_F(HalTest, MapFaultAndZeroLength) {
  host::FailIoCallNth(host::IoRoutine::MapIoSpace, 1);
  EXPECT_EQ(MmMapIoSpace(Physical(0xFEB00000), 0x40, MmNonCached), nullptr);
  EXPECT_TRUE(host::LiveMappings().empty());
  EXPECT_EQ(MmMapIoSpace(Physical(0xFEB00000), 0, MmNonCached), nullptr);
  EXPECT_TRUE(OneFailureMentioning("length of 0"));
  auto* p = MmMapIoSpace(Physical(0xFEB00000), 0x40, MmNonCached);
  EXPECT_NE(p, nullptr);
  MmUnmapIoSpace(p, 0x40);
}

using HalDeathTest = HalTest;

TEST_F(HalDeathTest, DereferencingAMappedAddressFaults) {
  auto* base = static_cast<volatile UCHAR*>(MmMapIoSpace(Physical(0xFEB00000), 0x40, MmNonCached));
  ASSERT_NE(base, nullptr);
  EXPECT_DEATH((void)base[1], "");
  MmUnmapIoSpace(const_cast<UCHAR*>(base), 0x40);
}

}  // namespace
}  // namespace kiotest
