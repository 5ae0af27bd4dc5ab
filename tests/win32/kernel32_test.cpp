// KERNEL32: local memory with leak and misuse accounting, last error, string
// helpers.
#include <cstring>
#include <thread>

#include "win32_test.h"

using LocalMemoryTest = Win32Test;

// A write AddressSanitizer does not check: the test of LocalFree's own guard
// check writes into a guard that the ASan build poisons.
__attribute__((no_sanitize_address, noinline)) static void Poke(char* p, char v) {
  *static_cast<volatile char*>(p) = v;
}

TEST_F(LocalMemoryTest, LptrBlockIsZeroedAndFixedBlockIsNot) {
  BYTE* zeroed = static_cast<BYTE*>(LocalAlloc(LPTR, 64));
  BYTE* fixed = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, 64));
  ASSERT_NE(zeroed, nullptr);
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(LocalSize(zeroed), 64u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(zeroed[i], 0) << i;
  // Memory without LMEM_ZEROINIT is not promised to be zero, and is not.
  int zeros = 0;
  for (int i = 0; i < 64; ++i) zeros += fixed[i] == 0;
  EXPECT_EQ(zeros, 0);
  EXPECT_EQ(LocalFree(zeroed), nullptr);
  EXPECT_EQ(LocalFree(fixed), nullptr);
  EXPECT_EQ(host::Win32Outstanding().localBlocks, 0u);
}

TEST_F(LocalMemoryTest, BlockNotFreedIsReportedWithItsSize) {
  void* block = LocalAlloc(LPTR, 300);
  ASSERT_TRUE(host::IsLocalBlock(block));
  host::Win32Counts counts = host::Win32Outstanding();
  EXPECT_EQ(counts.localBlocks, 1u);
  EXPECT_EQ(counts.localBytes, 300u);
  std::vector<std::string> findings = host::Win32EndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("300 bytes"), std::string::npos) << findings[0];
  LocalFree(block);
  EXPECT_FALSE(host::IsLocalBlock(block));
}

TEST_F(LocalMemoryTest, SecondFreeFailsAndIsReported) {
  SkipEndChecks();
  void* block = LocalAlloc(LPTR, 8);
  ASSERT_EQ(LocalFree(block), nullptr);
  SetLastError(0);
  EXPECT_EQ(LocalFree(block), block);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  std::vector<std::string> findings = host::Win32EndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("already freed"), std::string::npos) << findings[0];
}

TEST_F(LocalMemoryTest, FreeOfForeignPointerIsReported) {
  SkipEndChecks();
  int onStack = 0;
  EXPECT_EQ(LocalFree(&onStack), &onStack);
  EXPECT_EQ(host::Win32EndChecks().size(), 1u);
  EXPECT_EQ(LocalFree(NULL), nullptr);  // freeing NULL is allowed
}

TEST_F(LocalMemoryTest, WritingPastTheEndIsCaughtAtFree) {
  SkipEndChecks();
  char* block = static_cast<char*>(LocalAlloc(LPTR, 10));
  Poke(block + 10, 'x');
  LocalFree(block);
  std::vector<std::string> findings = host::Win32EndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("beyond its 10 bytes"), std::string::npos) << findings[0];
}

#if defined(__SANITIZE_ADDRESS__)
// In the ASan build the DLL's overrun of a LocalAlloc block and its use of a
// freed one are reported at the access.
using LocalMemoryAsanDeathTest = LocalMemoryTest;

TEST_F(LocalMemoryAsanDeathTest, OverrunAndUseAfterFreeStopAtTheAccess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char* block = static_cast<char*>(LocalAlloc(LPTR, 10));
  block[9] = 'x';
  EXPECT_DEATH(block[10] = 'x', "use-after-poison.*WRITE of size 1");
  LocalFree(block);
  EXPECT_DEATH(block[0] = 'x', "use-after-poison.*WRITE of size 1");
}
#endif

TEST_F(LocalMemoryTest, NthAllocationFailsOnce) {
  host::FailLocalAllocNth(2);
  void* first = LocalAlloc(LPTR, 4);
  SetLastError(0);
  void* second = LocalAlloc(LPTR, 4);
  DWORD error = GetLastError();
  void* third = LocalAlloc(LPTR, 4);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(host::LocalAllocCount(), 3u);
  LocalFree(first);
  LocalFree(third);
}

TEST_F(LocalMemoryTest, LastErrorBelongsToEachThread) {
  SetLastError(1234);
  DWORD seenByOther = 99;
  std::thread other([&] {
    seenByOther = GetLastError();
    SetLastError(5);
  });
  other.join();
  EXPECT_EQ(seenByOther, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Kernel32Strings, CopyConcatenateAndMeasure) {
  char buffer[16];
  EXPECT_EQ(lstrcpyA(buffer, "COM"), buffer);
  EXPECT_EQ(lstrcatA(buffer, "12"), buffer);
  EXPECT_STREQ(buffer, "COM12");
  EXPECT_EQ(lstrlenA(buffer), 5);
  EXPECT_EQ(lstrlenA(NULL), 0);
  std::memset(buffer, 'z', sizeof(buffer));
  lstrcpynA(buffer, "abcdef", 4);  // three characters and the NUL
  EXPECT_STREQ(buffer, "abc");
}

TEST(Kernel32Strings, MulDivRoundsHalfAwayFromZero) {
  EXPECT_EQ(MulDiv(7, 6, 4), 11);    // 10.5
  EXPECT_EQ(MulDiv(-7, 6, 4), -11);  // -10.5
  EXPECT_EQ(MulDiv(219, 6, 4), 329);  // 328.5: dialog units to pixels
  EXPECT_EQ(MulDiv(5, 1, 0), -1);
}
