#include "platform/sim/devtree.h"

#include <cstdio>

#include "platform/sim/text.h"

namespace sim {

namespace {

std::vector<BYTE> textBytes(const std::string& text) {
  std::vector<BYTE> data(text.begin(), text.end());
  data.push_back(0);
  return data;
}

std::string guidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

}  // namespace

DeviceTree::DeviceTree(Registry& registry) : registry_(registry) {
  auto root = std::make_unique<DevNode>();
  root->devInst = 1;
  root->instanceId = kRootId;
  byInstanceId_.emplace(lowerAscii(kRootId), root.get());
  nodes_.push_back(std::move(root));
}

DevNode& DeviceTree::add(DevNode& parent, const std::string& instanceId) {
  auto node = std::make_unique<DevNode>();
  node->devInst = static_cast<DEVINST>(nodes_.size() + 1);
  node->instanceId = instanceId;
  node->parent = &parent;
  parent.children.push_back(node.get());
  registry_.createKey(HKEY_LOCAL_MACHINE, hardwareKeyPath(*node));
  byInstanceId_.emplace(lowerAscii(instanceId), node.get());
  nodes_.push_back(std::move(node));
  return *nodes_.back();
}

std::string DeviceTree::hardwareKeyPath(const DevNode& node) {
  return "SYSTEM\\CurrentControlSet\\Enum\\" + node.instanceId + "\\Device Parameters";
}

void DeviceTree::setHardwareValue(const DevNode& node, const std::string& name, DWORD type,
                                  std::vector<BYTE> data) {
  registry_.setValue(HKEY_LOCAL_MACHINE, hardwareKeyPath(node), name, type, std::move(data));
}

void DeviceTree::setHardwareString(const DevNode& node, const std::string& name,
                                   const std::string& text) {
  registry_.setString(HKEY_LOCAL_MACHINE, hardwareKeyPath(node), name, text);
}

DevNode* DeviceTree::find(DEVINST devInst) {
  return devInst >= 1 && devInst <= nodes_.size() ? nodes_[devInst - 1].get() : nullptr;
}

DevNode* DeviceTree::find(const std::string& instanceId) {
  auto it = byInstanceId_.find(lowerAscii(instanceId));
  return it == byInstanceId_.end() ? nullptr : it->second;
}

std::vector<DevNode*> DeviceTree::devices() {
  std::vector<DevNode*> list;
  for (size_t i = 1; i < nodes_.size(); ++i) list.push_back(nodes_[i].get());
  return list;
}

bool DeviceTree::live(const DevNode& node) const {
  for (const DevNode* n = &node; n; n = n->parent) {
    if (!n->present) return false;
  }
  return true;
}

bool DeviceTree::property(const DevNode& node, DWORD spdrp, DWORD* type,
                          std::vector<BYTE>* data) const {
  *type = REG_SZ;
  auto raw = node.rawProperties.find(spdrp);
  if (raw != node.rawProperties.end()) {
    *data = raw->second;
    return true;
  }
  std::string text;
  switch (spdrp) {
    case SPDRP_DEVICEDESC: text = node.description; break;
    case SPDRP_SERVICE: text = node.started ? node.service : ""; break;
    case SPDRP_DRIVER: text = node.started ? node.driverKey : ""; break;
    case SPDRP_MFG: text = node.manufacturer; break;
    case SPDRP_CLASSGUID: text = node.classGuid == GUID{} ? "" : guidText(node.classGuid); break;
    case SPDRP_HARDWAREID:
      // The instance ID's first two parts: USB\VID_1234&PID_5678, then the list's end.
      text = node.instanceId.substr(0, node.instanceId.rfind('\\'));
      *type = REG_MULTI_SZ;
      if (!text.empty()) text.push_back('\0');
      break;
    case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME:
      // Only a device that is there has a device object.
      if (live(node)) text = node.pdoName;
      break;
    default: break;
  }
  if (text.empty()) return false;
  *data = textBytes(text);
  return true;
}

HDEVINFO DeviceTree::createInfoSet(DeviceInfoSet set) {
  auto owned = std::make_unique<DeviceInfoSet>(std::move(set));
  HDEVINFO handle = owned.get();
  sets_[handle] = std::move(owned);
  return handle;
}

DeviceInfoSet* DeviceTree::infoSet(HDEVINFO handle) {
  auto it = sets_.find(handle);
  return it == sets_.end() ? nullptr : it->second.get();
}

bool DeviceTree::destroyInfoSet(HDEVINFO handle) { return sets_.erase(handle) != 0; }

}  // namespace sim
