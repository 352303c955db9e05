// Taking devices off the ports of a described machine and putting them back, as a user
// does, in the order Windows follows.
//
// Removal: the device's I/O fails first (its driver sees the surprise removal before
// any program is told), then its devnodes go, then the windows hear of it. Handles
// open on its device files keep the device object, which answers with the removal
// errors of its model until they are closed; new opens fail.
// Arrival comes in stages: the hub reports the connection; after a while the devnode
// is there without a driver or an enabled interface; after another while the driver
// runs, the interface is enabled and the device file opens. The windows hear
// DBT_DEVNODES_CHANGED at each devnode stage (several times, as Windows may send it).
//
// Every top-level window of the process hears of it through WM_DEVICECHANGE:
// DBT_DEVNODES_CHANGED; for a device with a port name (a serial port) also
// DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE with a DBT_DEVTYP_PORT record, and for
// a disk's volumes one with a DBT_DEVTYP_VOLUME record, as Windows does. Each window
// gets the broadcast with a time-out, as SendMessageTimeout with SMTO_ABORTIFHUNG sends
// it: a window busy past the time-out, or hung, does not get it. The message goes
// through the installed user32, so a hosted machine reaches the real windows.
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
  // The stages of an arrival, in order.
  enum class Stage { kConnected, kDevnode, kStarted };
  // Puts back what was unplugged from `place`, and everything that was below it, up to
  // stage `until`; a later call goes on from the stage reached. Each device file
  // answers through the model it had before; `model`, when given, is the plugged
  // device's new one (a device that never had one gets none). False when nothing was
  // unplugged or is arriving there, or the port is taken. A composite device's
  // functions arrive after it has started, each told apart.
  bool plug(const Place& place, std::shared_ptr<DeviceModel> model = nullptr, Stage until = Stage::kStarted);

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
  // A device on its port whose arrival has not reached its last stage.
  struct Arriving {
    UsbBusDevice* device;
    Models models;
    Stage reached;
  };
  // The devnodes of `device` and everything below it; a composite device's functions
  // go to `functions`.
  void collect(const UsbBusDevice& device, std::vector<DevNode*>& nodes, std::vector<DevNode*>& functions);
  // The next stage of `arriving`.
  void advance(Arriving& arriving);
  // The device file of a devnode goes, its model kept in `models`, or comes back with it.
  void followFile(const DevNode& node, bool present, Models& models);
  // The volumes on the disks of `node` and their drive letters go or come back; the
  // letters' mask (bit 0: A) is added to `letters`.
  void followVolumes(const DevNode& node, bool present, DWORD& letters);
  // What the windows hear once `nodes` went or came: DBT_DEVNODES_CHANGED, the port
  // records and the volumes' record, in an order Windows may choose.
  void broadcastChange(const std::vector<DevNode*>& nodes, DWORD letters, WPARAM event);
  void broadcastPort(const DevNode& node, WPARAM event);
  void broadcastVolumes(DWORD letters, WPARAM event);
  // Sends to every top-level window of this process, each with the broadcast time-out.
  void broadcastToProcess(UINT message, WPARAM wParam, LPARAM lParam);

  SimMachine& machine_;
  UsbBus& bus_;
  std::map<Place, Unplugged> unplugged_;
  std::map<Place, Arriving> arriving_;
  // The drive letters of volumes that went, by letter: they come back with them.
  std::map<char, Drive> drives_;
};

}  // namespace sim
