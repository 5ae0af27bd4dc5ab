// USER32 dialog manager: dialogs built from templates, DefDlgProcA, window
// data slots, modal loops and the scripted user.
#include <functional>

#include "win32_test.h"

namespace {

// What the test's dialog procedure saw, and what it answers.
struct Recorder {
  std::vector<MessageRecord> messages;
  std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> handler;

  std::vector<WPARAM> Commands() const {
    std::vector<WPARAM> out;
    for (auto& m : messages)
      if (m.msg == WM_COMMAND) out.push_back(m.wParam);
    return out;
  }
  int Count(UINT msg) const {
    int n = 0;
    for (auto& m : messages) n += m.msg == msg;
    return n;
  }
  int IndexOf(UINT msg) const {
    for (size_t i = 0; i < messages.size(); ++i)
      if (messages[i].msg == msg) return static_cast<int>(i);
    return -1;
  }
};

Recorder* g_recorder = nullptr;

INT_PTR CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  g_recorder->messages.push_back(MessageRecord{hwnd, msg, wParam, lParam});
  return g_recorder->handler ? g_recorder->handler(hwnd, msg, wParam, lParam) : FALSE;
}

// Ends the dialog on IDOK with 1 and on IDCANCEL with 0.
INT_PTR OkCancel(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
  if (msg == WM_COMMAND && (wParam == IDOK || wParam == IDCANCEL)) {
    EndDialog(hwnd, wParam == IDOK ? 1 : 0);
    return TRUE;
  }
  return FALSE;
}

class DialogTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    g_recorder = &recorder_;
  }
  void TearDown() override {
    host::User().Clear();
    Win32Test::TearDown();
    g_recorder = nullptr;
  }

  HWND Modeless(int id, LPARAM param = 0) {
    return CreateDialogParamA(Module(), MAKEINTRESOURCEA(id), NULL, RecordingProc, param);
  }
  INT_PTR Modal(int id, HWND owner = NULL, LPARAM param = 0) {
    return DialogBoxParamA(Module(), MAKEINTRESOURCEA(id), owner, RecordingProc, param);
  }

  Recorder recorder_;
};

std::string ClassOf(HWND hwnd) {
  char name[64] = {};
  GetClassNameA(hwnd, name, sizeof(name));
  return name;
}

}  // namespace

// ---------------------------------------------------------------------------
// Building dialogs.

TEST_F(DialogTest, ModelessDialogIsBuiltFromItsTemplate) {
  HWND dialog = Modeless(100, 0x1234);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(ClassOf(dialog), "#32770");
  char caption[32];
  GetWindowTextA(dialog, caption, sizeof(caption));
  EXPECT_STREQ(caption, "Sample");
  EXPECT_TRUE(IsWindowVisible(dialog));  // WS_VISIBLE in the template
  EXPECT_EQ(host::DialogFontName(dialog), "MS Shell Dlg");
  EXPECT_EQ(host::DialogFontPointSize(dialog), 8);
  EXPECT_EQ(host::TemplateRect(dialog)->right, 210);

  EXPECT_EQ(ClassOf(GetDlgItem(dialog, 1000)), "ListBox");
  EXPECT_EQ(ClassOf(GetDlgItem(dialog, 1002)), "ComboBox");
  EXPECT_EQ(ClassOf(GetDlgItem(dialog, 1003)), "Button");
  EXPECT_EQ(GetDlgCtrlID(GetDlgItem(dialog, 1003)), 1003);
  EXPECT_EQ(GetParent(GetDlgItem(dialog, 1003)), dialog);
  char text[16];
  GetDlgItemTextA(dialog, 1003, text, sizeof(text));
  EXPECT_STREQ(text, "Check");
  EXPECT_EQ(GetDlgItem(dialog, 4242), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));

  // WS_DISABLED in the template is honoured; the others take input.
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 1020)));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, 1010)));
  EXPECT_EQ(GetWindowLongA(GetDlgItem(dialog, 1010), GWL_STYLE), static_cast<LONG>(0x50020009));

  RECT r = {0, 0, 4, 8};
  EXPECT_TRUE(MapDialogRect(dialog, &r));
  EXPECT_EQ(r.right, 6);
  EXPECT_EQ(r.bottom, 13);
  EXPECT_TRUE(DestroyWindow(dialog));
  EXPECT_EQ(host::Win32Outstanding().windows, 0u);
}

