// Shared pieces of the discovery tests: a fixture with its own simulated machine, an
// owning device list, and a small USB machine.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/classes.h"
#include "lib/pxclasses.h"
#include "lib/pxwin32di.h"
#include "support/backend.h"

namespace pxtest {

constexpr GUID kUsbClass = {
    0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr GUID kHidClass = {
    0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kUsbDeviceInterface = {
    0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

class SimDiscoveryTest : public ::testing::Test {
 protected:
  sim::Kernel& Kernel() { return machine_.kernel(); }
  sim::Registry& Registry() { return machine_.registry(); }
  sim::DeviceTree& Devices() { return machine_.devices(); }
  // No info set, key, local buffer or library left behind.
  void ExpectNothingLeftOpen() {
    EXPECT_EQ(Devices().infoSets(), 0u);
    EXPECT_EQ(Registry().openKeys(), 0u);
    EXPECT_EQ(Kernel().localAllocations(), 0u);
    EXPECT_EQ(Kernel().loadCount("ntdll.dll"), 0);
  }

 private:
  sim::SimMachine machine_;
};

// The records of a list that owns them.
class DeviceList {
 public:
  ~DeviceList() {
    for (int i = 0; i < list.Count(); ++i) delete list.Objects(i);
  }
  int Count() const { return list.Count(); }
  const TpxDevice& operator[](int i) const {
    return *static_cast<const TpxDevice*>(list.Objects(i));
  }
  TStringList list;
};

// A host controller with its root hub, three devices on the hub, and a serial port
// on the root of the tree.
struct UsbMachine {
  explicit UsbMachine(sim::DeviceTree& tree);
  sim::DevNode* controller;
  sim::DevNode* hub;
  std::vector<sim::DevNode*> devices;
  sim::DevNode* port;
};

}  // namespace pxtest
