// The hub and controller I/O control routines: names and descriptors as the bus gives
// them, and nothing read or allocated beyond what a hostile reply justifies.
#include "lib/pxusbw32.h"

#include "platform/sim/machine.h"
#include "support/backend.h"
#include "topology/sample_bus.h"

namespace {

class UsbIoctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pxtest::AddSampleController(bus);
    controller = Open("\\\\.\\HCD0");
    root = Open("\\\\.\\" + pxtest::kSampleRootHub);
    ASSERT_NE(controller, INVALID_HANDLE_VALUE);
    ASSERT_NE(root, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    win::CloseHandle(controller);
    win::CloseHandle(root);
    // Every routine releases what it allocated, on every path.
    EXPECT_EQ(machine.kernel().localAllocations(), 0u);
  }
  HANDLE Open(const std::string& path) {
    return win::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  void Fault(DWORD code, sim::UsbFault::Kind kind, DWORD value, int nth = 0) {
    bus.clearFaults();
    bus.addFault({code, kind, value, nth});
  }

  sim::SimMachine machine;
  sim::UsbBus bus{machine.kernel()};
  HANDLE controller = INVALID_HANDLE_VALUE;
  HANDLE root = INVALID_HANDLE_VALUE;
};

TEST_F(UsbIoctlTest, ControllerNames) {
  EXPECT_EQ(GetIoctlName(controller, IOCTL_GET_HCD_DRIVERKEY_NAME), "{36FC9E60-C465-11CF-8056-444553540000}\\0000");
  EXPECT_EQ(GetIoctlName(controller, IOCTL_USB_GET_ROOT_HUB_NAME), pxtest::kSampleRootHub);
  // A hub does not answer the controller's name request with a name.
  EXPECT_EQ(GetIoctlName(root, IOCTL_GET_HCD_DRIVERKEY_NAME), "");
  EXPECT_EQ(GetIoctlName(INVALID_HANDLE_VALUE, IOCTL_USB_GET_ROOT_HUB_NAME), "");

  // Hostile sizes: below the record, beyond any sane name, a probe that fails or
  // comes back without ActualLength, and a second request that fails.
  for (DWORD size : std::initializer_list<DWORD>{0, 5, kMaxUsbReplySize + 1, 0xFFFFFFFF}) {
    Fault(IOCTL_USB_GET_ROOT_HUB_NAME, sim::UsbFault::kActualLength, size);
    EXPECT_EQ(GetIoctlName(controller, IOCTL_USB_GET_ROOT_HUB_NAME), "") << size;
  }
  Fault(IOCTL_USB_GET_ROOT_HUB_NAME, sim::UsbFault::kShortReply, 3);
  EXPECT_EQ(GetIoctlName(controller, IOCTL_USB_GET_ROOT_HUB_NAME), "");
  Fault(IOCTL_USB_GET_ROOT_HUB_NAME, sim::UsbFault::kFail, ERROR_GEN_FAILURE, 2);
  EXPECT_EQ(GetIoctlName(controller, IOCTL_USB_GET_ROOT_HUB_NAME), "");
  EXPECT_EQ(win::GetLastError(), ERROR_GEN_FAILURE);
  // A name larger than the probe said is cut at the buffer's end.
  Fault(IOCTL_USB_GET_ROOT_HUB_NAME, sim::UsbFault::kActualLength, 10, 1);
  EXPECT_EQ(GetIoctlName(controller, IOCTL_USB_GET_ROOT_HUB_NAME), "");
  // An unterminated name is read to the end of the reply and no further.
  Fault(IOCTL_GET_HCD_DRIVERKEY_NAME, sim::UsbFault::kUnterminated, 0);
  EXPECT_EQ(GetIoctlName(controller, IOCTL_GET_HCD_DRIVERKEY_NAME), "X");
}

TEST_F(UsbIoctlTest, ConnectionNames) {
  EXPECT_EQ(GetConnectionName(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, 3), pxtest::kSampleChildHub);
  EXPECT_EQ(GetConnectionName(root, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1),
            "{36FC9E60-C465-11CF-8056-444553540000}\\0001");
  // A device's node name is empty, a free port has no names, nor has port 4.
  EXPECT_EQ(GetConnectionName(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, 1), "");
  EXPECT_EQ(GetConnectionName(root, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 2), "");
  EXPECT_EQ(GetConnectionName(root, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 4), "");

  for (DWORD size : std::initializer_list<DWORD>{11, kMaxUsbReplySize + 1}) {
    Fault(IOCTL_USB_GET_NODE_CONNECTION_NAME, sim::UsbFault::kActualLength, size);
    EXPECT_EQ(GetConnectionName(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, 3), "") << size;
  }
  Fault(IOCTL_USB_GET_NODE_CONNECTION_NAME, sim::UsbFault::kShortReply, 7);
  EXPECT_EQ(GetConnectionName(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, 3), "");
  Fault(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, sim::UsbFault::kUnterminated, 0);
  EXPECT_EQ(GetConnectionName(root, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1), "XX");
  // The second request comes back short: only what came back is read.
  Fault(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, sim::UsbFault::kShortReply, 12, 2);
  EXPECT_EQ(GetConnectionName(root, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1), "{3");
}

TEST_F(UsbIoctlTest, NodeDescriptors) {
  auto config = GetNodeDescriptor(root, 1, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0);
  ASSERT_TRUE(config);
  // Only the configuration descriptor itself: its bLength is the request length.
  EXPECT_EQ(config->Returned, 12u + 9);
  EXPECT_EQ(config->Data()[12], 9);
  EXPECT_EQ(config->Data()[13], USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(config->Data()[14], 32);  // wTotalLength

  auto product = GetNodeDescriptor(root, 1, USB_STRING_DESCRIPTOR_TYPE, 2);
  ASSERT_TRUE(product);
  EXPECT_EQ(product->Returned, 12u + 10);
  EXPECT_EQ(WideBufferToAnsi(product->Data() + 14, product->Returned - 14), "Echo");
  // The two bytes past the request stay zero.
  EXPECT_EQ(product->Size(), 12u + 10 + 2);
  EXPECT_EQ(product->Data()[22] | product->Data()[23], 0);
  product.reset();
  config.reset();

  EXPECT_FALSE(GetNodeDescriptor(root, 2, USB_DEVICE_DESCRIPTOR_TYPE, 0));  // free port
  EXPECT_FALSE(GetNodeDescriptor(root, 1, USB_STRING_DESCRIPTOR_TYPE, 9));  // no such string

  // A claimed bLength beyond the data: Returned says what really came back.
  Fault(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, sim::UsbFault::kDescriptorLength, 255);
  auto claimed = GetNodeDescriptor(root, 1, USB_STRING_DESCRIPTOR_TYPE, 2);
  ASSERT_TRUE(claimed);
  EXPECT_EQ(claimed->Size(), 12u + 255 + 2);
  EXPECT_EQ(claimed->Returned, 12u + 10);
  claimed.reset();
  // bLength 0 or 1 is no descriptor; a probe without the descriptor bytes neither.
  for (DWORD length : std::initializer_list<DWORD>{0, 1}) {
    Fault(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, sim::UsbFault::kDescriptorLength, length, 1);
    EXPECT_FALSE(GetNodeDescriptor(root, 1, USB_STRING_DESCRIPTOR_TYPE, 2));
  }
  Fault(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, sim::UsbFault::kShortReply, 13, 1);
  EXPECT_FALSE(GetNodeDescriptor(root, 1, USB_STRING_DESCRIPTOR_TYPE, 2));
  Fault(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, sim::UsbFault::kShortReply, 11, 2);
  EXPECT_FALSE(GetNodeDescriptor(root, 1, USB_STRING_DESCRIPTOR_TYPE, 2));
}

}  // namespace
