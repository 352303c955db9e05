// The machine the fuzz targets run on, built once per process: a device on WinUSB,
// a hub with a device on the pxusb driver and a device without a driver, and a USB
// stick with a volume; and a USB component listing them.
#pragma once

#include "lib/pxusb.h"
#include "platform/sim/description.h"

namespace pxfuzz {

inline const char kMachine[] = R"json({"controllers": [{"number": 0, "rootHub": {"ports": 3, "attach": {
  "1": {"vid": "0x2F1A", "pid": "0x0101", "service": "WinUSB", "model": "echo",
        "strings": ["Maker", "Echo", "SN1"], "iManufacturer": 1, "iProduct": 2, "iSerialNumber": 3,
        "endpoints": [{"address": "0x81"}, {"address": "0x02"}]},
  "2": {"vid": "0x3A21", "pid": "0x2514", "hub": {"ports": 2, "attach": {
    "1": {"vid": "0x2F1A", "pid": "0x0102", "service": "PXUSB", "model": "echo",
          "endpoints": [{"address": "0x82"}, {"address": "0x01"}]},
    "2": {"vid": "0x0BAD", "pid": "0x0001", "driver": false, "strings": ["Prototype"], "iProduct": 1}}}},
  "3": {"vid": "0x3B04", "pid": "0x1F20", "service": "USBSTOR", "interfaceClass": 8,
        "endpoints": [{"address": "0x81"}, {"address": "0x02"}], "storage": {"letter": "E"}}}}}]})json";

struct Machine {
  Machine() : usb(MakeComponent<TpxUSB>(nullptr)) { usb->LoadDevices(); }
  // The tree holds the machine's local memory.
  ~Machine() {
    usb.reset();
    USBManager().Clear();
  }
  sim::DescribedMachine described{kMachine};
  TOwned<TpxUSB> usb;
};

}  // namespace pxfuzz
