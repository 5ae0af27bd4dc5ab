// USER32 standard controls: BUTTON, STATIC, EDIT, LISTBOX, COMBOBOX,
// SCROLLBAR. A control keeps its state in its window; notifications go to
// the parent as WM_COMMAND.
#include <cstring>

#include "win32_internal.h"

namespace host {
namespace win32 {

namespace {

Window* Get(HWND hwnd) { return FindWindowObject(hwnd).get(); }

DWORD ButtonType(const Window& w) { return w.style & BS_TYPEMASK; }

// The highest check state a button type holds: 0 for buttons without one.
UINT MaxCheck(DWORD type) {
  switch (type) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON:
      return BST_CHECKED;
    case BS_3STATE:
    case BS_AUTO3STATE:
      return BST_INDETERMINATE;
    default:
      return 0;
  }
}

bool IsRadio(DWORD type) { return type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON; }

// Stores a font for WM_GETFONT, as every standard control does.
bool HandleFont(Window& w, UINT msg, WPARAM wParam, LRESULT* result) {
  if (msg == WM_SETFONT) {
    w.font = reinterpret_cast<HFONT>(wParam);
    *result = 0;
    return true;
  }
  if (msg == WM_GETFONT) {
    *result = reinterpret_cast<LRESULT>(w.font);
    return true;
  }
  return false;
}

// The WM_CTLCOLOR* message a control sends its parent before it paints, as
// the platform's controls do: push buttons WM_CTLCOLORBTN; check boxes,
// radio buttons, group boxes and static controls WM_CTLCOLORSTATIC; edit
// controls WM_CTLCOLOREDIT (WM_CTLCOLORSTATIC when read-only or disabled);
// list boxes WM_CTLCOLORLISTBOX; combo boxes WM_CTLCOLOREDIT
// (WM_CTLCOLORSTATIC when disabled); scroll bars WM_CTLCOLORSCROLLBAR.
UINT ColorMessage(const Window& w) {
  bool disabled = (w.style & WS_DISABLED) != 0;
  switch (w.cls->kind) {
    case Kind::Button: {
      DWORD type = ButtonType(w);
      return (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) ? WM_CTLCOLORBTN : WM_CTLCOLORSTATIC;
    }
    case Kind::Static: return WM_CTLCOLORSTATIC;
    case Kind::Edit: return (disabled || (w.style & ES_READONLY)) ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT;
    case Kind::ListBox: return WM_CTLCOLORLISTBOX;
    case Kind::ComboBox: return disabled ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT;
    case Kind::ScrollBar: return WM_CTLCOLORSCROLLBAR;
    default: return 0;
  }
}

// What every standard control does alike: keeps a font for WM_GETFONT,
// asks for its colours when it paints, and waits for a paint when its
// contents change.
bool HandleCommon(HWND hwnd, Window& w, UINT msg, WPARAM wParam, LRESULT* result) {
  if (HandleFont(w, msg, wParam, result)) return true;
  if (msg == WM_PAINT) {
    if (UINT color = ColorMessage(w)) ControlColor(hwnd, color);
    *result = 0;
    return true;
  }
  switch (msg) {
    case BM_SETCHECK: case BM_SETSTATE: case BM_SETSTYLE:
    case LB_ADDSTRING: case LB_INSERTSTRING: case LB_DELETESTRING: case LB_RESETCONTENT:
    case LB_SETCURSEL:
    case CB_ADDSTRING: case CB_INSERTSTRING: case CB_DELETESTRING: case CB_RESETCONTENT:
    case CB_SETCURSEL:
      w.needsPaint = true;
      break;
    default:
      break;
  }
  return false;
}

std::string TextArg(LPARAM lParam) {
  const char* text = reinterpret_cast<const char*>(lParam);
  return (text != nullptr && !IS_INTRESOURCE(text)) ? std::string(text) : std::string();
}

// Where a new item goes: at the end, or in case-insensitive order in a
// sorted list.
int InsertPosition(const Window& w, const std::string& text, bool sorted) {
  if (!sorted) return static_cast<int>(w.items.size());
  int i = 0;
  while (i < static_cast<int>(w.items.size()) && CompareNoCase(w.items[i].text, text) <= 0) ++i;
  return i;
}

void InsertItem(Window& w, int index, const std::string& text) {
  w.items.insert(w.items.begin() + index, ListItem{text, 0});
  if (w.selection >= index) w.selection++;
}

// Finds an item from after `start` on, wrapping around; prefix or exact,
// without regard to case.
int FindItem(const Window& w, WPARAM start, const std::string& text, bool exact) {
  int count = static_cast<int>(w.items.size());
  int first = (static_cast<int>(start) < 0 || static_cast<int>(start) >= count)
                  ? 0
                  : static_cast<int>(start) + 1;
  for (int n = 0; n < count; ++n) {
    int i = (first + n) % count;
    const std::string& item = w.items[i].text;
    if (exact ? EqualNoCase(item, text)
              : (item.size() >= text.size() && EqualNoCase(item.substr(0, text.size()), text)))
      return i;
  }
  return -1;
}

LRESULT CopyItemText(const Window& w, WPARAM index, LPARAM buffer) {
  if (index >= w.items.size()) return -1;
  const std::string& text = w.items[index].text;
  if (buffer != 0) std::memcpy(reinterpret_cast<char*>(buffer), text.c_str(), text.size() + 1);
  return static_cast<LRESULT>(text.size());
}

}  // namespace

// The controls of a dialog that form the group of `control`: from the
// WS_GROUP control at or before it up to the next WS_GROUP control, the list
// of controls taken as a ring.
std::vector<HWND> DialogGroupOf(HWND control) {
  Window* w = Get(control);
  if (w == nullptr || w->parent == nullptr) return {control};
  Window* parent = Get(w->parent);
  if (parent == nullptr) return {control};
  const std::vector<HWND>& all = parent->children;
  int n = static_cast<int>(all.size());
  int at = 0;
  while (at < n && all[at] != control) ++at;
  if (at == n) return {control};
  int start = at;
  for (int k = 0; k < n; ++k) {
    int i = (at - k + n) % n;
    Window* c = Get(all[i]);
    if (c && (c->style & WS_GROUP)) {
      start = i;
      break;
    }
    if (k == n - 1) start = (at + 1) % n;  // no WS_GROUP anywhere: the whole ring
  }
  std::vector<HWND> group;
  for (int k = 0; k < n; ++k) {
    int i = (start + k) % n;
    Window* c = Get(all[i]);
    if (k > 0 && c && (c->style & WS_GROUP)) break;
    group.push_back(all[i]);
  }
  return group;
}

void ButtonClick(HWND button) {
  Window* w = Get(button);
  if (w == nullptr) return;
  DWORD type = ButtonType(*w);
  if (type == BS_GROUPBOX) return;  // takes no clicks
  SetFocus(button);
  if ((w = Get(button)) == nullptr) return;
  switch (type) {
    case BS_AUTOCHECKBOX:
      SendMessageA(button, BM_SETCHECK, (w->check & BST_CHECKED) ? BST_UNCHECKED : BST_CHECKED, 0);
      break;
    case BS_AUTO3STATE:
      SendMessageA(button, BM_SETCHECK, (w->check + 1) % 3, 0);
      break;
    case BS_AUTORADIOBUTTON: {
      SendMessageA(button, BM_SETCHECK, BST_CHECKED, 0);
      // The other auto radio buttons of the group that can take input.
      for (HWND other : DialogGroupOf(button)) {
        Window* o = Get(other);
        if (other == button || o == nullptr) continue;
        if ((o->style & (WS_VISIBLE | WS_DISABLED)) != WS_VISIBLE) continue;
        if (o->cls->kind == Kind::Button && ButtonType(*o) == BS_AUTORADIOBUTTON)
          SendMessageA(other, BM_SETCHECK, BST_UNCHECKED, 0);
      }
      break;
    }
    default:
      break;
  }
  NotifyParent(button, BN_CLICKED);
}

void ListBoxUserSelect(HWND list, int index, bool doubleClick) {
  Window* w = Get(list);
  if (w == nullptr) return;
  SetFocus(list);
  w = Get(list);
  if (w == nullptr) return;
  if (index < 0) {
    // A double click where there is no line changes no selection, and a
    // list box with LBS_NOTIFY reports the double click all the same (Wine's
    // listbox: WM_LBUTTONDBLCLK sends LBN_DBLCLK without looking for a line).
    if (doubleClick && (w->style & LBS_NOTIFY)) NotifyParent(list, LBN_DBLCLK);
    return;
  }
  w->needsPaint = true;
  w->selection = index;
  bool notify = (w->style & LBS_NOTIFY) != 0;
  if (notify) NotifyParent(list, LBN_SELCHANGE);
  if (doubleClick && notify && Get(list) != nullptr) NotifyParent(list, LBN_DBLCLK);
}

void ComboBoxUserSelect(HWND combo, int index) {
  Window* w = Get(combo);
  if (w == nullptr) return;
  SetFocus(combo);
  NotifyParent(combo, CBN_DROPDOWN);
  w = Get(combo);
  if (w == nullptr) return;
  w->droppedDown = true;
  w->selection = index;
  if ((w->style & 3) != CBS_DROPDOWNLIST) w->text = w->items[index].text;
  NotifyParent(combo, CBN_SELENDOK);
  if ((w = Get(combo)) != nullptr) w->droppedDown = false;
  NotifyParent(combo, CBN_CLOSEUP);
  NotifyParent(combo, CBN_SELCHANGE);
}

LRESULT CALLBACK ButtonProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = Get(hwnd);
  if (w == nullptr) return 0;
  LRESULT result = 0;
  if (HandleCommon(hwnd, *w, msg, wParam, &result)) return result;
  DWORD type = ButtonType(*w);
  switch (msg) {
    case WM_GETDLGCODE:
      switch (type) {
        case BS_PUSHBUTTON: return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
        case BS_DEFPUSHBUTTON: return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON: return DLGC_BUTTON | DLGC_RADIOBUTTON;
        case BS_GROUPBOX: return DLGC_STATIC;
        default: return DLGC_BUTTON;
      }
    case BM_GETCHECK:
      return MaxCheck(type) ? static_cast<LRESULT>(w->check) : 0;
    case BM_SETCHECK: {
      UINT state = static_cast<UINT>(wParam);
      if (state > MaxCheck(type)) state = MaxCheck(type);
      w->check = state;
      // A radio button is a tab stop while it is checked.
      if (IsRadio(type)) {
        if (state) w->style |= WS_TABSTOP;
        else w->style &= ~WS_TABSTOP;
      }
      return 0;
    }
    case BM_GETSTATE:
      return static_cast<LRESULT>(w->check | (w->pushed ? BST_PUSHED : 0) |
                                  (GetFocus() == hwnd ? BST_FOCUS : 0));
    case BM_SETSTATE:
      w->pushed = wParam != 0;
      return 0;
    case BM_SETSTYLE:
      w->style = (w->style & ~BS_TYPEMASK) | (static_cast<DWORD>(wParam) & BS_TYPEMASK);
      return 0;
    case BM_CLICK:
      // A disabled button does not notify its parent.
      if (IsWindowEnabled(hwnd)) ButtonClick(hwnd);
      return 0;
    case WM_NCHITTEST:
      if (type == BS_GROUPBOX) return -1;  // HTTRANSPARENT
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    default:
      return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

LRESULT CALLBACK StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = Get(hwnd);
  if (w == nullptr) return 0;
  LRESULT result = 0;
  if (HandleCommon(hwnd, *w, msg, wParam, &result)) return result;
  if (msg == WM_GETDLGCODE) return DLGC_STATIC;
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK EditProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = Get(hwnd);
  if (w == nullptr) return 0;
  LRESULT result = 0;
  if (HandleCommon(hwnd, *w, msg, wParam, &result)) return result;
  if (msg == WM_GETDLGCODE) return DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK ScrollBarProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = Get(hwnd);
  if (w == nullptr) return 0;
  LRESULT result = 0;
  if (HandleCommon(hwnd, *w, msg, wParam, &result)) return result;
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK ListBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = Get(hwnd);
  if (w == nullptr) return 0;
  LRESULT result = 0;
  if (HandleCommon(hwnd, *w, msg, wParam, &result)) return result;
  int count = static_cast<int>(w->items.size());
  bool multiple = (w->style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL)) != 0;
  switch (msg) {
    case WM_GETDLGCODE:
      return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      // Focus changes are reported with or without LBS_NOTIFY.
      NotifyParent(hwnd, msg == WM_SETFOCUS ? LBN_SETFOCUS : LBN_KILLFOCUS);
      return 0;
    case LB_ADDSTRING: {
      std::string text = TextArg(lParam);
      int index = InsertPosition(*w, text, (w->style & LBS_SORT) != 0);
      InsertItem(*w, index, text);
      return index;
    }
    case LB_INSERTSTRING: {
      int index = static_cast<int>(wParam);
      if (index == -1) index = count;
      if (index < 0 || index > count) return LB_ERR;
      InsertItem(*w, index, TextArg(lParam));
      return index;
    }
    case LB_DELETESTRING: {
      if (wParam >= static_cast<WPARAM>(count)) return LB_ERR;
      int index = static_cast<int>(wParam);
      w->items.erase(w->items.begin() + index);
      // The selected line goes with it; lines below move up.
      if (w->selection == index) w->selection = -1;
      else if (w->selection > index) w->selection--;
      return static_cast<LRESULT>(w->items.size());
    }
    case LB_RESETCONTENT:
      w->items.clear();
      w->selection = -1;
      return LB_OKAY;
    case LB_GETCOUNT:
      return count;
    case LB_SETCURSEL: {
      if (multiple) return LB_ERR;
      int index = static_cast<int>(wParam);
      if (index == -1) {
        w->selection = -1;
        return LB_ERR;
      }
      if (index < 0 || index >= count) return LB_ERR;
      w->selection = index;
      return index;
    }
    case LB_GETCURSEL:
      return w->selection;
    case LB_GETSEL:
      if (wParam >= static_cast<WPARAM>(count)) return LB_ERR;
      return static_cast<int>(wParam) == w->selection ? 1 : 0;
    case LB_GETTEXT:
      return CopyItemText(*w, wParam, lParam);
    case LB_GETTEXTLEN:
      if (wParam >= static_cast<WPARAM>(count)) return LB_ERR;
      return static_cast<LRESULT>(w->items[wParam].text.size());
    case LB_GETITEMDATA:
      if (wParam >= static_cast<WPARAM>(count)) return LB_ERR;
      return w->items[wParam].data;
    case LB_SETITEMDATA:
      if (wParam >= static_cast<WPARAM>(count)) return LB_ERR;
      w->items[wParam].data = lParam;
      return LB_OKAY;
    case LB_FINDSTRING:
      return FindItem(*w, wParam, TextArg(lParam), false);
    case LB_FINDSTRINGEXACT:
      return FindItem(*w, wParam, TextArg(lParam), true);
    case LB_SELECTSTRING: {
      int index = FindItem(*w, wParam, TextArg(lParam), false);
      if (index >= 0 && !multiple) w->selection = index;
      return index;
    }
    case LB_GETTOPINDEX:
      return 0;
    case LB_SETTOPINDEX:
      return (wParam < static_cast<WPARAM>(count) || count == 0) ? LB_OKAY : LB_ERR;
    default:
      return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

LRESULT CALLBACK ComboBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = Get(hwnd);
  if (w == nullptr) return 0;
  LRESULT result = 0;
  if (HandleCommon(hwnd, *w, msg, wParam, &result)) return result;
  int count = static_cast<int>(w->items.size());
  bool dropDownList = (w->style & 3) == CBS_DROPDOWNLIST;
  switch (msg) {
    case WM_GETDLGCODE:
      return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case CB_ADDSTRING: {
      std::string text = TextArg(lParam);
      int index = InsertPosition(*w, text, (w->style & CBS_SORT) != 0);
      InsertItem(*w, index, text);
      return index;
    }
    case CB_INSERTSTRING: {
      int index = static_cast<int>(wParam);
      if (index == -1) index = count;
      if (index < 0 || index > count) return CB_ERR;
      InsertItem(*w, index, TextArg(lParam));
      return index;
    }
    case CB_DELETESTRING: {
      if (wParam >= static_cast<WPARAM>(count)) return CB_ERR;
      int index = static_cast<int>(wParam);
      w->items.erase(w->items.begin() + index);
      if (w->selection == index) w->selection = -1;
      else if (w->selection > index) w->selection--;
      return static_cast<LRESULT>(w->items.size());
    }
    case CB_RESETCONTENT:
      w->items.clear();
      w->selection = -1;
      if (!dropDownList) w->text.clear();
      return CB_OKAY;
    case CB_GETCOUNT:
      return count;
    case CB_SETCURSEL: {
      // An index out of range, or -1, clears the selection.
      if (wParam >= static_cast<WPARAM>(count)) {
        w->selection = -1;
        if (!dropDownList) w->text.clear();
        return CB_ERR;
      }
      w->selection = static_cast<int>(wParam);
      if (!dropDownList) w->text = w->items[wParam].text;
      return w->selection;
    }
    case CB_GETCURSEL:
      return w->selection;
    case CB_GETLBTEXT:
      return CopyItemText(*w, wParam, lParam);
    case CB_GETLBTEXTLEN:
      if (wParam >= static_cast<WPARAM>(count)) return CB_ERR;
      return static_cast<LRESULT>(w->items[wParam].text.size());
    case CB_GETITEMDATA:
      if (wParam >= static_cast<WPARAM>(count)) return CB_ERR;
      return w->items[wParam].data;
    case CB_SETITEMDATA:
      if (wParam >= static_cast<WPARAM>(count)) return CB_ERR;
      w->items[wParam].data = lParam;
      return CB_OKAY;
    case CB_FINDSTRING:
      return FindItem(*w, wParam, TextArg(lParam), false);
    case CB_FINDSTRINGEXACT:
      return FindItem(*w, wParam, TextArg(lParam), true);
    case CB_SELECTSTRING: {
      int index = FindItem(*w, wParam, TextArg(lParam), false);
      if (index >= 0) {
        w->selection = index;
        if (!dropDownList) w->text = w->items[index].text;
      }
      return index;
    }
    case CB_SHOWDROPDOWN:
      w->droppedDown = wParam != 0;
      return TRUE;
    case CB_GETDROPPEDSTATE:
      return w->droppedDown ? TRUE : FALSE;
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
      if (dropDownList) {
        // The text of a drop-down list is its selected entry.
        std::string text = w->selection >= 0 ? w->items[w->selection].text : std::string();
        if (msg == WM_GETTEXTLENGTH) return static_cast<LRESULT>(text.size());
        if (wParam == 0 || lParam == 0) return 0;
        size_t n = text.size() < wParam - 1 ? text.size() : wParam - 1;
        std::memcpy(reinterpret_cast<char*>(lParam), text.data(), n);
        reinterpret_cast<char*>(lParam)[n] = '\0';
        return static_cast<LRESULT>(n);
      }
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    default:
      return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

}  // namespace win32
}  // namespace host
