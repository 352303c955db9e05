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

const char* textArg(LPARAM lParam) {
  return lParam ? reinterpret_cast<const char*>(lParam) : "";
}

// ---- EDIT ------------------------------------------------------------------------

struct EditState : ControlState {
  std::string text;
  size_t anchor = 0;  // where the selection started
  size_t caret = 0;   // where it ends: the caret

  void replaceSelection(const std::string& with) {
    size_t from = std::min(anchor, caret);
    size_t to = std::max(anchor, caret);
    text.replace(from, to - from, with);
    anchor = caret = from + with.size();
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
      edit->text = cs && cs->lpszName ? cs->lpszName : "";
      return TRUE;
    }
    case WM_SETTEXT:
      edit->text = textArg(lParam);
      edit->anchor = edit->caret = 0;
      return TRUE;
    case WM_GETTEXT:
      return copyText(edit->text, wParam, lParam);
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(edit->text.size());
    case WM_CHAR:
      edit->typed(static_cast<unsigned char>(wParam & 0xff), styleOf(hwnd));
      return 0;
    case EM_REPLACESEL:
      edit->replaceSelection(textArg(lParam));
      return 0;
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
    case EM_GETLINECOUNT: {
      LRESULT lines = 1;
      for (size_t at = edit->text.find("\r\n"); at != std::string::npos;
           at = edit->text.find("\r\n", at + 2)) {
        ++lines;
      }
      return lines;
    }
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
      fitField();
      return user().defWindowProc(hwnd, message, wParam, lParam);
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

namespace {

// ---- BUTTON ----------------------------------------------------------------------

struct ButtonState : ControlState {
  WPARAM check = BST_UNCHECKED;
};

}  // namespace

LRESULT CALLBACK ButtonWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ButtonState* button = user().state<ButtonState>(hwnd);
  if (!button) return user().defWindowProc(hwnd, message, wParam, lParam);
  bool checkBox = (styleOf(hwnd) & BS_TYPEMASK) == BS_AUTOCHECKBOX;
  switch (message) {
    case BM_GETCHECK:
      return checkBox ? static_cast<LRESULT>(button->check) : 0;
    case BM_SETCHECK:
      if (checkBox) button->check = wParam;
      return 0;
    case BM_CLICK: {
      // A press and release inside the button: a button without area takes no click.
      RECT client{};
      user().windowRect(hwnd, &client, true);
      if (client.right <= 0 || client.bottom <= 0) return 0;
      if (checkBox) {
        user().sendMessage(hwnd, BM_SETCHECK, button->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
      }
      // The parent may destroy the button while it hears of the click: nothing of the
      // button is touched after this.
      auto id = static_cast<WORD>(user().getWindowLong(hwnd, GWLP_ID));
      if (HWND parent = user().parent(hwnd)) {
        user().sendMessage(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(hwnd));
      }
      return 0;
    }
    default:
      return user().defWindowProc(hwnd, message, wParam, lParam);
  }
}

}  // namespace sim
