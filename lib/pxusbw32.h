// The configuration manager's device tree and, later, the hub I/O control routines.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "lib/pxclasses.h"
#include "lib/pxwin32.h"
#include "platform/win32.h"

// The description of the first device, depth first from the root, whose driver key is
// exactly DriverKey; empty when none is.
void FindDeviceDescription(const std::string& DriverKey, std::string& Text);

// The present devnode DeviceId as the configuration manager has it: service, driver
// key, description, manufacturer, and its hardware key (KeyName) with the values
// SymbolicName (DevicePath) and PortName. False when there is none.
bool ReadDeviceNode(const std::string& DeviceId, TpxDevice& Device);

// FindDeviceDescription for many driver keys with one walk of the device tree: Load
// takes the tree as it stands, Find answers as FindDeviceDescription did then.
class TpxDescriptionIndex {
 public:
  void Load();
  void Clear() { byKey_.clear(); }
  std::string Find(const std::string& DriverKey) const;

 private:
  std::unordered_map<std::string, std::string> byKey_;
};

// ---- Hub and host controller I/O controls -------------------------------------------

// Name replies larger than this are refused:
// no hub or controller name comes near it, and the size comes from the driver.
constexpr DWORD kMaxUsbReplySize = 64 * 1024;

// The UTF-16 text in the Size bytes at Buffer, up to its first zero character or the
// end of the bytes (an odd last byte is not read), in the ANSI code page.
std::string WideBufferToAnsi(const BYTE* Buffer, size_t Size);

// A controller name request without input (IOCTL_GET_HCD_DRIVERKEY_NAME,
// IOCTL_USB_GET_ROOT_HUB_NAME): a probe for the size, then the name. Empty on any
// failure.
std::string GetIoctlName(HANDLE Handle, DWORD ControlCode);

// A per-connection name request of a hub (IOCTL_USB_GET_NODE_CONNECTION_NAME,
// IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) for one port. Empty on any failure.
std::string GetConnectionName(HANDLE HubHandle, DWORD ControlCode, ULONG ConnectionIndex);

// A descriptor request's buffer as the hub filled it: USB_DESCRIPTOR_REQUEST, then the
// descriptor. Returned counts the bytes that came back; the two bytes past the request
// stay zero, so a string descriptor is always followed by a zero character.
class TpxDescriptorBuffer : public TpxLocalBuffer {
 public:
  using TpxLocalBuffer::TpxLocalBuffer;
  DWORD Returned = 0;
};

// The descriptor of the given type and index of the device on a hub port: a probe
// for its bLength, then a request of exactly that length. None on any failure.
std::unique_ptr<TpxDescriptorBuffer> GetNodeDescriptor(HANDLE HubHandle, ULONG ConnectionIndex,
                                                       BYTE DescriptorType, BYTE DescriptorIndex);
// The whole configuration descriptor with its interface, association and endpoint
// descriptors: the configuration descriptor's wTotalLength bytes. None on any failure.
std::unique_ptr<TpxDescriptorBuffer> GetConfigurationDescriptor(HANDLE HubHandle, ULONG ConnectionIndex);
