#include "platform/sim/kernel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/sim/text.h"
#include "platform/sim/variance.h"

namespace sim {

namespace {

// The last error is a property of the calling thread, as on Windows.
thread_local DWORD t_lastError = 0;
// A hosted machine's last errors are the host's too: callers read them with the
// host's GetLastError.
std::atomic<void(WINAPI*)(DWORD)> g_hostSetLastError{nullptr};

using Clock = std::chrono::steady_clock;

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr ULONGLONG kEpochDifference = 116444736000000000ull;

}  // namespace

DWORD lastError() { return t_lastError; }
void setLastError(DWORD error) {
  t_lastError = error;
  if (auto host = g_hostSetLastError.load()) host(error);
}

DWORD win32ErrorOf(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return ERROR_SUCCESS;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_BUFFER_OVERFLOW: return ERROR_MORE_DATA;
    case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_IO_TIMEOUT: return ERROR_SEM_TIMEOUT;
    case STATUS_DEVICE_NOT_CONNECTED: return ERROR_DEVICE_NOT_CONNECTED;
    // As Wine's ntdll maps them (RtlNtStatusToDosError).
    case STATUS_NO_SUCH_DEVICE: return ERROR_NO_SUCH_DEVICE;
    case STATUS_NO_SUCH_FILE: return ERROR_FILE_NOT_FOUND;
    case STATUS_DEVICE_REMOVED: return ERROR_DEVICE_REMOVED;
    case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_DEVICE_STATE: return ERROR_BAD_COMMAND;
    default: return ERROR_GEN_FAILURE;
  }
}

BOOL FileObject::deviceIoControl(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  setLastError(ERROR_INVALID_FUNCTION);
  return FALSE;
}

Kernel::Kernel() {
  // A fresh machine has the usual fixed system drive.
  drives_.push_back({'C', DRIVE_FIXED});
}

Kernel::~Kernel() {
  if (hosted_) g_hostSetLastError = nullptr;
  joinThreads();
  for (void* memory : local_) std::free(memory);
}

// ---- handles ---------------------------------------------------------------------

namespace {
// A machine's fresh handle values are never ones an earlier machine of the process
// handed out: a component that outlived its machine cannot close the next machine's
// handles.
std::atomic<ULONG_PTR> g_nextHandle{0x100};
}  // namespace

// Windows hands out the values of closed handles again (measured under Wine: the value
// closed last comes back at the next open), so a handle closed twice may close the
// handle of whoever got its value meanwhile. Which freed value comes back first is not
// promised; unkind runs take any of them.
HANDLE Kernel::addHandle(std::shared_ptr<KernelObject> object) {
  std::lock_guard<std::mutex> guard(lock_);
  ULONG_PTR value = 0;
  if (freeHandles_.empty()) {
    value = g_nextHandle.fetch_add(4) + handleBase_;
  } else {
    size_t last = freeHandles_.size() - 1;
    size_t at = Variance::instance().between(static_cast<unsigned>(last), 0, static_cast<unsigned>(last));
    value = freeHandles_[at];
    freeHandles_.erase(freeHandles_.begin() + static_cast<std::ptrdiff_t>(at));
  }
  ++object->handleCount_;
  handles_[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> Kernel::object(HANDLE handle) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = handles_.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == handles_.end() ? nullptr : it->second;
}

bool Kernel::closeHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> closed;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = handles_.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == handles_.end()) return false;
    closed = std::move(it->second);
    handles_.erase(it);
    freeHandles_.push_back(reinterpret_cast<ULONG_PTR>(handle));
    if (--closed->handleCount_ > 0) return true;
  }
  closed->lastHandleClosed();
  return true;
}

bool Kernel::duplicateHandle(HANDLE source, HANDLE* target) {
  auto original = object(source);
  if (!original) return false;
  *target = addHandle(std::move(original));
  return true;
}

size_t Kernel::handleCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return handles_.size();
}

// ---- waits -----------------------------------------------------------------------

bool Kernel::ready(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
                   size_t* index) {
  if (waitAll) {
    bool all = std::all_of(objects.begin(), objects.end(), [](auto& o) { return o->signalled(); });
    if (!all || objects.empty()) return false;
    for (auto& o : objects) o->acquire();
    *index = 0;
    return true;
  }
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i]->signalled()) {
      objects[i]->acquire();
      *index = i;
      return true;
    }
  }
  return false;
}

