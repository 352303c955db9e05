#include "lib/pxusbpipe.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

constexpr DWORD kMinReadSize = 128;
// Larger values are read in blocks of this size: the buffer stays allocatable, and
// its size plus the spare byte cannot wrap.
constexpr DWORD kMaxReadSize = 1u << 20;
// A read that fails at once is tried again after this pause: a few tries a second.
constexpr auto kRetryPause = std::chrono::milliseconds(250);

std::string SysErrorMessage(DWORD code) {
  char text[512] = {};
  DWORD length = win::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     code, 0, text, sizeof text, nullptr);
  return Trim(std::string(text, length));
}

// Errors of a device that is gone (unplugged, or its handles closed): reading on is
// pointless.
bool DeviceGone(DWORD error) {
  switch (error) {
    case ERROR_INVALID_HANDLE:        // the access object closed its handles
    case ERROR_BAD_COMMAND:           // requests to a removed device
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

// True when the transfer that was left running on `record` has ended: the record
// may be reused, and its buffer released. Only for a transfer that was left pending:
// one that failed at once never ends.
bool Ended(HANDLE device, OVERLAPPED& record) {
  DWORD count = 0;
  return win::GetOverlappedResult(device, &record, &count, FALSE) ||
         win::GetLastError() != ERROR_IO_INCOMPLETE;
}

// Waits for the end of the transfer left running on `record`. The access object's wait
// may give up early (its device closed meanwhile); the record's own completion does not.
DWORD AwaitTransfer(TpxCustomUsbApi& api, HANDLE device, OVERLAPPED& record) {
  DWORD count = 0;
  if (api.GetOverlappedResult(&record, count, INFINITE)) return count;
  DWORD error = win::GetLastError();
  if (!Ended(device, record)) win::GetOverlappedResult(device, &record, &count, TRUE);
  win::SetLastError(error);
  return 0;
}

HANDLE AsHandle(std::int32_t handle) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(handle)); }

}  // namespace

TpxUSBPipePair::TpxUSBPipePair(TComponent* owner)
    : TpxBaseIO(owner), usbDevice_(dynamic_cast<TpxUSB*>(owner)) {
  UseReader = true;
}

void TpxUSBPipePair::SetUsbDevice(TpxUSB* device) {
  usbDevice_ = device;
  if (device) FreeNotification(device);
  ResolvePipes();
}

void TpxUSBPipePair::SetPipeIn(std::int32_t index) {
  pipeIn_ = index;
  ResolvePipes();
}

void TpxUSBPipePair::SetPipeOut(std::int32_t index) {
  pipeOut_ = index;
  ResolvePipes();
}

void TpxUSBPipePair::ResolvePipes() {
  inPipeId_ = 0;
  outPipeId_ = 0;
  TpxUSB* usb = usbDevice_;
  TpxUsbDevice* device = usb ? usb->SelectedDevice() : nullptr;
  if (!device) return;
  // The directions are the form's business.
  if (TpxUsbPipe* pipe = device->Pipes(pipeIn_)) inPipeId_ = pipe->EndpointAddress();
  if (TpxUsbPipe* pipe = device->Pipes(pipeOut_)) outPipeId_ = pipe->EndpointAddress();
}

void TpxUSBPipePair::ApplyTimeouts() {
  std::shared_ptr<TpxCustomUsbApi> api = Api();
  if (!api) return;
  api->SetPipeTimeout(outPipeId_, timeoutWrite_);
  api->SetPipeTimeout(inPipeId_, timeoutRead_);
}

std::int32_t TpxUSBPipePair::DoOpen() {
  ResolvePipes();
  if (inPipeId_ == 0 && outPipeId_ == 0) throw Exception("Pipe IDs are wrong.");
  TpxUSB* usb = usbDevice_;
  if (!usb->IsOpen()) return -1;
  std::atomic_store(&api_, usb->SharedUsbApi());
  ApplyTimeouts();
  return usb->Handle();
}

void TpxUSBPipePair::Open() {
  // The reader of an earlier open must not read on, nor race the new one for data.
  ReleaseReader();
  UseReader = HasReceivers();
  TpxBaseIO::Open();
}

void TpxUSBPipePair::Close() {
  SetReaderStopped();
  WakeReader();
  TpxBaseIO::Close();
}

void TpxUSBPipePair::ReleaseReader() {
  SetReaderStopped();
  WakeReader();
  if (run_.api && run_.pipe) run_.api->AbortPipe(run_.pipe);
  WaitForReaders();
  run_ = ReaderRun();
}

void TpxUSBPipePair::BeforeDestruction() {
  ReleaseReader();
  TpxBaseIO::BeforeDestruction();
}

void TpxUSBPipePair::Notification(TComponent* component, TOperation operation) {
  TpxBaseIO::Notification(component, operation);
  if (operation != opRemove || !component || component != usbDevice_) return;
  // The device component is going: the pair ends its reader, closes and forgets it.
  ReleaseReader();
  Close();
  usbDevice_ = nullptr;
  ResolvePipes();
}

void TpxUSBPipePair::StartThread() {
  run_ = ReaderRun{Api(), inPipeId_, AsHandle(Handle())};
  TpxBaseIO::StartThread();
}

void TpxUSBPipePair::ThreadExecute(TpxThreadIO*) {
  // The main thread changes run_ only once this reader has ended.
  ReadLoop(run_);
  SetReaderStopped();
}

