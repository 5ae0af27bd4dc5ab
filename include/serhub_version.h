// The driver package's version: the version resources of serhub.sys and
// serhubpp.dll and the INF's DriverVer carry it.
#pragma once

#define SERHUB_VERSION_MAJOR 1
#define SERHUB_VERSION_MINOR 0
#define SERHUB_VERSION_BUILD 0
#define SERHUB_VERSION_REVISION 0
#define SERHUB_VERSION_TEXT "1.0.0.0"
// The INF's DriverVer date (month/day/year).
#define SERHUB_VERSION_DATE "12/08/2026"
