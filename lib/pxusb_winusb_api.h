// Devices served by the operating system's WinUSB driver, through Winusb.dll.
#pragma once

#include <array>
#include <atomic>
#include <vector>

#include "lib/pxusb_usb_api.h"
#include "platform/win32/winusb.h"

// Winusb.dll's entry points, bound at run time: false when the library or the entry
// point is missing. A failed load is tried again at the next call; the library stays
// loaded until the program ends.
BOOL WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle);
BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle);
BOOL WinUsb_GetAssociatedInterface(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AssociatedInterfaceIndex,
                                   PWINUSB_INTERFACE_HANDLE AssociatedInterfaceHandle);
BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                                   USB_INTERFACE_DESCRIPTOR* UsbAltInterfaceDescriptor);
BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber, UCHAR PipeIndex,
                      WINUSB_PIPE_INFORMATION* PipeInformation);
BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                      ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped);
BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                     ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped);
BOOL WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID);
BOOL WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID);
BOOL WinUsb_FlushPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID);
BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, ULONG PolicyType,
                          ULONG ValueLength, PVOID Value);
BOOL WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, ULONG PolicyType,
                          PULONG ValueLength, PVOID Value);
BOOL WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE InterfaceHandle, LPOVERLAPPED Overlapped,
                                LPDWORD NumberOfBytesTransferred, BOOL Wait);
BOOL WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE InterfaceHandle, WINUSB_SETUP_PACKET SetupPacket,
                            PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred,
                            LPOVERLAPPED Overlapped);

class TpxWinUsbApi : public TpxCustomUsbApi {
 public:
  // An object still open when it goes closes its device first.
  ~TpxWinUsbApi() override;

  HANDLE OpenDevice(const std::string& Path) override;
  void CloseDevice() override;
  DWORD WritePipe(PipeId Pipe, void* Buffer, DWORD Length, LPOVERLAPPED Overlapped) override;
  DWORD ReadPipe(PipeId Pipe, void* Buffer, DWORD Length, LPOVERLAPPED Overlapped) override;
  bool IsDeviceOpen() override;
  bool ResetPipe(PipeId Pipe) override;
  bool AbortPipe(PipeId Pipe) override;
  bool FlushPipe(PipeId Pipe) override;
  bool ControlTransfer(TpxUsbControlRequest& Request, DWORD& Transferred,
                       LPOVERLAPPED Overlapped) override;
  bool GetOverlappedResult(LPOVERLAPPED Overlapped, DWORD& Transferred, DWORD Timeout) override;
  bool SetPipeTimeout(PipeId Pipe, DWORD Milliseconds) override;
  // Raw I/O on the pipe for more than one read queued, where the read length allows it.
  void PrepareReadQueue(PipeId Pipe, DWORD Length, DWORD Depth) override;

 private:
  using Transfer = BOOL (*)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
  DWORD Move(Transfer transfer, const char* failure, PipeId Pipe, void* Buffer, DWORD Length,
             LPOVERLAPPED Overlapped);
  // A function of several interfaces (a composite device's): the further interfaces'
  // handles, and which pipe lies on which of them.
  void OpenAssociatedInterfaces();
  // The handle of the interface that `Pipe` lies on: the first one unless an
  // associated interface has it.
  WINUSB_INTERFACE_HANDLE InterfaceOf(PipeId Pipe) const;

  // Read by the reader thread while the main thread closes.
  std::atomic<HANDLE> FDevice{INVALID_HANDLE_VALUE};
  std::atomic<WINUSB_INTERFACE_HANDLE> FInterface{INVALID_HANDLE_VALUE};
  TpxUsbCallGate FCalls;
  // Set while opening, before calls are let in; read inside calls only.
  std::vector<WINUSB_INTERFACE_HANDLE> FAssociated;
  std::array<WINUSB_INTERFACE_HANDLE, 256> FPipeInterface{};
  // Pipes with raw I/O on, since the open (a new handle starts with it off).
  std::array<std::atomic<bool>, 256> FRawIo{};
};
