// Device I/O of the simulated machine: the transfers behind a USB device's pipes, the
// behaviour of the device behind its endpoints, the device files that CreateFileA
// opens, the simulated Winusb.dll and the "pxusb" kernel-driver model.
//
// Each attached device has a service thread that completes its transfers as the
// device model supplies data, accepts writes or lets time-outs pass. Completion goes
// through the caller's OVERLAPPED record, or wakes the caller of a synchronous request.
// Closing a device file, cancelling, aborting a pipe or unplugging the device asks the
// transfers in progress to end; the service thread ends them a moment later (data that
// comes first still completes them), so a caller waits for each record it issued.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/kernel.h"
#include "platform/sim/variance.h"
#include "platform/win32.h"
#include "platform/win32/winusb.h"

namespace sim {

using SteadyClock = std::chrono::steady_clock;

struct Endpoint {
  UCHAR address;        // bit 7 set: IN
  UCHAR type = 2;       // 2 bulk, 3 interrupt
  USHORT maxPacket = 64;
  UCHAR interval = 0;
  // bInterfaceNumber of the interface the endpoint belongs to. A device file of a
  // composite device's function serves the endpoints of all the function's interfaces.
  UCHAR interfaceNumber = 0;
  // The device's habits on this endpoint. An IN transfer of the device that is a whole
  // number of packets may end with a zero-length packet or with nothing: USB 2.0, 5.8.3
  // lets the device choose, and a host read that asked for more then waits for more.
  bool zeroLengthPacket = true;
  enum class Stall : BYTE { kNever, kOnce, kAlways };
  Stall stall = Stall::kNever;  // kOnce: its first transfer stalls
  bool in() const { return (address & 0x80) != 0; }
};

// What WinUSB's pipe policies make of one pipe's transfers, as Microsoft's table gives
// them (defaults as listed there):
// https://learn.microsoft.com/windows-hardware/drivers/usbcon/winusb-functions-for-pipe-policy-modification
// A device on another driver (the pxusb driver) gets the defaults.
struct PipePolicy {
  bool shortPacketTerminate = false;  // OUT: a write of whole packets ends with a ZLP
  bool autoClearStall = false;        // IN: a stall fails the transfer, not the pipe
  DWORD timeoutMs = 0;                // 0: none
  bool ignoreShortPackets = false;    // IN: only a full buffer ends a read
  bool allowPartialReads = true;      // IN: what overflows a read waits for the next
  bool autoFlush = false;             // IN, with partial reads: the overflow is dropped
  bool rawIo = false;                 // IN: whole packets, at most the maximum transfer
};

// The status that Windows reports as `error`, for the errors a removed device may give
// (2, 22, 31, 433, 995, 1167, 1617); 0 for any other. By default a removed device's
// driver purges its queues: what was pending is cancelled, later requests complete
// with STATUS_INVALID_DEVICE_STATE (Microsoft's documentation of WdfIoQueuePurge),
// which Windows reports as ERROR_BAD_COMMAND.
NTSTATUS removalStatus(DWORD error);

// What the device does with the traffic on its endpoints. Called with the device's
// lock held, from the requesting thread or the device's service thread.
class DeviceModel {
 public:
  // The Win32 errors the device's requests give once it is removed (see
  // removalStatus): which ones depends on the driver stack and the moment, so a
  // machine chooses. Kept with the model, which a device plugged back keeps too.
  // WinUSB and the pxusb driver alike purge their queues on surprise removal
  // ("Handling an IRP_MN_SURPRISE_REMOVAL request"; WdfIoQueuePurge): what was pending
  // is cancelled (ERROR_OPERATION_ABORTED) and later requests fail with
  // STATUS_INVALID_DEVICE_STATE (ERROR_BAD_COMMAND).
  struct Removal {
    DWORD atOnce = ERROR_BAD_COMMAND;
    DWORD atCompletion = ERROR_OPERATION_ABORTED;
    // Those, or unkind, the other answers a removed device's stack gives: the bus
    // driver's STATUS_DEVICE_NOT_CONNECTED and STATUS_NO_SUCH_DEVICE,
    // STATUS_DEVICE_REMOVED, a file already torn down, and for a transfer on the wire
    // when the device went, a failed transaction (STATUS_UNSUCCESSFUL). The pxusb
    // driver's answers are its own (driver/pxusbdrv.c), so they do not vary:
    // https://learn.microsoft.com/windows-hardware/drivers/kernel/handling-an-irp-mn-surprise-removal-request
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfio/nf-wdfio-wdfioqueuepurge
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/usb/ns-usb-_urb_header (USBD_STATUS)
    static Removal drawn();
  };
  Removal removal;
  // How long the driver takes to end a request it was told to cancel (CancelIo,
  // CancelIoEx, WinUsb_AbortPipe, the close of its file, the removal). The cancel does
  // not wait for it; data that comes meanwhile still completes the request, with
  // success (CancelIo's documentation allows both). Unset: at once, or in unkind runs
  // 0 to 50 ms, drawn for each cancel.
  std::optional<std::chrono::milliseconds> cancelDelay;

