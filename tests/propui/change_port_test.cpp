// The "Change port" dialog: what it shows for each port type, what OK and
// the ways of cancelling do to the record, and how the page's lines are
// rebuilt afterwards.
#include "propui_test.h"

#include <algorithm>

#include "serhubpp_res.h"

namespace propui_test {
namespace {

using ::testing::ElementsAre;

class ChangePortTest : public PropUiTest {};

struct RadioCase {
  uint32_t type;
  uint32_t mode;
  bool enabled[4];
  bool checked[4];
};

TEST_F(ChangePortTest, RadioButtonsFollowPortTypeAndMode) {
  const RadioCase cases[] = {
      {0, 0, {false, false, false, false}, {true, false, false, false}},
      {1, 0, {false, true, true, true}, {false, true, false, false}},
      {1, 1, {false, true, true, true}, {false, true, false, false}},
      {1, 2, {false, true, true, true}, {false, false, true, false}},
      {1, 3, {false, true, true, true}, {false, false, false, true}},
      {1, 7, {false, true, true, true}, {false, true, false, false}},
      {2, 0, {true, true, true, true}, {true, false, false, false}},
      {2, 1, {true, true, true, true}, {false, true, false, false}},
      {2, 2, {true, true, true, true}, {false, false, true, false}},
      {2, 3, {true, true, true, true}, {false, false, false, true}},
      {2, 0xFF, {true, true, true, true}, {true, false, false, false}},
      {3, 2, {true, true, true, true}, {false, false, false, false}},
      {0xFF, 1, {true, true, true, true}, {false, false, false, false}},
  };
  AddCard(1);
  for (const RadioCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " mode " << c.mode);
    AddPort(0, "COM8", c.type, c.mode);
    host::PropertySheet sheet;
    OpenPage(sheet);
    WatchChangePort();
    host::User().DoubleClickListItem(IDC_PORT_LIST, 0).PressEscape();
    sheet.Run();
    ASSERT_TRUE(view_.seen);
    for (int m = 0; m < 4; ++m) {
      EXPECT_EQ(view_.radioEnabled[m], c.enabled[m]) << kRadioTexts[m];
      EXPECT_EQ(view_.radioChecked[m], c.checked[m]) << kRadioTexts[m];
    }
    view_ = {};
  }
}

// WM_INITDIALOG: the page answers TRUE, so that the dialog manager gives the
// focus to its first tab stop; the Change port dialog answers FALSE and sets
// no focus itself, so none of its controls (its first tab stop is OK) has it.
TEST_F(ChangePortTest, InitialisationAnswersAndTheFocusThatFollows) {
  AddCard(1);
  AddPort(0, "COM8", 2, 1);
  host::PropertySheet sheet;
  OpenPage(sheet);
  PROPSHEETPAGEA page = {};
  page.dwSize = sizeof page;
  page.lParam = reinterpret_cast<LPARAM>(Record(sheet));
  EXPECT_EQ(TRUE, SendMessageA(GetParent(PortList(sheet)), WM_INITDIALOG, 0,
                               reinterpret_cast<LPARAM>(&page)));
  bool inspected = false;
  host::User()
      .DoubleClickListItem(IDC_PORT_LIST, 0)
      .Inspect([&](HWND dialog) {
        inspected = GetDlgItem(dialog, IDOK) != nullptr;
        HWND focus = GetFocus();
        EXPECT_FALSE(focus == dialog || IsChild(dialog, focus)) << "focus set in Change port";
        EXPECT_EQ(FALSE, SendMessageA(dialog, WM_INITDIALOG, 0,
                                      reinterpret_cast<LPARAM>(Record(sheet))));
      })
      .PressEscape();
  sheet.Run();
  EXPECT_TRUE(inspected);
}

TEST_F(ChangePortTest, ComNameIsShownAndCannotBeChanged) {
  AddCard(2);
  AddPort(1, "COM17", 1, 2);
  host::PropertySheet sheet;
  OpenPage(sheet);
  WatchChangePort();
  // Picking another entry in the disabled combo box does nothing.
  host::User()
      .DoubleClickListItem(IDC_PORT_LIST, 0)
      .SelectComboItem(IDC_COM_COMBO, 3)
      .Click(IDC_AUTO_ENUM)
      .Click(IDOK);
  sheet.Run();
  ASSERT_TRUE(view_.seen);
  EXPECT_EQ(view_.comboCount, 256);
  EXPECT_EQ(view_.comboFirst, "COM1");
  EXPECT_EQ(view_.comboLast, "COM256");
  EXPECT_EQ(view_.comboSelection, 16);
  EXPECT_EQ(view_.comboSelectedText, "COM17");
  EXPECT_FALSE(view_.comboEnabled);
  EXPECT_FALSE(view_.autoEnumEnabled);
  EXPECT_FALSE(view_.autoEnumChecked);
  // The dialog keeps the record in its user slot, beside its procedure.
  EXPECT_EQ(view_.userSlot, reinterpret_cast<LONG_PTR>(Record(sheet)));
  EXPECT_EQ(view_.dlgProcSlot, reinterpret_cast<LONG_PTR>(&ChangePortDlgProc));
  EXPECT_EQ(Record(sheet)->ComNumber[1], 17);
}

struct OkCase {
  uint32_t type;
  uint32_t mode;
  int click;  // radio button clicked before OK, 0 for none
  signed char stored;
  const char* line;
};

TEST_F(ChangePortTest, OkStoresTheCheckedMode) {
  const OkCase cases[] = {
      {1, 0, 0, 1, "port-1    COM8      RS485_HALF"},
      {1, 2, 0, 2, "port-1    COM8      RS485_FULL"},
      {1, 1, IDC_MODE_RS422, 3, "port-1    COM8      RS422"},
      {1, 3, IDC_MODE_RS232, 3, "port-1    COM8      RS422"},  // disabled: no effect
      {0, 0, 0, 0, "port-1    COM8      RS232"},
      {0, 0, IDC_MODE_RS422, 0, "port-1    COM8      RS232"},  // all disabled
      {2, 3, IDC_MODE_RS232, 0, "port-1    COM8      RS232"},
      {2, 0, IDC_MODE_RS485_HALF, 1, "port-1    COM8      RS485_HALF"},
      {3, 2, 0, 0, "port-1    COM8      "},                    // none checked: mode 0
      {3, 0, IDC_MODE_RS485_FULL, 2, "port-1    COM8      "},
  };
  AddCard(1);
  for (const OkCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " mode " << c.mode << " click "
                                    << c.click);
    AddPort(0, "COM8", c.type, c.mode);
    host::PropertySheet sheet;
    OpenPage(sheet);
    host::User().DoubleClickListItem(IDC_PORT_LIST, 0);
    if (c.click != 0) host::User().Click(c.click);
    host::User().Click(IDOK);
    sheet.Run();
    EXPECT_EQ(Record(sheet)->PortMode[0], c.stored);
    EXPECT_EQ(Record(sheet)->ComNumber[0], 8);
    EXPECT_THAT(Lines(sheet), ElementsAre(c.line));
  }
}

