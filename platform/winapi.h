// The seam: every Windows function the library and framework call, as a per-process
// table of function pointers grouped by module. Code calls win::CreateFileA(...);
// a backend (platform/native on Windows, platform/sim everywhere) fills the table,
// one group at a time if it likes (real user32 with simulated devices, say).
//
// Each group is one list of entries (return type, name, parameter types). The list
// declares the table member, the call-through and the native binding at once, so an
// entry point is added in exactly one place.
#pragma once

#include <utility>

#include "platform/win32/base.h"
#include "platform/win32/kernel.h"
#include "platform/win32/registry.h"
#include "platform/win32/user.h"

#define PX_KERNEL32_ENTRIES(X)                                                              \
  X(HANDLE, CreateFileA, (LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)) \
  X(BOOL, CloseHandle, (HANDLE))                                                             \
  X(BOOL, DuplicateHandle, (HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD))           \
  X(HANDLE, GetCurrentProcess, ())                                                           \
  X(BOOL, DeviceIoControl, (HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)) \
  X(BOOL, GetOverlappedResult, (HANDLE, LPOVERLAPPED, LPDWORD, BOOL))                        \
  X(BOOL, CancelIo, (HANDLE))                                                                \
  X(BOOL, CancelIoEx, (HANDLE, LPOVERLAPPED))                                                \
  X(HANDLE, CreateEventA, (LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR))                       \
  X(BOOL, SetEvent, (HANDLE))                                                                \
  X(BOOL, ResetEvent, (HANDLE))                                                              \
  X(DWORD, WaitForSingleObject, (HANDLE, DWORD))                                             \
  X(DWORD, WaitForMultipleObjects, (DWORD, const HANDLE*, BOOL, DWORD))                      \
  X(void, Sleep, (DWORD))                                                                    \
  X(DWORD, GetTickCount, ())                                                                 \
  X(HANDLE, CreateThread, (LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)) \
  X(DWORD, ResumeThread, (HANDLE))                                                           \
  X(BOOL, SetThreadPriority, (HANDLE, int))                                                  \
  X(int, GetThreadPriority, (HANDLE))                                                        \
  X(BOOL, GetExitCodeThread, (HANDLE, LPDWORD))                                              \
  X(DWORD, GetCurrentThreadId, ())                                                           \
  X(DWORD, GetCurrentProcessId, ())                                                          \
  X(DWORD, GetLastError, ())                                                                 \
  X(void, SetLastError, (DWORD))                                                             \
  X(DWORD, FormatMessageA, (DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*))           \
  X(void, OutputDebugStringA, (LPCSTR))                                                      \
  X(void, GetSystemTimeAsFileTime, (LPFILETIME))                                             \
  X(HLOCAL, LocalAlloc, (UINT, SIZE_T))                                                      \
  X(HLOCAL, LocalFree, (HLOCAL))                                                             \
  X(int, MultiByteToWideChar, (UINT, DWORD, LPCCH, int, LPWSTR, int))                        \
  X(int, WideCharToMultiByte, (UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL))         \
  X(UINT, GetACP, ())                                                                        \
  X(void, InitializeCriticalSection, (LPCRITICAL_SECTION))                                   \
  X(void, EnterCriticalSection, (LPCRITICAL_SECTION))                                        \
  X(void, LeaveCriticalSection, (LPCRITICAL_SECTION))                                        \
  X(void, DeleteCriticalSection, (LPCRITICAL_SECTION))                                       \
  X(DWORD, GetLogicalDrives, ())                                                             \
  X(UINT, GetDriveTypeA, (LPCSTR))                                                           \
  X(HMODULE, LoadLibraryA, (LPCSTR))                                                         \
  X(FARPROC, GetProcAddress, (HMODULE, LPCSTR))                                              \
  X(BOOL, FreeLibrary, (HMODULE))                                                            \
  X(DWORD, GetModuleFileNameA, (HMODULE, LPSTR, DWORD))