  virtual ~DeviceModel() = default;
  // Whether the driver takes a transfer on `pipe` at all: a failure ends it at once,
  // as a request that a driver's dispatch routine completes with that status.
  virtual NTSTATUS admit(UCHAR pipe) { return STATUS_SUCCESS; }
  // How long the device takes to take an OUT transfer of `size` bytes.
  virtual std::chrono::milliseconds writeTime(UCHAR pipe, size_t size) { return {}; }
  // How many bytes of an OUT transfer the device can take now; the rest waits for room.
  virtual size_t room(UCHAR pipe) const { return SIZE_MAX; }
  // OUT data as the device takes it (at most `room`); a failure is a stall. Size 0: a
  // zero-length packet ended the host's transfer.
  virtual NTSTATUS accept(UCHAR pipe, const BYTE* data, size_t size) { return STATUS_SUCCESS; }
  // Up to `max` bytes for an IN transfer, as far as the device has them now. Fewer than
  // `max` ends the device's transfer (it has no more for now): with a short packet, or
  // on a packet boundary with a zero-length packet as the endpoint's habit says.
  virtual NTSTATUS supply(UCHAR pipe, BYTE* out, size_t max, size_t* produced,
                          SteadyClock::time_point now) {
    *produced = 0;
    return STATUS_SUCCESS;
  }
  // When supply will next have data of its own accord (a timed source).
  virtual SteadyClock::time_point nextSupply(SteadyClock::time_point now) const {
    return SteadyClock::time_point::max();
  }
  // A control transfer on the default pipe; `moved` is the data stage's length.
  virtual NTSTATUS control(const WINUSB_SETUP_PACKET& setup, BYTE* data, size_t* moved) {
    *moved = setup.Length;
    return STATUS_SUCCESS;
  }
  // How long the device takes to answer a control transfer: a few frames at least (USB
  // 2.0, 9.2.6.4 allows a device up to 500 ms for a request with a data stage).
  std::chrono::milliseconds controlTime{Variance::instance().between(1, 0, 50)};
};

// Bytes written to any OUT pipe come back on `inPipe`, in order. The device holds at
// most `capacity` bytes that nobody read; writes wait for room beyond that.
class EchoModel : public DeviceModel {
 public:
  static constexpr size_t kCapacity = 256 * 1024;
  explicit EchoModel(UCHAR inPipe, size_t capacity = kCapacity) : inPipe_(inPipe), capacity_(capacity) {}
  size_t room(UCHAR) const override { return capacity_ - pending_.size(); }
  NTSTATUS accept(UCHAR pipe, const BYTE* data, size_t size) override;
  NTSTATUS supply(UCHAR pipe, BYTE* out, size_t max, size_t* produced,
                  SteadyClock::time_point now) override;

