// Shared pieces of the GUI tests: a window class that records what reaches it, and
// windows that end with the test.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/backend.h"

namespace guitest {

struct Recorded {
  HWND hwnd;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

// What the recording class saw of the messages a test looks at (WM_COMMAND,
// WM_TIMER, WM_DESTROY, WM_NCDESTROY, WM_DEVICECHANGE, WM_ACTIVATE, WM_APP and up), on the main
// thread only.
std::vector<Recorded>& Log();
std::vector<Recorded> LogOf(UINT msg);
extern const char* const kRecordingClass;
void RegisterRecordingClass();

// A window destroyed at the end of the scope (unless it is gone already).
class Window {
 public:
  explicit Window(HWND hwnd = nullptr) : hwnd_(hwnd) {}
  ~Window() {
    if (hwnd_ && win::IsWindow(hwnd_)) win::DestroyWindow(hwnd_);
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  HWND get() const { return hwnd_; }
  operator HWND() const { return hwnd_; }

 private:
  HWND hwnd_;
};

HWND CreateTopLevel(const char* title = "test");
HWND CreateChild(const char* className, DWORD style, HWND parent, int id = 0,
                 const char* text = "");

std::string WindowText(HWND hwnd);

// Handles the messages waiting for this thread.
void Pump();

// Runs `work` on another thread while this one serves the messages sent to it, as a
// thread waiting for a worker must; returns when the work is done.
void RunWhileServing(const std::function<void()>& work);

}  // namespace guitest
