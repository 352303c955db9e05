// The simulated SetupAPI.dll and cfgmgr32.dll: device information sets, device
// properties, hardware keys, interfaces, and the configuration manager's devnode
// tree, with Windows' argument checks and error codes.
#include <algorithm>
#include <cstring>

#include "platform/sim/devtree.h"
#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {

namespace {

DeviceTree& tree() { return SimMachine::current().devices(); }

BOOL fail(DWORD error) {
  setLastError(error);
  return FALSE;
}

HDEVINFO failSet(DWORD error) {
  setLastError(error);
  return INVALID_HANDLE_VALUE;
}

DevNode* noDevice(DWORD error) {
  setLastError(error);
  return nullptr;
}

// The device that a caller's SP_DEVINFO_DATA names within the set; Reserved holds
// the 1-based position we gave out.
DevNode* memberOf(DeviceInfoSet* set, const SP_DEVINFO_DATA* data) {
  if (!set) return noDevice(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return noDevice(ERROR_INVALID_USER_BUFFER);
  size_t position = data->Reserved;
  if (position == 0 || position > set->devices.size() ||
      set->devices[position - 1] != data->DevInst) {
    return noDevice(ERROR_INVALID_PARAMETER);
  }
  return tree().find(data->DevInst);
}

void describe(const DeviceInfoSet& set, size_t position, SP_DEVINFO_DATA* data) {
  const DevNode* node = tree().find(set.devices[position]);
  data->ClassGuid = node->classGuid;
  data->DevInst = node->devInst;
  data->Reserved = position + 1;
}

// Copies a sized result the way SetupAPI does: required size always reported.
BOOL copyOut(const void* source, DWORD needed, void* target, DWORD size, DWORD* required) {
  if (required) *required = needed;
  if (!target && size) return fail(ERROR_INVALID_USER_BUFFER);
  if (size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(target, source, needed);
  return TRUE;
}

bool hasInterfaceOf(const DevNode& node, const GUID* guid) {
  return std::any_of(node.interfaces.begin(), node.interfaces.end(),
                     [&](const DeviceInterface& i) { return !guid || i.classGuid == *guid; });
}

HDEVINFO WINAPI SimSetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND, DWORD flags) {
  bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
  bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  if (!guid && !allClasses) return failSet(ERROR_INVALID_PARAMETER);
  std::string prefix = enumerator ? lowerAscii(enumerator) + "\\" : std::string();
  DeviceInfoSet set;
  for (DevNode* node : tree().devices()) {
    if ((flags & DIGCF_PRESENT) && !tree().live(*node)) continue;
    if (!prefix.empty() && lowerAscii(node->instanceId).rfind(prefix, 0) != 0) continue;
    const GUID* wanted = allClasses ? nullptr : guid;
    // A present device's interfaces are listed once its driver enabled them.
    bool member = interfaces ? hasInterfaceOf(*node, wanted) && (!(flags & DIGCF_PRESENT) || node->started)
                             : (!wanted || node->classGuid == *wanted);
    if (member) set.devices.push_back(node->devInst);
  }
  return tree().createInfoSet(std::move(set));
}

BOOL WINAPI SimSetupDiDestroyDeviceInfoList(HDEVINFO set) {
  return tree().destroyInfoSet(set) ? TRUE : fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI SimSetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
  DeviceInfoSet* set = tree().infoSet(handle);
  if (!set) return fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (index >= set->devices.size()) return fail(ERROR_NO_MORE_ITEMS);
  describe(*set, index, data);
  return TRUE;
}

BOOL WINAPI SimSetupDiGetDeviceRegistryPropertyA(HDEVINFO handle, PSP_DEVINFO_DATA data,
                                                 DWORD property, PDWORD type, PBYTE buffer,
                                                 DWORD size, PDWORD required) {
  DevNode* node = memberOf(tree().infoSet(handle), data);
  if (!node) return FALSE;
  if (property >= SPDRP_MAXIMUM_PROPERTY) return fail(ERROR_INVALID_REG_PROPERTY);
  DWORD valueType = REG_NONE;
  std::vector<BYTE> value;
  if (!tree().property(*node, property, &valueType, &value)) return fail(ERROR_INVALID_DATA);
  if (type) *type = valueType;
  return copyOut(value.data(), static_cast<DWORD>(value.size()), buffer, size, required);
}

HKEY WINAPI SimSetupDiOpenDevRegKey(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD scope, DWORD,
                                    DWORD keyType, REGSAM access) {
  auto invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  DevNode* node = memberOf(tree().infoSet(handle), data);
  if (!node) return invalid;
  // Hardware profiles are not modelled: only the global keys exist.
  if (scope != DICS_FLAG_GLOBAL || (keyType != DIREG_DEV && keyType != DIREG_DRV)) {
    setLastError(ERROR_INVALID_FLAGS);
    return invalid;
  }
  std::string path = keyType == DIREG_DEV
                         ? DeviceTree::hardwareKeyPath(*node)
                         : "SYSTEM\\CurrentControlSet\\Control\\Class\\" + node->driverKey;
  HKEY key = nullptr;
  if ((keyType == DIREG_DRV && node->driverKey.empty()) ||
      SimMachine::current().registry().open(HKEY_LOCAL_MACHINE, path.c_str(), access, &key) !=
          ERROR_SUCCESS) {
    setLastError(ERROR_KEY_DOES_NOT_EXIST);
    return invalid;
  }
  return key;
}

// The n-th interface of class `guid` among the set's devices (or of one device).
struct InterfaceRef {
  size_t position;  // in the set
  size_t index;     // in the device's interfaces
};

bool findInterface(const DeviceInfoSet& set, const DevNode* only, const GUID& guid, DWORD member,
                   InterfaceRef* found) {
  for (size_t position = 0; position < set.devices.size(); ++position) {
    const DevNode* node = tree().find(set.devices[position]);
    if (only && node != only) continue;
    for (size_t i = 0; i < node->interfaces.size(); ++i) {
      if (node->interfaces[i].classGuid == guid && member-- == 0) {
        *found = {position, i};
        return true;
      }
    }
  }
  return false;
}

BOOL WINAPI SimSetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA data, const GUID* guid,
                                           DWORD member, PSP_DEVICE_INTERFACE_DATA interfaceData) {
  DeviceInfoSet* set = tree().infoSet(handle);
  if (!set) return fail(ERROR_INVALID_HANDLE);
  const DevNode* only = nullptr;
  if (data && !(only = memberOf(set, data))) return FALSE;
  if (!guid) return fail(ERROR_INVALID_PARAMETER);
  if (!interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  InterfaceRef ref{};
  if (!findInterface(*set, only, *guid, member, &ref)) return fail(ERROR_NO_MORE_ITEMS);
  const DevNode* node = tree().find(set->devices[ref.position]);
  interfaceData->InterfaceClassGuid = *guid;
  interfaceData->Flags = tree().running(*node) ? SPINT_ACTIVE : 0;
  interfaceData->Reserved = ((ref.position + 1) << 8) | ref.index;
  return TRUE;
}

BOOL WINAPI SimSetupDiGetDeviceInterfaceDetailA(HDEVINFO handle,
                                                PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                DWORD size, PDWORD required,
                                                PSP_DEVINFO_DATA data) {
  DeviceInfoSet* set = tree().infoSet(handle);
  if (!set) return fail(ERROR_INVALID_HANDLE);
  if (!interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  size_t position = (interfaceData->Reserved >> 8);
  size_t index = interfaceData->Reserved & 0xff;
  if (position == 0 || position > set->devices.size()) return fail(ERROR_INVALID_PARAMETER);
  const DevNode* node = tree().find(set->devices[position - 1]);
  if (index >= node->interfaces.size()) return fail(ERROR_INVALID_PARAMETER);
  const std::string& path = node->interfaces[index].path;
  const DWORD header = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const auto needed = static_cast<DWORD>(header + path.size() + 1);
  if (detail) {
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      return fail(ERROR_INVALID_USER_BUFFER);
    }
  } else if (size) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (required) *required = needed;
  if (size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  if (data) describe(*set, position - 1, data);
  return TRUE;
}

HDEVINFO WINAPI SimSetupDiCreateDeviceInfoList(const GUID*, HWND) {
  return tree().createInfoSet({});
}

BOOL WINAPI SimSetupDiOpenDeviceInfoA(HDEVINFO handle, PCSTR instanceId, HWND, DWORD,
                                      PSP_DEVINFO_DATA data) {
  DeviceInfoSet* set = tree().infoSet(handle);
  if (!set) return fail(ERROR_INVALID_HANDLE);
  DevNode* node = instanceId ? tree().find(instanceId) : nullptr;
  if (!node || node == &tree().root()) return fail(ERROR_NO_SUCH_DEVINST);
  if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  auto it = std::find(set->devices.begin(), set->devices.end(), node->devInst);
  if (it == set->devices.end()) it = set->devices.insert(set->devices.end(), node->devInst);
  if (data) describe(*set, static_cast<size_t>(it - set->devices.begin()), data);
  return TRUE;
}

BOOL WINAPI SimSetupDiGetDeviceInstanceIdA(HDEVINFO handle, PSP_DEVINFO_DATA data, PSTR buffer,
                                           DWORD size, PDWORD required) {
  DevNode* node = memberOf(tree().infoSet(handle), data);
  if (!node) return FALSE;
  const std::string& id = node->instanceId;
  return copyOut(id.c_str(), static_cast<DWORD>(id.size() + 1), buffer, size, required);
}

// Installation, removal and class installers are outside the model: nothing in the
// system calls them, they only have to be there.
BOOL WINAPI SimSetupDiCreateDeviceInfoA(HDEVINFO, PCSTR, const GUID*, PCSTR, HWND, DWORD,
                                        PSP_DEVINFO_DATA) {
  return fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI SimSetupDiGetINFClassA(PCSTR, LPGUID, PSTR, DWORD, PDWORD) {
  return fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI SimSetupDiSetDeviceRegistryPropertyA(HDEVINFO, PSP_DEVINFO_DATA, DWORD, const BYTE*,
                                                 DWORD) {
  return fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI SimSetupDiCallClassInstaller(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA) {
  return fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI SimSetupDiRemoveDevice(HDEVINFO, PSP_DEVINFO_DATA) {
  return fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI SimSetupDiUnremoveDevice(HDEVINFO, PSP_DEVINFO_DATA) {
  return fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI SimSetupDiSetClassInstallParamsA(HDEVINFO, PSP_DEVINFO_DATA, PSP_CLASSINSTALL_HEADER,
                                             DWORD) {
  return fail(ERROR_CALL_NOT_IMPLEMENTED);
}

// ---- configuration manager -------------------------------------------------------

// A devnode handle the configuration manager accepts: one of the live tree.
DevNode* liveNode(DEVINST devInst) {
  DevNode* node = tree().find(devInst);
  return node && tree().live(*node) ? node : nullptr;
}

CONFIGRET WINAPI SimCM_Locate_DevNodeA(PDEVINST result, DEVINSTID_A id, ULONG flags) {
  if (!result) return CR_INVALID_POINTER;
  if (flags & ~CM_LOCATE_DEVNODE_PHANTOM) return CR_INVALID_FLAG;
  *result = 0;
  if (!id || !*id) {
    *result = tree().root().devInst;
    return CR_SUCCESS;
  }
  DevNode* node = tree().find(id);
  if (!node || (!tree().live(*node) && !(flags & CM_LOCATE_DEVNODE_PHANTOM))) {
    return CR_NO_SUCH_DEVNODE;
  }
  *result = node->devInst;
  return CR_SUCCESS;
}

CONFIGRET WINAPI SimCM_Get_DevNode_Registry_PropertyA(DEVINST devInst, ULONG property, PULONG type,
                                                      PVOID buffer, PULONG length, ULONG flags) {
  if (!length || (!buffer && *length)) return CR_INVALID_POINTER;
  if (flags) return CR_INVALID_FLAG;
  if (property < CM_DRP_MIN || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
  DevNode* node = liveNode(devInst);
  if (!node) return CR_INVALID_DEVNODE;
  DWORD valueType = REG_NONE;
  std::vector<BYTE> value;
  if (!tree().property(*node, property - 1, &valueType, &value)) return CR_NO_SUCH_VALUE;
  if (type) *type = valueType;
  auto needed = static_cast<ULONG>(value.size());
  if (*length < needed) {
    *length = needed;
    return CR_BUFFER_SMALL;
  }
  std::memcpy(buffer, value.data(), needed);
  *length = needed;
  return CR_SUCCESS;
}

// Parent, first child and next sibling within the live tree.
CONFIGRET relative(PDEVINST result, DEVINST devInst, ULONG flags, DevNode* (*step)(DevNode&)) {
  if (!result) return CR_INVALID_POINTER;
  *result = 0;
  if (flags) return CR_INVALID_FLAG;
  DevNode* node = liveNode(devInst);
  if (!node) return CR_INVALID_DEVNODE;
  DevNode* next = step(*node);
  if (!next) return CR_NO_SUCH_DEVNODE;
  *result = next->devInst;
  return CR_SUCCESS;
}

DevNode* firstLive(const std::vector<DevNode*>& nodes, size_t from) {
  for (size_t i = from; i < nodes.size(); ++i) {
    if (nodes[i]->present) return nodes[i];
  }
  return nullptr;
}

CONFIGRET WINAPI SimCM_Get_Parent(PDEVINST result, DEVINST devInst, ULONG flags) {
  return relative(result, devInst, flags, [](DevNode& n) { return n.parent; });
}

CONFIGRET WINAPI SimCM_Get_Child(PDEVINST result, DEVINST devInst, ULONG flags) {
  return relative(result, devInst, flags, [](DevNode& n) { return firstLive(n.children, 0); });
}

CONFIGRET WINAPI SimCM_Get_Sibling(PDEVINST result, DEVINST devInst, ULONG flags) {
  return relative(result, devInst, flags, [](DevNode& n) -> DevNode* {
    if (!n.parent) return nullptr;
    auto& siblings = n.parent->children;
    auto at = std::find(siblings.begin(), siblings.end(), &n) - siblings.begin();
    return firstLive(siblings, static_cast<size_t>(at) + 1);
  });
}

// The multi-string of device IDs a filter selects: each with its zero, one more zero.
CONFIGRET idList(PCSTR filter, ULONG flags, std::string* list) {
  std::vector<std::string> ids;
  if (flags == CM_GETIDLIST_FILTER_NONE) {
    for (DevNode* node : tree().devices()) ids.push_back(node->instanceId);
  } else if (flags == CM_GETIDLIST_FILTER_BUSRELATIONS ||
             flags == CM_GETIDLIST_FILTER_REMOVALRELATIONS) {
    if (!filter || !*filter) return CR_INVALID_POINTER;
    DevNode* node = tree().find(filter);
    if (!node || !tree().live(*node)) return CR_NO_SUCH_DEVNODE;
    if (flags == CM_GETIDLIST_FILTER_REMOVALRELATIONS) {
      ids = node->removalRelations;
    } else {
      for (DevNode* child : node->children) {
        if (child->present) ids.push_back(child->instanceId);
      }
    }
  } else {
    return CR_INVALID_FLAG;  // the other relations and filters are not modelled
  }
  list->clear();
  for (const std::string& id : ids) list->append(id).push_back('\0');
  list->push_back('\0');
  return CR_SUCCESS;
}

CONFIGRET WINAPI SimCM_Get_Device_ID_List_SizeA(PULONG length, PCSTR filter, ULONG flags) {
  if (!length) return CR_INVALID_POINTER;
  *length = 0;
  std::string list;
  if (CONFIGRET result = idList(filter, flags, &list)) return result;
  *length = static_cast<ULONG>(list.size());
  return CR_SUCCESS;
}

CONFIGRET WINAPI SimCM_Get_Device_ID_ListA(PCSTR filter, PCHAR buffer, ULONG length, ULONG flags) {
  if (!buffer || length == 0) return CR_INVALID_POINTER;
  std::string list;
  if (CONFIGRET result = idList(filter, flags, &list)) return result;
  if (list.size() > length) return CR_BUFFER_SMALL;
  std::memcpy(buffer, list.data(), list.size());
  return CR_SUCCESS;
}

CONFIGRET WINAPI SimCM_Request_Device_EjectA(DEVINST, PPNP_VETO_TYPE, LPSTR, ULONG, ULONG) {
  return CR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

void addSetupModules(Kernel& kernel) {
  std::map<std::string, FARPROC> setupApi;
  std::map<std::string, FARPROC> cfgmgr32;
#define PX_SETUP_EXPORT(ret, name, params) setupApi[#name] = asExport(&Sim##name);
#define PX_CM_EXPORT(ret, name, params) cfgmgr32[#name] = setupApi[#name] = asExport(&Sim##name);
  PX_SETUPAPI_ENTRIES(PX_SETUP_EXPORT)
  PX_CFGMGR32_ENTRIES(PX_CM_EXPORT)
#undef PX_SETUP_EXPORT
#undef PX_CM_EXPORT
  kernel.addModule("SetupAPI.dll", std::move(setupApi));
  kernel.addModule("cfgmgr32.dll", std::move(cfgmgr32));
}

}  // namespace sim
