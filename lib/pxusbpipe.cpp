#include "lib/pxusbpipe.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "framework/controls.h"

namespace {

constexpr DWORD kMinReadSize = 128;
// Larger values are read in blocks of this size: the buffer stays allocatable, and
// its size plus the spare byte cannot wrap.
constexpr DWORD kMaxReadSize = 1u << 20;
// Reads the reader keeps queued at most (each with a buffer of up to kMaxReadSize).
constexpr DWORD kMaxReadsInFlight = 64;
// A failed read is tried again after this pause: a few tries a second.
constexpr auto kRetryPause = std::chrono::milliseconds(250);
// Failed reads in a row after which the reader gives up: for stalls, time-outs and
// cancels nobody asked for (about two seconds), and for errors of no known meaning.
constexpr int kTransientTries = 8;
constexpr int kUnknownTries = 3;
// How long Close waits for its reader, and how often it aborts the read meanwhile.
constexpr DWORD kCloseBound = 2000;
constexpr DWORD kAbortSlice = 20;
// Posted to the pair's report window: a reader run ended unasked (WPARAM the Windows
// error, LPARAM the run's number).
constexpr UINT kReaderEnded = WM_APP + 0x21;

std::string SysErrorMessage(DWORD code) {
  char text[512] = {};
  DWORD length = win::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     code, 0, text, sizeof text, nullptr);
  return Trim(std::string(text, length));
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

// One read of the reader's queue, with its own buffer and record.
struct QueuedRead {
  std::vector<char> buffer;
  TpxOwnedHandle event;
  OVERLAPPED record{};
  // Left running on the record: only its completion ends it, never guessed.
  bool running = false;
  DWORD count = 0;
  DWORD error = ERROR_SUCCESS;
  std::uint32_t recovery = 0;  // the reader's pauses after failures when it was started
};

// What a read asks for: ReadBufferSize, at least 128 (or one packet, when the pipe's
// packets are smaller) and at most 1 MiB, and whole packets once it is a packet or
// more, as raw I/O needs them. A read ends on a short packet or a full buffer only, so
// a device that sends whole packets without a zero-length packet behind them needs a
// ReadBufferSize of one packet to have each of them delivered as it comes.
DWORD ReadSize(DWORD bufferSize, DWORD packet) {
  DWORD size = std::clamp<DWORD>(bufferSize, packet ? std::min(packet, kMinReadSize) : kMinReadSize, kMaxReadSize);
  return packet && size >= packet ? size - size % packet : size;
}

HANDLE AsHandle(std::int32_t handle) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(handle)); }

}  // namespace

// One reader's run: what it works with, fixed when it starts, and its own stop flag.
// The reader holds it for as long as it runs, also when the pair is freed meanwhile.
struct TpxUSBPipePair::ReaderRun {
  std::shared_ptr<TpxCustomUsbApi> api;
  PipeId pipe = 0;
  DWORD readSize = 0;
  HANDLE device = INVALID_HANDLE_VALUE;
  HWND reportTo = nullptr;
  std::uint32_t number = 0;
  std::atomic<bool> stopped{false};
  std::atomic<std::uint32_t> stops{0};  // Stop calls so far
  std::atomic<bool> ended{false};
  // A read that completes with data after the stop (a cancel may lose that race on
  // Windows) is handed on while the closer still waits for the reader, never after it
  // gave up waiting: the pair may be gone by then.
  enum LateBlock { kWelcome, kDelivering, kRefused };
  std::atomic<int> late{kWelcome};
  std::mutex lock;
  std::condition_variable wake;

  void Stop() {
    {
      std::lock_guard<std::mutex> guard(lock);
      stopped = true;
      ++stops;
    }
    wake.notify_all();
  }
  // Claims the hand-over of blocks read after the stop; false when the closer gave up.
  bool ClaimLateBlock() {
    int welcome = kWelcome;
    return late.compare_exchange_strong(welcome, kDelivering) || welcome == kDelivering;
  }
  // The closer gives up waiting, unless a late block is being handed on now: true then.
  bool Delivering() {
    int welcome = kWelcome;
    return !late.compare_exchange_strong(welcome, kRefused) && welcome == kDelivering;
  }
  // The pause after a failed read; false when the run was stopped meanwhile.
  bool Pause() {
    std::unique_lock<std::mutex> guard(lock);
    return !wake.wait_for(guard, kRetryPause, [this] { return stopped.load(); });
  }
};

