// The USB side of the simulated machine: host controllers (\\.\HCDn), hubs opened by
// "\\.\" + hub name, their ports and what hangs on them, with real descriptor bytes.
// The controller and hub device files answer the platform's USB I/O controls with
// Windows' reply rules; fault injection makes them fail or reply with hostile data.
//
// The model is plain data guarded by the bus lock. Device files keep only the name of
// what they opened and look it up again on every request, so a hub that went away
// answers "not connected" instead of touching freed memory.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/kernel.h"
#include "platform/win32.h"
#include "platform/win32/usb.h"

namespace sim {

struct UsbBusEndpoint {
  BYTE address = 0;  // bit 7 set: IN
  BYTE type = USB_ENDPOINT_TYPE_BULK;
  WORD maxPacketSize = 64;
  BYTE interval = 0;
  // The device's habits on the endpoint, for its I/O (Endpoint in usbio.h).
  bool zeroLengthPacket = true;
  BYTE stall = 0;  // an Endpoint::Stall
};

// One interface of a composite device, in its alternate setting 0.
struct UsbBusInterface {
  BYTE number = 0;
  BYTE interfaceClass = 0xFF;
  BYTE subClass = 0;
  BYTE protocol = 0;
  std::vector<UsbBusEndpoint> endpoints;
};

// One function of a composite device: a single interface, or several that an
// interface association descriptor joins (bFirstInterface, bInterfaceCount, and the
// first interface's class triple as the function's).
struct UsbBusFunction {
  std::vector<UsbBusInterface> interfaces;
};

struct UsbBusHub;

// One device on a port. A hub device carries its hub in `hub`.
struct UsbBusDevice {
  // Device descriptor.
  WORD bcdUSB = 0x0200;
  BYTE deviceClass = 0;
  BYTE deviceSubClass = 0;
  BYTE deviceProtocol = 0;
  BYTE maxPacketSize0 = 64;
  WORD vendorId = 0;
  WORD productId = 0;
  WORD bcdDevice = 0x0100;
  BYTE iManufacturer = 0;
  BYTE iProduct = 0;
  BYTE iSerialNumber = 0;
  // String descriptors by index (index 0, the language list, is implied).
  std::map<BYTE, std::string> strings;
  // Interface class of the one interface that holds `endpoints`.
  BYTE interfaceClass = 0xFF;
  // The pipes the hub opens: for a composite device every interface's endpoints, in
  // interface order.
  std::vector<UsbBusEndpoint> endpoints;
  // A composite device's functions, in interface order; empty for a device of one
  // interface.
  std::vector<UsbBusFunction> functions;

  BYTE speed = UsbHighSpeed;  // USB_DEVICE_SPEED
  ULONG connectionStatus = DeviceConnected;
  USHORT address = 0;  // assigned by the bus
  std::string driverKey;  // empty: no driver installed
  std::unique_ptr<UsbBusHub> hub;

  // The configuration descriptor with its interface and endpoint descriptors.
  std::vector<BYTE> configurationDescriptor() const;
};

struct UsbBusPort {
  std::unique_ptr<UsbBusDevice> device;  // empty: a free port
};

struct UsbBusHub {
  std::string name;         // opened as "\\.\" + name
  DWORD openError = 0;      // non-zero: CreateFileA fails with this error
  DWORD nodeInfoError = 0;  // non-zero: the hub information request fails with it
  std::vector<UsbBusPort> ports;
};

struct UsbBusController {
  unsigned number = 0;  // \\.\HCD<number>
  std::string driverKey;
  UsbBusHub rootHub;
};

// A hostile or failing reply to the n-th request of one I/O control code.
struct UsbFault {
  enum Kind {
    kFail,              // the request fails with error `value`
    kShortReply,        // at most `value` bytes come back
    kActualLength,      // a name reply reports ActualLength `value`
    kUnterminated,      // a name reply fills the whole buffer, with no terminating zero
    kDescriptorLength,  // a descriptor reply claims bLength `value`
    kOpenPipes,         // a connection reply claims `value` open pipes
    kCorrupt,           // the reply's byte at offset `value` >> 8, if any, becomes `value` & 0xFF
  };
  // Controllers and hubs share some request codes.
  enum Where { kAnywhere, kControllers, kHubs };
  DWORD code = 0;
  Kind kind = kFail;
  DWORD value = 0;
  int nth = 0;  // 1-based, among the requests the fault applies to, from its addition on; 0: all
  Where where = kAnywhere;
  int seen = 0;  // requests it applied to so far
};

// How a device that is plugged in arrives and how the machine tells the windows (see
// HotPlug). The unkind mode draws each of these anew at every arrival.
struct Arrival {
  std::chrono::milliseconds devnodeAfter{0};   // the hub reports it; then its devnode, no driver yet
  std::chrono::milliseconds startedAfter{0};   // then the driver starts and its interface opens
  unsigned devnodesChanged = 1;                // DBT_DEVNODES_CHANGED sent at the devnode stage
  std::chrono::milliseconds broadcastTimeout{5000};  // each top-level window's share of a broadcast
};

class UsbBus {
 public:
  // Registers the device files with the kernel; they stop answering once the bus is
  // destroyed.
  explicit UsbBus(Kernel& kernel);
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Builder: adds a controller (replacing one of the same number) and returns it.
  // Device addresses are assigned here, per controller, in depth-first order.
  UsbBusController& addController(UsbBusController controller);
  void removeController(unsigned number);

  // Runs `change` on the model under the bus lock.
  template <class F>
  void edit(F&& change) {
    std::lock_guard<std::mutex> guard(state_->lock);
    change(state_->controllers);
  }

  // Set by the machine's description before anything is plugged.
  Arrival arrival;

  void addFault(UsbFault fault);
  void clearFaults();
  // Requests answered so far with this code (faulty ones included).
  int requestCount(DWORD code) const;

  struct State {
    std::mutex lock;
    std::map<unsigned, UsbBusController> controllers;
    std::vector<UsbFault> faults;
    std::map<DWORD, int> counts;
  };

 private:
  std::shared_ptr<State> state_;
};

// "ABC" as UTF-16 code units (the machine's code page, Windows-1252).
std::u16string widen(const std::string& text);

}  // namespace sim