TEST_F(DialogTest, FontComesBeforeInitDialogWhichCarriesTheParameter) {
  HWND dialog = Modeless(100, 0x1234);
  ASSERT_NE(dialog, nullptr);
  int font = recorder_.IndexOf(WM_SETFONT);
  int init = recorder_.IndexOf(WM_INITDIALOG);
  ASSERT_GE(font, 0);
  ASSERT_GE(init, 0);
  EXPECT_LT(font, init);
  EXPECT_EQ(recorder_.Count(WM_INITDIALOG), 1);
  EXPECT_EQ(recorder_.messages[init].lParam, 0x1234);
  // wParam: the control that gets the default focus, the first tab stop.
  EXPECT_EQ(reinterpret_cast<HWND>(recorder_.messages[init].wParam), GetDlgItem(dialog, IDOK));
  // The procedure answered FALSE: the dialog manager set no focus.
  EXPECT_EQ(GetFocus(), nullptr);
  DestroyWindow(dialog);
}

TEST_F(DialogTest, InitDialogTrueGivesTheFirstTabStopTheFocus) {
  recorder_.handler = [](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR { return msg == WM_INITDIALOG; };
  HWND dialog = Modeless(100);
  EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDOK));
  DestroyWindow(dialog);
}

TEST_F(DialogTest, ExtendedTemplateBuildsItsControls) {
  HWND dialog = Modeless(101);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST, static_cast<LONG>(WS_EX_TOPMOST));
  EXPECT_EQ(ClassOf(GetDlgItem(dialog, 7)), "Button");
  EXPECT_EQ(GetWindowLongA(GetDlgItem(dialog, 7), GWL_EXSTYLE) & WS_EX_CLIENTEDGE,
            static_cast<LONG>(WS_EX_CLIENTEDGE));
  EXPECT_EQ(ClassOf(GetDlgItem(dialog, 8)), "Edit");
  DestroyWindow(dialog);
}

TEST_F(DialogTest, UnknownControlClassFailsTheDialogUnlessNoFailCreate) {
  EXPECT_EQ(Modeless(302), nullptr);
  EXPECT_EQ(host::Win32Outstanding().windows, 0u);
  HWND tolerant = Modeless(303);
  ASSERT_NE(tolerant, nullptr);
  EXPECT_EQ(GetDlgItem(tolerant, 5), nullptr);
  EXPECT_NE(GetDlgItem(tolerant, 6), nullptr);
  DestroyWindow(tolerant);
}

TEST_F(DialogTest, WindowLeftOpenIsReported) {
  HWND dialog = Modeless(100);
  std::vector<std::string> findings = host::Win32EndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("\"Sample\""), std::string::npos) << findings[0];
  EXPECT_NE(findings[0].find("14 child window"), std::string::npos) << findings[0];
  EXPECT_EQ(host::Win32Outstanding().windows, 15u);
  DestroyWindow(dialog);
}

TEST_F(DialogTest, DestroyGoesParentFirstAndFreesChildrenFirst) {
  HWND dialog = Modeless(304);
  HWND ok = GetDlgItem(dialog, IDOK);
  std::vector<std::pair<HWND, UINT>> order;
  host::SetMessageHook([&](HWND hwnd, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_DESTROY || msg == WM_NCDESTROY) order.emplace_back(hwnd, msg);
  });
  DestroyWindow(dialog);
  host::SetMessageHook(nullptr);
  ASSERT_EQ(order.size(), 6u);
  EXPECT_EQ(order[0], std::make_pair(dialog, static_cast<UINT>(WM_DESTROY)));
  EXPECT_EQ(order[1], std::make_pair(ok, static_cast<UINT>(WM_DESTROY)));
  EXPECT_EQ(order[3], std::make_pair(ok, static_cast<UINT>(WM_NCDESTROY)));
  EXPECT_EQ(order[5], std::make_pair(dialog, static_cast<UINT>(WM_NCDESTROY)));
  EXPECT_FALSE(IsWindow(ok));
}

// ---------------------------------------------------------------------------
// DefDlgProcA and the window data slots.

TEST_F(DialogTest, DefDlgProcReturnsTheResultSlotWhenTheProcedureHandled) {
  recorder_.handler = [](HWND hwnd, UINT msg, WPARAM, LPARAM) -> INT_PTR {
    if (msg == WM_NOTIFY) {
      SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, 77);
      return TRUE;
    }
    if (msg == WM_USER + 5) return TRUE;  // handled, result slot untouched
    if (msg == WM_CTLCOLORDLG) return 0x4242;
    return FALSE;
  };
  HWND dialog = Modeless(100);
  NMHDR header = {dialog, 0, 0};
  EXPECT_EQ(SendMessageA(dialog, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&header)), 77);
  // The slot is cleared before the procedure runs.
  SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 55);
  EXPECT_EQ(SendMessageA(dialog, WM_USER + 5, 0, 0), 0);
  // Colour messages return what the procedure returns.
  EXPECT_EQ(SendMessageA(dialog, WM_CTLCOLORDLG, 0, 0), 0x4242);
  // FALSE: the default processing answers.
  EXPECT_EQ(SendMessageA(dialog, WM_GETTEXTLENGTH, 0, 0), 6);
  DestroyWindow(dialog);
}

