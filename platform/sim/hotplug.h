// Taking devices off the ports of a described machine and putting them back, as a user
// does. The bus, the devnodes and the device files follow; then every top-level window
// of the process hears of it through WM_DEVICECHANGE: DBT_DEVNODES_CHANGED, and for a
// device with a port name (a serial port) also DBT_DEVICEARRIVAL or
// DBT_DEVICEREMOVECOMPLETE with a DBT_DEVTYP_PORT record, as Windows does. The message
// goes through the installed user32, so a hosted machine reaches the real windows.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/usbbus.h"

namespace sim {

class HotPlug {
 public:
  HotPlug(SimMachine& machine, UsbBus& bus) : machine_(machine), bus_(bus) {}

  // The place of a device: its controller's number, then the port numbers (1-based)
  // from the root hub down, {2, 1} being port 1 of the hub on root port 2.
  struct Place {
    unsigned controller;
    std::vector<unsigned> ports;
    bool operator<(const Place& other) const {
      return std::tie(controller, ports) < std::tie(other.controller, other.ports);
    }
  };

  // Whether `place` names a port of the bus, taken or not.
  bool exists(const Place& place);
  // False when no device stands there. Everything below an unplugged hub goes too.
  bool unplug(const Place& place);
  // Puts back what was unplugged from `place`, and everything that was below it. Each
  // device file answers through the model it had before; `model`, when given, is the
  // plugged device's new one (a device that never had one gets none). False when
  // nothing was unplugged there or the port is taken. A composite device arrives in
  // stages: first its own devnode, then each function's, each stage told apart.
  bool plug(const Place& place, std::shared_ptr<DeviceModel> model = nullptr);

 private:
  // The port at `place`, or null; under the bus lock.
  static UsbBusPort* portAt(std::map<unsigned, UsbBusController>& controllers, const Place& place);
  DevNode* nodeOf(const UsbBusDevice& device);
  // What answered at a device file: its model and endpoints.
  struct Answering {
    std::shared_ptr<DeviceModel> model;
    std::vector<Endpoint> endpoints;
  };
  // Device file path -> what answered there.
  using Models = std::map<std::string, Answering>;
  struct Unplugged {
    std::unique_ptr<UsbBusDevice> device;
    Models models;
  };
  // Sets the devnodes of `device` and everything below it present or absent. Device
  // files go with their devices, their models into `models`; coming back, each
  // device file with a model in `models` answers through it again.
  // Coming back, a composite device's function devnodes stay absent and are added to
  // `functions`, to arrive after their parent.
  void follow(const UsbBusDevice& device, bool present, Models& models, std::vector<DevNode*>& functions);
  // The device file of a devnode goes, its model kept in `models`, or comes back with it.
  void followFile(const DevNode& node, bool present, Models& models);
  // The volumes on the disks of `node` and their drive letters go or come back.
  void followVolumes(const DevNode& node, bool present);
  // DBT_DEVNODES_CHANGED, then the port record of `node` if it has a port name.
  void broadcast(const DevNode* node, WPARAM event);
  void broadcastPort(const DevNode& node, WPARAM event);

  SimMachine& machine_;
  UsbBus& bus_;
  std::map<Place, Unplugged> unplugged_;
  // The drive letters of volumes that went, by letter: they come back with them.
  std::map<char, Drive> drives_;
};

}  // namespace sim