TpxUSBPipePair::TpxUSBPipePair(TComponent* owner)
    : TpxBaseIO(owner), usbDevice_(dynamic_cast<TpxUSB*>(owner)) {
  UseReader = true;
}

TpxUSBPipePair::~TpxUSBPipePair() { DeallocateHWnd(reportWindow_); }

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
  inPacketSize_ = 0;
  outPipeId_ = 0;
  TpxUSB* usb = usbDevice_;
  TpxUsbDevice* device = usb ? usb->SelectedDevice() : nullptr;
  if (!device) return;
  // The directions are the form's business.
  if (TpxUsbPipe* pipe = device->Pipes(pipeIn_)) {
    inPipeId_ = pipe->EndpointAddress();
    inPacketSize_ = pipe->MaxPacketSize();
  }
  if (TpxUsbPipe* pipe = device->Pipes(pipeOut_)) outPipeId_ = pipe->EndpointAddress();
}

void TpxUSBPipePair::ApplyTimeouts() {
  std::shared_ptr<TpxCustomUsbApi> api = Api();
  if (!api) return;
  // Id 0 is the default control pipe, not a pipe of the pair: its own time-out (5 s
  // under WinUSB) keeps control transfers, and so closing, bounded.
  if (outPipeId_) api->SetPipeTimeout(outPipeId_, timeoutWrite_);
  if (inPipeId_) api->SetPipeTimeout(inPipeId_, timeoutRead_);
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
  // Made at the first open, on the thread that opens (the main thread). Where no window
  // can be made (a process without a desktop), unasked ends go unreported.
  if (!reportWindow_) {
    try {
      reportWindow_ = AllocateHWnd(TWndMethod::Of<&TpxUSBPipePair::ReaderEnded>(this));
    } catch (const Exception&) {
    }
  }
  UseReader = HasReceivers();
  TpxBaseIO::Open();
}

void TpxUSBPipePair::Close() {
  ReleaseReader();
  TpxBaseIO::Close();
}

void TpxUSBPipePair::ReleaseReader() {
  SetReaderStopped();
  std::shared_ptr<ReaderRun> run = std::atomic_load(&run_);
  if (!run) return;
  run->Stop();
  // The read still pending ends as cancelled, so it takes no block that would then be
  // dropped. A read issued just before the stop may start after an abort: the abort is
  // repeated until the reader has ended.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseBound);
  do {
    if (run->ended) break;  // an abort now would hit another pair's read on the pipe
    if (run->api && run->pipe) run->api->AbortPipe(run->pipe);
    if (!CanWaitForReaders()) break;  // that reader ends when its handler returns
  } while (!WaitForReaders(kAbortSlice) && std::chrono::steady_clock::now() < deadline);
  // A block the reader hands on now is still served, then the reader ends.
  while (run->Delivering() && CanWaitForReaders() && !WaitForReaders(kAbortSlice)) {
  }
}

void TpxUSBPipePair::BeforeDestruction() {
  ReleaseReader();
  TpxBaseIO::BeforeDestruction();
}

void TpxUSBPipePair::Notification(TComponent* component, TOperation operation) {
  TpxBaseIO::Notification(component, operation);
  if (operation != opRemove || !component || component != usbDevice_) return;
  // The device component is going: the pair ends its reader, closes and forgets it.
  Close();
  usbDevice_ = nullptr;
  ResolvePipes();
}

void TpxUSBPipePair::StartThread() {
  auto run = std::make_shared<ReaderRun>();
  run->api = Api();
  run->pipe = inPipeId_;
  run->readSize = ReadSize(readBufferSize_, inPacketSize_);
  run->device = AsHandle(Handle());
  run->reportTo = reportWindow_;
  run->number = ++runNumber_;
  std::atomic_store(&run_, run);
  TpxBaseIO::StartThread();
}

void TpxUSBPipePair::ThreadExecute(TpxThreadIO*) {
  std::shared_ptr<ReaderRun> run = std::atomic_load(&run_);
  if (!run) return;
  DWORD error = ReadLoop(*run);
  // The pair may be gone by now (freed by a handler): only the run is used.
  if (error != ERROR_SUCCESS && !run->stopped) {
    win::PostMessageA(run->reportTo, kReaderEnded, error, static_cast<LPARAM>(run->number));
  }
  run->ended = true;
}

