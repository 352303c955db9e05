// The WinUSB binding against simulated devices.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

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
  // The reader is inside WinUSB when the device closes: closing must not free the
  // interface under it (the simulator stops the process if it does).
  ASSERT_TRUE(pxtest::WaitUntil([&] { return pending && machine.usbIo().interfaceCallsInside() == 1; }));
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
  // The stall shows when the transfer ends on the bus, not when it is issued.
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  EXPECT_EQ(stalled.ReadPipe(0x81, buffer, sizeof buffer, &overlapped), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_IO_PENDING);
  DWORD count = kSentinel;
  EXPECT_FALSE(stalled.GetOverlappedResult(&overlapped, count, INFINITE));
  EXPECT_EQ(win::GetLastError(), ERROR_GEN_FAILURE);

  // Unplugging ends a pending read; later requests are refused as to a removed device,
  // with the errors the device's removal gives (drawn when unkind).
  EXPECT_EQ(api.ReadPipe(0x81, buffer, sizeof buffer, &overlapped), 0u);
  sim::DeviceModel::Removal removal = machine.usbIo().device(kEcho)->model()->removal;
  machine.usbIo().detach(kEcho);
  EXPECT_FALSE(api.GetOverlappedResult(&overlapped, count, INFINITE));
  EXPECT_EQ(win::GetLastError(), removal.atCompletion);
  EXPECT_EQ(api.WritePipe(0x02, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), removal.atOnce);
  // A gone device cannot be opened again.
  TpxWinUsbApi later;
  EXPECT_EQ(later.OpenDevice(kEcho), INVALID_HANDLE_VALUE);
}