 private:
  UCHAR inPipe_;
  size_t capacity_;
  std::deque<BYTE> pending_;
};

// `inPipe` produces the bytes 0, 1, 2, ... 255, 0, ... at `bytesPerSecond` (0: as fast
// as it is read).
class StreamModel : public DeviceModel {
 public:
  StreamModel(UCHAR inPipe, double bytesPerSecond) : inPipe_(inPipe), rate_(bytesPerSecond) {}
  NTSTATUS supply(UCHAR pipe, BYTE* out, size_t max, size_t* produced,
                  SteadyClock::time_point now) override;
  SteadyClock::time_point nextSupply(SteadyClock::time_point now) const override;

 private:
  UCHAR inPipe_;
  double rate_;
  bool started_ = false;
  SteadyClock::time_point start_;
  unsigned long long produced_ = 0;
};

// Takes every write, never sends anything.
class SilentModel : public DeviceModel {};

// Every pipe request fails, as on an endpoint that stalls for good.
class StallingModel : public DeviceModel {
 public:
  NTSTATUS accept(UCHAR, const BYTE*, size_t) override { return STATUS_UNSUCCESSFUL; }
  NTSTATUS supply(UCHAR, BYTE*, size_t, size_t* produced, SteadyClock::time_point) override {
    *produced = 0;
    return STATUS_UNSUCCESSFUL;
  }
};

// An echo whose IN pipe fails its first `failures` reads with `status`: at once (the
// driver refuses them) or at their completion. `failed` counts them.
class FailingModel : public EchoModel {
 public:
  FailingModel(UCHAR inPipe, NTSTATUS status, bool atOnce, int failures)
      : EchoModel(inPipe), status_(status), atOnce_(atOnce), failures_(failures) {}
  NTSTATUS admit(UCHAR pipe) override { return Fail((pipe & 0x80) && atOnce_); }
  NTSTATUS supply(UCHAR pipe, BYTE* out, size_t max, size_t* produced, SteadyClock::time_point now) override;
  std::atomic<int> failed{0};

 private:
  NTSTATUS Fail(bool now);
  NTSTATUS status_;
  bool atOnce_;
  int failures_;
};

// Writes take `delay` each; nothing is sent back.
class SlowModel : public DeviceModel {
 public:
  explicit SlowModel(std::chrono::milliseconds delay) : delay_(delay) {}
  std::chrono::milliseconds writeTime(UCHAR, size_t) override { return delay_; }

 private:
  std::chrono::milliseconds delay_;
};

// The I/O side of one attached USB device.
class UsbDevice {
 public:
  UsbDevice(Kernel& kernel, std::vector<Endpoint> endpoints, std::shared_ptr<DeviceModel> model);
  ~UsbDevice();
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  const Endpoint* endpoint(UCHAR address) const;
  const std::vector<Endpoint>& endpoints() const { return endpoints_; }
  // The interface numbers the endpoints belong to, in the order they first appear (an
  // interface without endpoints is not modelled).
  std::vector<UCHAR> interfaces() const;
  // Once unplugged, the device no longer calls its model, which may then serve another.
  const std::shared_ptr<DeviceModel>& model() const { return model_; }

  // One pipe transfer for `opener` (the device file it came through), in packets of the
  // endpoint's size. With an OVERLAPPED record: STATUS_PENDING while it runs, completion
  // through the record (also when it ends at once). Without: waits for its end.
  NTSTATUS transfer(FileObject* opener, UCHAR pipe, BYTE* buffer, DWORD size, const PipePolicy& policy,
                    LPOVERLAPPED overlapped, DWORD* bytes);
  // Takes the model's control time; `timeoutMs` 0: none.
  NTSTATUS control(const WINUSB_SETUP_PACKET& setup, BYTE* data, DWORD size, DWORD timeoutMs, DWORD* moved);
  // The largest transfer WinUSB takes (its read-only MAXIMUM_TRANSFER_SIZE policy).
  const ULONG maximumTransferSize;
  NTSTATUS abortPipe(UCHAR pipe);
  NTSTATUS resetPipe(UCHAR pipe);
  NTSTATUS flushPipe(UCHAR pipe);
  // Cancels the transfers of one opener that `scope` covers; returns how many.
  size_t cancel(const FileObject* opener, const CancelScope& scope);
  // The device is gone: every pending transfer ends with the model's removal answer at
  // completion, every later one fails with its answer at once.
  void unplug();
  // The machine is going: what is still pending ends now, cancelled.
  void endPending();
  bool plugged() const;
  size_t pendingTransfers() const;
  // Pending transfers that were asked to end and have not yet.
  size_t cancellingTransfers() const;