TEST_F(DialogTest, CloseBecomesCancelOnlyWhenTheProcedureLeavesIt) {
  bool handleClose = true;
  recorder_.handler = [&](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR {
    return msg == WM_CLOSE && handleClose;
  };
  HWND dialog = Modeless(100);
  SendMessageA(dialog, WM_CLOSE, 0, 0);
  EXPECT_EQ(host::DispatchPostedMessages(), 0u);
  handleClose = false;
  SendMessageA(dialog, WM_CLOSE, 0, 0);
  EXPECT_TRUE(recorder_.Commands().empty());  // posted, not sent
  EXPECT_EQ(host::DispatchPostedMessages(), 1u);
  ASSERT_EQ(recorder_.Commands().size(), 1u);
  EXPECT_EQ(recorder_.Commands()[0], static_cast<WPARAM>(IDCANCEL));
  EXPECT_TRUE(IsWindow(dialog));  // a dialog is not destroyed by WM_CLOSE
  DestroyWindow(dialog);
}

// The procedure hands messages to DefDlgProcA from inside itself; a flag
// makes the nested call return FALSE so that DefDlgProcA does the default.
bool g_nested = false;
int g_nestedCalls = 0;
INT_PTR CALLBACK NestingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  ++g_nestedCalls;
  if (g_nested) {
    g_nested = false;
    return FALSE;
  }
  if (msg == WM_INITDIALOG) return TRUE;
  g_nested = true;
  LRESULT result = DefDlgProcA(hwnd, msg, wParam, lParam);
  SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
  return TRUE;
}

TEST_F(DialogTest, DefDlgProcCallsTheProcedureFirstEvenFromInsideIt) {
  HWND dialog = CreateDialogParamA(Module(), MAKEINTRESOURCEA(304), NULL, NestingProc, 0);
  ASSERT_NE(dialog, nullptr);
  g_nestedCalls = 0;
  EXPECT_EQ(SendMessageA(dialog, WM_GETTEXTLENGTH, 0, 0), 5);  // "Plain"
  EXPECT_EQ(g_nestedCalls, 2);
  EXPECT_FALSE(g_nested);
  char text[16];
  EXPECT_EQ(GetWindowTextA(dialog, text, sizeof(text)), 5);
  EXPECT_STREQ(text, "Plain");
  DestroyWindow(dialog);
  EXPECT_FALSE(g_nested);
}

// The same nesting, but the procedure returns what DefDlgProcA returned: a 0
// from the inner default processing tells the outer DefDlgProcA to do it
// again.
INT_PTR CALLBACK ReturnsDefDlgProcResult(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (g_nested) {
    g_nested = false;
    return FALSE;
  }
  if (msg == WM_INITDIALOG) return TRUE;
  g_nested = true;
  return DefDlgProcA(hwnd, msg, wParam, lParam);
}

// Whether a finding says that message `msg` got the default processing twice.
bool ProcessedTwice(UINT msg) {
  char text[32];
  wsprintfA(text, "message 0x%x ", msg);
  for (auto& finding : host::Win32EndChecks())
    if (finding.find(text) != std::string::npos &&
        finding.find("default dialog processing twice") != std::string::npos)
      return true;
  return false;
}

TEST_F(DialogTest, DefaultProcessingTwiceIsAFinding) {
  SkipEndChecks();
  HWND dialog = CreateDialogParamA(Module(), MAKEINTRESOURCEA(304), NULL,
                                   ReturnsDefDlgProcResult, 0);
  ASSERT_NE(dialog, nullptr);
  // WM_SETFONT comes before WM_INITDIALOG, and DefWindowProcA answers it 0.
  EXPECT_TRUE(ProcessedTwice(WM_SETFONT));
  // A nonzero answer stops the outer call; a zero one does not.
  SendMessageA(dialog, WM_GETTEXTLENGTH, 0, 0);
  EXPECT_FALSE(ProcessedTwice(WM_GETTEXTLENGTH));
  SendMessageA(dialog, WM_APP + 1, 0, 0);
  EXPECT_TRUE(ProcessedTwice(WM_APP + 1));
  EXPECT_FALSE(ProcessedTwice(WM_NCDESTROY));
  DestroyWindow(dialog);
  EXPECT_TRUE(ProcessedTwice(WM_NCDESTROY));
  // The nested call freed the dialog's data; the outer one frees it again.
  bool freedTwice = false;
  for (auto& finding : host::Win32EndChecks())
    freedTwice |= finding.find("dialog data and font freed twice") != std::string::npos;
  EXPECT_TRUE(freedTwice);
}

