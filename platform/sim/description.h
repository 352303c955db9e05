// Machine descriptions: a simulated PC's USB controllers, hubs, ports and devices,
// their devnodes and registry entries, and its drives, from one JSON document (see
// docs/machine-description.md). The built-in machine "demo" is the embedded default.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/timeline.h"
#include "platform/sim/usbbus.h"

namespace sim {

// An invalid description: `path` is the JSON pointer of the faulty part ("/" for the
// whole document), and what() reads "<path>: <reason>".
class DescriptionError : public std::runtime_error {
 public:
  DescriptionError(const std::string& path, const std::string& reason)
      : std::runtime_error(path + ": " + reason), path(path) {}
  std::string path;
};

// Builds what `json` describes into a fresh machine and its bus, and gives its
// hot-plug timeline (not started). Throws DescriptionError when the description is
// invalid; the machine is then half built and good for nothing but destruction.
std::vector<TimelineStep> describeMachine(SimMachine& machine, UsbBus& bus, const std::string& json);

// The JSON text of a built-in machine ("demo", or "demo-driver": the demo with its data
// logger on the real pxusb driver), or empty when there is none by that name.
std::string builtinMachine(const std::string& name);

// A simulated PC built from a description, installed as the process's backend for
// its lifetime.
class DescribedMachine {
 public:
  DescribedMachine(const std::string& json, unsigned groups = SimMachine::kAllGroups);
  SimMachine& machine() { return machine_; }
  UsbBus& usb() { return usb_; }
  // The description's hot-plug timeline; its clock starts with start().
  Timeline& timeline() { return *timeline_; }

 private:
  SimMachine machine_;
  UsbBus usb_;
  std::unique_ptr<Timeline> timeline_;  // goes first: it plays on the machine
};

// `nameOrPath` is a built-in machine's name or the path of a description file.
std::unique_ptr<DescribedMachine> loadMachine(const std::string& nameOrPath,
                                              unsigned groups = SimMachine::kAllGroups);

}  // namespace sim
