// The built-in control classes of the headless user32: EDIT, COMBOBOX and BUTTON.
// Each keeps its state beside the window and is driven only by messages, on the
// window's own thread.
#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {

namespace {

User32& user() { return SimMachine::current().user(); }

DWORD styleOf(HWND hwnd) { return static_cast<DWORD>(user().getWindowLong(hwnd, GWL_STYLE)); }

// A control tells its parent with WM_COMMAND: its id and the code, its window.
void notifyParent(HWND hwnd, WORD code) {
  auto id = static_cast<WORD>(user().getWindowLong(hwnd, GWLP_ID));
  if (HWND parent = user().parent(hwnd)) {
    user().sendMessage(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(hwnd));
  }
}

const char* textArg(LPARAM lParam) {
  return lParam ? reinterpret_cast<const char*>(lParam) : "";
}

bool insideClient(HWND hwnd, LPARAM point) {
  RECT client{};
  user().windowRect(hwnd, &client, true);
  auto x = static_cast<SHORT>(LOWORD(point));
  auto y = static_cast<SHORT>(HIWORD(point));
  return x >= 0 && y >= 0 && x < client.right && y < client.bottom;
}

// ---- EDIT ------------------------------------------------------------------------

// What an edit holds before EM_SETLIMITTEXT: Wine's user32 keeps 30,000 characters
// (measured: 40 blocks of 1,000 through EM_REPLACESEL leave 30,000); Microsoft
// documents 32,767 for Windows. The model is Wine's, which the tests run against.
constexpr size_t kDefaultEditLimit = 30000;

size_t countBreaks(const std::string& text, size_t from, size_t to) {
  size_t breaks = 0;
  for (size_t at = text.find("\r\n", from); at != std::string::npos && at + 2 <= to;
       at = text.find("\r\n", at + 2)) {
    ++breaks;
  }
  return breaks;
}

struct EditState : ControlState {
  std::string text;
  size_t anchor = 0;  // where the selection started
  size_t caret = 0;   // where it ends: the caret
  size_t limit = kDefaultEditLimit;
  size_t breaks = 0;  // CR LF pairs: the lines are one more

  void setText(const std::string& with) {
    text = with;
    anchor = caret = 0;
    breaks = countBreaks(text, 0, text.size());
  }

  // Replaces the selection with as much of `with` as the limit leaves room for;
  // false when something was cut off. The line count follows the change alone (a
  // pair may form or break at either edge), so a change costs what it changes.
  bool replaceSelection(const std::string& with) {
    size_t from = std::min(anchor, caret);
    size_t to = std::max(anchor, caret);
    size_t kept = text.size() - (to - from);
    size_t room = limit > kept ? limit - kept : 0;
    size_t length = std::min(with.size(), room);
    size_t edgeFrom = from > 0 ? from - 1 : 0;
    breaks -= countBreaks(text, edgeFrom, std::min(to + 1, text.size()));
    text.replace(from, to - from, with, 0, length);
    breaks += countBreaks(text, edgeFrom, std::min(from + length + 1, text.size()));
    anchor = caret = from + length;
    return length == with.size();
  }

  // The length of the line that holds character `index`.
  size_t lineLength(size_t index) const {
    index = std::min(index, text.size());
    size_t start = index < 2 ? std::string::npos : text.rfind("\r\n", index - 2);
    start = start == std::string::npos ? 0 : start + 2;
    size_t end = text.find("\r\n", start);
    return (end == std::string::npos ? text.size() : end) - start;
  }

