// The Plug and Play side of the simulated machine: the devnode tree that the
// configuration manager walks, the devices and interfaces that SetupAPI lists, and
// each device's hardware key in the machine's registry
// (HKLM\SYSTEM\CurrentControlSet\Enum\<instance ID>\Device Parameters).
//
// Built from C++: add(parent, instance ID) gives a node whose fields the builder then
// sets. Nodes live as long as the tree; a node that is not present (a device that
// was installed once and is unplugged now) keeps its registry data, shows in
// SetupAPI's lists without DIGCF_PRESENT, and is absent from the devnode tree.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/sim/registry.h"
#include "platform/win32.h"

namespace sim {

struct DeviceInterface {
  GUID classGuid{};
  std::string path;  // the symbolic link, \\?\usb#vid_...#{class}
};

struct DevNode {
  DEVINST devInst = 0;
  std::string instanceId;
  DevNode* parent = nullptr;
  std::vector<DevNode*> children;  // in the order they were added

  std::string driverKey;     // {class GUID}\nnnn under Control\Class
  std::string service;
  std::string description;
  std::string manufacturer;
  std::string pdoName;       // \Device\USBPDO-3
  GUID classGuid{};          // setup class
  std::atomic<bool> present{true};  // hot-plug changes it on the simulator's own thread
  // Its driver runs and its interfaces are enabled. An arriving device's devnode is
  // there a while before: no service, no driver key, no interface listed as present.
  std::atomic<bool> started{true};
  std::vector<DeviceInterface> interfaces;
  std::vector<std::string> removalRelations;  // instance IDs
  char driveLetter = 0;  // a volume's drive letter, 0 for none

  // Raw bytes of a property, standing in for the one the fields give (SPDRP code),
  // the way a broken installer may have written it: unterminated, odd, oversized.
  std::map<DWORD, std::vector<BYTE>> rawProperties;
};

// A device information set that SetupAPI handed out: devices by DEVINST, in order.
struct DeviceInfoSet {
  std::vector<DEVINST> devices;
};

class DeviceTree {
 public:
  static constexpr const char* kRootId = "HTREE\\ROOT\\0";

  explicit DeviceTree(Registry& registry);
  DeviceTree(const DeviceTree&) = delete;
  DeviceTree& operator=(const DeviceTree&) = delete;

  DevNode& root() { return *nodes_.front(); }
  // A new devnode below `parent`, with its Enum key and hardware key in the registry.
  DevNode& add(DevNode& parent, const std::string& instanceId);
  // The hardware key of the node, relative to HKEY_LOCAL_MACHINE.
  static std::string hardwareKeyPath(const DevNode& node);
  void setHardwareValue(const DevNode& node, const std::string& name, DWORD type,
                        std::vector<BYTE> data);
  void setHardwareString(const DevNode& node, const std::string& name, const std::string& text);

  DevNode* find(DEVINST devInst);
  DevNode* find(const std::string& instanceId);  // case-insensitive
  // Every node but the root, in the order added (SetupAPI's enumeration order).
  std::vector<DevNode*> devices();
  // Present in the devnode tree: present itself and every ancestor present.
  bool live(const DevNode& node) const;
  // Live with its driver running.
  bool running(const DevNode& node) const { return live(node) && node.started; }

  // A property as SetupAPI and the configuration manager return it (SPDRP code):
  // false when the device has none.
  bool property(const DevNode& node, DWORD spdrp, DWORD* type, std::vector<BYTE>* data) const;

  // SetupAPI's device information sets: the HDEVINFO is the set's address.
  HDEVINFO createInfoSet(DeviceInfoSet set);
  DeviceInfoSet* infoSet(HDEVINFO handle);
  bool destroyInfoSet(HDEVINFO handle);
  size_t infoSets() const { return sets_.size(); }

 private:
  Registry& registry_;
  std::vector<std::unique_ptr<DevNode>> nodes_;
  std::unordered_map<std::string, DevNode*> byInstanceId_;  // lower-case ID -> first node with it
  std::map<HDEVINFO, std::unique_ptr<DeviceInfoSet>> sets_;
};

// Adds SetupAPI.dll (device installer and configuration manager, as Windows' own
// exports both) and cfgmgr32.dll to the machine's modules.
void addSetupModules(Kernel& kernel);

}  // namespace sim
