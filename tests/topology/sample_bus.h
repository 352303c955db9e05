// A small bus for the hub request tests: controller 0 with a root hub of three
// ports: 1 a device with bulk IN 0x81 and OUT 0x02 and two strings, 2 free, 3 a hub
// whose port 2 holds a low-speed device without a driver.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/usbbus.h"

namespace pxtest {

inline const std::string kSampleRootHub =
    "USB#ROOT_HUB20#4&1b2c3d4e&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
inline const std::string kSampleChildHub =
    "USB#VID_05E3&PID_0608#5&2a7c0e0b&0&3#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

inline std::unique_ptr<sim::UsbBusDevice> SampleDevice(WORD vid, WORD pid,
                                                        std::vector<sim::UsbBusEndpoint> endpoints) {
  auto d = std::make_unique<sim::UsbBusDevice>();
  d->vendorId = vid;
  d->productId = pid;
  d->endpoints = std::move(endpoints);
  d->driverKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0001";
  return d;
}

inline void AddSampleController(sim::UsbBus& bus) {
  sim::UsbBusController hc;
  hc.number = 0;
  hc.driverKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0000";
  hc.rootHub.name = kSampleRootHub;
  hc.rootHub.ports.resize(3);
  auto echo = SampleDevice(0x1234, 0x5678, {{0x81, USB_ENDPOINT_TYPE_BULK, 512, 0}, {0x02, USB_ENDPOINT_TYPE_BULK, 512, 0}});
  echo->iProduct = 2;
  echo->strings = {{1, "Maker"}, {2, "Echo"}};
  hc.rootHub.ports[0].device = std::move(echo);
  auto hub = SampleDevice(0x05E3, 0x0608, {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 1, 12}});
  hub->deviceClass = 9;
  hub->hub = std::make_unique<sim::UsbBusHub>();
  hub->hub->name = kSampleChildHub;
  hub->hub->ports.resize(2);
  auto mouse = SampleDevice(0x046D, 0xC077, {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 4, 10}});
  mouse->bcdUSB = 0x0110;
  mouse->speed = UsbLowSpeed;
  mouse->driverKey.clear();
  hub->hub->ports[1].device = std::move(mouse);
  hc.rootHub.ports[2].device = std::move(hub);
  bus.addController(std::move(hc));
}

}  // namespace pxtest
