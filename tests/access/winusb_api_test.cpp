// The WinUSB binding against simulated devices.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "lib/pxusb_winusb_api.h"
#include "platform/sim/machine.h"
#include "support/backend.h"

namespace {

using pxtest::kSentinel;

constexpr char kEcho[] = "\\\\.\\usb#vid_1209&pid_0001#echo";
constexpr char kSilent[] = "\\\\.\\usb#vid_1209&pid_0002#silent";

// Answers device-to-host control transfers with a fixed reply, however long the
// request asked for.
class ReplyModel : public sim::SilentModel {
 public:
  NTSTATUS control(const WINUSB_SETUP_PACKET& setup, BYTE* data, size_t* moved) override {
    lastSetup = setup;
    size_t n = (setup.RequestType & 0x80) ? std::min<size_t>(reply.size(), setup.Length) : setup.Length;
    if (setup.RequestType & 0x80) std::memcpy(data, reply.data(), n);
    *moved = n;
    return STATUS_SUCCESS;
  }
  std::string reply = "abc";
  WINUSB_SETUP_PACKET lastSetup{};
};

class WinUsbApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<sim::Endpoint> endpoints = {{0x81}, {0x02}};
    machine.usbIo().attach(kEcho, "WinUSB", endpoints, std::make_shared<sim::EchoModel>(0x81));
    machine.usbIo().attach(kSilent, "WinUSB", endpoints, reply);
    event = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override { win::CloseHandle(event); }

  sim::SimMachine machine;
  std::shared_ptr<ReplyModel> reply = std::make_shared<ReplyModel>();
  HANDLE event = nullptr;
};

TEST_F(WinUsbApiTest, OpensAndClosesAWinUsbDevice) {
  TpxWinUsbApi api;
  HANDLE device = api.OpenDevice(kEcho);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(api.IsDeviceOpen());
  EXPECT_EQ(machine.usbIo().openInterfaces(), 1u);
  api.CloseDevice();
  EXPECT_FALSE(api.IsDeviceOpen());
  EXPECT_EQ(machine.usbIo().openInterfaces(), 0u);
  EXPECT_EQ(machine.kernel().handleCount(), 1u);  // only the fixture's event
  api.CloseDevice();                               // closing twice touches nothing
  EXPECT_EQ(api.ReadPipe(0x81, nullptr, 0, nullptr), 0u);
}

TEST_F(WinUsbApiTest, AFailedOpenLeavesNothingOpen) {
  machine.usbIo().attach("\\\\.\\hid", "HidUsb", {{0x81, 3}}, std::make_shared<sim::SilentModel>());
  for (const char* path : {"\\\\.\\hid", "\\\\.\\no-such-device"}) {
    TpxWinUsbApi api;
    EXPECT_EQ(api.OpenDevice(path), INVALID_HANDLE_VALUE) << path;
    EXPECT_FALSE(api.IsDeviceOpen());
    api.CloseDevice();
    EXPECT_EQ(machine.kernel().handleCount(), 1u) << path;
  }
}

TEST_F(WinUsbApiTest, WithoutWinusbDllTheOpenFailsAndIsRetriedLater) {
  machine.kernel().removeModule("Winusb.dll");
  TpxWinUsbApi api;
  EXPECT_EQ(api.OpenDevice(kEcho), INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine.kernel().handleCount(), 1u);  // the device file was closed again

  // The failed load is not remembered: once the library is there, opening works.
  sim::installWinUsbModule(machine.kernel());
  TpxWinUsbApi again;
  EXPECT_NE(again.OpenDevice(kEcho), INVALID_HANDLE_VALUE);

  machine.kernel().removeExport("Winusb.dll", "WinUsb_ReadPipe");
  char buffer[8];
  win::SetLastError(kSentinel);
  EXPECT_EQ(again.ReadPipe(0x81, buffer, sizeof buffer, nullptr), 0u);
}

