// The DLL's entry point, the property page provider and the port table that
// the page works on.
#include "serhubpp.h"

#include <stddef.h>

HINSTANCE ModuleInstance;

// PROPSHEETPAGEA up to and including pszHeaderSubTitle, the structure's
// second version: 48 bytes on i386, 88 on x64 (where 72 is the first
// version's size and 48 is refused).
#ifdef PROPSHEETPAGEA_V2_SIZE
#define PORT_PAGE_SIZE PROPSHEETPAGEA_V2_SIZE
#else
#define PORT_PAGE_SIZE (offsetof(PROPSHEETPAGEA, pszHeaderSubTitle) + sizeof(LPCSTR))
#endif

void ZeroBytes(void* Buffer, SIZE_T Size) {
  // Byte by byte through a volatile pointer, so that the compiler does not
  // turn the loop into a call to a run-time memset the DLL does not have.
  volatile unsigned char* p = static_cast<volatile unsigned char*>(Buffer);
  for (SIZE_T i = 0; i < Size; ++i) {
    p[i] = 0;
  }
}

void FormatPortKeyPath(char* Out, const PORT_PAGE_DATA* Data, LONG Port) {
  wsprintfA(Out, SERHUB_PORT_KEY_FORMAT, Data->LocationKey, (unsigned int)(Port & 0xFF));
}

extern "C" BOOL WINAPI LibMain(HINSTANCE Module, DWORD Reason, LPVOID Reserved) {
  UNREFERENCED_PARAMETER(Reserved);
  if (Reason == DLL_PROCESS_ATTACH) {
    ModuleInstance = Module;
    DisableThreadLibraryCalls(Module);
  }
  return TRUE;
}

extern "C" BOOL WINAPI EnumPropPages(PSP_PROPSHEETPAGE_REQUEST Request,
                                     LPFNADDPROPSHEETPAGE AddPage, LPARAM LParam) {
  if (Request->PageRequested != SPPSR_ENUM_ADV_DEVICE_PROPERTIES) {
    return TRUE;
  }
  PPORT_PAGE_DATA data =
      static_cast<PPORT_PAGE_DATA>(LocalAlloc(LPTR, sizeof(PORT_PAGE_DATA)));
  if (data == NULL) {
    return FALSE;
  }
  if (!LoadPortTable(Request->DeviceInfoSet, Request->DeviceInfoData, data)) {
    LocalFree(data);
    return FALSE;
  }
  AddPortPage(data, AddPage, LParam);
  return TRUE;
}

LONG ParseDecimal(const char* Text) {
  // 32-bit arithmetic that wraps, done unsigned so that the wrap is defined.
  ULONG value = 0;
  for (; *Text >= '0' && *Text <= '9'; ++Text) {
    value = value * 10 + (ULONG)(*Text - '0');
  }
  return (LONG)value;
}

static BOOL IsDigit(char c) { return c >= '0' && c <= '9'; }

BOOL MakeLocationKey(char* Out, char* Text) {
  LONG numbers[3];
  int found = 0;
  char* p = Text;
  while (*p != '\0' && found < 3) {
    if (!IsDigit(*p)) {
      ++p;
      continue;
    }
    numbers[found++] = ParseDecimal(p);
    while (IsDigit(*p)) {
      ++p;
    }
  }
  if (found < 3) {
    return FALSE;
  }
  wsprintfA(Out, "%02X%02X%02X", (unsigned int)(numbers[0] & 0xFF),
            (unsigned int)(numbers[1] & 0xFF), (unsigned int)(numbers[2] & 0xFF));
  return TRUE;
}

// Registry text need not end in a NUL, and a text that fills the whole
// SERHUB_TEXT_SIZE bytes of a query has no room for one: such buffers have
// one byte more than the query may fill, and the text is terminated right
// behind the data the query returned.
static void TerminateText(char* Text, DWORD Returned) {
  Text[Returned < SERHUB_TEXT_SIZE ? Returned : SERHUB_TEXT_SIZE] = '\0';
}

