// The pipe pair: reads one IN pipe of an open TpxUSB on a reader thread and writes
// one OUT pipe on demand, through the USB component's access object.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "lib/pxclasses.h"
#include "lib/pxusb.h"

// Open the TpxUSB first, then the pair; close the pair first. The pair borrows the
// USB component's handle and access object and never closes the device itself.
class TpxUSBPipePair : public TpxBaseIO {
 public:
  // An owner that is a TpxUSB becomes the UsbDevice.
  explicit TpxUSBPipePair(TComponent* owner);
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
  // Reads request this many bytes, but at least 128 and at most 1 MiB.
  DWORD ReadBufferSize() const { return readBufferSize_; }
  void SetReadBufferSize(DWORD size) { readBufferSize_ = size; }

  // Endpoint addresses of PipeIn and PipeOut on the selected device; 0: none.
  PipeId InPipeId() const { return inPipeId_; }
  PipeId OutPipeId() const { return outPipeId_; }
  void ResolvePipes();
  void ApplyTimeouts();

  void Open() override;
  // Does not wait for the reader: it leaves when its pending read ends.
  void Close() override;
  // A character that cannot be sent leaves an "ERROR:" line in the debugger output.
  void SendChar(char ch) override;
  DWORD SendString(const std::string& text) override;
  // Returns when the write has ended (bounded by TimeoutWrite): the record and the
  // caller's buffer are free again.
  DWORD SendBuffer(void* buffer, DWORD count) override;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  void BeforeDestruction() override;
  std::int32_t DoOpen() override;
  void DoClose(std::int32_t handle) override {}
  void StartThread() override;
  void ThreadExecute(TpxThreadIO* thread) override;

 private:
  // What a reader run works with, fixed when it starts.
  struct ReaderRun {
    std::shared_ptr<TpxCustomUsbApi> api;
    PipeId pipe = 0;
    HANDLE device = INVALID_HANDLE_VALUE;
  };

  std::shared_ptr<TpxCustomUsbApi> Api() const { return std::atomic_load(&api_); }
  // Stops the reader of the last open, cancels its read and waits for its end.
  void ReleaseReader();
  void ReadLoop(const ReaderRun& run);
  // The reader's pause after a failed read; ends early when the reader is stopped.
  void PauseReader();
  void WakeReader();
  bool Sending(TpxCustomUsbApi* api, PipeId out) const;

  std::atomic<TpxUSB*> usbDevice_{nullptr};
  std::int32_t pipeIn_ = -1;
  std::int32_t pipeOut_ = -1;
  std::atomic<PipeId> inPipeId_{0};
  std::atomic<PipeId> outPipeId_{0};
  std::atomic<DWORD> timeoutWrite_{0};
  std::atomic<DWORD> timeoutRead_{0};
  std::atomic<DWORD> readBufferSize_{512};
  // The USB component's access object as it was at the last open.
  std::shared_ptr<TpxCustomUsbApi> api_;
  ReaderRun run_;
  // SendBuffer's calls share the write record.
  std::mutex writeLock_;
  std::mutex pauseLock_;
  std::condition_variable readerWake_;
};
