// The "Ports" page and the "Change port" dialog.
//
// The page procedure gets the default dialog processing from inside its own
// message handler, the way a window procedure calls its default procedure:
// it sets the page window's DefDlgRecursion and calls DefDlgProcA, which
// calls the page procedure again first; that nested call clears the flag and
// returns FALSE, so that DefDlgProcA goes on with its default processing.
// Results reach the dialog manager through the DWLP_MSGRESULT slot.
//
// Nothing here is module-level but ModuleInstance: the flag lives in the
// page window's record and the text buffers on the stack, so pages of two
// cards may run on two threads.
#include "serhubpp.h"

// The mode text of a list line: a port of type 0 is always RS232; on types 1
// and 2 a mode outside RS232/RS485 FULL/RS422 reads RS485_HALF, and type 1
// shows mode 0 that way too; any other type gets no text.
static const char* ModeText(signed char Type, signed char Mode) {
  if (Type == SERHUB_PORTTYPE_RS232_ONLY) {
    return "RS232";
  }
  if (Type != SERHUB_PORTTYPE_MULTIMODE && Type != SERHUB_PORTTYPE_ALL_MODES) {
    return "";
  }
  switch (Mode) {
    case SERHUB_PORTMODE_RS232:
      return Type == SERHUB_PORTTYPE_ALL_MODES ? "RS232" : "RS485_HALF";
    case SERHUB_PORTMODE_RS485_FULL:
      return "RS485_FULL";
    case SERHUB_PORTMODE_RS422:
      return "RS422";
    default:
      return "RS485_HALF";
  }
}

BOOL FormatPortLine(PPORT_PAGE_DATA Data, LONG Port, char* Out) {
  if (Data->ComNumber[Port] == 0) {
    return FALSE;
  }
  // Columns: the port's number padded to 10 characters, its COM name padded
  // to column 20 (longer names are not cut), then the mode text. "port-" and
  // a number left-aligned in 5 columns end at column 10 or, for longer
  // numbers, right after the number; ports 1 to 32 always end there, so
  // "COM" and a number in 7 columns end at column 20 or right after the
  // number. The padding is wsprintfA's: a blank-filling loop would be
  // compiled into a call to a run-time memset, which this DLL does not have.
  wsprintfA(Out, "port-%-5dCOM%-7d%s", (int)(Port + 1), (int)Data->ComNumber[Port],
            ModeText(Data->PortType[Port], Data->PortMode[Port]));
  return TRUE;
}

// The dialog's user slot and result slot: DWL_USER and DWL_MSGRESULT on
// i386, the pointer-sized DWLP_ slots on x64.
static LONG_PTR GetUserSlot(HWND Window) { return GetWindowLongPtrA(Window, DWLP_USER); }

static void SetUserSlot(HWND Window, LONG_PTR Value) {
  SetWindowLongPtrA(Window, DWLP_USER, Value);
}

// Hands a message of the page window to the default dialog processing from
// inside the page procedure.
static INT_PTR CallDefDlgProc(PPAGE_WINDOW_DATA Page, UINT Message, WPARAM WParam,
                              LPARAM LParam) {
  Page->DefDlgRecursion = TRUE;
  return DefDlgProcA(Page->Dialog, Message, WParam, LParam);
}

INT_PTR CALLBACK PortPageDlgProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
  PPAGE_WINDOW_DATA page = (PPAGE_WINDOW_DATA)GetUserSlot(Window);
  if (page != NULL && page->DefDlgRecursion) {
    // The call DefDlgProcA makes while the page's own code has handed it a
    // message: let it go on with the default processing.
    page->DefDlgRecursion = FALSE;
    return FALSE;
  }

  if (page == NULL) {
    // Without a record (WM_SETFONT before WM_INITDIALOG, WM_NCDESTROY after
    // WM_DESTROY) the message gets the default processing from the dialog
    // manager that called us, once: FALSE. Handing it to DefDlgProcA here as
    // well would process it twice, and on WM_NCDESTROY free the dialog's
    // data twice.
    if (Message != WM_INITDIALOG) {
      return FALSE;
    }
    page = (PPAGE_WINDOW_DATA)LocalAlloc(LPTR, sizeof(PAGE_WINDOW_DATA));
    if (page == NULL) {
      EndDialog(Window, 2);
      return FALSE;
    }
    page->Dialog = Window;
    SetUserSlot(Window, (LONG_PTR)page);
    return PortPageOnMessage(page, Message, WParam, LParam);
  }

  switch (Message) {
    case WM_DESTROY:
      // PortPageOnMessage has given it the default processing already; TRUE
      // keeps the dialog manager from giving it a second time.
      PortPageOnMessage(page, Message, WParam, LParam);
      LocalFree(page);
      SetUserSlot(Window, 0);
      return TRUE;
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
      return PortPageOnMessage(page, Message, WParam, LParam);
    default:
      SetWindowLongPtrA(Window, DWLP_MSGRESULT, PortPageOnMessage(page, Message, WParam, LParam));
      return TRUE;
  }
}

