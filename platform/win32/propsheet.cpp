// COMCTL32 property sheet pages and the property sheet host that runs them
// (the part of COMCTL32's PropertySheet and Device Manager a page sees).
#include <cstring>
#include <mutex>
#include <new>

#include "host/faults.h"
#include "win32_internal.h"

namespace host {
namespace win32 {

namespace {

// A page made by CreatePropertySheetPageA: its own copy of the caller's
// PROPSHEETPAGEA (dwSize bytes of it, zero beyond).
struct PageRecord {
  BYTE* bytes = nullptr;
  size_t size = 0;
  PROPSHEETPAGEA* page() { return reinterpret_cast<PROPSHEETPAGEA*>(bytes); }
  ~PageRecord() { ::operator delete(bytes); }
};

std::recursive_mutex g_pagesMutex;  // pages may be made and destroyed on any thread
std::map<HPROPSHEETPAGE, std::unique_ptr<PageRecord>> g_pages;
int g_failCreateNth = 0;

PageRecord* FindPage(HPROPSHEETPAGE handle) {
  std::lock_guard<std::recursive_mutex> lock(g_pagesMutex);
  auto it = g_pages.find(handle);
  return it == g_pages.end() ? nullptr : it->second.get();
}

bool UsesCallback(const PROPSHEETPAGEA* psp) {
  return (psp->dwFlags & PSP_USECALLBACK) && psp->pfnCallback != nullptr;
}

}  // namespace

void ResetPropertySheetPages() {
  std::lock_guard<std::recursive_mutex> lock(g_pagesMutex);
  g_pages.clear();
  g_failCreateNth = 0;
}

void PropertySheetPageEndChecks(std::vector<std::string>& out, Win32Counts& counts) {
  std::lock_guard<std::recursive_mutex> lock(g_pagesMutex);
  for (auto& entry : g_pages) {
    counts.propertySheetPages++;
    out.push_back("property sheet page not destroyed: " +
                  Hex(reinterpret_cast<uintptr_t>(entry.first)));
  }
}

}  // namespace win32

// ---------------------------------------------------------------------------
// The sheet.

struct PropertySheet::Impl {
  struct Page {
    HPROPSHEETPAGE handle = nullptr;
    HWND window = nullptr;
    bool creationTried = false;
    bool changed = false;
  };

  std::string caption;
  std::vector<Page> pages;
  HWND window = nullptr;
  size_t active = 0;
  bool shown = false;
  bool open = false;
  bool refuse = false;
  bool otherPageChanged = false;
  bool saved = false;  // an Apply went through
  bool cancelToClose = false;
  INT_PTR restart = 0;  // ID_PSREBOOTSYSTEM / ID_PSRESTARTWINDOWS asked for
  INT_PTR result = -1;

  static BOOL CALLBACK AddPage(HPROPSHEETPAGE page, LPARAM lParam) {
    Impl* self = reinterpret_cast<Impl*>(lParam);
    if (self->refuse || page == nullptr || self->pages.size() >= MAXPROPPAGES) return FALSE;
    if (win32::FindPage(page) == nullptr) {
      win32::Finding("addPage called with a handle CreatePropertySheetPageA did not return: " +
                     win32::Hex(reinterpret_cast<uintptr_t>(page)));
      return FALSE;
    }
    Page entry;
    entry.handle = page;
    self->pages.push_back(entry);
    return TRUE;
  }

