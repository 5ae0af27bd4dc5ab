// COMCTL32 property sheet pages and the property sheet host.
#include <algorithm>
#include <cstring>
#include <map>

#include "win32_test.h"

namespace {

struct PageLog {
  std::vector<std::string> events;
  std::vector<PROPSHEETPAGEA*> callbackPages;  // the page pointer of each callback
  PROPSHEETPAGEA* initPage = nullptr;         // lParam of WM_INITDIALOG
  LPARAM initRecord = 0;
  HWND window = nullptr;
  UINT createResult = 1;
  std::map<UINT, LRESULT> notifyResults;
  INT_PTR dialogResult = -2;
  std::vector<HWND> notifySenders;
};

PageLog* g_log = nullptr;

UINT CALLBACK PageCallback(HWND hwnd, UINT msg, LPPROPSHEETPAGEA page) {
  EXPECT_EQ(hwnd, nullptr);
  g_log->callbackPages.push_back(page);
  switch (msg) {
    case PSPCB_ADDREF: g_log->events.push_back("addref"); return 0;
    case PSPCB_RELEASE: g_log->events.push_back("release"); return 0;
    case PSPCB_CREATE: g_log->events.push_back("create"); return g_log->createResult;
    default: g_log->events.push_back("callback?"); return 0;
  }
}

INT_PTR CALLBACK ChildDialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
  if (msg == WM_COMMAND && (wParam == IDOK || wParam == IDCANCEL)) {
    EndDialog(hwnd, wParam == IDOK ? 1 : 0);
    return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: {
      g_log->events.push_back("init");
      g_log->initPage = reinterpret_cast<PROPSHEETPAGEA*>(lParam);
      g_log->initRecord = g_log->initPage->lParam;
      g_log->window = hwnd;
      for (const char* line : {"line 0", "line 1"})
        SendDlgItemMessageA(hwnd, 1000, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
      return TRUE;
    }
    case WM_NOTIFY: {
      const PSHNOTIFY* psn = reinterpret_cast<const PSHNOTIFY*>(lParam);
      // PSN_QUERYINITIALFOCUS carries a control: logged by its id.
      LPARAM shown = psn->hdr.code == static_cast<UINT>(PSN_QUERYINITIALFOCUS)
                         ? GetDlgCtrlID(reinterpret_cast<HWND>(psn->lParam))
                         : psn->lParam;
      g_log->events.push_back("notify " + std::to_string(static_cast<int>(psn->hdr.code)) + " " +
                              std::to_string(shown));
      g_log->notifySenders.push_back(psn->hdr.hwndFrom);
      auto it = g_log->notifyResults.find(psn->hdr.code);
      SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, it == g_log->notifyResults.end() ? 0 : it->second);
      return TRUE;
    }
    case WM_COMMAND:
      if (wParam == MAKEWPARAM(1000, LBN_DBLCLK)) {
        g_log->events.push_back("dblclk");
        g_log->dialogResult =
            DialogBoxParamA(g_log->initPage->hInstance, MAKEINTRESOURCEA(100), hwnd, ChildDialogProc, 0);
      }
      return FALSE;
    case WM_DESTROY:
      g_log->events.push_back("destroy");
      return FALSE;
    default:
      return FALSE;
  }
}

class PropertySheetTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    g_log = &log_;
  }
  void TearDown() override {
    Win32Test::TearDown();
    g_log = nullptr;
  }

  PROPSHEETPAGEA Page(int templateId, DWORD size = PROPSHEETPAGEA_V2_SIZE) {
    PROPSHEETPAGEA psp;
    std::memset(&psp, 0, sizeof(psp));
    psp.dwSize = size;
    psp.dwFlags = PSP_USECALLBACK;
    psp.hInstance = Module();
    psp.pszTemplate = MAKEINTRESOURCEA(templateId);
    psp.pfnDlgProc = PageProc;
    psp.lParam = 0xC0FFEE;
    psp.pfnCallback = PageCallback;
    return psp;
  }

  // A page handed to the sheet the way a provider hands it.
  void Add(host::PropertySheet& sheet, int templateId) {
    PROPSHEETPAGEA psp = Page(templateId);
    HPROPSHEETPAGE page = CreatePropertySheetPageA(&psp);
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(sheet.AddPageCallback()(page, sheet.AddPageParam()));
  }

  std::vector<std::string> EventsSince(size_t start) const {
    return std::vector<std::string>(log_.events.begin() + static_cast<long>(start), log_.events.end());
  }

  PageLog log_;
};

