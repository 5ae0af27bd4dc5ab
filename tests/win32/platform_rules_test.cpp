// The platform's rules that a page or dialog procedure must follow, each
// shown with a procedure that breaks it: colour answers that are not
// brushes, keys and focus questions of the sheet, help and context menus
// passed up once, list boxes that are double-clicked without lines.
#include <functional>

#include "win32_test.h"

namespace {

std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> g_page;

INT_PTR CALLBACK TestPageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return g_page ? g_page(hwnd, msg, wParam, lParam) : FALSE;
}

// The page procedure's answer to one notification code, through the result
// slot; FALSE for everything else.
std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> AnswerNotify(UINT code, LONG_PTR answer) {
  return [code, answer](HWND hwnd, UINT msg, WPARAM, LPARAM lParam) -> INT_PTR {
    if (msg != WM_NOTIFY || reinterpret_cast<NMHDR*>(lParam)->code != code) return FALSE;
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, answer);
    return TRUE;
  };
}

class PlatformRulesTest : public Win32Test {
 protected:
  void TearDown() override {
    host::SetMessageHook(nullptr);
    host::User().Clear();
    g_page = nullptr;
    Win32Test::TearDown();
  }

  void Add(host::PropertySheet& sheet) {
    PROPSHEETPAGEA psp = {};
    psp.dwSize = PROPSHEETPAGEA_V2_SIZE;
    psp.hInstance = Module();
    psp.pszTemplate = MAKEINTRESOURCEA(200);  // list box 1000, push button 1001
    psp.pfnDlgProc = TestPageProc;
    HPROPSHEETPAGE page = CreatePropertySheetPageA(&psp);
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(sheet.AddPageCallback()(page, sheet.AddPageParam()));
  }

  // Records the messages `hwnd` gets (of those listed).
  void Watch(HWND hwnd, std::vector<UINT> messages) {
    host::SetMessageHook([this, hwnd, messages](HWND to, UINT msg, WPARAM, LPARAM) {
      if (to != hwnd) return;
      for (UINT m : messages)
        if (m == msg) seen_.push_back(msg);
    });
  }

  static bool Found(const std::string& text) {
    for (auto& finding : host::Win32EndChecks())
      if (finding.find(text) != std::string::npos) return true;
    return false;
  }

  std::vector<UINT> seen_;
};

// ---------------------------------------------------------------------------
// Painting and colours.

TEST_F(PlatformRulesTest, ShownPageIsPaintedWithTheColoursItsProcedureGives) {
  host::PropertySheet sheet;
  Add(sheet);
  std::vector<UINT> order;
  g_page = [&](HWND, UINT msg, WPARAM, LPARAM lParam) -> INT_PTR {
    if (msg == WM_PAINT || msg == WM_ERASEBKGND || msg == WM_CTLCOLORDLG) order.push_back(msg);
    if (msg == WM_CTLCOLORLISTBOX || msg == WM_CTLCOLORBTN) {
      order.push_back(msg);
      EXPECT_EQ(GetDlgCtrlID(reinterpret_cast<HWND>(lParam)), msg == WM_CTLCOLORLISTBOX ? 1000 : 1001);
      return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_WINDOW));
    }
    return FALSE;  // the dialog manager's own brush
  };
  ASSERT_TRUE(sheet.Show());
  EXPECT_EQ(order, (std::vector<UINT>{WM_PAINT, WM_ERASEBKGND, WM_CTLCOLORDLG, WM_CTLCOLORLISTBOX,
                                      WM_CTLCOLORBTN}));
  // A changed list is painted again when the loop is idle, not before.
  order.clear();
  SendDlgItemMessageA(sheet.PageWindow(0), 1000, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("x"));
  EXPECT_TRUE(order.empty());
  sheet.Run();
  EXPECT_EQ(order, (std::vector<UINT>{WM_CTLCOLORLISTBOX}));
  EXPECT_TRUE(sheet.PressCancel());
}

TEST_F(PlatformRulesTest, ColourAnswerThatIsNotABrushIsAFinding) {
  SkipEndChecks();
  host::PropertySheet sheet;
  Add(sheet);
  // TRUE from a colour message is taken as the brush itself.
  g_page = [](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR {
    return msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC;
  };
  ASSERT_TRUE(sheet.Show());
  EXPECT_TRUE(Found("WM_CTLCOLORDLG of"));
  EXPECT_TRUE(Found("message 0x134 from"));  // the list box
  EXPECT_TRUE(Found("message 0x135 from"));  // the push button
  EXPECT_TRUE(sheet.PressCancel());
}

// ---------------------------------------------------------------------------
// The sheet's questions and keys.

TEST_F(PlatformRulesTest, InitialFocusIsWhatThePageAnswers) {
  {
    host::PropertySheet sheet;
    Add(sheet);
    ASSERT_TRUE(sheet.Show());  // 0: the sheet's choice, the first tab stop
    EXPECT_EQ(GetFocus(), GetDlgItem(sheet.PageWindow(0), 1000));
    EXPECT_TRUE(sheet.PressCancel());
  }
  {
    host::PropertySheet sheet;
    Add(sheet);
    g_page = [](HWND hwnd, UINT msg, WPARAM, LPARAM lParam) -> INT_PTR {
      if (msg != WM_NOTIFY || reinterpret_cast<NMHDR*>(lParam)->code != PSN_QUERYINITIALFOCUS) return FALSE;
      SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(GetDlgItem(hwnd, 1001)));
      return TRUE;
    };
    ASSERT_TRUE(sheet.Show());
    EXPECT_EQ(GetFocus(), GetDlgItem(sheet.PageWindow(0), 1001));
    EXPECT_TRUE(sheet.PressCancel());
  }
  {
    // TRUE is not a control: the focus goes nowhere.
    host::PropertySheet sheet;
    Add(sheet);
    g_page = AnswerNotify(PSN_QUERYINITIALFOCUS, TRUE);
    ASSERT_TRUE(sheet.Show());
    EXPECT_EQ(GetFocus(), nullptr);
    EXPECT_TRUE(sheet.PressCancel());
  }
}