TEST_F(DialogTest, DialogDataLivesUntilTheDefaultProcessingOfNcDestroy) {
  // While the dialog lives its data answers WM_GETFONT with the template's
  // font, the one WM_SETFONT brought.
  HWND dialog = Modeless(100);
  LRESULT font = SendMessageA(dialog, WM_GETFONT, 0, 0);
  EXPECT_NE(font, 0);
  ASSERT_GE(recorder_.IndexOf(WM_SETFONT), 0);
  EXPECT_EQ(static_cast<LRESULT>(recorder_.messages[recorder_.IndexOf(WM_SETFONT)].wParam), font);
  DestroyWindow(dialog);
  EXPECT_TRUE(host::Win32EndChecks().empty());

  // A procedure that answers WM_NCDESTROY itself keeps the dialog manager
  // from freeing them.
  SkipEndChecks();
  recorder_.handler = [](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR { return msg == WM_NCDESTROY; };
  DestroyWindow(Modeless(100));
  std::vector<std::string> findings = host::Win32EndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("never freed"), std::string::npos) << findings[0];
}

TEST_F(DialogTest, DialogBoxReturnsZeroForABadOwnerAndADialogDestroyedWithoutEndDialog) {
  HWND gone = CreateWindowExA(0, "#32770", "Gone", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
  DestroyWindow(gone);
  EXPECT_EQ(Modal(100, gone), 0);
  EXPECT_EQ(host::Win32Outstanding().windows, 0u);
  // A procedure that destroys its dialog instead of ending it.
  recorder_.handler = [](HWND hwnd, UINT msg, WPARAM wParam, LPARAM) -> INT_PTR {
    if (msg == WM_COMMAND && wParam == IDOK) DestroyWindow(hwnd);
    return FALSE;
  };
  host::User().Click(IDOK);
  EXPECT_EQ(Modal(100), 0);
  EXPECT_TRUE(host::ModalDialogs().empty());
}

TEST_F(DialogTest, WindowDataSlotsOfA64BitProcess) {
  HWND dialog = Modeless(100);
  EXPECT_EQ(DWLP_MSGRESULT, 0);
  EXPECT_EQ(DWLP_DLGPROC, 8u);
  EXPECT_EQ(DWLP_USER, 16u);
  EXPECT_EQ(GetWindowLongPtrA(dialog, DWLP_DLGPROC), reinterpret_cast<LONG_PTR>(&RecordingProc));
  EXPECT_EQ(GetWindowLongPtrA(dialog, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&DefDlgProcA));

  int object = 0;
  LONG_PTR pointer = reinterpret_cast<LONG_PTR>(&object);
  EXPECT_EQ(SetWindowLongPtrA(dialog, DWLP_USER, pointer), 0);
  EXPECT_EQ(GetWindowLongPtrA(dialog, DWLP_USER), pointer);
  // The 32-bit call reads only the low half of the slot.
  EXPECT_EQ(GetWindowLongA(dialog, DWLP_USER), static_cast<LONG>(pointer));

  // Past the dialog's extra bytes.
  SetLastError(0);
  EXPECT_EQ(GetWindowLongPtrA(dialog, DLGWINDOWEXTRA - 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
  // Pointer-sized slots have no 32-bit index.
  SetLastError(0);
  EXPECT_EQ(GetWindowLongA(dialog, GWLP_WNDPROC), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
  // A control has no extra bytes at all.
  HWND list = GetDlgItem(dialog, 1000);
  EXPECT_EQ(SetWindowLongPtrA(list, 0, 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
  EXPECT_EQ(GetWindowLongA(list, GWL_ID), 1000);
  DestroyWindow(dialog);
}

// ---------------------------------------------------------------------------
// Controls.

TEST_F(DialogTest, ListBoxLinesAndSelection) {
  HWND dialog = Modeless(100);
  HWND list = GetDlgItem(dialog, 1000);
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
  for (const char* line : {"zero", "one", "two", "three"})
    SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
  EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 4);
  EXPECT_EQ(host::ListItems(list), (std::vector<std::string>{"zero", "one", "two", "three"}));
  char text[16];
  EXPECT_EQ(SendMessageA(list, LB_GETTEXT, 2, reinterpret_cast<LPARAM>(text)), 3);
  EXPECT_STREQ(text, "two");
  EXPECT_EQ(SendMessageA(list, LB_GETTEXTLEN, 3, 0), 5);
  EXPECT_EQ(SendMessageA(list, LB_GETTEXT, 4, reinterpret_cast<LPARAM>(text)), LB_ERR);

  EXPECT_EQ(SendMessageA(list, LB_SETCURSEL, 2, 0), 2);
  EXPECT_EQ(SendMessageA(list, LB_SETCURSEL, 9, 0), LB_ERR);
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 2);  // unchanged by a bad index
  // Deleting a line above the selection moves it up with its line.
  EXPECT_EQ(SendMessageA(list, LB_DELETESTRING, 0, 0), 3);
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 1);
  // Deleting the selected line leaves no selection.
  EXPECT_EQ(SendMessageA(list, LB_DELETESTRING, 1, 0), 2);
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
  EXPECT_EQ(SendMessageA(list, LB_DELETESTRING, 2, 0), LB_ERR);
  EXPECT_EQ(SendMessageA(list, LB_SETCURSEL, 1, 0), 1);
  EXPECT_EQ(SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0), LB_ERR);
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
  // None of this notifies the parent.
  EXPECT_TRUE(recorder_.Commands().empty());
  DestroyWindow(dialog);
}

TEST_F(DialogTest, SortedListBoxSortsWithoutCase) {
  HWND dialog = Modeless(100);
  HWND list = GetDlgItem(dialog, 1001);  // LBS_SORT
  EXPECT_EQ(SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("beta")), 0);
  EXPECT_EQ(SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Alpha")), 0);
  SendMessageA(list, LB_SETCURSEL, 1, 0);  // "beta"
  EXPECT_EQ(SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("alpha2")), 1);
  EXPECT_EQ(host::ListItems(list), (std::vector<std::string>{"Alpha", "alpha2", "beta"}));
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 2);  // still "beta"
  DestroyWindow(dialog);
}