const std::string kKillActive = "notify -201 0";
const std::string kApplyOk = "notify -202 1";
const std::string kApplyNow = "notify -202 0";
const std::string kSetActive = "notify -200 0";
const std::string kQueryCancel = "notify -209 0";
const std::string kQueryFocus = "notify -213 1000";  // the list box, the first tab stop

}  // namespace

// ---------------------------------------------------------------------------
// Pages.

TEST_F(PropertySheetTest, PageSizesOfA64BitProcess) {
  EXPECT_EQ(PROPSHEETPAGEA_V1_SIZE, 72);
  EXPECT_EQ(PROPSHEETPAGEA_V2_SIZE, 88);
  EXPECT_EQ(sizeof(SP_DEVINFO_DATA), 32u);
  EXPECT_EQ(sizeof(PSHNOTIFY), 32u);
}

TEST_F(PropertySheetTest, CreateHonoursTheStructureSize) {
  PROPSHEETPAGEA psp = Page(200, PROPSHEETPAGEA_V1_SIZE - 4);
  EXPECT_EQ(CreatePropertySheetPageA(&psp), nullptr);
  EXPECT_TRUE(log_.events.empty());

  // The first version gets no PSPCB_ADDREF; later versions do, with the copy.
  psp = Page(200, PROPSHEETPAGEA_V1_SIZE);
  HPROPSHEETPAGE v1 = CreatePropertySheetPageA(&psp);
  ASSERT_NE(v1, nullptr);
  EXPECT_TRUE(log_.events.empty());

  psp = Page(200);
  HPROPSHEETPAGE v2 = CreatePropertySheetPageA(&psp);
  ASSERT_NE(v2, nullptr);
  ASSERT_EQ(log_.events, (std::vector<std::string>{"addref"}));
  PROPSHEETPAGEA* copy = log_.callbackPages[0];
  EXPECT_NE(copy, &psp);
  EXPECT_EQ(copy->lParam, 0xC0FFEE);
  psp.lParam = 1;  // the caller's structure is not the page's
  EXPECT_EQ(copy->lParam, 0xC0FFEE);
  EXPECT_EQ(host::Win32Outstanding().propertySheetPages, 2u);

  EXPECT_TRUE(DestroyPropertySheetPage(v2));
  EXPECT_TRUE(DestroyPropertySheetPage(v1));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"addref", "release", "release"}));
  EXPECT_EQ(log_.callbackPages[1], copy);
  EXPECT_EQ(host::Win32Outstanding().propertySheetPages, 0u);
}

TEST_F(PropertySheetTest, CopyTakesDwSizeBytesIncludingAppendedData) {
  struct PageWithData {
    PROPSHEETPAGEA psp;
    int data[4];
  } page;
  page.psp = Page(200, PROPSHEETPAGEA_V1_SIZE);
  page.psp.pszHeaderTitle = "beyond the first version";
  HPROPSHEETPAGE v1 = CreatePropertySheetPageA(&page.psp);
  DestroyPropertySheetPage(v1);
  ASSERT_EQ(log_.callbackPages.size(), 1u);  // the release

  page.psp = Page(200, sizeof(PageWithData));
  page.data[0] = 11;
  page.data[3] = 44;
  HPROPSHEETPAGE big = CreatePropertySheetPageA(&page.psp);
  PageWithData* copy = reinterpret_cast<PageWithData*>(log_.callbackPages.back());
  EXPECT_EQ(copy->data[0], 11);
  EXPECT_EQ(copy->data[3], 44);
  DestroyPropertySheetPage(big);
}

TEST_F(PropertySheetTest, FieldsBeyondDwSizeReadAsZero) {
  host::PropertySheet sheet;
  PROPSHEETPAGEA psp = Page(200, PROPSHEETPAGEA_V1_SIZE);
  psp.pszHeaderTitle = "beyond the first version";
  HPROPSHEETPAGE page = CreatePropertySheetPageA(&psp);
  ASSERT_TRUE(sheet.AddPageCallback()(page, sheet.AddPageParam()));
  ASSERT_TRUE(sheet.Show());
  ASSERT_NE(log_.initPage, nullptr);
  EXPECT_EQ(log_.initPage->pszHeaderTitle, nullptr);
  EXPECT_EQ(log_.initPage->dwSize, static_cast<DWORD>(PROPSHEETPAGEA_V1_SIZE));
  EXPECT_EQ(log_.initRecord, 0xC0FFEE);
}

