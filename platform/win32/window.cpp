// USER32 window manager: classes, windows, window data, messages, focus.
#include <cctype>
#include <cstring>
#include <deque>
#include <mutex>

#include "win32_internal.h"

namespace host {
namespace win32 {

namespace {

// Windows belong to the thread that made them: each thread has its own
// top-level windows, focus and message queue, and works only on its own
// windows. The handle table and the classes are shared, under a lock held
// only while they are looked up or changed, never while a window procedure
// runs.
std::recursive_mutex g_tableMutex;
std::map<HWND, std::shared_ptr<Window>> g_windows;
thread_local std::vector<HWND> g_topLevel;  // creation order
uintptr_t g_nextHwnd = 0x10010;
std::map<std::string, std::shared_ptr<WindowClass>> g_classes;  // upper-case name
ATOM g_nextAtom = 0xC000;
thread_local HWND g_focus = nullptr;
MessageHook g_hook;
thread_local std::deque<MSG> g_posted;
std::vector<MessageBoxRecord> g_messageBoxes;

using TableLock = std::lock_guard<std::recursive_mutex>;

// Each message handed to a window procedure gets a number; calls a procedure
// makes itself while it handles the message carry the same number.
thread_local uint64_t t_deliveries = 0;
thread_local uint64_t t_delivery = 0;

std::string Upper(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

void AddSystemClass(const char* name, WNDPROC proc, int extra, Kind kind, ATOM atom) {
  TableLock lock(g_tableMutex);
  auto cls = std::make_shared<WindowClass>();
  cls->name = name;
  cls->proc = proc;
  cls->wndExtra = extra;
  cls->kind = kind;
  cls->system = true;
  cls->atom = atom;
  g_classes[Upper(name)] = cls;
}

void EnsureSystemClasses() {
  TableLock lock(g_tableMutex);
  if (g_classes.count("#32770")) return;
  AddSystemClass("#32770", DefDlgProcA, DLGWINDOWEXTRA, Kind::Dialog, 0x8002);
  AddSystemClass("Button", ButtonProc, 0, Kind::Button, 0);
  AddSystemClass("Edit", EditProc, 0, Kind::Edit, 0);
  AddSystemClass("Static", StaticProc, 0, Kind::Static, 0);
  AddSystemClass("ListBox", ListBoxProc, 0, Kind::ListBox, 0);
  AddSystemClass("ScrollBar", ScrollBarProc, 0, Kind::ScrollBar, 0);
  AddSystemClass("ComboBox", ComboBoxProc, 0, Kind::ComboBox, 0);
}

std::shared_ptr<WindowClass> FindClass(LPCSTR name) {
  EnsureSystemClasses();
  TableLock lock(g_tableMutex);
  if (name == nullptr) return nullptr;
  if (IS_INTRESOURCE(name)) {
    ATOM atom = static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name));
    for (auto& entry : g_classes)
      if (entry.second->atom == atom) return entry.second;
    return nullptr;
  }
  auto it = g_classes.find(Upper(name));
  return it == g_classes.end() ? nullptr : it->second;
}

Window* Get(HWND hwnd) {
  TableLock lock(g_tableMutex);
  auto it = g_windows.find(hwnd);
  return it == g_windows.end() ? nullptr : it->second.get();
}

std::vector<HWND>& Siblings(const Window& w) {
  if (w.parent) {
    Window* parent = Get(w.parent);
    if (parent) return parent->children;
  }
  return g_topLevel;
}

void Unlink(Window& w) {
  auto& list = Siblings(w);
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (*it == w.handle) {
      list.erase(it);
      break;
    }
  }
}

// WM_DESTROY goes to a window before its children.
void SendDestroy(HWND hwnd) {
  Window* w = Get(hwnd);
  if (w == nullptr) return;
  Deliver(hwnd, WM_DESTROY, 0, 0);
  w = Get(hwnd);
  if (w == nullptr) return;
  std::vector<HWND> children = w->children;
  for (HWND child : children) {
    Window* c = Get(child);
    if (c == nullptr) continue;
    c->destroying = true;
    SendDestroy(child);
  }
}

// WM_NCDESTROY goes to the children first; then the window is gone.
void FreeTree(HWND hwnd) {
  Window* w = Get(hwnd);
  if (w == nullptr) return;
  std::vector<HWND> children = w->children;
  for (HWND child : children) FreeTree(child);
  Deliver(hwnd, WM_NCDESTROY, 0, 0);
  std::shared_ptr<Window> keep = FindWindowObject(hwnd);
  if (!keep) return;
  // The dialog manager frees a dialog's data and font only in the default
  // processing of WM_NCDESTROY; a procedure that answers it TRUE leaks them.
  if (keep->dialogInfo && !keep->dialogInfo->freed)
    Finding("dialog data and font of " + DescribeWindow(hwnd) +
            " never freed: WM_NCDESTROY did not reach the default dialog processing");
  Unlink(*keep);
  keep->alive = false;
  if (g_focus == hwnd) g_focus = nullptr;
  TableLock lock(g_tableMutex);
  g_windows.erase(hwnd);
}

bool IsStringSafe(LPCSTR text) { return text != nullptr && !IS_INTRESOURCE(text); }

LONG_PTR ReadExtra(const Window& w, int index, size_t size) {
  LONG_PTR value = 0;
  if (size == 4) {
    LONG v32 = 0;
    std::memcpy(&v32, w.extra.data() + index, 4);
    value = v32;
  } else {
    std::memcpy(&value, w.extra.data() + index, size);
  }
  return value;
}

void WriteExtra(Window& w, int index, size_t size, LONG_PTR value) {
  if (size == 4) {
    LONG v32 = static_cast<LONG>(value);
    std::memcpy(w.extra.data() + index, &v32, 4);
  } else {
    std::memcpy(w.extra.data() + index, &value, size);
  }
}

bool ExtraInRange(const Window& w, int index, size_t size) {
  return index >= 0 && static_cast<size_t>(index) + size <= w.extra.size();
}

LONG_PTR GetLong(HWND hwnd, int index, size_t size) {
  Window* w = Get(hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index >= 0) {
    if (!ExtraInRange(*w, index, size)) {
      SetLastError(ERROR_INVALID_INDEX);
      return 0;
    }
    return ReadExtra(*w, index, size);
  }
  switch (index) {
    case GWL_STYLE: return static_cast<LONG>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG>(w->exStyle);
    case GWLP_ID: return size == 4 ? static_cast<LONG>(w->id) : static_cast<LONG_PTR>(w->id);
    case GWLP_USERDATA: return size == 4 ? static_cast<LONG>(w->userData) : w->userData;
    default: break;
  }
  if (size == 8) {
    switch (index) {
      case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
      case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
      case GWLP_HWNDPARENT:
        return reinterpret_cast<LONG_PTR>((w->style & WS_CHILD) ? w->parent : w->owner);
      default: break;
    }
  }
  // The pointer-sized slots cannot be read through the 32-bit call.
  SetLastError(ERROR_INVALID_INDEX);
  return 0;
}

LONG_PTR SetLong(HWND hwnd, int index, size_t size, LONG_PTR value) {
  Window* w = Get(hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LONG_PTR old = 0;
  if (index >= 0) {
    if (!ExtraInRange(*w, index, size)) {
      SetLastError(ERROR_INVALID_INDEX);
      return 0;
    }
    old = ReadExtra(*w, index, size);
    WriteExtra(*w, index, size, value);
    return old;
  }
  switch (index) {
    case GWL_STYLE:
      old = static_cast<LONG>(w->style);
      w->style = static_cast<DWORD>(value);
      return old;
    case GWL_EXSTYLE:
      old = static_cast<LONG>(w->exStyle);
      w->exStyle = static_cast<DWORD>(value);
      return old;
    case GWLP_ID:
      old = static_cast<LONG_PTR>(w->id);
      w->id = static_cast<UINT_PTR>(size == 4 ? static_cast<LONG_PTR>(static_cast<LONG>(value)) : value);
      return old;
    case GWLP_USERDATA:
      old = w->userData;
      w->userData = value;
      return old;
    default:
      break;
  }
  if (size == 8) {
    switch (index) {
      case GWLP_WNDPROC:
        old = reinterpret_cast<LONG_PTR>(w->proc);
        w->proc = reinterpret_cast<WNDPROC>(value);
        return old;
      case GWLP_HINSTANCE:
        old = reinterpret_cast<LONG_PTR>(w->instance);
        w->instance = reinterpret_cast<HINSTANCE>(value);
        return old;
      case GWLP_HWNDPARENT:
        if (w->style & WS_CHILD) break;
        old = reinterpret_cast<LONG_PTR>(w->owner);
        w->owner = reinterpret_cast<HWND>(value);
        return old;
      default:
        break;
    }
  }
  SetLastError(ERROR_INVALID_INDEX);
  return 0;
}

}  // namespace

std::shared_ptr<Window> FindWindowObject(HWND hwnd) {
  TableLock lock(g_tableMutex);
  auto it = g_windows.find(hwnd);
  return it == g_windows.end() ? nullptr : it->second;
}

LRESULT Deliver(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> w = FindWindowObject(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (g_hook) g_hook(hwnd, msg, wParam, lParam);
  WNDPROC proc = w->proc;
  if (proc == nullptr) return 0;
  struct Scope {
    uint64_t saved = t_delivery;
    Scope() { t_delivery = ++t_deliveries; }
    ~Scope() { t_delivery = saved; }
  } scope;
  return proc(hwnd, msg, wParam, lParam);
}

uint64_t CurrentDelivery() { return t_delivery; }

void NotifyParent(HWND control, UINT code) {
  Window* w = Get(control);
  if (w == nullptr || w->parent == nullptr) return;
  Deliver(w->parent, WM_COMMAND, MAKEWPARAM(w->id, code), reinterpret_cast<LPARAM>(control));
}

void Invalidate(HWND hwnd) {
  if (Window* w = Get(hwnd)) w->needsPaint = true;
}

namespace {

void InvalidateTree(HWND hwnd) {
  Window* w = Get(hwnd);
  if (w == nullptr) return;
  w->needsPaint = true;
  for (HWND child : std::vector<HWND>(w->children)) InvalidateTree(child);
}

void PaintTree(HWND hwnd) {
  Window* w = Get(hwnd);
  if (w == nullptr || !(w->style & WS_VISIBLE)) return;
  if (w->needsPaint) {
    w->needsPaint = false;
    Deliver(hwnd, WM_PAINT, 0, 0);
    if ((w = Get(hwnd)) == nullptr) return;
  }
  for (HWND child : std::vector<HWND>(w->children)) PaintTree(child);
}

// GetSysColorBrush's handles: one per system colour index.
constexpr uintptr_t kSysBrushBase = 0xB0000;
constexpr int kSysColors = 31;

}  // namespace

void PaintPending() {
  for (HWND top : std::vector<HWND>(g_topLevel)) PaintTree(top);
}

bool IsBrush(LRESULT value) {
  uintptr_t v = static_cast<uintptr_t>(value);
  return v >= kSysBrushBase && v < kSysBrushBase + kSysColors;
}

HBRUSH ControlColor(HWND control, UINT msg) {
  Window* w = Get(control);
  if (w == nullptr) return nullptr;
  HWND parent = (w->style & WS_CHILD) ? w->parent : nullptr;
  HWND target = parent ? parent : control;
  LRESULT brush = parent ? SendMessageA(parent, msg, reinterpret_cast<WPARAM>(kPaintDc),
                                        reinterpret_cast<LPARAM>(control))
                         : 0;
  // A parent that answers 0 forgot its default procedure; the control asks
  // DefWindowProc itself, as the platform's controls do.
  if (brush == 0 && IsWindow(target))
    brush = DefWindowProcA(target, msg, reinterpret_cast<WPARAM>(kPaintDc),
                           reinterpret_cast<LPARAM>(control));
  if (!IsBrush(brush))
    Finding("the answer to WM_CTLCOLOR message " + Hex(msg) + " from " + DescribeWindow(control) +
            " is " + Hex(static_cast<uintptr_t>(brush)) +
            ", not a brush: the control would paint with it");
  return reinterpret_cast<HBRUSH>(brush);
}

bool DispatchOnePosted() {
  if (g_posted.empty()) return false;
  MSG msg = g_posted.front();
  g_posted.pop_front();
  if (msg.hwnd != nullptr && Get(msg.hwnd) != nullptr)
    Deliver(msg.hwnd, msg.message, msg.wParam, msg.lParam);
  return true;
}

void ResetWindows() {
  // Silent teardown: no message reaches a window procedure.
  TableLock lock(g_tableMutex);
  for (auto& entry : g_windows) entry.second->alive = false;
  g_windows.clear();
  g_topLevel.clear();
  g_posted.clear();
  g_focus = nullptr;
  g_hook = nullptr;
  g_messageBoxes.clear();
  for (auto it = g_classes.begin(); it != g_classes.end();) {
    if (it->second->system) ++it;
    else it = g_classes.erase(it);
  }
}

void WindowEndChecks(std::vector<std::string>& out, Win32Counts& counts) {
  TableLock lock(g_tableMutex);
  counts.windows += g_windows.size();
  // Top-level windows of every thread, in creation order.
  std::vector<HWND> tops;
  for (auto& entry : g_windows)
    if (entry.second->parent == nullptr) tops.push_back(entry.first);
  for (HWND top : tops) {
    Window* w = Get(top);
    size_t descendants = 0;
    std::vector<HWND> pending = w ? w->children : std::vector<HWND>{};
    while (!pending.empty()) {
      HWND h = pending.back();
      pending.pop_back();
      ++descendants;
      if (Window* c = Get(h)) pending.insert(pending.end(), c->children.begin(), c->children.end());
    }
    out.push_back("window not destroyed: " + DescribeWindow(top) +
                  (descendants ? " with " + std::to_string(descendants) + " child window(s)" : ""));
  }
}

}  // namespace win32

// ---------------------------------------------------------------------------
// Host API.

std::vector<HWND> LiveWindows() {
  std::vector<HWND> out;
  win32::TableLock lock(win32::g_tableMutex);
  for (auto& entry : win32::g_windows) out.push_back(entry.first);
  return out;
}

std::string DescribeWindow(HWND hwnd) {
  win32::Window* w = win32::Get(hwnd);
  if (w == nullptr) return win32::Hex(reinterpret_cast<uintptr_t>(hwnd)) + " (no window)";
  std::string out = win32::Hex(reinterpret_cast<uintptr_t>(hwnd)) + " " + w->cls->name + " \"" +
                    w->text + "\"";
  if (w->style & WS_CHILD) out += " id=" + std::to_string(static_cast<long long>(w->id));
  return out;
}

std::optional<RECT> TemplateRect(HWND hwnd) {
  win32::Window* w = win32::Get(hwnd);
  if (w == nullptr || !w->hasTemplateRect) return std::nullopt;
  return w->templateRect;
}

std::string DialogFontName(HWND dialog) {
  win32::Window* w = win32::Get(dialog);
  if (w == nullptr || !w->dialogFont) return "";
  return w->dialogFont->faceName;
}

int DialogFontPointSize(HWND dialog) {
  win32::Window* w = win32::Get(dialog);
  if (w == nullptr || !w->dialogFont) return 0;
  return w->dialogFont->pointSize;
}

std::vector<std::string> ListItems(HWND listOrCombo) {
  std::vector<std::string> out;
  win32::Window* w = win32::Get(listOrCombo);
  if (w == nullptr) return out;
  for (auto& item : w->items) out.push_back(item.text);
  return out;
}

void SetMessageHook(MessageHook hook) { win32::g_hook = std::move(hook); }

std::vector<MessageBoxRecord> MessageBoxes() { return win32::g_messageBoxes; }

size_t DispatchPostedMessages() {
  size_t count = 0;
  while (win32::DispatchOnePosted()) ++count;
  return count;
}

}  // namespace host

