// The "Ports" page: its templates, its list lines, which port a line opens,
// and how the page procedure hands messages to the default dialog processing.
#include "propui_test.h"

#include <cstring>

namespace propui_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class PageTest : public PropUiTest {};

// ---------------------------------------------------------------------------
// Templates, as the module built from the shipped resources has them.

struct ExpectedItem {
  DWORD id;
  WORD classAtom;
  const char* text;
  short x, y, cx, cy;
  DWORD style;
};

void ExpectTemplate(HINSTANCE module, int id, const char* caption, short cx, short cy,
                    DWORD style, const std::vector<ExpectedItem>& items) {
  SCOPED_TRACE(id);
  EXPECT_EQ(host::DialogTemplateLanguage(module, id), std::optional<WORD>(0x0409));
  std::optional<host::DialogTemplate> dialog = host::FindDialogTemplate(module, id);
  ASSERT_TRUE(dialog.has_value());
  EXPECT_FALSE(dialog->extended);
  EXPECT_EQ(dialog->style, style);
  EXPECT_EQ(dialog->exStyle, 0u);
  EXPECT_EQ(dialog->cx, cx);
  EXPECT_EQ(dialog->cy, cy);
  EXPECT_EQ(dialog->caption, caption);
  EXPECT_TRUE(dialog->menu.IsEmpty());
  EXPECT_TRUE(dialog->windowClass.IsEmpty());
  EXPECT_TRUE(dialog->hasFont);
  EXPECT_EQ(dialog->pointSize, 8);
  EXPECT_EQ(dialog->faceName, "MS Shell Dlg");
  ASSERT_EQ(dialog->items.size(), items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const host::DialogItemTemplate& item = dialog->items[i];
    const ExpectedItem& expected = items[i];
    SCOPED_TRACE(expected.text);
    EXPECT_EQ(item.id, expected.id);
    EXPECT_TRUE(item.windowClass.isOrdinal);
    EXPECT_EQ(item.windowClass.ordinal, expected.classAtom);
    EXPECT_EQ(item.text.name, expected.text);
    EXPECT_FALSE(item.text.isOrdinal);
    EXPECT_EQ(item.x, expected.x);
    EXPECT_EQ(item.y, expected.y);
    EXPECT_EQ(item.cx, expected.cx);
    EXPECT_EQ(item.cy, expected.cy);
    EXPECT_EQ(item.style, expected.style);
    EXPECT_EQ(item.exStyle, 0u);
    EXPECT_TRUE(item.creationData.empty());
  }
}

constexpr WORD kButton = 0x80, kStatic = 0x82, kListBox = 0x83, kComboBox = 0x85;

TEST_F(PageTest, PortsTemplate) {
  ExpectTemplate(module_, IDD_PORTS_PAGE, "Ports", 219, 143, 0x90C800C0,
                 {{0xFFFF, kStatic, "COM ports:   ", 9, 6, 54, 9, 0x50020000},
                  {1000, kListBox, "", 9, 17, 155, 117, 0x50A10101},
                  {1001, kButton, "C&hange", 172, 17, 39, 14, 0x58010000}});
}

TEST_F(PageTest, ChangePortTemplate) {
  ExpectTemplate(module_, IDD_CHANGE_PORT, "Change port", 211, 71, 0x90C800C4,
                 {{1, kButton, "OK", 160, 7, 42, 14, 0x50010001},
                  {2, kButton, "Cancel", 160, 25, 42, 14, 0x50010000},
                  {0xFFFF, kButton, "COM port", 10, 3, 60, 61, 0x50000007},
                  {1002, kComboBox, "", 17, 15, 48, 58, 0x50210003},
                  {1005, kButton, "Auto enum", 17, 41, 51, 10, 0x50010003},
                  {0xFFFF, kButton, "MODE", 77, 3, 78, 61, 0x50000007},
                  {1007, kButton, "RS232", 90, 17, 37, 10, 0x50000009},
                  {1008, kButton, "RS485 HALF", 90, 29, 60, 8, 0x50000009},
                  {1009, kButton, "RS485 FULL", 90, 39, 58, 10, 0x50000009},
                  {1010, kButton, "RS422", 90, 51, 45, 9, 0x50000009}});
}