TEST_F(PropertySheetTest, PageNotDestroyedAndBadDestroyAreReported) {
  SkipEndChecks();
  PROPSHEETPAGEA psp = Page(200);
  HPROPSHEETPAGE page = CreatePropertySheetPageA(&psp);
  EXPECT_EQ(host::Win32EndChecks().size(), 1u);
  EXPECT_TRUE(DestroyPropertySheetPage(page));
  EXPECT_FALSE(DestroyPropertySheetPage(page));
  std::vector<std::string> findings = host::Win32EndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("DestroyPropertySheetPage"), std::string::npos) << findings[0];
}

// ---------------------------------------------------------------------------
// The sheet.

TEST_F(PropertySheetTest, ShowCreatesTheFirstPageFromItsTemplate) {
  host::PropertySheet sheet;
  Add(sheet, 200);
  Add(sheet, 201);
  ASSERT_EQ(sheet.PageCount(), 2u);
  EXPECT_EQ(sheet.PageTitle(0), "Page One");
  EXPECT_EQ(sheet.PageTitle(1), "Page Two");
  ASSERT_TRUE(sheet.Show());
  EXPECT_EQ(log_.events, (std::vector<std::string>{"addref", "addref", "create", "init", kSetActive, kQueryFocus}));
  // WM_INITDIALOG carries the page's own copy, the one the callbacks get.
  EXPECT_EQ(log_.initPage, log_.callbackPages[0]);
  EXPECT_EQ(log_.initRecord, 0xC0FFEE);

  HWND page = sheet.PageWindow(0);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page, log_.window);
  EXPECT_EQ(GetParent(page), sheet.Window());
  LONG style = GetWindowLongA(page, GWL_STYLE);
  EXPECT_EQ(style & (WS_CHILD | DS_CONTROL), static_cast<LONG>(WS_CHILD | DS_CONTROL));
  EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU), 0);
  EXPECT_TRUE(IsWindowVisible(page));
  EXPECT_EQ(SendDlgItemMessageA(page, 1000, LB_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(reinterpret_cast<HWND>(SendMessageA(sheet.Window(), PSM_GETCURRENTPAGEHWND, 0, 0)), page);
  EXPECT_EQ(sheet.PageWindow(1), nullptr);  // created when first shown
  EXPECT_EQ(log_.notifySenders[0], sheet.Window());
}

TEST_F(PropertySheetTest, UseTitleOverridesTheCaption) {
  host::PropertySheet sheet;
  PROPSHEETPAGEA psp = Page(200);
  psp.dwFlags |= PSP_USETITLE;
  psp.pszTitle = "Ports";
  ASSERT_TRUE(sheet.AddPageCallback()(CreatePropertySheetPageA(&psp), sheet.AddPageParam()));
  EXPECT_EQ(sheet.PageTitle(0), "Ports");
}

TEST_F(PropertySheetTest, CreateCallbackZeroMeansNoWindow) {
  log_.createResult = 0;
  {
    host::PropertySheet sheet;
    Add(sheet, 200);
    ASSERT_TRUE(sheet.Show());
    EXPECT_EQ(sheet.PageWindow(0), nullptr);
    EXPECT_TRUE(sheet.PressOk());
  }
  EXPECT_EQ(log_.events, (std::vector<std::string>{"addref", "create", "release"}));
}

TEST_F(PropertySheetTest, OkAppliesThenDestroysTheWindowThenReleasesThePage) {
  host::PropertySheet sheet;
  Add(sheet, 200);
  ASSERT_TRUE(sheet.Show());
  size_t start = log_.events.size();
  EXPECT_TRUE(sheet.PressOk());
  EXPECT_EQ(EventsSince(start), (std::vector<std::string>{kKillActive, kApplyOk, "destroy", "release"}));
  EXPECT_FALSE(sheet.IsOpen());
  EXPECT_EQ(sheet.Result(), 1);
  EXPECT_EQ(host::Win32Outstanding().windows, 0u);
  EXPECT_EQ(host::Win32Outstanding().propertySheetPages, 0u);
}

TEST_F(PropertySheetTest, ApplyNeedsAChangedPage) {
  host::PropertySheet sheet;
  Add(sheet, 200);
  ASSERT_TRUE(sheet.Show());
  size_t start = log_.events.size();
  EXPECT_FALSE(sheet.ApplyEnabled());
  EXPECT_FALSE(sheet.PressApply());
  EXPECT_EQ(log_.events.size(), start);

  SendMessageA(sheet.Window(), PSM_CHANGED, reinterpret_cast<WPARAM>(sheet.PageWindow(0)), 0);
  EXPECT_TRUE(sheet.ApplyEnabled());
  EXPECT_TRUE(sheet.PressApply());
  EXPECT_EQ(EventsSince(start), (std::vector<std::string>{kKillActive, kApplyNow, kSetActive}));
  EXPECT_FALSE(sheet.ApplyEnabled());
  EXPECT_TRUE(sheet.IsOpen());

  // Another page of the sheet may enable it as well.
  sheet.MarkChanged();
  EXPECT_TRUE(sheet.ApplyEnabled());
  SendMessageA(sheet.Window(), PSM_UNCHANGED, reinterpret_cast<WPARAM>(sheet.PageWindow(0)), 0);
  EXPECT_TRUE(sheet.ApplyEnabled());

  // Cancel after an Apply: the changes were saved.
  start = log_.events.size();
  EXPECT_TRUE(sheet.PressCancel());
  EXPECT_EQ(EventsSince(start),
            (std::vector<std::string>{kQueryCancel, "notify -203 0", "destroy", "release"}));
  EXPECT_EQ(sheet.Result(), 1);
}

TEST_F(PropertySheetTest, CancelAndCloseBoxResetWithoutApplying) {
  {
    host::PropertySheet sheet;
    Add(sheet, 200);
    ASSERT_TRUE(sheet.Show());
    EXPECT_TRUE(sheet.PressCancel());
    EXPECT_EQ(sheet.Result(), 0);
  }
  for (auto& e : log_.events) EXPECT_EQ(e.find("notify -202"), std::string::npos) << e;
  log_.events.clear();
  host::PropertySheet sheet;
  Add(sheet, 200);
  ASSERT_TRUE(sheet.Show());
  EXPECT_TRUE(sheet.PressCloseBox());
  EXPECT_NE(std::find(log_.events.begin(), log_.events.end(), "notify -203 1"), log_.events.end());
}

TEST_F(PropertySheetTest, PageCanKeepTheSheetOpen) {
  host::PropertySheet sheet;
  Add(sheet, 200);
  ASSERT_TRUE(sheet.Show());
  log_.notifyResults[PSN_APPLY] = PSNRET_INVALID_NOCHANGEPAGE;
  EXPECT_FALSE(sheet.PressOk());
  EXPECT_TRUE(sheet.IsOpen());
  log_.notifyResults[PSN_APPLY] = PSNRET_NOERROR;
  log_.notifyResults[PSN_KILLACTIVE] = TRUE;  // the page's data is not valid
  size_t start = log_.events.size();
  EXPECT_FALSE(sheet.PressOk());
  EXPECT_EQ(EventsSince(start), (std::vector<std::string>{kKillActive}));
  log_.notifyResults[PSN_KILLACTIVE] = FALSE;
  log_.notifyResults[PSN_QUERYCANCEL] = TRUE;
  EXPECT_FALSE(sheet.PressCancel());
  log_.notifyResults[PSN_QUERYCANCEL] = FALSE;
  EXPECT_TRUE(sheet.PressOk());
}

TEST_F(PropertySheetTest, OnlyCreatedPagesAreApplied) {
  host::PropertySheet sheet;
  Add(sheet, 200);
  Add(sheet, 201);
  ASSERT_TRUE(sheet.Show());
  size_t start = log_.events.size();
  EXPECT_TRUE(sheet.PressOk());
  EXPECT_EQ(EventsSince(start),
            (std::vector<std::string>{kKillActive, kApplyOk, "destroy", "release", "release"}));
}

TEST_F(PropertySheetTest, SelectingATabCreatesAndActivatesThePage) {
  host::PropertySheet sheet;
  Add(sheet, 200);
  Add(sheet, 201);
  ASSERT_TRUE(sheet.Show());
  size_t start = log_.events.size();
  ASSERT_TRUE(sheet.SelectPage(1));
  // Page 201's first tab stop is its control 1003.
  EXPECT_EQ(EventsSince(start), (std::vector<std::string>{kKillActive, "create", "init", kSetActive,
                                                          "notify -213 1003"}));
  EXPECT_FALSE(IsWindowVisible(sheet.PageWindow(0)));
  EXPECT_TRUE(IsWindowVisible(sheet.PageWindow(1)));
  start = log_.events.size();
  EXPECT_TRUE(sheet.PressOk());
  EXPECT_EQ(EventsSince(start), (std::vector<std::string>{kKillActive, kApplyOk, kApplyOk, "destroy",
                                                          "release", "destroy", "release"}));
}

TEST_F(PropertySheetTest, RefusedPageStaysWithTheProvider) {
  host::PropertySheet sheet;
  sheet.RefuseNewPages(true);
  PROPSHEETPAGEA psp = Page(200);
  HPROPSHEETPAGE page = CreatePropertySheetPageA(&psp);
  EXPECT_FALSE(sheet.AddPageCallback()(page, sheet.AddPageParam()));
  EXPECT_EQ(sheet.PageCount(), 0u);
  EXPECT_EQ(host::Win32Outstanding().propertySheetPages, 1u);
  DestroyPropertySheetPage(page);
}

TEST_F(PropertySheetTest, SheetNeverShownStillReleasesItsPages) {
  {
    host::PropertySheet sheet;
    Add(sheet, 200);
  }
  EXPECT_EQ(log_.events, (std::vector<std::string>{"addref", "release"}));
}

TEST_F(PropertySheetTest, UserActionsGoToTheActivePageAndItsModalDialog) {
  host::PropertySheet sheet;
  Add(sheet, 200);
  ASSERT_TRUE(sheet.Show());
  host::User().DoubleClickListItem(1000, 1).Click(1011).Click(IDOK);
  sheet.Run();
  EXPECT_EQ(log_.dialogResult, 1);
  EXPECT_EQ(SendDlgItemMessageA(sheet.PageWindow(0), 1000, LB_GETCURSEL, 0, 0), 1);
  EXPECT_TRUE(sheet.IsOpen());
  EXPECT_TRUE(IsWindowEnabled(sheet.Window()));  // given back after the dialog
  // Enter on a page is the sheet's OK.
  host::User().PressEnter();
  sheet.Run();
  EXPECT_FALSE(sheet.IsOpen());
  EXPECT_EQ(sheet.Result(), 1);
  EXPECT_NE(std::find(log_.events.begin(), log_.events.end(), kApplyOk), log_.events.end());
}

TEST_F(PropertySheetTest, EscapeOnAPageCancelsTheSheet) {
  host::PropertySheet sheet;
  Add(sheet, 200);
  ASSERT_TRUE(sheet.Show());
  host::User().PressEscape();
  sheet.Run();
  EXPECT_FALSE(sheet.IsOpen());
  EXPECT_EQ(sheet.Result(), 0);
}

TEST_F(PropertySheetTest, ModalDialogOfAPageWithoutUserFailsLoudly) {
  host::PropertySheet sheet;
  Add(sheet, 200);
  ASSERT_TRUE(sheet.Show());
  host::User().DoubleClickListItem(1000, 0);
  EXPECT_THROW(sheet.Run(), host::UserScriptExhausted);
  EXPECT_TRUE(IsWindowEnabled(sheet.Window()));
  // Closing the sheet takes the abandoned dialog along.
  EXPECT_TRUE(sheet.PressCancel());
  EXPECT_EQ(host::Win32Outstanding().windows, 0u);
}

TEST_F(PropertySheetTest, FailedPageCreationCallsNoCallback) {
  host::FailCreatePropertySheetPageNth(1);
  PROPSHEETPAGEA psp = Page(200);
  EXPECT_EQ(CreatePropertySheetPageA(&psp), nullptr);
  EXPECT_TRUE(log_.events.empty());
  HPROPSHEETPAGE page = CreatePropertySheetPageA(&psp);
  ASSERT_NE(page, nullptr);
  DestroyPropertySheetPage(page);
}
