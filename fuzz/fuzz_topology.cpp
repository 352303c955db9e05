// Hostile host controllers and hubs: every input is a list of faults on their replies
// (failures, short replies, wrong sizes, unterminated names, false descriptor lengths
// and pipe counts, any byte changed), and the device list is loaded through them.
// Whatever the replies, the walk stays inside its buffers and ends.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/machine.h"
#include "lib/pxusb.h"

namespace {

const DWORD kCodes[] = {
    IOCTL_GET_HCD_DRIVERKEY_NAME,
    IOCTL_USB_GET_ROOT_HUB_NAME,  // also IOCTL_USB_GET_NODE_INFORMATION on a hub
    IOCTL_USB_GET_NODE_CONNECTION_INFORMATION,
    IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX,
    IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
    IOCTL_USB_GET_NODE_CONNECTION_NAME,
    IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
};
constexpr std::size_t kRecord = 8;  // code, kind, where, nth, value (4 bytes)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static pxfuzz::Machine machine;
  if (size == 0) return 0;
  machine.usb->SetRequestDescriptors(data[0] & 1);
  for (std::size_t at = 1; at + kRecord <= size; at += kRecord) {
    const std::uint8_t* r = data + at;
    sim::UsbFault fault;
    fault.code = kCodes[r[0] % (sizeof kCodes / sizeof kCodes[0])];
    fault.kind = static_cast<sim::UsbFault::Kind>(r[1] % (sim::UsbFault::kCorrupt + 1));
    fault.where = static_cast<sim::UsbFault::Where>(r[2] % 3);
    fault.nth = r[3] % 8;
    fault.value = static_cast<DWORD>(r[4] | r[5] << 8 | r[6] << 16 | static_cast<DWORD>(r[7]) << 24);
    machine.described.usb().addFault(fault);
  }
  machine.usb->LoadDevices();
  // Everything the list hands out is read, so that a bad node shows.
  static std::string listing;
  listing.clear();
  for (int i = 0; i < machine.usb->DeviceCount(); ++i) {
    auto* node = dynamic_cast<TpxUsbDevice*>(machine.usb->Devices(i));
    listing += node->Name + node->DevicePath + node->Volumes + node->Manufacturer;
    for (int p = 0; p < node->PipeCount(); ++p) listing += static_cast<char>(node->Pipes(p)->EndpointAddress());
  }
  machine.described.usb().clearFaults();
  return 0;
}
