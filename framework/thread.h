// Threads of the component framework, over the platform's threads: created suspended
// and started, optionally freeing themselves when Execute returns, and able to run a
// method on the main thread while they wait (Synchronize).
#pragma once

#include <atomic>
#include <exception>
#include <functional>

#include "framework/events.h"
#include "framework/sysutils.h"
#include "platform/win32.h"

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The platform's priority level of a framework priority (-15, -2, -1, 0, 1, 2, 15).
int PlatformPriority(TThreadPriority priority);

class TThread : public TObject {
 public:
  // The platform thread is created suspended; Start runs Execute. (It cannot start
  // itself here: the derived object's Execute is not there yet.)
  TThread();
  // Destroying a running thread from another thread terminates it and waits for it.
  ~TThread() override;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  bool Finished() const { return finished_; }
  // Waits for the thread's end, running the main thread's Synchronize requests
  // meanwhile when called on the main thread. Returns the exit code.
  DWORD WaitFor();

  // Set before Start: the object deletes itself when Execute returns. Nobody may touch
  // it after that; keep a duplicate of Handle() to wait for its end.
  void SetFreeOnTerminate(bool value) { freeOnTerminate_ = value; }
  bool FreeOnTerminate() const { return freeOnTerminate_; }
  TThreadPriority Priority() const { return priority_; }
  void SetPriority(TThreadPriority priority);
  HANDLE Handle() const { return handle_; }
  DWORD ThreadID() const { return threadId_; }
  // The error Execute ended with, if any (the thread swallowed it).
  std::exception_ptr FatalException() const { return fatal_; }

  TNotifyEvent OnTerminate;

  // Runs `method` on the main thread and returns when it has run; an error it raised
  // is raised again here. On the main thread it simply runs.
  void Synchronize(const TThreadMethod& method);

 protected:
  virtual void Execute() = 0;
  DWORD ReturnValue = 0;

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);

  HANDLE handle_ = nullptr;
  DWORD threadId_ = 0;
  TThreadPriority priority_ = tpNormal;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> skipExecute_{false};
  std::atomic<bool> freeOnTerminate_{false};
  std::exception_ptr fatal_;
};

// True on the thread the program started on.
bool IsMainThread();

// Runs the waiting Synchronize requests on the main thread; with a time-out, first
// waits up to that long for one to arrive. True when one ran.
bool CheckSynchronize(DWORD timeoutMs = 0);

// Waits, on the main thread, for a thread handle (or any other waitable handle) to be
// signalled while serving Synchronize requests: the wait behind TThread::WaitFor, for
// callers that hold a duplicate handle of a self-freeing thread. WAIT_TIMEOUT after
// `timeoutMs`.
DWORD WaitForThreadHandle(HANDLE thread, DWORD timeoutMs = INFINITE);

// Called whenever a Synchronize request arrives, so the main loop can wake up and
// call CheckSynchronize (the application object posts itself a message).
void SetWakeMainThread(std::function<void()> wake);
