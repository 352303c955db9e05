#include "platform/sim/user32.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"
#include "platform/sim/variance.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

BOOL fail(DWORD error) {
  setLastError(error);
  return FALSE;
}

LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return SimMachine::current().user().defWindowProc(hwnd, message, wParam, lParam);
}

// The cursors LoadCursorA knows: shared system cursors with fixed handles.
HCURSOR systemCursor(LPCSTR name) {
  if (name == IDC_ARROW || name == IDC_WAIT) {
    return reinterpret_cast<HCURSOR>(0x10000 + reinterpret_cast<ULONG_PTR>(name));
  }
  return nullptr;
}

}  // namespace

LRESULT copyText(const std::string& text, WPARAM size, LPARAM buffer) {
  auto* out = reinterpret_cast<char*>(buffer);
  if (!out || size == 0) return 0;
  size_t count = std::min<size_t>(text.size(), size - 1);
  std::memcpy(out, text.data(), count);
  out[count] = 0;
  return static_cast<LRESULT>(count);
}

User32::User32(Kernel& kernel) : kernel_(kernel) {
  const std::pair<const char*, WNDPROC> builtIn[] = {{"EDIT", &EditWndProc},
                                                     {"COMBOBOX", &ComboBoxWndProc},
                                                     {"BUTTON", &ButtonWndProc},
                                                     {"STATIC", &StaticWndProc},
                                                     {kComboListClass, &ComboListWndProc}};
  for (auto& [name, proc] : builtIn) {
    WindowClass& c = classes_[lowerAscii(name)];
    c.name = name;
    c.atom = nextAtom_++;
    c.proc = proc;
    c.system = true;
  }
}

User32::~User32() = default;

// ---- what a test looks at --------------------------------------------------------

std::vector<MessageBoxRecord> User32::messageBoxes() const {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  return boxes_;
}

void User32::clearMessageBoxes() {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  boxes_.clear();
}

void User32::setMessageBoxAnswer(int answer) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  boxAnswer_ = answer;
}

HCURSOR User32::cursor() const {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  return cursor_;
}

HWND User32::foregroundWindow() const {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  return foreground_;
}

std::vector<HWND> User32::topLevelWindows() const {
  std::vector<HWND> topLevel;
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  for (auto& [handle, w] : windows_) {
    if (!(w->style & WS_CHILD) && w->parent != HWND_MESSAGE) topLevel.push_back(handle);
  }
  return topLevel;
}

int User32::broadcast(UINT message, WPARAM wParam, LPARAM lParam) {
  int reached = 0;
  for (HWND hwnd : topLevelWindows()) {
    if (!isWindow(hwnd)) continue;  // an earlier receiver destroyed it
    sendMessage(hwnd, message, wParam, lParam);
    ++reached;
  }
  return reached;
}

size_t User32::windowCount() const {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  return windows_.size();
}

// ---- classes and windows ---------------------------------------------------------

User32::Window* User32::find(HWND hwnd) {
  auto it = windows_.find(hwnd);
  return it == windows_.end() ? nullptr : it->second.get();
}

User32::Queue& User32::queue(DWORD thread) { return queues_[thread]; }

User32::WindowClass* User32::findClass(LPCSTR name) {
  if (!name) return nullptr;
  if (IS_INTRESOURCE(name)) {
    auto atom = static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name));
    for (auto& [key, c] : classes_) {
      if (c.atom == atom) return &c;
    }
    return nullptr;
  }
  auto it = classes_.find(lowerAscii(name));
  return it == classes_.end() ? nullptr : &it->second;
}

ATOM User32::registerClass(const WNDCLASSA* wc) {
  if (!wc || !wc->lpfnWndProc || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName)) {
    setLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  WindowClass* existing = findClass(wc->lpszClassName);
  // A program's own class may hide a system class of the same name, not another one.
  if (existing && !existing->system) {
    setLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  WindowClass& c = classes_[lowerAscii(wc->lpszClassName)];
  c.name = wc->lpszClassName;
  c.atom = nextAtom_++;
  c.proc = wc->lpfnWndProc;
  c.system = false;
  return c.atom;
}

bool User32::unregisterClass(LPCSTR name) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  WindowClass* c = findClass(name);
  if (!c || c->system) {
    setLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return false;
  }
  for (auto& [handle, w] : windows_) {
    if (equalsIgnoreCase(w->className, c->name)) {
      setLastError(ERROR_CLASS_HAS_WINDOWS);
      return false;
    }
  }
  classes_.erase(lowerAscii(c->name));
  return true;
}