  void typed(unsigned char c, DWORD style) {
    bool multiLine = (style & ES_MULTILINE) != 0;
    if (style & ES_READONLY) return;
    switch (c) {
      case '\b':
        if (anchor == caret && caret > 0) {
          // A line break is one step back: CR LF goes as a pair.
          bool lineBreak = multiLine && caret >= 2 && text.compare(caret - 2, 2, "\r\n") == 0;
          anchor = caret - (lineBreak ? 2 : 1);
        }
        replaceSelection("");
        return;
      case '\r':
      case '\n':
        if (multiLine) replaceSelection("\r\n");
        return;
      case '\t':
        if (multiLine) replaceSelection("\t");
        return;
      default:
        // Other control characters and DEL are no text.
        if (c >= ' ' && c != 127) replaceSelection(std::string(1, static_cast<char>(c)));
    }
  }
};

}  // namespace

LRESULT CALLBACK EditWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  EditState* edit = user().state<EditState>(hwnd);
  if (!edit) return user().defWindowProc(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      edit->setText(cs && cs->lpszName ? cs->lpszName : "");
      return TRUE;
    }
    case WM_SETTEXT:
      // The program's text is taken whole, beyond the limit too (as Wine does).
      edit->setText(textArg(lParam));
      return TRUE;
    case WM_GETTEXT:
      return copyText(edit->text, wParam, lParam);
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(edit->text.size());
    case WM_LBUTTONDOWN:
      user().setFocus(hwnd);
      return 0;
    case WM_CHAR:
      edit->typed(static_cast<unsigned char>(wParam & 0xff), styleOf(hwnd));
      return 0;
    case EM_REPLACESEL:
      if (!edit->replaceSelection(textArg(lParam))) notifyParent(hwnd, EN_MAXTEXT);
      return 0;
    case EM_SETLIMITTEXT:
      // 0 lifts the limit (a single-line edit keeps 0x7FFFFFFE).
      edit->limit = wParam ? wParam : (styleOf(hwnd) & ES_MULTILINE) ? ~size_t{0} : 0x7FFFFFFE;
      return 0;
    case EM_GETLIMITTEXT:
      return static_cast<LRESULT>(std::min<size_t>(edit->limit, 0xFFFFFFFFu));
    case EM_LINELENGTH:
      if (!(styleOf(hwnd) & ES_MULTILINE)) return static_cast<LRESULT>(edit->text.size());
      return static_cast<LRESULT>(edit->lineLength(static_cast<size_t>(static_cast<DWORD>(wParam))));
    case EM_SETSEL: {
      // -1 as the start drops the selection where the caret is; ends past the text
      // (-1 among them) mean its end.
      size_t length = edit->text.size();
      if (static_cast<int>(wParam) == -1) {
        edit->anchor = edit->caret;
      } else {
        edit->anchor = std::min<size_t>(static_cast<DWORD>(wParam), length);
        edit->caret = std::min<size_t>(static_cast<DWORD>(lParam), length);
      }
      return 0;
    }
    case EM_GETSEL: {
      auto from = static_cast<DWORD>(std::min(edit->anchor, edit->caret));
      auto to = static_cast<DWORD>(std::max(edit->anchor, edit->caret));
      if (wParam) *reinterpret_cast<DWORD*>(wParam) = from;
      if (lParam) *reinterpret_cast<DWORD*>(lParam) = to;
      return MAKELONG(static_cast<WORD>(from), static_cast<WORD>(to));
    }
    case EM_GETLINECOUNT:
      return static_cast<LRESULT>(edit->breaks + 1);
    default:
      return user().defWindowProc(hwnd, message, wParam, lParam);
  }
}

namespace {

// ---- COMBOBOX --------------------------------------------------------------------

constexpr int kComboBorder = 3;

struct ComboState : ControlState {
  std::vector<std::pair<std::string, LPARAM>> items;
  int selected = CB_ERR;
  LRESULT fieldHeight = 15;
  LRESULT itemHeight = 13;
  int droppedHeight = 0;  // the height the window was made with: field and list
  HWND list = nullptr;    // made when first dropped
  bool dropped = false;

  bool valid(WPARAM index) const { return static_cast<int>(index) >= 0 && index < items.size(); }
  int count() const { return static_cast<int>(items.size()); }

