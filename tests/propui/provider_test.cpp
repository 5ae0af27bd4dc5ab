// The page provider: which requests get a page, how the card's port count,
// location and port values are read, and the page's life from creation to
// release.
#include "propui_test.h"

namespace propui_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ProviderTest : public PropUiTest {};

TEST_F(ProviderTest, EntryPointKeepsModuleAndDisablesThreadCalls) {
  EXPECT_EQ(ModuleInstance, module_);
  EXPECT_TRUE(host::ThreadLibraryCallsDisabled(module_));
  // Other reasons change nothing and still succeed.
  EXPECT_TRUE(LibMain(reinterpret_cast<HINSTANCE>(0x1234), DLL_PROCESS_DETACH, nullptr));
  EXPECT_TRUE(LibMain(reinterpret_cast<HINSTANCE>(0x1234), DLL_THREAD_ATTACH, nullptr));
  EXPECT_EQ(ModuleInstance, module_);
}

TEST_F(ProviderTest, OtherPageRequestsGetNoPage) {
  AddCard(4);
  AddPort(0, "COM3", 0, std::nullopt);
  for (DWORD request : {SPPSR_SELECT_DEVICE_RESOURCES, SPPSR_ENUM_BASIC_DEVICE_PROPERTIES}) {
    host::PropertySheet sheet;
    size_t allocations = host::LocalAllocCount();
    EXPECT_TRUE(Enumerate(sheet, request));
    EXPECT_EQ(sheet.PageCount(), 0u);
    EXPECT_EQ(host::LocalAllocCount(), allocations) << "request " << request;
  }
}

TEST_F(ProviderTest, PageForOneAndThirtyTwoPorts) {
  {
    AddCard(1);
    AddPort(0, "COM3", 0, std::nullopt);
    host::PropertySheet sheet;
    OpenPage(sheet);
    EXPECT_EQ(sheet.PageTitle(0), "Ports");
    EXPECT_THAT(Lines(sheet), ElementsAre("port-1    COM3      RS232"));
    EXPECT_EQ(Record(sheet)->PortCount, 1);
  }
  ASSERT_TRUE(Reg().SetDword(CardParamsKey(), "PORTS", 32));
  for (int i = 1; i < 32; ++i) AddPort(i, "COM" + std::to_string(10 + i), 1, 2);
  host::PropertySheet sheet;
  OpenPage(sheet);
  std::vector<std::string> lines = Lines(sheet);
  ASSERT_EQ(lines.size(), 32u);
  EXPECT_EQ(lines[0], "port-1    COM3      RS232");
  EXPECT_EQ(lines[31], "port-32   COM41     RS485_FULL");
}

TEST_F(ProviderTest, PortCountOutsideOneToThirtyTwoGetsNoPage) {
  AddCard(std::nullopt);
  AddPort(0, "COM3", 0, std::nullopt);
  for (uint32_t ports : {0u, 33u, 0xFFFFFFFFu, 0x80000000u}) {
    ASSERT_TRUE(Reg().SetDword(CardParamsKey(), "PORTS", ports));
    host::PropertySheet sheet;
    EXPECT_FALSE(Enumerate(sheet)) << ports;
    EXPECT_EQ(sheet.PageCount(), 0u) << ports;
    // The record is freed and the card key closed.
    EXPECT_EQ(host::Win32Outstanding().localBlocks, 0u) << ports;
    EXPECT_EQ(host::Win32Outstanding().openKeys, 0u) << ports;
  }
}

