// USER32 dialog manager: dialogs built from templates, DefDlgProcA, modal
// loops driven by the scripted user, and the dialog helper calls.
#include <cstring>
#include <deque>

#include "host/faults.h"
#include "win32_internal.h"

namespace host {
namespace win32 {

namespace {

// Each thread runs its own modal loops and has its own scripted user, as
// windows and their input belong to the thread that made them.
thread_local std::vector<HWND> g_modalStack;
thread_local std::deque<UserAction> g_script;
int g_failDialogBoxNth = 0;

// An armed FailDialogBoxNth that comes due.
bool DialogBoxFails() {
  if (g_failDialogBoxNth > 0 && --g_failDialogBoxNth == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return true;
  }
  return false;
}

const char* ClassForOrdinal(WORD ordinal) {
  switch (ordinal) {
    case 0x80: return "Button";
    case 0x81: return "Edit";
    case 0x82: return "Static";
    case 0x83: return "ListBox";
    case 0x84: return "ScrollBar";
    case 0x85: return "ComboBox";
    default: return nullptr;
  }
}

std::shared_ptr<DialogFont> MakeFont(const DialogTemplate& t) {
  auto font = std::make_shared<DialogFont>();
  if (t.hasFont) {
    font->faceName = t.faceName;
    font->pointSize = t.pointSize;
    // Average character width and height of the face at 96 dots per inch;
    // "MS Shell Dlg" at 8 points gives the familiar 6 by 13.
    font->baseX = (t.pointSize * 3 + 2) / 4;
    font->baseY = (t.pointSize * 13 + 4) / 8;
    if (font->baseX < 1) font->baseX = 1;
    if (font->baseY < 1) font->baseY = 1;
  }
  return font;
}

Window* Get(HWND hwnd) { return FindWindowObject(hwnd).get(); }

HWND ChildById(HWND dialog, int id) {
  Window* w = Get(dialog);
  if (w == nullptr) return nullptr;
  for (HWND child : w->children) {
    Window* c = Get(child);
    if (c && static_cast<LONG_PTR>(c->id) == static_cast<LONG_PTR>(id)) return child;
  }
  return nullptr;
}

bool TakesInput(HWND hwnd) {
  Window* w = Get(hwnd);
  return w && (w->style & (WS_VISIBLE | WS_DISABLED)) == WS_VISIBLE;
}

HWND FindDefaultButton(HWND dialog) {
  Window* w = Get(dialog);
  if (w == nullptr) return nullptr;
  for (HWND child : w->children)
    if (SendMessageA(child, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON) return child;
  return nullptr;
}

void SetDefaultId(HWND dialog, int id) {
  Window* w = Get(dialog);
  if (w == nullptr) return;
  if (w->defId != 0) {
    HWND old = ChildById(dialog, w->defId);
    if (old && (SendMessageA(old, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON))
      SendMessageA(old, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
  }
  if ((w = Get(dialog)) == nullptr) return;
  w->defId = id;
  HWND button = ChildById(dialog, id);
  if (button && (SendMessageA(button, WM_GETDLGCODE, 0, 0) & DLGC_UNDEFPUSHBUTTON))
    SendMessageA(button, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
}

}  // namespace

// One DefDlgProcA call in progress on this thread. DefDlgProc documents that
// a dialog procedure must not call it, since the call recurses into the
// procedure; a procedure that does so anyway and then answers FALSE has the
// message given the default processing a second time by the outer call (on
// WM_NCDESTROY that frees the dialog's data twice). DefaultProcessing finds
// that: an inner call for the same window and message, made while the same
// delivery of it was handled (not a new one sent meanwhile), already did it.
thread_local std::vector<DefDlgFrame*> t_defDlgFrames;

DefDlgFrame::DefDlgFrame(HWND hwnd, UINT msg)
    : hwnd_(hwnd), msg_(msg), delivery_(CurrentDelivery()) {
  t_defDlgFrames.push_back(this);
}

DefDlgFrame::~DefDlgFrame() { t_defDlgFrames.pop_back(); }

void DefDlgFrame::DefaultProcessing() {
  if (defaultDone_)
    Finding("message " + Hex(msg_) + " to dialog " + DescribeWindow(hwnd_) +
            " was given the default dialog processing twice: its dialog procedure called "
            "DefDlgProcA for it and then returned FALSE");
  for (DefDlgFrame* outer : t_defDlgFrames)
    if (outer != this && outer->hwnd_ == hwnd_ && outer->msg_ == msg_ &&
        outer->delivery_ == delivery_)
      outer->defaultDone_ = true;
}

namespace {

// The dialog's data, made when `create` and there is none yet.
std::shared_ptr<DialogInfo> DialogInfoOf(HWND hwnd, bool create) {
  std::shared_ptr<Window> w = FindWindowObject(hwnd);
  if (!w) return nullptr;
  if (!w->dialogInfo && create) w->dialogInfo = std::make_shared<DialogInfo>();
  return w->dialogInfo;
}

// The dialog manager's default processing of the messages it handles itself,
// with the dialog's data as DefDlgProcA took it when it was called. As on the
// platform, that data may have been freed meanwhile by a nested DefDlgProcA
// for WM_NCDESTROY; using it then is a use of freed memory, and freeing it
// again a double free.
LRESULT DefaultDialogProcessing(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                const std::shared_ptr<DialogInfo>& info) {
  if (info && info->freed) {
    Finding(std::string(msg == WM_NCDESTROY ? "dialog data and font freed twice"
                                            : "dialog data used after it was freed") +
            ": message " + Hex(msg) + " to " + DescribeWindow(hwnd) +
            " reached the default dialog processing after a nested DefDlgProcA had freed them "
            "at WM_NCDESTROY");
    return msg == WM_NCDESTROY ? DefWindowProcA(hwnd, msg, wParam, lParam) : 0;
  }
  if (msg == WM_NCDESTROY) {
    if (info) {
      info->freed = true;
      info->font = nullptr;
      if (std::shared_ptr<Window> w = FindWindowObject(hwnd)) w->dialogInfo = nullptr;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  Window* w = Get(hwnd);
  if (w == nullptr) return 0;
  switch (msg) {
    case WM_ERASEBKGND: {
      // The dialog's background comes from its own WM_CTLCOLORDLG answer.
      LRESULT brush = SendMessageA(hwnd, WM_CTLCOLORDLG, wParam, reinterpret_cast<LPARAM>(hwnd));
      if (brush == 0 && IsWindow(hwnd))
        brush = DefWindowProcA(hwnd, WM_CTLCOLORDLG, wParam, reinterpret_cast<LPARAM>(hwnd));
      if (!IsBrush(brush))
        Finding("the answer to WM_CTLCOLORDLG of " + DescribeWindow(hwnd) + " is " +
                Hex(static_cast<uintptr_t>(brush)) + ", not a brush: the dialog would paint with it");
      return 1;
    }
    case WM_ACTIVATE:
    case WM_SETFOCUS:
      return 0;
    case DM_SETDEFID:
      if (w->ended) return FALSE;
      SetDefaultId(hwnd, static_cast<int>(wParam));
      return TRUE;
    case DM_GETDEFID: {
      if (w->ended) return 0;
      if (w->defId != 0) return MAKELONG(w->defId, DC_HASDEFID);
      HWND button = FindDefaultButton(hwnd);
      if (button) return MAKELONG(GetDlgCtrlID(button), DC_HASDEFID);
      return 0;
    }
    case WM_NEXTDLGCTL:
      if (LOWORD(lParam)) SetFocus(reinterpret_cast<HWND>(wParam));
      else SetFocus(GetNextDlgTabItem(hwnd, GetFocus(), wParam != 0));
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(info ? info->font : nullptr);
    case WM_CLOSE: {
      // The close box means Cancel, unless the Cancel button is disabled.
      HWND cancel = ChildById(hwnd, IDCANCEL);
      if (cancel == nullptr || IsWindowEnabled(cancel))
        PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(cancel));
      return 0;
    }
    default:
      return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

INT_PTR DialogBoxFromTemplate(HINSTANCE instance, const BYTE* bytes, size_t size, HWND owner,
                              DLGPROC proc, LPARAM param) {
  // "If the function fails because the hWndParent parameter is invalid, the
  // return value is zero" (DialogBoxParam), for compatibility.
  if (owner != nullptr && !IsWindow(owner)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  // The owner of a modal dialog is a top-level window, disabled while the
  // dialog runs.
  HWND root = owner ? GetAncestor(owner, GA_ROOT) : nullptr;
  HWND disabled = nullptr;
  if (root && IsWindowEnabled(root)) {
    disabled = root;
    EnableWindow(root, FALSE);
  }
  HWND dialog = CreateDialogFromTemplate(instance, bytes, size, root, proc, param, true);
  if (dialog == nullptr) {
    if (disabled) EnableWindow(disabled, TRUE);
    return -1;
  }
  // Re-enabled by EndDialog, or when the modal loop ends (also after an
  // EndDialog from WM_INITDIALOG).
  if (Window* w = Get(dialog)) w->disabledOwner = disabled;
  return RunModalDialog(dialog);
}

}  // namespace

const ResourceEntry* FindDialogResource(HINSTANCE instance, LPCSTR name) {
  return FindResourceEntry(instance, name, RT_DIALOG);
}

HWND CreateDialogFromTemplate(HINSTANCE instance, const BYTE* bytes, size_t size, HWND owner,
                              DLGPROC proc, LPARAM param, bool modal) {
  std::optional<DialogTemplate> t = ParseDialogTemplate(bytes, size);
  if (!t) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD style = t->style;
  DWORD exStyle = t->exStyle;
  if (modal) style &= ~WS_CHILD;  // a modal dialog is always a top-level window
  if (style & DS_MODALFRAME) exStyle |= WS_EX_DLGMODALFRAME;
  if (style & DS_CONTROL) exStyle |= WS_EX_CONTROLPARENT;

  std::string className = "#32770";
  LPCSTR classArg = className.c_str();
  if (t->windowClass.isOrdinal) classArg = MAKEINTATOM(t->windowClass.ordinal);
  else if (!t->windowClass.name.empty()) classArg = t->windowClass.name.c_str();

  std::shared_ptr<DialogFont> font = MakeFont(*t);
  HWND dialog = CreateWindowExA(exStyle, classArg, t->caption.c_str(), style & ~WS_VISIBLE,
                                MulDiv(t->x, font->baseX, 4), MulDiv(t->y, font->baseY, 8),
                                MulDiv(t->cx, font->baseX, 4), MulDiv(t->cy, font->baseY, 8),
                                owner, nullptr, instance, nullptr);
  if (dialog == nullptr) return nullptr;
  Window* w = Get(dialog);
  w->isDialog = true;
  w->dialogFont = font;
  if (std::shared_ptr<DialogInfo> info = DialogInfoOf(dialog, true))
    info->font = t->hasFont ? reinterpret_cast<HFONT>(font.get()) : nullptr;
  w->hasTemplateRect = true;
  w->templateRect = RECT{t->x, t->y, t->x + t->cx, t->y + t->cy};
  if (w->extra.size() >= DLGWINDOWEXTRA)
    SetWindowLongPtrA(dialog, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(proc));
  HFONT hfont = t->hasFont ? reinterpret_cast<HFONT>(font.get()) : nullptr;
  if (hfont) SendMessageA(dialog, WM_SETFONT, reinterpret_cast<WPARAM>(hfont), 0);

  for (const DialogItemTemplate& item : t->items) {
    if (!IsWindow(dialog)) return nullptr;
    LPCSTR itemClass;
    if (item.windowClass.isOrdinal) {
      const char* known = ClassForOrdinal(item.windowClass.ordinal);
      itemClass = known ? known : MAKEINTATOM(item.windowClass.ordinal);
    } else {
      itemClass = item.windowClass.name.c_str();
    }
    std::string text = item.text.isOrdinal ? std::string() : item.text.name;
    // Creation data reaches the control as its WORD count followed by the
    // bytes, as in the template.
    std::vector<BYTE> creation;
    if (!item.creationData.empty()) {
      WORD n = static_cast<WORD>(item.creationData.size());
      creation.push_back(static_cast<BYTE>(n & 0xFF));
      creation.push_back(static_cast<BYTE>(n >> 8));
      creation.insert(creation.end(), item.creationData.begin(), item.creationData.end());
    }
    HWND control = CreateWindowExA(
        item.exStyle | WS_EX_NOPARENTNOTIFY, itemClass, text.c_str(), item.style | WS_CHILD,
        MulDiv(item.x, font->baseX, 4), MulDiv(item.y, font->baseY, 8),
        MulDiv(item.cx, font->baseX, 4), MulDiv(item.cy, font->baseY, 8), dialog,
        reinterpret_cast<HMENU>(static_cast<UINT_PTR>(item.id)), instance,
        creation.empty() ? nullptr : creation.data());
    if (control == nullptr) {
      if (!(style & DS_NOFAILCREATE)) {
        if (IsWindow(dialog)) DestroyWindow(dialog);
        return nullptr;
      }
      continue;
    }
    if (Window* c = Get(control)) {
      c->hasTemplateRect = true;
      c->templateRect = RECT{item.x, item.y, item.x + item.cx, item.y + item.cy};
    }
    if (hfont) SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(hfont), 0);
    Window* d = Get(dialog);
    if (d && d->defId == 0 && (SendMessageA(control, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON))
      d->defId = static_cast<int>(item.id);
  }
  if (!IsWindow(dialog)) return nullptr;

  HWND focus = GetNextDlgTabItem(dialog, nullptr, FALSE);
  LRESULT setFocus = SendMessageA(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), param);
  if (!IsWindow(dialog)) return nullptr;
  // TRUE asks the dialog manager for the default focus: the first tab stop.
  if (setFocus && (!(style & DS_CONTROL) || (t->style & WS_VISIBLE))) {
    focus = GetNextDlgTabItem(dialog, nullptr, FALSE);
    if (focus) SetFocus(focus);
  }
  if (!modal && (t->style & WS_VISIBLE) && !IsWindowVisible(dialog)) ShowWindow(dialog, SW_SHOWNORMAL);
  return dialog;
}

INT_PTR RunModalDialog(HWND dialog) {
  std::shared_ptr<Window> w = FindWindowObject(dialog);
  if (!w) return -1;
  struct ModalScope {
    explicit ModalScope(HWND d) { g_modalStack.push_back(d); }
    ~ModalScope() {
      if (!g_modalStack.empty()) g_modalStack.pop_back();
    }
  } scope(dialog);
  if (!w->ended && !(w->style & WS_VISIBLE)) ShowWindow(dialog, SW_SHOWNORMAL);
  try {
    for (;;) {
      while (DispatchOnePosted()) {
      }
      if (w->alive && !w->ended) PaintPending();
      while (DispatchOnePosted()) {
      }
      if (!w->alive || w->ended) break;
      UserAction action;
      if (!PopUserAction(&action))
        throw UserScriptExhausted("the modal dialog \"" + w->text +
                                  "\" waits for the user, and no user action is queued");
      PerformUserAction(dialog, action);
    }
  } catch (...) {
    // The test has failed; give the owner back its input at least.
    if (w->disabledOwner && IsWindow(w->disabledOwner)) EnableWindow(w->disabledOwner, TRUE);
    w->disabledOwner = nullptr;
    throw;
  }
  // A dialog destroyed without EndDialog ends the loop with 0, as the
  // platform's modal loop returns when its window is gone (Wine's
  // DIALOG_DoDialogBox: "if (!IsWindow(hwnd)) return 0").
  INT_PTR result = w->ended ? w->result : 0;
  if (w->disabledOwner && IsWindow(w->disabledOwner) && !IsWindowEnabled(w->disabledOwner))
    EnableWindow(w->disabledOwner, TRUE);
  w->disabledOwner = nullptr;
  if (w->alive) DestroyWindow(dialog);
  return result;
}

// ---------------------------------------------------------------------------
// The scripted user.

std::string UserAction::Describe() const {
  switch (type) {
    case Click: return "Click(" + std::to_string(id) + ")";
    case SelectList: return "SelectListItem(" + std::to_string(id) + ", " + std::to_string(index) + ")";
    case DoubleClickList:
      return "DoubleClickListItem(" + std::to_string(id) + ", " + std::to_string(index) + ")";
    case DoubleClickEmptyList: return "DoubleClickEmptyList(" + std::to_string(id) + ")";
    case Help: return "PressF1(" + std::to_string(id) + ")";
    case RightClick: return "RightClick(" + std::to_string(id) + ")";
    case SelectCombo: return "SelectComboItem(" + std::to_string(id) + ", " + std::to_string(index) + ")";
    case Enter: return "PressEnter()";
    case Escape: return "PressEscape()";
    case CloseBox: return "PressCloseBox()";
    case Inspect: return "Inspect()";
  }
  return "?";
}

bool PopUserAction(UserAction* action) {
  if (g_script.empty()) return false;
  *action = g_script.front();
  g_script.pop_front();
  return true;
}

// F1 or a right click on a window: F1 sends WM_HELP to it, the right button
// WM_RBUTTONDOWN and WM_RBUTTONUP (which DefWindowProcA turns into
// WM_CONTEXTMENU); DefWindowProcA passes both up the window chain.
void PointerAction(HWND target, UserAction::Type type) {
  if (type == UserAction::Help) {
    HELPINFO info{};
    info.cbSize = sizeof(info);
    info.iContextType = HELPINFO_WINDOW;
    info.iCtrlId = GetDlgCtrlID(target);
    info.hItemHandle = target;
    SendMessageA(target, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    return;
  }
  SendMessageA(target, WM_RBUTTONDOWN, 0, MAKELONG(2, 2));
  if (IsWindow(target)) SendMessageA(target, WM_RBUTTONUP, 0, MAKELONG(2, 2));
}

void PerformUserAction(HWND dialog, const UserAction& action) {
  std::shared_ptr<Window> d = FindWindowObject(dialog);
  if (!d) throw UserScriptError(action.Describe() + ": the dialog is gone");
  if (action.type == UserAction::Inspect) {
    if (action.inspect) action.inspect(dialog);
    return;
  }
  if (!IsWindowVisible(dialog))
    throw UserScriptError(action.Describe() + ": the dialog \"" + d->text + "\" is not shown");
  if (!IsWindowEnabled(dialog)) return;  // input does not reach a disabled dialog

  switch (action.type) {
    case UserAction::Enter:
    case UserAction::Escape:
    case UserAction::CloseBox:
      if (PropertySheet::Impl* sheet = SheetOfPage(dialog)) {
        SheetKey(sheet, action.type);
        return;
      }
      break;
    case UserAction::Help:
      // The sheet offers a key to its page before it acts on it.
      if (PropertySheet::Impl* sheet = SheetOfPage(dialog))
        if (SheetKey(sheet, action.type)) return;
      break;
    default:
      break;
  }
  if (action.id == 0 && (action.type == UserAction::Help || action.type == UserAction::RightClick)) {
    PointerAction(dialog, action.type);
    return;
  }

  switch (action.type) {
    case UserAction::Enter: {
      LRESULT def = SendMessageA(dialog, DM_GETDEFID, 0, 0);
      if (HIWORD(def) == DC_HASDEFID) {
        HWND button = ChildById(dialog, LOWORD(def));
        if (button == nullptr || IsWindowEnabled(button))
          SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(LOWORD(def), BN_CLICKED),
                       reinterpret_cast<LPARAM>(button));
      } else {
        SendMessageA(dialog, WM_COMMAND, IDOK, reinterpret_cast<LPARAM>(ChildById(dialog, IDOK)));
      }
      return;
    }
    case UserAction::Escape:
      SendMessageA(dialog, WM_COMMAND, IDCANCEL, reinterpret_cast<LPARAM>(ChildById(dialog, IDCANCEL)));
      return;
    case UserAction::CloseBox:
      if ((d->style & WS_CAPTION) != WS_CAPTION || !(d->style & WS_SYSMENU))
        throw UserScriptError(action.Describe() + ": the dialog \"" + d->text + "\" has no close box");
      SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
      return;
    default:
      break;
  }

  HWND control = ChildById(dialog, action.id);
  if (control == nullptr)
    throw UserScriptError(action.Describe() + ": the dialog \"" + d->text + "\" has no control " +
                          std::to_string(action.id));
  std::shared_ptr<Window> c = FindWindowObject(control);
  Kind kind = c->cls->kind;
  switch (action.type) {
    case UserAction::Click:
      if (kind != Kind::Button && kind != Kind::Static)
        throw UserScriptError(action.Describe() + ": control " + std::to_string(action.id) +
                              " is a " + c->cls->name + ", not a button");
      break;
    case UserAction::SelectList:
    case UserAction::DoubleClickList:
    case UserAction::DoubleClickEmptyList:
      if (kind != Kind::ListBox)
        throw UserScriptError(action.Describe() + ": control " + std::to_string(action.id) +
                              " is a " + c->cls->name + ", not a list box");
      break;
    case UserAction::SelectCombo:
      if (kind != Kind::ComboBox)
        throw UserScriptError(action.Describe() + ": control " + std::to_string(action.id) +
                              " is a " + c->cls->name + ", not a combo box");
      break;
    default:
      break;
  }
  if (action.type == UserAction::DoubleClickEmptyList && !c->items.empty())
    throw UserScriptError(action.Describe() + ": control " + std::to_string(action.id) + " has " +
                          std::to_string(c->items.size()) + " line(s)");
  bool indexed = action.type == UserAction::SelectList || action.type == UserAction::DoubleClickList ||
                 action.type == UserAction::SelectCombo;
  if (indexed && (action.index < 0 || action.index >= static_cast<int>(c->items.size())))
    throw UserScriptError(action.Describe() + ": control " + std::to_string(action.id) + " has " +
                          std::to_string(c->items.size()) + " line(s)");
  if (!TakesInput(control) || !IsWindowVisible(control)) return;  // no input reaches it

  switch (action.type) {
    case UserAction::Click:
      if (kind == Kind::Button) ButtonClick(control);
      else if (c->style & SS_NOTIFY) NotifyParent(control, STN_CLICKED);
      return;
    case UserAction::SelectList:
      ListBoxUserSelect(control, action.index, false);
      return;
    case UserAction::DoubleClickList:
      ListBoxUserSelect(control, action.index, true);
      return;
    case UserAction::DoubleClickEmptyList:
      ListBoxUserSelect(control, -1, true);
      return;
    case UserAction::Help:
    case UserAction::RightClick:
      PointerAction(control, action.type);
      return;
    case UserAction::SelectCombo:
      ComboBoxUserSelect(control, action.index);
      return;
    default:
      return;
  }
}

void ResetUserScript() {
  g_script.clear();
  g_modalStack.clear();
  g_failDialogBoxNth = 0;
}

void UserScriptEndChecks(std::vector<std::string>& out, Win32Counts& counts) {
  counts.pendingUserActions += g_script.size();
  if (g_script.empty()) return;
  std::string list;
  for (auto& action : g_script) list += (list.empty() ? "" : ", ") + action.Describe();
  out.push_back("user actions never performed: " + list);
}

}  // namespace win32

// ---------------------------------------------------------------------------
// Host API.

namespace {
UserScript& Push(UserScript& script, win32::UserAction::Type type, int id, int index) {
  win32::UserAction action;
  action.type = type;
  action.id = id;
  action.index = index;
  win32::g_script.push_back(action);
  return script;
}
}  // namespace

UserScript& UserScript::Click(int controlId) { return Push(*this, win32::UserAction::Click, controlId, 0); }
UserScript& UserScript::SelectListItem(int controlId, int index) {
  return Push(*this, win32::UserAction::SelectList, controlId, index);
}
UserScript& UserScript::DoubleClickListItem(int controlId, int index) {
  return Push(*this, win32::UserAction::DoubleClickList, controlId, index);
}
UserScript& UserScript::SelectComboItem(int controlId, int index) {
  return Push(*this, win32::UserAction::SelectCombo, controlId, index);
}
UserScript& UserScript::DoubleClickEmptyList(int controlId) {
  return Push(*this, win32::UserAction::DoubleClickEmptyList, controlId, 0);
}
UserScript& UserScript::PressF1(int controlId) { return Push(*this, win32::UserAction::Help, controlId, 0); }
UserScript& UserScript::RightClick(int controlId) {
  return Push(*this, win32::UserAction::RightClick, controlId, 0);
}
UserScript& UserScript::PressEnter() { return Push(*this, win32::UserAction::Enter, 0, 0); }
UserScript& UserScript::PressEscape() { return Push(*this, win32::UserAction::Escape, 0, 0); }
UserScript& UserScript::PressCloseBox() { return Push(*this, win32::UserAction::CloseBox, 0, 0); }
UserScript& UserScript::Inspect(std::function<void(HWND dialog)> inspect) {
  Push(*this, win32::UserAction::Inspect, 0, 0);
  win32::g_script.back().inspect = std::move(inspect);
  return *this;
}
size_t UserScript::Pending() const { return win32::g_script.size(); }
std::vector<std::string> UserScript::PendingDescriptions() const {
  std::vector<std::string> out;
  for (auto& action : win32::g_script) out.push_back(action.Describe());
  return out;
}
void UserScript::Clear() { win32::g_script.clear(); }

UserScript& User() {
  static UserScript script;
  return script;
}

void RunUserActions(HWND dialog) {
  for (;;) {
    while (win32::DispatchOnePosted()) {
    }
    win32::PaintPending();
    if (!IsWindow(dialog)) return;
    win32::UserAction action;
    if (!win32::PopUserAction(&action)) return;
    win32::PerformUserAction(dialog, action);
  }
}

std::vector<HWND> ModalDialogs() { return win32::g_modalStack; }

void FailDialogBoxNth(int n) { win32::g_failDialogBoxNth = n; }

}  // namespace host

namespace w = host::win32;

extern "C" {

LRESULT WINAPI DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<w::Window> win = w::FindWindowObject(hDlg);
  if (!win) return 0;
  if (win->extra.size() < DLGWINDOWEXTRA) return DefWindowProcA(hDlg, Msg, wParam, lParam);
  // The dialog's data is taken (made if need be) before the procedure runs.
  std::shared_ptr<w::DialogInfo> info = w::DialogInfoOf(hDlg, true);
  SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, 0);
  DLGPROC proc = reinterpret_cast<DLGPROC>(GetWindowLongPtrA(hDlg, DWLP_DLGPROC));
  w::DefDlgFrame frame(hDlg, Msg);
  INT_PTR result = proc ? proc(hDlg, Msg, wParam, lParam) : 0;
  // The dialog procedure comes first; the default processing runs only when
  // it returns FALSE.
  if (!result && IsWindow(hDlg)) {
    switch (Msg) {
      case WM_ERASEBKGND:
      case WM_SHOWWINDOW:
      case WM_ACTIVATE:
      case WM_SETFOCUS:
      case DM_SETDEFID:
      case DM_GETDEFID:
      case WM_NEXTDLGCTL:
      case WM_GETFONT:
      case WM_CLOSE:
      case WM_NCDESTROY:
      case WM_ENTERMENULOOP:
      case WM_LBUTTONDOWN:
      case WM_NCLBUTTONDOWN:
        frame.DefaultProcessing();
        return w::DefaultDialogProcessing(hDlg, Msg, wParam, lParam, info);
      case WM_INITDIALOG:
      case WM_VKEYTOITEM:
      case WM_COMPAREITEM:
      case WM_CHARTOITEM:
        break;
      default:
        frame.DefaultProcessing();
        return DefWindowProcA(hDlg, Msg, wParam, lParam);
    }
  }
  // These messages return the procedure's own result; all others the
  // DWLP_MSGRESULT slot.
  if ((Msg >= WM_CTLCOLORMSGBOX && Msg <= WM_CTLCOLORSTATIC) || Msg == WM_COMPAREITEM ||
      Msg == WM_VKEYTOITEM || Msg == WM_CHARTOITEM || Msg == WM_QUERYDRAGICON ||
      Msg == WM_INITDIALOG)
    return result;
  if (!IsWindow(hDlg)) return 0;
  return GetWindowLongPtrA(hDlg, DWLP_MSGRESULT);
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  if (w::DialogBoxFails()) return -1;
  // The dialog cannot be created (no memory for its windows): -1.
  if (host::FaultDue(host::FaultKind::UserDialogBox)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  const w::ResourceEntry* entry = w::FindDialogResource(hInstance, lpTemplateName);
  if (entry == nullptr) return -1;
  return w::DialogBoxFromTemplate(hInstance, entry->data.data(), entry->data.size(), hWndParent,
                                  lpDialogFunc, dwInitParam);
}

INT_PTR WINAPI DialogBoxIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA hDialogTemplate,
                                       HWND hWndParent, DLGPROC lpDialogFunc,
                                       LPARAM dwInitParam) {
  if (w::DialogBoxFails()) return -1;
  if (hDialogTemplate == NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  return w::DialogBoxFromTemplate(hInstance, reinterpret_cast<const BYTE*>(hDialogTemplate),
                                  SIZE_MAX / 2, hWndParent, lpDialogFunc, dwInitParam);
}

HWND WINAPI CreateDialogParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  const w::ResourceEntry* entry = w::FindDialogResource(hInstance, lpTemplateName);
  if (entry == nullptr) return NULL;
  if (hWndParent != NULL && !IsWindow(hWndParent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
  }
  return w::CreateDialogFromTemplate(hInstance, entry->data.data(), entry->data.size(), hWndParent,
                                     lpDialogFunc, dwInitParam, false);
}

HWND WINAPI CreateDialogIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA lpTemplate,
                                       HWND hWndParent, DLGPROC lpDialogFunc,
                                       LPARAM dwInitParam) {
  if (lpTemplate == NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  if (hWndParent != NULL && !IsWindow(hWndParent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
  }
  return w::CreateDialogFromTemplate(hInstance, reinterpret_cast<const BYTE*>(lpTemplate),
                                     SIZE_MAX / 2, hWndParent, lpDialogFunc, dwInitParam, false);
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  std::shared_ptr<w::Window> win = w::FindWindowObject(hDlg);
  if (!win || !win->isDialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  win->result = nResult;
  win->ended = true;
  if (win->disabledOwner && IsWindow(win->disabledOwner)) EnableWindow(win->disabledOwner, TRUE);
  win->disabledOwner = nullptr;
  win->style &= ~WS_VISIBLE;
  return TRUE;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  if (!IsWindow(hDlg)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
  }
  HWND control = w::ChildById(hDlg, nIDDlgItem);
  if (control == nullptr) SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return control;
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
  std::shared_ptr<w::Window> win = w::FindWindowObject(hWnd);
  if (!win) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (!(win->style & WS_CHILD)) return 0;
  return static_cast<int>(win->id);
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam,
                                   LPARAM lParam) {
  HWND control = GetDlgItem(hDlg, nIDDlgItem);
  if (control == NULL) return 0;
  return SendMessageA(control, Msg, wParam, lParam);
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
  HWND control = GetDlgItem(hDlg, nIDDlgItem);
  if (control == NULL) return FALSE;
  return SetWindowTextA(control, lpString);
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
  HWND control = GetDlgItem(hDlg, nIDDlgItem);
  if (control == NULL) {
    if (lpString && cchMax > 0) lpString[0] = '\0';
    return 0;
  }
  return static_cast<UINT>(GetWindowTextA(control, lpString, cchMax));
}

BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
  HWND control = GetDlgItem(hDlg, nIDButton);
  if (control == NULL) return FALSE;
  SendMessageA(control, BM_SETCHECK, uCheck, 0);
  return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton) {
  HWND control = GetDlgItem(hDlg, nIDButton);
  if (control == NULL) return 0;
  return static_cast<UINT>(SendMessageA(control, BM_GETCHECK, 0, 0));
}

BOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton,
                             int nIDCheckButton) {
  std::shared_ptr<w::Window> dialog = w::FindWindowObject(hDlg);
  if (!dialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  std::vector<HWND> children = dialog->children;
  for (HWND child : children) {
    int id = GetDlgCtrlID(child);
    if (id >= nIDFirstButton && id <= nIDLastButton)
      SendMessageA(child, BM_SETCHECK, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  return TRUE;
}

HWND WINAPI GetNextDlgGroupItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
  std::shared_ptr<w::Window> dialog = w::FindWindowObject(hDlg);
  if (!dialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
  }
  if (hCtl == NULL) {
    if (bPrevious || dialog->children.empty()) return NULL;
    hCtl = dialog->children.front();
    if (w::TakesInput(hCtl)) return hCtl;
  }
  if (!IsChild(hDlg, hCtl)) return NULL;
  std::vector<HWND> group = w::DialogGroupOf(hCtl);
  int n = static_cast<int>(group.size());
  int at = 0;
  while (at < n && group[at] != hCtl) ++at;
  for (int k = 1; k < n; ++k) {
    int i = bPrevious ? (at - k + n) % n : (at + k) % n;
    if (w::TakesInput(group[i])) return group[i];
  }
  return hCtl;
}

HWND WINAPI GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
  std::shared_ptr<w::Window> dialog = w::FindWindowObject(hDlg);
  if (!dialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
  }
  const std::vector<HWND>& all = dialog->children;
  int n = static_cast<int>(all.size());
  if (n == 0) return NULL;
  int at = -1;
  for (int i = 0; i < n; ++i)
    if (all[i] == hCtl) at = i;
  for (int k = 1; k <= n; ++k) {
    int i;
    if (at < 0) i = bPrevious ? n - k : k - 1;
    else i = bPrevious ? (at - k + n) % n : (at + k) % n;
    std::shared_ptr<w::Window> c = w::FindWindowObject(all[i]);
    if (c && (c->style & WS_TABSTOP) && w::TakesInput(all[i])) return all[i];
  }
  return hCtl;
}

BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect) {
  std::shared_ptr<w::Window> dialog = w::FindWindowObject(hDlg);
  if (!dialog || !dialog->isDialog || lpRect == NULL) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  int bx = dialog->dialogFont ? dialog->dialogFont->baseX : 8;
  int by = dialog->dialogFont ? dialog->dialogFont->baseY : 16;
  lpRect->left = MulDiv(lpRect->left, bx, 4);
  lpRect->right = MulDiv(lpRect->right, bx, 4);
  lpRect->top = MulDiv(lpRect->top, by, 8);
  lpRect->bottom = MulDiv(lpRect->bottom, by, 8);
  return TRUE;
}

}  // extern "C"