LRESULT PortPageOnMessage(PPAGE_WINDOW_DATA Page, UINT Message, WPARAM WParam, LPARAM LParam) {
  switch (Message) {
    case WM_NOTIFY:
      return PortPageOnNotify(Page, (int)WParam, (LPNMHDR)LParam);
    case WM_INITDIALOG:
      PortPageOnInitDialog(Page, WParam, LParam);
      return TRUE;
    case WM_COMMAND:
      PortPageOnCommand(Page, LOWORD(WParam), (HWND)LParam, HIWORD(WParam));
      return 0;
    default:
      return CallDefDlgProc(Page, Message, WParam, LParam);
  }
}

BOOL PortPageOnInitDialog(PPAGE_WINDOW_DATA Page, WPARAM WParam, LPARAM LParam) {
  UNREFERENCED_PARAMETER(WParam);
  LPPROPSHEETPAGEA sheetPage = (LPPROPSHEETPAGEA)LParam;
  Page->PageData = (PPORT_PAGE_DATA)sheetPage->lParam;
  Page->PortList = GetDlgItem(Page->Dialog, IDC_PORT_LIST);

  PPORT_PAGE_DATA data = Page->PageData;
  char text[SERHUB_LINE_SIZE];
  LONG line = 0;
  for (LONG i = 0; i < data->PortCount; ++i) {
    if (FormatPortLine(data, i, text)) {
      data->LineIndex[i] = (signed char)line;
      SendMessageA(Page->PortList, LB_ADDSTRING, 0, (LPARAM)text);
      ++line;
    }
  }

  HWND change = GetDlgItem(Page->Dialog, IDC_CHANGE);
  if (SendMessageA(Page->PortList, LB_GETCOUNT, 0, 0) == 0) {
    EnableWindow(change, FALSE);
  } else {
    EnableWindow(change, TRUE);
    SendMessageA(Page->PortList, LB_SETCURSEL, 0, 0);
  }
  return TRUE;
}

LRESULT PortPageOnNotify(PPAGE_WINDOW_DATA Page, int ControlId, LPNMHDR Header) {
  UNREFERENCED_PARAMETER(ControlId);
  if (Header->code == (UINT)PSN_APPLY) {
    Page->PageData->Applied = 1;
  }
  return 0;  // PSNRET_NOERROR for PSN_APPLY
}

void PortPageOnCommand(PPAGE_WINDOW_DATA Page, int ControlId, HWND Control, UINT Code) {
  UNREFERENCED_PARAMETER(Control);
  if (!((ControlId == IDC_PORT_LIST && Code == LBN_DBLCLK) || ControlId == IDC_CHANGE)) {
    return;
  }
  PPORT_PAGE_DATA data = Page->PageData;

  LONG line = (LONG)SendMessageA(Page->PortList, LB_GETCURSEL, 0, 0);
  if (line < 0) {
    line = 0;
  }
  LONG port = line;  // taken as it is when no port has that line
  for (LONG i = 0; i < data->PortCount; ++i) {
    if (data->ComNumber[i] != 0 && data->LineIndex[i] == line) {
      port = i;
      break;
    }
  }
  if (port >= data->PortCount) {
    return;  // a line that belongs to no port of the record
  }

  data->CurrentPort = port;
  HWND dialog = Page->Dialog;
  if (ShowChangePortDialog(dialog, data) == 0) {
    return;  // Cancel: the record and the list are unchanged
  }
  // The page window may have been destroyed while the dialog ran (the page
  // removed, the sheet closed): its record is then freed, and the page's
  // record may be too.
  if (!IsWindow(dialog) || (PPAGE_WINDOW_DATA)GetUserSlot(dialog) != Page) {
    return;
  }

  // Replace the lines from the changed port on. Deleting from the bottom up
  // keeps the numbers of the lines still to be deleted valid; the list is not
  // sorted, so the appended lines take the places of the old ones.
  for (LONG j = data->PortCount - 1; j >= port; --j) {
    if (data->ComNumber[j] != 0) {
      SendMessageA(Page->PortList, LB_DELETESTRING, (WPARAM)data->LineIndex[j], 0);
    }
  }
  char text[SERHUB_LINE_SIZE];
  for (LONG k = port; k < data->PortCount; ++k) {
    if (FormatPortLine(data, k, text)) {
      SendMessageA(Page->PortList, LB_ADDSTRING, 0, (LPARAM)text);
    }
  }
  SendMessageA(Page->PortList, LB_SETCURSEL, (WPARAM)data->LineIndex[port], 0);
}