TEST_F(PlatformRulesTest, KeysGoToThePageBeforeTheSheet) {
  host::PropertySheet sheet;
  Add(sheet);
  WPARAM key = 0;
  // A page that claims every key leaves the sheet without Enter and Esc.
  g_page = [&](HWND hwnd, UINT msg, WPARAM, LPARAM lParam) -> INT_PTR {
    const PSHNOTIFY* psn = reinterpret_cast<const PSHNOTIFY*>(lParam);
    if (msg != WM_NOTIFY || psn->hdr.code != PSN_TRANSLATEACCELERATOR) return FALSE;
    key = reinterpret_cast<const MSG*>(psn->lParam)->wParam;
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, PSNRET_MESSAGEHANDLED);
    return TRUE;
  };
  ASSERT_TRUE(sheet.Show());
  host::User().PressEnter().PressEscape();
  sheet.Run();
  EXPECT_TRUE(sheet.IsOpen());
  EXPECT_EQ(key, static_cast<WPARAM>(VK_ESCAPE));
  g_page = nullptr;
  host::User().PressEnter();
  sheet.Run();
  EXPECT_FALSE(sheet.IsOpen());
}

// ---------------------------------------------------------------------------
// Help and context menus go up the window chain once.

TEST_F(PlatformRulesTest, HelpAndContextMenuReachTheSheetOnce) {
  host::PropertySheet sheet;
  Add(sheet);
  ASSERT_TRUE(sheet.Show());
  Watch(sheet.Window(), {WM_HELP, WM_CONTEXTMENU});
  host::User().PressF1(1000).RightClick(1001);
  sheet.Run();
  EXPECT_EQ(seen_, (std::vector<UINT>{WM_HELP, WM_CONTEXTMENU}));
  EXPECT_TRUE(sheet.PressCancel());
}

TEST_F(PlatformRulesTest, PageReturningDefDlgProcsResultSendsHelpUpTwice) {
  SkipEndChecks();
  host::PropertySheet sheet;
  Add(sheet);
  // The faulty pattern: the default processing from inside, its result
  // returned as the procedure's own.
  bool nested = false;
  g_page = [&](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> INT_PTR {
    if (nested) {
      nested = false;
      return FALSE;
    }
    if (msg == WM_INITDIALOG) return TRUE;
    nested = true;
    return DefDlgProcA(hwnd, msg, wParam, lParam);
  };
  ASSERT_TRUE(sheet.Show());
  Watch(sheet.Window(), {WM_HELP});
  host::User().PressF1(1000);
  sheet.Run();
  EXPECT_EQ(seen_.size(), 2u);
  EXPECT_TRUE(Found("message 0x53 to dialog"));
  EXPECT_TRUE(sheet.PressCancel());
  EXPECT_TRUE(Found("dialog data and font freed twice"));
}

// ---------------------------------------------------------------------------
// List boxes.

TEST_F(PlatformRulesTest, DoubleClickOnAListWithoutLinesNotifiesWithNothingSelected) {
  std::vector<WPARAM> commands;
  LRESULT selection = -2;
  g_page = [&](HWND hwnd, UINT msg, WPARAM wParam, LPARAM) -> INT_PTR {
    if (msg == WM_COMMAND) commands.push_back(wParam);
    if (msg == WM_COMMAND && wParam == MAKEWPARAM(1000, LBN_DBLCLK))
      selection = SendDlgItemMessageA(hwnd, 1000, LB_GETCURSEL, 0, 0);
    return FALSE;
  };
  HWND dialog = CreateDialogParamA(Module(), MAKEINTRESOURCEA(200), NULL, TestPageProc, 0);
  ASSERT_NE(dialog, nullptr);
  ShowWindow(dialog, SW_SHOW);
  host::User().DoubleClickEmptyList(1000);
  host::RunUserActions(dialog);
  EXPECT_EQ(commands, (std::vector<WPARAM>{MAKEWPARAM(1000, LBN_SETFOCUS), MAKEWPARAM(1000, LBN_DBLCLK)}));
  EXPECT_EQ(selection, LB_ERR);
  // On a list with lines that is a test error.
  SendDlgItemMessageA(dialog, 1000, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("x"));
  host::User().DoubleClickEmptyList(1000);
  EXPECT_THROW(host::RunUserActions(dialog), host::UserScriptError);
  DestroyWindow(dialog);
}

}  // namespace
