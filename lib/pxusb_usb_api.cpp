#include "lib/pxusb_usb_api.h"

#include <chrono>

#include "platform/winapi.h"

// Sources: the WinUSB function pages (WinUsb_ReadPipe, WinUsb_ResetPipe: "clears the
// stall condition on a pipe", WinUsb_AbortPipe), "WinUSB functions for pipe policy
// modification" (PIPE_TRANSFER_TIMEOUT cancels a request that outlives it), "USBD_STATUS
// and NTSTATUS" of the USB driver stack (a stalled endpoint fails the URB with
// STATUS_UNSUCCESSFUL), "Handling an IRP_MN_SURPRISE_REMOVAL request" and WdfIoQueuePurge
// (a removed device's requests end as cancelled or with STATUS_INVALID_DEVICE_STATE,
// STATUS_NO_SUCH_DEVICE or STATUS_DEVICE_NOT_CONNECTED, later requests fail at once), and
// RtlNtStatusToDosError with "System Error Codes" for the Win32 codes these become:
//   https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_readpipe
//   https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_resetpipe
//   https://learn.microsoft.com/windows-hardware/drivers/usbcon/winusb-functions-for-pipe-policy-modification
//   https://learn.microsoft.com/windows-hardware/drivers/kernel/handling-an-irp-mn-surprise-removal-request
//   https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfio/nf-wdfio-wdfioqueuepurge
//   https://learn.microsoft.com/windows/win32/api/winternl/nf-winternl-rtlntstatustodoserror
//   https://learn.microsoft.com/windows/win32/debug/system-error-codes
// An OVERLAPPED request that fails at once and one that fails at completion carry the
// same codes, so one table serves both.
TpxTransferFault ClassifyTransferError(DWORD error) {
  switch (error) {
    case ERROR_GEN_FAILURE:           // 31, STATUS_UNSUCCESSFUL: the endpoint stalled
      return TpxTransferFault::Stall;
    case ERROR_SEM_TIMEOUT:           // 121, STATUS_IO_TIMEOUT: PIPE_TRANSFER_TIMEOUT ran out
    case ERROR_TIMEOUT:               // 1460
      return TpxTransferFault::Timeout;
    case ERROR_OPERATION_ABORTED:     // 995, STATUS_CANCELLED: AbortPipe, FlushPipe, CancelIo
      return TpxTransferFault::Cancelled;
    case ERROR_FILE_NOT_FOUND:        // 2, the device's file is gone
    case ERROR_INVALID_HANDLE:        // 6, the handles were closed
    case ERROR_BAD_COMMAND:           // 22, STATUS_INVALID_DEVICE_STATE: purged after removal
    case ERROR_DEV_NOT_EXIST:         // 55, STATUS_DEVICE_DOES_NOT_EXIST
    case ERROR_NO_SUCH_DEVICE:        // 433, STATUS_NO_SUCH_DEVICE
    case ERROR_DEVICE_NOT_CONNECTED:  // 1167, STATUS_DEVICE_NOT_CONNECTED
    case ERROR_DEVICE_REMOVED:        // 1617, STATUS_DEVICE_REMOVED
      return TpxTransferFault::DeviceGone;
    default:
      return TpxTransferFault::Unknown;
  }
}

void TpxUsbCallGate::Opened() {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& used : usedPipes_) used = false;
  state_ = kOpen;
}

bool TpxUsbCallGate::Enter(bool waitForEnd) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (state_ == kOpen || (waitForEnd && state_ == kClosing)) {
      ++inside_;
      return true;
    }
  }
  win::SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

void TpxUsbCallGate::Leave() {
  std::lock_guard<std::mutex> guard(lock_);
  if (--inside_ == 0) left_.notify_all();
}

void TpxUsbCallGate::Close(const std::function<void(PipeId)>& endTransfers) {
  std::unique_lock<std::mutex> guard(lock_);
  if (state_ == kClosed) return;
  state_ = kClosing;
  // A transfer issued just before closing began may start after an abort: abort again
  // until every call has left.
  while (inside_ > 0) {
    guard.unlock();
    for (int pipe = 0; pipe < 256; ++pipe) {
      if (usedPipes_[pipe]) endTransfers(static_cast<PipeId>(pipe));
    }
    guard.lock();
    left_.wait_for(guard, std::chrono::milliseconds(20), [&] { return inside_ == 0; });
  }
  state_ = kClosed;
}