  LRESULT insert(int index, const char* text) {
    if (index < 0) index = count();
    if (index > count()) return CB_ERR;
    items.insert(items.begin() + index, {text, 0});
    if (selected >= index) ++selected;
    return index;
  }
};

int sortedPosition(const ComboState& combo, const std::string& text) {
  auto it = std::upper_bound(combo.items.begin(), combo.items.end(), text, [](auto& t, auto& item) {
    return lowerAscii(t) < lowerAscii(item.first);
  });
  return static_cast<int>(it - combo.items.begin());
}

// The list's id as its combo box hears it.
constexpr WORD kComboListId = 1000;

void rollUp(HWND hwnd, ComboState& combo, bool picked) {
  if (!combo.dropped) return;
  combo.dropped = false;
  notifyParent(hwnd, picked ? CBN_SELENDOK : CBN_SELENDCANCEL);
  user().showWindow(combo.list, SW_HIDE);
  notifyParent(hwnd, CBN_CLOSEUP);
}

void dropDown(HWND hwnd, ComboState& combo) {
  if (combo.dropped || (styleOf(hwnd) & CBS_DROPDOWNLIST) == CBS_SIMPLE) return;
  notifyParent(hwnd, CBN_DROPDOWN);
  RECT field{};
  user().windowRect(hwnd, &field, false);
  RECT r{};
  user().sendMessage(hwnd, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&r));
  r.top = field.bottom;
  // Whole entries only, and no more room than the entries take.
  auto item = static_cast<int>(combo.itemHeight);
  int rows = std::clamp((static_cast<int>(r.bottom - r.top) - 2) / std::max(item, 1), 1, std::max(combo.count(), 1));
  int width = r.right - r.left, height = rows * item + 2;
  if (!combo.list) {
    combo.list = user().createWindow(0, kComboListClass, "", WS_POPUP | WS_BORDER, r.left, r.top, width,
                                     height, hwnd, nullptr, nullptr, nullptr);
    if (!combo.list) return;
  } else {
    user().moveWindow(combo.list, r.left, r.top, width, height);
  }
  combo.dropped = true;
  user().sendMessage(combo.list, LB_SETCURSEL, static_cast<WPARAM>(combo.selected), 0);
  user().showWindow(combo.list, SW_SHOWNOACTIVATE);
}

// The user selects entry `to`: the list follows and the parent hears of it.
void select(HWND hwnd, ComboState& combo, int to) {
  if (to == combo.selected) return;
  combo.selected = to;
  if (combo.dropped) user().sendMessage(combo.list, LB_SETCURSEL, static_cast<WPARAM>(to), 0);
  notifyParent(hwnd, CBN_SELCHANGE);
}

// Keys and the wheel move the selection by `by`.
void step(HWND hwnd, ComboState& combo, int by) {
  if (combo.items.empty()) return;
  select(hwnd, combo, std::clamp(combo.selected < 0 ? 0 : combo.selected + by, 0, combo.count() - 1));
}

// A letter selects the next entry after the selected one that starts with it.
void selectByLetter(HWND hwnd, ComboState& combo, char letter) {
  int n = combo.count();
  for (int i = 1; i <= n; ++i) {
    int at = (combo.selected + i + n) % n;
    const std::string& text = combo.items[static_cast<size_t>(at)].first;
    if (!text.empty() && lowerAscii(text.substr(0, 1)) == lowerAscii(std::string(1, letter))) {
      select(hwnd, combo, at);
      return;
    }
  }
}

}  // namespace