TEST_F(DialogTest, ComboBoxOutOfRangeSelectionClears) {
  HWND dialog = Modeless(100);
  HWND combo = GetDlgItem(dialog, 1002);
  char text[16];
  for (int k = 1; k <= 256; ++k) {
    wsprintfA(text, "COM%d", k);
    EXPECT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)), k - 1);
  }
  EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 256);
  EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 11, 0), 11);
  EXPECT_EQ(SendMessageA(combo, CB_GETLBTEXT, 11, reinterpret_cast<LPARAM>(text)), 5);
  EXPECT_STREQ(text, "COM12");
  GetWindowTextA(combo, text, sizeof(text));  // a drop-down list shows its selection
  EXPECT_STREQ(text, "COM12");
  EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 256, 0), CB_ERR);
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 255, 0), 255);
  EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(-1), 0), CB_ERR);
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);
  DestroyWindow(dialog);
}

TEST_F(DialogTest, ButtonCheckStates) {
  HWND dialog = Modeless(100);
  HWND check = GetDlgItem(dialog, 1003);
  HWND radio = GetDlgItem(dialog, 1011);
  HWND push = GetDlgItem(dialog, IDCANCEL);
  EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  SendMessageA(check, BM_SETCHECK, BST_CHECKED, 0);
  EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_CHECKED);
  SendMessageA(check, BM_SETCHECK, BST_INDETERMINATE, 0);  // a two-state box
  EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_CHECKED);
  SendMessageA(push, BM_SETCHECK, BST_CHECKED, 0);  // a push button holds none
  EXPECT_EQ(SendMessageA(push, BM_GETCHECK, 0, 0), 0);
  // A checked radio button becomes a tab stop.
  CheckDlgButton(dialog, 1011, BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1011), static_cast<UINT>(BST_CHECKED));
  EXPECT_NE(GetWindowLongA(radio, GWL_STYLE) & WS_TABSTOP, 0);
  // Setting a check is not a click: no notification.
  EXPECT_TRUE(recorder_.Commands().empty());
  DestroyWindow(dialog);
}