  static INT_PTR CALLBACK SheetProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    std::shared_ptr<win32::Window> w = win32::FindWindowObject(hwnd);
    Impl* self = w ? w->sheet : nullptr;
    if (self == nullptr) return FALSE;
    switch (msg) {
      case PSM_CHANGED:
      case PSM_UNCHANGED: {
        bool known = false;
        for (auto& page : self->pages)
          if (page.window == reinterpret_cast<HWND>(wParam)) {
            page.changed = msg == PSM_CHANGED;
            known = true;
          }
        if (!known && msg == PSM_CHANGED) self->otherPageChanged = true;
        return TRUE;
      }
      case PSM_GETCURRENTPAGEHWND:
        SetWindowLongPtrA(hwnd, DWLP_MSGRESULT,
                          reinterpret_cast<LONG_PTR>(self->pages.empty() ? nullptr
                                                                         : self->pages[self->active].window));
        return TRUE;
      case PSM_REBOOTSYSTEM:
        self->restart = ID_PSREBOOTSYSTEM;
        return TRUE;
      case PSM_RESTARTWINDOWS:
        if (self->restart != ID_PSREBOOTSYSTEM) self->restart = ID_PSRESTARTWINDOWS;
        return TRUE;
      case PSM_CANCELTOCLOSE:
        self->cancelToClose = true;
        return TRUE;
      case PSM_PRESSBUTTON:
        switch (wParam) {
          case PSBTN_OK: self->PressOk(); break;
          case PSBTN_APPLYNOW: self->PressApply(); break;
          case PSBTN_CANCEL: self->PressCancel(false); break;
          default: break;
        }
        return TRUE;
      default:
        return FALSE;
    }
  }

  std::string TemplateCaption(PROPSHEETPAGEA* psp) {
    if (psp->dwFlags & PSP_DLGINDIRECT) {
      auto t = ParseDialogTemplate(psp->pResource, SIZE_MAX / 2);
      return t ? t->caption : "";
    }
    const win32::ResourceEntry* entry = win32::FindDialogResource(psp->hInstance, psp->pszTemplate);
    if (entry == nullptr) return "";
    auto t = ParseDialogTemplate(entry->data.data(), entry->data.size());
    return t ? t->caption : "";
  }

  std::string Title(size_t index) {
    win32::PageRecord* record = win32::FindPage(pages[index].handle);
    if (record == nullptr) return "";
    PROPSHEETPAGEA* psp = record->page();
    if (psp->dwFlags & PSP_USETITLE) {
      if (psp->pszTitle == nullptr) return "";
      if (IS_INTRESOURCE(psp->pszTitle))
        return "#" + std::to_string(reinterpret_cast<ULONG_PTR>(psp->pszTitle));
      return psp->pszTitle;
    }
    return TemplateCaption(psp);
  }

  // Builds the page's window from its template as a child of the sheet.
  void CreatePage(size_t index) {
    Page& page = pages[index];
    if (page.creationTried) return;
    page.creationTried = true;
    win32::PageRecord* record = win32::FindPage(page.handle);
    if (record == nullptr) return;
    PROPSHEETPAGEA* psp = record->page();
    if (win32::UsesCallback(psp) && psp->pfnCallback(nullptr, PSPCB_CREATE, psp) == 0) return;
    record = win32::FindPage(page.handle);
    if (record == nullptr) return;
    psp = record->page();
    std::vector<BYTE> copy;
    if (psp->dwFlags & PSP_DLGINDIRECT) {
      auto t = ParseDialogTemplate(psp->pResource, SIZE_MAX / 2);
      if (!t) return;
      const BYTE* bytes = reinterpret_cast<const BYTE*>(psp->pResource);
      copy.assign(bytes, bytes + t->size);
    } else {
      const win32::ResourceEntry* entry = win32::FindDialogResource(psp->hInstance, psp->pszTemplate);
      if (entry == nullptr) return;
      copy = entry->data;
    }
    // A page is a control-parent child of the sheet, hidden until shown.
    if (copy.size() < 16) return;
    bool extended = copy[0] == 1 && copy[1] == 0 && copy[2] == 0xFF && copy[3] == 0xFF;
    size_t styleAt = extended ? 12 : 0;
    size_t exStyleAt = extended ? 8 : 4;
    DWORD style, exStyle;
    std::memcpy(&style, copy.data() + styleAt, 4);
    std::memcpy(&exStyle, copy.data() + exStyleAt, 4);
    style |= WS_CHILD | WS_TABSTOP | DS_CONTROL;
    style &= ~(DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | WS_POPUP | WS_DISABLED | WS_VISIBLE |
               WS_THICKFRAME);
    exStyle |= WS_EX_CONTROLPARENT;
    std::memcpy(copy.data() + styleAt, &style, 4);
    std::memcpy(copy.data() + exStyleAt, &exStyle, 4);
    page.window = win32::CreateDialogFromTemplate(psp->hInstance, copy.data(), copy.size(), window,
                                                  psp->pfnDlgProc, reinterpret_cast<LPARAM>(psp),
                                                  false);
  }