namespace w = host::win32;

extern "C" {

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* lpWndClass) {
  w::EnsureSystemClasses();
  if (lpWndClass == NULL || lpWndClass->cbSize != sizeof(WNDCLASSEXA) ||
      lpWndClass->lpszClassName == NULL || IS_INTRESOURCE(lpWndClass->lpszClassName) ||
      lpWndClass->cbWndExtra < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string key = w::Upper(lpWndClass->lpszClassName);
  w::TableLock lock(w::g_tableMutex);
  if (w::g_classes.count(key)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  auto cls = std::make_shared<w::WindowClass>();
  cls->name = lpWndClass->lpszClassName;
  cls->proc = lpWndClass->lpfnWndProc;
  cls->wndExtra = lpWndClass->cbWndExtra;
  cls->instance = lpWndClass->hInstance;
  cls->atom = w::g_nextAtom++;
  w::g_classes[key] = cls;
  return cls->atom;
}

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
  if (lpWndClass == NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WNDCLASSEXA ex{};
  ex.cbSize = sizeof(ex);
  ex.style = lpWndClass->style;
  ex.lpfnWndProc = lpWndClass->lpfnWndProc;
  ex.cbClsExtra = lpWndClass->cbClsExtra;
  ex.cbWndExtra = lpWndClass->cbWndExtra;
  ex.hInstance = lpWndClass->hInstance;
  ex.lpszClassName = lpWndClass->lpszClassName;
  return RegisterClassExA(&ex);
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance) {
  (void)hInstance;
  std::shared_ptr<w::WindowClass> cls = w::FindClass(lpClassName);
  if (!cls || cls->system) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  w::TableLock lock(w::g_tableMutex);
  w::g_classes.erase(w::Upper(cls->name));
  return TRUE;
}

int WINAPI GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount) {
  w::Window* win = w::Get(hWnd);
  if (win == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (lpClassName == NULL || nMaxCount <= 0) return 0;
  int n = static_cast<int>(win->cls->name.size());
  if (n > nMaxCount - 1) n = nMaxCount - 1;
  std::memcpy(lpClassName, win->cls->name.data(), n);
  lpClassName[n] = '\0';
  return n;
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName,
                            DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                            HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
  std::shared_ptr<w::WindowClass> cls = w::FindClass(lpClassName);
  if (!cls) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return NULL;
  }
  if (hWndParent != NULL && w::Get(hWndParent) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
  }
  if ((dwStyle & WS_CHILD) && hWndParent == NULL) {
    SetLastError(ERROR_TLW_WITH_WSCHILD);
    return NULL;
  }
  auto win = std::make_shared<w::Window>();
  HWND handle;
  {
    w::TableLock lock(w::g_tableMutex);
    handle = reinterpret_cast<HWND>(w::g_nextHwnd);
    w::g_nextHwnd += 4;
  }
  win->handle = handle;
  win->cls = cls;
  win->proc = cls->proc;
  win->style = dwStyle;
  win->exStyle = dwExStyle;
  win->instance = hInstance;
  win->extra.assign(static_cast<size_t>(cls->wndExtra), 0);
  if (dwStyle & WS_CHILD) {
    win->parent = hWndParent;
    win->id = reinterpret_cast<UINT_PTR>(hMenu);
    w::Get(hWndParent)->children.push_back(handle);
  } else {
    // A top-level window is owned by the top-level ancestor of the window
    // given as its parent.
    win->owner = hWndParent ? GetAncestor(hWndParent, GA_ROOT) : NULL;
    w::g_topLevel.push_back(handle);
  }
  {
    w::TableLock lock(w::g_tableMutex);
    w::g_windows[handle] = win;
  }

  CREATESTRUCTA cs{};
  cs.lpCreateParams = lpParam;
  cs.hInstance = hInstance;
  cs.hMenu = hMenu;
  cs.hwndParent = hWndParent;
  cs.cx = nWidth;
  cs.cy = nHeight;
  cs.x = X;
  cs.y = Y;
  cs.style = static_cast<LONG>(dwStyle);
  cs.lpszName = lpWindowName;
  cs.lpszClass = lpClassName;
  cs.dwExStyle = dwExStyle;
  if (!w::Deliver(handle, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
    w::FreeTree(handle);
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  if (w::Get(handle) == nullptr) return NULL;
  if (w::Deliver(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(handle);
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  if (w::Get(handle) == nullptr) return NULL;
  if ((dwStyle & WS_CHILD) && !(dwExStyle & WS_EX_NOPARENTNOTIFY))
    w::Deliver(hWndParent, WM_PARENTNOTIFY, MAKEWPARAM(WM_CREATE, win->id),
               reinterpret_cast<LPARAM>(handle));
  return handle;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  w::Window* win = w::Get(hWnd);
  if (win == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (win->destroying) return TRUE;
  win->destroying = true;
  // Windows this one owns go first.
  std::vector<HWND> owned;
  for (HWND top : w::g_topLevel) {
    w::Window* t = w::Get(top);
    if (t && t->owner == hWnd) owned.push_back(top);
  }
  for (HWND o : owned) DestroyWindow(o);
  win = w::Get(hWnd);
  if (win == nullptr) return TRUE;
  if ((win->style & WS_CHILD) && !(win->exStyle & WS_EX_NOPARENTNOTIFY) && win->parent)
    w::Deliver(win->parent, WM_PARENTNOTIFY, MAKEWPARAM(WM_DESTROY, win->id),
               reinterpret_cast<LPARAM>(hWnd));
  w::SendDestroy(hWnd);
  w::FreeTree(hWnd);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) { return w::Get(hWnd) != nullptr; }

BOOL WINAPI IsWindowEnabled(HWND hWnd) {
  w::Window* win = w::Get(hWnd);
  if (win == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return (win->style & WS_DISABLED) == 0;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
  w::Window* win = w::Get(hWnd);
  if (win == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  BOOL wasDisabled = (win->style & WS_DISABLED) != 0;
  if (static_cast<bool>(bEnable) == static_cast<bool>(wasDisabled)) win->needsPaint = true;
  if (bEnable && wasDisabled) {
    win->style &= ~WS_DISABLED;
    w::Deliver(hWnd, WM_ENABLE, TRUE, 0);
  } else if (!bEnable && !wasDisabled) {
    win->style |= WS_DISABLED;
    if (w::g_focus == hWnd || IsChild(hWnd, w::g_focus)) SetFocus(NULL);
    w::Deliver(hWnd, WM_ENABLE, FALSE, 0);
  }
  return wasDisabled;
}

BOOL WINAPI IsWindowVisible(HWND hWnd) {
  w::Window* win = w::Get(hWnd);
  while (win != nullptr) {
    if (!(win->style & WS_VISIBLE)) return FALSE;
    if (!(win->style & WS_CHILD)) return TRUE;
    win = w::Get(win->parent);
  }
  return FALSE;
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  w::Window* win = w::Get(hWnd);
  if (win == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  BOOL wasVisible = (win->style & WS_VISIBLE) != 0;
  bool show = nCmdShow != SW_HIDE;
  if (show != static_cast<bool>(wasVisible)) {
    w::Deliver(hWnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
    win = w::Get(hWnd);
    if (win == nullptr) return wasVisible;
    if (show) win->style |= WS_VISIBLE;
    else win->style &= ~WS_VISIBLE;
    if (show) w::InvalidateTree(hWnd);
  }
  return wasVisible;
}

HWND WINAPI GetParent(HWND hWnd) {
  w::Window* win = w::Get(hWnd);
  if (win == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
  }
  if (win->style & WS_CHILD) return win->parent;
  if (win->style & WS_POPUP) return win->owner;
  return NULL;
}

HWND WINAPI GetWindow(HWND hWnd, UINT uCmd) {
  w::Window* win = w::Get(hWnd);
  if (win == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
  }
  if (uCmd == GW_CHILD) return win->children.empty() ? NULL : win->children.front();
  if (uCmd == GW_OWNER) return (win->style & WS_CHILD) ? NULL : win->owner;
  std::vector<HWND>& siblings = w::Siblings(*win);
  size_t i = 0;
  while (i < siblings.size() && siblings[i] != hWnd) ++i;
  switch (uCmd) {
    case GW_HWNDFIRST: return siblings.front();
    case GW_HWNDLAST: return siblings.back();
    case GW_HWNDNEXT: return i + 1 < siblings.size() ? siblings[i + 1] : NULL;
    case GW_HWNDPREV: return i > 0 && i < siblings.size() ? siblings[i - 1] : NULL;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return NULL;
  }
}

HWND WINAPI GetAncestor(HWND hwnd, UINT gaFlags) {
  w::Window* win = w::Get(hwnd);
  if (win == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
  }
  switch (gaFlags) {
    case GA_PARENT:
      return (win->style & WS_CHILD) ? win->parent : NULL;
    case GA_ROOT:
      while ((win->style & WS_CHILD) && w::Get(win->parent)) win = w::Get(win->parent);
      return win->handle;
    case GA_ROOTOWNER: {
      HWND h = hwnd;
      for (HWND p = GetParent(h); p != NULL; p = GetParent(h)) h = p;
      return h;
    }
    default:
      return NULL;
  }
}

BOOL WINAPI IsChild(HWND hWndParent, HWND hWnd) {
  w::Window* win = w::Get(hWnd);
  while (win != nullptr && (win->style & WS_CHILD)) {
    if (win->parent == hWndParent) return TRUE;
    win = w::Get(win->parent);
  }
  return FALSE;
}

HWND WINAPI SetFocus(HWND hWnd) {
  if (hWnd != NULL && w::Get(hWnd) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
  }
  HWND previous = w::g_focus;
  if (previous == hWnd) return previous;
  w::g_focus = hWnd;
  if (previous && w::Get(previous)) w::Deliver(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
  if (hWnd && w::Get(hWnd)) w::Deliver(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
  return previous;
}

HWND WINAPI GetFocus(void) { return w::g_focus; }

LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex) {
  return static_cast<LONG>(w::GetLong(hWnd, nIndex, 4));
}

LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong) {
  return static_cast<LONG>(w::SetLong(hWnd, nIndex, 4, dwNewLong));
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) { return w::GetLong(hWnd, nIndex, 8); }

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  return w::SetLong(hWnd, nIndex, 8, dwNewLong);
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return w::Deliver(hWnd, Msg, wParam, lParam);
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (hWnd != NULL && w::Get(hWnd) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  MSG msg{};
  msg.hwnd = hWnd;
  msg.message = Msg;
  msg.wParam = wParam;
  msg.lParam = lParam;
  w::g_posted.push_back(msg);
  return TRUE;
}

LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam,
                               LPARAM lParam) {
  if (lpPrevWndFunc == NULL) return 0;
  return lpPrevWndFunc(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  w::Window* win = w::Get(hWnd);
  if (win == nullptr) return 0;
  switch (Msg) {
    case WM_NCCREATE: {
      const CREATESTRUCTA* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      if (cs && w::IsStringSafe(cs->lpszName)) win->text = cs->lpszName;
      return TRUE;
    }
    case WM_SETTEXT:
      win->text = w::IsStringSafe(reinterpret_cast<LPCSTR>(lParam)) ? reinterpret_cast<LPCSTR>(lParam) : "";
      win->needsPaint = true;
      return TRUE;
    case WM_GETTEXT: {
      if (wParam == 0 || lParam == 0) return 0;
      size_t n = win->text.size();
      if (n > wParam - 1) n = wParam - 1;
      std::memcpy(reinterpret_cast<char*>(lParam), win->text.data(), n);
      reinterpret_cast<char*>(lParam)[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(win->text.size());
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) SendMessageA(hWnd, WM_CLOSE, 0, 0);
      return 0;
    case WM_NCHITTEST:
      return 1;  // HTCLIENT
    case WM_PAINT:
      // BeginPaint erases the background first; EndPaint validates.
      w::Deliver(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(w::kPaintDc), 0);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
      // The system colours of the control kind (DefWindowProc's
      // DEFWND_ControlColor): window colour for edit controls and list
      // boxes, the scroll bar colour, the 3-D face for everything else.
      if (Msg == WM_CTLCOLOREDIT || Msg == WM_CTLCOLORLISTBOX) return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      if (Msg == WM_CTLCOLORSCROLLBAR) return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_SCROLLBAR));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_3DFACE));
    case WM_QUERYDRAGICON:
      // The class icon, else one of the module's icons, else the system's
      // application icon: never 0 (Wine's DefWindowProc).
      return static_cast<LRESULT>(0x1C0);
    case WM_HELP:
    case WM_CONTEXTMENU:
      // A child passes these on to its parent, a top-level window to its
      // owner (GetParent): DefWindowProc's rule.
      if (HWND up = GetParent(hWnd)) return SendMessageA(up, Msg, wParam, lParam);
      return 0;
    case WM_RBUTTONUP:
      // The right button going up asks for a context menu.
      SendMessageA(hWnd, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(hWnd), lParam);
      return 0;
    default:
      return 0;
  }
  return 0;
}

HBRUSH WINAPI GetSysColorBrush(int nIndex) {
  if (nIndex < 0 || nIndex >= w::kSysColors) return NULL;
  return reinterpret_cast<HBRUSH>(w::kSysBrushBase + static_cast<uintptr_t>(nIndex));
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
  if (lpString == NULL || nMaxCount <= 0) return 0;
  lpString[0] = '\0';
  if (w::Get(hWnd) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<int>(SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                       reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthA(HWND hWnd) {
  return static_cast<int>(SendMessageA(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
  if (w::Get(hWnd) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) ? TRUE : FALSE;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  w::g_messageBoxes.push_back(host::MessageBoxRecord{hWnd, lpText ? lpText : "",
                                                     lpCaption ? lpCaption : "Error", uType});
  return (uType & 0xF) == MB_YESNO ? IDYES : IDOK;
}

}  // extern "C"