TEST_F(DialogTest, ClickNotifiesAndDisabledButtonStaysSilent) {
  HWND dialog = Modeless(100);
  HWND check = GetDlgItem(dialog, 1003);
  HWND off = GetDlgItem(dialog, 1020);
  SendMessageA(check, BM_CLICK, 0, 0);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1003), static_cast<UINT>(BST_CHECKED));
  SendMessageA(check, BM_CLICK, 0, 0);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1003), static_cast<UINT>(BST_UNCHECKED));
  ASSERT_EQ(recorder_.Commands().size(), 2u);
  EXPECT_EQ(recorder_.Commands()[0], MAKEWPARAM(1003, BN_CLICKED));

  SendMessageA(off, BM_CLICK, 0, 0);
  EXPECT_EQ(recorder_.Commands().size(), 2u);
  EXPECT_TRUE(EnableWindow(off, TRUE));  // it was disabled
  EXPECT_FALSE(EnableWindow(off, TRUE));
  SendMessageA(off, BM_CLICK, 0, 0);
  ASSERT_EQ(recorder_.Commands().size(), 3u);
  EXPECT_EQ(recorder_.Commands()[2], MAKEWPARAM(1020, BN_CLICKED));
  DestroyWindow(dialog);
}

TEST_F(DialogTest, AutoRadioButtonUnchecksItsGroupOnly) {
  HWND dialog = Modeless(100);
  CheckRadioButton(dialog, 1010, 1014, 1010);
  CheckDlgButton(dialog, 1013, BST_CHECKED);  // the second group: D, E
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1010), static_cast<UINT>(BST_CHECKED));
  SendMessageA(GetDlgItem(dialog, 1011), BM_CLICK, 0, 0);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1010), 0u);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1011), static_cast<UINT>(BST_CHECKED));
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1012), 0u);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1013), static_cast<UINT>(BST_CHECKED));
  // A disabled button of the group keeps its check.
  CheckDlgButton(dialog, 1012, BST_CHECKED);
  EnableWindow(GetDlgItem(dialog, 1012), FALSE);
  SendMessageA(GetDlgItem(dialog, 1010), BM_CLICK, 0, 0);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1010), static_cast<UINT>(BST_CHECKED));
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1011), 0u);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1012), static_cast<UINT>(BST_CHECKED));
  EXPECT_EQ(GetNextDlgGroupItem(dialog, GetDlgItem(dialog, 1011), FALSE), GetDlgItem(dialog, 1010));
  DestroyWindow(dialog);
}

// ---------------------------------------------------------------------------
// Modal dialogs and the scripted user.

TEST_F(DialogTest, ModalDialogRunsUntilEndDialog) {
  bool sawB = false;
  recorder_.handler = [&](HWND hwnd, UINT msg, WPARAM wParam, LPARAM) -> INT_PTR {
    if (msg == WM_COMMAND && wParam == IDOK) {
      sawB = IsDlgButtonChecked(hwnd, 1011) == BST_CHECKED;
      EndDialog(hwnd, 5);
      return TRUE;
    }
    return FALSE;
  };
  host::User().Click(1011).Click(IDOK);
  EXPECT_EQ(Modal(100), 5);
  EXPECT_TRUE(sawB);
  EXPECT_EQ(host::User().Pending(), 0u);
  EXPECT_EQ(host::Win32Outstanding().windows, 0u);  // destroyed after the loop
  EXPECT_EQ(recorder_.Count(WM_DESTROY), 1);
}

