#include "gui.h"

#include <thread>

namespace guitest {

const char* const kRecordingClass = "pxTestRecorder";

std::vector<Recorded>& Log() {
  static std::vector<Recorded> log;
  return log;
}

std::vector<Recorded> LogOf(UINT msg) {
  std::vector<Recorded> found;
  for (const Recorded& r : Log()) {
    if (r.msg == msg) found.push_back(r);
  }
  return found;
}

namespace {

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
    case WM_TIMER:
    case WM_DESTROY:
    case WM_NCDESTROY:
    case WM_DEVICECHANGE:
      Log().push_back({hwnd, msg, wParam, lParam});
      return 0;
    case WM_ACTIVATE:
      Log().push_back({hwnd, msg, wParam, lParam});
      return win::DefWindowProcA(hwnd, msg, wParam, lParam);
    default:
      if (msg >= WM_APP && msg < 0xC000) {
        Log().push_back({hwnd, msg, wParam, lParam});
        return static_cast<LRESULT>(wParam + 1);
      }
      return win::DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

}  // namespace

void RegisterRecordingClass() {
  Log().clear();
  WNDCLASSA wc{};
  wc.lpfnWndProc = &RecordingProc;
  wc.lpszClassName = kRecordingClass;
  if (!win::RegisterClassA(&wc)) {
    ASSERT_EQ(win::GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
  }
}

HWND CreateTopLevel(const char* title) {
  return win::CreateWindowExA(0, kRecordingClass, title, WS_OVERLAPPEDWINDOW, 10, 10, 300, 200,
                              nullptr, nullptr, nullptr, nullptr);
}

HWND CreateChild(const char* className, DWORD style, HWND parent, int id, const char* text) {
  return win::CreateWindowExA(0, className, text, WS_CHILD | WS_VISIBLE | style, 5, 5, 120, 60, parent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

std::string WindowText(HWND hwnd) {
  char buffer[1024] = {};
  int length = win::GetWindowTextA(hwnd, buffer, sizeof buffer);
  return std::string(buffer, static_cast<size_t>(length > 0 ? length : 0));
}

void Pump() {
  MSG msg;
  while (win::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    win::TranslateMessage(&msg);
    win::DispatchMessageA(&msg);
  }
}

void RunWhileServing(const std::function<void()>& work) {
  HANDLE done = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread worker([&] {
    work();
    win::SetEvent(done);
  });
  for (;;) {
    DWORD woke = win::MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_SENDMESSAGE);
    if (woke != WAIT_OBJECT_0 + 1) break;
    MSG msg;
    win::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // runs the sent messages
  }
  worker.join();
  win::CloseHandle(done);
}

}  // namespace guitest