LRESULT CALLBACK ComboBoxWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ComboState* combo = user().state<ComboState>(hwnd);
  if (!combo) return user().defWindowProc(hwnd, message, wParam, lParam);
  int index = static_cast<int>(wParam);
  // A drop-down combo box's window is its selection field: the height it is given is
  // that of the list it drops.
  auto fitField = [&] {
    if ((styleOf(hwnd) & CBS_DROPDOWNLIST) != CBS_SIMPLE) {
      user().setHeightQuietly(hwnd, static_cast<int>(combo->fieldHeight) + 2 * kComboBorder);
    }
  };
  switch (message) {
    case WM_NCCREATE:
      combo->droppedHeight = reinterpret_cast<const CREATESTRUCTA*>(lParam)->cy;
      fitField();
      return user().defWindowProc(hwnd, message, wParam, lParam);
    // ---- the user --------------------------------------------------------------------
    case WM_LBUTTONDOWN:
      user().setFocus(hwnd);
      if (combo->dropped) {
        rollUp(hwnd, *combo, false);
      } else {
        dropDown(hwnd, *combo);
      }
      return 0;
    case WM_KEYDOWN:
      switch (wParam) {
        case VK_DOWN: step(hwnd, *combo, 1); break;
        case VK_UP: step(hwnd, *combo, -1); break;
        case VK_F4: combo->dropped ? rollUp(hwnd, *combo, true) : dropDown(hwnd, *combo); break;
        case VK_RETURN: rollUp(hwnd, *combo, true); break;
        case VK_ESCAPE: rollUp(hwnd, *combo, false); break;
        default: break;
      }
      return 0;
    case WM_SYSKEYDOWN:
      // Alt with an arrow opens or closes the list.
      if (wParam == VK_DOWN || wParam == VK_UP) {
        combo->dropped ? rollUp(hwnd, *combo, true) : dropDown(hwnd, *combo);
        return 0;
      }
      return user().defWindowProc(hwnd, message, wParam, lParam);
    case WM_CHAR:
      if ((styleOf(hwnd) & CBS_DROPDOWNLIST) == CBS_DROPDOWNLIST && wParam > ' ') {
        selectByLetter(hwnd, *combo, static_cast<char>(wParam));
      }
      return 0;
    case WM_MOUSEWHEEL:
      step(hwnd, *combo, static_cast<SHORT>(HIWORD(wParam)) > 0 ? -1 : 1);
      return 0;
    case WM_KILLFOCUS:
      rollUp(hwnd, *combo, false);
      return 0;
    case WM_COMMAND:
      // The dropped list reports a pick or its end; then the parent hears of it.
      if (reinterpret_cast<HWND>(lParam) != combo->list || !combo->list) return 0;
      if (HIWORD(wParam) == LBN_SELCHANGE) {
        combo->selected = static_cast<int>(user().sendMessage(combo->list, LB_GETCURSEL, 0, 0));
        rollUp(hwnd, *combo, true);
        notifyParent(hwnd, CBN_SELCHANGE);
      } else if (HIWORD(wParam) == LBN_SELCANCEL) {
        rollUp(hwnd, *combo, false);
      }
      return 0;
    case CB_SHOWDROPDOWN:
      wParam ? dropDown(hwnd, *combo) : rollUp(hwnd, *combo, false);
      return TRUE;
    case CB_GETDROPPEDSTATE:
      return combo->dropped ? TRUE : FALSE;
    case CB_GETDROPPEDCONTROLRECT: {
      // The box as it is dropped, on the screen: the field and the list below it, as
      // high as the box was made.
      if (!lParam) return CB_ERR;
      RECT field{};
      user().windowRect(hwnd, &field, false);
      int height = std::max(combo->droppedHeight, static_cast<int>(field.bottom - field.top + combo->itemHeight + 2));
      *reinterpret_cast<RECT*>(lParam) = RECT{field.left, field.top, field.right, field.top + height};
      return TRUE;
    }
    // ---- the program -----------------------------------------------------------------
    case WM_WINDOWPOSCHANGING:
      if ((styleOf(hwnd) & CBS_DROPDOWNLIST) != CBS_SIMPLE) {
        reinterpret_cast<WINDOWPOS*>(lParam)->cy = static_cast<int>(combo->fieldHeight) + 2 * kComboBorder;
      }
      return 0;
    case CB_ADDSTRING: {
      const char* text = textArg(lParam);
      bool sorted = (styleOf(hwnd) & CBS_SORT) != 0;
      return combo->insert(sorted ? sortedPosition(*combo, text) : combo->count(), text);
    }
    case CB_INSERTSTRING:
      return combo->insert(index, textArg(lParam));
    case CB_DELETESTRING:
      if (!combo->valid(wParam)) return CB_ERR;
      combo->items.erase(combo->items.begin() + index);
      if (combo->selected == index) {
        combo->selected = CB_ERR;
      } else if (combo->selected > index) {
        --combo->selected;
      }
      return combo->count();
    case CB_RESETCONTENT:
      combo->items.clear();
      combo->selected = CB_ERR;
      return CB_OKAY;
    case CB_GETCOUNT:
      return combo->count();
    case CB_SETCURSEL:
      // -1 clears the selection (and answers CB_ERR); a position past the end is
      // refused and changes nothing.
      if (index == -1) combo->selected = CB_ERR;
      if (!combo->valid(wParam)) return CB_ERR;
      combo->selected = index;
      return index;
    case CB_GETCURSEL:
      return combo->selected;
    case CB_GETLBTEXT:
      if (!combo->valid(wParam)) return CB_ERR;
      return copyText(combo->items[wParam].first, combo->items[wParam].first.size() + 1, lParam);
    case CB_GETLBTEXTLEN:
      return combo->valid(wParam) ? static_cast<LRESULT>(combo->items[wParam].first.size()) : CB_ERR;
    case CB_SETITEMDATA:
      if (!combo->valid(wParam)) return CB_ERR;
      combo->items[wParam].second = lParam;
      return CB_OKAY;
    case CB_GETITEMDATA:
      return combo->valid(wParam) ? combo->items[wParam].second : CB_ERR;
    case CB_SETITEMHEIGHT:
      if (lParam <= 0 || lParam > 255 || (index != -1 && !combo->valid(wParam) && index != 0)) {
        return CB_ERR;
      }
      (index == -1 ? combo->fieldHeight : combo->itemHeight) = lParam;
      fitField();
      return CB_OKAY;
    case CB_GETITEMHEIGHT:
      return index == -1 ? combo->fieldHeight : combo->itemHeight;
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: {
      // A drop-down list shows the selected entry.
      std::string text = combo->valid(static_cast<WPARAM>(combo->selected))
                             ? combo->items[static_cast<size_t>(combo->selected)].first
                             : std::string();
      if (message == WM_GETTEXTLENGTH) return static_cast<LRESULT>(text.size());
      return copyText(text, wParam, lParam);
    }
    default:
      return user().defWindowProc(hwnd, message, wParam, lParam);
  }
}

