// The write-back of the line modes: PSN_APPLY only marks the record, the
// modes are written as PORTMODE when the page is released, and only where
// the registry says the port can be switched and the value differs.
#include "propui_test.h"

namespace propui_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class SaveTest : public PropUiTest {
 protected:
  // A 4-port multi-mode card: every port type 1, modes 1, 2, 3, 1.
  void AddMultiModeCard() {
    AddCard(4);
    AddPort(0, "COM3", 1, 1);
    AddPort(1, "COM4", 1, 2);
    AddPort(2, "COM5", 1, 3);
    AddPort(3, "COM6", 1, 1);
  }

  // Opens port `line`'s dialog, clicks `radio` and presses OK.
  static void ChooseMode(host::PropertySheet& sheet, int line, int radio) {
    host::User().DoubleClickListItem(IDC_PORT_LIST, line).Click(radio).Click(IDOK);
    sheet.Run();
  }

  // The PORTMODE writes, as "<key's instance ID>=<value>".
  static std::vector<std::string> ModeWrites() {
    std::vector<std::string> writes;
    for (const host::RegWrite& write : Reg().WriteLog()) {
      EXPECT_EQ(write.value.name, SERHUB_PORTMODE_A);
      EXPECT_EQ(write.value.type, static_cast<uint32_t>(REG_DWORD));
      EXPECT_EQ(write.value.data.size(), 4u);
      std::string path = write.path;
      size_t end = path.rfind('\\');
      size_t begin = path.rfind('\\', end - 1) + 1;
      writes.push_back(path.substr(begin, end - begin) + "=" + std::to_string(write.value.Dword()));
    }
    return writes;
  }

  static uint32_t StoredMode(int port) {
    std::optional<host::RegValue> value = Reg().GetValue(PortKey(port), SERHUB_PORTMODE_A);
    return value ? value->Dword() : 0xDEADBEEF;
  }
};

TEST_F(SaveTest, OkWritesChangedModesAtRelease) {
  AddMultiModeCard();
  host::PropertySheet sheet;
  OpenPage(sheet);
  Reg().ClearWriteLog();
  ChooseMode(sheet, 1, IDC_MODE_RS422);
  ChooseMode(sheet, 3, IDC_MODE_RS485_FULL);
  EXPECT_THAT(Reg().WriteLog(), IsEmpty());
  EXPECT_TRUE(sheet.PressOk());
  // Ports 0 and 2 keep their stored modes and are not rewritten.
  EXPECT_THAT(ModeWrites(), ElementsAre("020D0001=3", "020D0003=2"));
  std::optional<host::RegValue> value = Reg().GetValue(PortKey(1), SERHUB_PORTMODE_A);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data, (std::vector<uint8_t>{3, 0, 0, 0}));
  EXPECT_EQ(StoredMode(0), 1u);
  EXPECT_EQ(StoredMode(2), 3u);
}

TEST_F(SaveTest, ApplyOnlyMarksTheRecord) {
  AddMultiModeCard();
  host::PropertySheet sheet;
  OpenPage(sheet);
  Reg().ClearWriteLog();
  ChooseMode(sheet, 0, IDC_MODE_RS422);
  sheet.MarkChanged();
  EXPECT_TRUE(sheet.PressApply());
  EXPECT_EQ(Record(sheet)->Applied, 1);
  EXPECT_THAT(Reg().WriteLog(), IsEmpty());
  EXPECT_TRUE(sheet.IsOpen());
  // A second Apply keeps it at 1.
  sheet.MarkChanged();
  EXPECT_TRUE(sheet.PressApply());
  EXPECT_EQ(Record(sheet)->Applied, 1);
  EXPECT_TRUE(sheet.PressOk());
  EXPECT_THAT(ModeWrites(), ElementsAre("020D0000=3"));
}