// ---------------------------------------------------------------------------
// List lines.

std::string Line(LONG port, LONG com, signed char type, signed char mode) {
  PORT_PAGE_DATA data = {};
  data.PortCount = 32;
  data.ComNumber[port] = com;
  data.PortType[port] = type;
  data.PortMode[port] = mode;
  char out[SERHUB_LINE_SIZE];  // the size the page uses: ASan sees a longer line
  std::memset(out, 'x', sizeof(out));
  if (!FormatPortLine(&data, port, out)) return "<none>";
  return out;
}

TEST(FormatPortLineTest, Columns) {
  EXPECT_EQ(Line(0, 3, 0, 0), "port-1    COM3      RS232");
  EXPECT_EQ(Line(9, 3, 0, 0), "port-10   COM3      RS232");
  EXPECT_EQ(Line(31, 256, 0, 0), "port-32   COM256    RS232");
  EXPECT_EQ(Line(0, 123456, 0, 0), "port-1    COM123456 RS232");
  // Names reaching column 20 get no blanks and are not cut.
  EXPECT_EQ(Line(0, 1234567, 0, 0), "port-1    COM1234567RS232");
  EXPECT_EQ(Line(0, 2147483647, 1, 3), "port-1    COM2147483647RS422");
  EXPECT_EQ(Line(0, -1, 0, 0), "port-1    COM-1     RS232");
  EXPECT_EQ(Line(31, INT32_MIN, 1, 1), "port-32   COM-2147483648RS485_HALF");  // the longest
  EXPECT_EQ(Line(4, 0, 0, 0), "<none>");
}

TEST(FormatPortLineTest, ModeTexts) {
  struct Case {
    signed char type, mode;
    const char* text;
  } cases[] = {
      {0, 0, "RS232"},       {0, 1, "RS232"},      {0, 2, "RS232"},      {0, 3, "RS232"},
      {0, -1, "RS232"},      {1, 0, "RS485_HALF"}, {1, 1, "RS485_HALF"}, {1, 2, "RS485_FULL"},
      {1, 3, "RS422"},       {1, 4, "RS485_HALF"}, {1, -1, "RS485_HALF"}, {2, 0, "RS232"},
      {2, 1, "RS485_HALF"},  {2, 2, "RS485_FULL"}, {2, 3, "RS422"},      {2, 4, "RS485_HALF"},
      {2, -128, "RS485_HALF"}, {3, 0, ""},          {3, 2, ""},           {-1, 1, ""},
      {127, 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Line(1, 5, c.type, c.mode), std::string("port-2    COM5      ") + c.text)
        << "type " << int(c.type) << " mode " << int(c.mode);
  }
}

TEST_F(PageTest, LinesOfTheCard) {
  AddCard(12);
  AddPort(0, "COM3", 0, std::nullopt);
  AddPort(2, "COM2147483647", 1, 1);
  AddPort(9, "COM10", 2, 2);
  AddPort(11, "COM4", 3, 0);
  host::PropertySheet sheet;
  OpenPage(sheet);
  EXPECT_THAT(Lines(sheet), ElementsAre("port-1    COM3      RS232",
                                        "port-3    COM2147483647RS485_HALF",
                                        "port-10   COM10     RS485_FULL",
                                        "port-12   COM4      "));
  EXPECT_TRUE(ChangeEnabled(sheet));
  EXPECT_EQ(SelectedLine(sheet), 0);
  PPORT_PAGE_DATA data = Record(sheet);
  EXPECT_EQ(data->LineIndex[0], 0);
  EXPECT_EQ(data->LineIndex[2], 1);
  EXPECT_EQ(data->LineIndex[9], 2);
  EXPECT_EQ(data->LineIndex[11], 3);
  EXPECT_EQ(data->LineIndex[1], 0);  // no line
}

