// The operation set on an open USB device, with one implementation over WinUSB and
// one over the pxusb kernel driver.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "framework/sysutils.h"
#include "platform/win32.h"

// A pipe is named by its endpoint address: bit 7 set for IN.
using PipeId = BYTE;

#pragma pack(push, 1)
// One control transfer on the default pipe.
struct TpxUsbControlRequest {
  DWORD RequestType;  // 0 standard, 1 class, 2 vendor
  DWORD Direction;    // 0 host-to-device, 1 device-to-host
  DWORD Recipient;    // 0 device, 1 interface, 2 endpoint, 3 other
  BYTE Request;
  WORD Value;
  WORD Index;
  WORD Length;  // bytes of the data stage
  void* Buffer;  // at least Length bytes
};
#pragma pack(pop)
static_assert(sizeof(TpxUsbControlRequest) == 19 + sizeof(void*), "packed control request");

// What a failed transfer's Win32 error says about its pipe and device, the same for
// both bindings, whether the error came at once or at completion.
enum class TpxTransferFault {
  Stall,       // the endpoint halted: clear the halt (ResetPipe), then go on
  Timeout,     // the pipe's transfer time-out ran out; the pipe works
  Cancelled,   // an abort or cancel ended it; the pipe works
  DeviceGone,  // the device was removed or its handles closed: nothing more will work
  Unknown,     // anything else
};
TpxTransferFault ClassifyTransferError(DWORD error);

// Without an overlapped record an operation completes before it returns; with one it
// may still run, and GetOverlappedResult on the same record completes it. When a read
// or write returns 0 the thread's last error is the request's (ERROR_IO_PENDING while
// it runs). CloseDevice ends every transfer still in progress.
class TpxCustomUsbApi : public TObject {
 public:
  // The device file handle, INVALID_HANDLE_VALUE on failure.
  virtual HANDLE OpenDevice(const std::string& Path) = 0;
  virtual void CloseDevice() = 0;
  // Bytes moved when the request completed at once, else 0.
  virtual DWORD WritePipe(PipeId Pipe, void* Buffer, DWORD Length, LPOVERLAPPED Overlapped) = 0;
  virtual DWORD ReadPipe(PipeId Pipe, void* Buffer, DWORD Length, LPOVERLAPPED Overlapped) = 0;
  virtual bool IsDeviceOpen() = 0;
  virtual bool ResetPipe(PipeId Pipe) = 0;
  virtual bool AbortPipe(PipeId Pipe) = 0;
  virtual bool FlushPipe(PipeId Pipe) = 0;
  virtual bool ControlTransfer(TpxUsbControlRequest& Request, DWORD& Transferred,
                               LPOVERLAPPED Overlapped) = 0;
  virtual bool GetOverlappedResult(LPOVERLAPPED Overlapped, DWORD& Transferred, DWORD Timeout) = 0;
  // 0: the pipe's transfers never time out.
  virtual bool SetPipeTimeout(PipeId Pipe, DWORD Milliseconds) = 0;
  // Readies the IN pipe for `Depth` reads of `Length` bytes each kept queued at once,
  // where the binding has a means to (reads work either way).
  virtual void PrepareReadQueue(PipeId Pipe, DWORD Length, DWORD Depth) {}
};

// The calls inside an open device's handles. A reader thread may be inside a transfer
// or its wait when the main thread closes the device; closing ends those transfers and
// waits for every such call to leave before the handles are freed.
class TpxUsbCallGate {
 public:
  // One call using the handles, for as long as it lives. New transfers are refused once
  // closing began; waits for transfers issued before (`waitForEnd`) are still let in, as
  // closing ends them.
  class Use {
   public:
    explicit Use(TpxUsbCallGate& gate, bool waitForEnd = false) : gate_(gate), in_(gate.Enter(waitForEnd)) {}
    ~Use() {
      if (in_) gate_.Leave();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    // False: the device is not open (the last error says ERROR_INVALID_HANDLE).
    explicit operator bool() const { return in_; }

   private:
    TpxUsbCallGate& gate_;
    bool in_;
  };

  bool IsOpen() const { return state_ == kOpen; }
  // The handles are open: calls are let in.
  void Opened();
  // A transfer went to `pipe`: closing ends what still runs there.
  void NotePipe(PipeId pipe) { usedPipes_[pipe] = true; }
  // Refuses new calls, then runs `endTransfers` for the pipes transfers went to until
  // no call is inside any more. Afterwards the handles may be freed.
  void Close(const std::function<void(PipeId)>& endTransfers);

 private:
  enum State { kClosed, kOpen, kClosing };
  bool Enter(bool waitForEnd);
  void Leave();

  std::mutex lock_;
  std::condition_variable left_;
  std::atomic<State> state_{kClosed};
  int inside_ = 0;
  std::array<std::atomic<bool>, 256> usedPipes_{};
};