TEST_F(DialogTest, OwnerIsDisabledWhileTheDialogRuns) {
  HWND owner = CreateWindowExA(0, "#32770", "Owner", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, NULL,
                               NULL, NULL, NULL);
  HWND child = CreateWindowExA(0, "Button", "b", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, owner,
                               reinterpret_cast<HMENU>(7), NULL, NULL);
  bool ownerEnabledInside = true;
  HWND ownerOfDialog = nullptr;
  recorder_.handler = [&](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> INT_PTR {
    if (msg == WM_INITDIALOG) {
      ownerEnabledInside = IsWindowEnabled(owner);
      ownerOfDialog = GetWindow(hwnd, GW_OWNER);
    }
    return OkCancel(hwnd, msg, wParam, lParam);
  };
  host::User().Click(IDCANCEL);
  // The owner given is a child; the dialog's owner is its top-level window.
  EXPECT_EQ(Modal(100, child), 0);
  EXPECT_FALSE(ownerEnabledInside);
  EXPECT_EQ(ownerOfDialog, owner);
  EXPECT_TRUE(IsWindowEnabled(owner));
  DestroyWindow(owner);
}

TEST_F(DialogTest, EnterEscapeAndCloseBox) {
  HWND okButton = nullptr;
  recorder_.handler = [&](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> INT_PTR {
    if (msg == WM_INITDIALOG) okButton = GetDlgItem(hwnd, IDOK);
    return OkCancel(hwnd, msg, wParam, lParam);
  };
  host::User().PressEnter();
  EXPECT_EQ(Modal(100), 1);
  ASSERT_EQ(recorder_.Commands().size(), 1u);
  EXPECT_EQ(recorder_.Commands()[0], static_cast<WPARAM>(IDOK));  // the default button
  EXPECT_EQ(recorder_.messages[recorder_.IndexOf(WM_COMMAND)].lParam,
            reinterpret_cast<LPARAM>(okButton));

  recorder_.messages.clear();
  host::User().PressEscape();
  EXPECT_EQ(Modal(100), 0);
  EXPECT_EQ(recorder_.Commands(), (std::vector<WPARAM>{IDCANCEL}));

  recorder_.messages.clear();
  host::User().PressCloseBox();
  EXPECT_EQ(Modal(100), 0);
  EXPECT_EQ(recorder_.Commands(), (std::vector<WPARAM>{IDCANCEL}));
  EXPECT_EQ(recorder_.Count(WM_CLOSE), 1);
}

TEST_F(DialogTest, EnterWithoutDefaultButtonIsIdOkAndDisabledCancelIgnoresTheCloseBox) {
  recorder_.handler = OkCancel;
  host::User().PressCloseBox().PressEnter();  // dialog 304: OK and Cancel disabled
  EXPECT_EQ(Modal(304), 1);
  EXPECT_EQ(recorder_.Commands(), (std::vector<WPARAM>{IDOK}));
}

TEST_F(DialogTest, CloseBoxNeedsASystemMenu) {
  recorder_.handler = OkCancel;
  host::User().PressCloseBox();
  EXPECT_THROW(Modal(301), host::UserScriptError);
  for (HWND hwnd : host::LiveWindows())
    if (IsWindow(hwnd) && !(GetWindowLongA(hwnd, GWL_STYLE) & WS_CHILD)) DestroyWindow(hwnd);
}

TEST_F(DialogTest, EmptyScriptFailsLoudlyInsteadOfWaiting) {
  HWND owner = CreateWindowExA(0, "#32770", "Owner", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
  try {
    Modal(100, owner);
    ADD_FAILURE() << "the modal loop returned without a user";
  } catch (const host::UserScriptExhausted& e) {
    EXPECT_NE(std::string(e.what()).find("Sample"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(host::ModalDialogs().empty());
  EXPECT_TRUE(IsWindowEnabled(owner));
  DestroyWindow(owner);  // takes the abandoned dialog it owns along
  EXPECT_EQ(host::Win32Outstanding().windows, 0u);
}

TEST_F(DialogTest, EndDialogDuringInitDialogNeedsNoUser) {
  recorder_.handler = [](HWND hwnd, UINT msg, WPARAM, LPARAM) -> INT_PTR {
    if (msg == WM_INITDIALOG) EndDialog(hwnd, 9);
    return FALSE;
  };
  EXPECT_EQ(Modal(100), 9);
  EXPECT_EQ(recorder_.Count(WM_SHOWWINDOW), 0);  // never shown
}

TEST_F(DialogTest, MissingTemplateFailsWithMinusOne) {
  EXPECT_EQ(Modal(999), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(Modal(302), -1);  // a control that cannot be made
  EXPECT_EQ(host::Win32Outstanding().windows, 0u);
}

TEST_F(DialogTest, ListDoubleClickAndComboPickNotifyInOrder) {
  recorder_.handler = [](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> INT_PTR {
    if (msg == WM_INITDIALOG) {
      for (const char* s : {"a", "b", "c"}) {
        SendDlgItemMessageA(hwnd, 1000, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
        SendDlgItemMessageA(hwnd, 1002, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
      }
    }
    return OkCancel(hwnd, msg, wParam, lParam);
  };
  int listSelection = -2, comboSelection = -2;
  auto inner = recorder_.handler;
  recorder_.handler = [&](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> INT_PTR {
    if (msg == WM_COMMAND && wParam == IDOK) {
      listSelection = static_cast<int>(SendDlgItemMessageA(hwnd, 1000, LB_GETCURSEL, 0, 0));
      comboSelection = static_cast<int>(SendDlgItemMessageA(hwnd, 1002, CB_GETCURSEL, 0, 0));
    }
    return inner(hwnd, msg, wParam, lParam);
  };
  host::User().DoubleClickListItem(1000, 2).SelectComboItem(1002, 1).Click(IDOK);
  EXPECT_EQ(Modal(100), 1);
  EXPECT_EQ(listSelection, 2);
  EXPECT_EQ(comboSelection, 1);
  EXPECT_EQ(recorder_.Commands(),
            (std::vector<WPARAM>{MAKEWPARAM(1000, LBN_SETFOCUS), MAKEWPARAM(1000, LBN_SELCHANGE),
                                 MAKEWPARAM(1000, LBN_DBLCLK), MAKEWPARAM(1000, LBN_KILLFOCUS),
                                 MAKEWPARAM(1002, CBN_DROPDOWN), MAKEWPARAM(1002, CBN_SELENDOK),
                                 MAKEWPARAM(1002, CBN_CLOSEUP), MAKEWPARAM(1002, CBN_SELCHANGE),
                                 MAKEWPARAM(IDOK, BN_CLICKED)}));
}

TEST_F(DialogTest, ActionsOnDisabledControlsDoNothing) {
  recorder_.handler = OkCancel;
  host::User().Click(1020).Click(IDCANCEL);
  EXPECT_EQ(Modal(100), 0);
  EXPECT_EQ(recorder_.Commands(), (std::vector<WPARAM>{IDCANCEL}));
}

TEST_F(DialogTest, ImpossibleActionsAreTestErrors) {
  recorder_.handler = OkCancel;
  HWND dialog = Modeless(100);
  host::User().Click(4242);
  EXPECT_THROW(host::RunUserActions(dialog), host::UserScriptError);
  host::User().SelectListItem(1000, 0);  // the list is empty
  EXPECT_THROW(host::RunUserActions(dialog), host::UserScriptError);
  host::User().SelectListItem(IDOK, 0);
  EXPECT_THROW(host::RunUserActions(dialog), host::UserScriptError);
  host::User().Click(1000);
  EXPECT_THROW(host::RunUserActions(dialog), host::UserScriptError);
  DestroyWindow(dialog);
}

TEST_F(DialogTest, NestedModalDialogTakesTheNextActions) {
  size_t depthInside = 0;
  recorder_.handler = [&](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> INT_PTR {
    if (msg == WM_COMMAND && wParam == MAKEWPARAM(1003, BN_CLICKED)) {
      INT_PTR inner = DialogBoxParamA(Module(), MAKEINTRESOURCEA(304), hwnd,
                                      [](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
                                        if (m == WM_COMMAND && w == IDOK) {
                                          EndDialog(h, 3);
                                          return TRUE;
                                        }
                                        return FALSE;
                                      },
                                      0);
      depthInside = inner == 3 ? 2 : 0;
      return TRUE;
    }
    return OkCancel(hwnd, msg, wParam, lParam);
  };
  // Check box opens the inner dialog; Enter ends it; OK ends the outer one.
  host::User().Click(1003).PressEnter().Click(IDOK);
  EXPECT_EQ(Modal(100), 1);
  EXPECT_EQ(depthInside, 2u);
  EXPECT_EQ(host::Win32Outstanding().windows, 0u);
}

TEST_F(DialogTest, UnperformedActionsAreReported) {
  host::User().Click(IDOK).PressEscape();
  std::vector<std::string> findings = host::Win32EndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("Click(1), PressEscape()"), std::string::npos) << findings[0];
  host::User().Clear();
}

TEST_F(DialogTest, InspectSeesTheRunningDialog) {
  recorder_.handler = OkCancel;
  HWND seen = nullptr;
  UINT checkedB = 99;
  host::User()
      .Click(1011)
      .Inspect([&](HWND dialog) {
        seen = dialog;
        checkedB = IsDlgButtonChecked(dialog, 1011);
        ASSERT_EQ(host::ModalDialogs().size(), 1u);
        EXPECT_EQ(host::ModalDialogs()[0], dialog);
      })
      .Click(IDOK);
  EXPECT_EQ(Modal(100), 1);
  EXPECT_NE(seen, nullptr);
  EXPECT_FALSE(IsWindow(seen));  // destroyed once the loop ended
  EXPECT_EQ(checkedB, static_cast<UINT>(BST_CHECKED));
}

TEST_F(DialogTest, FailedDialogBoxMakesNoWindow) {
  recorder_.handler = OkCancel;
  host::FailDialogBoxNth(1);
  SetLastError(0);
  EXPECT_EQ(Modal(100), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_TRUE(recorder_.messages.empty());
  host::User().Click(IDOK);
  EXPECT_EQ(Modal(100), 1);  // only the one call failed
}
