// What AddPortPage hands to CreatePropertySheetPageA, and what becomes of
// the record when the page cannot be created. The test executable is linked
// with --wrap=CreatePropertySheetPageA, so the DLL's call comes here first.
#include "propui_test.h"

#include <cstring>
#include <mutex>

extern "C" HPROPSHEETPAGE WINAPI __real_CreatePropertySheetPageA(LPCPROPSHEETPAGEA page);

namespace propui_test {
namespace {
// Other tests create pages on several threads at once: the record is kept
// under a lock.
std::mutex g_lock;
bool g_failCreate = false;
bool g_seen = false;
std::vector<uint8_t> g_given;  // the structure's first dwSize bytes
}  // namespace
}  // namespace propui_test

extern "C" HPROPSHEETPAGE WINAPI __wrap_CreatePropertySheetPageA(LPCPROPSHEETPAGEA page) {
  using namespace propui_test;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_seen = true;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(page);
    g_given.assign(bytes, bytes + page->dwSize);
    if (g_failCreate) return nullptr;
  }
  return __real_CreatePropertySheetPageA(page);
}

namespace propui_test {
namespace {

using ::testing::IsEmpty;

class PageCreationTest : public PropUiTest {
 protected:
  void SetUp() override {
    PropUiTest::SetUp();
    g_failCreate = false;
    g_seen = false;
    g_given.clear();
  }
  void TearDown() override {
    g_failCreate = false;
    PropUiTest::TearDown();
  }
};

TEST_F(PageCreationTest, PageDescriptionHandedToComctl) {
  AddCard(2);
  host::PropertySheet sheet;
  ASSERT_TRUE(Enumerate(sheet));
  ASSERT_TRUE(g_seen);
  // The structure's second version, which ends with pszHeaderSubTitle: 48
  // bytes on i386, 88 on a 64-bit process (72 is the first version there).
  size_t expectedSize = offsetof(PROPSHEETPAGEA, pszHeaderSubTitle) + sizeof(LPCSTR);
  ASSERT_EQ(g_given.size(), expectedSize);
  EXPECT_EQ(expectedSize, sizeof(void*) == 8 ? 88u : 48u);
  PROPSHEETPAGEA page;
  std::memset(&page, 0, sizeof(page));
  std::memcpy(&page, g_given.data(), g_given.size());
  EXPECT_EQ(page.dwFlags, static_cast<DWORD>(PSP_USECALLBACK));
  EXPECT_EQ(page.hInstance, module_);
  EXPECT_EQ(page.pszTemplate, MAKEINTRESOURCEA(IDD_PORTS_PAGE));
  EXPECT_EQ(page.hIcon, nullptr);
  EXPECT_EQ(page.pszTitle, nullptr);
  EXPECT_EQ(page.pfnDlgProc, &PortPageDlgProc);
  EXPECT_EQ(page.pfnCallback, &PortPageCallback);
  EXPECT_EQ(page.pcRefParent, nullptr);
  EXPECT_EQ(page.pszHeaderTitle, nullptr);
  EXPECT_EQ(page.pszHeaderSubTitle, nullptr);
  auto* record = reinterpret_cast<PPORT_PAGE_DATA>(page.lParam);
  EXPECT_TRUE(host::IsLocalBlock(record));
  EXPECT_EQ(record->PortCount, 2);
  EXPECT_EQ(record->Applied, 0);
}

TEST_F(PageCreationTest, FailedCreationFreesTheRecord) {
  AddCard(2);
  AddPort(0, "COM3", 1, std::nullopt);
  Reg().ClearWriteLog();
  host::PropertySheet sheet;
  g_failCreate = true;
  EXPECT_TRUE(Enumerate(sheet));
  EXPECT_TRUE(g_seen);
  EXPECT_EQ(sheet.PageCount(), 0u);
  EXPECT_EQ(host::Win32Outstanding().localBlocks, 0u);
  EXPECT_THAT(Reg().WriteLog(), IsEmpty());
}

}  // namespace
}  // namespace propui_test