TEST_F(ProviderTest, CardThatCannotBeReadGetsNoPage) {
  // No "Ports" value.
  AddCard(std::nullopt);
  {
    host::PropertySheet sheet;
    EXPECT_FALSE(Enumerate(sheet));
    EXPECT_EQ(sheet.PageCount(), 0u);
  }
  // A "Ports" value that does not fit in four bytes.
  uint8_t eight[8] = {4, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(Reg().SetValue(CardParamsKey(), "PORTS", REG_BINARY, eight, sizeof(eight)));
  {
    host::PropertySheet sheet;
    EXPECT_FALSE(Enumerate(sheet));
  }
  // No card key.
  ASSERT_TRUE(Reg().DeleteKey(CardParamsKey()));
  {
    host::PropertySheet sheet;
    EXPECT_FALSE(Enumerate(sheet));
  }
  // No location text.
  ASSERT_TRUE(Reg().CreateKey(CardParamsKey()));
  ASSERT_TRUE(Reg().SetDword(CardParamsKey(), "PORTS", 4));
  ASSERT_TRUE(Reg().DeleteValue(CardKey(), "LocationInformation"));
  {
    host::PropertySheet sheet;
    EXPECT_FALSE(Enumerate(sheet));
  }
  // A location text longer than the 256-byte buffer.
  ASSERT_TRUE(Reg().SetString(CardKey(), "LocationInformation", std::string(256, 'x')));
  {
    host::PropertySheet sheet;
    EXPECT_FALSE(Enumerate(sheet));
  }
  // Every failure freed the record and closed what it opened.
  EXPECT_EQ(host::Win32Outstanding().localBlocks, 0u);
  EXPECT_EQ(host::Win32Outstanding().openKeys, 0u);
}

TEST_F(ProviderTest, RecordAllocationFailure) {
  AddCard(4);
  host::PropertySheet sheet;
  host::FailLocalAllocNth(1);
  EXPECT_FALSE(Enumerate(sheet));
  EXPECT_EQ(sheet.PageCount(), 0u);
}

TEST_F(ProviderTest, RefusedPageIsDestroyedAndItsRecordFreed) {
  AddCard(2);
  AddPort(0, "COM3", 1, 1);
  Reg().ClearWriteLog();
  host::PropertySheet sheet;
  sheet.RefuseNewPages(true);
  EXPECT_TRUE(Enumerate(sheet));
  EXPECT_EQ(sheet.PageCount(), 0u);
  host::Win32Counts left = host::Win32Outstanding();
  EXPECT_EQ(left.propertySheetPages, 0u);
  EXPECT_EQ(left.localBlocks, 0u);
  // Nothing was applied, so the release wrote nothing.
  EXPECT_THAT(Reg().WriteLog(), IsEmpty());
}

// The callback lets the page be created and frees the record at release.
TEST_F(ProviderTest, CallbackAnswers) {
  auto* data = static_cast<PPORT_PAGE_DATA>(LocalAlloc(LPTR, sizeof(PORT_PAGE_DATA)));
  ASSERT_NE(data, nullptr);
  PROPSHEETPAGEA page = {};
  page.lParam = reinterpret_cast<LPARAM>(data);
  EXPECT_EQ(PortPageCallback(nullptr, PSPCB_ADDREF, &page), 1u);
  EXPECT_EQ(PortPageCallback(nullptr, PSPCB_CREATE, &page), 1u);
  EXPECT_TRUE(host::IsLocalBlock(data));
  EXPECT_EQ(PortPageCallback(nullptr, PSPCB_RELEASE, &page), 0u);
  EXPECT_FALSE(host::IsLocalBlock(data));
}

// ---------------------------------------------------------------------------
// Location text and key.

TEST(LocationKey, FirstThreeNumbersAsHex) {
  struct Case {
    const char* text;
    const char* key;
  } cases[] = {
      {"PCI bus 2, device 13, function 0", "020D00"},
      {"PCI bus 0, device 17, function 1", "001101"},
      {"PCI bus 258, device 13, function 0", "020D00"},  // low byte only
      {"PCI bus 256, device 31, function 7", "001F07"},
      {"1.2.3.4", "010203"},
      {"1\xB2" "2\xB2" "3", "010203"},  // bytes above 0x7F separate numbers
      {"007,0010,0000255", "070AFF"},
      {"bus 4294967297 dev 3 fn 1", "010301"},  // wraps in 32 bits
  };
  for (const Case& c : cases) {
    char text[64];
    lstrcpyA(text, c.text);
    char out[64] = "unchanged";
    EXPECT_TRUE(MakeLocationKey(out, text)) << c.text;
    EXPECT_STREQ(out, c.key) << c.text;
  }
}

TEST(LocationKey, FewerThanThreeNumbersLeavesKeyAlone) {
  for (const char* source : {"", "PCI bus 2, device 13", "no numbers", "12"}) {
    char text[64];
    lstrcpyA(text, source);
    char out[64] = "unchanged";
    EXPECT_FALSE(MakeLocationKey(out, text)) << source;
    EXPECT_STREQ(out, "unchanged") << source;
  }
}

TEST(ParseDecimalTest, LeadingDigitsOnly) {
  EXPECT_EQ(ParseDecimal("12"), 12);
  EXPECT_EQ(ParseDecimal("3a"), 3);
  EXPECT_EQ(ParseDecimal(""), 0);
  EXPECT_EQ(ParseDecimal("X1"), 0);
  EXPECT_EQ(ParseDecimal(" 5"), 0);
  EXPECT_EQ(ParseDecimal("-5"), 0);
  EXPECT_EQ(ParseDecimal("2147483648"), static_cast<LONG>(0x80000000u));
  EXPECT_EQ(ParseDecimal("4294967299"), 3);
}

TEST_F(ProviderTest, OnlyTextAfterLastBackslashIsSearched) {
  // The whole text would give 00 03 01 (from PNP0A03 and the 1).
  AddCard(1, "ACPI\\PNP0A03\\1\\PCI bus 2, device 13, function 0");
  AddPort(0, "COM4", 0, std::nullopt);
  AddPort(0, "COM9", 0, std::nullopt, "000301");
  host::PropertySheet sheet;
  OpenPage(sheet);
  EXPECT_STREQ(Record(sheet)->LocationKey, "020D00");
  EXPECT_THAT(Lines(sheet), ElementsAre("port-1    COM4      RS232"));
}

TEST_F(ProviderTest, BusNumberAboveTwoFiftyFiveUsesLowByte) {
  AddCard(2, "PCI bus 258, device 3, function 1");
  AddPort(1, "COM6", 0, std::nullopt, "020301");
  host::PropertySheet sheet;
  OpenPage(sheet);
  EXPECT_THAT(Lines(sheet), ElementsAre("port-2    COM6      RS232"));
}

TEST_F(ProviderTest, LocationWithoutThreeNumbersShowsEmptyPage) {
  AddCard(2, "PCI bus 2, device 13");
  AddPort(0, "COM3", 0, std::nullopt);
  host::PropertySheet sheet;
  OpenPage(sheet);
  EXPECT_STREQ(Record(sheet)->LocationKey, "");
  EXPECT_THAT(Lines(sheet), IsEmpty());
  EXPECT_FALSE(ChangeEnabled(sheet));
}

TEST_F(ProviderTest, PortKeysFollowTheInstanceIds) {
  // Port index 10 of the card at bus 2, device 13, function 0.
  AddCard(16);
  AddPort(10, "COM20", 0, std::nullopt);
  EXPECT_EQ(PortKey(10),
            "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\020D000A\\Device Parameters");
  host::PropertySheet sheet;
  OpenPage(sheet);
  EXPECT_THAT(Lines(sheet), ElementsAre("port-11   COM20     RS232"));
  EXPECT_EQ(Record(sheet)->LineIndex[10], 0);
}

// ---------------------------------------------------------------------------
// Port values.

TEST_F(ProviderTest, PortNameNumbers) {
  AddCard(8);
  AddPort(0, "COM12", 0, std::nullopt);
  AddPort(1, "COM", 0, std::nullopt);    // no number: no line
  AddPort(2, "COM3a", 0, std::nullopt);
  AddPort(3, "COMX1", 0, std::nullopt);  // no number: no line
  AddPort(4, "LPT1", 0, std::nullopt);   // the first three characters are not examined
  AddPort(5, "CO", 0, std::nullopt);
  AddPort(6, "", 0, std::nullopt);
  AddPort(7, std::nullopt, 0, std::nullopt);  // no PORTNAME
  host::PropertySheet sheet;
  OpenPage(sheet);
  PPORT_PAGE_DATA data = Record(sheet);
  LONG expected[8] = {12, 0, 3, 0, 1, 0, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(data->ComNumber[i], expected[i]) << "port " << i;
  EXPECT_THAT(Lines(sheet), ElementsAre("port-1    COM12     RS232", "port-3    COM3      RS232",
                                        "port-5    COM1      RS232"));
}

// REG_SZ data as the registry keeps it: UTF-16LE, here without a NUL.
static std::vector<uint8_t> Utf16(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

TEST_F(ProviderTest, PortNameFillingTheBufferWithoutNul) {
  AddCard(4);
  // 256 characters, no terminator: the query fills the whole buffer. The
  // number ends with the data; nothing behind the buffer is read.
  std::string full = "COM" + std::string(252, '0') + "9";
  ASSERT_EQ(full.size(), 256u);
  AddPort(0, std::nullopt, 0, std::nullopt);
  std::vector<uint8_t> data = Utf16(full);
  ASSERT_TRUE(Reg().SetValue(PortKey(0), SERHUB_PORTNAME_A, REG_SZ, data.data(), data.size()));
  // Shorter data without a NUL ends where the data ends.
  AddPort(1, std::nullopt, 0, std::nullopt);
  data = Utf16("COM42");
  ASSERT_TRUE(Reg().SetValue(PortKey(1), SERHUB_PORTNAME_A, REG_SZ, data.data(), data.size()));
  // 257 characters do not fit: the name cannot be read.
  AddPort(2, std::string("COM") + std::string(254, '1'), 0, std::nullopt);
  // Nor do 256 characters with their NUL: 257 bytes for a 256-byte query.
  AddPort(3, std::string("COM") + std::string(252, '0') + "8", 0, std::nullopt);
  host::PropertySheet sheet;
  OpenPage(sheet);
  EXPECT_EQ(Record(sheet)->ComNumber[0], 9);
  EXPECT_EQ(Record(sheet)->ComNumber[1], 42);
  EXPECT_EQ(Record(sheet)->ComNumber[2], 0);
  EXPECT_EQ(Record(sheet)->ComNumber[3], 0);
  EXPECT_THAT(Lines(sheet), ElementsAre("port-1    COM9      RS232", "port-2    COM42     RS232"));
}

TEST_F(ProviderTest, PortTypeAndMode) {
  AddCard(7);
  AddPort(0, "COM1", 0, 3);        // type 0: PORTMODE not read
  AddPort(1, "COM2", 1, 2);
  AddPort(2, "COM3", 2, 0);
  AddPort(3, "COM4", 3, 1);
  AddPort(4, "COM5", 256, 3);      // type low byte 0, but PORTMODE is read
  AddPort(5, "COM6", std::nullopt, 2);  // PORTTYPE missing: mode stays 0
  AddPort(6, "COM7", 1, 0x1FF);    // mode low byte
  host::PropertySheet sheet;
  OpenPage(sheet);
  PPORT_PAGE_DATA data = Record(sheet);
  signed char types[7] = {0, 1, 2, 3, 0, 0, 1};
  signed char modes[7] = {0, 2, 0, 1, 3, 0, -1};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(data->PortType[i], types[i]) << "port " << i;
    EXPECT_EQ(data->PortMode[i], modes[i]) << "port " << i;
  }
  EXPECT_THAT(Lines(sheet),
              ElementsAre("port-1    COM1      RS232", "port-2    COM2      RS485_FULL",
                          "port-3    COM3      RS232", "port-4    COM4      ",
                          "port-5    COM5      RS232", "port-6    COM6      RS232",
                          "port-7    COM7      RS485_HALF"));
}

TEST_F(ProviderTest, UnreadablePortTypeOrModeCountsAsZero) {
  AddCard(3);
  // A PORTTYPE of more than four bytes cannot be read into the 4-byte buffer.
  AddPort(0, "COM1", std::nullopt, 3);
  ASSERT_TRUE(Reg().SetString(PortKey(0), SERHUB_PORTTYPE_A, "ABCDEFGH"));
  // A PORTMODE that does not fit.
  AddPort(1, "COM2", 1, std::nullopt);
  uint8_t eight[8] = {2, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(Reg().SetValue(PortKey(1), SERHUB_PORTMODE_A, REG_BINARY, eight, 8));
  // A PORTTYPE of another registry type is taken as it is.
  AddPort(2, "COM3", std::nullopt, 3);
  uint8_t two[4] = {2, 0, 0, 0};
  ASSERT_TRUE(Reg().SetValue(PortKey(2), SERHUB_PORTTYPE_A, REG_BINARY, two, 4));
  host::PropertySheet sheet;
  OpenPage(sheet);
  PPORT_PAGE_DATA data = Record(sheet);
  EXPECT_EQ(data->PortType[0], 0);
  EXPECT_EQ(data->PortMode[0], 0);
  EXPECT_EQ(data->PortType[1], 1);
  EXPECT_EQ(data->PortMode[1], 0);
  EXPECT_EQ(data->PortType[2], 2);
  EXPECT_EQ(data->PortMode[2], 3);
}

TEST_F(ProviderTest, PortsWithoutKeysAreSkipped) {
  AddCard(4);
  AddPort(1, "COM5", 0, std::nullopt);
  AddPort(3, "COM7", 1, 3);
  host::PropertySheet sheet;
  OpenPage(sheet);
  EXPECT_THAT(Lines(sheet),
              ElementsAre("port-2    COM5      RS232", "port-4    COM7      RS422"));
  PPORT_PAGE_DATA data = Record(sheet);
  EXPECT_EQ(data->ComNumber[0], 0);
  EXPECT_EQ(data->ComNumber[2], 0);
  EXPECT_EQ(data->LineIndex[1], 0);
  EXPECT_EQ(data->LineIndex[3], 1);
}

}  // namespace
}  // namespace propui_test
