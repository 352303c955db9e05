#include "platform/sim/usbio.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/pxusbcheck.h"
#include "platform/sim/machine.h"
#include "platform/sim/text.h"
#include "platform/sim/variance.h"

namespace sim {

// ---- device models ---------------------------------------------------------------

NTSTATUS EchoModel::accept(UCHAR, const BYTE* data, size_t size) {
  pending_.insert(pending_.end(), data, data + size);
  return STATUS_SUCCESS;
}

NTSTATUS EchoModel::supply(UCHAR pipe, BYTE* out, size_t max, size_t* produced,
                           SteadyClock::time_point) {
  size_t n = pipe == inPipe_ ? std::min(max, pending_.size()) : 0;
  std::copy_n(pending_.begin(), n, out);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
  *produced = n;
  return STATUS_SUCCESS;
}

NTSTATUS StreamModel::supply(UCHAR pipe, BYTE* out, size_t max, size_t* produced,
                             SteadyClock::time_point now) {
  *produced = 0;
  if (pipe != inPipe_) return STATUS_SUCCESS;
  if (!started_) {
    started_ = true;
    start_ = now;
  }
  size_t n = max;
  if (rate_ > 0) {
    double due = std::chrono::duration<double>(now - start_).count() * rate_;
    n = std::min<size_t>(max, static_cast<size_t>(std::max(0.0, due - static_cast<double>(produced_))));
  }
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<BYTE>(produced_ + i);
  produced_ += n;
  *produced = n;
  return STATUS_SUCCESS;
}

SteadyClock::time_point StreamModel::nextSupply(SteadyClock::time_point now) const {
  // Without a rate every read is served at once; before the first read nothing is due.
  if (rate_ <= 0 || !started_) return SteadyClock::time_point::max();
  auto next = std::chrono::duration<double>(static_cast<double>(produced_ + 1) / rate_);
  return start_ + std::chrono::duration_cast<SteadyClock::duration>(next);
}

NTSTATUS FailingModel::supply(UCHAR pipe, BYTE* out, size_t max, size_t* produced, SteadyClock::time_point now) {
  *produced = 0;
  NTSTATUS failure = Fail(!atOnce_);
  return failure != STATUS_SUCCESS ? failure : EchoModel::supply(pipe, out, max, produced, now);
}

NTSTATUS FailingModel::Fail(bool now) {
  if (!now || failures_ == 0) return STATUS_SUCCESS;
  --failures_;
  ++failed;
  return status_;
}

// ---- transfers -------------------------------------------------------------------

DeviceModel::Removal DeviceModel::Removal::drawn() {
  Variance& v = Variance::instance();
  return {v.pick<DWORD>(ERROR_BAD_COMMAND,
                        {ERROR_DEVICE_NOT_CONNECTED, ERROR_NO_SUCH_DEVICE, ERROR_DEVICE_REMOVED, ERROR_FILE_NOT_FOUND}),
          v.pick<DWORD>(ERROR_OPERATION_ABORTED, {ERROR_GEN_FAILURE, ERROR_DEVICE_NOT_CONNECTED, ERROR_BAD_COMMAND})};
}

NTSTATUS removalStatus(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return STATUS_NO_SUCH_FILE;
    case ERROR_BAD_COMMAND: return STATUS_INVALID_DEVICE_STATE;
    case ERROR_GEN_FAILURE: return STATUS_UNSUCCESSFUL;
    case ERROR_NO_SUCH_DEVICE: return STATUS_NO_SUCH_DEVICE;
    case ERROR_OPERATION_ABORTED: return STATUS_CANCELLED;
    case ERROR_DEVICE_NOT_CONNECTED: return STATUS_DEVICE_NOT_CONNECTED;
    case ERROR_DEVICE_REMOVED: return STATUS_DEVICE_REMOVED;
    default: return 0;
  }
}

UsbDevice::UsbDevice(Kernel& kernel, std::vector<Endpoint> endpoints,
                     std::shared_ptr<DeviceModel> model)
    // Microsoft's table of pipe policies gives no figure for MAXIMUM_TRANSFER_SIZE: it
    // depends on the Windows version and the host controller.
    : maximumTransferSize(Variance::instance().pick<ULONG>(2u << 20, {256u << 10, 64u << 10})),
      kernel_(kernel),
      endpoints_(std::move(endpoints)),
      model_(std::move(model)) {
  service_ = std::thread([this] { serve(); });
}

UsbDevice::~UsbDevice() {
  unplug();
  endPending();
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  service_.join();
}

const Endpoint* UsbDevice::endpoint(UCHAR address) const {
  for (const Endpoint& e : endpoints_) {
    if (e.address == address) return &e;
  }
  return nullptr;
}

std::vector<UCHAR> UsbDevice::interfaces() const {
  std::vector<UCHAR> numbers;
  for (const Endpoint& e : endpoints_) {
    if (std::find(numbers.begin(), numbers.end(), e.interfaceNumber) == numbers.end()) {
      numbers.push_back(e.interfaceNumber);
    }
  }
  return numbers;
}

void UsbDevice::finish(Transfer& t, NTSTATUS status, DWORD bytes) {
  t.done = true;
  t.status = status;
  t.bytes = bytes;
  if (t.overlapped) kernel_.completeOverlapped(t.overlapped, t.opener.get(), status, bytes, t.event);
}

