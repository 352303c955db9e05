// The simulated USB bus answers the controller and hub requests as Windows does.
#include <cstring>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/usbbus.h"
#include "support/backend.h"
#include "topology/sample_bus.h"

namespace {

using Bytes = std::vector<BYTE>;

class UsbBusTest : public ::testing::Test {
 protected:
  void SetUp() override { pxtest::AddSampleController(bus); }
  void TearDown() override {
    for (HANDLE h : opened) win::CloseHandle(h);
  }

  HANDLE Open(const std::string& path) {
    HANDLE h = win::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) opened.push_back(h);
    return h;
  }
  // Sends `code` with `in` as input and an output buffer of `outSize` bytes.
  bool Ask(HANDLE h, DWORD code, const Bytes& in, DWORD outSize, Bytes* out) {
    out->assign(outSize, 0xCC);
    DWORD returned = pxtest::kSentinel;
    Bytes input = in;
    BOOL ok = win::DeviceIoControl(h, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                                   out->data(), outSize, &returned, nullptr);
    if (ok) out->resize(returned);
    return ok != FALSE;
  }
  static Bytes Index(ULONG index, size_t size) {
    Bytes b(size, 0);
    std::memcpy(b.data(), &index, 4);
    return b;
  }
  static ULONG Long(const Bytes& b, size_t at) {
    ULONG v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
  }
  static std::string Name(const Bytes& b, size_t at) {
    std::string s;
    for (size_t i = at; i + 1 < b.size() && (b[i] || b[i + 1]); i += 2) s.push_back(static_cast<char>(b[i]));
    return s;
  }

  sim::SimMachine machine;
  sim::UsbBus bus{machine.kernel()};
  std::vector<HANDLE> opened;
  const std::string rootName = pxtest::kSampleRootHub;
};

TEST_F(UsbBusTest, ControllerNamesReportTheirFullSizeToASmallBuffer) {
  HANDLE hc = Open("\\\\.\\hcd0");
  ASSERT_NE(hc, INVALID_HANDLE_VALUE);
  Bytes out;
  ASSERT_TRUE(Ask(hc, IOCTL_GET_HCD_DRIVERKEY_NAME, {}, 6, &out));
  ULONG full = Long(out, 0);
  EXPECT_EQ(full, 4 + 2 * (std::strlen("{36FC9E60-C465-11CF-8056-444553540000}\\0000") + 1));
  EXPECT_EQ(out.size(), 6u);
  EXPECT_EQ(Name(out, 4), "");
  ASSERT_TRUE(Ask(hc, IOCTL_GET_HCD_DRIVERKEY_NAME, {}, full, &out));
  EXPECT_EQ(out.size(), full);
  EXPECT_EQ(Name(out, 4), "{36FC9E60-C465-11CF-8056-444553540000}\\0000");
  ASSERT_TRUE(Ask(hc, IOCTL_USB_GET_ROOT_HUB_NAME, {}, 1000, &out));
  EXPECT_EQ(Name(out, 4), rootName);
  EXPECT_FALSE(Ask(hc, IOCTL_USB_GET_ROOT_HUB_NAME, {}, 5, &out));
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  EXPECT_EQ(Open("\\\\.\\HCD1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(UsbBusTest, HubAnswersNodeAndConnectionRequests) {
  HANDLE hub = Open("\\\\.\\" + rootName);
  ASSERT_NE(hub, INVALID_HANDLE_VALUE);
  Bytes out;
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_NODE_INFORMATION, Bytes(79), 79, &out));
  EXPECT_EQ(out.size(), sizeof(USB_NODE_INFORMATION));
  EXPECT_EQ(out[6], 3);
  EXPECT_FALSE(Ask(hub, IOCTL_USB_GET_NODE_INFORMATION, Bytes(75), 75, &out));
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  // Port 1: the echo device with its two pipes.
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, Index(1, 365), 365, &out));
  ASSERT_EQ(out.size(), 35u + 2 * 11);
  EXPECT_EQ(out[4], 18);
  EXPECT_EQ(out[12] | out[13] << 8, 0x1234);
  EXPECT_EQ(out[19], 2);  // iProduct
  EXPECT_EQ(out[23], UsbHighSpeed);
  EXPECT_EQ(out[24], 0);
  EXPECT_EQ(Long(out, 27), 2u);
  EXPECT_EQ(Long(out, 31), static_cast<ULONG>(DeviceConnected));
  EXPECT_EQ(out[35 + 2], 0x81);
  EXPECT_EQ(out[46 + 2], 0x02);
  EXPECT_EQ(out[46 + 4] | out[46 + 5] << 8, 512);
  // Room for one pipe only: the count stays, the list is cut.
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, Index(1, 46), 46, &out));
  EXPECT_EQ(out.size(), 46u);
  EXPECT_EQ(Long(out, 27), 2u);

  // Port 2 is free: connection information says so, per-device requests fail.
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, Index(2, 365), 365, &out));
  EXPECT_EQ(Long(out, 0), 2u);
  EXPECT_EQ(Long(out, 31), static_cast<ULONG>(NoDeviceConnected));
  EXPECT_FALSE(Ask(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, Index(2, 12), 12, &out));
  EXPECT_EQ(win::GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

  // Port 3 holds a hub: its node name opens it.
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, Index(3, 12), 12, &out));
  ULONG full = Long(out, 4);
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, Index(3, full), full, &out));
  std::string childName = Name(out, 8);
  EXPECT_EQ(childName, "USB#VID_05E3&PID_0608#5&2a7c0e0b&0&3#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, Index(3, 365), 365, &out));
  EXPECT_EQ(out[24], 1);
  // A non-hub device has an empty node name.
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, Index(1, 12), 12, &out));
  EXPECT_EQ(Long(out, 4), 10u);

  EXPECT_FALSE(Ask(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, Index(4, 365), 365, &out));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Ask(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, Index(0, 365), 365, &out));

  HANDLE child = Open("\\\\.\\" + childName);
  ASSERT_NE(child, INVALID_HANDLE_VALUE);
  // The older request has a LowSpeed flag where the newer has the speed.
  ASSERT_TRUE(Ask(child, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, Index(2, 365), 365, &out));
  EXPECT_EQ(out[23], 1);
  ASSERT_TRUE(Ask(child, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, Index(2, 365), 365, &out));
  EXPECT_EQ(out[23], UsbLowSpeed);
  // Without a driver there is no driver key.
  EXPECT_FALSE(Ask(child, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, Index(2, 12), 12, &out));
}

