#include "platform/sim/hotplug.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/sim/text.h"

namespace sim {

namespace {

// DEV_BROADCAST_PORT_A with room for the port's name.
struct PortBroadcast {
  DEV_BROADCAST_HDR header;
  char name[64];
};

// The path of the device file behind a USB device's devnode, or empty.
std::string deviceFile(const DevNode& node) {
  for (const DeviceInterface& i : node.interfaces) {
    if (lowerAscii(i.path).compare(0, 8, "\\\\?\\usb#") == 0) return "\\\\.\\" + i.path.substr(4);
  }
  return "";
}

BOOL CALLBACK collectWindow(HWND hwnd, LPARAM windows) {
  reinterpret_cast<std::vector<HWND>*>(windows)->push_back(hwnd);
  return TRUE;
}

// Sends to every top-level window of this process, as the system broadcasts device
// changes (the machine's devices are this process's only).
void broadcastToProcess(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!win::api().user32.EnumWindows) return;  // a machine without windows
  std::vector<HWND> windows;
  win::EnumWindows(&collectWindow, reinterpret_cast<LPARAM>(&windows));
  DWORD self = win::GetCurrentProcessId();
  for (HWND hwnd : windows) {
    DWORD process = 0;
    if (win::GetWindowThreadProcessId(hwnd, &process) && process == self) win::SendMessageA(hwnd, message, wParam, lParam);
  }
}

}  // namespace

DevNode* HotPlug::nodeOf(const UsbBusDevice& device) {
  if (device.driverKey.empty()) return nullptr;
  for (DevNode* node : machine_.devices().devices()) {
    if (node->driverKey == device.driverKey) return node;
  }
  return nullptr;
}

UsbBusPort* HotPlug::portAt(std::map<unsigned, UsbBusController>& controllers, const Place& place) {
  auto controller = controllers.find(place.controller);
  if (controller == controllers.end() || place.ports.empty()) return nullptr;
  UsbBusHub* hub = &controller->second.rootHub;
  for (size_t i = 0;; ++i) {
    unsigned number = place.ports[i];
    if (number < 1 || number > hub->ports.size()) return nullptr;
    UsbBusPort& port = hub->ports[number - 1];
    if (i + 1 == place.ports.size()) return &port;
    if (!port.device || !port.device->hub) return nullptr;
    hub = port.device->hub.get();
  }
}

bool HotPlug::exists(const Place& place) {
  bool found = false;
  bus_.edit([&](std::map<unsigned, UsbBusController>& controllers) { found = portAt(controllers, place) != nullptr; });
  return found;
}

bool HotPlug::unplug(const Place& place) {
  Unplugged gone;
  bus_.edit([&](std::map<unsigned, UsbBusController>& controllers) {
    if (UsbBusPort* port = portAt(controllers, place)) gone.device = std::move(port->device);
  });
  if (!gone.device) return false;
  std::vector<DevNode*> functions;
  follow(*gone.device, false, gone.models, functions);
  DevNode* node = nodeOf(*gone.device);
  broadcast(node, DBT_DEVICEREMOVECOMPLETE);
  for (DevNode* function : functions) broadcastPort(*function, DBT_DEVICEREMOVECOMPLETE);
  unplugged_[place] = std::move(gone);
  return true;
}

