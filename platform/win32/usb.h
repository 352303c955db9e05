// USB host controller and hub I/O controls, the records they exchange, and the
// standard USB descriptors those records embed. Every record is byte-packed.
#pragma once

#include "platform/win32/base.h"

#ifdef _WIN32
#include <winioctl.h>
#include <usbioctl.h>
#include <usbiodef.h>
#else
constexpr DWORD FILE_DEVICE_UNKNOWN = 0x00000022;
constexpr DWORD FILE_DEVICE_USB = FILE_DEVICE_UNKNOWN;
constexpr DWORD METHOD_BUFFERED = 0;
constexpr DWORD FILE_ANY_ACCESS = 0;
constexpr DWORD CTL_CODE(DWORD deviceType, DWORD function, DWORD method, DWORD access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
constexpr DWORD USB_CTL(DWORD id) { return CTL_CODE(FILE_DEVICE_USB, id, METHOD_BUFFERED, FILE_ANY_ACCESS); }

// Host controller requests.
constexpr DWORD IOCTL_USB_GET_ROOT_HUB_NAME = USB_CTL(258);
constexpr DWORD IOCTL_GET_HCD_DRIVERKEY_NAME = USB_CTL(265);
// Hub requests (the hub's function numbers overlap the controller's).
constexpr DWORD IOCTL_USB_GET_NODE_INFORMATION = USB_CTL(258);
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_INFORMATION = USB_CTL(259);
constexpr DWORD IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION = USB_CTL(260);
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_NAME = USB_CTL(261);
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME = USB_CTL(264);
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX = USB_CTL(274);

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;
constexpr UCHAR USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE = 0x0B;
constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;

enum USB_HUB_NODE { UsbHub, UsbMIParent };

enum USB_CONNECTION_STATUS {
  NoDeviceConnected,
  DeviceConnected,
  DeviceFailedEnumeration,
  DeviceGeneralFailure,
  DeviceCausedOvercurrent,
  DeviceNotEnoughPower,
  DeviceNotEnoughBandwidth,
  DeviceHubNestedTooDeeply,
  DeviceInLegacyHub,
  DeviceEnumerating,
  DeviceReset
};

enum USB_DEVICE_SPEED { UsbLowSpeed, UsbFullSpeed, UsbHighSpeed, UsbSuperSpeed };

#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
};

struct USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;
};

struct USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
};

struct USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
};

struct USB_HUB_DESCRIPTOR {
  UCHAR bDescriptorLength;
  UCHAR bDescriptorType;
  UCHAR bNumberOfPorts;
  USHORT wHubCharacteristics;
  UCHAR bPowerOnToPowerGood;
  UCHAR bHubControlCurrent;
  UCHAR bRemoveAndPowerMask[64];
};

struct USB_HUB_INFORMATION {
  USB_HUB_DESCRIPTOR HubDescriptor;
  BOOLEAN HubIsBusPowered;
};

struct USB_MI_PARENT_INFORMATION {
  ULONG NumberOfInterfaces;
};

struct USB_NODE_INFORMATION {
  USB_HUB_NODE NodeType;
  union {
    USB_HUB_INFORMATION HubInformation;
    USB_MI_PARENT_INFORMATION MiParentInformation;
  } u;
};

struct USB_PIPE_INFO {
  USB_ENDPOINT_DESCRIPTOR EndpointDescriptor;
  ULONG ScheduleOffset;
};

// The pipe list follows the record (the SDK declares it as a zero-length array).
struct USB_NODE_CONNECTION_INFORMATION {
  ULONG ConnectionIndex;
  USB_DEVICE_DESCRIPTOR DeviceDescriptor;
  UCHAR CurrentConfigurationValue;
  BOOLEAN LowSpeed;
  BOOLEAN DeviceIsHub;
  USHORT DeviceAddress;
  ULONG NumberOfOpenPipes;
  USB_CONNECTION_STATUS ConnectionStatus;
};

struct USB_NODE_CONNECTION_INFORMATION_EX {
  ULONG ConnectionIndex;
  USB_DEVICE_DESCRIPTOR DeviceDescriptor;
  UCHAR CurrentConfigurationValue;
  UCHAR Speed;
  BOOLEAN DeviceIsHub;
  USHORT DeviceAddress;
  ULONG NumberOfOpenPipes;
  USB_CONNECTION_STATUS ConnectionStatus;
};

struct USB_NODE_CONNECTION_NAME {
  ULONG ConnectionIndex;
  ULONG ActualLength;
  WCHAR NodeName[1];
};

struct USB_NODE_CONNECTION_DRIVERKEY_NAME {
  ULONG ConnectionIndex;
  ULONG ActualLength;
  WCHAR DriverKeyName[1];
};

struct USB_ROOT_HUB_NAME {
  ULONG ActualLength;
  WCHAR RootHubName[1];
};

struct USB_HCD_DRIVERKEY_NAME {
  ULONG ActualLength;
  WCHAR DriverKeyName[1];
};

// The descriptor data follows the setup packet.
struct USB_DESCRIPTOR_REQUEST {
  ULONG ConnectionIndex;
  struct {
    UCHAR bmRequest;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
  } SetupPacket;
};
#pragma pack(pop)
#endif

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR layout");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB_CONFIGURATION_DESCRIPTOR layout");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "USB_ENDPOINT_DESCRIPTOR layout");
static_assert(sizeof(USB_HUB_DESCRIPTOR) == 71, "USB_HUB_DESCRIPTOR layout");
static_assert(sizeof(USB_NODE_INFORMATION) == 76, "USB_NODE_INFORMATION layout");
static_assert(sizeof(USB_PIPE_INFO) == 11, "USB_PIPE_INFO layout");
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION) == 35, "USB_NODE_CONNECTION_INFORMATION layout");
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION_EX) == 35, "USB_NODE_CONNECTION_INFORMATION_EX layout");
static_assert(sizeof(USB_NODE_CONNECTION_NAME) == 10, "USB_NODE_CONNECTION_NAME layout");
static_assert(sizeof(USB_ROOT_HUB_NAME) == 6, "USB_ROOT_HUB_NAME layout");
static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == 12, "USB_DESCRIPTOR_REQUEST layout");
static_assert(IOCTL_GET_HCD_DRIVERKEY_NAME == 0x00220424 && IOCTL_USB_GET_ROOT_HUB_NAME == 0x00220408,
              "controller request codes");
static_assert(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX == 0x00220448 &&
                  IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION == 0x00220410 &&
                  IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME == 0x00220420,
              "hub request codes");
