#include "lib/pxusbw32.h"

#include <algorithm>
#include <cstring>

#include "lib/pxsysutils.h"
#include "lib/pxwin32di.h"

namespace {

constexpr ULONG kPropertySize = 512;

// A devnode property as text; the read's own length bounds it, so a property without
// its zero (or one that fills the buffer) never runs into older contents.
bool NodeProperty(DEVINST node, ULONG property, char* buffer, std::string& text) {
  ULONG length = kPropertySize;
  if (SetupApi().CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, buffer, &length, 0) !=
      CR_SUCCESS) {
    return false;
  }
  text.assign(buffer, strnlen(buffer, std::min(length, kPropertySize)));
  return true;
}

// The next devnode in depth-first pre-order; false after the last one.
bool NextNode(DEVINST& node) {
  const TpxSetupApi& api = SetupApi();
  DEVINST next = 0;
  if (api.CM_Get_Child(&next, node, 0) == CR_SUCCESS) {
    node = next;
    return true;
  }
  for (DEVINST at = node;; at = next) {
    if (api.CM_Get_Sibling(&next, at, 0) == CR_SUCCESS) {
      node = next;
      return true;
    }
    if (api.CM_Get_Parent(&next, at, 0) != CR_SUCCESS) return false;
  }
}

// Calls Visit(node, driver key) for every devnode with a driver key, depth first from
// the root, until Visit returns false.
template <class Visitor>
void WalkDriverKeys(char* buffer, Visitor Visit) {
  if (!LoadSetupApi()) return;
  DEVINST node = 0;
  if (SetupApi().CM_Locate_DevNodeA(&node, nullptr, 0) != CR_SUCCESS) return;
  do {
    std::string driverKey;
    if (NodeProperty(node, CM_DRP_DRIVER, buffer, driverKey) && !Visit(node, driverKey)) return;
  } while (NextNode(node));
}

std::string NodeDescription(DEVINST node, char* buffer) {
  std::string description;
  NodeProperty(node, CM_DRP_DEVICEDESC, buffer, description);
  return description;
}

}  // namespace

void FindDeviceDescription(const std::string& DriverKey, std::string& Text) {
  Text.clear();
  char buffer[kPropertySize] = {};
  WalkDriverKeys(buffer, [&](DEVINST node, const std::string& driverKey) {
    if (driverKey != DriverKey) return true;
    Text = NodeDescription(node, buffer);
    return false;
  });
}

bool ReadDeviceNode(const std::string& DeviceId, TpxDevice& Device) {
  DEVINST node = 0;
  if (!LoadSetupApi() || DeviceId.empty() ||
      SetupApi().CM_Locate_DevNodeA(&node, const_cast<char*>(DeviceId.c_str()), 0) != CR_SUCCESS) {
    return false;
  }
  char buffer[kPropertySize] = {};
  Device.InstanceId = DeviceId;
  Device.DevInst = node;
  NodeProperty(node, CM_DRP_SERVICE, buffer, Device.Service);
  NodeProperty(node, CM_DRP_DRIVER, buffer, Device.DriverKey);
  NodeProperty(node, CM_DRP_DEVICEDESC, buffer, Device.Description);
  NodeProperty(node, CM_DRP_MFG, buffer, Device.Manufacturer);
  // The device's hardware key, where its bus driver keeps its values.
  Device.KeyName = "SYSTEM\\CurrentControlSet\\Enum\\" + DeviceId + "\\Device Parameters";
  ReadRegString(HKEY_LOCAL_MACHINE, Device.KeyName, "SymbolicName", Device.DevicePath);
  ReadRegString(HKEY_LOCAL_MACHINE, Device.KeyName, "PortName", Device.PortName);
  return true;
}

void TpxDescriptionIndex::Load() {
  byKey_.clear();
  char buffer[kPropertySize] = {};
  WalkDriverKeys(buffer, [&](DEVINST node, const std::string& driverKey) {
    if (byKey_.find(driverKey) == byKey_.end()) byKey_.emplace(driverKey, NodeDescription(node, buffer));
    return true;
  });
}

std::string TpxDescriptionIndex::Find(const std::string& DriverKey) const {
  auto it = byKey_.find(DriverKey);
  return it == byKey_.end() ? std::string() : it->second;
}

std::string WideBufferToAnsi(const BYTE* Buffer, size_t Size) {
  std::u16string wide;
  for (size_t at = 0; at + 1 < Size; at += 2) {
    char16_t c = static_cast<char16_t>(Buffer[at] | (Buffer[at + 1] << 8));
    if (!c) break;
    wide.push_back(c);
  }
  if (wide.empty()) return {};
  const auto* text = reinterpret_cast<const WCHAR*>(wide.data());
  int length = static_cast<int>(wide.size());
  int size = win::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string ansi(static_cast<size_t>(size), '\0');
  win::WideCharToMultiByte(CP_ACP, 0, text, length, &ansi[0], size, nullptr, nullptr);
  return ansi;
}

