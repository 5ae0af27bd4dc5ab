// windows.h of the host stand-in: the Win32 API surface of the package's
// user-mode DLL (KERNEL32, USER32, ADVAPI32), declared as the platform
// declares it for a 64-bit process and implemented by platform/win32.
//
// The host is an LLP64 process like x64 Windows: LONG is 32 bits, pointers,
// WPARAM, LPARAM and LRESULT are 64 bits. _WIN32/_WIN64 are not defined (the
// host's own C++ library must not take Windows code paths); code that needs
// pointer-sized window data uses the *LongPtr calls and DWLP_* slots, which
// work on every target. min/max are not defined.
#pragma once

#include "host_basetypes.h"
#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winuser.h"
#include "winreg.h"