bool UsbDevice::endIfDue(Transfer& t, SteadyClock::time_point now) {
  if (!t.done && t.endStatus != STATUS_SUCCESS && now >= t.endAt) finish(t, t.endStatus, t.bytes);
  return t.done;
}

bool UsbDevice::tryComplete(Transfer& t, SteadyClock::time_point now) {
  // An unplugged device no longer talks to its model: what is pending waits for its end.
  if (!plugged_) return endIfDue(t, now);
  const Endpoint& e = *endpoint(t.pipe);
  // A stalled endpoint answers every transfer with a stall until its halt is cleared
  // (USB 2.0, 8.4.5 and 9.4.5; WinUsb_ResetPipe "clears the stall condition", as does
  // the pxusb driver's reset):
  // https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_resetpipe
  bool stalls = halted_.count(t.pipe) || e.stall == Endpoint::Stall::kAlways ||
                (e.stall == Endpoint::Stall::kOnce && stalledOnce_.insert(t.pipe).second);
  if (stalls) {
    finish(t, STATUS_UNSUCCESSFUL, 0);
  } else if (e.in()) {
    receive(t, e, now);
  } else if (now >= t.readyAt) {
    send(t, e);
  }
  // AUTO_CLEAR_STALL: "the driver fails stalled data transfers, but clears the stall
  // condition automatically" (WinUsb_SetPipePolicy), on IN pipes only.
  if (t.done && t.status == STATUS_UNSUCCESSFUL) {
    if (e.in() && t.policy.autoClearStall) {
      halted_.erase(t.pipe);
    } else {
      halted_.insert(t.pipe);
    }
  }
  // A transfer that ends early reports what moved so far (Microsoft's documentation of
  // WinUsb_WritePipe: LengthTransferred is "the actual number of bytes that were written").
  if (!t.done && now >= t.deadline) finish(t, STATUS_IO_TIMEOUT, t.bytes);
  // A cancel that comes due ends the transfer unless data completed it first.
  return endIfDue(t, now);
}

// The remarks of WinUsb_ReadPipe: WinUSB raises a read to a whole number of packets;
// what the device sends beyond the caller's buffer goes to the next read with
// ALLOW_PARTIAL_READS (dropped with AUTO_FLUSH), or fails the read without it. A read
// ends on a full buffer or on a short or zero-length packet, unless
// IGNORE_SHORT_PACKETS makes it wait for a full buffer:
// https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_readpipe
// https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_setpipepolicy
void UsbDevice::receive(Transfer& t, const Endpoint& e, SteadyClock::time_point now) {
  std::deque<BYTE>& kept = kept_[t.pipe];
  if (!kept.empty()) {
    DWORD n = static_cast<DWORD>(std::min<size_t>(kept.size(), t.size - t.bytes));
    std::copy_n(kept.begin(), n, t.buffer + t.bytes);
    kept.erase(kept.begin(), kept.begin() + n);
    finish(t, STATUS_SUCCESS, t.bytes + n);
    return;
  }
  const size_t packet = std::max<size_t>(e.maxPacket & 0x7FF, 1);
  std::vector<BYTE> incoming;
  while (!t.done) {
    size_t room = t.size - t.bytes;
    size_t asked = (room + packet - 1) / packet * packet;
    // Whole packets go straight into the caller's buffer.
    bool direct = asked == room;
    if (!direct) incoming.resize(asked);
    BYTE* into = direct ? t.buffer + t.bytes : incoming.data();
    size_t n = 0;
    NTSTATUS status = model_->supply(t.pipe, into, asked, &n, now);
    if (status != STATUS_SUCCESS) return finish(t, status, 0);
    // A model that claims more than it was asked for stands for a faulty driver: the
    // count goes to the caller as it is, who must not trust it.
    if (n > asked) return finish(t, STATUS_SUCCESS, static_cast<DWORD>(n));
    if (n == 0) return;  // nothing now, not even the zero-length packet of an end
    size_t taken = std::min(n, room);
    if (!direct) std::copy_n(incoming.begin(), taken, t.buffer + t.bytes);
    t.bytes += static_cast<DWORD>(taken);
    if (n > room) {
      if (!t.policy.allowPartialReads) return finish(t, STATUS_BUFFER_OVERFLOW, t.bytes);
      if (!t.policy.autoFlush) kept.insert(kept.end(), incoming.begin() + taken, incoming.begin() + n);
    }
    bool ended = n < asked && (n % packet != 0 || e.zeroLengthPacket);
    if (t.bytes == t.size || (ended && !t.policy.ignoreShortPackets)) finish(t, STATUS_SUCCESS, t.bytes);
  }
}

void UsbDevice::send(Transfer& t, const Endpoint& e) {
  // The device takes what it has room for; the rest waits.
  DWORD n = static_cast<DWORD>(std::min<size_t>(model_->room(t.pipe), t.size - t.bytes));
  NTSTATUS status = n ? model_->accept(t.pipe, t.buffer + t.bytes, n) : STATUS_SUCCESS;
  if (status != STATUS_SUCCESS) return finish(t, status, t.bytes);
  if ((t.bytes += n) < t.size) return;
  // SHORT_PACKET_TERMINATE: a write of whole packets ends with a zero-length packet, as
  // does a write of no data at all.
  size_t packet = std::max<size_t>(e.maxPacket & 0x7FF, 1);
  if (t.size == 0 || (t.policy.shortPacketTerminate && t.size % packet == 0)) {
    status = model_->accept(t.pipe, t.buffer, 0);
  }
  finish(t, status, t.size);
}