DWORD Kernel::wait(const std::vector<HANDLE>& handles, bool waitAll, DWORD timeoutMs,
                   const std::function<bool()>& extraReady) {
  if (handles.size() > MAXIMUM_WAIT_OBJECTS) {
    setLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<KernelObject>> objects;
  for (HANDLE handle : handles) {
    auto o = object(handle);
    if (!o || !o->waitable()) {
      setLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objects.push_back(std::move(o));
  }
  return waitObjects(objects, waitAll, timeoutMs, extraReady);
}

DWORD Kernel::waitObjects(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
                          DWORD timeoutMs, const std::function<bool()>& extraReady) {
  const DWORD extraIndex = WAIT_OBJECT_0 + static_cast<DWORD>(objects.size());
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    size_t index = 0;
    if (ready(objects, waitAll, &index)) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
    if (extraReady && extraReady()) return extraIndex;
    if (timeoutMs == 0) return WAIT_TIMEOUT;
    if (timeoutMs == INFINITE) {
      changed_.wait(guard);
    } else if (changed_.wait_until(guard, deadline) == std::cv_status::timeout) {
      if (ready(objects, waitAll, &index)) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
      if (extraReady && extraReady()) return extraIndex;
      return WAIT_TIMEOUT;
    }
  }
}

void Kernel::update(const std::function<void()>& change) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    change();
  }
  changed_.notify_all();
}

// ---- events and overlapped records -----------------------------------------------

HANDLE Kernel::createEvent(bool manualReset, bool initialState) {
  return addHandle(std::make_shared<Event>(manualReset, initialState));
}

bool Kernel::setEvent(HANDLE handle, bool state) {
  auto event = objectAs<Event>(handle);
  if (!event) return false;
  update([&] { event->set(state); });
  return true;
}

HANDLE Kernel::hostEvent(LPOVERLAPPED overlapped, const std::shared_ptr<Event>& own) const {
  return hosted_ && !own ? overlapped->hEvent : nullptr;
}

void Kernel::startOverlapped(LPOVERLAPPED overlapped, FileObject* file) {
  std::shared_ptr<Event> event = objectAs<Event>(overlapped->hEvent);
  HANDLE real = hostEvent(overlapped, event);
  update([&] {
    overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
    overlapped->InternalHigh = 0;
    // Issuing a request resets the caller's event, as the I/O manager does, also when
    // the request then fails at once (measured under Wine).
    if (event) event->set(false);
    if (real) host_.ResetEvent(real);
    if (file) file->ioSignal_ = false;
  });
}

void Kernel::completeOverlapped(LPOVERLAPPED overlapped, FileObject* file, NTSTATUS status,
                                ULONG_PTR bytes, const std::shared_ptr<Event>& event) {
  HANDLE real = hostEvent(overlapped, event);
  update([&] {
    overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
    overlapped->InternalHigh = bytes;
    if (event) event->set(true);
    // Under the lock: nobody can have seen the completion and closed the event yet.
    if (real) host_.SetEvent(real);
    if (file) file->ioSignal_ = true;
  });
}

BOOL Kernel::getOverlappedResult(LPOVERLAPPED overlapped, const std::shared_ptr<KernelObject>& file,
                                 LPDWORD bytes, bool waitForIt) {
  auto status = [&] {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<NTSTATUS>(overlapped->Internal);
  };
  if (status() == STATUS_PENDING) {
    if (!waitForIt) {
      setLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    // Windows waits on the event (or the file), not on the request: an event set by
    // someone else ends the wait with the request still running.
    HANDLE event = overlapped->hEvent;
    DWORD waited = WAIT_FAILED;
    if (event && hosted_ && !object(event)) {
      waited = host_.WaitForSingleObject(event, INFINITE);
    } else if (event) {
      waited = wait({event}, false, INFINITE);
    } else if (file && file->waitable()) {
      waited = waitObjects({file}, false, INFINITE, {});
    } else {
      setLastError(ERROR_INVALID_HANDLE);
    }
    if (waited == WAIT_FAILED) return FALSE;
  }
  NTSTATUS result = STATUS_SUCCESS;
  DWORD transferred = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    result = static_cast<NTSTATUS>(overlapped->Internal);
    transferred = static_cast<DWORD>(overlapped->InternalHigh);
  }
  if (bytes) *bytes = transferred;
  // Still pending after the wait: Windows takes it for a success.
  if (result < 0) {
    setLastError(win32ErrorOf(result));
    return FALSE;
  }
  return TRUE;
}

