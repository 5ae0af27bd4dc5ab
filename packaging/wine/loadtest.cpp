// Load test of serhubpp.dll under a Win32 loader (run with wine64): the DLL
// loads, its entry point accepts DLL_PROCESS_ATTACH, EnumPropPages is found by
// name and by ordinal 1, LibMain by ordinal 2, the dialog templates 101 and
// 102 are found in English (United States), and a request for a page type
// other than the advanced device properties returns TRUE without adding a
// page.
//
// usage: loadtest.exe serhubpp.dll       exit status 0 when all hold
#include <windows.h>
#include <setupapi.h>

#include <stdio.h>

static int failures = 0;
static int add_page_calls = 0;

static void expect(bool condition, const char *what) {
  if (!condition) {
    printf("FAIL %s (last error %lu)\n", what, GetLastError());
    ++failures;
  }
}

static BOOL CALLBACK AddPage(HPROPSHEETPAGE, LPARAM) {
  ++add_page_calls;
  return FALSE;
}

typedef BOOL(WINAPI *ENUM_PROP_PAGES)(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);

int main(int argc, char **argv) {
  if (argc != 2) {
    printf("usage: %s serhubpp.dll\n", argv[0]);
    return 2;
  }
  HMODULE module = LoadLibraryA(argv[1]);
  expect(module != NULL, "LoadLibraryA");
  if (module == NULL) return 1;

  FARPROC by_name = GetProcAddress(module, "EnumPropPages");
  FARPROC by_ordinal = GetProcAddress(module, MAKEINTRESOURCEA(1));
  FARPROC lib_main = GetProcAddress(module, "LibMain");
  expect(by_name != NULL, "GetProcAddress EnumPropPages");
  expect(by_name == by_ordinal, "EnumPropPages is ordinal 1");
  expect(lib_main != NULL && lib_main == GetProcAddress(module, MAKEINTRESOURCEA(2)),
         "LibMain is ordinal 2");
  expect(GetProcAddress(module, MAKEINTRESOURCEA(3)) == NULL, "no ordinal 3");

  const WORD english_us = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  const int dialogs[] = {101, 102};
  for (int id : dialogs) {
    HRSRC resource = FindResourceExA(module, MAKEINTRESOURCEA(5) /* RT_DIALOG */,
                                     MAKEINTRESOURCEA(id), english_us);
    char what[64];
    snprintf(what, sizeof what, "FindResourceExA dialog %d, language 0x0409", id);
    expect(resource != NULL, what);
    if (resource != NULL) {
      HGLOBAL loaded = LoadResource(module, resource);
      const DWORD *words = static_cast<const DWORD *>(LockResource(loaded));
      snprintf(what, sizeof what, "dialog %d loads with style DS_SETFONT", id);
      expect(words != NULL && SizeofResource(module, resource) > 18 && (words[0] & DS_SETFONT),
             what);
    }
  }

  if (by_name != NULL) {
    SP_PROPSHEETPAGE_REQUEST request;
    ZeroMemory(&request, sizeof request);
    request.cbSize = sizeof request;
    request.PageRequested = SPPSR_SELECT_DEVICE_RESOURCES;
    BOOL result = reinterpret_cast<ENUM_PROP_PAGES>(reinterpret_cast<void *>(by_name))(
        &request, AddPage, 0);
    expect(result == TRUE, "EnumPropPages for another page type returns TRUE");
    expect(add_page_calls == 0, "EnumPropPages for another page type adds no page");
  }

  expect(FreeLibrary(module) != FALSE, "FreeLibrary");
  printf("%s: %s\n", argv[1], failures == 0 ? "loads and answers as expected" : "FAILED");
  return failures == 0 ? 0 : 1;
}
