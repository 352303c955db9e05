// A simulated machine with one WinUSB stream device (IN 0x81, OUT 0x02, 512-byte
// packets) that answers every read at once and in full, listed by a TpxUSB.
#pragma once

#include <memory>
#include <string>

#include "lib/pxusb.h"
#include "platform/sim/description.h"

namespace pxbench {

inline const char kStreamMachine[] = R"({"controllers": [{"number": 0, "rootHub": {"ports": 1, "attach": {
  "1": {"vid": "0x1209", "pid": "0x00FF", "description": "stream", "service": "WinUSB",
        "endpoints": [{"address": "0x81", "maxPacket": 512}, {"address": "0x02", "maxPacket": 512}]}}}}]})";

class StreamMachine {
 public:
  StreamMachine() : machine_(kStreamMachine), usb_(MakeComponent<TpxUSB>(nullptr)) {
    usb_->GetDevices(nullptr);
    usb_->SetDeviceIndex(0);
    path_ = ToWin32DevicePath(usb_->SelectedDevice()->DevicePath);
    machine_.machine().usbIo().attach(path_, "WinUSB", {{0x81, 2, 512}, {0x02, 2, 512}},
                                      std::make_shared<sim::StreamModel>(0x81, 0));
  }
  TpxUSB& usb() { return *usb_; }
  const std::string& path() const { return path_; }

 private:
  sim::DescribedMachine machine_;
  TOwned<TpxUSB> usb_;
  std::string path_;
};

}  // namespace pxbench
