// A hostile device read by a pipe pair: every input is the device's script, which it
// plays through WinUSB or through the pxusb driver while the pair reads and writes.
// Each IN request gets the next step: a failure status, or bytes with a byte count
// that may claim more than the request asked for; each OUT request is taken or
// failed. Whatever it says, the pair delivers at most what was asked, ends its reader
// when closed, and leaves nothing behind.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/machine.h"
#include "lib/pxusbpipe.h"

namespace {

const NTSTATUS kStatuses[] = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_IO_TIMEOUT, STATUS_CANCELLED,
                              STATUS_DEVICE_NOT_CONNECTED};

class ScriptedDevice : public sim::DeviceModel {
 public:
  ScriptedDevice(const std::uint8_t* data, std::size_t size) : script_(data, data + size) {}

  NTSTATUS supply(UCHAR, BYTE* out, size_t max, size_t* produced, sim::SteadyClock::time_point) override {
    *produced = 0;
    // Steps without bytes are skipped: only a played-out device leaves a read waiting.
    while (*produced == 0 && !PlayedOut()) {
      std::uint8_t step = script_[at_];
      std::uint8_t length = script_[at_ + 1];
      at_ += 2;
      unsigned status = (step >> 4) & 7;
      if (status < sizeof kStatuses / sizeof kStatuses[0] && kStatuses[status] != STATUS_SUCCESS) {
        return kStatuses[status];
      }
      std::memset(out, step, std::min<size_t>(length, max));
      // Bit 7: the device claims the whole step length, whatever the request's size.
      *produced = step & 0x80 ? length : std::min<size_t>(length, max);
    }
    return STATUS_SUCCESS;
  }
  NTSTATUS accept(UCHAR, const BYTE*, size_t size) override {
    return size % 3 == 2 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  }
  bool PlayedOut() const { return at_ + 2 > script_.size(); }

 private:
  std::vector<std::uint8_t> script_;
  std::atomic<size_t> at_{0};
};

class Receiver {
 public:
  // Every byte is read: a count beyond the buffer shows.
  void Received(TObject*, void* buffer, DWORD count) {
    std::lock_guard<std::mutex> guard(lock_);
    data_.append(static_cast<const char*>(buffer), count);
  }

 private:
  std::mutex lock_;
  std::string data_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static pxfuzz::Machine machine;
  if (size < 2) return 0;
  int index = data[0] & 1;  // 0: WinUSB, 1: the pxusb driver
  auto* node = dynamic_cast<TpxUsbDevice*>(machine.usb->Devices(index));
  std::vector<sim::Endpoint> endpoints;
  for (int i = 0; i < node->PipeCount(); ++i) endpoints.push_back({node->Pipes(i)->EndpointAddress()});
  auto model = std::make_shared<ScriptedDevice>(data + 1, size - 1);
  auto device = machine.described.machine().usbIo().attach(ToWin32DevicePath(node->DevicePath), node->Service,
                                                           endpoints, model);
  Receiver receiver;
  {
    TOwned<TpxUSBPipePair> pair = MakeComponent<TpxUSBPipePair>(nullptr);
    pair->OnAfterReceive = TOnReceived::Of<&Receiver::Received>(&receiver);
    pair->SetReadBufferSize(data[0] >> 1);
    machine.usb->SetDeviceIndex(index);
    machine.usb->SetActive(true);
    pair->SetUsbDevice(machine.usb.get());
    pair->SetPipeIn(0);
    pair->SetPipeOut(1);
    pair->SetActive(true);
    pair->SendString(std::string(data[1] % 5, 'w'));
    // The reader plays the script out, or ends on a failure first.
    sim::Kernel& kernel = machine.described.machine().kernel();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!model->PlayedOut() && kernel.runningThreads() > 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    pair->SetActive(false);
    machine.usb->SetActive(false);
  }  // the pair waits for its reader as it goes
  return 0;
}
