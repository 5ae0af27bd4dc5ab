// Writing the chosen line modes back as PORTMODE when the page is released
// after the sheet was applied.
#include "serhubpp.h"

// Writes PORTMODE of one port unless its key is gone, its port has no
// selectable line drivers, or the stored mode already has the same low byte.
static void SavePort(PPORT_PAGE_DATA Data, LONG Port) {
  char path[SERHUB_TEXT_SIZE];
  FormatPortKeyPath(path, Data, Port);
  HKEY key;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
    return;
  }

  // The type is read again here: the registry, not the record, decides
  // whether the port's line drivers can be switched.
  DWORD type = 0;
  DWORD size = sizeof(type);
  if (RegQueryValueExA(key, SERHUB_PORTTYPE_A, NULL, NULL, (LPBYTE)&type, &size) ==
          ERROR_SUCCESS &&
      type != 0) {
    DWORD stored = 0;
    size = sizeof(stored);
    BOOL same = RegQueryValueExA(key, SERHUB_PORTMODE_A, NULL, NULL, (LPBYTE)&stored,
                                 &size) == ERROR_SUCCESS &&
                (stored & 0xFF) == (DWORD)(unsigned char)Data->PortMode[Port];
    if (!same) {
      DWORD mode = (DWORD)(LONG)Data->PortMode[Port];  // widened with its sign
      RegSetValueExA(key, SERHUB_PORTMODE_A, 0, REG_DWORD, (const BYTE*)&mode, sizeof(mode));
    }
  }
  RegCloseKey(key);
}

void SavePortSettings(PPORT_PAGE_DATA Data) {
  for (LONG i = 0; i < Data->PortCount; ++i) {
    if (Data->ComNumber[i] != 0) {
      SavePort(Data, i);
    }
  }
}
