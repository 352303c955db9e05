// The kernel part of the simulated machine: handle table, waitable objects, threads,
// device files, modules, local memory, code pages, drives, clock, debugger output.
//
// One dispatcher lock guards every waitable state and every OVERLAPPED the machine
// completes, so a waiter never sees half a completion.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace sim {

class Kernel;

// Anything a handle can stand for. A request in progress keeps its file and its event
// alive, as the I/O manager references them while the request runs.
class KernelObject : public std::enable_shared_from_this<KernelObject> {
 public:
  virtual ~KernelObject() = default;
  virtual const char* typeName() const = 0;
  // Waitable objects answer these under the dispatcher lock.
  virtual bool waitable() const { return false; }
  virtual bool signalled() const { return false; }
  virtual void acquire() {}  // a satisfied wait consumes the signal (auto-reset)
  // The last handle to the object went away (CloseHandle): device files end their I/O.
  virtual void lastHandleClosed() {}

 private:
  friend class Kernel;
  int handleCount_ = 0;
};

class Event : public KernelObject {
 public:
  Event(bool manualReset, bool initialState) : manualReset_(manualReset), state_(initialState) {}
  const char* typeName() const override { return "Event"; }
  bool waitable() const override { return true; }
  bool signalled() const override { return state_; }
  void acquire() override {
    if (!manualReset_) state_ = false;
  }
  void set(bool state) { state_ = state; }

 private:
  bool manualReset_;
  bool state_;
};

// Which of a file's requests a cancel is for: CancelIo names those the calling thread
// issued, CancelIoEx those of one record or (without one) all of the file's.
struct CancelScope {
  DWORD thread = 0;                   // 0: any thread's
  LPOVERLAPPED overlapped = nullptr;  // null: any record's
  bool covers(DWORD issuer, LPOVERLAPPED record) const {
    return (thread == 0 || thread == issuer) && (overlapped == nullptr || overlapped == record);
  }
};

class Thread : public KernelObject {
 public:
  const char* typeName() const override { return "Thread"; }
  bool waitable() const override { return true; }
  bool signalled() const override { return finished; }

  DWORD id = 0;
  int priority = THREAD_PRIORITY_NORMAL;
  DWORD suspendCount = 0;
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
};

// A file opened by CreateFileA on a device path. Device models derive from it.
// Like Windows' file object it is waitable: issuing an overlapped request through it
// clears its signal, completing one sets it.
class FileObject : public KernelObject {
 public:
  const char* typeName() const override { return "File"; }
  bool waitable() const override { return true; }
  bool signalled() const override { return ioSignal_; }
  virtual BOOL deviceIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                               LPDWORD returned, LPOVERLAPPED overlapped);
  // Marks the requests in `scope` to be cancelled and returns how many it marked. It
  // does not wait: the driver completes them later, on a thread of its own.
  virtual size_t cancel(const CancelScope& scope) { return 0; }

  DWORD access = 0;
  DWORD flags = 0;  // FILE_FLAG_OVERLAPPED and friends, as given to CreateFileA
  std::string path;

 private:
  friend class Kernel;
  bool ioSignal_ = false;  // under the dispatcher lock
};

// Opens a device path, or answers nothing (nullptr) when the path is not its own.
using DeviceResolver = std::function<std::shared_ptr<FileObject>(const std::string& path)>;

// A loadable module with an export table that tests may edit.
struct Module {
  std::string name;  // as registered, e.g. "SetupAPI.dll"
  std::map<std::string, FARPROC> exports;
  HMODULE handle = nullptr;
  int loadCount = 0;
};

// A function as a module export (the FARPROC cast in one place).
template <class Fn>
FARPROC asExport(Fn fn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(fn));
}

struct Drive {
  char letter;  // 'A'..'Z'
  UINT type;    // DRIVE_FIXED, DRIVE_REMOVABLE, ...
};

class Kernel {
 public:
  Kernel();
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // Handles.
  HANDLE addHandle(std::shared_ptr<KernelObject> object);
  std::shared_ptr<KernelObject> object(HANDLE handle) const;
  template <class T>
  std::shared_ptr<T> objectAs(HANDLE handle) const {
    return std::dynamic_pointer_cast<T>(object(handle));
  }
  bool closeHandle(HANDLE handle);
  bool duplicateHandle(HANDLE source, HANDLE* target);
  size_t handleCount() const;

  // Waits. `extraReady`, when given, is a further wake-up condition checked under the
  // dispatcher lock (a message queue, say); it yields index `handles.size()`.
  // Returns WAIT_OBJECT_0 + i, WAIT_TIMEOUT or WAIT_FAILED (last error set).
  DWORD wait(const std::vector<HANDLE>& handles, bool waitAll, DWORD timeoutMs,
             const std::function<bool()>& extraReady = {});
  // Runs `change` under the dispatcher lock, then wakes every waiter to look again.
  void update(const std::function<void()>& change);
  std::mutex& dispatcherLock() { return lock_; }
  void notifyWaiters() { changed_.notify_all(); }

  // Events.
  HANDLE createEvent(bool manualReset, bool initialState);
  bool setEvent(HANDLE handle, bool state);