#define PX_ADVAPI32_ENTRIES(X)                                                              \
  X(LONG, RegOpenKeyExA, (HKEY, LPCSTR, DWORD, REGSAM, PHKEY))                               \
  X(LONG, RegCreateKeyExA, (HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)) \
  X(LONG, RegQueryValueExA, (HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD))               \
  X(LONG, RegSetValueExA, (HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD))                  \
  X(LONG, RegDeleteKeyA, (HKEY, LPCSTR))                                                     \
  X(LONG, RegCloseKey, (HKEY))

// GetWindowLongPtrA / SetWindowLongPtrA are macros for the Long variants in 32-bit SDK
// headers; they expand the same way here, so both sides of the table agree.
#define PX_USER32_ENTRIES(X)                                                                \
  X(ATOM, RegisterClassA, (const WNDCLASSA*))                                                \
  X(BOOL, UnregisterClassA, (LPCSTR, HINSTANCE))                                             \
  X(HWND, CreateWindowExA, (DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID)) \
  X(BOOL, DestroyWindow, (HWND))                                                             \
  X(LRESULT, DefWindowProcA, (HWND, UINT, WPARAM, LPARAM))                                   \
  X(LRESULT, CallWindowProcA, (WNDPROC, HWND, UINT, WPARAM, LPARAM))                         \
  X(LONG_PTR, GetWindowLongPtrA, (HWND, int))                                                \
  X(LONG_PTR, SetWindowLongPtrA, (HWND, int, LONG_PTR))                                      \
  X(LRESULT, SendMessageA, (HWND, UINT, WPARAM, LPARAM))                                     \
  X(LRESULT, SendMessageTimeoutA, (HWND, UINT, WPARAM, LPARAM, UINT, UINT, PDWORD_PTR))      \
  X(BOOL, PostMessageA, (HWND, UINT, WPARAM, LPARAM))                                        \
  X(BOOL, GetMessageA, (LPMSG, HWND, UINT, UINT))                                            \
  X(BOOL, PeekMessageA, (LPMSG, HWND, UINT, UINT, UINT))                                     \
  X(BOOL, TranslateMessage, (const MSG*))                                                    \
  X(LRESULT, DispatchMessageA, (const MSG*))                                                 \
  X(void, PostQuitMessage, (int))                                                            \
  X(DWORD, MsgWaitForMultipleObjects, (DWORD, const HANDLE*, BOOL, DWORD, DWORD))            \
  X(UINT_PTR, SetTimer, (HWND, UINT_PTR, UINT, TIMERPROC))                                   \
  X(BOOL, KillTimer, (HWND, UINT_PTR))                                                       \
  X(int, MessageBoxA, (HWND, LPCSTR, LPCSTR, UINT))                                          \
  X(HWND, GetForegroundWindow, ())                                                           \
  X(BOOL, SetForegroundWindow, (HWND))                                                       \
  X(HCURSOR, SetCursor, (HCURSOR))                                                           \
  X(HCURSOR, GetCursor, ())                                                                  \
  X(HCURSOR, LoadCursorA, (HINSTANCE, LPCSTR))                                               \
  X(int, GetWindowTextA, (HWND, LPSTR, int))                                                 \
  X(BOOL, SetWindowTextA, (HWND, LPCSTR))                                                    \
  X(int, GetWindowTextLengthA, (HWND))                                                       \
  X(BOOL, MoveWindow, (HWND, int, int, int, int, BOOL))                                      \
  X(BOOL, GetWindowRect, (HWND, LPRECT))                                                     \
  X(BOOL, GetClientRect, (HWND, LPRECT))                                                     \
  X(BOOL, ShowWindow, (HWND, int))                                                           \
  X(BOOL, IsWindowVisible, (HWND))                                                           \
  X(BOOL, EnableWindow, (HWND, BOOL))                                                        \
  X(BOOL, IsWindowEnabled, (HWND))                                                           \
  X(HWND, SetFocus, (HWND))                                                                  \
  X(HWND, GetFocus, ())                                                                      \
  X(HWND, GetParent, (HWND))                                                                 \
  X(BOOL, IsWindow, (HWND))                                                                  \
  X(BOOL, EnumWindows, (WNDENUMPROC, LPARAM))                                                \
  X(DWORD, GetWindowThreadProcessId, (HWND, LPDWORD))                                       \
  X(UINT, SendInput, (UINT, LPINPUT, int))                                                   \
  X(BOOL, SetCursorPos, (int, int))                                                          \
  X(SHORT, GetKeyState, (int))                                                               \
  X(BOOL, GetComboBoxInfo, (HWND, PCOMBOBOXINFO))