NTSTATUS UsbDevice::transfer(FileObject* opener, UCHAR pipe, BYTE* buffer, DWORD size,
                             const PipePolicy& policy, LPOVERLAPPED overlapped, DWORD* bytes) {
  auto t = std::make_shared<Transfer>();
  if (opener) t->opener = std::static_pointer_cast<FileObject>(opener->shared_from_this());
  if (overlapped) t->event = kernel_.objectAs<Event>(overlapped->hEvent);
  t->thread = kernel_.currentThreadId();
  t->pipe = pipe;
  t->buffer = buffer;
  t->size = size;
  t->overlapped = overlapped;
  t->policy = policy;
  auto now = SteadyClock::now();
  t->deadline = policy.timeoutMs ? now + std::chrono::milliseconds(policy.timeoutMs) : SteadyClock::time_point::max();

  Lock guard(lock_);
  // Refused at once, so never completed through the record.
  if (!plugged_) return removalStatus(model_->removal.atOnce);
  if (NTSTATUS refused = model_->admit(pipe); refused != STATUS_SUCCESS) return refused;
  t->readyAt = now + ((pipe & 0x80) ? std::chrono::milliseconds(0) : model_->writeTime(pipe, size));
  // Transfers of a pipe are served in order: a newcomer waits behind earlier ones.
  bool queuedBehind = std::any_of(pending_.begin(), pending_.end(),
                                  [&](auto& other) { return other->pipe == pipe; });
  // Whatever happens here may let other transfers go on (a write feeds an echo).
  changed_.notify_all();
  if (!queuedBehind && tryComplete(*t, now)) {
    // A transfer on the bus fails when it ends, not when it is issued: a stall is
    // reported through the record of an overlapped request.
    if (overlapped && t->status != STATUS_SUCCESS) return STATUS_PENDING;
    if (bytes) *bytes = t->bytes;
    return t->status;
  }
  pending_.push_back(t);
  if (overlapped) return STATUS_PENDING;
  changed_.wait(guard, [&] { return t->done; });
  if (bytes) *bytes = t->bytes;
  return t->status;
}

NTSTATUS UsbDevice::control(const WINUSB_SETUP_PACKET& setup, BYTE* data, DWORD size, DWORD timeoutMs,
                            DWORD* moved) {
  Lock guard(lock_);
  *moved = 0;
  if (!plugged_) return removalStatus(model_->removal.atOnce);
  // The transfer takes the device's time; the pipe's time-out (PIPE_TRANSFER_TIMEOUT, 5 s
  // on the default pipe unless set otherwise) cancels one that takes longer, and a
  // removal ends it:
  // https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_controltransfer
  // https://learn.microsoft.com/windows-hardware/drivers/usbcon/winusb-functions-for-pipe-policy-modification
  auto now = SteadyClock::now();
  auto answered = now + model_->controlTime;
  auto deadline = timeoutMs ? now + std::chrono::milliseconds(timeoutMs) : SteadyClock::time_point::max();
  if (changed_.wait_until(guard, std::min(answered, deadline), [&] { return !plugged_; })) {
    return removalStatus(model_->removal.atCompletion);
  }
  if (answered > deadline) return STATUS_IO_TIMEOUT;
  WINUSB_SETUP_PACKET bounded = setup;
  bounded.Length = static_cast<USHORT>(std::min<DWORD>(setup.Length, size));
  size_t n = 0;
  NTSTATUS status = model_->control(bounded, data, &n);
  *moved = static_cast<DWORD>(std::min<size_t>(n, bounded.Length));
  return status;
}

// Cancelling marks the requests and returns; the device's service thread ends them
// when the delay is over, as a driver completes a cancelled IRP in its own time (from
// its cancel routine, a work item or the next event), so the caller's record may still
// change after the cancelling call returned. A request that data completes first ends
// successfully.
size_t UsbDevice::endLater(NTSTATUS status, const std::function<bool(const Transfer&)>& which,
                           std::chrono::milliseconds delay) {
  auto at = SteadyClock::now() + delay;
  size_t asked = 0;
  for (auto& t : pending_) {
    if (t->done || !which(*t)) continue;
    ++asked;
    if (t->endStatus != STATUS_SUCCESS) continue;  // the first ask holds
    t->endStatus = status;
    t->endAt = at;
  }
  changed_.notify_all();
  return asked;
}

std::chrono::milliseconds UsbDevice::cancelDelay() const {
  return model_->cancelDelay.value_or(std::chrono::milliseconds(Variance::instance().between(0, 0, 50)));
}

// WinUsb_AbortPipe cancels the pipe's transfers and returns; they complete through
// their records as the I/O manager delivers them:
// https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_abortpipe
NTSTATUS UsbDevice::abortPipe(UCHAR pipe) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!plugged_) return removalStatus(model_->removal.atOnce);
  endLater(STATUS_CANCELLED, [&](const Transfer& t) { return t.pipe == pipe; }, cancelDelay());
  return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::resetPipe(UCHAR pipe) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!plugged_) return removalStatus(model_->removal.atOnce);
  halted_.erase(pipe);
  return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::flushPipe(UCHAR pipe) {
  // WinUSB drops only what it kept from earlier reads (the device's own data stays
  // where it is).
  std::lock_guard<std::mutex> guard(lock_);
  if (!plugged_) return removalStatus(model_->removal.atOnce);
  kept_.erase(pipe);
  return STATUS_SUCCESS;
}