HWND User32::createWindow(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style, int x, int y,
                          int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                          LPVOID param) {
  DWORD thread = currentThread();
  HWND hwnd = nullptr;
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    WindowClass* c = findClass(className);
    if (!c) {
      setLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    if (parent && parent != HWND_MESSAGE && !find(parent)) {
      setLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    if ((style & WS_CHILD) && (!parent || parent == HWND_MESSAGE)) {
      setLastError(ERROR_TLW_WITH_WSCHILD);
      return nullptr;
    }
    auto w = std::make_unique<Window>();
    hwnd = reinterpret_cast<HWND>(nextWindow_);
    nextWindow_ += 4;
    w->handle = hwnd;
    w->className = c->name;
    w->proc = c->proc;
    w->style = style;
    w->exStyle = exStyle;
    w->parent = parent;
    w->thread = thread;
    w->id = (style & WS_CHILD) ? static_cast<LONG_PTR>(reinterpret_cast<ULONG_PTR>(menu)) : 0;
    // CW_USEDEFAULT: the origin, and a default size for top-level windows.
    bool defaultPlace = x == CW_USEDEFAULT;
    bool defaultSize = width == CW_USEDEFAULT;
    w->rect.left = defaultPlace ? 0 : x;
    w->rect.top = defaultPlace ? 0 : y;
    w->rect.right = w->rect.left + (defaultSize ? ((style & WS_CHILD) ? 0 : 640) : std::max(width, 0));
    w->rect.bottom = w->rect.top + (defaultSize ? ((style & WS_CHILD) ? 0 : 480) : std::max(height, 0));
    windows_[hwnd] = std::move(w);
  }
  CREATESTRUCTA cs{param,  instance, menu,  parent, height, width,
                   y,      x,        static_cast<LONG>(style), title, className, exStyle};
  if (!call(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
    forget(hwnd);
    return nullptr;
  }
  if (call(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    destroyTree(hwnd);
    return nullptr;
  }
  RECT client{};
  if (!windowRect(hwnd, &client, true)) return nullptr;  // destroyed while being created
  call(hwnd, WM_SIZE, 0, MAKELPARAM(static_cast<WORD>(client.right), static_cast<WORD>(client.bottom)));
  if ((style & WS_VISIBLE) && !(style & WS_CHILD) && parent != HWND_MESSAGE) activate(hwnd, WA_ACTIVE);
  return isWindow(hwnd) ? hwnd : nullptr;
}

BOOL User32::destroyWindow(HWND hwnd) {
  DWORD thread = currentThread();
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    Window* w = find(hwnd);
    if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE);
    if (w->thread != thread) return fail(ERROR_ACCESS_DENIED);
  }
  destroyTree(hwnd);
  return TRUE;
}

std::vector<HWND> User32::children(HWND hwnd) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  std::vector<HWND> result;
  for (auto& [handle, w] : windows_) {
    if (w->parent == hwnd) result.push_back(handle);
  }
  return result;
}

// WM_DESTROY goes to the window before its children, WM_NCDESTROY after them; owned
// windows go with their owner.
void User32::destroyTree(HWND hwnd) {
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    Window* w = find(hwnd);
    if (!w || w->destroying) return;
    w->destroying = true;
    if (foreground_ == hwnd) foreground_ = nullptr;
    activated_.erase(std::remove(activated_.begin(), activated_.end(), hwnd), activated_.end());
    Queue& q = queue(w->thread);
    if (q.focus == hwnd) q.focus = nullptr;
  }
  call(hwnd, WM_DESTROY, 0, 0);
  for (HWND child : children(hwnd)) destroyTree(child);
  call(hwnd, WM_NCDESTROY, 0, 0);
  forget(hwnd);
}

// Removes the window with its timers; senders still waiting on it get 0.
void User32::forget(HWND hwnd) {
  std::unique_ptr<Window> gone;
  kernel_.update([&] {
    auto it = windows_.find(hwnd);
    if (it == windows_.end()) return;
    gone = std::move(it->second);
    windows_.erase(it);
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                                 [&](const Timer& t) { return t.hwnd == hwnd; }),
                  timers_.end());
    for (auto& [thread, q] : queues_) {
      for (auto& sent : q.sent) {
        if (sent->hwnd == hwnd) sent->done = true;
      }
      q.sent.erase(std::remove_if(q.sent.begin(), q.sent.end(), [](auto& s) { return s->done; }),
                   q.sent.end());
    }
  });
}

