// The simulated kernel32 and ole32 entry points: Windows' calling conventions and
// failure rules over the machine's kernel state.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {

namespace {

Kernel& kernel() { return SimMachine::current().kernel(); }

// GetCurrentProcess's pseudo-handle, as on Windows.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

BOOL fail(DWORD error) {
  setLastError(error);
  return FALSE;
}

HANDLE WINAPI SimCreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                             DWORD flags, HANDLE) {
  if (!name) {
    setLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return kernel().createFile(name, access, flags);
}

BOOL WINAPI SimCloseHandle(HANDLE handle) {
  return kernel().closeHandle(handle) ? TRUE : fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI SimDuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                               LPHANDLE target, DWORD, BOOL, DWORD options) {
  if (sourceProcess != kCurrentProcess || targetProcess != kCurrentProcess || !target) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (!kernel().duplicateHandle(source, target)) return fail(ERROR_INVALID_HANDLE);
  if (options & DUPLICATE_CLOSE_SOURCE) kernel().closeHandle(source);
  return TRUE;
}

HANDLE WINAPI SimGetCurrentProcess() { return kCurrentProcess; }

BOOL WINAPI SimDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                               DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
  auto file = kernel().objectAs<FileObject>(handle);
  if (!file) return fail(ERROR_INVALID_HANDLE);
  // Without an OVERLAPPED record the byte count is mandatory, as on Windows.
  if (!overlapped && !returned) return fail(ERROR_INVALID_USER_BUFFER);
  if (overlapped) kernel().startOverlapped(overlapped, file.get());
  DWORD count = 0;
  if (!file->deviceIoControl(code, in, inSize, out, outSize, &count, overlapped)) return FALSE;
  if (returned) *returned = count;
  // A request the driver finished at once completes through the record too; one that
  // it left pending returned FALSE with ERROR_IO_PENDING above.
  if (overlapped) kernel().completeOverlapped(overlapped, file.get(), STATUS_SUCCESS, count);
  return TRUE;
}

BOOL WINAPI SimGetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytes,
                                   BOOL wait) {
  if (!overlapped) return fail(ERROR_INVALID_PARAMETER);
  // With an event in the record Windows waits on the event; the file handle only
  // matters without one.
  return kernel().getOverlappedResult(overlapped, kernel().object(handle), bytes, wait != FALSE);
}

// CancelIo cancels only what the calling thread issued through the file; CancelIoEx
// what any thread issued, of one record or of all. Neither waits for the requests to
// end, and one that could not be found fails CancelIoEx with ERROR_NOT_FOUND:
// https://learn.microsoft.com/windows/win32/fileio/cancelio
// https://learn.microsoft.com/windows/win32/fileio/cancelioex-func
BOOL WINAPI SimCancelIo(HANDLE handle) {
  auto file = kernel().objectAs<FileObject>(handle);
  if (!file) return fail(ERROR_INVALID_HANDLE);
  file->cancel({kernel().currentThreadId(), nullptr});
  return TRUE;
}

BOOL WINAPI SimCancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  auto file = kernel().objectAs<FileObject>(handle);
  if (!file) return fail(ERROR_INVALID_HANDLE);
  return file->cancel({0, overlapped}) > 0 ? TRUE : fail(ERROR_NOT_FOUND);
}

HANDLE WINAPI SimCreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                              LPCSTR) {
  return kernel().createEvent(manualReset != FALSE, initialState != FALSE);
}

