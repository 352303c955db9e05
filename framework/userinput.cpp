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
  Send({Mouse(MOUSEEVENTF_LEFTDOWN), Mouse(MOUSEEVENTF_LEFTUP)});
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
  ClickCenter(combo);
  if (!waitFor(dropped)) return false;
  // The list's place on the screen, and its entries' height.
  RECT list{};
  win::SendMessageA(combo, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&list));
  auto height = static_cast<int>(win::SendMessageA(combo, CB_GETITEMHEIGHT, 0, 0));
  win::SetCursorPos(list.left + 8, list.top + 1 + index * height + height / 2);
  Send({Mouse(MOUSEEVENTF_LEFTDOWN), Mouse(MOUSEEVENTF_LEFTUP)});
  return waitFor([&] { return !dropped(); });
}

}  // namespace userinput