TEST_F(PageTest, NoPortWithComNameLeavesChangeDisabled) {
  AddCard(4);
  AddPort(0, "COM", 1, 1);
  AddPort(1, std::nullopt, 1, 1);
  host::PropertySheet sheet;
  OpenPage(sheet);
  EXPECT_THAT(Lines(sheet), IsEmpty());
  EXPECT_FALSE(ChangeEnabled(sheet));
  EXPECT_EQ(SelectedLine(sheet), LB_ERR);
  // Clicks on the disabled button do nothing.
  WatchChangePort();
  host::User().Click(IDC_CHANGE);
  sheet.Run();
  EXPECT_EQ(changePortDialogs_, 0);
}

// ---------------------------------------------------------------------------
// Which port a line opens.

TEST_F(PageTest, LineOpensTheFirstPortWithThatLine) {
  AddCard(4);
  AddPort(0, std::nullopt, 1, 1);  // no COM name, LineIndex stays 0
  AddPort(1, "COM5", 1, 1);
  AddPort(2, "COM", 1, 1);         // no COM name either
  AddPort(3, "COM7", 1, 3);
  host::PropertySheet sheet;
  OpenPage(sheet);
  WatchChangePort();

  host::User().DoubleClickListItem(IDC_PORT_LIST, 0).PressEscape();
  sheet.Run();
  ASSERT_TRUE(view_.seen);
  EXPECT_EQ(Record(sheet)->CurrentPort, 1);
  EXPECT_EQ(view_.comboSelectedText, "COM5");

  host::User().DoubleClickListItem(IDC_PORT_LIST, 1).PressEscape();
  sheet.Run();
  EXPECT_EQ(Record(sheet)->CurrentPort, 3);
  EXPECT_EQ(view_.comboSelectedText, "COM7");
  EXPECT_TRUE(view_.radioChecked[3]);

  // After OK on line 0 (port 1), line 0 is selected again.
  host::User().DoubleClickListItem(IDC_PORT_LIST, 0).Click(IDC_MODE_RS485_FULL).Click(IDOK);
  sheet.Run();
  EXPECT_EQ(SelectedLine(sheet), 0);
  EXPECT_THAT(Lines(sheet),
              ElementsAre("port-2    COM5      RS485_FULL", "port-4    COM7      RS422"));
  EXPECT_EQ(changePortDialogs_, 3);
}

TEST_F(PageTest, ChangeButtonOpensSelectedLineAndSingleClickDoesNothing) {
  AddCard(3);
  AddPort(0, "COM3", 0, std::nullopt);
  AddPort(1, "COM4", 2, 1);
  AddPort(2, "COM5", 2, 3);
  host::PropertySheet sheet;
  OpenPage(sheet);
  WatchChangePort();

  host::User().SelectListItem(IDC_PORT_LIST, 2);
  sheet.Run();
  EXPECT_EQ(changePortDialogs_, 0);
  EXPECT_EQ(SelectedLine(sheet), 2);

  host::User().Click(IDC_CHANGE).PressCloseBox();
  sheet.Run();
  EXPECT_EQ(changePortDialogs_, 1);
  EXPECT_EQ(Record(sheet)->CurrentPort, 2);
  EXPECT_EQ(view_.comboSelectedText, "COM5");
  EXPECT_TRUE(sheet.IsOpen());
}