INT_PTR ShowChangePortDialog(HWND Owner, PPORT_PAGE_DATA Data) {
  return DialogBoxParamA(ModuleInstance, MAKEINTRESOURCEA(IDD_CHANGE_PORT), Owner,
                         ChangePortDlgProc, (LPARAM)Data);
}

static void EnableControl(HWND Dialog, int Id, BOOL Enable) {
  EnableWindow(GetDlgItem(Dialog, Id), Enable);
}

static void CheckButton(HWND Dialog, int Id) {
  SendMessageA(GetDlgItem(Dialog, Id), BM_SETCHECK, BST_CHECKED, 0);
}

static BOOL IsButtonChecked(HWND Dialog, int Id) {
  return SendMessageA(GetDlgItem(Dialog, Id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

static void ChangePortOnInitDialog(HWND Dialog, PPORT_PAGE_DATA Data) {
  LONG port = Data->CurrentPort;
  SetUserSlot(Dialog, (LONG_PTR)Data);

  HWND combo = GetDlgItem(Dialog, IDC_COM_COMBO);
  char name[16];  // "COM256" at most
  for (int k = 1; k <= SERHUB_COMBO_ENTRIES; ++k) {
    wsprintfA(name, "COM%d", k);
    SendMessageA(combo, CB_ADDSTRING, 0, (LPARAM)name);
  }
  // Entry k is COM k + 1; counted unsigned, so no COM number overflows.
  SendMessageA(combo, CB_SETCURSEL, (WPARAM)((ULONG)Data->ComNumber[port] - 1UL), 0);
  // The COM name is shown, not changed here.
  EnableWindow(combo, FALSE);
  EnableControl(Dialog, IDC_AUTO_ENUM, FALSE);

  signed char mode = Data->PortMode[port];
  switch (Data->PortType[port]) {
    case SERHUB_PORTTYPE_RS232_ONLY:
      for (int id = IDC_MODE_RS232; id <= IDC_MODE_RS422; ++id) {
        EnableControl(Dialog, id, FALSE);
      }
      CheckButton(Dialog, IDC_MODE_RS232);
      break;
    case SERHUB_PORTTYPE_MULTIMODE:
      EnableControl(Dialog, IDC_MODE_RS232, FALSE);
      if (mode == SERHUB_PORTMODE_RS485_FULL) {
        CheckButton(Dialog, IDC_MODE_RS485_FULL);
      } else if (mode == SERHUB_PORTMODE_RS422) {
        CheckButton(Dialog, IDC_MODE_RS422);
      } else {
        CheckButton(Dialog, IDC_MODE_RS485_HALF);
      }
      break;
    case SERHUB_PORTTYPE_ALL_MODES:
      if (mode >= SERHUB_PORTMODE_RS232 && mode <= SERHUB_PORTMODE_RS422) {
        CheckButton(Dialog, IDC_MODE_RS232 + mode);
      } else {
        CheckButton(Dialog, IDC_MODE_RS232);
      }
      break;
    default:
      break;  // all four enabled, none checked
  }
}

static void ChangePortOnOk(HWND Dialog, PPORT_PAGE_DATA Data) {
  LONG port = Data->CurrentPort;
  signed char mode = SERHUB_PORTMODE_RS232;
  for (int m = SERHUB_PORTMODE_RS232; m <= SERHUB_PORTMODE_RS422; ++m) {
    if (IsButtonChecked(Dialog, IDC_MODE_RS232 + m)) {
      mode = (signed char)m;
      break;
    }
  }
  Data->PortMode[port] = mode;

  // The combo is preselected with the port's own number and disabled; a
  // number beyond its entries leaves it without a selection, and the port
  // keeps its number then.
  LRESULT selection = SendMessageA(GetDlgItem(Dialog, IDC_COM_COMBO), CB_GETCURSEL, 0, 0);
  if (selection != CB_ERR) {
    Data->ComNumber[port] = (LONG)selection + 1;
  }
}

INT_PTR CALLBACK ChangePortDlgProc(HWND Dialog, UINT Message, WPARAM WParam, LPARAM LParam) {
  if (Message == WM_INITDIALOG) {
    ChangePortOnInitDialog(Dialog, (PPORT_PAGE_DATA)LParam);
    return FALSE;  // no focus set here
  }
  if (Message != WM_COMMAND) {
    return FALSE;
  }
  PPORT_PAGE_DATA data = (PPORT_PAGE_DATA)GetUserSlot(Dialog);
  if (data == NULL) {
    return FALSE;
  }
  if (WParam == IDOK) {
    ChangePortOnOk(Dialog, data);
    EndDialog(Dialog, 1);
    return TRUE;
  }
  if (WParam == IDCANCEL) {
    EndDialog(Dialog, 0);
  }
  return FALSE;
}