namespace {

// The second step of a name request: a buffer of the full size the probe reported,
// with the connection index in front when there is one. The name starts at NameAt.
std::string FetchName(HANDLE Handle, DWORD ControlCode, DWORD FullSize, DWORD MinimumSize,
                      size_t NameAt, const ULONG* ConnectionIndex) {
  if (FullSize < MinimumSize || FullSize > kMaxUsbReplySize) return {};
  TpxLocalBuffer buffer(FullSize);
  if (!buffer.Data()) return {};
  if (ConnectionIndex) std::memcpy(buffer.Data(), ConnectionIndex, sizeof(ULONG));
  DWORD returned = 0;
  if (!win::DeviceIoControl(Handle, ControlCode, ConnectionIndex ? buffer.Data() : nullptr,
                            ConnectionIndex ? FullSize : 0, buffer.Data(), FullSize, &returned,
                            nullptr) ||
      returned <= NameAt) {
    return {};
  }
  return WideBufferToAnsi(buffer.Data() + NameAt, std::min<DWORD>(returned, FullSize) - NameAt);
}

ULONG ReadULong(const BYTE* at) {
  ULONG value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

// Zeroes the request and sets ConnectionIndex, wValue and wLength.
void SetDescriptorRequest(BYTE* buffer, ULONG ConnectionIndex, BYTE DescriptorType,
                          BYTE DescriptorIndex, WORD Length) {
  std::memset(buffer, 0, sizeof(USB_DESCRIPTOR_REQUEST));
  std::memcpy(buffer, &ConnectionIndex, sizeof(ULONG));
  buffer[6] = DescriptorIndex;
  buffer[7] = DescriptorType;
  buffer[10] = LOBYTE(Length);
  buffer[11] = HIBYTE(Length);
}

}  // namespace

std::string GetIoctlName(HANDLE Handle, DWORD ControlCode) {
  // The probe: ActualLength and room for one character.
  TpxLocalBuffer probe(sizeof(USB_ROOT_HUB_NAME));
  DWORD returned = 0;
  if (!probe.Data() || !win::DeviceIoControl(Handle, ControlCode, nullptr, 0, probe.Data(),
                                             sizeof(USB_ROOT_HUB_NAME), &returned, nullptr) ||
      returned < sizeof(ULONG)) {
    return {};
  }
  return FetchName(Handle, ControlCode, ReadULong(probe.Data()), sizeof(USB_ROOT_HUB_NAME),
                   sizeof(ULONG), nullptr);
}

std::string GetConnectionName(HANDLE HubHandle, DWORD ControlCode, ULONG ConnectionIndex) {
  // The probe: ConnectionIndex, ActualLength and room for two characters.
  constexpr DWORD kProbeSize = 12;
  TpxLocalBuffer probe(kProbeSize);
  if (!probe.Data()) return {};
  std::memcpy(probe.Data(), &ConnectionIndex, sizeof(ULONG));
  DWORD returned = 0;
  if (!win::DeviceIoControl(HubHandle, ControlCode, probe.Data(), kProbeSize, probe.Data(),
                            kProbeSize, &returned, nullptr) ||
      returned < 2 * sizeof(ULONG)) {
    return {};
  }
  return FetchName(HubHandle, ControlCode, ReadULong(probe.Data() + 4), kProbeSize,
                   2 * sizeof(ULONG), &ConnectionIndex);
}

namespace {

// One descriptor request of `length` bytes; the buffer keeps two zero bytes past them.
std::unique_ptr<TpxDescriptorBuffer> RequestDescriptor(HANDLE HubHandle, ULONG ConnectionIndex,
                                                       BYTE DescriptorType, BYTE DescriptorIndex, WORD length) {
  constexpr DWORD kHeader = sizeof(USB_DESCRIPTOR_REQUEST);
  auto buffer = std::make_unique<TpxDescriptorBuffer>(kHeader + length + 2);
  if (!buffer->Data()) return nullptr;
  SetDescriptorRequest(buffer->Data(), ConnectionIndex, DescriptorType, DescriptorIndex, length);
  DWORD returned = 0;
  if (!win::DeviceIoControl(HubHandle, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                            buffer->Data(), kHeader + length, buffer->Data(), kHeader + length,
                            &returned, nullptr) ||
      returned < kHeader) {
    return nullptr;
  }
  buffer->Returned = std::min<DWORD>(returned, kHeader + length);
  return buffer;
}

}  // namespace

std::unique_ptr<TpxDescriptorBuffer> GetNodeDescriptor(HANDLE HubHandle, ULONG ConnectionIndex,
                                                       BYTE DescriptorType, BYTE DescriptorIndex) {
  constexpr DWORD kHeader = sizeof(USB_DESCRIPTOR_REQUEST);
  // The probe asks for bLength and bDescriptorType only.
  BYTE length = 0;
  {
    TpxLocalBuffer probe(kHeader + 2);
    if (!probe.Data()) return nullptr;
    SetDescriptorRequest(probe.Data(), ConnectionIndex, DescriptorType, DescriptorIndex, 2);
    DWORD returned = 0;
    if (!win::DeviceIoControl(HubHandle, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                              probe.Data(), kHeader + 2, probe.Data(), kHeader + 2, &returned,
                              nullptr) ||
        returned < kHeader + 2) {
      return nullptr;
    }
    length = probe.Data()[kHeader];
  }
  // A descriptor is at least its bLength and type.
  if (length < 2) return nullptr;
  return RequestDescriptor(HubHandle, ConnectionIndex, DescriptorType, DescriptorIndex, length);
}

std::unique_ptr<TpxDescriptorBuffer> GetConfigurationDescriptor(HANDLE HubHandle, ULONG ConnectionIndex) {
  constexpr DWORD kHeader = sizeof(USB_DESCRIPTOR_REQUEST);
  auto head = GetNodeDescriptor(HubHandle, ConnectionIndex, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0);
  if (!head || head->Returned < kHeader + 4) return nullptr;
  const BYTE* at = head->Data() + kHeader + 2;
  auto total = static_cast<WORD>(at[0] | (at[1] << 8));
  if (total < 4) return nullptr;
  return RequestDescriptor(HubHandle, ConnectionIndex, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, total);
}