TEST_F(ChangePortTest, EnterIsOk) {
  AddCard(1);
  AddPort(0, "COM8", 2, 0);
  host::PropertySheet sheet;
  OpenPage(sheet);
  host::User().DoubleClickListItem(IDC_PORT_LIST, 0).Click(IDC_MODE_RS422).PressEnter();
  sheet.Run();
  EXPECT_EQ(Record(sheet)->PortMode[0], 3);
  EXPECT_TRUE(sheet.IsOpen());
}

TEST_F(ChangePortTest, CancelEscapeAndCloseBoxChangeNothing) {
  AddCard(3);
  AddPort(0, "COM3", 0, std::nullopt);
  AddPort(1, "COM4", 1, 2);
  AddPort(2, "COM5", 2, 0);
  enum Way { kCancel, kEscape, kCloseBox };
  for (Way way : {kCancel, kEscape, kCloseBox}) {
    SCOPED_TRACE(way);
    host::PropertySheet sheet;
    OpenPage(sheet);
    std::vector<std::string> before = Lines(sheet);
    int listMessages = 0;
    HWND list = PortList(sheet);
    host::SetMessageHook([&](HWND hwnd, UINT message, WPARAM, LPARAM) {
      if (hwnd == list && (message == LB_ADDSTRING || message == LB_DELETESTRING)) ++listMessages;
    });
    host::User().DoubleClickListItem(IDC_PORT_LIST, 1).Click(IDC_MODE_RS422);
    if (way == kCancel) host::User().Click(IDCANCEL);
    if (way == kEscape) host::User().PressEscape();
    if (way == kCloseBox) host::User().PressCloseBox();
    sheet.Run();
    host::SetMessageHook(nullptr);
    EXPECT_TRUE(host::ModalDialogs().empty());
    EXPECT_TRUE(sheet.IsOpen());
    EXPECT_EQ(Record(sheet)->PortMode[1], 2);
    EXPECT_EQ(Lines(sheet), before);
    EXPECT_EQ(listMessages, 0);
    EXPECT_EQ(SelectedLine(sheet), 1);
  }
}