size_t UsbDevice::cancel(const FileObject* opener, const CancelScope& scope) {
  std::lock_guard<std::mutex> guard(lock_);
  return endLater(
      STATUS_CANCELLED,
      [&](const Transfer& t) { return t.opener.get() == opener && scope.covers(t.thread, t.overlapped); },
      cancelDelay());
}

void UsbDevice::unplug() {
  std::lock_guard<std::mutex> guard(lock_);
  plugged_ = false;
  // The function driver purges its queues on surprise removal: what was pending is
  // cancelled (Microsoft's documentation of WdfIoQueuePurge), later requests fail. The
  // driver does so while it handles the surprise removal, before user mode hears of it:
  // no delay is drawn for it.
  endLater(removalStatus(model_->removal.atCompletion), [](const Transfer&) { return true; },
           model_->cancelDelay.value_or(std::chrono::milliseconds(0)));
}

void UsbDevice::endPending() {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& t : pending_) {
    if (!t->done) finish(*t, t->endStatus != STATUS_SUCCESS ? t->endStatus : STATUS_CANCELLED, t->bytes);
  }
  pending_.clear();
  changed_.notify_all();
}

bool UsbDevice::plugged() const {
  std::lock_guard<std::mutex> guard(lock_);
  return plugged_;
}

size_t UsbDevice::pendingTransfers() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pending_.size();
}

size_t UsbDevice::cancellingTransfers() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<size_t>(std::count_if(pending_.begin(), pending_.end(),
                                           [](auto& t) { return t->endStatus != STATUS_SUCCESS; }));
}

void UsbDevice::serve() {
  Lock guard(lock_);
  while (!stopping_) {
    auto now = SteadyClock::now();
    auto wake = plugged_ ? model_->nextSupply(now) : SteadyClock::time_point::max();
    std::vector<UCHAR> blocked;  // pipes whose oldest transfer is still waiting
    bool progressed = false;     // a finished transfer may make room for another
    for (auto it = pending_.begin(); it != pending_.end();) {
      Transfer& t = **it;
      bool behind = std::find(blocked.begin(), blocked.end(), t.pipe) != blocked.end();
      // A transfer waiting behind another still ends when it is cancelled.
      if (behind ? endIfDue(t, now) : tryComplete(t, now)) {
        it = pending_.erase(it);
        progressed = true;
        continue;
      }
      if (!behind) blocked.push_back(t.pipe);
      if (t.endStatus != STATUS_SUCCESS) wake = std::min(wake, t.endAt);
      wake = std::min({wake, t.deadline, (t.pipe & 0x80) ? wake : t.readyAt});
      ++it;
    }
    changed_.notify_all();  // synchronous callers look at their transfers
    if (progressed) continue;
    if (pending_.empty()) {
      changed_.wait(guard);
    } else if (wake == SteadyClock::time_point::max()) {
      changed_.wait(guard);
    } else {
      changed_.wait_until(guard, wake);
    }
  }
}

// ---- device files and the pxusb driver model -------------------------------------

class UsbDeviceFile : public FileObject {
 public:
  UsbDeviceFile(UsbIo& io, std::string service, std::shared_ptr<UsbDevice> device)
      : io_(io), service_(std::move(service)), device_(std::move(device)) {}

  const std::string& service() const { return service_; }
  UsbDevice& device() { return *device_; }
  bool closed() const { return closed_; }

  // The driver's cleanup cancels what is still pending on the file; CloseHandle does
  // not wait for those requests to end.
  void lastHandleClosed() override {
    closed_ = true;
    device_->cancel(this, {});
  }

  size_t cancel(const CancelScope& scope) override { return device_->cancel(this, scope); }

  // A transfer through this file. One that comes in while the last handle closes ends
  // like the others the close ended, as a driver's cleanup fails late requests.
  NTSTATUS transfer(UCHAR pipe, BYTE* buffer, DWORD size, const PipePolicy& policy, LPOVERLAPPED overlapped,
                    DWORD* bytes) {
    if (closed_) return STATUS_INVALID_HANDLE;
    NTSTATUS status = device_->transfer(this, pipe, buffer, size, policy, overlapped, bytes);
    if (status == STATUS_PENDING && closed_) device_->cancel(this, {});
    return status;
  }

  BOOL deviceIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                       LPDWORD returned, LPOVERLAPPED overlapped) override;

 private:
  BOOL result(NTSTATUS status, DWORD bytes, LPDWORD returned);

  UsbIo& io_;
  std::string service_;
  std::shared_ptr<UsbDevice> device_;
  std::atomic<bool> closed_{false};
};

BOOL UsbDeviceFile::result(NTSTATUS status, DWORD bytes, LPDWORD returned) {
  if (status == STATUS_SUCCESS) {
    if (returned) *returned = bytes;
    return TRUE;
  }
  setLastError(win32ErrorOf(status));
  return FALSE;
}

