// Modules made from compiled resource files, and the dialog template parser.
#include <cstring>

#include "win32_test.h"

using ResourceTest = Win32Test;

TEST_F(ResourceTest, OnlyResourceFilesMakeModules) {
  ASSERT_NE(Module(), nullptr);
  const BYTE notRes[32] = {1, 2, 3, 4};
  EXPECT_EQ(host::CreateResourceModule(notRes, sizeof(notRes)), nullptr);
  EXPECT_EQ(host::CreateResourceModule(notRes, 3), nullptr);
}

TEST_F(ResourceTest, StandardTemplateIsParsedAsTheDialogManagerReadsIt) {
  auto t = host::FindDialogTemplate(Module(), 100);
  ASSERT_TRUE(t.has_value());
  EXPECT_FALSE(t->extended);
  EXPECT_EQ(t->style, 0x90C800C0u);
  EXPECT_EQ(t->caption, "Sample");
  EXPECT_EQ(t->x, 10);
  EXPECT_EQ(t->y, 20);
  EXPECT_EQ(t->cx, 200);
  EXPECT_EQ(t->cy, 120);
  EXPECT_TRUE(t->hasFont);
  EXPECT_EQ(t->pointSize, 8);
  EXPECT_EQ(t->faceName, "MS Shell Dlg");
  ASSERT_EQ(t->items.size(), 14u);

  const host::DialogItemTemplate& ok = t->items[0];
  EXPECT_EQ(ok.id, 1u);
  EXPECT_TRUE(ok.windowClass.isOrdinal);
  EXPECT_EQ(ok.windowClass.ordinal, 0x80);
  EXPECT_EQ(ok.text.name, "OK");
  EXPECT_EQ(ok.style, 0x50010001u);
  EXPECT_EQ(ok.x, 140);
  EXPECT_EQ(ok.cy, 14);

  EXPECT_EQ(t->items[2].windowClass.ordinal, 0x83);  // LISTBOX
  EXPECT_EQ(t->items[2].style, 0x50A10101u);
  EXPECT_EQ(t->items[4].windowClass.ordinal, 0x85);  // COMBOBOX
  EXPECT_EQ(t->items[6].windowClass.ordinal, 0x82);  // STATIC
  EXPECT_EQ(t->items[6].id, 0xFFFFu);                // -1 in a WORD
  EXPECT_EQ(t->items[13].style & WS_DISABLED, static_cast<DWORD>(WS_DISABLED));
}

TEST_F(ResourceTest, ExtendedTemplateKeepsHelpIdsWeightAndExtendedStyles) {
  auto t = host::FindDialogTemplate(Module(), 101);
  ASSERT_TRUE(t.has_value());
  EXPECT_TRUE(t->extended);
  EXPECT_EQ(t->exStyle, 0x8u);
  EXPECT_EQ(t->pointSize, 9);
  EXPECT_EQ(t->weight, 700);
  EXPECT_EQ(t->italic, 1);
  EXPECT_EQ(t->faceName, "Tahoma");
  ASSERT_EQ(t->items.size(), 2u);
  EXPECT_FALSE(t->items[0].windowClass.isOrdinal);
  EXPECT_STRCASEEQ(t->items[0].windowClass.name.c_str(), "Button");
  EXPECT_EQ(t->items[0].exStyle, 0x200u);
  EXPECT_EQ(t->items[0].helpId, 42u);
  EXPECT_EQ(t->items[0].id, 7u);
  EXPECT_EQ(t->items[1].windowClass.ordinal, 0x81);  // EDIT
}

TEST_F(ResourceTest, TruncatedTemplateIsRejected) {
  HRSRC res = FindResourceA(Module(), MAKEINTRESOURCEA(100), RT_DIALOG);
  ASSERT_NE(res, nullptr);
  const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(Module(), res)));
  DWORD size = SizeofResource(Module(), res);
  auto whole = host::ParseDialogTemplate(bytes, size);
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->size, size);
  EXPECT_FALSE(host::ParseDialogTemplate(bytes, size - 1).has_value());
  EXPECT_FALSE(host::ParseDialogTemplate(bytes, 10).has_value());
}

TEST_F(ResourceTest, EnglishIsPreferredThenNeutral) {
  EXPECT_EQ(host::FindDialogTemplate(Module(), 102)->caption, "English");
  EXPECT_EQ(host::DialogTemplateLanguage(Module(), 102), std::optional<WORD>(0x0409));
  EXPECT_EQ(host::FindDialogTemplate(Module(), 103)->caption, "Neutral");
  // An exact language asked for is found or not found.
  HRSRC german = FindResourceExA(Module(), RT_DIALOG, MAKEINTRESOURCEA(102), 0x0407);
  ASSERT_NE(german, nullptr);
  auto t = host::ParseDialogTemplate(LockResource(LoadResource(Module(), german)),
                                     SizeofResource(Module(), german));
  EXPECT_EQ(t->caption, "Deutsch");
  EXPECT_EQ(FindResourceExA(Module(), RT_DIALOG, MAKEINTRESOURCEA(102), 0x040C), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST_F(ResourceTest, LookupErrorsAndNames) {
  EXPECT_EQ(FindResourceA(Module(), MAKEINTRESOURCEA(999), RT_DIALOG), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(FindResourceA(Module(), MAKEINTRESOURCEA(100), RT_MENU), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(FindResourceA(reinterpret_cast<HMODULE>(0x1234), MAKEINTRESOURCEA(100), RT_DIALOG), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  // Names compare without case; "#100" names the ordinal 100.
  EXPECT_NE(FindResourceA(Module(), "named", RT_DIALOG), nullptr);
  EXPECT_EQ(FindResourceA(Module(), "#100", RT_DIALOG), FindResourceA(Module(), MAKEINTRESOURCEA(100), RT_DIALOG));
}

TEST_F(ResourceTest, ThreadLibraryCallsAreRecordedPerModule) {
  EXPECT_FALSE(host::ThreadLibraryCallsDisabled(Module()));
  EXPECT_TRUE(DisableThreadLibraryCalls(Module()));
  EXPECT_TRUE(host::ThreadLibraryCallsDisabled(Module()));
  EXPECT_FALSE(DisableThreadLibraryCalls(reinterpret_cast<HMODULE>(0x1234)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}