TEST_F(ChangePortTest, OkRebuildsTheLinesFromTheChangedPortOn) {
  AddCard(6);
  AddPort(0, "COM3", 1, 1);
  AddPort(1, "COM4", 1, 1);
  AddPort(3, "COM6", 1, 2);  // port 2 has no key
  AddPort(4, "COM7", 2, 3);
  AddPort(5, "COM", 1, 1);   // no line
  host::PropertySheet sheet;
  OpenPage(sheet);
  HWND list = PortList(sheet);
  std::vector<std::pair<UINT, std::string>> listMessages;
  host::SetMessageHook([&](HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (hwnd != list) return;
    if (message == LB_DELETESTRING) listMessages.push_back({message, std::to_string(wParam)});
    if (message == LB_ADDSTRING)
      listMessages.push_back({message, reinterpret_cast<const char*>(lParam)});
  });
  host::User().DoubleClickListItem(IDC_PORT_LIST, 1).Click(IDC_MODE_RS422).Click(IDOK);
  sheet.Run();
  host::SetMessageHook(nullptr);
  // Lines 3, 2 and 1 deleted from the bottom up, then the ports from port 1
  // on appended in order.
  std::vector<std::pair<UINT, std::string>> expected = {
      {LB_DELETESTRING, "3"},
      {LB_DELETESTRING, "2"},
      {LB_DELETESTRING, "1"},
      {LB_ADDSTRING, "port-2    COM4      RS422"},
      {LB_ADDSTRING, "port-4    COM6      RS485_FULL"},
      {LB_ADDSTRING, "port-5    COM7      RS422"},
  };
  EXPECT_EQ(listMessages, expected);
  EXPECT_THAT(Lines(sheet), ElementsAre("port-1    COM3      RS485_HALF",
                                        "port-2    COM4      RS422",
                                        "port-4    COM6      RS485_FULL",
                                        "port-5    COM7      RS422"));
  EXPECT_EQ(SelectedLine(sheet), 1);

  // The line indexes stay valid for the next change.
  host::User().DoubleClickListItem(IDC_PORT_LIST, 3).Click(IDC_MODE_RS232).Click(IDOK);
  sheet.Run();
  EXPECT_THAT(Lines(sheet), ElementsAre("port-1    COM3      RS485_HALF",
                                        "port-2    COM4      RS422",
                                        "port-4    COM6      RS485_FULL",
                                        "port-5    COM7      RS232"));
  EXPECT_EQ(SelectedLine(sheet), 3);
}

// A port numbered beyond the combo's entries has no selection in it; OK keeps
// the port's number, so the port keeps its line and is still saved.
TEST_F(ChangePortTest, ComNumberAboveComboEntriesIsKept) {
  AddCard(2);
  AddPort(0, "COM300", 1, 1);
  AddPort(1, "COM256", 1, 1);
  host::PropertySheet sheet;
  OpenPage(sheet);
  WatchChangePort();
  host::User().DoubleClickListItem(IDC_PORT_LIST, 0).Click(IDC_MODE_RS485_FULL).Click(IDOK);
  sheet.Run();
  EXPECT_EQ(view_.comboSelection, CB_ERR);
  EXPECT_EQ(Record(sheet)->ComNumber[0], 300);
  EXPECT_EQ(Record(sheet)->PortMode[0], 2);
  EXPECT_THAT(Lines(sheet), ElementsAre("port-1    COM300    RS485_FULL",
                                        "port-2    COM256    RS485_HALF"));
  EXPECT_EQ(SelectedLine(sheet), 0);

  host::User().DoubleClickListItem(IDC_PORT_LIST, 1).Click(IDOK);
  sheet.Run();
  EXPECT_EQ(view_.comboSelectedText, "COM256");
  EXPECT_EQ(Record(sheet)->ComNumber[1], 256);

  EXPECT_TRUE(sheet.PressOk());
  EXPECT_EQ(Reg().GetValue(PortKey(0), SERHUB_PORTMODE_A)->Dword(), 2u);
}