BOOL UsbDeviceFile::deviceIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                    DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
  if (lowerAscii(service_) != "pxusb") return FileObject::deviceIoControl(code, in, inSize, out, outSize, returned, overlapped);
  const auto* input = static_cast<const BYTE*>(in);
  io_.recordDriverRequest({code, std::vector<BYTE>(input, input + (in ? inSize : 0)), outSize});
  // The driver's own check, before anything is read: the I/O manager hands it the
  // input as the system buffer and the output of a direct request as an MDL.
  PXUSB_REQUEST request{code, inSize ? in : nullptr, inSize, outSize, out != nullptr};
  switch (PxusbCheckRequest(PXUSB_KIND_LOOPBACK, &request)) {
    case PXUSB_VALID: break;
    case PXUSB_UNKNOWN_REQUEST: return result(STATUS_INVALID_DEVICE_REQUEST, 0, returned);
    default: return result(STATUS_INVALID_PARAMETER, 0, returned);
  }
  PXUSB_RECORD record;
  std::memcpy(&record, input, sizeof record);
  auto* data = static_cast<BYTE*>(out);
  auto pipe = static_cast<UCHAR>(record.pipe);
  auto pipeRequest = [&](bool in) {
    const Endpoint* e = device_->endpoint(pipe);
    if (!e || e->in() != in) return result(STATUS_INVALID_PARAMETER, 0, returned);
    DWORD bytes = 0;
    PipePolicy policy;
    policy.timeoutMs = record.timeout;
    NTSTATUS status = transfer(pipe, data, outSize, policy, overlapped, &bytes);
    if (status == STATUS_PENDING) {
      setLastError(ERROR_IO_PENDING);
      return FALSE;
    }
    return result(status, bytes, returned);
  };
  auto finishedAtOnce = [&](NTSTATUS status, DWORD bytes) { return result(status, bytes, returned); };
  switch (code) {
    case IOCTL_PXUSB_WRITE_PIPE: return pipeRequest(false);
    case IOCTL_PXUSB_READ_PIPE: return pipeRequest(true);
    case IOCTL_PXUSB_CONTROL_OUT:
    case IOCTL_PXUSB_CONTROL_IN: {
      bool toHost = code == IOCTL_PXUSB_CONTROL_IN;
      WINUSB_SETUP_PACKET setup{};
      setup.RequestType = static_cast<UCHAR>((record.requestType << 5) | record.recipient | (toHost ? 0x80 : 0));
      setup.Request = static_cast<UCHAR>(record.request);
      setup.Value = static_cast<USHORT>(record.value);
      setup.Index = static_cast<USHORT>(record.index);
      setup.Length = static_cast<USHORT>(outSize);
      std::vector<BYTE> stage(input + sizeof record, input + inSize);
      stage.resize(outSize);
      DWORD moved = 0;
      NTSTATUS status = device_->control(setup, toHost ? data : stage.data(), outSize, record.timeout, &moved);
      // The driver's output of a host-to-device transfer is the data stage it sent.
      if (!toHost && status == STATUS_SUCCESS && data) std::copy_n(stage.begin(), moved, data);
      return finishedAtOnce(status, moved);
    }
    default:
      if (!device_->endpoint(pipe)) return result(STATUS_INVALID_PARAMETER, 0, returned);
      return finishedAtOnce(code == IOCTL_PXUSB_RESET_PIPE ? device_->resetPipe(pipe) : device_->abortPipe(pipe), 0);
  }
}

// ---- the machine's USB devices ---------------------------------------------------

namespace {

Kernel& machineKernel() { return SimMachine::current().kernel(); }
UsbIo& machineIo() { return SimMachine::current().usbIo(); }

BOOL fail(DWORD error) {
  setLastError(error);
  return FALSE;
}

}  // namespace

UsbIo::UsbIo(Kernel& kernel) : kernel_(kernel) {
  installWinUsbModule(kernel_);
  kernel_.addDeviceResolver([this](const std::string& path) -> std::shared_ptr<FileObject> {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devices_.find(lowerAscii(path));
    if (it == devices_.end() || !it->second.device->plugged()) return nullptr;
    return std::make_shared<UsbDeviceFile>(*this, it->second.service, it->second.device);
  });
}

UsbIo::~UsbIo() {
  // End every transfer while the machine's kernel is still whole: device files that
  // outlive this (in the handle table) then have nothing left to complete.
  unplugAll();
}

void UsbIo::unplugAll() {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& [path, attached] : devices_) {
    attached.device->unplug();
    attached.device->endPending();
  }
}

std::shared_ptr<UsbDevice> UsbIo::attach(const std::string& path, const std::string& service,
                                         std::vector<Endpoint> endpoints,
                                         std::shared_ptr<DeviceModel> model) {
  auto device = std::make_shared<UsbDevice>(kernel_, std::move(endpoints), std::move(model));
  std::lock_guard<std::mutex> guard(lock_);
  devices_[lowerAscii(path)] = Attached{service, device};
  return device;
}

void UsbIo::detach(const std::string& path) {
  std::shared_ptr<UsbDevice> gone;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devices_.find(lowerAscii(path));
    if (it == devices_.end()) return;
    gone = it->second.device;
    devices_.erase(it);
  }
  gone->unplug();
}

std::shared_ptr<UsbDevice> UsbIo::device(const std::string& path) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = devices_.find(lowerAscii(path));
  return it == devices_.end() ? nullptr : it->second.device;
}

void UsbIo::route(const std::string& path, const std::string& realPath) {
  std::lock_guard<std::mutex> guard(lock_);
  routes_[lowerAscii(path)] = realPath;
}

std::string UsbIo::realDevice(const std::string& path) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = routes_.find(lowerAscii(path));
  return it == routes_.end() ? std::string() : it->second;
}

std::vector<DriverRequest> UsbIo::driverLog() const {
  std::lock_guard<std::mutex> guard(lock_);
  return {driverLog_.begin(), driverLog_.end()};
}

