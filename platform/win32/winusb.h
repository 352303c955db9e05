// WinUSB: interface handles, setup packets and pipe policies. Winusb.dll is bound at
// run time, so the SDK's winusb.h (which declares the entry points as imports) is
// not used on any platform: the same layouts are declared here.
#pragma once

#include "platform/win32/base.h"
#include "platform/win32/kernel.h"
#include "platform/win32/usb.h"

using WINUSB_INTERFACE_HANDLE = PVOID;
using PWINUSB_INTERFACE_HANDLE = WINUSB_INTERFACE_HANDLE*;

#pragma pack(push, 1)
struct WINUSB_SETUP_PACKET {
  UCHAR RequestType;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Length;
};
#pragma pack(pop)

constexpr ULONG SHORT_PACKET_TERMINATE = 0x01;
constexpr ULONG AUTO_CLEAR_STALL = 0x02;
constexpr ULONG PIPE_TRANSFER_TIMEOUT = 0x03;
constexpr ULONG IGNORE_SHORT_PACKETS = 0x04;
constexpr ULONG ALLOW_PARTIAL_READS = 0x05;
constexpr ULONG AUTO_FLUSH = 0x06;
constexpr ULONG RAW_IO = 0x07;
constexpr ULONG MAXIMUM_TRANSFER_SIZE = 0x08;

static_assert(sizeof(WINUSB_SETUP_PACKET) == 8, "WINUSB_SETUP_PACKET layout");

enum USBD_PIPE_TYPE { UsbdPipeTypeControl, UsbdPipeTypeIsochronous, UsbdPipeTypeBulk, UsbdPipeTypeInterrupt };

struct WINUSB_PIPE_INFORMATION {
  USBD_PIPE_TYPE PipeType;
  UCHAR PipeId;
  USHORT MaximumPacketSize;
  UCHAR Interval;
};

// The Winusb.dll entry points the library binds.
using WinUsb_InitializeFn = BOOL(WINAPI*)(HANDLE, PWINUSB_INTERFACE_HANDLE);
using WinUsb_FreeFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE);
using WinUsb_GetAssociatedInterfaceFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, PWINUSB_INTERFACE_HANDLE);
using WinUsb_QueryInterfaceSettingsFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, USB_INTERFACE_DESCRIPTOR*);
using WinUsb_QueryPipeFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR, WINUSB_PIPE_INFORMATION*);
using WinUsb_TransferFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG,
                                        LPOVERLAPPED);
using WinUsb_PipeFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR);
using WinUsb_SetPipePolicyFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, ULONG, PVOID);
using WinUsb_GetOverlappedResultFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED, LPDWORD,
                                                   BOOL);
using WinUsb_ControlTransferFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET, PUCHAR,
                                               ULONG, PULONG, LPOVERLAPPED);
