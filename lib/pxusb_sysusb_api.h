// Devices served by the library's own kernel driver, service "pxusb": every pipe
// operation is one device I/O control request on the device handle.
#pragma once

#include <array>
#include <atomic>

#include "driver/pxusbwire.h"
#include "lib/pxusb_usb_api.h"

// The request codes, the record and the caps are the driver's (driver/pxusbwire.h); a
// control-out record carries the data stage behind it. Control transfers run with
// this time-out.
constexpr DWORD kPxusbRecordSize = sizeof(PXUSB_RECORD);
constexpr DWORD kPxusbControlTimeout = 5000;

class TpxSysUsbApi : public TpxCustomUsbApi {
 public:
  // An object still open when it goes closes its device first.
  ~TpxSysUsbApi() override;

  HANDLE OpenDevice(const std::string& Path) override;
  void CloseDevice() override;
  // A write ended early (time-out, abort, unplug, close) returns the bytes the device
  // took, with the error as last error; one longer than PXUSB_MAX_TRANSFER is refused
  // (ERROR_INVALID_PARAMETER), a read asks for at most that much.
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

  // Sends one request. Without the caller's record it uses a record and event of its
  // own and waits for the end; with one, a pending request goes on (false, last error
  // ERROR_IO_PENDING).
  bool DeviceRequest(DWORD Code, void* Input, DWORD InputSize, void* Output, DWORD OutputSize,
                     LPOVERLAPPED Overlapped, DWORD& Returned);

 private:
  PXUSB_RECORD MakePipeRecord(PipeId Pipe) const;
  // A pipe request carrying the caller's data, and one without data that completes
  // before it returns.
  DWORD PipeTransfer(DWORD Code, PipeId Pipe, void* Buffer, DWORD Length, LPOVERLAPPED Overlapped);
  bool PipeControl(DWORD Code, PipeId Pipe);
  bool SendPipeControl(DWORD Code, PipeId Pipe);

  std::atomic<HANDLE> FDevice{INVALID_HANDLE_VALUE};
  TpxUsbCallGate FCalls;
  // Per pipe, the transfer time-out its requests carry. The reader thread writes the
  // IN pipe's entry while the main thread reads the OUT pipe's.
  std::array<std::atomic<DWORD>, 256> FTimeouts{};
};
