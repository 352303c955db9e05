// The keyboard and the mouse of the headless user32: input goes where Windows sends it.
#include <algorithm>

#include "platform/sim/user32.h"
#include "platform/sim/text.h"

namespace sim {

UINT User32::sendInput(UINT count, const INPUT* inputs, int size) {
  if (!inputs || size != static_cast<int>(sizeof(INPUT))) {
    setLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  for (UINT i = 0; i < count; ++i) {
    if (inputs[i].type == INPUT_KEYBOARD) {
      keyInput(inputs[i].ki);
    } else if (inputs[i].type == INPUT_MOUSE) {
      mouseInput(inputs[i].mi);
    }
  }
  return count;
}

void User32::postInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  kernel_.update([&] {
    Window* w = find(hwnd);
    if (!w) return;
    Queue& q = queue(w->thread);
    q.posted.push_back(MSG{hwnd, message, wParam, lParam, 0, cursorPos_});
    q.changeBits |= message >= WM_MOUSEMOVE ? QS_MOUSEBUTTON : QS_KEY;
  });
}

void User32::keyInput(const KEYBDINPUT& key) {
  int vk = key.wVk & 0xFF;
  bool up = (key.dwFlags & KEYEVENTF_KEYUP) != 0;
  HWND target = nullptr;
  UINT message = 0;
  LPARAM lParam = 1;
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    bool wasDown = keysDown_[vk];
    keysDown_[vk] = !up;
    // Keys with Alt held (and Alt itself) are system keys.
    bool system = keysDown_[VK_MENU] || vk == VK_MENU;
    if (keysDown_[VK_CONTROL]) system = false;
    message = system ? (up ? WM_SYSKEYUP : WM_SYSKEYDOWN) : (up ? WM_KEYUP : WM_KEYDOWN);
    lParam |= static_cast<LPARAM>(static_cast<ULONG_PTR>(key.wScan & 0xFF) << 16);
    if (keysDown_[VK_MENU]) lParam |= LPARAM{1} << 29;
    if (wasDown) lParam |= LPARAM{1} << 30;
    if (up) lParam = static_cast<LPARAM>(static_cast<ULONG_PTR>(lParam) | 0xC0000000u);
    Window* foreground = find(foreground_);
    if (!foreground) return;
    HWND focus = queue(foreground->thread).focus;
    target = focus ? focus : foreground_;
  }
  postInput(target, message, static_cast<WPARAM>(vk), lParam);
}

void User32::mouseInput(const MOUSEINPUT& mouse) {
  HWND target = nullptr;
  HWND activateTarget = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  POINT point{};
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    if (mouse.dwFlags & MOUSEEVENTF_MOVE) {
      cursorPos_.x += mouse.dx;
      cursorPos_.y += mouse.dy;
    }
    point = cursorPos_;
    if (mouse.dwFlags & MOUSEEVENTF_LEFTDOWN) {
      target = mouseTarget(point);
      message = WM_LBUTTONDOWN;
      wParam = 1;  // MK_LBUTTON
      // The window that takes the press holds the mouse until the release.
      capture_ = target;
      Window* w = find(target);
      for (; w && (w->style & WS_CHILD); w = find(w->parent)) {
      }
      // A click activates its top-level window (a dropped list is none of that kind).
      if (w && !(w->style & WS_POPUP) && w->handle != foreground_) activateTarget = w->handle;
    } else if (mouse.dwFlags & MOUSEEVENTF_LEFTUP) {
      target = capture_ ? capture_ : mouseTarget(point);
      capture_ = nullptr;
      if (Window* w = find(target)) {
        RECT r = screenRect(*w);
        RECT edges = frame(*w);
        point = POINT{cursorPos_.x - r.left - edges.left, cursorPos_.y - r.top - edges.top};
      }
      message = WM_LBUTTONUP;
    } else if (mouse.dwFlags & MOUSEEVENTF_WHEEL) {
      // The wheel turns what has the focus.
      Window* foreground = find(foreground_);
      target = foreground ? queue(foreground->thread).focus : nullptr;
      message = WM_MOUSEWHEEL;
      wParam = MAKEWPARAM(0, static_cast<WORD>(static_cast<SHORT>(mouse.mouseData)));
      point = cursorPos_;
    }
  }
  if (activateTarget) activate(activateTarget, WA_CLICKACTIVE);
  if (!target) return;
  postInput(target, message, wParam, MAKELPARAM(static_cast<WORD>(point.x), static_cast<WORD>(point.y)));
}

HWND User32::mouseTarget(POINT& point) {
  auto contains = [&](const RECT& r) {
    return point.x >= r.left && point.x < r.right && point.y >= r.top && point.y < r.bottom;
  };
  auto visible = [](const Window& w) { return (w.style & WS_VISIBLE) != 0; };
  Window* hit = nullptr;
  // A dropped list holds the mouse wherever it is.
  for (auto& [handle, w] : windows_) {
    if (visible(*w) && equalsIgnoreCase(w->className, kComboListClass)) hit = w.get();
  }
  if (!hit) {
    for (auto& [handle, w] : windows_) {
      bool topLevel = !(w->style & WS_CHILD) && w->parent != HWND_MESSAGE;
      if (!topLevel || !visible(*w) || !contains(screenRect(*w))) continue;
      if (!hit || handle == foreground_) hit = w.get();
    }
    // The deepest child under the point.
    for (bool deeper = hit != nullptr; deeper;) {
      deeper = false;
      for (auto& [handle, w] : windows_) {
        if (w->parent == hit->handle && (w->style & WS_CHILD) && visible(*w) && contains(screenRect(*w))) {
          hit = w.get();
          deeper = true;
          break;
        }
      }
    }
  }
  if (!hit) return nullptr;
  RECT r = screenRect(*hit);
  RECT edges = frame(*hit);
  point = POINT{point.x - r.left - edges.left, point.y - r.top - edges.top};
  return hit->handle;
}

BOOL User32::setCursorPos(int x, int y) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  cursorPos_ = POINT{x, y};
  return TRUE;
}

SHORT User32::keyState(int key) {
  DWORD me = currentThread();
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  return queue(me).keys[key & 0xFF] ? static_cast<SHORT>(0x8000) : 0;
}

BOOL User32::translateMessage(const MSG* msg) {
  if (!msg || msg->message != WM_KEYDOWN) return FALSE;
  auto vk = static_cast<int>(msg->wParam & 0xFF);
  bool shift = keyState(VK_SHIFT) < 0;
  int c = 0;
  if (vk >= 'A' && vk <= 'Z') {
    c = shift ? vk : vk - 'A' + 'a';
  } else if ((vk >= '0' && vk <= '9') || vk == VK_SPACE || vk == VK_BACK || vk == VK_TAB ||
             vk == VK_RETURN || vk == VK_ESCAPE) {
    c = vk;
  }
  if (!c) return FALSE;
  // The character is the next message the thread takes.
  DWORD me = currentThread();
  kernel_.update([&] {
    Queue& q = queue(me);
    q.posted.push_front(MSG{msg->hwnd, WM_CHAR, static_cast<WPARAM>(c), msg->lParam, 0, msg->pt});
    q.changeBits |= QS_KEY;
  });
  return TRUE;
}

}  // namespace sim