bool User32::isWindow(HWND hwnd) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  return find(hwnd) != nullptr;
}

LRESULT User32::call(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    Window* w = find(hwnd);
    if (!w) return 0;
    proc = w->proc;
  }
  return proc(hwnd, message, wParam, lParam);
}

LRESULT User32::defWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
      if (Window* w = find(hwnd)) w->text = cs && cs->lpszName ? cs->lpszName : "";
      return TRUE;
    }
    case WM_SETTEXT: {
      std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
      Window* w = find(hwnd);
      if (!w) return FALSE;
      w->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
      return TRUE;
    }
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: {
      std::string text;
      {
        std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
        if (Window* w = find(hwnd)) text = w->text;
      }
      if (message == WM_GETTEXTLENGTH) return static_cast<LRESULT>(text.size());
      return copyText(text, wParam, lParam);
    }
    case WM_CLOSE:
      destroyWindow(hwnd);
      return 0;
    case WM_ACTIVATE: {
      // An activated window that is not minimized takes the focus.
      bool minimized = false;
      {
        std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
        Window* w = find(hwnd);
        minimized = !w || w->minimized;
      }
      if (LOWORD(wParam) != WA_INACTIVE && !minimized) setFocus(hwnd);
      return 0;
    }
    case WM_WINDOWPOSCHANGING: {
      // A sizeable or top-level window is kept within the sizes it tells.
      DWORD style = static_cast<DWORD>(getWindowLong(hwnd, GWL_STYLE));
      if (!(style & WS_THICKFRAME) && (style & (WS_POPUP | WS_CHILD))) return 0;
      MINMAXINFO info{};
      info.ptMaxTrackSize = POINT{0x7fff, 0x7fff};
      sendMessage(hwnd, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
      auto* pos = reinterpret_cast<WINDOWPOS*>(lParam);
      pos->cx = std::clamp<int>(pos->cx, info.ptMinTrackSize.x, std::max(info.ptMinTrackSize.x, info.ptMaxTrackSize.x));
      pos->cy = std::clamp<int>(pos->cy, info.ptMinTrackSize.y, std::max(info.ptMinTrackSize.y, info.ptMaxTrackSize.y));
      return 0;
    }
    default:
      return 0;
  }
}

LONG_PTR User32::getWindowLong(HWND hwnd, int index) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  Window* w = find(hwnd);
  if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE);
  switch (index) {
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_USERDATA: return w->userData;
    case GWLP_ID: return w->id;
    case GWL_STYLE: return static_cast<LONG>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG>(w->exStyle);
    case GWLP_HINSTANCE: return 0;
    default: return fail(ERROR_INVALID_INDEX);
  }
}

LONG_PTR User32::setWindowLong(HWND hwnd, int index, LONG_PTR value) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  Window* w = find(hwnd);
  if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE);
  LONG_PTR previous = 0;
  switch (index) {
    case GWLP_WNDPROC:
      if (!value) return fail(ERROR_INVALID_PARAMETER);
      previous = reinterpret_cast<LONG_PTR>(w->proc);
      w->proc = reinterpret_cast<WNDPROC>(value);
      break;
    case GWLP_USERDATA: previous = std::exchange(w->userData, value); break;
    case GWLP_ID: previous = std::exchange(w->id, value); break;
    case GWL_STYLE:
      previous = static_cast<LONG>(w->style);
      w->style = static_cast<DWORD>(value);
      break;
    case GWL_EXSTYLE:
      previous = static_cast<LONG>(w->exStyle);
      w->exStyle = static_cast<DWORD>(value);
      break;
    default: return fail(ERROR_INVALID_INDEX);
  }
  return previous;
}

// ---- messages --------------------------------------------------------------------

LRESULT User32::sendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (hwnd == HWND_BROADCAST) {
    broadcast(message, wParam, lParam);
    return 0;
  }
  DWORD_PTR result = 0;
  sendMessageTimeout(hwnd, message, wParam, lParam, 0, INFINITE, &result);
  return static_cast<LRESULT>(result);
}

