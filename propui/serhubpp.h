// serhubpp: the "Ports" property page of the multi-port serial card.
//
// Device Manager loads this DLL through SetupAPI and calls EnumPropPages for
// the card's advanced properties. The page lists the card's ports with their
// COM names and line modes; the "Change port" dialog lets the user choose a
// port's line mode. The chosen modes are written back as PORTMODE into the
// ports' Device Parameters keys when the page is released after the sheet
// was applied.
//
// Everything here runs on the thread that runs the property sheet.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <setupapi.h>

#include "serhub_registry.h"

// The card family's largest port count.
#define SERHUB_MAX_PORTS 32

// Size of the text buffers (location text, PORTNAME, key paths).
#define SERHUB_TEXT_SIZE 256

// Size of a list line buffer: "port-32" padded to 10 characters, a COM name
// of at most "COM-2147483648" (14), the longest mode text "RS485_HALF" (10)
// and the NUL make 35 characters.
#define SERHUB_LINE_SIZE 48

// Dialog templates and their controls.
#define IDD_PORTS_PAGE 101
#define IDD_CHANGE_PORT 102
#define IDC_PORT_LIST 1000
#define IDC_CHANGE 1001
#define IDC_COM_COMBO 1002
#define IDC_AUTO_ENUM 1005
#define IDC_MODE_RS232 1007       // radio button IDC_MODE_RS232 + m is line mode m
#define IDC_MODE_RS485_HALF 1008
#define IDC_MODE_RS485_FULL 1009
#define IDC_MODE_RS422 1010

// Number of COM names offered in the Change port dialog: COM1 to COM256.
#define SERHUB_COMBO_ENTRIES 256

// The per-card record on which the page works. Allocated zero-filled by
// EnumPropPages, owned by the page from its creation until its release.
typedef struct _PORT_PAGE_DATA {
  LONG PortCount;                           // 1 to 32, from the card's "Ports" value
  LONG CurrentPort;                         // port of the open Change port dialog
  char LocationKey[64];                     // bus, device, function as six hex digits; "" if unknown
  LONG ComNumber[SERHUB_MAX_PORTS];         // 12 for COM12; 0 = no COM name, no line, not saved
  signed char LineIndex[SERHUB_MAX_PORTS];  // line in the list box (ports with a COM name)
  signed char PortType[SERHUB_MAX_PORTS];   // low byte of PORTTYPE; 0 if unreadable
  signed char PortMode[SERHUB_MAX_PORTS];   // 0 RS232, 1 RS485 HALF, 2 RS485 FULL, 3 RS422
  LONG Applied;                             // set by the first PSN_APPLY, never cleared
} PORT_PAGE_DATA, *PPORT_PAGE_DATA;

// The page window's own record, kept in the dialog's user slot from
// WM_INITDIALOG to WM_DESTROY.
typedef struct _PAGE_WINDOW_DATA {
  HWND Dialog;
  HWND PortList;
  PPORT_PAGE_DATA PageData;
  // Set while the page's own code has handed a message of this window to
  // DefDlgProcA; the nested call of the page procedure clears it. One flag
  // per page window: pages of two cards may run on two threads.
  BOOL DefDlgRecursion;
} PAGE_WINDOW_DATA, *PPAGE_WINDOW_DATA;

// The DLL's own module handle, set at process attach.
extern HINSTANCE ModuleInstance;

// Exports.
extern "C" BOOL WINAPI LibMain(HINSTANCE Module, DWORD Reason, LPVOID Reserved);
extern "C" BOOL WINAPI EnumPropPages(PSP_PROPSHEETPAGE_REQUEST Request,
                                     LPFNADDPROPSHEETPAGE AddPage, LPARAM LParam);

// Provider and port table.
BOOL LoadPortTable(HDEVINFO Set, PSP_DEVINFO_DATA Device, PPORT_PAGE_DATA Data);
BOOL MakeLocationKey(char* Out, char* Text);
LONG ParseDecimal(const char* Text);
void AddPortPage(PPORT_PAGE_DATA Data, LPFNADDPROPSHEETPAGE AddPage, LPARAM LParam);
UINT CALLBACK PortPageCallback(HWND Window, UINT Message, LPPROPSHEETPAGEA Page);

// Page and Change port dialog.
INT_PTR CALLBACK PortPageDlgProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
LRESULT PortPageOnMessage(PPAGE_WINDOW_DATA Page, UINT Message, WPARAM WParam, LPARAM LParam);
BOOL PortPageOnInitDialog(PPAGE_WINDOW_DATA Page, WPARAM WParam, LPARAM LParam);
void PortPageOnCommand(PPAGE_WINDOW_DATA Page, int ControlId, HWND Control, UINT Code);
LRESULT PortPageOnNotify(PPAGE_WINDOW_DATA Page, int ControlId, LPNMHDR Header);
BOOL FormatPortLine(PPORT_PAGE_DATA Data, LONG Port, char* Out);
INT_PTR ShowChangePortDialog(HWND Owner, PPORT_PAGE_DATA Data);
INT_PTR CALLBACK ChangePortDlgProc(HWND Dialog, UINT Message, WPARAM WParam, LPARAM LParam);

// Saving.
void SavePortSettings(PPORT_PAGE_DATA Data);

// Small helpers that keep the DLL free of C run-time calls.
void ZeroBytes(void* Buffer, SIZE_T Size);
// Builds a port's key path (SERHUB_PORT_KEY_FORMAT) into a SERHUB_TEXT_SIZE buffer.
void FormatPortKeyPath(char* Out, const PORT_PAGE_DATA* Data, LONG Port);