void UsbIo::recordDriverRequest(DriverRequest request) {
  std::lock_guard<std::mutex> guard(lock_);
  driverLog_.push_back(std::move(request));
  if (driverLog_.size() > kDriverLogRequests) driverLog_.pop_front();
}

bool WinUsbInterface::owns(UCHAR pipe) const {
  const Endpoint* e = file->device().endpoint(pipe);
  return e && e->interfaceNumber == interfaceNumber;
}

WINUSB_INTERFACE_HANDLE UsbIo::openInterface(std::shared_ptr<UsbDeviceFile> file, UCHAR interfaceNumber) {
  std::lock_guard<std::mutex> guard(lock_);
  auto handle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(nextInterface_);
  nextInterface_ += 0x10;
  auto iface = std::make_shared<WinUsbInterface>();
  iface->file = std::move(file);
  iface->interfaceNumber = interfaceNumber;
  interfaces_[handle] = std::move(iface);
  return handle;
}

namespace {

// What a verifier does with a misused handle: the process stops, with the reason.
[[noreturn]] void verifierStop(const char* what, WINUSB_INTERFACE_HANDLE handle) {
  std::fprintf(stderr, "VERIFIER STOP: %s (WinUSB interface handle %p)\n", what, handle);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

std::shared_ptr<WinUsbInterface> UsbIo::findInterface(WINUSB_INTERFACE_HANDLE handle) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (freed_.count(handle)) verifierStop("handle used after WinUsb_Free", handle);
  auto it = interfaces_.find(handle);
  return it == interfaces_.end() ? nullptr : it->second;
}

bool UsbIo::freeInterface(WINUSB_INTERFACE_HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock_);
  if (freed_.count(handle)) verifierStop("handle freed twice", handle);
  auto it = interfaces_.find(handle);
  if (it == interfaces_.end()) return false;
  if (it->second->callsInside > 0) verifierStop("handle freed while another thread is inside a call", handle);
  interfaces_.erase(it);
  freed_.insert(handle);
  return true;
}

size_t UsbIo::openInterfaces() const {
  std::lock_guard<std::mutex> guard(lock_);
  return interfaces_.size();
}

std::vector<std::shared_ptr<WinUsbInterface>> UsbIo::interfaces() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::shared_ptr<WinUsbInterface>> open;
  for (auto& [handle, iface] : interfaces_) open.push_back(iface);
  return open;
}

int UsbIo::interfaceCallsInside() const {
  std::lock_guard<std::mutex> guard(lock_);
  int inside = 0;
  for (auto& [handle, iface] : interfaces_) inside += iface->callsInside;
  return inside;
}

// ---- Winusb.dll --------------------------------------------------------------------

namespace {

// One call into an interface: counted while it runs. Refused (ERROR_INVALID_HANDLE)
// when the handle is unknown or its device file was closed.
class InterfaceCall {
 public:
  explicit InterfaceCall(WINUSB_INTERFACE_HANDLE handle) : iface_(machineIo().findInterface(handle)) {
    if (iface_) ++iface_->callsInside;
    if (!iface_ || iface_->file->closed()) setLastError(ERROR_INVALID_HANDLE);
  }
  ~InterfaceCall() {
    if (iface_) --iface_->callsInside;
  }
  InterfaceCall(const InterfaceCall&) = delete;
  InterfaceCall& operator=(const InterfaceCall&) = delete;

  explicit operator bool() const { return iface_ && !iface_->file->closed(); }
  WinUsbInterface* operator->() const { return iface_.get(); }
  WinUsbInterface& operator*() const { return *iface_; }

 private:
  std::shared_ptr<WinUsbInterface> iface_;
};

BOOL WINAPI SimWinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE out) {
  if (!out) return fail(ERROR_INVALID_PARAMETER);
  auto device = machineKernel().objectAs<UsbDeviceFile>(file);
  if (!device) return fail(ERROR_INVALID_HANDLE);
  // Only a device served by WinUSB answers WinUSB's requests.
  if (lowerAscii(device->service()) != "winusb") return fail(ERROR_INVALID_FUNCTION);
  // The device's file must be open for overlapped I/O: the function's return codes give
  // ERROR_INVALID_HANDLE where FILE_FLAG_OVERLAPPED was not set. Each call starts with
  // the default pipe policies (its remarks).
  // https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_initialize
  if (!(device->flags & FILE_FLAG_OVERLAPPED)) return fail(ERROR_INVALID_HANDLE);
  std::vector<UCHAR> interfaces = device->device().interfaces();
  *out = machineIo().openInterface(device, interfaces.empty() ? 0 : interfaces.front());
  return TRUE;
}

// A further interface of the function, through the handle of its first one:
// https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_getassociatedinterface
// Index 0 is the interface right after the first; one handle per interface.
BOOL WINAPI SimWinUsb_GetAssociatedInterface(WINUSB_INTERFACE_HANDLE handle, UCHAR index,
                                             PWINUSB_INTERFACE_HANDLE out) {
  InterfaceCall iface(handle);
  if (!iface) return FALSE;
  if (!out) return fail(ERROR_INVALID_PARAMETER);
  std::vector<UCHAR> interfaces = iface->file->device().interfaces();
  if (interfaces.empty() || iface->interfaceNumber != interfaces.front()) return fail(ERROR_INVALID_HANDLE);
  if (size_t{index} + 1 >= interfaces.size()) return fail(ERROR_NO_MORE_ITEMS);
  if (!iface->claimAssociated(index)) return fail(ERROR_ALREADY_EXISTS);
  *out = machineIo().openInterface(iface->file, interfaces[index + 1u]);
  return TRUE;
}