// A Change command with no line selected opens the first line's port.
TEST_F(PageTest, NoSelectionCountsAsLineZero) {
  AddCard(3);
  AddPort(1, "COM4", 2, 1);
  AddPort(2, "COM5", 2, 3);
  host::PropertySheet sheet;
  OpenPage(sheet);
  SendMessageA(PortList(sheet), LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  ASSERT_EQ(SelectedLine(sheet), LB_ERR);
  WatchChangePort();
  host::User().PressEscape();
  SendMessageA(sheet.PageWindow(0), WM_COMMAND, MAKEWPARAM(IDC_CHANGE, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(sheet.PageWindow(0), IDC_CHANGE)));
  EXPECT_EQ(changePortDialogs_, 1);
  EXPECT_EQ(Record(sheet)->CurrentPort, 1);
}

// ---------------------------------------------------------------------------
// The page procedure and the dialog manager.

TEST_F(PageTest, PageKeepsItsRecordInTheUserSlot) {
  AddCard(2);
  AddPort(0, "COM3", 1, 1);
  host::PropertySheet sheet;
  OpenPage(sheet);
  HWND page = sheet.PageWindow(0);
  auto* window = reinterpret_cast<PPAGE_WINDOW_DATA>(GetWindowLongPtrA(page, DWLP_USER));
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(host::IsLocalBlock(window));
  EXPECT_EQ(window->Dialog, page);
  EXPECT_EQ(window->PortList, GetDlgItem(page, IDC_PORT_LIST));
  EXPECT_TRUE(host::IsLocalBlock(window->PageData));
  // The dialog procedure slot next to it is left alone.
  EXPECT_EQ(GetWindowLongPtrA(page, DWLP_DLGPROC), reinterpret_cast<LONG_PTR>(&PortPageDlgProc));
  // Closing the sheet frees both records (checked by the end checks).
  EXPECT_TRUE(sheet.PressCancel());
}

// Counts the calls of the page's dialog procedure and what they return.
struct ProcSpy {
  static inline int calls = 0;
  static inline int falseResults = 0;
  static inline UINT message = 0;
  static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    INT_PTR result = PortPageDlgProc(hwnd, msg, wParam, lParam);
    if (msg == message) {
      ++calls;
      if (result == FALSE) ++falseResults;
    }
    return result;
  }
};

TEST_F(PageTest, MessagesForTheDefaultProcessingGoThroughDefDlgProcOnce) {
  AddCard(2);
  AddPort(0, "COM3", 1, 1);
  host::PropertySheet sheet;
  OpenPage(sheet);
  HWND page = sheet.PageWindow(0);
  SetWindowLongPtrA(page, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(&ProcSpy::Proc));

  // DM_SETDEFID is left to the default processing: the page procedure runs
  // once from the dialog manager and once, returning FALSE at once, from the
  // DefDlgProcA the page calls; the default processing runs once and its
  // result reaches the sender through the result slot.
  ProcSpy::calls = ProcSpy::falseResults = 0;
  ProcSpy::message = DM_SETDEFID;
  EXPECT_EQ(SendMessageA(page, DM_SETDEFID, IDC_CHANGE, 0), TRUE);
  EXPECT_EQ(ProcSpy::calls, 2);
  EXPECT_EQ(ProcSpy::falseResults, 1);

  ProcSpy::calls = ProcSpy::falseResults = 0;
  ProcSpy::message = DM_GETDEFID;
  EXPECT_EQ(SendMessageA(page, DM_GETDEFID, 0, 0), MAKELONG(IDC_CHANGE, DC_HASDEFID));
  EXPECT_EQ(ProcSpy::calls, 2);

  // A message nobody handles.
  ProcSpy::calls = ProcSpy::falseResults = 0;
  ProcSpy::message = WM_APP + 7;
  EXPECT_EQ(SendMessageA(page, WM_APP + 7, 1, 2), 0);
  EXPECT_EQ(ProcSpy::calls, 2);
  EXPECT_EQ(ProcSpy::falseResults, 1);

  // The flag is spent: the next command is the page's own again.
  WatchChangePort();
  host::User().DoubleClickListItem(IDC_PORT_LIST, 0).PressEscape();
  sheet.Run();
  EXPECT_EQ(changePortDialogs_, 1);

  // Handled messages go to the page alone, with their result in the slot.
  ProcSpy::calls = ProcSpy::falseResults = 0;
  ProcSpy::message = WM_COMMAND;
  EXPECT_EQ(SendMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_PORT_LIST, LBN_SELCHANGE), 0), 0);
  EXPECT_EQ(ProcSpy::calls, 1);
  EXPECT_EQ(ProcSpy::falseResults, 0);

  SetWindowLongPtrA(page, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(&PortPageDlgProc));
}