// The compiled resources without template 102.
std::vector<uint8_t> ResourcesWithoutChangePort() {
  const uint8_t* bytes = serhubpp::kResourceBytes;
  size_t size = serhubpp::kResourceSize;
  std::vector<uint8_t> out;
  size_t offset = 0;
  auto word = [&](size_t at) { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); };
  auto dword = [&](size_t at) {
    return static_cast<uint32_t>(word(at) | static_cast<uint32_t>(word(at + 2)) << 16);
  };
  while (offset + 8 <= size) {
    uint32_t dataSize = dword(offset);
    uint32_t headerSize = dword(offset + 4);
    size_t total = (headerSize + dataSize + 3) & ~size_t{3};
    bool isChangePort = word(offset + 8) == 0xFFFF && word(offset + 10) == 5 &&
                        word(offset + 12) == 0xFFFF && word(offset + 14) == IDD_CHANGE_PORT;
    if (!isChangePort) out.insert(out.end(), bytes + offset, bytes + std::min(offset + total, size));
    offset += total;
  }
  return out;
}

// A Change port dialog that cannot be created counts like OK: the lines are
// rebuilt from the unchanged record.
TEST_F(ChangePortTest, DialogThatCannotBeCreatedRebuildsLines) {
  std::vector<uint8_t> resources = ResourcesWithoutChangePort();
  ASSERT_LT(resources.size(), serhubpp::kResourceSize);
  HINSTANCE pageOnly = host::CreateResourceModule(resources.data(), resources.size());
  ASSERT_NE(pageOnly, nullptr);
  ASSERT_TRUE(host::FindDialogTemplate(pageOnly, IDD_PORTS_PAGE).has_value());
  ASSERT_FALSE(host::FindDialogTemplate(pageOnly, IDD_CHANGE_PORT).has_value());
  LibMain(pageOnly, DLL_PROCESS_ATTACH, nullptr);

  AddCard(2);
  AddPort(0, "COM3", 1, 2);
  AddPort(1, "COM4", 1, 3);
  {
    host::PropertySheet sheet;
    OpenPage(sheet);
    int added = 0;
    HWND list = PortList(sheet);
    host::SetMessageHook([&](HWND hwnd, UINT message, WPARAM, LPARAM) {
      if (hwnd == list && message == LB_ADDSTRING) ++added;
    });
    EXPECT_EQ(ShowChangePortDialog(sheet.PageWindow(0), Record(sheet)), -1);
    host::User().DoubleClickListItem(IDC_PORT_LIST, 0);
    sheet.Run();
    host::SetMessageHook(nullptr);
    EXPECT_EQ(added, 2);
    EXPECT_THAT(Lines(sheet), ElementsAre("port-1    COM3      RS485_FULL",
                                          "port-2    COM4      RS422"));
    EXPECT_EQ(Record(sheet)->PortMode[0], 2);
  }
  LibMain(module_, DLL_PROCESS_ATTACH, nullptr);
  EXPECT_TRUE(host::DestroyResourceModule(pageOnly));
}

}  // namespace
}  // namespace propui_test

namespace propui_test {
namespace {

// The page's window goes away while the Change port dialog runs (the sheet
// removes the page, or closes): its record is freed by then, and the page
// must not touch it when the dialog returns, whatever the dialog returns
// (the sanitizer sees any access).
TEST_F(ChangePortTest, PageWindowGoneWhileTheDialogRunsIsLeftAlone) {
  AddCard(2);
  AddPort(0, "COM3", 1, 2);
  AddPort(1, "COM4", 1, 3);
  {
    // The page window alone is destroyed; the dialog, owned by the sheet,
    // ends with OK.
    host::PropertySheet sheet;
    OpenPage(sheet);
    HWND page = sheet.PageWindow(0);
    host::User()
        .DoubleClickListItem(IDC_PORT_LIST, 0)
        .Click(IDC_MODE_RS422)
        .Inspect([&](HWND) { EXPECT_TRUE(DestroyWindow(page)); })
        .Click(IDOK);
    sheet.Run();
    EXPECT_FALSE(IsWindow(page));
    EXPECT_TRUE(host::ModalDialogs().empty());
    EXPECT_TRUE(sheet.PressCancel());
  }
  {
    // The whole sheet closes: its dialog goes with it and returns 0.
    host::PropertySheet sheet;
    OpenPage(sheet);
    Reg().ClearWriteLog();
    host::User()
        .DoubleClickListItem(IDC_PORT_LIST, 0)
        .Click(IDC_MODE_RS422)
        .Inspect([&](HWND) { EXPECT_TRUE(sheet.PressCancel()); });
    sheet.Run();
    EXPECT_FALSE(sheet.IsOpen());
    EXPECT_TRUE(host::ModalDialogs().empty());
    EXPECT_THAT(Reg().WriteLog(), ::testing::IsEmpty());
  }
}

}  // namespace
}  // namespace propui_test