// ---- threads ---------------------------------------------------------------------

HANDLE Kernel::createThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, bool suspended,
                            DWORD* id) {
  auto thread = std::make_shared<Thread>();
  {
    std::lock_guard<std::mutex> guard(lock_);
    thread->id = nextThreadId_;
    nextThreadId_ += 4;
    thread->suspendCount = suspended ? 1 : 0;
    threads_[thread->id] = thread;
  }
  if (id) *id = thread->id;
  HANDLE handle = addHandle(thread);
  reapThreads();
  std::lock_guard<std::mutex> guard(lock_);
  osThreads_[thread->id] = std::thread([this, thread, start, parameter] {
    {
      std::unique_lock<std::mutex> gate(lock_);
      threadIds_[std::this_thread::get_id()] = thread->id;
      changed_.wait(gate, [&] { return thread->suspendCount == 0; });
    }
    t_lastError = 0;
    DWORD code = start(parameter);
    cancelThreadIo(thread->id);
    update([&] {
      thread->exitCode = code;
      thread->finished = true;
      threadIds_.erase(std::this_thread::get_id());
    });
  });
  return handle;
}

DWORD Kernel::resumeThread(HANDLE handle) {
  auto thread = objectAs<Thread>(handle);
  if (!thread) {
    setLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  DWORD previous = 0;
  update([&] {
    previous = thread->suspendCount;
    if (thread->suspendCount > 0) --thread->suspendCount;
  });
  return previous;
}

DWORD Kernel::currentThreadId() {
  std::lock_guard<std::mutex> guard(lock_);
  auto [it, added] = threadIds_.try_emplace(std::this_thread::get_id(), nextThreadId_);
  if (added) nextThreadId_ += 4;
  return it->second;
}

// A thread that ends has what it issued cancelled, as Windows does for I/O that is not
// bound to a completion port:
// https://learn.microsoft.com/windows/win32/fileio/canceling-pending-i-o-operations
void Kernel::cancelThreadIo(DWORD thread) {
  std::vector<std::shared_ptr<FileObject>> files;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [value, object] : handles_) {
      if (auto file = std::dynamic_pointer_cast<FileObject>(object)) files.push_back(std::move(file));
    }
  }
  for (auto& file : files) file->cancel({thread, nullptr});
}

void Kernel::joinThreads() {
  // Threads the machine started must not outlive it.
  std::map<DWORD, std::thread> threads;
  {
    std::lock_guard<std::mutex> guard(lock_);
    threads.swap(osThreads_);
  }
  for (auto& [id, thread] : threads) {
    if (thread.joinable()) thread.join();
  }
}

void Kernel::reapThreads() {
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> guard(lock_);
    size_t endedRecords = 0;
    for (auto& [id, thread] : threads_) {
      if (!thread->finished) continue;
      ++endedRecords;
      auto os = osThreads_.find(id);
      if (os == osThreads_.end()) continue;
      ended.push_back(std::move(os->second));
      osThreads_.erase(os);
    }
    // Thread ids only grow: the map's first entries are the oldest.
    for (auto it = threads_.begin(); it != threads_.end() && endedRecords > kEndedThreadRecords;) {
      if (!it->second->finished) {
        ++it;
        continue;
      }
      com_.erase(it->first);
      it = threads_.erase(it);
      --endedRecords;
    }
  }
  // An ended thread has at most its last lines to run.
  for (auto& thread : ended) thread.join();
}

size_t Kernel::unjoinedThreads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return osThreads_.size();
}

int Kernel::threadPriorityById(DWORD id) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = threads_.find(id);
  return it == threads_.end() ? THREAD_PRIORITY_ERROR_RETURN : it->second->priority;
}

size_t Kernel::runningThreads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<size_t>(std::count_if(threads_.begin(), threads_.end(),
                                           [](auto& entry) { return !entry.second->finished; }));
}