  // OVERLAPPED records as Windows treats them. Issuing a request through `file` sets
  // Internal to STATUS_PENDING and resets the record's event (and the file's signal),
  // whether or not the request then fails at once. A request that fails at once is
  // never completed: only one that was left pending (ERROR_IO_PENDING) or succeeded
  // is. Completion stores status and byte count, then sets the event and the file.
  // A request that stays pending keeps the record's event as it was at the issue and
  // completes with it: a handle closed and reused meanwhile does not redirect it.
  void startOverlapped(LPOVERLAPPED overlapped, FileObject* file);
  void completeOverlapped(LPOVERLAPPED overlapped, FileObject* file, NTSTATUS status, ULONG_PTR bytes,
                          const std::shared_ptr<Event>& issuedWith);
  void completeOverlapped(LPOVERLAPPED overlapped, FileObject* file, NTSTATUS status, ULONG_PTR bytes) {
    completeOverlapped(overlapped, file, status, bytes, objectAs<Event>(overlapped->hEvent));
  }
  // Waits, when asked to, on the record's event, or on `file` when the record has
  // none; the request itself is not looked at while waiting.
  BOOL getOverlappedResult(LPOVERLAPPED overlapped, const std::shared_ptr<KernelObject>& file,
                           LPDWORD bytes, bool wait);

  // Threads.
  HANDLE createThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, bool suspended, DWORD* id);
  DWORD resumeThread(HANDLE handle);
  DWORD currentThreadId();
  // Waits for every thread the machine started to end (machine shutdown).
  void joinThreads();
  // Priority last set on the thread with this id (THREAD_PRIORITY_ERROR_RETURN if none,
  // or when the thread ended long ago: only the newest kEndedThreadRecords ended
  // threads keep their records).
  int threadPriorityById(DWORD id) const;
  static constexpr size_t kEndedThreadRecords = 64;
  // Threads started and not yet joined.
  size_t unjoinedThreads() const;
  // Threads started by CreateThread that have not ended yet.
  size_t runningThreads() const;

  // Device files.
  void addDeviceResolver(DeviceResolver resolver);
  HANDLE createFile(const std::string& path, DWORD access, DWORD flags);

  // Modules.
  Module& addModule(const std::string& name, std::map<std::string, FARPROC> exports = {});
  void removeModule(const std::string& name);
  void removeExport(const std::string& module, const std::string& name);
  Module* findModule(const std::string& name);  // by file name, case-insensitive
  HMODULE loadLibrary(const char* name);
  FARPROC getProcAddress(HMODULE module, const char* name);
  bool freeLibrary(HMODULE module);
  int loadCount(const std::string& name);

  // Local memory.
  HLOCAL localAlloc(UINT flags, SIZE_T bytes);
  HLOCAL localFree(HLOCAL memory);
  size_t localAllocations() const;

  // Critical sections (the record's DebugInfo points at the lock standing behind it).
  void initializeCriticalSection(LPCRITICAL_SECTION section);
  void deleteCriticalSection(LPCRITICAL_SECTION section);
  size_t criticalSections() const;

  // Drives.
  void setDrives(std::vector<Drive> drives);
  std::vector<Drive> drives() const;

  // Clock: real time unless a fixed time is set.
  void setClock(ULONGLONG fileTime);
  void useRealClock();
  ULONGLONG now() const;

  // Runs the machine inside a real Windows API (SimMachine::kHosted): its handles and
  // module handles come from ranges the host never hands out, an OVERLAPPED event that
  // is not the machine's is the host's and set through it, and every last error the
  // machine sets is the host's as well. Called once, before the machine is used.
  void hostOn(const win::Kernel32& host);
  bool hosted() const { return hosted_; }
  bool ownsModule(HMODULE module) const;

  // Debugger output: the newest kDebugLogLines lines are kept, and how many went.
  static constexpr size_t kDebugLogLines = 4096;
  void debugOutput(const std::string& text);
  std::vector<std::string> debugLog() const;
  size_t debugLinesDropped() const;
  void clearDebugLog();

  // COM per thread.
  HRESULT coInitialize(DWORD model);
  void coUninitialize();
  int comInitCount(DWORD threadId) const;

 private:
  bool ready(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll, size_t* index);
  void cancelThreadIo(DWORD thread);
  // Joins the threads that have ended and forgets the records of the oldest ended ones.
  void reapThreads();
  DWORD waitObjects(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
                    DWORD timeoutMs, const std::function<bool()>& extraReady);
  // The caller's event when it is the host's, for the host to set or reset.
  HANDLE hostEvent(LPOVERLAPPED overlapped, const std::shared_ptr<Event>& own) const;

  win::Kernel32 host_;
  bool hosted_ = false;

  mutable std::mutex lock_;  // the dispatcher lock
  std::condition_variable changed_;

  std::map<ULONG_PTR, std::shared_ptr<KernelObject>> handles_;
  ULONG_PTR handleBase_ = 0;
  // Values closed handles had, the most recently closed last: handed out again first.
  std::vector<ULONG_PTR> freeHandles_;

  std::map<std::thread::id, DWORD> threadIds_;
  std::map<DWORD, std::shared_ptr<Thread>> threads_;
  std::map<DWORD, std::thread> osThreads_;  // by thread id, until joined
  DWORD nextThreadId_ = 0x1000;

  std::vector<DeviceResolver> resolvers_;

  std::vector<std::unique_ptr<Module>> modules_;
  ULONG_PTR nextModule_ = 0x10000000;

  std::set<void*> local_;
  std::set<LPCRITICAL_SECTION> sections_;

  std::vector<Drive> drives_;
  std::optional<ULONGLONG> clock_;
  std::deque<std::string> debugLog_;
  size_t debugDropped_ = 0;
  std::map<DWORD, std::pair<int, DWORD>> com_;  // thread id -> (count, model)
};

// The calling thread's last error, as GetLastError / SetLastError see it.
DWORD lastError();
void setLastError(DWORD error);

// Win32 status of an NTSTATUS that a request completed with.
DWORD win32ErrorOf(NTSTATUS status);

}  // namespace sim
