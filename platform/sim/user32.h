// The headless user32 of the simulated machine: window classes and procedures,
// windows with parents, one message queue per thread, sent messages that cross
// threads, timers, the built-in EDIT, COMBOBOX, BUTTON and STATIC classes, message
// boxes, the cursor and the foreground window.
//
// All state lives under the kernel's dispatcher lock, so message waits can use the
// kernel's wait with the queue as an extra wake-up condition. Window procedures are
// never called with the lock held.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/kernel.h"

namespace sim {

// A message box as the program showed it.
struct MessageBoxRecord {
  HWND owner;
  std::string text;
  std::string caption;
  UINT style;
};

// Per-window state of a built-in class, kept by its window procedure.
class ControlState {
 public:
  virtual ~ControlState() = default;
};

class User32 {
 public:
  explicit User32(Kernel& kernel);
  ~User32();
  User32(const User32&) = delete;
  User32& operator=(const User32&) = delete;

  // ---- what a test looks at or acts with -----------------------------------------
  // Message boxes are recorded and answered at once (IDOK unless told otherwise).
  std::vector<MessageBoxRecord> messageBoxes() const;
  void clearMessageBoxes();
  void setMessageBoxAnswer(int answer);
  HCURSOR cursor() const;
  HWND foregroundWindow() const;
  // Sends `message` to every top-level window (not message-only ones), as the system
  // broadcasts device changes; returns how many windows it reached.
  int broadcast(UINT message, WPARAM wParam, LPARAM lParam);
  // The top-level windows (not message-only ones), as EnumWindows lists them.
  std::vector<HWND> topLevelWindows() const;
  size_t windowCount() const;