TEST_F(WinUsbApiTest, DefaultPipePoliciesAndFreedHandles) {
  HANDLE file = win::CreateFileA(kEcho, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  ASSERT_TRUE(WinUsb_Initialize(file, &usb));
  // Of the policies, the default pipe (0) takes the transfer time-out only; another
  // has no effect there, and the call succeeds.
  ULONG ms = 5000;
  EXPECT_TRUE(WinUsb_SetPipePolicy(usb, 0, PIPE_TRANSFER_TIMEOUT, sizeof ms, &ms));
  UCHAR on = 1;
  EXPECT_TRUE(WinUsb_SetPipePolicy(usb, 0, AUTO_CLEAR_STALL, sizeof on, &on));
  // A control transfer takes the device's time, which the pipe's time-out bounds.
  machine.usbIo().device(kEcho)->model()->controlTime = std::chrono::milliseconds(200);
  ms = 50;
  EXPECT_TRUE(WinUsb_SetPipePolicy(usb, 0, PIPE_TRANSFER_TIMEOUT, sizeof ms, &ms));
  EXPECT_FALSE(WinUsb_ControlTransfer(usb, WINUSB_SETUP_PACKET{0x40, 1, 0, 0, 0}, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_SEM_TIMEOUT);
  HANDLE plain = win::CreateFileA(kEcho, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  WINUSB_INTERFACE_HANDLE refused = nullptr;
  EXPECT_FALSE(WinUsb_Initialize(plain, &refused) || win::GetLastError() != ERROR_INVALID_HANDLE);
  win::CloseHandle(plain);

  // A handle used after WinUsb_Free stops the process, as a verifier does.
  ASSERT_TRUE(WinUsb_Free(usb));
  EXPECT_DEATH(WinUsb_AbortPipe(usb, 0x81), "used after WinUsb_Free");
  EXPECT_DEATH(WinUsb_Free(usb), "freed twice");
  win::CloseHandle(file);
}

TEST_F(WinUsbApiTest, FlushLeavesTheDevicesOwnDataAlone) {
  TpxWinUsbApi api;
  ASSERT_NE(api.OpenDevice(kEcho), INVALID_HANDLE_VALUE);
  char text[] = "kept";
  ASSERT_EQ(api.WritePipe(0x02, text, 4, nullptr), 4u);
  EXPECT_TRUE(api.FlushPipe(0x81));
  char buffer[8] = {};
  EXPECT_EQ(api.ReadPipe(0x81, buffer, sizeof buffer, nullptr), 4u);
  EXPECT_EQ(std::string(buffer, 4), "kept");
}

}  // namespace

// A function of two interfaces, as WinUSB documents WinUsb_GetAssociatedInterface: each
// interface's handle reaches its own pipes only, and each is handed out once.
TEST_F(WinUsbApiTest, AssociatedInterfacesServeTheirOwnPipes) {
  constexpr char kFunction[] = "\\\\.\\usb#vid_1209&pid_0003&mi_00#function";
  machine.usbIo().attach(kFunction, "WinUSB", {{0x81, 2, 64, 0, 0}, {0x02, 2, 64, 0, 1}},
                         std::make_shared<sim::EchoModel>(0x81));
  HANDLE file = win::CreateFileA(kFunction, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
  WINUSB_INTERFACE_HANDLE first = nullptr, second = nullptr, again = nullptr;
  ASSERT_TRUE(WinUsb_Initialize(file, &first));
  char data[] = "ab";
  ULONG moved = kSentinel;
  EXPECT_FALSE(WinUsb_WritePipe(first, 0x02, reinterpret_cast<PUCHAR>(data), 2, &moved, nullptr));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ASSERT_TRUE(WinUsb_GetAssociatedInterface(first, 0, &second));
  EXPECT_FALSE(WinUsb_GetAssociatedInterface(first, 0, &again));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(WinUsb_GetAssociatedInterface(first, 1, &again));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  WINUSB_PIPE_INFORMATION pipe{};
  ASSERT_TRUE(WinUsb_QueryPipe(second, 0, 0, &pipe));
  EXPECT_EQ(pipe.PipeId, 0x02);
  EXPECT_TRUE(WinUsb_WritePipe(second, 0x02, reinterpret_cast<PUCHAR>(data), 2, &moved, nullptr));
  EXPECT_TRUE(WinUsb_ReadPipe(first, 0x81, reinterpret_cast<PUCHAR>(data), 2, &moved, nullptr));
  EXPECT_EQ(moved, 2u);
  EXPECT_TRUE(WinUsb_Free(second));
  EXPECT_TRUE(WinUsb_Free(first));
  win::CloseHandle(file);
}

namespace {

// Packets and pipe policies on 64-byte bulk pipes of an echo device, as WinUsb_ReadPipe's remarks and
// the table of pipe policies give them. A read not ended within the time-out fails with ERROR_SEM_TIMEOUT.
TEST_F(WinUsbApiTest, ReadsEndOnShortPacketsFullBuffersAndAsThePoliciesSay) {
  using S = sim::Endpoint::Stall;
  const DWORD kLate = ERROR_SEM_TIMEOUT, kStall = ERROR_GEN_FAILURE;
  // IN endpoint's ZLP habit, stall, policy set to 1 (ALLOW_PARTIAL_READS: 0), bytes echoed, reads.
  const std::tuple<bool, S, ULONG, ULONG, std::vector<std::array<DWORD, 3>>> cases[] = {
      {false, S::kNever, 0, 10, {{512, 0, 10}}},                          // a short packet ends a read
      {true, S::kNever, 0, 64, {{512, 0, 64}}},                           // so does a zero-length one
      {false, S::kNever, 0, 64, {{512, kLate, 0}}},                       // whole packets alone do not
      {true, S::kNever, 0, 100, {{70, 0, 70}, {70, 0, 30}}},              // the overflow comes next
      {true, S::kNever, ALLOW_PARTIAL_READS, 100, {{70, ERROR_MORE_DATA, 0}}},
      {true, S::kNever, AUTO_FLUSH, 100, {{70, 0, 70}, {70, kLate, 0}}},  // or is dropped
      {true, S::kNever, IGNORE_SHORT_PACKETS, 10, {{512, kLate, 0}}},
      {true, S::kNever, RAW_IO, 10, {{100, ERROR_INVALID_PARAMETER, 0}, {128, 0, 10}}},
      {true, S::kNever, SHORT_PACKET_TERMINATE, 10, {{512, 0, 10}}},      // an OUT policy: no effect
      {true, S::kOnce, 0, 10, {{64, kStall, 0}, {64, kStall, 0}}},        // halted until a reset
      {true, S::kOnce, AUTO_CLEAR_STALL, 10, {{64, kStall, 0}, {64, 0, 10}}},
  };
  constexpr char kPath[] = "\\\\.\\usb#vid_1209&pid_0004#packets";
  for (const auto& c : cases) {
    auto& [zeroLengthPacket, stall, policy, written, reads] = c;
    machine.usbIo().attach(kPath, "WinUSB", {{0x81, 2, 64, 0, 0, zeroLengthPacket, stall}, {0x02, 2, 64}},
                           std::make_shared<sim::EchoModel>(0x81));
    HANDLE file = win::CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    ASSERT_TRUE(WinUsb_Initialize(file, &usb));
    ULONG ms = 150, moved = 0;
    UCHAR value = policy != ALLOW_PARTIAL_READS;
    ASSERT_TRUE(WinUsb_SetPipePolicy(usb, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof ms, &ms));
    if (policy) ASSERT_TRUE(WinUsb_SetPipePolicy(usb, 0x81, policy, 1, &value));
    std::vector<UCHAR> buffer(512, 'x');
    ASSERT_TRUE(WinUsb_WritePipe(usb, 0x02, buffer.data(), written, &moved, nullptr));
    for (auto [size, error, count] : reads) {
      BOOL ok = WinUsb_ReadPipe(usb, 0x81, buffer.data(), size, &moved, nullptr);
      EXPECT_EQ(std::make_pair(ok ? 0u : win::GetLastError(), ok ? moved : 0u), std::make_pair(error, count)) << &c - cases;
    }
    WinUsb_Free(usb);
    win::CloseHandle(file);
  }
}

}  // namespace
