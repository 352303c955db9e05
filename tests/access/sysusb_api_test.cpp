// The kernel-driver binding against the simulated "pxusb" driver.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "lib/pxusb_sysusb_api.h"
#include "platform/sim/machine.h"
#include "support/backend.h"

namespace {

constexpr char kDevice[] = "\\\\.\\usb#vid_1209&pid_0003#pxusb";

DWORD DwordAt(const std::vector<BYTE>& bytes, size_t offset) {
  DWORD value = 0;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

class SysUsbApiTest : public ::testing::Test {
 protected:
  void Attach(std::shared_ptr<sim::DeviceModel> model) {
    machine.usbIo().attach(kDevice, "pxusb", {{0x82}, {0x01}}, std::move(model));
    ASSERT_NE(api.OpenDevice(kDevice), INVALID_HANDLE_VALUE);
  }
  std::vector<sim::DriverRequest> Log() { return machine.usbIo().driverLog(); }

  sim::SimMachine machine;
  TpxSysUsbApi api;
};

TEST_F(SysUsbApiTest, APendingReadOnTheCallersRecordIsCompletedByGetOverlappedResult) {
  Attach(std::make_shared<sim::EchoModel>(0x82));
  OVERLAPPED overlapped{};
  overlapped.hEvent = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char buffer[32] = {};
  api.SetPipeTimeout(0x82, 0);
  EXPECT_EQ(api.ReadPipe(0x82, buffer, sizeof buffer, &overlapped), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(machine.kernel().debugLog(),
            (std::vector<std::string>{"ERROR_IO_PENDING ...", "... ERROR_IO_PENDING!!!"}));

  // Polling with time-out 0 runs out without cancelling anything.
  DWORD count = pxtest::kSentinel;
  EXPECT_FALSE(api.GetOverlappedResult(&overlapped, count, 0));
  EXPECT_EQ(count, 0u);
  char text[] = "ping";
  EXPECT_EQ(api.WritePipe(0x01, text, 4, nullptr), 4u);
  EXPECT_TRUE(api.GetOverlappedResult(&overlapped, count, INFINITE));
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(std::string(buffer, 4), "ping");

  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].code, IOCTL_PXUSB_READ_PIPE);
  EXPECT_EQ(log[0].input.size(), 28u);
  EXPECT_EQ(log[0].outputSize, sizeof buffer);
  EXPECT_EQ(log[1].code, IOCTL_PXUSB_WRITE_PIPE);
  EXPECT_EQ(log[1].outputSize, 4u);
  win::CloseHandle(overlapped.hEvent);
}

TEST_F(SysUsbApiTest, AWriteWithoutARecordWaitsForTheDriver) {
  Attach(std::make_shared<sim::SlowModel>(std::chrono::milliseconds(20)));
  char text[] = "slow";
  EXPECT_EQ(api.WritePipe(0x01, text, 4, nullptr), 4u);
  EXPECT_EQ(machine.kernel().debugLog(),
            (std::vector<std::string>{"ERROR_IO_PENDING ...", "... ERROR_IO_PENDING!!!"}));
  EXPECT_EQ(machine.kernel().handleCount(), 1u);  // the request's own event is closed again
}

TEST_F(SysUsbApiTest, PipeRecordsCarryTheTableTimeoutTheStampAndThePipe) {
  Attach(std::make_shared<sim::StreamModel>(0x82, 0));
  machine.kernel().setClock(0x0011223344556677ull);
  api.SetPipeTimeout(0x82, 250);
  api.SetPipeTimeout(0x01, 40);
  char buffer[8];
  EXPECT_EQ(api.ReadPipe(0x82, buffer, sizeof buffer, nullptr), 8u);
  char text[] = "x";
  EXPECT_EQ(api.WritePipe(0x01, text, 1, nullptr), 1u);
  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(DwordAt(log[0].input, 0), 250u);
  EXPECT_EQ(DwordAt(log[0].input, 4), 0x22334455u);  // FILETIME bits 16..47
  EXPECT_EQ(DwordAt(log[0].input, 8), 0x82u);
  EXPECT_EQ(DwordAt(log[1].input, 0), 40u);
  EXPECT_EQ(DwordAt(log[1].input, 8), 0x01u);
}

TEST_F(SysUsbApiTest, ControlRecordsFollowTheDirection) {
  Attach(std::make_shared<sim::SilentModel>());
  TpxUsbControlRequest in{2, 1, 0, 0x07, 0x0102, 0x0304, 0, nullptr};
  DWORD moved = pxtest::kSentinel;
  EXPECT_TRUE(api.ControlTransfer(in, moved, nullptr));
  BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  TpxUsbControlRequest out{1, 0, 2, 0x09, 0x0a0b, 0x0c0d, 8, data};
  EXPECT_TRUE(api.ControlTransfer(out, moved, nullptr));
  EXPECT_EQ(moved, 8u);

  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].code, IOCTL_PXUSB_CONTROL_IN);
  EXPECT_EQ(log[0].input.size(), 28u);
  EXPECT_EQ(log[0].outputSize, 0u);
  EXPECT_EQ(DwordAt(log[0].input, 0), 5000u);
  EXPECT_EQ(DwordAt(log[0].input, 8), 2u);
  EXPECT_EQ(DwordAt(log[0].input, 16), 0x07u);
  EXPECT_EQ(DwordAt(log[0].input, 20), 0x0102u);
  EXPECT_EQ(DwordAt(log[0].input, 24), 0x0304u);

  EXPECT_EQ(log[1].code, IOCTL_PXUSB_CONTROL_OUT);
  ASSERT_EQ(log[1].input.size(), 36u);
  EXPECT_EQ(DwordAt(log[1].input, 12), 2u);  // the recipient
  EXPECT_EQ(std::vector<BYTE>(log[1].input.begin() + 28, log[1].input.end()),
            std::vector<BYTE>(data, data + 8));
  EXPECT_EQ(log[1].outputSize, 8u);
}