DWORD TpxUSBPipePair::ReadLoop(ReaderRun& run) {
  if (!run.api || run.pipe == 0) return ERROR_SUCCESS;
  DWORD size = run.readSize;
  DWORD depth = std::clamp<DWORD>(readsInFlight_, 1, kMaxReadsInFlight);
  std::vector<QueuedRead> reads(depth);
  for (QueuedRead& read : reads) {
    // One spare byte: the terminal path stores a zero behind the data.
    read.buffer.resize(size + 1);
    read.event.reset(win::CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!read.event) return win::GetLastError();
    read.record.hEvent = read.event.get();
  }
  TpxCustomUsbApi& api = *run.api;
  api.PrepareReadQueue(run.pipe, size, depth);
  std::uint32_t recoveries = 0;  // pauses after failures so far
  // Starts `read` behind those already queued; it ends in the order it was started.
  auto issue = [&](QueuedRead& read) {
    read.record.Internal = 0;
    read.record.InternalHigh = 0;
    read.record.Offset = 0;
    read.record.OffsetHigh = 0;
    read.recovery = recoveries;
    // The read itself has no time-out: TimeoutRead applies only until the reader starts.
    api.SetPipeTimeout(run.pipe, 0);
    win::SetLastError(ERROR_SUCCESS);
    read.count = api.ReadPipe(run.pipe, read.buffer.data(), size, &read.record);
    read.error = read.count > 0 ? ERROR_SUCCESS : win::GetLastError();
    read.running = read.error == ERROR_IO_PENDING;
  };
  for (QueuedRead& read : reads) {
    if (run.stopped || !api.IsDeviceOpen()) break;
    issue(read);
  }
  int failures = 0;  // failed reads in a row
  DWORD error = ERROR_SUCCESS;
  // The bytes of a read to hand on, taken once. A count above the request is an
  // untrusted reply: the block is dropped.
  auto take = [&](QueuedRead& read) {
    DWORD count = read.error == ERROR_SUCCESS && read.count <= size ? read.count : 0;
    read.count = 0;
    return count;
  };
  size_t next = 0;         // the oldest read
  bool handOnLate = true;  // whether blocks that come after a stop may still be handed on
  for (; !run.stopped && api.IsDeviceOpen(); next = (next + 1) % depth) {
    QueuedRead& read = reads[next];
    if (read.running) {
      bool done = api.GetOverlappedResult(&read.record, read.count, INFINITE);
      read.error = done ? ERROR_SUCCESS : win::GetLastError();
      // A wait that gave up before its read ended (the device closed meanwhile) must
      // not lead to a second read on the same record and buffer.
      read.running = !done && !Ended(run.device, read.record);
      if (read.running) break;
    }
    // Stopped meanwhile: this read and those behind it are dealt with below.
    if (run.stopped) break;
    error = read.error;
    if (error == ERROR_SUCCESS) {
      failures = 0;
      if (DWORD count = take(read)) DoReceive(read.buffer.data(), count);
      // The pair may be gone after DoReceive: the run says whether to go on.
      if (run.stopped) {
        handOnLate = false;
        break;
      }
    } else if (read.recovery == recoveries) {
      // Failed, at once or at completion: the same table judges both. Reads queued
      // before the pause below failed of the same cause and are simply read again.
      if (!api.IsDeviceOpen()) break;  // the USB component closed, which ended the read
      TpxTransferFault fault = ClassifyTransferError(error);
      if (fault == TpxTransferFault::DeviceGone) break;
      if (++failures >= (fault == TpxTransferFault::Unknown ? kUnknownTries : kTransientTries)) break;
      if (!run.Pause()) break;
      ++recoveries;
      // A halted endpoint answers every read with a stall until the halt is cleared.
      if (fault == TpxTransferFault::Stall && !api.ResetPipe(run.pipe)) {
        DWORD resetError = win::GetLastError();
        if (ClassifyTransferError(resetError) == TpxTransferFault::DeviceGone) {
          error = resetError;
          break;
        }
      }
    }
    issue(read);
  }
  // Reads still running would write into their buffers after they are gone: they end
  // now. What they brought before their end (a cancel may lose the race to data) is
  // handed on in order while a closer still waits for the reader, never after it gave
  // up, nor after a handler closed or freed the pair.
  bool running = std::any_of(reads.begin(), reads.end(),
                             [&](QueuedRead& read) { return read.running && !Ended(run.device, read.record); });
  if (running) api.AbortPipe(run.pipe);
  for (size_t k = 0; k < depth; ++k) {
    QueuedRead& read = reads[(next + k) % depth];
    if (read.running) {
      read.error = win::GetOverlappedResult(run.device, &read.record, &read.count, TRUE) ? ERROR_SUCCESS
                                                                                          : win::GetLastError();
    }
    std::uint32_t stops = run.stops;
    DWORD count = take(read);
    if (count && handOnLate && run.ClaimLateBlock()) {
      DoReceive(read.buffer.data(), count);
      handOnLate = run.stops == stops;
    }
  }
  run.late = ReaderRun::kRefused;
  // An end that was asked for (a close of the pair or of the USB component) is no error.
  return run.stopped || !api.IsDeviceOpen() ? ERROR_SUCCESS : error;
}

