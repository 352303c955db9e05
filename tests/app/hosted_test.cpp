// A machine hosted in the real Windows API: simulated device files, modules, drives
// and registry next to real events, waits and files. Only a Windows build has a real
// API to host the machine in.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "lib/pxusb.h"
#include "platform/sim/description.h"
#include "platform/win32/winusb.h"
#include "support/backend.h"

namespace {

class HostedMachineTest : public ::testing::Test {
 protected:
  void SetUp() override { described_ = sim::loadMachine("demo", sim::SimMachine::kHosted); }
  sim::Kernel& Kernel() { return described_->machine().kernel(); }

  // The device path of the demo's echo device, as TpxUSB opens it.
  std::string EchoPath() {
    TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
    usb->LoadDevices();
    for (int i = 0; i < usb->DeviceCount(); ++i) {
      usb->SetDeviceIndex(i);
      if (usb->SelectedDevice()->Name.find("Loopback") != std::string::npos) {
        return ToWin32DevicePath(usb->SelectedDevice()->DevicePath);
      }
    }
    return "";
  }

 private:
  std::unique_ptr<sim::DescribedMachine> described_;
};

TEST_F(HostedMachineTest, AnOverlappedReadOfASimulatedDeviceCompletesThroughARealEvent) {
  std::string path = EchoPath();
  ASSERT_FALSE(path.empty());
  HANDLE file = win::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Kernel().object(file));
  EXPECT_GE(reinterpret_cast<ULONG_PTR>(file), 0x40000000u);

  HMODULE winusb = win::LoadLibraryA("Winusb.dll");
  ASSERT_TRUE(Kernel().ownsModule(winusb));
  auto initialize = win::procAddress<WinUsb_InitializeFn>(winusb, "WinUsb_Initialize");
  auto read = win::procAddress<WinUsb_TransferFn>(winusb, "WinUsb_ReadPipe");
  auto write = win::procAddress<WinUsb_TransferFn>(winusb, "WinUsb_WritePipe");
  auto release = win::procAddress<WinUsb_FreeFn>(winusb, "WinUsb_Free");
  ASSERT_TRUE(initialize && read && write && release);
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  ASSERT_TRUE(initialize(file, &usb));

  // A real event, signalled to begin with: starting the read must reset it.
  HANDLE event = win::CreateEventA(nullptr, TRUE, TRUE, nullptr);
  ASSERT_TRUE(event);
  EXPECT_FALSE(Kernel().object(event));
  OVERLAPPED record{};
  record.hEvent = event;
  UCHAR in[64] = {};
  win::SetLastError(pxtest::kSentinel);
  EXPECT_FALSE(read(usb, 0x81, in, sizeof(in), nullptr, &record));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));  // the host's last error
  EXPECT_EQ(win::WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  UCHAR out[] = {'h', 'i'};
  ULONG written = 0;
  ASSERT_TRUE(write(usb, 0x02, out, sizeof(out), &written, nullptr));
  EXPECT_EQ(written, 2u);
  // The real user32 waits on the event the machine set.
  EXPECT_EQ(win::MsgWaitForMultipleObjects(1, &event, FALSE, 10000, QS_ALLINPUT),
            static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD count = 0;
  EXPECT_TRUE(win::GetOverlappedResult(file, &record, &count, FALSE));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(std::memcmp(in, "hi", 2), 0);

  EXPECT_TRUE(release(usb));
  EXPECT_TRUE(win::CloseHandle(file));
  EXPECT_FALSE(Kernel().object(file));
  EXPECT_TRUE(win::CloseHandle(event));
  EXPECT_TRUE(win::FreeLibrary(winusb));
}

TEST_F(HostedMachineTest, FilesModulesAndDrivesOutsideTheMachineAreTheHosts) {
  // A path outside the device namespace is a real file.
  HANDLE file = win::CreateFileA("pxusb-hosted.tmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Kernel().object(file));
  EXPECT_TRUE(win::CloseHandle(file));

  // A device path the machine does not have fails with the host's last error.
  win::SetLastError(pxtest::kSentinel);
  EXPECT_EQ(win::CreateFileA("\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  HMODULE kernel32 = win::LoadLibraryA("kernel32.dll");
  ASSERT_TRUE(kernel32);
  EXPECT_FALSE(Kernel().ownsModule(kernel32));
  EXPECT_TRUE(win::GetProcAddress(kernel32, "GetTickCount"));
  EXPECT_TRUE(win::FreeLibrary(kernel32));

  // The demo machine's drives: C, D and the stick's E.
  EXPECT_EQ(win::GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << 4));
  EXPECT_EQ(win::GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
}

}  // namespace

#endif  // _WIN32
