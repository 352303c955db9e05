// Lists the USB devices of the simulated demo machine and says "hello" to its echo
// device: the pxusb components in a program of your own.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "lib/pxusb.h"
#include "lib/pxusbpipe.h"
#include "platform/sim/description.h"

// What the pipe pair's reader thread receives.
class Received {
 public:
  void Add(TObject*, void* buffer, DWORD count) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      text_.append(static_cast<const char*>(buffer), count);
    }
    arrived_.notify_all();
  }
  // Waits until `size` bytes have come, or five seconds passed.
  std::string Wait(size_t size) {
    std::unique_lock<std::mutex> guard(lock_);
    arrived_.wait_for(guard, std::chrono::seconds(5), [&] { return text_.size() >= size; });
    return text_;
  }

 private:
  std::mutex lock_;
  std::condition_variable arrived_;
  std::string text_;
};

int main() {
  // Off Windows a simulated PC is the only Windows there is; on Windows, leave this
  // line out to use the real devices.
  auto machine = sim::loadMachine("demo");

  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->LoadDevices();  // every non-hub USB device, in port order
  std::printf("%d devices\n", usb->DeviceCount());
  for (int i = 0; i < usb->DeviceCount(); ++i) {
    auto* device = static_cast<TpxUsbDevice*>(usb->Devices(i));
    std::printf("%d: %s (%s), pipes: %d\n", i, device->Name.c_str(), device->Service.c_str(),
                device->PipeCount());
  }

  usb->SetDeviceIndex(0);  // the echo device, on WinUSB
  usb->SetActive(true);
  Received received;
  TOwned<TpxUSBPipePair> pair = MakeComponent<TpxUSBPipePair>(nullptr);
  pair->SetUsbDevice(usb.get());
  pair->SetPipeIn(0);  // positions in the device's pipe list
  pair->SetPipeOut(1);
  pair->OnAfterReceive = TOnReceived::Of<&Received::Add>(&received);  // on the reader thread
  pair->SetActive(true);
  pair->SendString("hello");
  std::string echo = received.Wait(5);
  std::printf("echo: %s\n", echo.c_str());
  pair->SetActive(false);  // the pair first, then the device
  usb->SetActive(false);
  return echo == "hello" ? 0 : 1;
}