#define PX_OLE32_ENTRIES(X)                                                                 \
  X(HRESULT, CoInitializeEx, (LPVOID, DWORD))                                                \
  X(void, CoUninitialize, ())

namespace win {

#define PX_TABLE_MEMBER(ret, name, params) ret(WINAPI* name) params = nullptr;
struct Kernel32 {
  PX_KERNEL32_ENTRIES(PX_TABLE_MEMBER)
};
struct Advapi32 {
  PX_ADVAPI32_ENTRIES(PX_TABLE_MEMBER)
};
struct User32 {
  PX_USER32_ENTRIES(PX_TABLE_MEMBER)
};
struct Ole32 {
  PX_OLE32_ENTRIES(PX_TABLE_MEMBER)
};
#undef PX_TABLE_MEMBER

struct Api {
  Kernel32 kernel32;
  Advapi32 advapi32;
  User32 user32;
  Ole32 ole32;
};

// The process's table. On Windows it starts out as the native backend; elsewhere it
// is empty until a simulated machine installs itself.
Api& api();

// Counts every change of the table. What a caller keeps from the table's functions
// (a loaded module's handle, say) is void once the count moves: a simulated machine
// was installed or removed. On a real machine it never moves.
unsigned backendGeneration();

// Whoever keeps something that the installed backend made and must give back to that
// backend (local memory, a loaded module) registers a release: it runs when the
// backend goes, while it is still installed. Registering one twice keeps one.
using BackendRelease = void (*)();
void addBackendRelease(BackendRelease release);
void removeBackendRelease(BackendRelease release);

// Called by whoever is about to change the table: runs every release, in the reverse
// order of registration, on the calling thread, then moves the count.
void changingBackend();

// The table of the real Windows API (Windows builds only).
Api nativeApi();

// Stops the program with a message naming the entry point: calling Windows with no
// backend installed is a programming error, not a run-time condition.
[[noreturn]] void missingEntry(const char* group, const char* name);

#define PX_CALL_THROUGH(group, ret, name)                                 \
  template <class... A>                                                   \
  inline ret name(A&&... args) {                                          \
    auto fn = api().group.name;                                           \
    if (!fn) missingEntry(#group, #name);                                 \
    return fn(std::forward<A>(args)...);                                  \
  }
#define PX_KERNEL32_CALL(ret, name, params) PX_CALL_THROUGH(kernel32, ret, name)
#define PX_ADVAPI32_CALL(ret, name, params) PX_CALL_THROUGH(advapi32, ret, name)
#define PX_USER32_CALL(ret, name, params) PX_CALL_THROUGH(user32, ret, name)
#define PX_OLE32_CALL(ret, name, params) PX_CALL_THROUGH(ole32, ret, name)
PX_KERNEL32_ENTRIES(PX_KERNEL32_CALL)
PX_ADVAPI32_ENTRIES(PX_ADVAPI32_CALL)
PX_USER32_ENTRIES(PX_USER32_CALL)
PX_OLE32_ENTRIES(PX_OLE32_CALL)
#undef PX_KERNEL32_CALL
#undef PX_ADVAPI32_CALL
#undef PX_USER32_CALL
#undef PX_OLE32_CALL
#undef PX_CALL_THROUGH

// Typed look-up of a run-time bound entry point: the FARPROC cast in one place.
// (Always call through win:: qualified: unqualified, argument-dependent lookup would
// prefer the SDK's own function on Windows.)
template <class Fn>
Fn procAddress(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(win::GetProcAddress(module, name)));
}

}  // namespace win