void TpxUSBPipePair::ReaderEnded(TMessage& message) {
  if (message.Msg != kReaderEnded) {
    message.Result = win::DefWindowProcA(reportWindow_, message.Msg, message.WParam, message.LParam);
    return;
  }
  // Only the reader of the current open speaks for the pair.
  if (static_cast<std::uint32_t>(message.LParam) != runNumber_ || !IsOpen()) return;
  auto error = static_cast<DWORD>(message.WParam);
  Close();
  try {
    std::string text = SysErrorMessage(error);
    if (text.empty()) text = Format("Windows error %u.", {error});
    DoFatalError(kReadFailed, error, "USB pipe read fails: " + text, /*showOnly=*/true);
  } catch (...) {
    // A failing handler must not reach the message loop.
  }
}

DWORD TpxUSBPipePair::Write(const void* data, DWORD count) {
  std::shared_ptr<TpxCustomUsbApi> api = Api();
  PipeId out = outPipeId_;
  HANDLE device = AsHandle(Handle());
  TpxOwnedHandle event(win::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!event) return 0;
  OVERLAPPED record{};
  record.hEvent = event.get();
  DWORD written = api->WritePipe(out, const_cast<void*>(data), count, &record);
  DWORD error = win::GetLastError();
  if (written == 0 && error == ERROR_IO_PENDING) {
    // The pair may be closed, or freed, by a handler served meanwhile: from here on
    // only what this write owns is used.
    if (IsMainThread()) WaitForThreadHandle(record.hEvent);
    written = AwaitTransfer(*api, device, record);
    error = win::GetLastError();
  }
  event.reset();
  win::SetLastError(error);
  return written;
}

bool TpxUSBPipePair::Sending() const {
  std::shared_ptr<TpxCustomUsbApi> api = Api();
  // Once the USB component closed, its old access object sends nothing.
  return IsOpen() && outPipeId_ != 0 && api && api->IsDeviceOpen();
}

void TpxUSBPipePair::SendChar(char ch) {
  if (!Sending()) return;
  BYTE byte = static_cast<BYTE>(ch);
  if (Write(&byte, 1) == 0) {
    win::OutputDebugStringA(("ERROR:" + SysErrorMessage(win::GetLastError())).c_str());
  }
}

DWORD TpxUSBPipePair::SendString(const std::string& text) {
  return Sending() ? Write(text.data(), static_cast<DWORD>(text.size())) : 0;
}

DWORD TpxUSBPipePair::SendBuffer(void* buffer, DWORD count) { return Sending() ? Write(buffer, count) : 0; }

const TClassInfo& TpxUSBPipePair::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TpxUSBPipePair, TpxBaseIO>("TpxUSBPipePair", [](TClassInfo& c) {
    TpxBaseIO::Publish(c, {"Active", "DataProcessor", "Terminal", "TerminalUsage", "Log", "OnFatalError"});
    c.Property("UsbDevice", &TpxUSBPipePair::UsbDevice, &TpxUSBPipePair::SetUsbDevice)
        .Property("PipeIn", &TpxUSBPipePair::PipeIn, &TpxUSBPipePair::SetPipeIn)
        .Property("PipeOut", &TpxUSBPipePair::PipeOut, &TpxUSBPipePair::SetPipeOut)
        .Property("TimeoutRead", &TpxUSBPipePair::TimeoutRead, &TpxUSBPipePair::SetTimeoutRead)
        .Property("TimeoutWrite", &TpxUSBPipePair::TimeoutWrite, &TpxUSBPipePair::SetTimeoutWrite)
        .Property("ReadBufferSize", &TpxUSBPipePair::ReadBufferSize, &TpxUSBPipePair::SetReadBufferSize)
        .Property("ReadsInFlight", &TpxUSBPipePair::ReadsInFlight, &TpxUSBPipePair::SetReadsInFlight);
    TpxBaseIO::Publish(c, {"UseMainThread", "Priority", "OnAfterReceive"});
  });
  return info;
}
