// wsprintfA: the platform's formatter, with its own rules for flags, widths
// and the 1024-character limit.
#include <cstdarg>
#include <cstring>
#include <string>

#include "win32_test.h"

namespace {

// Formats through wvsprintfA and checks that the result counts the
// characters stored.
std::string Format(const char* format, ...) {
  char buffer[2048];
  std::memset(buffer, '#', sizeof(buffer));
  va_list args;
  va_start(args, format);
  int n = wvsprintfA(buffer, format, args);
  va_end(args);
  EXPECT_EQ(n, static_cast<int>(std::strlen(buffer))) << format;
  return buffer;
}

}  // namespace

TEST(Wsprintf, IntegersInEveryBase) {
  EXPECT_EQ(Format("%d", -5), "-5");
  EXPECT_EQ(Format("%i", 2147483647), "2147483647");
  EXPECT_EQ(Format("%d", static_cast<int>(0x80000000u)), "-2147483648");
  EXPECT_EQ(Format("%u", -1), "4294967295");
  EXPECT_EQ(Format("%x", 255), "ff");
  EXPECT_EQ(Format("%X", 0xBEEF), "BEEF");
  EXPECT_EQ(Format("%x", -1), "ffffffff");
  EXPECT_EQ(Format("%ld", static_cast<LONG>(-7)), "-7");
  EXPECT_EQ(Format("%lu", static_cast<ULONG>(3000000000u)), "3000000000");
  EXPECT_EQ(Format("%lx", static_cast<ULONG>(0xABCDEF)), "abcdef");
  EXPECT_EQ(Format("%I64d", 1LL << 40), "1099511627776");
  EXPECT_EQ(Format("%I64X", static_cast<long long>(-0x12345)), "FFFFFFFFFFFEDCBB");
}

TEST(Wsprintf, WidthFlagsAndPrecision) {
  EXPECT_EQ(Format("%02X", 10), "0A");
  EXPECT_EQ(Format("%02X", 0x1FF), "1FF");  // a width never cuts
  EXPECT_EQ(Format("%02X%02X%02X", 2, 13, 0), "020D00");
  EXPECT_EQ(Format("%5d|", 42), "   42|");
  EXPECT_EQ(Format("%-5d|", 42), "42   |");
  EXPECT_EQ(Format("%05d", -42), "-0042");  // the sign goes before the zeros
  EXPECT_EQ(Format("%010ld", -1), "-000000001");
  EXPECT_EQ(Format("%-05d|", 7), "7    |");  // '-' cancels '0'
  EXPECT_EQ(Format("%.5d", 42), "00042");
  EXPECT_EQ(Format("%#x", 255), "0xff");
  EXPECT_EQ(Format("%#X", 255), "0XFF");
}

TEST(Wsprintf, StringsAndCharacters) {
  EXPECT_EQ(Format("%s", "COM3"), "COM3");
  EXPECT_EQ(Format("%-10s%-10s%s", "port-1", "COM3", "RS232"), "port-1    COM3      RS232");
  EXPECT_EQ(Format("%-10s|", "port-10-long-name"), "port-10-long-name|");
  EXPECT_EQ(Format("%6s|", "ab"), "    ab|");
  EXPECT_EQ(Format("%.3s", "abcdef"), "abc");
  EXPECT_EQ(Format("%s", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(Format("%c%c", 'O', 'K'), "OK");
  EXPECT_EQ(Format("%S", u"wide"), "wide");
  EXPECT_EQ(Format("100%%"), "100%");
  // An unknown type prints as text and takes no argument.
  EXPECT_EQ(Format("%y%d", 5), "y5");
}

TEST(Wsprintf, RegistryKeyPathOfAPort) {
  char path[256];
  int n = wsprintfA(path,
                    "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\%s%02X\\Device Parameters",
                    "020300", 10u);
  EXPECT_STREQ(path, "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\0203000A\\Device Parameters");
  EXPECT_EQ(n, static_cast<int>(std::strlen(path)));
}

TEST(Wsprintf, OutputStopsAt1023Characters) {
  std::string longText(2000, 'a');
  char buffer[1100];
  std::memset(buffer, '#', sizeof(buffer));
  int n = wsprintfA(buffer, "%s", longText.c_str());
  EXPECT_EQ(n, 1023);
  EXPECT_EQ(std::strlen(buffer), 1023u);
  EXPECT_EQ(buffer[1024], '#');  // nothing written past the limit

  std::memset(buffer, '#', sizeof(buffer));
  n = wsprintfA(buffer, longText.c_str());
  EXPECT_EQ(n, 1023);
  EXPECT_EQ(buffer[1024], '#');

  // A width and a prefix at the limit stay inside it as well.
  std::memset(buffer, '#', sizeof(buffer));
  n = wsprintfA(buffer, "%s%#020x", std::string(1015, 'b').c_str(), 1);
  EXPECT_LE(n, 1023);
  EXPECT_EQ(std::strlen(buffer), static_cast<size_t>(n));
  EXPECT_EQ(buffer[1024], '#');
}