LRESULT User32::sendMessageTimeout(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                                   UINT timeout, PDWORD_PTR result) {
  if (result) *result = 0;
  DWORD me = currentThread();
  auto sent = std::make_shared<SentMessage>(hwnd, message, wParam, lParam);
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (message == WM_DEVICECHANGE && header && header->dbch_size >= sizeof *header) {
    const auto* bytes = reinterpret_cast<const BYTE*>(header);
    sent->record.assign(bytes, bytes + header->dbch_size);
    sent->lParam = reinterpret_cast<LPARAM>(sent->record.data());
  }
  bool exists = false;
  bool sameThread = false;
  bool hung = false;
  kernel_.update([&] {
    Window* w = find(hwnd);
    exists = w != nullptr;
    sameThread = exists && w->thread == me;
    if (!exists || sameThread) return;
    Queue& q = queue(w->thread);
    hung = (flags & SMTO_ABORTIFHUNG) && !q.sent.empty() && sent->queuedAt - q.sent.front()->queuedAt >= kHungAfter;
    if (!hung) q.sent.push_back(sent);
  });
  if (!exists) return fail(ERROR_INVALID_WINDOW_HANDLE);
  if (sameThread) {
    LRESULT answer = call(hwnd, message, wParam, lParam);
    if (result) *result = static_cast<DWORD_PTR>(answer);
    return TRUE;
  }
  if (hung) return fail(ERROR_TIMEOUT);
  // The owner runs it when it next looks at its queue. Meanwhile this thread serves
  // what others send to it, so two threads sending to each other cannot deadlock.
  auto deadline = sent->queuedAt + std::chrono::milliseconds(timeout);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    kernel_.wait({}, false, static_cast<DWORD>(std::max<long long>(left.count(), 0)),
                 [&] { return sent->done || !queue(me).sent.empty(); });
    {
      std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
      if (sent->done) {
        if (result) *result = static_cast<DWORD_PTR>(sent->result);
        return TRUE;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      // What the receiver has not taken yet is withdrawn (measured under Wine); what it
      // is running finishes without anyone waiting.
      kernel_.update([&] {
        Window* w = find(hwnd);
        if (!w) return;
        auto& waiting = queue(w->thread).sent;
        waiting.erase(std::remove(waiting.begin(), waiting.end(), sent), waiting.end());
      });
      return fail(ERROR_TIMEOUT);
    }
    serveSentMessages();
  }
}

bool User32::serveSentMessages() {
  DWORD me = currentThread();
  bool served = false;
  for (;;) {
    std::shared_ptr<SentMessage> m;
    {
      std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
      Queue& q = queue(me);
      if (q.sent.empty()) return served;
      m = q.sent.front();
      q.sent.pop_front();
    }
    LRESULT result = 0;
    try {
      result = call(m->hwnd, m->message, m->wParam, m->lParam);
    } catch (...) {
      kernel_.update([&] { m->done = true; });
      throw;
    }
    kernel_.update([&] {
      m->result = result;
      m->done = true;
    });
    served = true;
  }
}

BOOL User32::postMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD me = currentThread();
  bool posted = false;
  kernel_.update([&] {
    auto post = [&](HWND target, DWORD thread) {
      Queue& q = queue(thread);
      q.posted.push_back(MSG{target, message, wParam, lParam, 0, {0, 0}});
      q.changeBits |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
      posted = true;
    };
    if (!hwnd) {
      post(nullptr, me);  // a message for the calling thread itself
    } else if (hwnd == HWND_BROADCAST) {
      for (auto& [handle, w] : windows_) {
        if (!(w->style & WS_CHILD) && w->parent != HWND_MESSAGE) post(handle, w->thread);
      }
      posted = true;
    } else if (Window* w = find(hwnd)) {
      post(hwnd, w->thread);
    }
  });
  return posted ? TRUE : fail(ERROR_INVALID_WINDOW_HANDLE);
}