  LRESULT Notify(size_t index, UINT code, LPARAM lParam) {
    HWND page = pages[index].window;
    if (page == nullptr || !IsWindow(page)) return 0;
    PSHNOTIFY psn{};
    psn.hdr.hwndFrom = window;
    psn.hdr.idFrom = 0;
    psn.hdr.code = code;
    psn.lParam = lParam;
    return SendMessageA(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&psn));
  }

  bool Show(size_t start) {
    if (shown || start >= pages.size()) return false;
    shown = true;
    open = true;
    window = CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, "#32770", caption.c_str(),
                             WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK |
                                 DS_CONTEXTHELP | DS_SETFONT,
                             0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr) {
      open = false;
      return false;
    }
    if (auto w = win32::FindWindowObject(window)) {
      w->isDialog = true;
      w->sheet = this;
    }
    SetWindowLongPtrA(window, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(&SheetProc));
    ShowWindow(window, SW_SHOWNORMAL);
    active = start;
    Activate(start);
    // The sheet's message loop paints what it shows before anything else.
    if (open) win32::PaintPending();
    return true;
  }

  void Activate(size_t index) {
    CreatePage(index);
    if (pages[index].window && IsWindow(pages[index].window)) {
      ShowWindow(pages[index].window, SW_SHOW);
      Notify(index, PSN_SETACTIVE, 0);
      SetInitialFocus(index);
    }
  }

  // Before it gives the page the focus, the sheet asks the page which
  // control should have it (PSN_QUERYINITIALFOCUS, lParam the control it
  // would choose); a nonzero answer is that control's handle.
  void SetInitialFocus(size_t index) {
    HWND page = pages[index].window;
    if (page == nullptr || !IsWindow(page)) return;
    HWND chosen = GetNextDlgTabItem(page, nullptr, FALSE);
    LRESULT answer = Notify(index, PSN_QUERYINITIALFOCUS, reinterpret_cast<LPARAM>(chosen));
    if (answer != 0) chosen = reinterpret_cast<HWND>(answer);
    if (chosen != nullptr) SetFocus(chosen);  // fails for what is not a window
  }

  bool SelectPage(size_t index) {
    if (!open || index >= pages.size()) return false;
    if (index == active) return true;
    if (Notify(active, PSN_KILLACTIVE, 0) != 0) return false;  // the page is not valid
    if (pages[active].window && IsWindow(pages[active].window)) ShowWindow(pages[active].window, SW_HIDE);
    active = index;
    Activate(index);
    return true;
  }

  // PSN_APPLY to every created page; false when one refuses.
  bool ApplyAll(bool ok) {
    if (Notify(active, PSN_KILLACTIVE, 0) != 0) return false;
    for (size_t i = 0; i < pages.size(); ++i) {
      if (!open) return false;
      LRESULT r = Notify(i, PSN_APPLY, ok ? TRUE : FALSE);
      if (r == PSNRET_INVALID || r == PSNRET_INVALID_NOCHANGEPAGE) {
        if (r == PSNRET_INVALID) SelectPage(i);
        return false;
      }
    }
    saved = true;
    otherPageChanged = false;
    for (auto& page : pages) page.changed = false;
    return true;
  }

  bool ApplyEnabled() const {
    if (!open) return false;
    if (otherPageChanged) return true;
    for (auto& page : pages)
      if (page.changed) return true;
    return false;
  }

  bool PressOk() {
    if (!open) return false;
    if (!ApplyAll(true)) return false;
    Close(1);
    return true;
  }

  bool PressApply() {
    if (!ApplyEnabled()) return false;
    if (!ApplyAll(false)) return false;
    Notify(active, PSN_SETACTIVE, 0);
    return true;
  }

  bool PressCancel(bool closeBox) {
    if (!open) return false;
    if (cancelToClose && !closeBox) return false;  // the Cancel button is disabled
    if (Notify(active, PSN_QUERYCANCEL, 0) != 0) return false;
    for (size_t i = 0; i < pages.size(); ++i) Notify(i, PSN_RESET, closeBox ? TRUE : FALSE);
    Close(saved ? 1 : 0);
    return true;
  }

  // The sheet goes away: each page's window, then the page itself.
  void Close(INT_PTR outcome) {
    if (open) result = restart ? restart : outcome;
    open = false;
    for (auto& page : pages) {
      if (page.window && IsWindow(page.window)) DestroyWindow(page.window);
      page.window = nullptr;
      if (page.handle && win32::FindPage(page.handle)) DestroyPropertySheetPage(page.handle);
      page.handle = nullptr;
    }
    if (window && IsWindow(window)) {
      if (auto w = win32::FindWindowObject(window)) w->sheet = nullptr;
      DestroyWindow(window);
    }
    window = nullptr;
  }
};