TEST_F(SaveTest, CancelWithoutApplyWritesNothing) {
  AddMultiModeCard();
  AddPort(3, "COM6", 1, std::nullopt);  // would be written if anything were saved
  for (bool closeBox : {false, true}) {
    host::PropertySheet sheet;
    OpenPage(sheet);
    Reg().ClearWriteLog();
    ChooseMode(sheet, 0, IDC_MODE_RS422);
    EXPECT_TRUE(closeBox ? sheet.PressCloseBox() : sheet.PressCancel());
    EXPECT_THAT(Reg().WriteLog(), IsEmpty());
    EXPECT_EQ(StoredMode(0), 1u);
  }
}

TEST_F(SaveTest, CancelAfterApplySavesTheRecordAsItIsThen) {
  AddMultiModeCard();
  host::PropertySheet sheet;
  OpenPage(sheet);
  Reg().ClearWriteLog();
  ChooseMode(sheet, 0, IDC_MODE_RS485_FULL);
  sheet.MarkChanged();
  EXPECT_TRUE(sheet.PressApply());
  // Changed after the Apply, then cancelled: still saved.
  ChooseMode(sheet, 2, IDC_MODE_RS485_HALF);
  EXPECT_TRUE(sheet.PressCancel());
  EXPECT_THAT(ModeWrites(), ElementsAre("020D0000=2", "020D0002=1"));
}

TEST_F(SaveTest, OnlyTheLowByteOfTheStoredModeIsCompared) {
  AddCard(3);
  AddPort(0, "COM3", 1, 0x101);  // low byte 1
  AddPort(1, "COM4", 1, 0x102);  // low byte 2, changed to 1 below
  AddPort(2, "COM5", 2, 0xFF);   // low byte 0xFF, the record holds -1
  host::PropertySheet sheet;
  OpenPage(sheet);
  Reg().ClearWriteLog();
  ChooseMode(sheet, 1, IDC_MODE_RS485_HALF);
  EXPECT_TRUE(sheet.PressOk());
  EXPECT_THAT(ModeWrites(), ElementsAre("020D0001=1"));
  EXPECT_EQ(StoredMode(0), 0x101u);
  EXPECT_EQ(StoredMode(2), 0xFFu);
}

TEST_F(SaveTest, MissingModeIsWrittenEvenIfTheDialogWasNeverOpened) {
  AddCard(3);
  AddPort(0, "COM3", 1, std::nullopt);
  AddPort(1, "COM4", 2, std::nullopt);
  AddPort(2, "COM5", 1, 0x80);  // low byte 0x80: the record holds -128
  host::PropertySheet sheet;
  OpenPage(sheet);
  ASSERT_TRUE(Reg().DeleteValue(PortKey(2), SERHUB_PORTMODE_A));
  Reg().ClearWriteLog();
  EXPECT_TRUE(sheet.PressOk());
  // The mode is widened with its sign.
  EXPECT_THAT(ModeWrites(), ElementsAre("020D0000=0", "020D0001=0", "020D0002=4294967168"));
}

TEST_F(SaveTest, RegistryPortTypeDecidesAtRelease) {
  AddCard(4);
  AddPort(0, "COM3", 0, std::nullopt);  // type 0: never written
  AddPort(1, "COM4", 1, 1);             // type 1 at load, 0 at release
  AddPort(2, "COM5", 0, std::nullopt);  // type 0 at load, 1 at release
  AddPort(3, "COM6", 1, 1);             // PORTTYPE gone at release
  host::PropertySheet sheet;
  OpenPage(sheet);
  ChooseMode(sheet, 1, IDC_MODE_RS422);
  ChooseMode(sheet, 3, IDC_MODE_RS422);
  ASSERT_TRUE(Reg().SetDword(PortKey(1), SERHUB_PORTTYPE_A, 0));
  ASSERT_TRUE(Reg().SetDword(PortKey(2), SERHUB_PORTTYPE_A, 1));
  ASSERT_TRUE(Reg().DeleteValue(PortKey(3), SERHUB_PORTTYPE_A));
  Reg().ClearWriteLog();
  EXPECT_TRUE(sheet.PressOk());
  EXPECT_THAT(ModeWrites(), ElementsAre("020D0002=0"));
  EXPECT_FALSE(Reg().GetValue(PortKey(0), SERHUB_PORTMODE_A).has_value());
  EXPECT_EQ(StoredMode(1), 1u);
}

