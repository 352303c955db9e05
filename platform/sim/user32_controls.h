// What the built-in control classes of the headless user32 share. Each class keeps
// its state beside the window and is driven only by messages, on the window's own
// thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/sim/machine.h"

namespace sim {
namespace controls {

inline User32& user() { return SimMachine::current().user(); }

inline DWORD styleOf(HWND hwnd) { return static_cast<DWORD>(user().getWindowLong(hwnd, GWL_STYLE)); }

// A control tells its parent with WM_COMMAND: its id and the code, its window.
inline void notifyParent(HWND hwnd, WORD code) {
  auto id = static_cast<WORD>(user().getWindowLong(hwnd, GWLP_ID));
  if (HWND parent = user().parent(hwnd)) {
    user().sendMessage(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(hwnd));
  }
}

inline const char* textArg(LPARAM lParam) {
  return lParam ? reinterpret_cast<const char*>(lParam) : "";
}

inline bool insideClient(HWND hwnd, LPARAM point) {
  RECT client{};
  user().windowRect(hwnd, &client, true);
  auto x = static_cast<SHORT>(LOWORD(point));
  auto y = static_cast<SHORT>(HIWORD(point));
  return x >= 0 && y >= 0 && x < client.right && y < client.bottom;
}

constexpr int kComboBorder = 3;

struct ComboState : ControlState {
  std::vector<std::pair<std::string, LPARAM>> items;
  int selected = CB_ERR;
  LRESULT fieldHeight = 15;
  LRESULT itemHeight = 13;
  int droppedHeight = 0;  // the height the window was made with: field and list
  HWND list = nullptr;    // the list it drops, made with the box
  bool dropped = false;
  int droppedIndex = CB_ERR;  // the selection when the list dropped
  bool focused = false;

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

// The list's id as its combo box hears it.
constexpr WORD kComboListId = 1000;

}  // namespace controls
}  // namespace sim
