// COMBOBOX: the built-in combo box of the headless user32.
#include <algorithm>
#include <utility>

#include "platform/sim/user32_controls.h"
#include "platform/sim/text.h"

namespace sim {

using namespace controls;

namespace {

int sortedPosition(const ComboState& combo, const std::string& text) {
  auto it = std::upper_bound(combo.items.begin(), combo.items.end(), text, [](auto& t, auto& item) {
    return lowerAscii(t) < lowerAscii(item.first);
  });
  return static_cast<int>(it - combo.items.begin());
}

// Closes the list as Windows does: the parent hears first whether the selection
// stands, then that the list closed (the first even when it was not dropped, as on
// losing the focus).
void rollUp(HWND hwnd, ComboState& combo, bool ok) {
  notifyParent(hwnd, ok ? CBN_SELENDOK : CBN_SELENDCANCEL);
  if (!combo.dropped || !user().isWindow(hwnd)) return;
  combo.dropped = false;
  user().showWindow(combo.list, SW_HIDE);
  notifyParent(hwnd, CBN_CLOSEUP);
}

void dropDown(HWND hwnd, ComboState& combo) {
  if (combo.dropped || !combo.list || (styleOf(hwnd) & CBS_DROPDOWNLIST) == CBS_SIMPLE) return;
  notifyParent(hwnd, CBN_DROPDOWN);
  RECT field{};
  user().windowRect(hwnd, &field, false);
  RECT r{};
  user().sendMessage(hwnd, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&r));
  r.top = field.bottom;
  // Whole entries only, and no more room than the entries take.
  auto item = static_cast<int>(combo.itemHeight);
  int rows = std::clamp((static_cast<int>(r.bottom - r.top) - 2) / std::max(item, 1), 1, std::max(combo.count(), 1));
  user().moveWindow(combo.list, r.left, r.top, r.right - r.left, rows * item + 2);
  combo.dropped = true;
  combo.droppedIndex = combo.selected;
  user().sendMessage(combo.list, LB_SETCURSEL, static_cast<WPARAM>(combo.selected), 0);
  user().showWindow(combo.list, SW_SHOWNOACTIVATE);
}

// A key selects entry `to`. The parent hears of it each time, whether or not the
// selection moved (an arrow at the end of the list too); with the list closed the
// choice is made at once, so CBN_SELENDOK comes first.
void keySelect(HWND hwnd, ComboState& combo, int to) {
  combo.selected = to;
  if (combo.dropped) {
    user().sendMessage(combo.list, LB_SETCURSEL, static_cast<WPARAM>(to), 0);
  } else {
    notifyParent(hwnd, CBN_SELENDOK);
  }
  notifyParent(hwnd, CBN_SELCHANGE);
}

// Arrows and the wheel move the selection by `by`.
void step(HWND hwnd, ComboState& combo, int by) {
  if (combo.items.empty()) return;
  keySelect(hwnd, combo, std::clamp(combo.selected < 0 ? 0 : combo.selected + by, 0, combo.count() - 1));
}

// A letter selects the next entry after the selected one that starts with it.
void selectByLetter(HWND hwnd, ComboState& combo, char letter) {
  int n = combo.count();
  for (int i = 1; i <= n; ++i) {
    int at = (combo.selected + i + n) % n;
    const std::string& text = combo.items[static_cast<size_t>(at)].first;
    if (!text.empty() && lowerAscii(text.substr(0, 1)) == lowerAscii(std::string(1, letter))) {
      keySelect(hwnd, combo, at);
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
    case WM_CREATE:
      // The list is there from the start, hidden: a child of the desktop, so that it
      // can reach beyond the parent's edges (the styles Windows gives it, measured).
      if ((styleOf(hwnd) & CBS_DROPDOWNLIST) != CBS_SIMPLE) {
        combo->list = user().createWindow(WS_EX_TOOLWINDOW, kComboListClass, "", WS_POPUP, 0, 0, 0, 0, nullptr,
                                          nullptr, nullptr, hwnd);
        if (!combo->list) return -1;
        user().setWindowLong(combo->list, GWL_STYLE,
                             WS_CHILD | WS_CLIPSIBLINGS | WS_BORDER | LBS_COMBOBOX | LBS_HASSTRINGS | LBS_NOTIFY);
      }
      return 0;
    case WM_DESTROY:
      if (combo->list) user().destroyWindow(combo->list);
      return 0;
    case WM_SETFOCUS:
      if (!std::exchange(combo->focused, true)) notifyParent(hwnd, CBN_SETFOCUS);
      return 0;
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
        case VK_RETURN:
          if (combo->dropped) rollUp(hwnd, *combo, true);
          break;
        case VK_ESCAPE:
          if (combo->dropped) rollUp(hwnd, *combo, false);
          break;
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
      if (!std::exchange(combo->focused, false)) return 0;
      rollUp(hwnd, *combo, false);
      if (user().isWindow(hwnd)) notifyParent(hwnd, CBN_KILLFOCUS);
      return 0;
    case WM_COMMAND:
      // The dropped list reports a pick or its end; then the parent hears of it.
      if (reinterpret_cast<HWND>(lParam) != combo->list || !combo->list) return 0;
      if (HIWORD(wParam) == LBN_SELCHANGE) {
        combo->selected = static_cast<int>(user().sendMessage(combo->list, LB_GETCURSEL, 0, 0));
        rollUp(hwnd, *combo, true);
        notifyParent(hwnd, CBN_SELCHANGE);
      } else if (HIWORD(wParam) == LBN_SELCANCEL && combo->dropped) {
        // A click elsewhere puts back the selection the list had when it dropped,
        // without a CBN_SELCHANGE for it: what the arrows chose meanwhile is undone.
        combo->selected = combo->droppedIndex;
        rollUp(hwnd, *combo, false);
      }
      return 0;
    case CB_SHOWDROPDOWN:
      if (wParam) {
        dropDown(hwnd, *combo);
      } else if (combo->dropped) {
        rollUp(hwnd, *combo, false);
      }
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

}  // namespace sim