bool User32::nextMessage(Queue& q, DWORD thread, HWND hwnd, UINT first, UINT last, bool remove,
                         MSG* msg) {
  auto inRange = [&](UINT m) { return (first == 0 && last == 0) || (m >= first && m <= last); };
  auto passes = [&](HWND target, UINT m) {
    bool window = !hwnd || (hwnd == kThreadMessagesOnly ? target == nullptr : target == hwnd);
    return window && inRange(m);
  };
  // Posted messages first, then the quit request, then timers that fell due.
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (!passes(it->hwnd, it->message)) continue;
    *msg = *it;
    if (!remove) return true;
    q.posted.erase(it);
    // GetKeyState tells the keys as of the message being handled.
    if (msg->message >= WM_KEYDOWN && msg->message <= WM_SYSKEYUP && msg->message != WM_CHAR) {
      q.keys[msg->wParam & 0xFF] = msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN;
    }
    return true;
  }
  if (q.quit && inRange(WM_QUIT)) {
    *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, 0, {0, 0}};
    if (remove) q.quit = false;
    return true;
  }
  auto now = Clock::now();
  Timer* due = nullptr;
  for (Timer& t : timers_) {
    if (t.thread == thread && t.due <= now && passes(t.hwnd, WM_TIMER) && (!due || t.due < due->due)) {
      due = &t;
    }
  }
  if (!due) return false;
  *msg = MSG{due->hwnd, WM_TIMER, due->id, reinterpret_cast<LPARAM>(due->proc), 0, {0, 0}};
  // A timer is a flag, not a count: one WM_TIMER however late, then a new interval.
  if (remove) due->due = now + std::chrono::milliseconds(due->interval);
  return true;
}

DWORD User32::waitForInput(const std::vector<HANDLE>& handles, bool waitAll, DWORD timeout,
                           const std::function<bool()>& ready) {
  DWORD me = currentThread();
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
  for (;;) {
    // The kernel's wait wakes for state changes, not for the clock: wake up when the
    // next timer of this thread falls due, and look again.
    DWORD slice = timeout;
    {
      std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
      for (const Timer& t : timers_) {
        if (t.thread != me) continue;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.due - Clock::now()).count();
        slice = std::min<DWORD>(slice, static_cast<DWORD>(std::max<long long>(ms, 0) + 1));
      }
    }
    if (timeout != INFINITE) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      slice = std::min<DWORD>(slice, static_cast<DWORD>(std::max<long long>(left, 0)));
    }
    DWORD result = kernel_.wait(handles, waitAll, slice, ready);
    if (result != WAIT_TIMEOUT) return result;
    if (timeout != INFINITE && Clock::now() >= deadline) return WAIT_TIMEOUT;
  }
}