// Reads the COM number, type and mode of one port from its key.
static void LoadPort(PPORT_PAGE_DATA Data, LONG Port) {
  char path[SERHUB_TEXT_SIZE];
  FormatPortKeyPath(path, Data, Port);
  HKEY key;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
    Data->ComNumber[Port] = 0;
    return;
  }

  char name[SERHUB_TEXT_SIZE + 1];
  DWORD size = SERHUB_TEXT_SIZE;
  if (RegQueryValueExA(key, SERHUB_PORTNAME_A, NULL, NULL, (LPBYTE)name, &size) !=
      ERROR_SUCCESS) {
    RegCloseKey(key);
    return;
  }
  TerminateText(name, size);
  // The first three characters (normally "COM") are skipped unexamined; a
  // name of three characters or fewer has no number.
  if (name[0] != '\0' && name[1] != '\0' && name[2] != '\0') {
    Data->ComNumber[Port] = ParseDecimal(name + 3);
  }

  DWORD type = 0;
  size = sizeof(type);
  if (RegQueryValueExA(key, SERHUB_PORTTYPE_A, NULL, NULL, (LPBYTE)&type, &size) !=
      ERROR_SUCCESS) {
    RegCloseKey(key);
    return;
  }
  Data->PortType[Port] = (signed char)(type & 0xFF);

  if (type != 0) {
    DWORD mode = 0;
    size = sizeof(mode);
    if (RegQueryValueExA(key, SERHUB_PORTMODE_A, NULL, NULL, (LPBYTE)&mode, &size) ==
        ERROR_SUCCESS) {
      Data->PortMode[Port] = (signed char)(mode & 0xFF);
    }
  }
  RegCloseKey(key);
}

BOOL LoadPortTable(HDEVINFO Set, PSP_DEVINFO_DATA Device, PPORT_PAGE_DATA Data) {
  ZeroBytes(Data, sizeof(*Data));

  char location[SERHUB_TEXT_SIZE + 1];
  DWORD propertyType = 0;
  DWORD required = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(Set, Device, SPDRP_LOCATION_INFORMATION,
                                         &propertyType, (PBYTE)location,
                                         SERHUB_TEXT_SIZE, &required)) {
    return FALSE;
  }
  TerminateText(location, required);

  HKEY cardKey = SetupDiOpenDevRegKey(Set, Device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (cardKey == (HKEY)INVALID_HANDLE_VALUE) {
    return FALSE;
  }

  DWORD ports = 0;
  DWORD size = sizeof(ports);
  if (RegQueryValueExA(cardKey, SERHUB_PORTS_A, NULL, NULL, (LPBYTE)&ports, &size) !=
      ERROR_SUCCESS) {
    RegCloseKey(cardKey);
    return FALSE;
  }
  Data->PortCount = (LONG)ports;
  if (Data->PortCount < 1 || Data->PortCount > SERHUB_MAX_PORTS) {
    RegCloseKey(cardKey);
    return FALSE;
  }

  // Only the text after the last backslash holds the card's numbers.
  char* tail = location;
  for (char* p = location; *p != '\0'; ++p) {
    if (*p == '\\') {
      tail = p + 1;
    }
  }
  MakeLocationKey(Data->LocationKey, tail);  // on failure the key stays empty
  RegCloseKey(cardKey);

  for (LONG i = 0; i < Data->PortCount; ++i) {
    LoadPort(Data, i);
  }
  return TRUE;
}

void AddPortPage(PPORT_PAGE_DATA Data, LPFNADDPROPSHEETPAGE AddPage, LPARAM LParam) {
  PROPSHEETPAGEA page;
  ZeroBytes(&page, sizeof(page));
  page.dwSize = PORT_PAGE_SIZE;
  page.dwFlags = PSP_USECALLBACK;
  page.hInstance = ModuleInstance;
  page.pszTemplate = MAKEINTRESOURCEA(IDD_PORTS_PAGE);
  page.pfnDlgProc = PortPageDlgProc;
  page.lParam = (LPARAM)Data;
  page.pfnCallback = PortPageCallback;

  HPROPSHEETPAGE handle = CreatePropertySheetPageA(&page);
  if (handle == NULL) {
    LocalFree(Data);
    return;
  }
  if (!AddPage(handle, LParam)) {
    // The release callback frees the record.
    DestroyPropertySheetPage(handle);
  }
}

UINT CALLBACK PortPageCallback(HWND Window, UINT Message, LPPROPSHEETPAGEA Page) {
  UNREFERENCED_PARAMETER(Window);
  if (Message != PSPCB_RELEASE) {
    return 1;
  }
  PPORT_PAGE_DATA data = (PPORT_PAGE_DATA)Page->lParam;
  if (data->Applied == 1) {
    SavePortSettings(data);
  }
  LocalFree(data);
  return 0;
}