BOOL WINAPI SimSetEvent(HANDLE handle) {
  return kernel().setEvent(handle, true) ? TRUE : fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI SimResetEvent(HANDLE handle) {
  return kernel().setEvent(handle, false) ? TRUE : fail(ERROR_INVALID_HANDLE);
}

DWORD WINAPI SimWaitForSingleObject(HANDLE handle, DWORD timeout) {
  return kernel().wait({handle}, false, timeout);
}

DWORD WINAPI SimWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                       DWORD timeout) {
  if (count == 0 || !handles) {
    setLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  return kernel().wait(std::vector<HANDLE>(handles, handles + count), waitAll != FALSE, timeout);
}

void WINAPI SimSleep(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

DWORD WINAPI SimGetTickCount() {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

HANDLE WINAPI SimCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start,
                              LPVOID parameter, DWORD flags, LPDWORD id) {
  if (!start) {
    setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return kernel().createThread(start, parameter, (flags & CREATE_SUSPENDED) != 0, id);
}

DWORD WINAPI SimResumeThread(HANDLE handle) { return kernel().resumeThread(handle); }

BOOL WINAPI SimSetThreadPriority(HANDLE handle, int priority) {
  auto thread = kernel().objectAs<Thread>(handle);
  if (!thread) return fail(ERROR_INVALID_HANDLE);
  static const int levels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                               THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                               THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                               THREAD_PRIORITY_TIME_CRITICAL};
  if (std::find(std::begin(levels), std::end(levels), priority) == std::end(levels)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  kernel().update([&] { thread->priority = priority; });
  return TRUE;
}

int WINAPI SimGetThreadPriority(HANDLE handle) {
  auto thread = kernel().objectAs<Thread>(handle);
  if (!thread) {
    setLastError(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  std::lock_guard<std::mutex> guard(kernel().dispatcherLock());
  return thread->priority;
}

BOOL WINAPI SimGetExitCodeThread(HANDLE handle, LPDWORD code) {
  auto thread = kernel().objectAs<Thread>(handle);
  if (!thread) return fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(kernel().dispatcherLock());
  *code = thread->exitCode;
  return TRUE;
}

DWORD WINAPI SimGetCurrentThreadId() { return kernel().currentThreadId(); }
// The one process of the machine; its windows name it too.
DWORD WINAPI SimGetCurrentProcessId() { return 1; }

DWORD WINAPI SimGetLastError() { return lastError(); }

void WINAPI SimSetLastError(DWORD error) { setLastError(error); }

DWORD WINAPI SimFormatMessageA(DWORD flags, LPCVOID, DWORD code, DWORD, LPSTR buffer, DWORD size,
                               va_list*) {
  std::string text = (flags & FORMAT_MESSAGE_FROM_SYSTEM) ? systemErrorText(code) : std::string();
  if (text.empty()) {
    setLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  if (!buffer || text.size() + 1 > size) {
    setLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

void WINAPI SimOutputDebugStringA(LPCSTR text) {
  kernel().debugOutput(text ? text : "");
  // Windows gives no promise about the last error here; Wine sets it (measured), and
  // so does this, so that callers who forget to save it first are found.
  setLastError(ERROR_FILE_NOT_FOUND);
}

void WINAPI SimGetSystemTimeAsFileTime(LPFILETIME time) {
  ULONGLONG now = kernel().now();
  time->dwLowDateTime = static_cast<DWORD>(now);
  time->dwHighDateTime = static_cast<DWORD>(now >> 32);
}

HLOCAL WINAPI SimLocalAlloc(UINT flags, SIZE_T bytes) { return kernel().localAlloc(flags, bytes); }

HLOCAL WINAPI SimLocalFree(HLOCAL memory) { return kernel().localFree(memory); }

bool ansiCodePage(UINT page) { return page == CP_ACP || page == kAnsiCodePage; }

int WINAPI SimMultiByteToWideChar(UINT page, DWORD, LPCCH source, int sourceLength, LPWSTR target,
                                  int targetLength) {
  if (!ansiCodePage(page) || !source || sourceLength == 0 || targetLength < 0 ||
      (targetLength > 0 && !target)) {
    setLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = sourceLength < 0 ? std::strlen(source) + 1 : static_cast<size_t>(sourceLength);
  if (targetLength == 0) return static_cast<int>(length);
  if (length > static_cast<size_t>(targetLength)) {
    setLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; i < length; ++i) target[i] = cp1252ToWide(static_cast<unsigned char>(source[i]));
  return static_cast<int>(length);
}

int WINAPI SimWideCharToMultiByte(UINT page, DWORD, LPCWCH source, int sourceLength, LPSTR target,
                                  int targetLength, LPCCH defaultChar, LPBOOL usedDefault) {
  if (!ansiCodePage(page) || !source || sourceLength == 0 || targetLength < 0 ||
      (targetLength > 0 && !target)) {
    setLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = static_cast<size_t>(sourceLength);
  if (sourceLength < 0) {
    length = 0;
    while (source[length]) ++length;
    ++length;
  }
  if (usedDefault) *usedDefault = FALSE;
  if (targetLength == 0) return static_cast<int>(length);
  if (length > static_cast<size_t>(targetLength)) {
    setLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = 0;
    if (!wideToCp1252(source[i], &byte)) {
      byte = static_cast<unsigned char>(defaultChar ? *defaultChar : '?');
      if (usedDefault) *usedDefault = TRUE;
    }
    target[i] = static_cast<char>(byte);
  }
  return static_cast<int>(length);
}

UINT WINAPI SimGetACP() { return kAnsiCodePage; }

std::recursive_mutex& sectionLock(LPCRITICAL_SECTION section) {
  return *reinterpret_cast<std::recursive_mutex*>(section->DebugInfo);
}

void WINAPI SimInitializeCriticalSection(LPCRITICAL_SECTION section) {
  kernel().initializeCriticalSection(section);
}

void WINAPI SimEnterCriticalSection(LPCRITICAL_SECTION section) { sectionLock(section).lock(); }

void WINAPI SimLeaveCriticalSection(LPCRITICAL_SECTION section) { sectionLock(section).unlock(); }

void WINAPI SimDeleteCriticalSection(LPCRITICAL_SECTION section) {
  kernel().deleteCriticalSection(section);
}

DWORD WINAPI SimGetLogicalDrives() {
  DWORD mask = 0;
  for (const Drive& drive : kernel().drives()) mask |= 1u << (drive.letter - 'A');
  return mask;
}

UINT WINAPI SimGetDriveTypeA(LPCSTR root) {
  // "X:\" (or "X:"); anything else names no root directory.
  if (!root || !std::isalpha(static_cast<unsigned char>(root[0])) || root[1] != ':' ||
      (root[2] != 0 && !(root[2] == '\\' && root[3] == 0))) {
    return DRIVE_NO_ROOT_DIR;
  }
  char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
  for (const Drive& drive : kernel().drives()) {
    if (drive.letter == letter) return drive.type;
  }
  return DRIVE_NO_ROOT_DIR;
}

HMODULE WINAPI SimLoadLibraryA(LPCSTR name) { return kernel().loadLibrary(name); }

FARPROC WINAPI SimGetProcAddress(HMODULE module, LPCSTR name) {
  return kernel().getProcAddress(module, name);
}

BOOL WINAPI SimFreeLibrary(HMODULE module) { return kernel().freeLibrary(module) ? TRUE : FALSE; }

// The program's file is the host's program, in a folder of the machine.
DWORD WINAPI SimGetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  if (module) {
    setLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
#ifdef _WIN32
  char host[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, host, MAX_PATH);
  std::string name = host;
  name = name.substr(name.find_last_of("\\/") + 1);
#else
  std::string name = std::string(program_invocation_short_name) + ".exe";
#endif
  std::string path = "C:\\Program Files\\" + name;
  if (!buffer || size == 0) {
    setLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Cut to the buffer, with its zero, as Windows does.
  DWORD copied = std::min<DWORD>(static_cast<DWORD>(path.size()), size - 1);
  std::memcpy(buffer, path.data(), copied);
  buffer[copied] = 0;
  if (copied < path.size()) {
    setLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  return copied;
}

HRESULT WINAPI SimCoInitializeEx(LPVOID reserved, DWORD model) {
  if (reserved) return E_INVALIDARG;
  return kernel().coInitialize(model);
}

void WINAPI SimCoUninitialize() { kernel().coUninitialize(); }

}  // namespace

void installKernel32(win::Kernel32& table) {
#define PX_SIM(ret, name, params) table.name = &Sim##name;
  PX_KERNEL32_ENTRIES(PX_SIM)
#undef PX_SIM
}

void installOle32(win::Ole32& table) {
  table.CoInitializeEx = &SimCoInitializeEx;
  table.CoUninitialize = &SimCoUninitialize;
}

}  // namespace sim