BOOL User32::getMessage(LPMSG msg, HWND hwnd, UINT first, UINT last) {
  if (!msg) {
    setLastError(ERROR_NOACCESS);
    return -1;
  }
  if (hwnd && hwnd != kThreadMessagesOnly && !isWindow(hwnd)) {
    setLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  DWORD me = currentThread();
  for (;;) {
    serveSentMessages();
    {
      std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
      Queue& q = queue(me);
      q.changeBits = 0;
      if (nextMessage(q, me, hwnd, first, last, true, msg)) return msg->message != WM_QUIT;
    }
    waitForInput({}, false, INFINITE, [&] {
      Queue& q = queue(me);
      MSG ignored;
      return !q.sent.empty() || nextMessage(q, me, hwnd, first, last, false, &ignored);
    });
  }
}

BOOL User32::peekMessage(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT flags) {
  if (!msg) return fail(ERROR_NOACCESS);
  DWORD me = currentThread();
  serveSentMessages();
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  Queue& q = queue(me);
  q.changeBits = 0;
  return nextMessage(q, me, hwnd, first, last, (flags & PM_REMOVE) != 0, msg);
}

LRESULT User32::dispatchMessage(const MSG* msg) {
  if (!msg) return 0;
  if (msg->message == WM_TIMER && msg->lParam) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, 0);
    return 0;
  }
  if (!msg->hwnd) return 0;
  DWORD me = currentThread();
  if (windowThread(msg->hwnd) != me) return fail(ERROR_INVALID_WINDOW_HANDLE);
  return call(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void User32::postQuitMessage(int code) {
  DWORD me = currentThread();
  kernel_.update([&] {
    Queue& q = queue(me);
    q.quit = true;
    q.quitCode = code;
    q.changeBits |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
  });
}

DWORD User32::msgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                        DWORD timeout, DWORD wakeMask) {
  if (count > 0 && !handles) {
    setLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  DWORD me = currentThread();
  // (With waitAll the model returns for input or for all objects, not for both.)
  return waitForInput(std::vector<HANDLE>(handles, handles + count), waitAll != FALSE, timeout, [&] {
    Queue& q = queue(me);
    if ((wakeMask & QS_SENDMESSAGE) && !q.sent.empty()) return true;
    if (q.changeBits & wakeMask) return true;
    return (wakeMask & QS_TIMER) && std::any_of(timers_.begin(), timers_.end(), [&](const Timer& t) {
             return t.thread == me && t.due <= Clock::now();
           });
  });
}

// ---- timers ----------------------------------------------------------------------

UINT_PTR User32::setTimer(HWND hwnd, UINT_PTR id, UINT interval, TIMERPROC proc) {
  DWORD me = currentThread();
  interval = std::clamp<UINT>(interval, USER_TIMER_MINIMUM, 0x7fffffff);
  UINT_PTR result = 0;
  kernel_.update([&] {
    if (hwnd) {
      Window* w = find(hwnd);
      if (!w) {
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return;
      }
      if (w->thread != me) {
        setLastError(ERROR_ACCESS_DENIED);
        return;
      }
    }
    auto it = std::find_if(timers_.begin(), timers_.end(), [&](const Timer& t) {
      return t.hwnd == hwnd && t.id == id && (hwnd || t.thread == me);
    });
    // A window timer keeps its id; a thread timer gets a new one unless it names its own.
    UINT_PTR timerId = hwnd || it != timers_.end() ? id : nextThreadTimer_++;
    Timer timer{hwnd, timerId, me, interval, proc,
                Clock::now() + std::chrono::milliseconds(interval)};
    if (it != timers_.end()) {
      *it = timer;
    } else {
      timers_.push_back(timer);
    }
    result = hwnd && id == 0 ? 1 : timerId;
  });
  return result;
}

BOOL User32::killTimer(HWND hwnd, UINT_PTR id) {
  DWORD me = currentThread();
  bool found = false;
  kernel_.update([&] {
    auto it = std::find_if(timers_.begin(), timers_.end(), [&](const Timer& t) {
      return t.hwnd == hwnd && t.id == id && (hwnd || t.thread == me);
    });
    found = it != timers_.end();
    if (found) timers_.erase(it);
  });
  return found ? TRUE : fail(hwnd && !isWindow(hwnd) ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
}

// ---- message boxes, cursor, activation, geometry, focus --------------------------

int User32::messageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  // Windows' caption for a box without one.
  boxes_.push_back({owner, text ? text : "", caption ? caption : "Error", style});
  return boxAnswer_;
}

BOOL User32::setForegroundWindow(HWND hwnd) {
  if (!isWindow(hwnd)) return FALSE;
  if (foregroundWindow() != hwnd) activate(hwnd, WA_ACTIVE);
  return TRUE;
}

void User32::activate(HWND hwnd, WORD how) {
  HWND previous = nullptr;
  bool previousMinimized = false;
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    previous = std::exchange(foreground_, hwnd);
    if (Window* w = find(previous)) previousMinimized = w->minimized;
    activated_.erase(std::remove(activated_.begin(), activated_.end(), hwnd), activated_.end());
    activated_.push_back(hwnd);
  }
  if (previous && previous != hwnd) {
    deliver(previous, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, previousMinimized ? 1 : 0),
            reinterpret_cast<LPARAM>(hwnd));
  }
  deliver(hwnd, WM_ACTIVATE, how, reinterpret_cast<LPARAM>(previous));
}

void User32::deliver(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD me = currentThread();
  bool sameThread = false;
  kernel_.update([&] {
    Window* w = find(hwnd);
    if (!w) return;
    sameThread = w->thread == me;
    if (!sameThread) {
      queue(w->thread).sent.push_back(std::make_shared<SentMessage>(SentMessage{hwnd, message, wParam, lParam}));
    }
  });
  if (sameThread) call(hwnd, message, wParam, lParam);
}

HCURSOR User32::setCursor(HCURSOR cursor) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  return std::exchange(cursor_, cursor);
}

HCURSOR User32::loadCursor(HINSTANCE instance, LPCSTR name) {
  HCURSOR cursor = instance ? nullptr : systemCursor(name);
  if (!cursor) setLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return cursor;
}

RECT User32::frame(const Window& w) const {
  LONG border = (w.style & WS_THICKFRAME)              ? 4
                : (w.style & WS_CAPTION) == WS_CAPTION ? 3
                : (w.style & WS_BORDER)                ? 1
                                                       : 0;
  if (w.exStyle & WS_EX_CLIENTEDGE) border += 2;
  LONG caption = (w.style & WS_CAPTION) == WS_CAPTION ? 19 : 0;
  return RECT{border, border + caption, border, border};
}