// The interface's endpoint at `index`, or null.
const Endpoint* interfaceEndpoint(const WinUsbInterface& iface, size_t index) {
  for (const Endpoint& e : iface.file->device().endpoints()) {
    if (e.interfaceNumber == iface.interfaceNumber && index-- == 0) return &e;
  }
  return nullptr;
}

// Only alternate setting 0 is modelled, and the interface's class is not: it reads as
// vendor-specific.
BOOL WINAPI SimWinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate,
                                             USB_INTERFACE_DESCRIPTOR* out) {
  InterfaceCall iface(handle);
  if (!iface) return FALSE;
  if (!out) return fail(ERROR_INVALID_PARAMETER);
  if (alternate != 0) return fail(ERROR_NO_MORE_ITEMS);
  UCHAR count = 0;
  while (interfaceEndpoint(*iface, count)) ++count;
  *out = USB_INTERFACE_DESCRIPTOR{9, USB_INTERFACE_DESCRIPTOR_TYPE, iface->interfaceNumber, 0, count, 0xFF, 0, 0, 0};
  return TRUE;
}

BOOL WINAPI SimWinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                                WINUSB_PIPE_INFORMATION* out) {
  InterfaceCall iface(handle);
  if (!iface) return FALSE;
  if (!out) return fail(ERROR_INVALID_PARAMETER);
  const Endpoint* e = alternate == 0 ? interfaceEndpoint(*iface, index) : nullptr;
  if (!e) return fail(ERROR_NO_MORE_ITEMS);
  out->PipeType = static_cast<USBD_PIPE_TYPE>(e->type);
  out->PipeId = e->address;
  out->MaximumPacketSize = e->maxPacket;
  out->Interval = e->interval;
  return TRUE;
}

BOOL WINAPI SimWinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  return machineIo().freeInterface(handle) ? TRUE : fail(ERROR_INVALID_HANDLE);
}

BOOL pipeTransfer(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, bool in, PUCHAR buffer, ULONG size,
                  PULONG transferred, LPOVERLAPPED overlapped) {
  InterfaceCall iface(handle);
  if (!iface) return FALSE;
  UsbDeviceFile& file = *iface->file;
  // WinUSB passes the request on to its driver through the device file.
  if (overlapped) machineKernel().startOverlapped(overlapped, &file);
  const Endpoint* e = file.device().endpoint(pipe);
  if (!iface->owns(pipe) || e->in() != in || (!buffer && size)) return fail(ERROR_INVALID_PARAMETER);
  PipePolicy policy = iface->policy(pipe);
  // RAW_IO: "The buffer length must be a multiple of the maximum endpoint packet size"
  // and within MAXIMUM_TRANSFER_SIZE (WinUsb_SetPipePolicy); the page names no error
  // for a read that breaks the rule: it is refused as an invalid parameter.
  size_t packet = std::max<size_t>(e->maxPacket & 0x7FF, 1);
  if (policy.rawIo && (size % packet != 0 || size > file.device().maximumTransferSize)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  DWORD bytes = 0;
  NTSTATUS status = file.transfer(pipe, buffer, size, policy, overlapped, &bytes);
  if (status == STATUS_PENDING) return fail(ERROR_IO_PENDING);
  if (transferred) *transferred = bytes;
  return status == STATUS_SUCCESS ? TRUE : fail(win32ErrorOf(status));
}

BOOL WINAPI SimWinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer,
                               ULONG size, PULONG transferred, LPOVERLAPPED overlapped) {
  return pipeTransfer(handle, pipe, true, buffer, size, transferred, overlapped);
}

BOOL WINAPI SimWinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer,
                                ULONG size, PULONG transferred, LPOVERLAPPED overlapped) {
  return pipeTransfer(handle, pipe, false, buffer, size, transferred, overlapped);
}

template <NTSTATUS (UsbDevice::*Operation)(UCHAR)>
BOOL WINAPI SimPipeOperation(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
  InterfaceCall iface(handle);
  if (!iface) return FALSE;
  UsbDevice& device = iface->file->device();
  if (!iface->owns(pipe)) return fail(ERROR_INVALID_PARAMETER);
  NTSTATUS status = (device.*Operation)(pipe);
  return status == STATUS_SUCCESS ? TRUE : fail(win32ErrorOf(status));
}

