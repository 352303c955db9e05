// The pipe pair: reads one IN pipe of an open TpxUSB on a reader thread and writes
// one OUT pipe on demand, through the USB component's access object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "lib/pxclasses.h"
#include "lib/pxusb.h"

// Open the TpxUSB first, then the pair; close the pair first. The pair borrows the
// USB component's handle and access object and never closes the device itself.
class TpxUSBPipePair : public TpxBaseIO {
 public:
  // An owner that is a TpxUSB becomes the UsbDevice.
  explicit TpxUSBPipePair(TComponent* owner);
  ~TpxUSBPipePair() override;
  static const TClassInfo& ClassInfo();

  TpxUSB* UsbDevice() const { return usbDevice_; }
  void SetUsbDevice(TpxUSB* device);
  // Positions in the selected device's Pipes; -1: none.
  std::int32_t PipeIn() const { return pipeIn_; }
  void SetPipeIn(std::int32_t index);
  std::int32_t PipeOut() const { return pipeOut_; }
  void SetPipeOut(std::int32_t index);
  DWORD TimeoutRead() const { return timeoutRead_; }
  void SetTimeoutRead(DWORD ms) { timeoutRead_ = ms; }
  DWORD TimeoutWrite() const { return timeoutWrite_; }
  void SetTimeoutWrite(DWORD ms) { timeoutWrite_ = ms; }
  // Reads request this many bytes, but at least 128 (or one packet of a pipe whose
  // packets are smaller) and at most 1 MiB, in whole packets of the IN pipe once that
  // is a packet or more. A read ends on a short packet or a full buffer: for a device
  // that sends data filling whole packets without a zero-length packet behind them,
  // set one packet (the pipe's MaxPacketSize) so that each packet arrives as it comes.
  DWORD ReadBufferSize() const { return readBufferSize_; }
  void SetReadBufferSize(DWORD size) { readBufferSize_ = size; }
  // How many reads the reader keeps queued on the IN pipe, each with its own buffer, so
  // that a fast device finds the next read waiting (1 to 64; 1: one read at a time).
  // Blocks are delivered in the order of the data; a change applies from the next open.
  DWORD ReadsInFlight() const { return readsInFlight_; }
  void SetReadsInFlight(DWORD count) { readsInFlight_ = count; }

  // Endpoint addresses of PipeIn and PipeOut on the selected device; 0: none.
  PipeId InPipeId() const { return inPipeId_; }
  PipeId OutPipeId() const { return outPipeId_; }
  void ResolvePipes();
  void ApplyTimeouts();

  void Open() override;
  // Stops the reader and aborts its read on the IN pipe, so no later block is taken
  // and dropped. Waits for the reader's end for at most a short bound, serving the
  // reader's hand-overs meanwhile; from inside a handler of the reader it cannot wait,
  // and that reader ends as soon as the handler returns.
  void Close() override;
  // Every send returns when its write has ended (bounded by TimeoutWrite); on the main
  // thread the wait serves the reader's hand-overs, so a device that takes no more OUT
  // data until its IN data are read does not block the program.
  // A character that cannot be sent leaves an "ERROR:" line in the debugger output.
  void SendChar(char ch) override;
  DWORD SendString(const std::string& text) override;
  DWORD SendBuffer(void* buffer, DWORD count) override;

  // The reader judges every failed read by ClassifyTransferError, whether it failed at
  // once or at completion: a stall (after clearing the halt), a time-out or a cancel
  // nobody asked for is read again a few times a second, up to about two seconds in a
  // row; a device that is gone ends the reader at once; an unknown error after three
  // tries. An end nobody asked for closes the pair (Active reads false) and is then
  // reported on the main thread through OnFatalError with this error code and the
  // Windows error as its detail, with the level-0 log line "Fatal Error: ...", and,
  // unless the handler clears the flag, shown to the user as an unhandled error is.
  static constexpr DWORD kReadFailed = 9;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  void BeforeDestruction() override;
  std::int32_t DoOpen() override;
  void DoClose(std::int32_t handle) override {}
  void StartThread() override;
  void ThreadExecute(TpxThreadIO* thread) override;

 private:
  struct ReaderRun;

  std::shared_ptr<TpxCustomUsbApi> Api() const { return std::atomic_load(&api_); }
  // Stops the reader of the last open and aborts its read; waits for its end for at
  // most kCloseBound.
  void ReleaseReader();
  // The reader's loop; returns the Windows error that ended it unasked, or 0.
  DWORD ReadLoop(ReaderRun& run);
  // On the main thread: a reader run ended with `error` without being asked.
  void ReaderEnded(TMessage& message);
  // Whether sends go out: the pair is open on an open device and has an OUT pipe.
  bool Sending() const;
  // Writes to the OUT pipe and waits for the end; the last error is the write's.
  DWORD Write(const void* data, DWORD count);

  std::atomic<TpxUSB*> usbDevice_{nullptr};
  std::int32_t pipeIn_ = -1;
  std::int32_t pipeOut_ = -1;
  std::atomic<PipeId> inPipeId_{0};
  std::atomic<DWORD> inPacketSize_{0};  // the IN pipe's wMaxPacketSize; 0: unknown
  std::atomic<PipeId> outPipeId_{0};
  std::atomic<DWORD> timeoutWrite_{0};
  std::atomic<DWORD> timeoutRead_{0};
  std::atomic<DWORD> readBufferSize_{512};
  std::atomic<DWORD> readsInFlight_{1};
  // The USB component's access object as it was at the last open.
  std::shared_ptr<TpxCustomUsbApi> api_;
  // The run of the reader of the last open; each reader keeps its own.
  std::shared_ptr<ReaderRun> run_;
  // Handlers on a reader thread may open the pair again.
  std::atomic<std::uint32_t> runNumber_{0};
  // Receives the reports of readers that ended, on the main thread.
  HWND reportWindow_ = nullptr;
};
