#include "platform/sim/hotplug.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sim/text.h"
#include "platform/sim/variance.h"

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

// How long a stage of an arrival takes: the machine's usual time, or when unkind
// anything from none to a little longer.
void waitStage(std::chrono::milliseconds usual) {
  unsigned ms = static_cast<unsigned>(usual.count());
  std::this_thread::sleep_for(std::chrono::milliseconds(Variance::instance().between(ms, 0, ms + 20)));
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
  auto arriving = arriving_.find(place);
  if (arriving != arriving_.end()) {
    gone.models = std::move(arriving->second.models);
    arriving_.erase(arriving);
  }
  std::vector<DevNode*> nodes;
  std::vector<DevNode*> functions;
  collect(*gone.device, nodes, functions);
  nodes.insert(nodes.end(), functions.begin(), functions.end());
  // Surprise removal reaches the drivers first: the device's I/O fails before the
  // devnodes go and before any window hears of it.
  // https://learn.microsoft.com/windows-hardware/drivers/kernel/handling-an-irp-mn-surprise-removal-request
  for (DevNode* node : nodes) followFile(*node, false, gone.models);
  DWORD letters = 0;
  for (DevNode* node : nodes) {
    followVolumes(*node, false, letters);
    node->present = false;
  }
  broadcastChange(nodes, letters, DBT_DEVICEREMOVECOMPLETE);
  unplugged_[place] = std::move(gone);
  return true;
}

bool HotPlug::plug(const Place& place, std::shared_ptr<DeviceModel> model, Stage until) {
  auto arriving = arriving_.find(place);
  if (arriving == arriving_.end()) {
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
    // The hub reports the connection: the device is on the bus, nothing else yet.
    arriving = arriving_.emplace(place, Arriving{device, std::move(it->second.models), Stage::kConnected}).first;
    unplugged_.erase(it);
  }
  Arriving& a = arriving->second;
  DevNode* node = nodeOf(*a.device);
  std::string file = node ? deviceFile(*node) : "";
  if (model && !file.empty()) {
    Answering& answering = a.models[file];
    answering.model = std::move(model);
    if (answering.endpoints.empty()) {
      for (const UsbBusEndpoint& e : a.device->endpoints) {
        answering.endpoints.push_back({e.address, e.type, e.maxPacketSize, e.interval});
      }
    }
  }
  while (a.reached < until) advance(a);
  if (a.reached == Stage::kStarted) arriving_.erase(arriving);
  return true;
}

void HotPlug::advance(Arriving& a) {
  std::vector<DevNode*> nodes;
  std::vector<DevNode*> functions;
  collect(*a.device, nodes, functions);
  Variance& variance = Variance::instance();
  if (a.reached == Stage::kConnected) {
    // The bus driver reports the new device to Plug and Play: its devnode is there,
    // with no driver loaded and no interface enabled yet.
    // https://learn.microsoft.com/windows-hardware/drivers/install/step-1--the-new-device-is-identified
    waitStage(bus_.arrival.devnodeAfter);
    for (DevNode* node : nodes) {
      node->started = false;
      node->present = true;
    }
    unsigned count = variance.between(bus_.arrival.devnodesChanged, 1, 3);
    for (unsigned i = 0; i < count; ++i) broadcastToProcess(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    a.reached = Stage::kDevnode;
    return;
  }
  // The driver is found and started; it enables its interface.
  // https://learn.microsoft.com/windows-hardware/drivers/install/step-2--a-driver-for-the-device-is-selected
  waitStage(bus_.arrival.startedAfter);
  DWORD letters = 0;
  for (DevNode* node : nodes) {
    followVolumes(*node, true, letters);
    followFile(*node, true, a.models);
    node->started = true;
  }
  broadcastChange(nodes, letters, DBT_DEVICEARRIVAL);
  // The generic parent driver is loaded for the composite device's own devnode and
  // reports its functions once that device has started:
  // https://learn.microsoft.com/windows-hardware/drivers/usbcon/enumeration-of-the-composite-parent-device
  // https://learn.microsoft.com/windows-hardware/drivers/usbcon/usb-common-class-generic-parent-driver
  for (DevNode* function : functions) {
    function->started = true;
    function->present = true;
    followFile(*function, true, a.models);
    broadcastChange({function}, 0, DBT_DEVICEARRIVAL);
  }
  a.reached = Stage::kStarted;
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

void HotPlug::collect(const UsbBusDevice& device, std::vector<DevNode*>& nodes, std::vector<DevNode*>& functions) {
  if (DevNode* node = nodeOf(device)) {
    nodes.push_back(node);
    if (!device.functions.empty()) functions.insert(functions.end(), node->children.begin(), node->children.end());
  }
  if (!device.hub) return;
  for (const UsbBusPort& port : device.hub->ports) {
    if (port.device) collect(*port.device, nodes, functions);
  }
}

void HotPlug::followVolumes(const DevNode& node, bool present, DWORD& letters) {
  Kernel& kernel = machine_.kernel();
  for (const DevNode* disk : node.children) {
    for (const std::string& id : disk->removalRelations) {
      DevNode* volume = machine_.devices().find(id);
      if (!volume) continue;
      volume->present = present;
      char letter = volume->driveLetter;
      if (letter >= 'A' && letter <= 'Z') letters |= 1u << (letter - 'A');
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

void HotPlug::broadcastChange(const std::vector<DevNode*>& nodes, DWORD letters, WPARAM event) {
  // Windows does not order DBT_DEVNODES_CHANGED against the typed records.
  bool changedFirst = Variance::instance().pick(true, {false});
  if (changedFirst) broadcastToProcess(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  for (DevNode* node : nodes) broadcastPort(*node, event);
  broadcastVolumes(letters, event);
  if (!changedFirst) broadcastToProcess(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
}

void HotPlug::broadcastVolumes(DWORD letters, WPARAM event) {
  if (!letters) return;
  // https://learn.microsoft.com/windows/win32/api/dbt/ns-dbt-dev_broadcast_volume
  DEV_BROADCAST_VOLUME record{sizeof record, DBT_DEVTYP_VOLUME, 0, letters, 0};
  broadcastToProcess(WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&record));
}

void HotPlug::broadcastToProcess(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!win::api().user32.EnumWindows) return;  // a machine without windows
  std::vector<HWND> windows;
  win::EnumWindows(&collectWindow, reinterpret_cast<LPARAM>(&windows));
  DWORD self = win::GetCurrentProcessId();
  // The system sends device broadcasts to each top-level window with a time-out and
  // skips a window whose thread does not respond (SMTO_ABORTIFHUNG): a window busy
  // past the time-out, or hung, does not get the message.
  // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-sendmessagetimeouta
  // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-broadcastsystemmessage
  unsigned usual = static_cast<unsigned>(bus_.arrival.broadcastTimeout.count());
  UINT timeout = Variance::instance().between(usual, std::min(usual, 100u), usual);
  for (HWND hwnd : windows) {
    DWORD process = 0;
    DWORD_PTR result = 0;
    if (win::GetWindowThreadProcessId(hwnd, &process) && process == self) {
      win::SendMessageTimeoutA(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG, timeout, &result);
    }
  }
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