// Microsoft's table of pipe policies: "The policies described in the table are valid
// only for the specified endpoints. Setting the policy on other endpoints has no effect
// on WinUSB's behavior": such a call succeeds and changes nothing. Each value is a UCHAR
// but the time-out's, a ULONG; MAXIMUM_TRANSFER_SIZE is read-only.
// https://learn.microsoft.com/windows-hardware/drivers/usbcon/winusb-functions-for-pipe-policy-modification
// https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_setpipepolicy
BOOL WINAPI SimWinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG type,
                                    ULONG length, PVOID value) {
  InterfaceCall iface(handle);
  if (!iface) return FALSE;
  if ((pipe != 0 && !iface->owns(pipe)) || type < SHORT_PACKET_TERMINATE || type > RAW_IO) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (!value || length != (type == PIPE_TRANSFER_TIMEOUT ? 4u : 1u)) return fail(ERROR_INVALID_PARAMETER);
  ULONG ms = 0;
  if (type == PIPE_TRANSFER_TIMEOUT) std::memcpy(&ms, value, 4);
  bool on = *static_cast<const UCHAR*>(value) != 0;
  const Endpoint* e = pipe ? iface->file->device().endpoint(pipe) : nullptr;
  bool bulkOrInterrupt = e && (e->type == 2 || e->type == 3);
  bool applies = type == PIPE_TRANSFER_TIMEOUT ? (!e || bulkOrInterrupt)
                                               : bulkOrInterrupt && e->in() == (type != SHORT_PACKET_TERMINATE);
  if (!applies) return TRUE;
  iface->changePolicy(pipe, [&](PipePolicy& p) {
    switch (type) {
      case SHORT_PACKET_TERMINATE: p.shortPacketTerminate = on; break;
      case AUTO_CLEAR_STALL: p.autoClearStall = on; break;
      case PIPE_TRANSFER_TIMEOUT: p.timeoutMs = ms; break;
      case IGNORE_SHORT_PACKETS: p.ignoreShortPackets = on; break;
      case ALLOW_PARTIAL_READS: p.allowPartialReads = on; break;
      case AUTO_FLUSH: p.autoFlush = on; break;
      default: p.rawIo = on; break;
    }
  });
  return TRUE;
}

// The policies as set, and the read-only MAXIMUM_TRANSFER_SIZE (a ULONG).
BOOL WINAPI SimWinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG type,
                                    PULONG length, PVOID value) {
  InterfaceCall iface(handle);
  if (!iface) return FALSE;
  if ((pipe != 0 && !iface->owns(pipe)) || type < SHORT_PACKET_TERMINATE || type > MAXIMUM_TRANSFER_SIZE ||
      !length || !value) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  PipePolicy p = iface->policy(pipe);
  ULONG wide = type == PIPE_TRANSFER_TIMEOUT ? p.timeoutMs : iface->file->device().maximumTransferSize;
  bool flags[] = {p.shortPacketTerminate, p.autoClearStall, false, p.ignoreShortPackets,
                  p.allowPartialReads, p.autoFlush, p.rawIo};
  ULONG needed = type == PIPE_TRANSFER_TIMEOUT || type == MAXIMUM_TRANSFER_SIZE ? 4 : 1;
  if (*length < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
  *length = needed;
  if (needed == 4) {
    std::memcpy(value, &wide, 4);
  } else {
    *static_cast<UCHAR*>(value) = flags[type - 1] ? 1 : 0;
  }
  return TRUE;
}

BOOL WINAPI SimWinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                          LPDWORD bytes, BOOL wait) {
  InterfaceCall iface(handle);
  if (!iface) return FALSE;
  if (!overlapped) return fail(ERROR_INVALID_PARAMETER);
  // GetOverlappedResult on the interface's device file.
  return machineKernel().getOverlappedResult(overlapped, iface->file, bytes, wait != FALSE);
}

BOOL WINAPI SimWinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup,
                                      PUCHAR buffer, ULONG size, PULONG transferred,
                                      LPOVERLAPPED overlapped) {
  InterfaceCall iface(handle);
  if (!iface) return FALSE;
  if (overlapped) machineKernel().startOverlapped(overlapped, iface->file.get());
  if (!buffer && size) return fail(ERROR_INVALID_PARAMETER);
  DWORD moved = 0;
  NTSTATUS status = iface->file->device().control(setup, buffer, size, iface->policy(0).timeoutMs, &moved);
  if (status != STATUS_SUCCESS) return fail(win32ErrorOf(status));
  if (transferred) *transferred = moved;
  if (overlapped) machineKernel().completeOverlapped(overlapped, iface->file.get(), status, moved);
  return TRUE;
}

}  // namespace

void installWinUsbModule(Kernel& kernel) {
  kernel.addModule("Winusb.dll",
                   {{"WinUsb_Initialize", asExport(&SimWinUsb_Initialize)},
                    {"WinUsb_GetAssociatedInterface", asExport(&SimWinUsb_GetAssociatedInterface)},
                    {"WinUsb_QueryInterfaceSettings", asExport(&SimWinUsb_QueryInterfaceSettings)},
                    {"WinUsb_QueryPipe", asExport(&SimWinUsb_QueryPipe)},
                    {"WinUsb_Free", asExport(&SimWinUsb_Free)},
                    {"WinUsb_WritePipe", asExport(&SimWinUsb_WritePipe)},
                    {"WinUsb_ReadPipe", asExport(&SimWinUsb_ReadPipe)},
                    {"WinUsb_ResetPipe", asExport(&SimPipeOperation<&UsbDevice::resetPipe>)},
                    {"WinUsb_AbortPipe", asExport(&SimPipeOperation<&UsbDevice::abortPipe>)},
                    {"WinUsb_FlushPipe", asExport(&SimPipeOperation<&UsbDevice::flushPipe>)},
                    {"WinUsb_SetPipePolicy", asExport(&SimWinUsb_SetPipePolicy)},
                    {"WinUsb_GetPipePolicy", asExport(&SimWinUsb_GetPipePolicy)},
                    {"WinUsb_GetOverlappedResult", asExport(&SimWinUsb_GetOverlappedResult)},
                    {"WinUsb_ControlTransfer", asExport(&SimWinUsb_ControlTransfer)}});
}

}  // namespace sim
