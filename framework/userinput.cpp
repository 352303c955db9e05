#include "framework/userinput.h"

#include <vector>

namespace userinput {

namespace {

void Send(std::vector<INPUT> inputs) {
  win::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), static_cast<int>(sizeof(INPUT)));
}

INPUT Key(WORD key, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  return input;
}

INPUT Mouse(DWORD flags, DWORD data = 0) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = flags;
  input.mi.mouseData = data;
  return input;
}

}  // namespace

void Click(HWND window, int x, int y) {
  RECT rect{};
  win::GetWindowRect(window, &rect);
  win::SetCursorPos(rect.left + x, rect.top + y);
  // The pointer arrives before it presses, as a hand's does: the window under it sees the
  // move first (a dropped list tracks its entries by it).
  Send({Mouse(MOUSEEVENTF_MOVE), Mouse(MOUSEEVENTF_LEFTDOWN), Mouse(MOUSEEVENTF_LEFTUP)});
}

void ClickCenter(HWND window) {
  RECT rect{};
  win::GetWindowRect(window, &rect);
  Click(window, (rect.right - rect.left) / 2, (rect.bottom - rect.top) / 2);
}

void PressKey(WORD key, WORD modifier) {
  std::vector<INPUT> inputs;
  if (modifier) inputs.push_back(Key(modifier, false));
  inputs.push_back(Key(key, false));
  inputs.push_back(Key(key, true));
  if (modifier) inputs.push_back(Key(modifier, true));
  Send(inputs);
}

void TypeText(const std::string& text) {
  for (char c : text) {
    bool upper = c >= 'A' && c <= 'Z';
    auto key = static_cast<WORD>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    PressKey(key, upper ? VK_SHIFT : 0);
  }
}

void TurnWheel(HWND window, int notches) {
  RECT rect{};
  win::GetWindowRect(window, &rect);
  win::SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
  Send({Mouse(MOUSEEVENTF_WHEEL, static_cast<DWORD>(notches * WHEEL_DELTA))});
}

bool PickWithMouse(HWND combo, int index, const WaitFor& waitFor) {
  auto dropped = [&] { return win::SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0) != 0; };
  auto picked = [&] { return !dropped() && win::SendMessageA(combo, CB_GETCURSEL, 0, 0) == index; };
  // Under Wine a click is now and then lost: one that reaches the display before the
  // window is mapped there, or one sent right after the previous list closed. A person
  // whose pick did not show picks again.
  for (int tries = 0; tries < 3; ++tries) {
    if (!dropped()) ClickCenter(combo);
    if (!waitFor(dropped)) continue;
    // The entry where the dropped list shows it.
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    RECT item{};
    if (!win::GetComboBoxInfo(combo, &info) || !info.hwndList ||
        win::SendMessageA(info.hwndList, LB_GETITEMRECT, static_cast<WPARAM>(index),
                          reinterpret_cast<LPARAM>(&item)) == LB_ERR) {
      return false;
    }
    // The list's border is as wide on every side.
    RECT outer{}, client{};
    win::GetWindowRect(info.hwndList, &outer);
    win::GetClientRect(info.hwndList, &client);
    int border = (outer.right - outer.left - client.right) / 2;
    Click(info.hwndList, border + item.left + 8, border + (item.top + item.bottom) / 2);
    if (waitFor(picked)) return true;
  }
  return false;
}

}  // namespace userinput
