#include "framework/thread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

namespace {

const std::thread::id g_mainThread = std::this_thread::get_id();

struct SyncRequest {
  TThreadMethod method;
  bool done = false;
  std::exception_ptr error;
};

// The Synchronize queue: requests from workers, the main thread's waits that want to
// hear of them, and the wake-up hook of the main loop.
struct SyncQueue {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<SyncRequest*> requests;
  std::set<HANDLE> waiters;  // events of main-thread waits in progress
  std::function<void()> wake;
};

SyncQueue& queue() {
  static SyncQueue q;
  return q;
}

}  // namespace

int PlatformPriority(TThreadPriority priority) {
  static const int levels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                               THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                               THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                               THREAD_PRIORITY_TIME_CRITICAL};
  return levels[priority];
}

bool IsMainThread() { return std::this_thread::get_id() == g_mainThread; }

void SetWakeMainThread(std::function<void()> wake) {
  std::lock_guard<std::mutex> guard(queue().lock);
  queue().wake = std::move(wake);
}

bool CheckSynchronize(DWORD timeoutMs) {
  SyncQueue& q = queue();
  std::deque<SyncRequest*> batch;
  {
    std::unique_lock<std::mutex> guard(q.lock);
    if (q.requests.empty() && timeoutMs > 0) {
      q.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                         [&] { return !q.requests.empty(); });
    }
    batch.swap(q.requests);
  }
  for (SyncRequest* request : batch) {
    try {
      request->method();
    } catch (...) {
      request->error = std::current_exception();
    }
    std::lock_guard<std::mutex> guard(q.lock);
    request->done = true;
  }
  if (!batch.empty()) q.changed.notify_all();
  return !batch.empty();
}

DWORD WaitForThreadHandle(HANDLE thread, DWORD timeoutMs) {
  if (!IsMainThread()) return win::WaitForSingleObject(thread, timeoutMs);
  SyncQueue& q = queue();
  HANDLE wakeUp = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  {
    std::lock_guard<std::mutex> guard(q.lock);
    q.waiters.insert(wakeUp);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto remaining = [&]() -> DWORD {
    if (timeoutMs == INFINITE) return INFINITE;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
  };
  // Messages that other threads send to the main thread's windows are served too: a
  // thread that sends to a window of ours may be the one we wait for.
  DWORD result = WAIT_FAILED;
  for (;;) {
    CheckSynchronize();
    HANDLE handles[] = {thread, wakeUp};
    result = win::MsgWaitForMultipleObjects(2, handles, FALSE, remaining(), QS_SENDMESSAGE);
    if (result == WAIT_OBJECT_0 + 2) {
      MSG msg;
      win::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // runs the sent messages
      continue;
    }
    if (result != WAIT_OBJECT_0 + 1) break;
  }
  {
    std::lock_guard<std::mutex> guard(q.lock);
    q.waiters.erase(wakeUp);
  }
  win::CloseHandle(wakeUp);
  return result;
}

TThread::TThread() {
  handle_ = win::CreateThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &threadId_);
}

TThread::~TThread() {
  if (!handle_) return;
  bool ownThread = threadId_ == win::GetCurrentThreadId();
  if (!ownThread && !finished_) {
    if (!started_) {
      // Never started: let the platform thread run out without Execute.
      skipExecute_ = true;
      Start();
    }
    Terminate();
    WaitFor();
  }
  win::CloseHandle(handle_);
}

void TThread::Start() {
  if (started_.exchange(true)) return;
  win::ResumeThread(handle_);
}

void TThread::SetPriority(TThreadPriority priority) {
  priority_ = priority;
  win::SetThreadPriority(handle_, PlatformPriority(priority));
}

DWORD TThread::WaitFor() {
  WaitForThreadHandle(handle_);
  DWORD code = 0;
  win::GetExitCodeThread(handle_, &code);
  return code;
}

void TThread::Synchronize(const TThreadMethod& method) {
  if (IsMainThread()) {
    method();
    return;
  }
  SyncQueue& q = queue();
  SyncRequest request;
  request.method = method;
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> guard(q.lock);
    q.requests.push_back(&request);
    for (HANDLE waiter : q.waiters) win::SetEvent(waiter);
    wake = q.wake;
  }
  q.changed.notify_all();
  if (wake) wake();
  {
    std::unique_lock<std::mutex> guard(q.lock);
    q.changed.wait(guard, [&] { return request.done; });
  }
  if (request.error) std::rethrow_exception(request.error);
}

DWORD WINAPI TThread::ThreadProc(LPVOID self) {
  auto* thread = static_cast<TThread*>(self);
  if (!thread->skipExecute_) {
    try {
      thread->Execute();
    } catch (...) {
      thread->fatal_ = std::current_exception();
    }
  }
  DWORD code = thread->ReturnValue;
  bool freeIt = thread->freeOnTerminate_;
  if (thread->OnTerminate.Assigned() && !thread->skipExecute_) {
    try {
      thread->Synchronize(TThreadMethod(thread, [](void* t) {
        auto* me = static_cast<TThread*>(t);
        me->OnTerminate(me);
      }));
    } catch (...) {
    }
  }
  thread->finished_ = true;
  if (freeIt) delete thread;
  return code;
}