namespace win32 {

PropertySheet::Impl* SheetOfPage(HWND page) {
  std::shared_ptr<Window> w = FindWindowObject(page);
  if (!w || !(w->style & WS_CHILD)) return nullptr;
  std::shared_ptr<Window> parent = FindWindowObject(w->parent);
  return parent ? parent->sheet : nullptr;
}

bool SheetKey(PropertySheet::Impl* sheet, UserAction::Type type) {
  // The sheet's message loop offers every key to the active page first
  // (PSN_TRANSLATEACCELERATOR with the MSG); PSNRET_MESSAGEHANDLED keeps the
  // sheet from acting on it.
  if (type != UserAction::CloseBox) {
    MSG msg{};
    msg.hwnd = GetFocus();
    msg.message = WM_KEYDOWN;
    msg.wParam = type == UserAction::Enter ? VK_RETURN : type == UserAction::Escape ? VK_ESCAPE : VK_F1;
    if (sheet->Notify(sheet->active, PSN_TRANSLATEACCELERATOR, reinterpret_cast<LPARAM>(&msg)) ==
        PSNRET_MESSAGEHANDLED)
      return true;
  }
  switch (type) {
    case UserAction::Enter: sheet->PressOk(); return true;
    case UserAction::Escape: sheet->PressCancel(false); return true;
    case UserAction::CloseBox: sheet->PressCancel(true); return true;
    default: return false;
  }
}

}  // namespace win32

void FailCreatePropertySheetPageNth(int n) { win32::g_failCreateNth = n; }

PropertySheet::PropertySheet(std::string caption) : impl_(new Impl) {
  impl_->caption = std::move(caption);
}

PropertySheet::~PropertySheet() {
  // A sheet still open, or never shown, still releases its pages.
  impl_->Close(0);
}

LPFNADDPROPSHEETPAGE PropertySheet::AddPageCallback() const { return &Impl::AddPage; }
LPARAM PropertySheet::AddPageParam() const { return reinterpret_cast<LPARAM>(impl_.get()); }
void PropertySheet::RefuseNewPages(bool refuse) { impl_->refuse = refuse; }
size_t PropertySheet::PageCount() const { return impl_->pages.size(); }
HPROPSHEETPAGE PropertySheet::Page(size_t index) const {
  return index < impl_->pages.size() ? impl_->pages[index].handle : nullptr;
}
std::string PropertySheet::PageTitle(size_t index) const {
  return index < impl_->pages.size() ? impl_->Title(index) : "";
}
bool PropertySheet::Show(size_t startPage) { return impl_->Show(startPage); }
bool PropertySheet::IsOpen() const { return impl_->open; }
HWND PropertySheet::Window() const { return impl_->window; }
HWND PropertySheet::PageWindow(size_t index) const {
  if (index >= impl_->pages.size()) return nullptr;
  HWND page = impl_->pages[index].window;
  return page && IsWindow(page) ? page : nullptr;
}
size_t PropertySheet::ActivePage() const { return impl_->active; }
bool PropertySheet::SelectPage(size_t index) { return impl_->SelectPage(index); }