bool HotPlug::plug(const Place& place, std::shared_ptr<DeviceModel> model) {
  auto it = unplugged_.find(place);
  if (it == unplugged_.end()) return false;
  UsbBusDevice* device = it->second.device.get();
  bool placed = false;
  bus_.edit([&](std::map<unsigned, UsbBusController>& controllers) {
    UsbBusPort* port = portAt(controllers, place);
    if (!port || port->device) return;
    port->device = std::move(it->second.device);
    placed = true;
  });
  if (!placed) return false;
  Models models = std::move(it->second.models);
  unplugged_.erase(it);
  DevNode* node = nodeOf(*device);
  std::string file = node ? deviceFile(*node) : "";
  if (model && !file.empty()) {
    Answering& answering = models[file];
    answering.model = std::move(model);
    if (answering.endpoints.empty()) {
      for (const UsbBusEndpoint& e : device->endpoints) {
        answering.endpoints.push_back({e.address, e.type, e.maxPacketSize, e.interval});
      }
    }
  }
  std::vector<DevNode*> functions;
  follow(*device, true, models, functions);
  broadcast(node, DBT_DEVICEARRIVAL);
  // The generic parent driver is loaded for the composite device's own devnode and
  // reports its functions once that device has started:
  // https://learn.microsoft.com/windows-hardware/drivers/usbcon/enumeration-of-the-composite-parent-device
  // https://learn.microsoft.com/windows-hardware/drivers/usbcon/usb-common-class-generic-parent-driver
  for (DevNode* function : functions) {
    function->present = true;
    followFile(*function, true, models);
    broadcast(function, DBT_DEVICEARRIVAL);
  }
  return true;
}

void HotPlug::followFile(const DevNode& node, bool present, Models& models) {
  std::string file = deviceFile(node);
  if (file.empty()) return;
  UsbIo& io = machine_.usbIo();
  if (!present) {
    // The device file of a device that went answers no more.
    if (std::shared_ptr<UsbDevice> gone = io.device(file)) models[file] = {gone->model(), gone->endpoints()};
    io.detach(file);
    return;
  }
  auto answering = models.find(file);
  if (answering != models.end()) io.attach(file, node.service, answering->second.endpoints, answering->second.model);
}

void HotPlug::follow(const UsbBusDevice& device, bool present, Models& models, std::vector<DevNode*>& functions) {
  if (DevNode* node = nodeOf(device)) {
    node->present = present;
    followVolumes(*node, present);
    followFile(*node, present, models);
    if (!device.functions.empty()) {
      for (DevNode* function : node->children) {
        if (!present) followFile(*function, false, models);
        function->present = false;
        functions.push_back(function);
      }
    }
  }
  if (!device.hub) return;
  for (const UsbBusPort& port : device.hub->ports) {
    if (port.device) follow(*port.device, present, models, functions);
  }
}

void HotPlug::followVolumes(const DevNode& node, bool present) {
  Kernel& kernel = machine_.kernel();
  for (const DevNode* disk : node.children) {
    for (const std::string& id : disk->removalRelations) {
      DevNode* volume = machine_.devices().find(id);
      if (!volume) continue;
      volume->present = present;
      char letter = volume->driveLetter;
      std::vector<Drive> drives = kernel.drives();
      auto at = std::find_if(drives.begin(), drives.end(), [&](const Drive& d) { return d.letter == letter; });
      if (!present && at != drives.end()) {
        drives_[letter] = *at;
        drives.erase(at);
      } else if (present && at == drives.end() && drives_.count(letter)) {
        drives.push_back(drives_[letter]);
        drives_.erase(letter);
      }
      kernel.setDrives(std::move(drives));
    }
  }
}

void HotPlug::broadcast(const DevNode* node, WPARAM event) {
  broadcastToProcess(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  if (node) broadcastPort(*node, event);
}

void HotPlug::broadcastPort(const DevNode& node, WPARAM event) {
  HKEY key = nullptr;
  if (machine_.registry().open(HKEY_LOCAL_MACHINE, DeviceTree::hardwareKeyPath(node).c_str(), KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  PortBroadcast record{};
  DWORD size = sizeof record.name - 1;
  DWORD type = 0;
  bool named = machine_.registry().queryValue(key, "PortName", &type, reinterpret_cast<BYTE*>(record.name), &size) ==
                   ERROR_SUCCESS &&
               type == REG_SZ;
  machine_.registry().close(key);
  if (!named) return;
  record.header.dbch_size = static_cast<DWORD>(sizeof record.header + std::strlen(record.name) + 1);
  record.header.dbch_devicetype = DBT_DEVTYP_PORT;
  broadcastToProcess(WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&record));
}

}  // namespace sim
