// Pool: accounting, guard bytes, fill patterns, fault injection and the
// verifier's pool rules.
#include <cstdio>
#include <cstring>

#include "kcore_fixture.h"

namespace kcore_test {
namespace {

constexpr ULONG kDdk = 0x206B6444;   // "Ddk "
constexpr ULONG kZbus = 0x7375625A;  // "Zbus"

class PoolTest : public KernelCoreTest {};

// Byte access that AddressSanitizer does not check: the tests of the pool's
// own guard and fill checks touch bytes the ASan build poisons.
__attribute__((no_sanitize_address, noinline)) void Poke(unsigned char* p, unsigned char v) {
  *static_cast<volatile unsigned char*>(p) = v;
}
__attribute__((no_sanitize_address, noinline)) unsigned char Peek(const unsigned char* p) {
  return *static_cast<const volatile unsigned char*>(p);
}

TEST_F(PoolTest, AccountsPerTagAndPoolType) {
  void* a = ExAllocatePoolWithTag(PagedPool, 10, kDdk);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 20, kDdk);
  void* c = ExAllocatePoolWithTag(PagedPoolCacheAligned, 30, kZbus);
  void* d = ExAllocatePool(NonPagedPool, 4);
  EXPECT_EQ(host::PoolOutstanding(), 4u);
  EXPECT_EQ(host::PoolOutstanding(kDdk), 2u);
  EXPECT_EQ(host::PoolOutstandingBytes(kDdk), 30u);
  EXPECT_EQ(host::PoolOutstandingOfType(PagedPool), 2u);
  EXPECT_EQ(host::PoolOutstandingOfType(NonPagedPool), 2u);
  ASSERT_TRUE(host::PoolBlock(d).has_value());
  EXPECT_EQ(host::TagText(host::PoolBlock(d)->tag), "None");
  EXPECT_EQ(host::PoolBlock(c)->size, 30u);
  EXPECT_EQ(host::PoolBlock(c)->type, PagedPoolCacheAligned);
  EXPECT_EQ(host::PoolAllocationCount(), 4u);

  ExFreePoolWithTag(a, kDdk);
  ExFreePool(b);
  ExFreePool(c);
  ExFreePool(d);
  EXPECT_EQ(host::PoolOutstanding(), 0u);
  EXPECT_FALSE(host::PoolBlock(a).has_value());
}

TEST_F(PoolTest, FreshBlocksAreNotZeroedAndFreedBlocksAreFilled) {
  auto p = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 8, kDdk));
  for (int i = 0; i < 8; ++i) EXPECT_NE(p[i], 0);
  memset(p, 0, 8);
  ExFreePool(p);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Peek(p + i), 0xDD);  // kept out of reuse until reset
}

TEST_F(PoolTest, OverrunAndUnderrunAreCaughtAtFree) {
  auto p = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 5, kDdk));
  Poke(p + 5, 0);
  ExFreePool(p);
  ExpectOneFailure("overrun past 5 bytes");
  auto q = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 5, kDdk));
  Poke(q - 1, 0);
  ExFreePool(q);
  ExpectOneFailure("underrun");
}

#if defined(__SANITIZE_ADDRESS__)
// In the ASan build a driver's overrun into a guard, its underrun and its use
// of a freed block are reported where they happen, not only at the free.
using PoolAsanDeathTest = PoolTest;

TEST_F(PoolAsanDeathTest, OverrunUnderrunAndUseAfterFreeStopAtTheAccess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto p = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 5, kDdk));
  p[4] = 1;  // the last byte of the block is the driver's
  EXPECT_DEATH(p[5] = 0, "use-after-poison.*WRITE of size 1");
  EXPECT_DEATH(p[-1] = 0, "use-after-poison.*WRITE of size 1");
  ExFreePool(p);
  EXPECT_DEATH({ volatile unsigned char v = p[0]; (void)v; }, "use-after-poison.*READ of size 1");
}
#endif

TEST_F(PoolTest, BadFreesAreReported) {
  auto p = static_cast<char*>(ExAllocatePoolWithTag(PagedPool, 16, kDdk));
  ExFreePool(p + 4);
  ExpectOneFailure("points inside");
  int local = 0;
  ExFreePool(&local);
  char notABlock[64];  // the address as the C library prints a pointer
  std::snprintf(notABlock, sizeof notABlock, "%p, which is not a pool block",
                static_cast<void*>(&local));
  ExpectOneFailure(notABlock);
  ExFreePoolWithTag(p, kZbus);
  ExpectOneFailure("freed with tag 'Zbus'");
  ExFreePool(p);
  ExpectOneFailure("freed twice");
}