void TpxUSBPipePair::ReadLoop(const ReaderRun& run) {
  if (!run.api || run.pipe == 0) return;
  DWORD size = std::clamp<DWORD>(readBufferSize_, kMinReadSize, kMaxReadSize);
  // One spare byte: the terminal path stores a zero behind the data.
  std::vector<char> buffer(size + 1);
  TpxOwnedHandle event(win::CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!event) return;
  OVERLAPPED record{};
  record.hEvent = event.get();
  TpxCustomUsbApi& api = *run.api;
  // A transfer on `record` was left running (ERROR_IO_PENDING) and has not ended yet:
  // what the reader knows, never guessed from the record.
  bool inFlight = false;
  while (!ReaderStopped() && api.IsDeviceOpen()) {
    record.Internal = 0;
    record.InternalHigh = 0;
    record.Offset = 0;
    record.OffsetHigh = 0;
    // The read itself has no time-out: TimeoutRead applies only until the reader starts.
    api.SetPipeTimeout(run.pipe, 0);
    win::SetLastError(ERROR_SUCCESS);
    DWORD count = api.ReadPipe(run.pipe, buffer.data(), size, &record);
    DWORD error = win::GetLastError();
    if (count == 0 && error == ERROR_IO_PENDING) inFlight = true;
    if (ReaderStopped()) break;
    if (inFlight) {
      bool done = api.GetOverlappedResult(&record, count, INFINITE);
      error = win::GetLastError();
      inFlight = !Ended(run.device, record);
      if (ReaderStopped()) break;
      // A wait that returned before its read ended must not lead to a second read on
      // the same record and buffer.
      if (inFlight || (!done && error != ERROR_IO_PENDING)) break;
    } else if (count == 0 && error != ERROR_SUCCESS) {
      // Failed at once: nothing runs on the record. A device that is gone ends the
      // reader; anything else (a refused or stalled pipe) is tried again after a pause.
      if (DeviceGone(error)) break;
      PauseReader();
      continue;
    }
    // A count above the request is an untrusted reply: the block is dropped.
    if (count > 0 && count <= size) DoReceive(buffer.data(), count);
  }
  // A read still running would write into the buffer after it is gone.
  if (inFlight && !Ended(run.device, record)) {
    api.AbortPipe(run.pipe);
    DWORD count = 0;
    win::GetOverlappedResult(run.device, &record, &count, TRUE);
  }
}

void TpxUSBPipePair::PauseReader() {
  std::unique_lock<std::mutex> guard(pauseLock_);
  readerWake_.wait_for(guard, kRetryPause, [this] { return ReaderStopped(); });
}

void TpxUSBPipePair::WakeReader() {
  std::lock_guard<std::mutex> guard(pauseLock_);
  readerWake_.notify_all();
}

bool TpxUSBPipePair::Sending(TpxCustomUsbApi* api, PipeId out) const {
  // Once the USB component closed, its old access object sends nothing.
  return IsOpen() && out != 0 && api && api->IsDeviceOpen();
}

void TpxUSBPipePair::SendChar(char ch) {
  std::shared_ptr<TpxCustomUsbApi> api = Api();
  PipeId out = outPipeId_;
  if (!Sending(api.get(), out)) return;
  BYTE byte = static_cast<BYTE>(ch);
  if (api->WritePipe(out, &byte, 1, nullptr) == 0) {
    win::OutputDebugStringA(("ERROR:" + SysErrorMessage(win::GetLastError())).c_str());
  }
}

DWORD TpxUSBPipePair::SendString(const std::string& text) {
  std::shared_ptr<TpxCustomUsbApi> api = Api();
  PipeId out = outPipeId_;
  if (!Sending(api.get(), out)) return 0;
  return api->WritePipe(out, const_cast<char*>(text.data()), static_cast<DWORD>(text.size()), nullptr);
}

DWORD TpxUSBPipePair::SendBuffer(void* buffer, DWORD count) {
  std::shared_ptr<TpxCustomUsbApi> api = Api();
  PipeId out = outPipeId_;
  if (!Sending(api.get(), out)) return 0;
  std::lock_guard<std::mutex> guard(writeLock_);
  OVERLAPPED& record = WriteRecord();
  DWORD written = api->WritePipe(out, buffer, count, &record);
  if (written == 0 && win::GetLastError() == ERROR_IO_PENDING) {
    written = AwaitTransfer(*api, AsHandle(Handle()), record);
  }
  return written;
}

const TClassInfo& TpxUSBPipePair::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TpxUSBPipePair, TpxBaseIO>("TpxUSBPipePair", [](TClassInfo& c) {
    TpxBaseIO::Publish(c, {"Active", "DataProcessor", "Terminal", "TerminalUsage", "Log", "OnFatalError"});
    c.Property("UsbDevice", &TpxUSBPipePair::UsbDevice, &TpxUSBPipePair::SetUsbDevice)
        .Property("PipeIn", &TpxUSBPipePair::PipeIn, &TpxUSBPipePair::SetPipeIn)
        .Property("PipeOut", &TpxUSBPipePair::PipeOut, &TpxUSBPipePair::SetPipeOut)
        .Property("TimeoutRead", &TpxUSBPipePair::TimeoutRead, &TpxUSBPipePair::SetTimeoutRead)
        .Property("TimeoutWrite", &TpxUSBPipePair::TimeoutWrite, &TpxUSBPipePair::SetTimeoutWrite)
        .Property("ReadBufferSize", &TpxUSBPipePair::ReadBufferSize, &TpxUSBPipePair::SetReadBufferSize);
    TpxBaseIO::Publish(c, {"UseMainThread", "Priority", "OnAfterReceive"});
  });
  return info;
}