TEST_F(PageTest, OnlyApplyMarksTheRecord) {
  AddCard(2);
  AddPort(0, "COM3", 1, 1);
  host::PropertySheet sheet;
  OpenPage(sheet);
  Reg().ClearWriteLog();
  HWND page = sheet.PageWindow(0);
  PSHNOTIFY notify = {};
  notify.hdr.hwndFrom = sheet.Window();
  notify.hdr.idFrom = 0;
  for (UINT code : {PSN_SETACTIVE, PSN_KILLACTIVE, PSN_QUERYCANCEL, PSN_RESET, PSN_HELP}) {
    notify.hdr.code = code;
    SetWindowLongPtrA(page, DWLP_MSGRESULT, 55);
    EXPECT_EQ(SendMessageA(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify)), 0);
    EXPECT_EQ(Record(sheet)->Applied, 0) << static_cast<int>(code);
  }
  notify.hdr.code = PSN_APPLY;
  notify.lParam = TRUE;
  SetWindowLongPtrA(page, DWLP_MSGRESULT, 55);
  EXPECT_EQ(SendMessageA(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify)), PSNRET_NOERROR);
  EXPECT_EQ(GetWindowLongPtrA(page, DWLP_MSGRESULT), PSNRET_NOERROR);
  EXPECT_EQ(Record(sheet)->Applied, 1);
  // Nothing is written before the page is released.
  EXPECT_THAT(Reg().WriteLog(), IsEmpty());
}

TEST_F(PageTest, WindowRecordAllocationFailureLeavesAnInertPage) {
  AddCard(2);
  AddPort(0, "COM3", 1, 1);
  host::PropertySheet sheet;
  ASSERT_TRUE(Enumerate(sheet));
  Reg().ClearWriteLog();
  host::FailLocalAllocNth(1);
  sheet.Show();
  HWND page = sheet.PageWindow(0);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(GetWindowLongPtrA(page, DWLP_USER), 0);
  EXPECT_THAT(Lines(sheet), IsEmpty());
  // No command reaches a Change port dialog: none is queued, so opening one
  // would throw.
  EXPECT_NO_THROW(SendMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_CHANGE, BN_CLICKED), 0));
  EXPECT_NO_THROW(SendMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_PORT_LIST, LBN_DBLCLK), 0));
  // The record still goes with the page.
  EXPECT_TRUE(sheet.PressOk());
  EXPECT_THAT(Reg().WriteLog(), IsEmpty());
}

}  // namespace
}  // namespace propui_test

namespace propui_test {
namespace {

// What the sheet and the controls send besides commands reaches the default
// processing once: paints and colours when shown and after a change, focus
// notifications of the list, the initial-focus question, F1, a right click
// and the keys the sheet offers the page first. The end checks hold the
// findings of any of them.
TEST_F(PageTest, PlatformMessagesGetTheDefaultProcessingOnce) {
  AddCard(2);
  AddPort(0, "COM3", 1, 1);
  AddPort(1, "COM4", 0, 0);
  host::PropertySheet sheet;
  OpenPage(sheet);
  HWND page = sheet.PageWindow(0);
  EXPECT_EQ(GetFocus(), PortList(sheet));  // the page left the choice to the sheet
  // A direct-return message answered by the default processing.
  EXPECT_NE(SendMessageA(page, WM_QUERYDRAGICON, 0, 0), 0);
  WatchChangePort();
  host::User()
      .SelectListItem(IDC_PORT_LIST, 1)
      .PressF1(IDC_PORT_LIST)
      .RightClick(IDC_CHANGE)
      .PressF1(0)
      .Click(IDC_CHANGE)
      .PressEscape();
  sheet.Run();
  EXPECT_EQ(changePortDialogs_, 1);
  EXPECT_TRUE(IsWindow(page));
  // The page claims no key: Enter is the sheet's OK.
  host::User().PressEnter();
  sheet.Run();
  EXPECT_FALSE(sheet.IsOpen());
  EXPECT_EQ(sheet.Result(), 1);
}

}  // namespace
}  // namespace propui_test