BOOL User32::moveWindow(HWND hwnd, int x, int y, int width, int height) {
  if (!isWindow(hwnd)) return fail(ERROR_INVALID_WINDOW_HANDLE);
  // The window may change the new place and size before they are applied.
  WINDOWPOS pos{hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE};
  call(hwnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&pos));
  x = pos.x;
  y = pos.y;
  width = pos.cx;
  height = pos.cy;
  RECT before{};
  RECT client{};
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    Window* w = find(hwnd);
    if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE);
    before = w->rect;
    w->rect = RECT{x, y, x + std::max(width, 0), y + std::max(height, 0)};
    RECT edges = frame(*w);
    client.right = std::max<LONG>(w->rect.right - w->rect.left - edges.left - edges.right, 0);
    client.bottom = std::max<LONG>(w->rect.bottom - w->rect.top - edges.top - edges.bottom, 0);
  }
  if (before.right - before.left != std::max(width, 0) || before.bottom - before.top != std::max(height, 0)) {
    call(hwnd, WM_SIZE, 0, MAKELPARAM(static_cast<WORD>(client.right), static_cast<WORD>(client.bottom)));
  }
  if (before.left != x || before.top != y) {
    call(hwnd, WM_MOVE, 0, MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y)));
  }
  return TRUE;
}

void User32::setHeightQuietly(HWND hwnd, int height) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  if (Window* w = find(hwnd)) w->rect.bottom = w->rect.top + std::max(height, 0);
}

BOOL User32::windowRect(HWND hwnd, LPRECT rect, bool client) {
  if (!rect) return fail(ERROR_NOACCESS);
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  Window* w = find(hwnd);
  if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE);
  RECT edges = frame(*w);
  if (client && w->minimized) {
    *rect = RECT{0, 0, 0, 0};
    return TRUE;
  }
  if (client) {
    *rect = RECT{0, 0, std::max<LONG>(w->rect.right - w->rect.left - edges.left - edges.right, 0),
                 std::max<LONG>(w->rect.bottom - w->rect.top - edges.top - edges.bottom, 0)};
    return TRUE;
  }
  *rect = screenRect(*w);
  return TRUE;
}

// Screen coordinates: a child is placed in its parent's client area.
RECT User32::screenRect(const Window& w) {
  RECT rect = w.rect;
  for (Window* p = (w.style & WS_CHILD) ? find(w.parent) : nullptr; p;
       p = (p->style & WS_CHILD) ? find(p->parent) : nullptr) {
    RECT pe = frame(*p);
    LONG dx = p->rect.left + pe.left;
    LONG dy = p->rect.top + pe.top;
    rect = RECT{rect.left + dx, rect.top + dy, rect.right + dx, rect.bottom + dy};
  }
  return rect;
}

BOOL User32::showWindow(HWND hwnd, int command) {
  bool was = false;
  bool now = command != SW_HIDE;
  // Minimized, a window keeps its place but has no client area; restored, it has
  // its own again. Either way it hears of its new size.
  bool sizeChanged = false;
  RECT client{};
  enum class Activation { None, This, Next } activation = Activation::None;
  bool focusInside = false;  // the caller's focus is in the window
  DWORD me = currentThread();
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    Window* w = find(hwnd);
    if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE);
    bool minimize = command == SW_MINIMIZE;
    if (minimize != w->minimized && (minimize || command == SW_RESTORE)) {
      w->minimized = minimize;
      sizeChanged = true;
      RECT edges = frame(*w);
      if (!minimize) {
        client.right = std::max<LONG>(w->rect.right - w->rect.left - edges.left - edges.right, 0);
        client.bottom = std::max<LONG>(w->rect.bottom - w->rect.top - edges.top - edges.bottom, 0);
      }
    }
    was = (w->style & WS_VISIBLE) != 0;
    w->style = now ? (w->style | WS_VISIBLE) : (w->style & ~WS_VISIBLE);
    // Showing a top-level window activates it (restoring one, even when it still is
    // the active one); hiding the active one leaves none; minimizing it activates
    // the next (see below).
    bool topLevel = !(w->style & WS_CHILD) && w->parent != HWND_MESSAGE;
    bool active = foreground_ == hwnd;
    if (topLevel && now && command != SW_SHOWNOACTIVATE && command != SW_MINIMIZE) {
      activation = (!active || (command == SW_RESTORE && sizeChanged)) ? Activation::This : Activation::None;
    }
    if (topLevel && active && command == SW_MINIMIZE) activation = Activation::Next;
    if (!now && active) foreground_ = nullptr;
    focusInside = w->thread == me && isInside(queue(me).focus, hwnd);
  }
  if (was != now) call(hwnd, WM_SHOWWINDOW, now, 0);
  if (sizeChanged) {
    call(hwnd, WM_SIZE, command == SW_MINIMIZE ? SIZE_MINIMIZED : SIZE_RESTORED,
         MAKELPARAM(static_cast<WORD>(client.right), static_cast<WORD>(client.bottom)));
  }
  if (command == SW_MINIMIZE && focusInside) setFocus(nullptr);
  if (activation == Activation::This) activate(hwnd, WA_ACTIVE);
  if (activation == Activation::Next) {
    // The next window in Z order, which the model keeps as the order of activation.
    // Windows may leave the minimized window active instead (Wine does without a
    // window manager, Windows when no other window can take it): it keeps no focus.
    HWND next = nextToActivate(hwnd);
    if (next && Variance::instance().pick(true, {false})) activate(next, WA_ACTIVE);
  }
  return was ? TRUE : FALSE;
}