BOOL comboBoxInfo(HWND hwnd, COMBOBOXINFO* info) {
  if (!info || info->cbSize != sizeof(COMBOBOXINFO)) return FALSE;
  auto* combo = user().isWindow(hwnd) ? user().state<ComboState>(hwnd) : nullptr;
  if (!combo) return FALSE;
  RECT client{};
  user().windowRect(hwnd, &client, true);
  info->rcItem = RECT{kComboBorder, kComboBorder, client.right - kComboBorder - 17, client.bottom - kComboBorder};
  info->rcButton = RECT{client.right - kComboBorder - 17, kComboBorder, client.right - kComboBorder,
                        client.bottom - kComboBorder};
  info->stateButton = 0;
  info->hwndCombo = hwnd;
  info->hwndItem = hwnd;  // a drop-down list has no edit of its own
  info->hwndList = combo->list;
  return TRUE;
}

// ---- the dropped list of a combo box ------------------------------------------------

const char* const kComboListClass = "ComboLBox";

namespace {

struct ComboListState : ControlState {
  int selected = -1;
};

}  // namespace

LRESULT CALLBACK ComboListWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ComboListState* list = user().state<ComboListState>(hwnd);
  HWND combo = user().parent(hwnd);  // the owner
  if (!list || !combo) return user().defWindowProc(hwnd, message, wParam, lParam);
  auto tell = [&](WORD code) {
    user().sendMessage(combo, WM_COMMAND, MAKEWPARAM(kComboListId, code), reinterpret_cast<LPARAM>(hwnd));
  };
  switch (message) {
    case LB_SETCURSEL:
      list->selected = static_cast<int>(wParam);
      return list->selected;
    case LB_GETCURSEL:
      return list->selected;
    case LB_GETITEMRECT: {
      // In the list's client area, one entry's height a line.
      auto* items = user().state<ComboState>(combo);
      if (!lParam || static_cast<int>(wParam) < 0 || static_cast<int>(wParam) >= items->count()) return LB_ERR;
      RECT client{};
      user().windowRect(hwnd, &client, true);
      auto top = static_cast<LONG>(wParam) * static_cast<LONG>(items->itemHeight);
      *reinterpret_cast<RECT*>(lParam) = RECT{0, top, client.right, top + static_cast<LONG>(items->itemHeight)};
      return 1;
    }
    case WM_LBUTTONDOWN:
      // The list holds the mouse: a press outside it closes it unpicked.
      if (user().isVisible(hwnd) && !insideClient(hwnd, lParam)) tell(LBN_SELCANCEL);
      return 0;
    case WM_LBUTTONUP: {
      if (!user().isVisible(hwnd) || !insideClient(hwnd, lParam)) return 0;
      auto* items = user().state<ComboState>(combo);
      auto height = static_cast<int>(items->itemHeight);
      int at = static_cast<SHORT>(HIWORD(lParam)) / std::max(height, 1);
      if (at >= items->count()) return 0;
      list->selected = at;
      tell(LBN_SELCHANGE);
      return 0;
    }
    default:
      return user().defWindowProc(hwnd, message, wParam, lParam);
  }
}

