// A simulated Windows PC. Constructing one installs it as the process's backend for
// the chosen groups of the seam; destroying it puts the previous table back. One
// machine is installed at a time; every test builds its own.
#pragma once

#include "platform/sim/devtree.h"
#include "platform/sim/kernel.h"
#include "platform/sim/user32.h"
#include "platform/sim/registry.h"
#include "platform/sim/usbio.h"
#include "platform/win32.h"

namespace sim {

class SimMachine {
 public:
  enum Groups : unsigned {
    kKernel32 = 1u << 0,
    kAdvapi32 = 1u << 1,
    kUser32 = 1u << 2,
    kOle32 = 1u << 3,
    kAllGroups = kKernel32 | kAdvapi32 | kUser32 | kOle32,
    // Instead of whole groups: inside the real Windows API already installed, only
    // devices, drives, the registry and the run-time bound modules are simulated.
    kHosted = 1u << 4,
  };

  explicit SimMachine(unsigned groups = kAllGroups);
  ~SimMachine();
  SimMachine(const SimMachine&) = delete;
  SimMachine& operator=(const SimMachine&) = delete;

  // The installed machine; the simulated entry points reach their state through it.
  static SimMachine& current();
  static bool installed();

  Kernel& kernel() { return kernel_; }
  User32& user() { return user_; }
  Registry& registry() { return registry_; }
  DeviceTree& devices() { return devices_; }
  UsbIo& usbIo() { return usbIo_; }

 private:
  Kernel kernel_;
  User32 user_{kernel_};
  Registry registry_{kernel_};
  DeviceTree devices_{registry_};
  UsbIo usbIo_{kernel_};
  win::Api saved_;
};

// Each area fills its group of the table with its simulated functions.
void installKernel32(win::Kernel32& table);
void installOle32(win::Ole32& table);
// kHosted: the entries of `table` that reach devices, drives, the registry and
// modules go to the machine; the rest of kernel32 stays `host`'s.
void installHosted(win::Api& table, const win::Kernel32& host, const win::Kernel32& simulated,
                   Kernel& machineKernel);

}  // namespace sim
