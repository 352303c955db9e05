// The list a drop-down combo box drops (ComboLBox) in the headless user32.
#include <algorithm>

#include "platform/sim/user32_controls.h"
#include "platform/sim/text.h"

namespace sim {

using namespace controls;

const char* const kComboListClass = "ComboLBox";

namespace {

struct ComboListState : ControlState {
  HWND combo = nullptr;  // the box it belongs to
  int selected = -1;
};

}  // namespace

LRESULT CALLBACK ComboListWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ComboListState* list = user().state<ComboListState>(hwnd);
  if (list && message == WM_NCCREATE) {
    list->combo = static_cast<HWND>(reinterpret_cast<const CREATESTRUCTA*>(lParam)->lpCreateParams);
  }
  HWND combo = list ? list->combo : nullptr;
  if (!combo) return user().defWindowProc(hwnd, message, wParam, lParam);
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

}  // namespace sim
