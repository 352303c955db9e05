// A user at the keyboard and the mouse: input through the system (SendInput), which
// Windows routes to the windows as it routes a person's. For scripted sessions and
// tests that must drive the program as a person does.
#pragma once

#include <functional>
#include <string>

#include "platform/win32.h"

namespace userinput {

// Moves the mouse to (x, y) of `window`'s outer rectangle and clicks the left button.
void Click(HWND window, int x, int y);
void ClickCenter(HWND window);
// Presses and releases `key`, with `modifier` (VK_SHIFT, VK_MENU) held if given.
void PressKey(WORD key, WORD modifier = 0);
// Types letters, digits and spaces.
void TypeText(const std::string& text);
// Turns the wheel by `notches` (positive: away from the user) over `window`.
void TurnWheel(HWND window, int notches);

// Waits until a condition holds (handling messages meanwhile if the caller's thread
// owns windows); false after the caller's deadline.
using WaitFor = std::function<bool(const std::function<bool()>&)>;

// Picks entry `index` of a drop-down combo box as a person does: a click opens the
// list, a click on the entry picks it; a pick that did not show is tried again. False
// when the entry is not there, or the pick did not take in three tries.
bool PickWithMouse(HWND combo, int index, const WaitFor& waitFor);

}  // namespace userinput