  // ---- the entry points ------------------------------------------------------------
  ATOM registerClass(const WNDCLASSA* wc);
  bool unregisterClass(LPCSTR name);
  HWND createWindow(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style, int x, int y,
                    int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                    LPVOID param);
  BOOL destroyWindow(HWND hwnd);
  LRESULT defWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LONG_PTR getWindowLong(HWND hwnd, int index);
  LONG_PTR setWindowLong(HWND hwnd, int index, LONG_PTR value);
  LRESULT sendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // To a window of another thread, waits at most `timeout` ms; with SMTO_ABORTIFHUNG
  // not at all when that thread is hung (kHungAfter without serving a sent message).
  // A message that timed out before its thread took it is withdrawn; one it is
  // running finishes. WM_DEVICECHANGE's record goes with it as a copy, as Windows
  // marshals a system broadcast's record.
  LRESULT sendMessageTimeout(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeout,
                             PDWORD_PTR result);
  // IsHungAppWindow's measure: a thread that has not looked at its queue for this long
  // while a message waits is not responding.
  // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-ishungappwindow
  static constexpr std::chrono::seconds kHungAfter{5};
  BOOL postMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  BOOL getMessage(LPMSG msg, HWND hwnd, UINT first, UINT last);
  BOOL peekMessage(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT flags);
  LRESULT dispatchMessage(const MSG* msg);
  void postQuitMessage(int code);
  DWORD msgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeout,
                                  DWORD wakeMask);
  UINT_PTR setTimer(HWND hwnd, UINT_PTR id, UINT interval, TIMERPROC proc);
  BOOL killTimer(HWND hwnd, UINT_PTR id);
  int messageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style);
  BOOL setForegroundWindow(HWND hwnd);
  HCURSOR setCursor(HCURSOR cursor);
  HCURSOR loadCursor(HINSTANCE instance, LPCSTR name);
  BOOL moveWindow(HWND hwnd, int x, int y, int width, int height);
  BOOL windowRect(HWND hwnd, LPRECT rect, bool client);
  BOOL showWindow(HWND hwnd, int command);
  BOOL isVisible(HWND hwnd);
  BOOL enableWindow(HWND hwnd, bool enable);
  BOOL isEnabled(HWND hwnd);
  HWND setFocus(HWND hwnd);
  HWND focus();
  HWND parent(HWND hwnd);
  bool isWindow(HWND hwnd);
  DWORD windowThread(HWND hwnd);

  // ---- the keyboard and the mouse ------------------------------------------------
  // Input goes where Windows sends it: keys to the focus window of the foreground
  // window's thread, a mouse button to the window under the cursor (or to a dropped
  // list, which holds the mouse while it is down); each as a message in the queue of
  // the window's thread.
  UINT sendInput(UINT count, const INPUT* inputs, int size);
  BOOL setCursorPos(int x, int y);
  SHORT keyState(int key);
  // WM_CHAR for a WM_KEYDOWN that types a character (US layout), next in the queue.
  BOOL translateMessage(const MSG* msg);

  // A built-in class's own say over its height (a drop-down combo box's window is
  // its selection field), without the messages of a move.
  void setHeightQuietly(HWND hwnd, int height);

  // The state a built-in class's procedure keeps for one window (created on first use).
  template <class T>
  T* state(HWND hwnd) {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    Window* w = find(hwnd);
    if (!w) return nullptr;
    if (!w->control) w->control = std::make_unique<T>();
    return dynamic_cast<T*>(w->control.get());
  }

 private:
  struct WindowClass {
    std::string name;
    ATOM atom = 0;
    WNDPROC proc = nullptr;
    bool system = false;
  };
  struct Window {
    HWND handle = nullptr;
    std::string className;
    WNDPROC proc = nullptr;
    DWORD style = 0;
    DWORD exStyle = 0;
    HWND parent = nullptr;  // HWND_MESSAGE for message-only windows
    DWORD thread = 0;
    RECT rect{};  // outer rectangle in the parent's client coordinates
    std::string text;
    LONG_PTR userData = 0;
    LONG_PTR id = 0;
    bool destroying = false;
    bool minimized = false;
    std::unique_ptr<ControlState> control;
  };
  struct SentMessage {
    SentMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
        : hwnd(hwnd), message(message), wParam(wParam), lParam(lParam) {}
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool done = false;
    std::chrono::steady_clock::time_point queuedAt = std::chrono::steady_clock::now();
    std::vector<BYTE> record;  // a copy lParam points at, for a message that may run late
  };
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Timer {
    HWND hwnd;
    UINT_PTR id;
    DWORD thread;
    UINT interval;
    TIMERPROC proc;
    TimePoint due;
  };
  struct Queue {
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    DWORD changeBits = 0;  // input that arrived since the thread last looked
    bool quit = false;
    int quitCode = 0;
    HWND focus = nullptr;
    bool keys[256] = {};  // the keys as the thread's messages have told them so far
  };

  Window* find(HWND hwnd);  // under the lock
  Queue& queue(DWORD thread);  // under the lock
  DWORD currentThread() { return kernel_.currentThreadId(); }
  WindowClass* findClass(LPCSTR name);  // under the lock
  LRESULT call(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Handles the messages other threads sent to this one; true when one ran.
  bool serveSentMessages();
  // Takes the next posted or generated message that passes the filter (under the lock).
  bool nextMessage(Queue& q, DWORD thread, HWND hwnd, UINT first, UINT last, bool remove,
                   MSG* msg);
  // Waits until `ready` holds (under the lock) or the time-out passes, waking for due
  // timers as they fall due.
  DWORD waitForInput(const std::vector<HANDLE>& handles, bool waitAll, DWORD timeout,
                     const std::function<bool()>& ready);
  // `hwnd` becomes the active window: the one that was active hears WA_INACTIVE,
  // then `hwnd` hears `how`. A window of another thread hears it when that thread
  // next looks at its queue; nobody waits for it (as SendNotifyMessage).
  void activate(HWND hwnd, WORD how);
  void deliver(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // The window activated most recently, other than `leaving`, that can be active.
  HWND nextToActivate(HWND leaving);
  bool isInside(HWND hwnd, HWND ancestor);  // under the lock: hwnd is it or within it
  void destroyTree(HWND hwnd);
  void forget(HWND hwnd);
  std::vector<HWND> children(HWND hwnd);
  RECT frame(const Window& w) const;  // non-client widths of each edge
  // Input, under the lock: the window a click at `point` reaches, with the point made
  // relative to its client area; and a message for a window's queue.
  HWND mouseTarget(POINT& point);
  RECT screenRect(const Window& w);
  void postInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void keyInput(const KEYBDINPUT& key);
  void mouseInput(const MOUSEINPUT& mouse);

  Kernel& kernel_;
  std::map<std::string, WindowClass> classes_;  // by lower-case name
  ATOM nextAtom_ = 0xC000;
  std::map<HWND, std::unique_ptr<Window>> windows_;
  ULONG_PTR nextWindow_ = 0x10010;
  std::map<DWORD, Queue> queues_;
  std::vector<Timer> timers_;
  UINT_PTR nextThreadTimer_ = 0x7000;
  std::vector<MessageBoxRecord> boxes_;
  int boxAnswer_ = IDOK;
  HCURSOR cursor_ = nullptr;
  HWND foreground_ = nullptr;
  std::vector<HWND> activated_;  // top-level windows by their last activation, latest last
  POINT cursorPos_{0, 0};
  HWND capture_ = nullptr;  // the window a held button's messages go to
  bool keysDown_[256] = {};
};

// WM_GETTEXT's copy: at most size - 1 characters and a zero; the count copied.
LRESULT copyText(const std::string& text, WPARAM size, LPARAM buffer);

// The built-in classes' window procedures (user32_edit.cpp, user32_combobox.cpp, ...).
LRESULT CALLBACK EditWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ComboBoxWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ButtonWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The list a drop-down combo box drops: a pop-up of its own that reports to the box.
LRESULT CALLBACK ComboListWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
extern const char* const kComboListClass;
BOOL comboBoxInfo(HWND hwnd, COMBOBOXINFO* info);

void installUser32(win::User32& table);

}  // namespace sim