TEST_F(WinUsbApiTest, APendingReadKeepsItsEventAndErrorAndCompletesLater) {
  TpxWinUsbApi api;
  ASSERT_NE(api.OpenDevice(kEcho), INVALID_HANDLE_VALUE);
  OVERLAPPED overlapped{};
  overlapped.Internal = overlapped.InternalHigh = kSentinel;
  overlapped.Offset = overlapped.OffsetHigh = kSentinel;
  overlapped.hEvent = event;
  char buffer[16] = {};
  machine.kernel().clearDebugLog();

  EXPECT_EQ(api.ReadPipe(0x81, buffer, sizeof buffer, &overlapped), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(machine.kernel().debugLog(), std::vector<std::string>{"Read Error"});
  EXPECT_EQ(overlapped.hEvent, event);
  EXPECT_EQ(overlapped.Offset, 0u);
  EXPECT_EQ(overlapped.OffsetHigh, 0u);

  // Polling reports it incomplete; waiting returns once the device answers.
  DWORD count = kSentinel;
  EXPECT_FALSE(api.GetOverlappedResult(&overlapped, count, 0));
  EXPECT_EQ(win::GetLastError(), ERROR_IO_INCOMPLETE);
  char hello[] = "hello";
  EXPECT_EQ(api.WritePipe(0x02, hello, 5, nullptr), 5u);
  EXPECT_TRUE(api.GetOverlappedResult(&overlapped, count, INFINITE));
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST_F(WinUsbApiTest, ControlTransfersAreTrueOnlyForTheFullLength) {
  TpxWinUsbApi api;
  ASSERT_NE(api.OpenDevice(kSilent), INVALID_HANDLE_VALUE);
  char data[8] = {};
  TpxUsbControlRequest request{2, 1, 1, 0x42, 0x1234, 0x0005, 8, data};
  DWORD moved = kSentinel;
  EXPECT_FALSE(api.ControlTransfer(request, moved, nullptr));  // the device sent 3 of 8
  EXPECT_EQ(moved, 3u);
  EXPECT_EQ(std::string(data, 3), "abc");
  // vendor (2 << 5) | interface (1) | device-to-host (0x80)
  EXPECT_EQ(reply->lastSetup.RequestType, 0xC1);
  EXPECT_EQ(reply->lastSetup.Request, 0x42);
  EXPECT_EQ(reply->lastSetup.Value, 0x1234);
  EXPECT_EQ(reply->lastSetup.Index, 5);
  EXPECT_EQ(reply->lastSetup.Length, 8);

  request.Direction = 0;
  request.Length = 4;
  EXPECT_TRUE(api.ControlTransfer(request, moved, nullptr));
  EXPECT_EQ(moved, 4u);
  EXPECT_EQ(reply->lastSetup.RequestType, 0x41);
}

TEST_F(WinUsbApiTest, PipeTimeoutsBoundTransfersAndZeroMeansNone) {
  TpxWinUsbApi api;
  ASSERT_NE(api.OpenDevice(kSilent), INVALID_HANDLE_VALUE);
  char buffer[4];
  EXPECT_TRUE(api.SetPipeTimeout(0x81, 30));
  EXPECT_EQ(api.ReadPipe(0x81, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_SEM_TIMEOUT);

  // Without a time-out the read stays pending until the device goes away.
  EXPECT_TRUE(api.SetPipeTimeout(0x81, 0));
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  EXPECT_EQ(api.ReadPipe(0x81, buffer, sizeof buffer, &overlapped), 0u);
  DWORD count = 0;
  EXPECT_FALSE(api.GetOverlappedResult(&overlapped, count, 0));
  EXPECT_EQ(win::GetLastError(), ERROR_IO_INCOMPLETE);
  api.CloseDevice();
  EXPECT_EQ(win::WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
}

TEST_F(WinUsbApiTest, ClosingEndsAReadThatAnotherThreadWaitsFor) {
  TpxWinUsbApi api;
  ASSERT_NE(api.OpenDevice(kSilent), INVALID_HANDLE_VALUE);
  std::atomic<bool> pending{false};
  std::atomic<bool> succeeded{true};
  std::atomic<DWORD> error{0};
  std::thread reader([&] {
    OVERLAPPED overlapped{};
    overlapped.hEvent = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[64];
    api.SetPipeTimeout(0x81, 0);
    if (api.ReadPipe(0x81, buffer, sizeof buffer, &overlapped) == 0 &&
        win::GetLastError() == ERROR_IO_PENDING) {
      pending = true;
      DWORD count = 0;
      succeeded = api.GetOverlappedResult(&overlapped, count, INFINITE);
      error = win::GetLastError();
    }
    win::CloseHandle(overlapped.hEvent);
  });
  ASSERT_TRUE(pxtest::WaitUntil([&] { return pending.load(); }));
  api.CloseDevice();
  reader.join();
  EXPECT_FALSE(succeeded);
  EXPECT_NE(error.load(), ERROR_IO_PENDING);
  EXPECT_EQ(machine.usbIo().device(kSilent)->pendingTransfers(), 0u);
}

TEST_F(WinUsbApiTest, ReadsAndWritesRunOnTwoThreadsAtOnce) {
  TpxWinUsbApi api;
  ASSERT_NE(api.OpenDevice(kEcho), INVALID_HANDLE_VALUE);
  constexpr int kBytes = 2000;
  std::string received;
  std::thread reader([&] {
    OVERLAPPED overlapped{};
    overlapped.hEvent = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[128];
    while (received.size() < kBytes) {
      DWORD count = api.ReadPipe(0x81, buffer, sizeof buffer, &overlapped);
      if (count == 0 && win::GetLastError() == ERROR_IO_PENDING &&
          !api.GetOverlappedResult(&overlapped, count, INFINITE)) {
        break;
      }
      received.append(buffer, count);
    }
    win::CloseHandle(overlapped.hEvent);
  });
  std::string sent;
  for (int i = 0; i < kBytes; ++i) {
    char c = static_cast<char>('a' + i % 26);
    sent += c;
    ASSERT_EQ(api.WritePipe(0x02, &c, 1, nullptr), 1u);
  }
  reader.join();
  EXPECT_EQ(received, sent);  // in order, nothing lost
}

}  // namespace

namespace {

TEST_F(WinUsbApiTest, BadPipesStallsAndUnplugFail) {
  machine.usbIo().attach("\\\\.\\stall", "WinUSB", {{0x81}, {0x02}},
                         std::make_shared<sim::StallingModel>());
  TpxWinUsbApi api;
  ASSERT_NE(api.OpenDevice(kEcho), INVALID_HANDLE_VALUE);
  char buffer[4] = {};
  // An unknown pipe, or a pipe of the other direction, is refused at once.
  EXPECT_EQ(api.ReadPipe(0x83, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(api.WritePipe(0x81, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(api.ResetPipe(0x05));

  TpxWinUsbApi stalled;
  ASSERT_NE(stalled.OpenDevice("\\\\.\\stall"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(stalled.WritePipe(0x02, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_GEN_FAILURE);

  // Unplugging ends a pending read with an error, and later requests fail too.
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  EXPECT_EQ(api.ReadPipe(0x81, buffer, sizeof buffer, &overlapped), 0u);
  machine.usbIo().detach(kEcho);
  DWORD count = kSentinel;
  EXPECT_FALSE(api.GetOverlappedResult(&overlapped, count, INFINITE));
  EXPECT_EQ(win::GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(api.WritePipe(0x02, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  // A gone device cannot be opened again.
  TpxWinUsbApi later;
  EXPECT_EQ(later.OpenDevice(kEcho), INVALID_HANDLE_VALUE);
}

}  // namespace