HWND User32::nextToActivate(HWND leaving) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  for (auto it = activated_.rbegin(); it != activated_.rend(); ++it) {
    Window* w = find(*it);
    if (w && *it != leaving && (w->style & WS_VISIBLE) && !(w->style & WS_DISABLED) && !w->minimized) return *it;
  }
  return nullptr;
}

bool User32::isInside(HWND hwnd, HWND ancestor) {
  for (Window* w = find(hwnd); w; w = (w->style & WS_CHILD) ? find(w->parent) : nullptr) {
    if (w->handle == ancestor) return true;
  }
  return false;
}

BOOL User32::isVisible(HWND hwnd) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  // (A child without a parent is a child of the desktop, as a combo box's list is.)
  for (Window* w = find(hwnd); w; w = (w->style & WS_CHILD) ? find(w->parent) : nullptr) {
    if (!(w->style & WS_VISIBLE)) return FALSE;
    if (!(w->style & WS_CHILD) || !w->parent) return TRUE;
  }
  return FALSE;
}

BOOL User32::enableWindow(HWND hwnd, bool enable) {
  bool wasDisabled = false;
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    Window* w = find(hwnd);
    if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE);
    wasDisabled = (w->style & WS_DISABLED) != 0;
    w->style = enable ? (w->style & ~WS_DISABLED) : (w->style | WS_DISABLED);
    Queue& q = queue(w->thread);
    if (!enable && q.focus == hwnd) q.focus = nullptr;
  }
  if (wasDisabled == enable) call(hwnd, WM_ENABLE, enable, 0);
  return wasDisabled ? TRUE : FALSE;
}

BOOL User32::isEnabled(HWND hwnd) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  Window* w = find(hwnd);
  return w && !(w->style & WS_DISABLED) ? TRUE : FALSE;
}

HWND User32::setFocus(HWND hwnd) {
  DWORD me = currentThread();
  HWND previous = nullptr;
  {
    std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
    Queue& q = queue(me);
    if (hwnd) {
      Window* w = find(hwnd);
      if (!w) {
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
      }
      if (w->thread != me || (w->style & WS_DISABLED)) return nullptr;
    }
    previous = q.focus;
    if (previous == hwnd) return previous;
    q.focus = hwnd;
  }
  if (previous) call(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
  if (hwnd) call(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
  return previous;
}

HWND User32::focus() {
  DWORD me = currentThread();
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  return queue(me).focus;
}

HWND User32::parent(HWND hwnd) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  Window* w = find(hwnd);
  if (!w) {
    setLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  // A child's parent, or a pop-up's owner.
  return (w->style & (WS_CHILD | WS_POPUP)) && w->parent != HWND_MESSAGE ? w->parent : nullptr;
}

DWORD User32::windowThread(HWND hwnd) {
  std::lock_guard<std::mutex> guard(kernel_.dispatcherLock());
  Window* w = find(hwnd);
  return w ? w->thread : 0;
}

}  // namespace sim