void PropertySheet::Run() {
  for (;;) {
    while (win32::DispatchOnePosted()) {
    }
    if (!impl_->open) return;
    win32::PaintPending();
    if (!impl_->open) return;
    HWND page = PageWindow(impl_->active);
    if (page == nullptr) return;
    win32::UserAction action;
    if (!win32::PopUserAction(&action)) return;
    win32::PerformUserAction(page, action);
  }
}

bool PropertySheet::PressOk() { return impl_->PressOk(); }
bool PropertySheet::PressApply() { return impl_->PressApply(); }
bool PropertySheet::PressCancel() { return impl_->PressCancel(false); }
bool PropertySheet::PressCloseBox() { return impl_->PressCancel(true); }
bool PropertySheet::ApplyEnabled() const { return impl_->ApplyEnabled(); }
void PropertySheet::MarkChanged() { impl_->otherPageChanged = true; }
INT_PTR PropertySheet::Result() const { return impl_->result; }

}  // namespace host

namespace w = host::win32;

extern "C" {

HPROPSHEETPAGE WINAPI CreatePropertySheetPageA(LPCPROPSHEETPAGEA constPropSheetPagePointer) {
  if (constPropSheetPagePointer == NULL ||
      constPropSheetPagePointer->dwSize < static_cast<DWORD>(PROPSHEETPAGEA_V1_SIZE))
    return NULL;
  if (w::g_failCreateNth > 0 && --w::g_failCreateNth == 0) return NULL;
  // COMCTL32 out of memory: NULL, no callback.
  if (host::FaultDue(host::FaultKind::UserCreatePage)) return NULL;
  DWORD size = constPropSheetPagePointer->dwSize;
  auto record = std::make_unique<w::PageRecord>();
  // The copy holds everything the caller handed in (a caller may append its
  // own data after the structure and count it in dwSize); fields beyond
  // dwSize read as zero.
  record->size = size > sizeof(PROPSHEETPAGEA) ? size : sizeof(PROPSHEETPAGEA);
  record->bytes = static_cast<BYTE*>(::operator new(record->size));
  std::memset(record->bytes, 0, record->size);
  std::memcpy(record->bytes, constPropSheetPagePointer, size);
  PROPSHEETPAGEA* psp = record->page();
  HPROPSHEETPAGE handle = reinterpret_cast<HPROPSHEETPAGE>(record.get());
  {
    std::lock_guard<std::recursive_mutex> lock(w::g_pagesMutex);
    w::g_pages[handle] = std::move(record);
  }
  if (w::UsesCallback(psp) && size > static_cast<DWORD>(PROPSHEETPAGEA_V1_SIZE))
    psp->pfnCallback(nullptr, PSPCB_ADDREF, psp);
  return handle;
}

BOOL WINAPI DestroyPropertySheetPage(HPROPSHEETPAGE hPropPage) {
  w::PageRecord* record = w::FindPage(hPropPage);
  if (record == nullptr) {
    w::Finding("DestroyPropertySheetPage of a page that does not exist: " +
               w::Hex(reinterpret_cast<uintptr_t>(hPropPage)));
    return FALSE;
  }
  // Out of the table first, so that the release callback cannot destroy the
  // page a second time.
  std::unique_ptr<w::PageRecord> keep;
  {
    std::lock_guard<std::recursive_mutex> lock(w::g_pagesMutex);
    keep = std::move(w::g_pages[hPropPage]);
    w::g_pages.erase(hPropPage);
  }
  PROPSHEETPAGEA* psp = keep->page();
  if (w::UsesCallback(psp)) psp->pfnCallback(nullptr, PSPCB_RELEASE, psp);
  return TRUE;
}

void WINAPI InitCommonControls(void) {}

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) {
  return picce != NULL && picce->dwSize == sizeof(INITCOMMONCONTROLSEX);
}

}  // extern "C"
