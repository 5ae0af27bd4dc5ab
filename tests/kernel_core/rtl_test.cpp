// Rtl string routines at their edges.
#include "kcore_fixture.h"

namespace kcore_test {
namespace {

class RtlTest : public KernelCoreTest {};

ULONG Parse(const char16_t* text, ULONG base, NTSTATUS* status = nullptr) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  ULONG value = 0xDEADBEEF;
  NTSTATUS st = RtlUnicodeStringToInteger(&s, base, &value);
  if (status != nullptr) *status = st;
  return value;
}

TEST_F(RtlTest, InitUnicodeStringCountsBytesAndAcceptsNull) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"COM3");
  EXPECT_EQ(s.Length, 8);
  EXPECT_EQ(s.MaximumLength, 10);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
}

TEST_F(RtlTest, UnicodeStringToIntegerFollowsThePlatform) {
  NTSTATUS st;
  EXPECT_EQ(Parse(u"  42", 0), 42u);
  EXPECT_EQ(Parse(u"-1", 10), 0xFFFFFFFFu);
  EXPECT_EQ(Parse(u"+17", 10), 17u);
  EXPECT_EQ(Parse(u"0x1F", 0), 31u);
  EXPECT_EQ(Parse(u"0o17", 0), 15u);
  EXPECT_EQ(Parse(u"0b101", 0), 5u);
  EXPECT_EQ(Parse(u"0X1F", 0), 0u);     // only lower-case prefixes
  EXPECT_EQ(Parse(u"1F", 16), 31u);
  EXPECT_EQ(Parse(u"12z4", 10), 12u);   // stops at the first non-digit
  EXPECT_EQ(Parse(u"19", 8), 1u);       // 9 is no octal digit
  EXPECT_EQ(Parse(u"", 10, &st), 0u);   // empty: zero and success
  EXPECT_EQ(st, STATUS_SUCCESS);
  EXPECT_EQ(Parse(u"0x", 0, &st), 0u);
  EXPECT_EQ(st, STATUS_SUCCESS);
  EXPECT_EQ(Parse(u"4294967297", 10), 1u);  // wraps
  Parse(u"12", 7, &st);
  EXPECT_EQ(st, STATUS_INVALID_PARAMETER);
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"5");
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, 10, nullptr), STATUS_ACCESS_VIOLATION);
}

TEST_F(RtlTest, UnicodeStringToIntegerHonoursLengthNotTerminator) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"1234");
  s.Length = 4;  // "12"
  ULONG v = 0;
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, 10, &v), STATUS_SUCCESS);
  EXPECT_EQ(v, 12u);
}

TEST_F(RtlTest, CopyTruncatesAndTerminatesOnlyWhenThereIsRoom) {
  WCHAR buffer[4] = {u'x', u'x', u'x', u'x'};
  UNICODE_STRING dest{0, sizeof buffer, buffer};
  UNICODE_STRING src;
  RtlInitUnicodeString(&src, u"abc");
  RtlCopyUnicodeString(&dest, &src);
  EXPECT_EQ(dest.Length, 6);
  EXPECT_EQ(std::u16string(buffer, 4), std::u16string(u"abc\0", 4));
  RtlInitUnicodeString(&src, u"abcdef");
  RtlCopyUnicodeString(&dest, &src);
  EXPECT_EQ(dest.Length, 8);  // cut to MaximumLength, no room for a terminator
  EXPECT_EQ(std::u16string(buffer, 4), u"abcd");
  RtlCopyUnicodeString(&dest, nullptr);
  EXPECT_EQ(dest.Length, 0);
}

TEST_F(RtlTest, AppendChecksRoomAndTerminates) {
  WCHAR buffer[6] = {};
  UNICODE_STRING dest{0, sizeof buffer, buffer};
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"ab"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"cdefg"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(dest.Length, 4);  // unchanged by the failed append
  UNICODE_STRING more;
  RtlInitUnicodeString(&more, u"cde");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &more), STATUS_SUCCESS);
  EXPECT_EQ(dest.Length, 10);
  EXPECT_EQ(buffer[5], 0);  // room for the terminator
  RtlInitUnicodeString(&more, u"f");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &more), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer, 6), u"abcdef");  // full, no terminator
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, nullptr), STATUS_SUCCESS);
}

TEST_F(RtlTest, EqualComparesLengthAndOptionallyCase) {
  UNICODE_STRING a, b, c;
  RtlInitUnicodeString(&a, u"PCI\\VEN_1234");
  RtlInitUnicodeString(&b, u"pci\\ven_1234");
  RtlInitUnicodeString(&c, u"PCI\\VEN_12345");
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  c.Length = a.Length;
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &c, FALSE));
  c.Length += 2;
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
}

TEST_F(RtlTest, CompareMemoryCountsTheMatchingPrefix) {
  EXPECT_EQ(RtlCompareMemory("abcd", "abxd", 4), 2u);
  EXPECT_EQ(RtlCompareMemory("abcd", "abcd", 4), 4u);
  EXPECT_EQ(RtlCompareMemory("abcd", "xbcd", 0), 0u);
}

}  // namespace
}  // namespace kcore_test