// ---- device files ----------------------------------------------------------------

void Kernel::addDeviceResolver(DeviceResolver resolver) {
  std::lock_guard<std::mutex> guard(lock_);
  resolvers_.push_back(std::move(resolver));
}

HANDLE Kernel::createFile(const std::string& path, DWORD access, DWORD flags) {
  std::vector<DeviceResolver> resolvers;
  {
    std::lock_guard<std::mutex> guard(lock_);
    resolvers = resolvers_;
  }
  for (auto& resolve : resolvers) {
    setLastError(ERROR_FILE_NOT_FOUND);
    if (auto file = resolve(path)) {
      file->access = access;
      file->flags = flags;
      file->path = path;
      setLastError(ERROR_SUCCESS);
      return addHandle(std::move(file));
    }
    // A resolver that owns the path but refuses it leaves its own error.
    if (lastError() != ERROR_FILE_NOT_FOUND) return INVALID_HANDLE_VALUE;
  }
  setLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

// ---- modules ---------------------------------------------------------------------

namespace {

// "C:\Windows\System32\SetupAPI.dll" and "setupapi" name the same module.
std::string moduleKey(const std::string& name) {
  std::string base = name.substr(name.find_last_of("\\/") + 1);
  if (base.find('.') == std::string::npos) base += ".dll";
  return lowerAscii(base);
}

}  // namespace

Module& Kernel::addModule(const std::string& name, std::map<std::string, FARPROC> exports) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& module : modules_) {
    if (moduleKey(module->name) == moduleKey(name)) {
      module->exports = std::move(exports);
      return *module;
    }
  }
  auto module = std::make_unique<Module>();
  module->name = name;
  module->exports = std::move(exports);
  module->handle = hosted_ ? reinterpret_cast<HMODULE>(module.get())
                                  : reinterpret_cast<HMODULE>(nextModule_);
  nextModule_ += 0x10000;
  modules_.push_back(std::move(module));
  return *modules_.back();
}

void Kernel::removeModule(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  modules_.erase(std::remove_if(modules_.begin(), modules_.end(),
                                [&](auto& m) { return moduleKey(m->name) == moduleKey(name); }),
                 modules_.end());
}

void Kernel::removeExport(const std::string& module, const std::string& name) {
  if (Module* found = findModule(module)) {
    std::lock_guard<std::mutex> guard(lock_);
    found->exports.erase(name);
  }
}

Module* Kernel::findModule(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& module : modules_) {
    if (moduleKey(module->name) == moduleKey(name)) return module.get();
  }
  return nullptr;
}