TEST_F(SysUsbApiTest, FlushIsResetThenAbortAndStopsWhenTheResetFails) {
  Attach(std::make_shared<sim::SilentModel>());
  EXPECT_TRUE(api.FlushPipe(0x82));
  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].code, IOCTL_PXUSB_RESET_PIPE);
  EXPECT_EQ(log[1].code, IOCTL_PXUSB_ABORT_PIPE);
  EXPECT_EQ(log[1].outputSize, 0u);

  machine.usbIo().detach(kDevice);  // the device is gone: the reset fails
  EXPECT_FALSE(api.FlushPipe(0x82));
  log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2].code, IOCTL_PXUSB_RESET_PIPE);
}

TEST_F(SysUsbApiTest, AfterCloseNothingIsOpenAndRequestsFail) {
  Attach(std::make_shared<sim::EchoModel>(0x82));
  api.CloseDevice();
  EXPECT_FALSE(api.IsDeviceOpen());
  char text[] = "x";
  EXPECT_EQ(api.WritePipe(0x01, text, 1, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(machine.kernel().handleCount(), 0u);
}

}  // namespace

namespace {

TEST_F(SysUsbApiTest, TheRecordsTimeoutBoundsTheTransfer) {
  Attach(std::make_shared<sim::SilentModel>());
  char buffer[4];
  api.SetPipeTimeout(0x82, 30);
  EXPECT_EQ(api.ReadPipe(0x82, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_SEM_TIMEOUT);
  // A short or unknown request is refused by the driver without waiting.
  DWORD returned = 0;
  BYTE shortRecord[8] = {};
  EXPECT_FALSE(api.DeviceRequest(IOCTL_PXUSB_READ_PIPE, shortRecord, sizeof shortRecord, buffer,
                                 sizeof buffer, nullptr, returned));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  BYTE record[28] = {};
  EXPECT_FALSE(api.DeviceRequest(0x222000, record, sizeof record, nullptr, 0, nullptr, returned));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_FUNCTION);
}

}  // namespace
