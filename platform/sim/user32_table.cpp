// The user32 entry points of the simulated machine's function table.
#include "platform/sim/machine.h"
#include "platform/sim/user32.h"

namespace sim {

namespace {

User32& user() { return SimMachine::current().user(); }

ATOM WINAPI SimRegisterClassA(const WNDCLASSA* wc) { return user().registerClass(wc); }
BOOL WINAPI SimUnregisterClassA(LPCSTR name, HINSTANCE) {
  return user().unregisterClass(name) ? TRUE : FALSE;
}
HWND WINAPI SimCreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style, int x,
                               int y, int width, int height, HWND parent, HMENU menu,
                               HINSTANCE instance, LPVOID param) {
  return user().createWindow(exStyle, className, title, style, x, y, width, height, parent, menu,
                             instance, param);
}
BOOL WINAPI SimDestroyWindow(HWND hwnd) { return user().destroyWindow(hwnd); }
LRESULT WINAPI SimDefWindowProcA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return user().defWindowProc(hwnd, message, wParam, lParam);
}
LRESULT WINAPI SimCallWindowProcA(WNDPROC proc, HWND hwnd, UINT message, WPARAM wParam,
                                  LPARAM lParam) {
  return proc ? proc(hwnd, message, wParam, lParam) : 0;
}
LONG_PTR WINAPI SimGetWindowLongPtrA(HWND hwnd, int index) {
  return user().getWindowLong(hwnd, index);
}
LONG_PTR WINAPI SimSetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
  return user().setWindowLong(hwnd, index, value);
}
LRESULT WINAPI SimSendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return user().sendMessage(hwnd, message, wParam, lParam);
}
LRESULT WINAPI SimSendMessageTimeoutA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                                      UINT timeout, PDWORD_PTR result) {
  return user().sendMessageTimeout(hwnd, message, wParam, lParam, flags, timeout, result);
}
BOOL WINAPI SimPostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return user().postMessage(hwnd, message, wParam, lParam);
}
BOOL WINAPI SimGetMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last) {
  return user().getMessage(msg, hwnd, first, last);
}
BOOL WINAPI SimPeekMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT flags) {
  return user().peekMessage(msg, hwnd, first, last, flags);
}
BOOL WINAPI SimTranslateMessage(const MSG* msg) { return user().translateMessage(msg); }
LRESULT WINAPI SimDispatchMessageA(const MSG* msg) { return user().dispatchMessage(msg); }
void WINAPI SimPostQuitMessage(int code) { user().postQuitMessage(code); }
DWORD WINAPI SimMsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                          DWORD timeout, DWORD wakeMask) {
  return user().msgWaitForMultipleObjects(count, handles, waitAll, timeout, wakeMask);
}
UINT_PTR WINAPI SimSetTimer(HWND hwnd, UINT_PTR id, UINT interval, TIMERPROC proc) {
  return user().setTimer(hwnd, id, interval, proc);
}
BOOL WINAPI SimKillTimer(HWND hwnd, UINT_PTR id) { return user().killTimer(hwnd, id); }
int WINAPI SimMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  return user().messageBox(owner, text, caption, style);
}
HWND WINAPI SimGetForegroundWindow() { return user().foregroundWindow(); }
BOOL WINAPI SimSetForegroundWindow(HWND hwnd) { return user().setForegroundWindow(hwnd); }
HCURSOR WINAPI SimSetCursor(HCURSOR cursor) { return user().setCursor(cursor); }
HCURSOR WINAPI SimGetCursor() { return user().cursor(); }
HCURSOR WINAPI SimLoadCursorA(HINSTANCE instance, LPCSTR name) {
  return user().loadCursor(instance, name);
}
// Within the process these send WM_GETTEXT / WM_SETTEXT to the window, as Windows does.
int WINAPI SimGetWindowTextA(HWND hwnd, LPSTR buffer, int size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = 0;
  return static_cast<int>(user().sendMessage(hwnd, WM_GETTEXT, static_cast<WPARAM>(size),
                                             reinterpret_cast<LPARAM>(buffer)));
}
BOOL WINAPI SimSetWindowTextA(HWND hwnd, LPCSTR text) {
  if (!user().isWindow(hwnd)) {
    setLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return static_cast<BOOL>(user().sendMessage(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)));
}
int WINAPI SimGetWindowTextLengthA(HWND hwnd) {
  return static_cast<int>(user().sendMessage(hwnd, WM_GETTEXTLENGTH, 0, 0));
}
BOOL WINAPI SimMoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
  return user().moveWindow(hwnd, x, y, width, height);
}
BOOL WINAPI SimGetWindowRect(HWND hwnd, LPRECT rect) { return user().windowRect(hwnd, rect, false); }
BOOL WINAPI SimGetClientRect(HWND hwnd, LPRECT rect) { return user().windowRect(hwnd, rect, true); }
BOOL WINAPI SimShowWindow(HWND hwnd, int command) { return user().showWindow(hwnd, command); }
BOOL WINAPI SimIsWindowVisible(HWND hwnd) { return user().isVisible(hwnd); }
BOOL WINAPI SimEnableWindow(HWND hwnd, BOOL enable) { return user().enableWindow(hwnd, enable != FALSE); }
BOOL WINAPI SimIsWindowEnabled(HWND hwnd) { return user().isEnabled(hwnd); }
HWND WINAPI SimSetFocus(HWND hwnd) { return user().setFocus(hwnd); }
HWND WINAPI SimGetFocus() { return user().focus(); }
HWND WINAPI SimGetParent(HWND hwnd) { return user().parent(hwnd); }
BOOL WINAPI SimIsWindow(HWND hwnd) { return user().isWindow(hwnd) ? TRUE : FALSE; }
// Message-only windows are not enumerated, as on Windows.
BOOL WINAPI SimEnumWindows(WNDENUMPROC proc, LPARAM param) {
  for (HWND hwnd : user().topLevelWindows()) {
    if (user().isWindow(hwnd) && !proc(hwnd, param)) return FALSE;
  }
  return TRUE;
}
DWORD WINAPI SimGetWindowThreadProcessId(HWND hwnd, LPDWORD process) {
  DWORD thread = user().windowThread(hwnd);
  if (process) *process = thread ? 1 : 0;
  if (!thread) setLastError(ERROR_INVALID_WINDOW_HANDLE);
  return thread;
}

UINT WINAPI SimSendInput(UINT count, LPINPUT inputs, int size) {
  return user().sendInput(count, inputs, size);
}
BOOL WINAPI SimSetCursorPos(int x, int y) { return user().setCursorPos(x, y); }
SHORT WINAPI SimGetKeyState(int key) { return user().keyState(key); }
BOOL WINAPI SimGetComboBoxInfo(HWND hwnd, PCOMBOBOXINFO info) { return comboBoxInfo(hwnd, info); }

}  // namespace

void installUser32(win::User32& table) {
#define PX_SIM(ret, name, params) table.name = &Sim##name;
  PX_USER32_ENTRIES(PX_SIM)
#undef PX_SIM
}

}  // namespace sim