 private:
  struct Transfer {
    // What the I/O manager references while the request runs: the file it came
    // through, the record's event, and the issuing thread (which CancelIo looks at).
    std::shared_ptr<FileObject> opener;
    std::shared_ptr<Event> event;
    DWORD thread = 0;
    UCHAR pipe;
    BYTE* buffer;
    DWORD size;
    LPOVERLAPPED overlapped;
    PipePolicy policy;
    SteadyClock::time_point deadline;  // max(): no time-out
    SteadyClock::time_point readyAt;   // OUT: when the device takes the data
    // Asked to end (cancelled, aborted, removed): with this status once `endAt` came.
    NTSTATUS endStatus = STATUS_SUCCESS;
    SteadyClock::time_point endAt;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    DWORD bytes = 0;  // taken by the device, or received from it, so far
  };
  using Lock = std::unique_lock<std::mutex>;

  bool tryComplete(Transfer& t, SteadyClock::time_point now);
  // IN: takes packets into the buffer until a short one, a zero-length one or a full
  // buffer ends the read.
  void receive(Transfer& t, const Endpoint& e, SteadyClock::time_point now);
  // OUT: the device takes the data as it has room.
  void send(Transfer& t, const Endpoint& e);
  // Ends `t` when it was asked to end and its time came; true when it has ended.
  bool endIfDue(Transfer& t, SteadyClock::time_point now);
  void finish(Transfer& t, NTSTATUS status, DWORD bytes);
  // The one cancel path: asks the pending transfers `which` picks to end with
  // `status` after `delay`; returns how many it asked.
  size_t endLater(NTSTATUS status, const std::function<bool(const Transfer&)>& which,
                  std::chrono::milliseconds delay);
  // How long a cancel takes to end a transfer: the model's, or drawn.
  std::chrono::milliseconds cancelDelay() const;
  void serve();

  Kernel& kernel_;
  std::vector<Endpoint> endpoints_;
  std::shared_ptr<DeviceModel> model_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::list<std::shared_ptr<Transfer>> pending_;
  bool plugged_ = true;
  bool stopping_ = false;
  // Endpoints that stalled: they stay halted until a reset clears the halt.
  std::set<UCHAR> halted_;
  std::set<UCHAR> stalledOnce_;  // endpoints whose one stall (Stall::kOnce) came
  // What overflowed a read, kept for the next read of the pipe (ALLOW_PARTIAL_READS).
  std::map<UCHAR, std::deque<BYTE>> kept_;
  std::thread service_;
};

// One request the "pxusb" driver model received.
struct DriverRequest {
  DWORD code;
  std::vector<BYTE> input;
  DWORD outputSize;
};

class UsbDeviceFile;

// What WinUsb_Initialize (the function's first interface) or
// WinUsb_GetAssociatedInterface (a further one) hands out: the device file it runs on,
// the interface, the pipe policies set through it (pipe 0: the default pipe) and the
// calls now inside it.
struct WinUsbInterface {
  std::shared_ptr<UsbDeviceFile> file;
  UCHAR interfaceNumber = 0;
  std::atomic<int> callsInside{0};

  // Whether `pipe` is an endpoint of this interface.
  bool owns(UCHAR pipe) const;
  // Hands out associated interface `index` once: false when it was handed out before.
  bool claimAssociated(UCHAR index) {
    std::lock_guard<std::mutex> guard(lock);
    return associated.insert(index).second;
  }