namespace {

// ---- BUTTON ----------------------------------------------------------------------

struct ButtonState : ControlState {
  WPARAM check = BST_UNCHECKED;
  bool pressed = false;
};

}  // namespace

LRESULT CALLBACK ButtonWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ButtonState* button = user().state<ButtonState>(hwnd);
  if (!button) return user().defWindowProc(hwnd, message, wParam, lParam);
  bool checkBox = (styleOf(hwnd) & BS_TYPEMASK) == BS_AUTOCHECKBOX;
  // A press, then a release: the release inside the button (or of the space bar)
  // clicks it.
  auto release = [&](bool inside) {
    if (!std::exchange(button->pressed, false) || !inside) return;
    if (checkBox) {
      user().sendMessage(hwnd, BM_SETCHECK, button->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
    }
    // The parent may destroy the button while it hears of the click: nothing of the
    // button is touched after this.
    notifyParent(hwnd, BN_CLICKED);
  };
  switch (message) {
    case BM_GETCHECK:
      return checkBox ? static_cast<LRESULT>(button->check) : 0;
    case BM_SETCHECK:
      if (checkBox) button->check = wParam;
      return 0;
    case BM_CLICK:
      // As Windows does it: a press and a release at the button's corner, so a button
      // without area takes no click.
      user().sendMessage(hwnd, WM_LBUTTONDOWN, 1, 0);
      user().sendMessage(hwnd, WM_LBUTTONUP, 0, 0);
      return 0;
    case WM_LBUTTONDOWN:
      user().setFocus(hwnd);
      button->pressed = true;
      return 0;
    case WM_LBUTTONUP:
      release(insideClient(hwnd, lParam));
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_SPACE) button->pressed = true;
      return 0;
    case WM_KEYUP:
      if (wParam == VK_SPACE) release(true);
      return 0;
    default:
      return user().defWindowProc(hwnd, message, wParam, lParam);
  }
}

}  // namespace sim