HMODULE Kernel::loadLibrary(const char* name) {
  if (!name || !*name) {
    setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Module* module = findModule(name);
  if (!module) {
    setLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(lock_);
  ++module->loadCount;
  return module->handle;
}

FARPROC Kernel::getProcAddress(HMODULE handle, const char* name) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& module : modules_) {
    if (module->handle != handle || module->loadCount == 0) continue;
    // An ordinal (high word zero) is not among a simulated module's exports.
    bool ordinal = (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0;
    auto it = ordinal ? module->exports.end() : module->exports.find(name);
    if (it == module->exports.end()) {
      setLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    return it->second;
  }
  setLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

bool Kernel::freeLibrary(HMODULE handle) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& module : modules_) {
    if (module->handle == handle && module->loadCount > 0) {
      --module->loadCount;
      return true;
    }
  }
  setLastError(ERROR_MOD_NOT_FOUND);
  return false;
}

bool Kernel::ownsModule(HMODULE handle) const {
  std::lock_guard<std::mutex> guard(lock_);
  return std::any_of(modules_.begin(), modules_.end(), [&](auto& m) { return m->handle == handle; });
}

void Kernel::hostOn(const win::Kernel32& host) {
  std::lock_guard<std::mutex> guard(lock_);
  host_ = host;
  hosted_ = true;
  g_hostSetLastError = host.SetLastError;
  // Real handles are multiples of four below 2^26 (or small negative pseudo-handles).
  handleBase_ = 0x40000000;
  // A real module handle is the base of a mapped image, so the address of a heap
  // object can never be one.
  for (auto& module : modules_) module->handle = reinterpret_cast<HMODULE>(module.get());
}

int Kernel::loadCount(const std::string& name) {
  Module* module = findModule(name);
  std::lock_guard<std::mutex> guard(lock_);
  return module ? module->loadCount : 0;
}

// ---- local memory ----------------------------------------------------------------

HLOCAL Kernel::localAlloc(UINT flags, SIZE_T bytes) {
  if (flags & ~LMEM_ZEROINIT) {  // only fixed memory is modelled
    setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* memory = (flags & LMEM_ZEROINIT) ? std::calloc(1, std::max<SIZE_T>(bytes, 1))
                                         : std::malloc(std::max<SIZE_T>(bytes, 1));
  if (!memory) {
    setLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(lock_);
  local_.insert(memory);
  return memory;
}

HLOCAL Kernel::localFree(HLOCAL memory) {
  if (!memory) return nullptr;
  std::unique_lock<std::mutex> guard(lock_);
  if (local_.erase(memory) == 0) {
    guard.unlock();
    setLastError(ERROR_INVALID_HANDLE);
    return memory;
  }
  guard.unlock();
  std::free(memory);
  return nullptr;
}

size_t Kernel::localAllocations() const {
  std::lock_guard<std::mutex> guard(lock_);
  return local_.size();
}

// ---- critical sections -----------------------------------------------------------

void Kernel::initializeCriticalSection(LPCRITICAL_SECTION section) {
  std::memset(section, 0, sizeof(*section));
  section->DebugInfo = reinterpret_cast<decltype(section->DebugInfo)>(new std::recursive_mutex);
  std::lock_guard<std::mutex> guard(lock_);
  sections_.insert(section);
}

void Kernel::deleteCriticalSection(LPCRITICAL_SECTION section) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (sections_.erase(section) == 0) return;
  }
  delete reinterpret_cast<std::recursive_mutex*>(section->DebugInfo);
  section->DebugInfo = nullptr;
}

size_t Kernel::criticalSections() const {
  std::lock_guard<std::mutex> guard(lock_);
  return sections_.size();
}

// ---- drives, clock, debugger output, COM -----------------------------------------

void Kernel::setDrives(std::vector<Drive> drives) {
  std::lock_guard<std::mutex> guard(lock_);
  drives_ = std::move(drives);
}

std::vector<Drive> Kernel::drives() const {
  std::lock_guard<std::mutex> guard(lock_);
  return drives_;
}

void Kernel::setClock(ULONGLONG fileTime) {
  std::lock_guard<std::mutex> guard(lock_);
  clock_ = fileTime;
}

void Kernel::useRealClock() {
  std::lock_guard<std::mutex> guard(lock_);
  clock_.reset();
}

ULONGLONG Kernel::now() const {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (clock_) return *clock_;
  }
  auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
  return kEpochDifference + static_cast<ULONGLONG>(ticks);
}

void Kernel::debugOutput(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  debugLog_.push_back(text);
  if (debugLog_.size() > kDebugLogLines) {
    debugLog_.pop_front();
    ++debugDropped_;
  }
}

std::vector<std::string> Kernel::debugLog() const {
  std::lock_guard<std::mutex> guard(lock_);
  return {debugLog_.begin(), debugLog_.end()};
}

size_t Kernel::debugLinesDropped() const {
  std::lock_guard<std::mutex> guard(lock_);
  return debugDropped_;
}

void Kernel::clearDebugLog() {
  std::lock_guard<std::mutex> guard(lock_);
  debugLog_.clear();
  debugDropped_ = 0;
}

HRESULT Kernel::coInitialize(DWORD model) {
  DWORD thread = currentThreadId();
  std::lock_guard<std::mutex> guard(lock_);
  auto& [count, firstModel] = com_[thread];
  if (count > 0 && firstModel != model) return RPC_E_CHANGED_MODE;
  if (count == 0) firstModel = model;
  return ++count == 1 ? S_OK : S_FALSE;
}

void Kernel::coUninitialize() {
  DWORD thread = currentThreadId();
  std::lock_guard<std::mutex> guard(lock_);
  auto it = com_.find(thread);
  if (it != com_.end() && it->second.first > 0) --it->second.first;
}

int Kernel::comInitCount(DWORD threadId) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = com_.find(threadId);
  return it == com_.end() ? 0 : it->second.first;
}

}  // namespace sim