TEST_F(SaveTest, PortsWithoutComNameOrKeyAreSkipped) {
  AddCard(4);
  AddPort(0, "COM", 1, std::nullopt);         // no COM number
  AddPort(1, std::nullopt, 1, std::nullopt);  // no PORTNAME
  AddPort(2, "COM5", 1, std::nullopt);        // key gone at release
  AddPort(3, "COM6", 1, std::nullopt);
  host::PropertySheet sheet;
  OpenPage(sheet);
  ASSERT_TRUE(Reg().DeleteKey(PortKey(2)));
  Reg().ClearWriteLog();
  EXPECT_TRUE(sheet.PressOk());
  EXPECT_THAT(ModeWrites(), ElementsAre("020D0003=0"));
  EXPECT_FALSE(Reg().KeyExists(PortKey(2)));
}

TEST_F(SaveTest, WriteFailureIsIgnoredAndOtherPortsAreSaved) {
  AddMultiModeCard();
  host::PropertySheet sheet;
  OpenPage(sheet);
  ChooseMode(sheet, 0, IDC_MODE_RS422);
  ChooseMode(sheet, 1, IDC_MODE_RS422);
  host::SetRegistryKeyAccess(PortKey(0), KEY_READ);
  Reg().ClearWriteLog();
  EXPECT_TRUE(sheet.PressOk());
  host::ClearRegistryKeyAccess();
  EXPECT_THAT(ModeWrites(), ElementsAre("020D0001=3"));
  EXPECT_EQ(StoredMode(0), 1u);
}

// A standard user may read the device tree but write none of it: the page
// shows and applies as usual, and its writes fail without a word.
TEST_F(SaveTest, StandardUserSavesNothing) {
  AddMultiModeCard();
  host::SetProcessIsAdministrator(false);
  host::PropertySheet sheet;
  OpenPage(sheet);
  EXPECT_EQ(Lines(sheet).size(), 4u);
  ChooseMode(sheet, 0, IDC_MODE_RS422);
  Reg().ClearWriteLog();
  EXPECT_TRUE(sheet.PressOk());
  EXPECT_THAT(Reg().WriteLog(), IsEmpty());
  EXPECT_EQ(StoredMode(0), 1u);
}

TEST_F(SaveTest, PortNameIsNeverWritten) {
  AddMultiModeCard();
  host::PropertySheet sheet;
  OpenPage(sheet);
  ChooseMode(sheet, 0, IDC_MODE_RS422);
  ASSERT_TRUE(Reg().SetString(PortKey(0), SERHUB_PORTNAME_A, "COM9"));
  Reg().ClearWriteLog();
  EXPECT_TRUE(sheet.PressOk());
  EXPECT_THAT(ModeWrites(), ElementsAre("020D0000=3"));
  EXPECT_EQ(Reg().GetString(PortKey(0), SERHUB_PORTNAME_A), std::optional<std::string>("COM9"));
}

// The page is released after its window is gone; the record is freed after
// the save, and the end checks find no block, key or window left.
TEST_F(SaveTest, ReleaseAfterWindowDestroyed) {
  AddMultiModeCard();
  host::PropertySheet sheet;
  OpenPage(sheet);
  HWND page = sheet.PageWindow(0);
  PPORT_PAGE_DATA record = Record(sheet);
  bool windowGoneAtSave = false;
  Reg().SetWriteFault([&](const std::string&, const std::string&) {
    windowGoneAtSave = !IsWindow(page) && host::IsLocalBlock(record);
    return false;
  });
  ChooseMode(sheet, 2, IDC_MODE_RS232 + 1);
  EXPECT_TRUE(sheet.PressOk());
  Reg().SetWriteFault(nullptr);
  EXPECT_TRUE(windowGoneAtSave);
  EXPECT_FALSE(host::IsLocalBlock(record));
  EXPECT_EQ(StoredMode(2), 1u);
}

}  // namespace
}  // namespace propui_test