  PipePolicy policy(UCHAR pipe) const {
    std::lock_guard<std::mutex> guard(lock);
    return policyHeld(pipe);
  }
  template <class Change>
  void changePolicy(UCHAR pipe, Change change) {
    std::lock_guard<std::mutex> guard(lock);
    PipePolicy changed = policyHeld(pipe);
    change(changed);
    policies[pipe] = changed;
  }

 private:
  // The default pipe (0) waits 5 s by default, the others without end (PIPE_TRANSFER_TIMEOUT
  // in Microsoft's table of pipe policies).
  PipePolicy policyHeld(UCHAR pipe) const {
    auto it = policies.find(pipe);
    if (it != policies.end()) return it->second;
    PipePolicy defaults;
    if (pipe == 0) defaults.timeoutMs = 5000;
    return defaults;
  }

  mutable std::mutex lock;  // the pipes' policies are set from any thread
  std::map<UCHAR, PipePolicy> policies;
  std::set<UCHAR> associated;  // positions of the associated interfaces handed out
};

// The machine's attached USB devices by the path their device files are opened by.
class UsbIo {
 public:
  explicit UsbIo(Kernel& kernel);
  ~UsbIo();

  // `path` is what CreateFileA is given ("\\.\usb#vid_..."), compared without regard to
  // case; `service` is the driver serving it ("WinUSB", "pxusb", anything else).
  std::shared_ptr<UsbDevice> attach(const std::string& path, const std::string& service,
                                    std::vector<Endpoint> endpoints,
                                    std::shared_ptr<DeviceModel> model);
  void detach(const std::string& path);
  // Every device is gone (the machine is going): what was pending ends.
  void unplugAll();
  std::shared_ptr<UsbDevice> device(const std::string& path) const;

  // In a hosted machine, opening `path` opens the real device `realPath` in the host
  // (a device served by a real "pxusb" driver); elsewhere `path` has no file.
  void route(const std::string& path, const std::string& realPath);
  // The real device `path` is routed to; empty when it has none.
  std::string realDevice(const std::string& path) const;

  Kernel& kernel() { return kernel_; }
  // The newest kDriverLogRequests requests the "pxusb" driver model received.
  static constexpr size_t kDriverLogRequests = 4096;
  std::vector<DriverRequest> driverLog() const;
  void recordDriverRequest(DriverRequest request);

  WINUSB_INTERFACE_HANDLE openInterface(std::shared_ptr<UsbDeviceFile> file, UCHAR interfaceNumber);
  // The interface behind a handle. A handle that WinUsb_Free already freed is a loud
  // failure, as a verifier makes it: the process stops with a message.
  std::shared_ptr<WinUsbInterface> findInterface(WINUSB_INTERFACE_HANDLE handle) const;
  // Freeing an interface that another thread is still inside stops the process too.
  bool freeInterface(WINUSB_INTERFACE_HANDLE handle);
  size_t openInterfaces() const;
  std::vector<std::shared_ptr<WinUsbInterface>> interfaces() const;
  // Calls now running inside any interface (for tests that close during one).
  int interfaceCallsInside() const;

 private:
  struct Attached {
    std::string service;
    std::shared_ptr<UsbDevice> device;
  };
  Kernel& kernel_;
  mutable std::mutex lock_;
  std::map<std::string, Attached> devices_;  // key: lower-case path
  std::map<std::string, std::string> routes_;  // lower-case path -> real device path
  std::deque<DriverRequest> driverLog_;
  std::map<WINUSB_INTERFACE_HANDLE, std::shared_ptr<WinUsbInterface>> interfaces_;
  // Handles are never handed out twice, so every freed one is known as such.
  std::set<WINUSB_INTERFACE_HANDLE> freed_;
  ULONG_PTR nextInterface_ = 0x7e000000;
};

// Registers the simulated Winusb.dll with the machine's modules.
void installWinUsbModule(Kernel& kernel);

}  // namespace sim
