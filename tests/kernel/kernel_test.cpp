// Kernel services through the seam: one body for the simulator and for Windows.
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/win32.h"
#include "support/backend.h"

using pxtest::BackendTest;
using pxtest::kSentinel;

class KernelTest : public BackendTest {};
PX_INSTANTIATE_BACKENDS(KernelTest);

TEST_P(KernelTest, EventsKeepTheirResetMode) {
  HANDLE autoReset = win::CreateEventA(nullptr, FALSE, TRUE, nullptr);
  HANDLE manual = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(autoReset, nullptr);
  ASSERT_NE(manual, nullptr);

  // An auto-reset event releases one wait, then is clear again.
  EXPECT_EQ(win::WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
  EXPECT_EQ(win::WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // A manual-reset event stays set until reset.
  EXPECT_EQ(win::WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(win::SetEvent(manual));
  EXPECT_EQ(win::WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(win::WaitForSingleObject(manual, 10), WAIT_OBJECT_0);
  EXPECT_TRUE(win::ResetEvent(manual));
  EXPECT_EQ(win::WaitForSingleObject(manual, 10), static_cast<DWORD>(WAIT_TIMEOUT));

  // Any-of waits report the first signalled handle; all-of waits need every one.
  HANDLE both[] = {manual, autoReset};
  EXPECT_TRUE(win::SetEvent(autoReset));
  EXPECT_EQ(win::WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(win::SetEvent(autoReset));
  EXPECT_EQ(win::WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(win::SetEvent(manual));
  EXPECT_EQ(win::WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  // The all-of wait consumed the auto-reset event's signal.
  EXPECT_EQ(win::WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  EXPECT_TRUE(win::CloseHandle(autoReset));
  EXPECT_TRUE(win::CloseHandle(manual));
}

TEST_P(KernelTest, AnInfiniteWaitEndsWhenAnotherThreadSignals) {
  HANDLE event = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::thread setter([event] { win::SetEvent(event); });
  EXPECT_EQ(win::WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  setter.join();
  win::CloseHandle(event);
}

TEST_P(KernelTest, ClosingAnUnknownHandleFails) {
  HANDLE event = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(win::CloseHandle(event));
  win::SetLastError(kSentinel);
  EXPECT_FALSE(win::CloseHandle(event));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
  win::SetLastError(kSentinel);
  EXPECT_EQ(win::WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_P(KernelTest, TheLastErrorBelongsToTheThread) {
  // Each side sets its own value while the other's is set, then reads it back.
  std::atomic<int> step{0};
  DWORD seenByOther = kSentinel;
  std::thread other([&] {
    win::SetLastError(42);
    step = 1;
    while (step != 2) std::this_thread::yield();
    seenByOther = win::GetLastError();
  });
  while (step != 1) std::this_thread::yield();
  win::SetLastError(1234);
  DWORD seenByMain = win::GetLastError();
  step = 2;
  other.join();
  EXPECT_EQ(seenByOther, 42u);
  EXPECT_EQ(seenByMain, 1234u);
}

TEST_P(KernelTest, ThreadsStartSuspendedAndReportTheirEnd) {
  struct Start {
    static DWORD WINAPI Run(LPVOID parameter) {
      static_cast<std::atomic<int>*>(parameter)->store(1);
      return 77;
    }
  };
  std::atomic<int> ran{0};
  DWORD id = 0;
  HANDLE thread = win::CreateThread(nullptr, 0, &Start::Run, &ran, CREATE_SUSPENDED, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(win::WaitForSingleObject(thread, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(ran.load(), 0);
  DWORD code = 0;
  EXPECT_TRUE(win::GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);

  EXPECT_TRUE(win::SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
  EXPECT_EQ(win::GetThreadPriority(thread), THREAD_PRIORITY_HIGHEST);
  EXPECT_EQ(win::ResumeThread(thread), 1u);
  EXPECT_EQ(win::WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_TRUE(win::GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 77u);
  win::CloseHandle(thread);
}

TEST_P(KernelTest, ModulesAreLoadedByNameAndCounted) {
  win::SetLastError(kSentinel);
  EXPECT_EQ(win::LoadLibraryA("no-such-module.dll"), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_MOD_NOT_FOUND);

  // File names are not case-sensitive, and ".dll" is implied.
  HMODULE kernel = win::LoadLibraryA("KERNEL32.DLL");
  HMODULE again = win::LoadLibraryA("kernel32");
  ASSERT_NE(kernel, nullptr);
  EXPECT_EQ(kernel, again);
  EXPECT_NE(win::GetProcAddress(kernel, "GetLastError"), nullptr);

  win::SetLastError(kSentinel);
  EXPECT_EQ(win::GetProcAddress(kernel, "NoSuchExport"), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_PROC_NOT_FOUND);

  // Through its export the module gives the same function the table holds.
  using GetLastErrorFn = DWORD(WINAPI*)();
  auto getLastError = win::procAddress<GetLastErrorFn>(kernel, "GetLastError");
  win::SetLastError(4321);
  EXPECT_EQ(getLastError(), 4321u);

  EXPECT_TRUE(win::FreeLibrary(again));
  EXPECT_TRUE(win::FreeLibrary(kernel));
}

TEST_P(KernelTest, LocalMemoryIsZeroedOnRequest) {
  auto* bytes = static_cast<unsigned char*>(win::LocalAlloc(LMEM_ZEROINIT, 64));
  ASSERT_NE(bytes, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(win::LocalFree(bytes), nullptr);
}

TEST_P(KernelTest, Windows1252ConvertsBothWaysAndMarksTheUnmappable) {
  const char ansi[] = "A\x80\xE9\x9F";  // A, euro sign, e acute, Y diaeresis
  WCHAR wide[8] = {};
  EXPECT_EQ(win::MultiByteToWideChar(1252, 0, ansi, -1, nullptr, 0), 5);
  ASSERT_EQ(win::MultiByteToWideChar(1252, 0, ansi, -1, wide, 8), 5);
  EXPECT_EQ(wide[0], 0x41);
  EXPECT_EQ(wide[1], 0x20AC);
  EXPECT_EQ(wide[2], 0xE9);
  EXPECT_EQ(wide[3], 0x178);
  EXPECT_EQ(wide[4], 0);

  // Too small by one: nothing is returned and the error says why.
  win::SetLastError(kSentinel);
  EXPECT_EQ(win::MultiByteToWideChar(1252, 0, ansi, -1, wide, 4), 0);
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  const WCHAR back[] = {0x41, 0x20AC, 0x3042, 0};  // Hiragana A is not in 1252
  char text[8] = {};
  BOOL usedDefault = FALSE;
  EXPECT_EQ(win::WideCharToMultiByte(1252, 0, back, -1, nullptr, 0, nullptr, nullptr), 4);
  ASSERT_EQ(win::WideCharToMultiByte(1252, 0, back, -1, text, 8, nullptr, &usedDefault), 4);
  EXPECT_STREQ(text, "A\x80?");
  EXPECT_TRUE(usedDefault);
}

TEST_P(KernelTest, CriticalSectionsAreReentrant) {
  CRITICAL_SECTION section;
  win::InitializeCriticalSection(&section);
  win::EnterCriticalSection(&section);
  win::EnterCriticalSection(&section);
  win::LeaveCriticalSection(&section);
  win::LeaveCriticalSection(&section);
  int counter = 0;
  auto work = [&] {
    for (int i = 0; i < 1000; ++i) {
      win::EnterCriticalSection(&section);
      ++counter;
      win::LeaveCriticalSection(&section);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 2000);
  win::DeleteCriticalSection(&section);
}

TEST_P(KernelTest, SystemErrorTextsEndWithALineBreak) {
  char text[256] = {};
  DWORD length = win::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, ERROR_FILE_NOT_FOUND, 0, text, sizeof text, nullptr);
  ASSERT_GT(length, 2u);
  EXPECT_EQ(std::strlen(text), length);
  EXPECT_EQ(std::string(text + length - 2), "\r\n");
}

TEST_P(KernelTest, TheSystemClockIsAFileTime) {
  FILETIME now{};
  win::GetSystemTimeAsFileTime(&now);
  // Later than 2020-01-01 (132223104000000000) in 100 ns units since 1601.
  EXPECT_GT(FileTimeToUInt64(now), 132223104000000000ull);
}

TEST_P(KernelTest, ComIsCountedPerThread) {
  EXPECT_EQ(win::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(win::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(win::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
  win::CoUninitialize();
  win::CoUninitialize();
  HRESULT other = E_INVALIDARG;
  std::thread thread([&] {
    other = win::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    win::CoUninitialize();
  });
  thread.join();
  EXPECT_EQ(other, S_OK);
}
