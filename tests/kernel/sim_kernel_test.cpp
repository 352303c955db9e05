// What only the simulated machine offers: settings and records a test reads.
#include <thread>

#include "platform/sim/machine.h"
#include "support/backend.h"

namespace {

DWORD WINAPI ReturnSeven() { return 7; }

class SimKernelTest : public ::testing::Test {
 protected:
  sim::SimMachine machine;
  sim::Kernel& kernel = machine.kernel();
};

TEST_F(SimKernelTest, TestsEditModulesAndTheirExports) {
  kernel.addModule("Winusb.dll", {{"WinUsb_Initialize", sim::asExport(&ReturnSeven)},
                                  {"WinUsb_Free", sim::asExport(&ReturnSeven)}});
  HMODULE module = win::LoadLibraryA("WINUSB.DLL");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(kernel.loadCount("winusb.dll"), 1);
  using Fn = DWORD(WINAPI*)();
  EXPECT_EQ(win::procAddress<Fn>(module, "WinUsb_Initialize")(), 7u);

  kernel.removeExport("Winusb.dll", "WinUsb_Free");
  EXPECT_EQ(win::GetProcAddress(module, "WinUsb_Free"), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_PROC_NOT_FOUND);

  EXPECT_TRUE(win::FreeLibrary(module));
  EXPECT_EQ(kernel.loadCount("winusb.dll"), 0);
  // An unloaded module's handle no longer answers.
  EXPECT_EQ(win::GetProcAddress(module, "WinUsb_Initialize"), nullptr);
  EXPECT_FALSE(win::FreeLibrary(module));

  kernel.removeModule("winusb.dll");
  EXPECT_EQ(win::LoadLibraryA("Winusb.dll"), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST_F(SimKernelTest, DebuggerOutputClockAndDrivesAreTheMachines) {
  win::OutputDebugStringA("Read Error");
  win::OutputDebugStringA("Write Error");
  EXPECT_EQ(kernel.debugLog(), (std::vector<std::string>{"Read Error", "Write Error"}));

  kernel.setClock(0x0123456789ABCDEFull);
  FILETIME now{};
  win::GetSystemTimeAsFileTime(&now);
  EXPECT_EQ(now.dwHighDateTime, 0x01234567u);
  EXPECT_EQ(now.dwLowDateTime, 0x89ABCDEFu);

  kernel.setDrives({{'C', DRIVE_FIXED}, {'E', DRIVE_REMOVABLE}, {'G', DRIVE_CDROM}});
  EXPECT_EQ(win::GetLogicalDrives(), (1u << 2) | (1u << 4) | (1u << 6));
  EXPECT_EQ(win::GetDriveTypeA("E:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(win::GetDriveTypeA("g:\\"), DRIVE_CDROM);
  EXPECT_EQ(win::GetDriveTypeA("F:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(win::GetDriveTypeA("not a root"), DRIVE_NO_ROOT_DIR);
}

TEST_F(SimKernelTest, ThreadPrioritiesAndComUseAreRecorded) {
  struct Body {
    static DWORD WINAPI Run(LPVOID) {
      win::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      return 0;
    }
  };
  DWORD id = 0;
  HANDLE thread = win::CreateThread(nullptr, 0, &Body::Run, nullptr, CREATE_SUSPENDED, &id);
  EXPECT_TRUE(win::SetThreadPriority(thread, THREAD_PRIORITY_IDLE));
  EXPECT_FALSE(win::SetThreadPriority(thread, 5));  // not one of the seven levels
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  win::ResumeThread(thread);
  win::WaitForSingleObject(thread, INFINITE);
  win::CloseHandle(thread);
  EXPECT_EQ(kernel.threadPriorityById(id), THREAD_PRIORITY_IDLE);
  // The thread initialised COM and never uninitialised it: the record shows the leak.
  EXPECT_EQ(kernel.comInitCount(id), 1);
}

// A machine that runs for hours: ended threads are joined as new ones start, and the
// records tests read keep only the newest entries.
TEST_F(SimKernelTest, LongRunsKeepThreadsAndRecordsBounded) {
  struct Body {
    static DWORD WINAPI Run(LPVOID) { return 0; }
  };
  constexpr size_t kThreads = 3 * sim::Kernel::kEndedThreadRecords;
  DWORD first = 0, last = 0;
  for (size_t i = 0; i < kThreads; ++i) {
    HANDLE thread = win::CreateThread(nullptr, 0, &Body::Run, nullptr, 0, i ? &last : &first);
    ASSERT_EQ(win::WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    win::CloseHandle(thread);
    ASSERT_LE(kernel.unjoinedThreads(), 1u) << "after thread " << i;
  }
  EXPECT_EQ(kernel.threadPriorityById(first), THREAD_PRIORITY_ERROR_RETURN);
  EXPECT_EQ(kernel.threadPriorityById(last), THREAD_PRIORITY_NORMAL);

  for (size_t i = 0; i < sim::Kernel::kDebugLogLines + 5; ++i) win::OutputDebugStringA(std::to_string(i).c_str());
  std::vector<std::string> lines = kernel.debugLog();
  ASSERT_EQ(lines.size(), sim::Kernel::kDebugLogLines);
  EXPECT_EQ(lines.front(), "5");
  EXPECT_EQ(lines.back(), std::to_string(sim::Kernel::kDebugLogLines + 4));
  EXPECT_EQ(kernel.debugLinesDropped(), 5u);

  for (DWORD i = 0; i < sim::UsbIo::kDriverLogRequests + 1; ++i) machine.usbIo().recordDriverRequest({i, {}, 0});
  std::vector<sim::DriverRequest> requests = machine.usbIo().driverLog();
  ASSERT_EQ(requests.size(), sim::UsbIo::kDriverLogRequests);
  EXPECT_EQ(requests.front().code, 1u);
}

TEST_F(SimKernelTest, UnknownDevicePathsAreNotFound) {
  win::SetLastError(pxtest::kSentinel);
  EXPECT_EQ(win::CreateFileA("\\\\.\\HCD0", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(SimMachine, EachMachineStartsClean) {
  {
    sim::SimMachine first;
    win::CreateEventA(nullptr, FALSE, FALSE, nullptr);  // left open on purpose
    win::OutputDebugStringA("first");
    EXPECT_EQ(first.kernel().handleCount(), 1u);
  }
  sim::SimMachine second;
  EXPECT_EQ(second.kernel().handleCount(), 0u);
  EXPECT_TRUE(second.kernel().debugLog().empty());
}

}  // namespace