TEST_F(PoolTest, FreedBlocksStayOutOfReuseUntilTheQuarantineOverflows) {
  // 64 MB of freed blocks are kept; past that the oldest go back for reuse.
  constexpr size_t kBytes = 4000;
  constexpr size_t kKept = (64u << 20) / kBytes;
  void* first = ExAllocatePoolWithTag(PagedPool, kBytes, kDdk);
  ExFreePool(first);
  void* last = nullptr;
  bool reused = false;
  for (size_t i = 0; i < kKept + 8 && !reused; ++i) {
    last = ExAllocatePoolWithTag(PagedPool, kBytes, kZbus);
    ASSERT_NE(last, nullptr);
    reused = last == first;
    if (!reused) ExFreePool(last);
  }
  ASSERT_TRUE(reused) << "the oldest freed block never came back";
  ASSERT_TRUE(host::PoolBlock(first).has_value());
  EXPECT_EQ(host::PoolBlock(first)->tag, kZbus);
  EXPECT_TRUE(TakeFailures().empty());
  ExFreePoolWithTag(first, kZbus);
  EXPECT_TRUE(TakeFailures().empty());
  ExFreePool(first);
  ExpectOneFailure("freed twice");
}

TEST_F(PoolTest, FailNthAllocationCountsFromNow) {
  void* first = ExAllocatePoolWithTag(PagedPool, 1, kDdk);
  host::FailPoolAllocationNth(2);
  void* a = ExAllocatePoolWithTag(PagedPool, 1, kDdk);
  void* b = ExAllocatePoolWithTag(PagedPool, 1, kDdk);
  void* c = ExAllocatePoolWithTag(PagedPool, 1, kDdk);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(host::PoolAllocationCount(), 4u);  // the failed call counts too
  ExFreePool(first);
  ExFreePool(a);
  ExFreePool(c);
}

TEST_F(PoolTest, FailTagHitsOnlyThatTagUntilCleared) {
  host::FailPoolTag(kZbus);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 1, kZbus), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, kZbus), nullptr);
  void* other = ExAllocatePoolWithTag(PagedPool, 1, kDdk);
  EXPECT_NE(other, nullptr);
  host::ClearPoolFaults();
  void* now = ExAllocatePoolWithTag(PagedPool, 1, kZbus);
  EXPECT_NE(now, nullptr);
  ExFreePool(other);
  ExFreePool(now);
}

TEST_F(PoolTest, IrqlRules) {
  host::RunAtIrql(DISPATCH_LEVEL, [] {
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 4, kDdk);
    EXPECT_NE(nonPaged, nullptr);
    ExFreePool(nonPaged);
  });
  EXPECT_TRUE(TakeFailures().empty());
  void* paged = nullptr;
  host::RunAtIrql(DISPATCH_LEVEL, [&] { paged = ExAllocatePoolWithTag(PagedPool, 4, kDdk); });
  ExpectOneFailure("paged pool (tag 'Ddk ') allocated at IRQL 2");
  host::RunAtIrql(DISPATCH_LEVEL, [&] { ExFreePool(paged); });
  ExpectOneFailure("freed at IRQL 2");
}

TEST_F(PoolTest, ZeroByteAllocationIsReported) {
  void* p = ExAllocatePoolWithTag(PagedPool, 0, kDdk);
  ExpectOneFailure("zero-byte");
  ExFreePool(p);
}

TEST_F(PoolTest, LeaksAreListedWithTagAndSize) {
  void* p = ExAllocatePoolWithTag(PagedPool, 24, kDdk);
  std::vector<std::string> end = host::KernelEndChecks();
  ASSERT_EQ(end.size(), 1u) << Joined(end);
  EXPECT_NE(end[0].find("24 bytes, tag 'Ddk ', PagedPool"), std::string::npos) << end[0];
  ExFreePool(p);
}

TEST_F(PoolTest, FreeUnicodeStringReleasesItsPoolBuffer) {
  UNICODE_STRING s;
  s.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 8, host::kRtlStringTag));
  s.Length = 0;
  s.MaximumLength = 8;
  RtlFreeUnicodeString(&s);
  EXPECT_EQ(s.Buffer, nullptr);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(host::PoolOutstanding(), 0u);
}

}  // namespace
}  // namespace kcore_test
