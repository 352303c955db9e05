// BUTTON: the built-in button and check box of the headless user32.
#include <algorithm>
#include <utility>

#include "platform/sim/user32_controls.h"
#include "platform/sim/text.h"

namespace sim {

using namespace controls;

namespace {

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
