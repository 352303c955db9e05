#include "lib/pxusbw32.h"

#include <algorithm>
#include <cstring>

#include "lib/pxwin32di.h"

namespace {

constexpr ULONG kPropertySize = 512;

// A devnode property as text; the read's own length bounds it, so a property without
// its zero (or one that fills the buffer) never runs into older contents.
bool NodeProperty(DEVINST node, ULONG property, char* buffer, std::string& text) {
  ULONG length = kPropertySize;
  if (SetupApi().CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, buffer, &length, 0) !=
      CR_SUCCESS) {
    return false;
  }
  text.assign(buffer, strnlen(buffer, std::min(length, kPropertySize)));
  return true;
}

// The next devnode in depth-first pre-order; false after the last one.
bool NextNode(DEVINST& node) {
  const TpxSetupApi& api = SetupApi();
  DEVINST next = 0;
  if (api.CM_Get_Child(&next, node, 0) == CR_SUCCESS) {
    node = next;
    return true;
  }
  for (DEVINST at = node;; at = next) {
    if (api.CM_Get_Sibling(&next, at, 0) == CR_SUCCESS) {
      node = next;
      return true;
    }
    if (api.CM_Get_Parent(&next, at, 0) != CR_SUCCESS) return false;
  }
}

}  // namespace

void FindDeviceDescription(const std::string& DriverKey, std::string& Text) {
  Text.clear();
  if (!LoadSetupApi()) return;
  DEVINST node = 0;
  if (SetupApi().CM_Locate_DevNodeA(&node, nullptr, 0) != CR_SUCCESS) return;
  char buffer[kPropertySize] = {};
  do {
    std::string driverKey;
    if (NodeProperty(node, CM_DRP_DRIVER, buffer, driverKey) && driverKey == DriverKey) {
      std::string description;
      if (NodeProperty(node, CM_DRP_DEVICEDESC, buffer, description)) Text = description;
      return;
    }
  } while (NextNode(node));
}