TEST_F(UsbBusTest, DescriptorRequestsReturnTheSetupPacketAndAtMostWLength) {
  HANDLE hub = Open("\\\\.\\" + rootName);
  auto request = [](ULONG port, BYTE type, BYTE index, WORD length) {
    Bytes b = Index(port, 12);
    b[6] = index;
    b[7] = type;
    b[10] = LOBYTE(length);
    b[11] = HIBYTE(length);
    return b;
  };
  Bytes out;
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request(1, 2, 0, 2), 14, &out));
  ASSERT_EQ(out.size(), 14u);
  EXPECT_EQ(out[7], 2);
  EXPECT_EQ(out[12], 9);
  EXPECT_EQ(out[13], USB_CONFIGURATION_DESCRIPTOR_TYPE);
  // The whole configuration: configuration, interface and two endpoint descriptors.
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request(1, 2, 0, 255), 12 + 255, &out));
  EXPECT_EQ(out.size(), 12u + 9 + 9 + 7 + 7);
  EXPECT_EQ(out[14], 32);  // wTotalLength
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request(1, 3, 2, 255), 12 + 255, &out));
  ASSERT_EQ(out.size(), 12u + 2 + 8);
  EXPECT_EQ(out[12], 10);
  EXPECT_EQ(Name(out, 14), "Echo");
  ASSERT_TRUE(Ask(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request(1, 1, 0, 18), 12 + 18, &out));
  EXPECT_EQ(out[12 + 8] | out[12 + 9] << 8, 0x1234);
  // A string the device does not have stalls; a free port fails.
  EXPECT_FALSE(Ask(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request(1, 3, 7, 255), 12 + 255, &out));
  EXPECT_FALSE(Ask(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request(2, 1, 0, 18), 12 + 18, &out));
  EXPECT_EQ(win::GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbBusTest, FaultsHitTheChosenRequestAndGoneDevicesStopAnswering) {
  HANDLE hc = Open("\\\\.\\HCD0");
  bus.addFault({IOCTL_USB_GET_ROOT_HUB_NAME, sim::UsbFault::kFail, ERROR_GEN_FAILURE, 2});
  bus.addFault({IOCTL_GET_HCD_DRIVERKEY_NAME, sim::UsbFault::kActualLength, 0x7FFFFFFF, 0});
  Bytes out;
  EXPECT_TRUE(Ask(hc, IOCTL_USB_GET_ROOT_HUB_NAME, {}, 6, &out));
  EXPECT_FALSE(Ask(hc, IOCTL_USB_GET_ROOT_HUB_NAME, {}, 6, &out));
  EXPECT_EQ(win::GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_TRUE(Ask(hc, IOCTL_USB_GET_ROOT_HUB_NAME, {}, 6, &out));
  EXPECT_EQ(bus.requestCount(IOCTL_USB_GET_ROOT_HUB_NAME), 3);
  ASSERT_TRUE(Ask(hc, IOCTL_GET_HCD_DRIVERKEY_NAME, {}, 6, &out));
  EXPECT_EQ(Long(out, 0), 0x7FFFFFFFu);

  bus.addFault({IOCTL_GET_HCD_DRIVERKEY_NAME, sim::UsbFault::kUnterminated, 0, 0});
  ASSERT_TRUE(Ask(hc, IOCTL_GET_HCD_DRIVERKEY_NAME, {}, 9, &out));
  EXPECT_EQ(out.size(), 9u);
  EXPECT_NE(out[8], 0);

  HANDLE hub = Open("\\\\.\\" + rootName);
  bus.removeController(0);
  EXPECT_FALSE(Ask(hub, IOCTL_USB_GET_NODE_INFORMATION, Bytes(79), 79, &out));
  EXPECT_EQ(win::GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Open("\\\\.\\" + rootName), INVALID_HANDLE_VALUE);
}

}  // namespace
