#include "lib/pxwin32di.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>

#include "framework/sysutils.h"
#include "lib/pxclasses.h"
#include "lib/pxsysutils.h"
#include "lib/pxwin32.h"

namespace {

HMODULE g_setupApi = nullptr;
HMODULE g_cfgmgr32 = nullptr;
TpxSetupApi g_api;
// The backend the handles came from. Once it is replaced (a simulated machine gone)
// they name nothing: the binding is forgotten, never released there.
unsigned g_backend = 0;

bool Bound() { return g_setupApi && g_backend == win::backendGeneration(); }

// Where an entry is looked up: the device installer, the configuration manager's
// locator (which also decides the configuration-manager module), or that module.
enum class From { SetupApi, Locator, ConfigManager };

struct Entry {
  const char* Name;
  bool Required;
  From Module;
  void (*Store)(FARPROC address);
};

template <auto Member>
void Store(FARPROC address) {
  using Fn = std::remove_reference_t<decltype(g_api.*Member)>;
  g_api.*Member = reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

#define PX_ENTRY(name, required, module) \
  { #name, required, From::module, &Store < &TpxSetupApi::name> }
// In look-up order. Some required entries are never called; they still decide
// whether the binding is complete.
const Entry kEntries[] = {
    PX_ENTRY(SetupDiGetClassDevsA, true, SetupApi),
    PX_ENTRY(SetupDiDestroyDeviceInfoList, true, SetupApi),
    PX_ENTRY(SetupDiEnumDeviceInfo, true, SetupApi),
    PX_ENTRY(SetupDiGetDeviceRegistryPropertyA, true, SetupApi),
    PX_ENTRY(SetupDiOpenDevRegKey, true, SetupApi),
    PX_ENTRY(SetupDiEnumDeviceInterfaces, true, SetupApi),
    PX_ENTRY(SetupDiGetDeviceInterfaceDetailA, true, SetupApi),
    PX_ENTRY(SetupDiCreateDeviceInfoList, true, SetupApi),
    PX_ENTRY(SetupDiCreateDeviceInfoA, true, SetupApi),
    PX_ENTRY(SetupDiGetINFClassA, true, SetupApi),
    PX_ENTRY(SetupDiSetDeviceRegistryPropertyA, true, SetupApi),
    PX_ENTRY(SetupDiCallClassInstaller, true, SetupApi),
    PX_ENTRY(SetupDiGetDeviceInstanceIdA, true, SetupApi),
    PX_ENTRY(SetupDiRemoveDevice, false, SetupApi),
    PX_ENTRY(SetupDiUnremoveDevice, false, SetupApi),
    PX_ENTRY(SetupDiOpenDeviceInfoA, false, SetupApi),
    PX_ENTRY(SetupDiSetClassInstallParamsA, true, SetupApi),
    PX_ENTRY(CM_Locate_DevNodeA, true, Locator),
    PX_ENTRY(CM_Get_DevNode_Registry_PropertyA, true, ConfigManager),
    PX_ENTRY(CM_Get_Parent, true, ConfigManager),
    PX_ENTRY(CM_Get_Device_ID_List_SizeA, true, ConfigManager),
    PX_ENTRY(CM_Get_Device_ID_ListA, true, ConfigManager),
    PX_ENTRY(CM_Get_Child, true, ConfigManager),
    PX_ENTRY(CM_Get_Sibling, true, ConfigManager),
    PX_ENTRY(CM_Request_Device_EjectA, false, ConfigManager),
};
#undef PX_ENTRY

// Releases the libraries at program end.
struct Finalization {
  Finalization() { win::api(); }  // the table outlives this object
  ~Finalization() { UnloadSetupApi(); }
} g_finalization;

constexpr DWORD kPropertySize = 512;
constexpr DWORD kInstanceIdSize = 256;
// Bounds for what a size query may ask for: far above any real interface path or
// relation list, and below what a broken reply could make us allocate.
constexpr DWORD kMaxDetailSize = 0x10000;
constexpr ULONG kMaxIdListSize = 0x100000;

// A device information set, destroyed with the owner.
class TpxDevInfoList {
 public:
  explicit TpxDevInfoList(HDEVINFO set) : set_(set) {}
  ~TpxDevInfoList() {
    if (Valid()) g_api.SetupDiDestroyDeviceInfoList(set_);
  }
  TpxDevInfoList(const TpxDevInfoList&) = delete;
  TpxDevInfoList& operator=(const TpxDevInfoList&) = delete;

  bool Valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
  HDEVINFO Get() const { return set_; }

 private:
  HDEVINFO set_;
};

// The five device properties and the setup class, read the same way in both modes.
void ReadIdentity(HDEVINFO set, const SP_DEVINFO_DATA& data, TpxDevice& device) {
  GetDeviceRegistryString(set, data, SPDRP_DRIVER, device.DriverKey);
  GetDeviceRegistryString(set, data, SPDRP_SERVICE, device.Service);
  GetDeviceRegistryString(set, data, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, device.PhysicalName);
  GetDeviceRegistryString(set, data, SPDRP_DEVICEDESC, device.Description);
  GetDeviceRegistryString(set, data, SPDRP_MFG, device.Manufacturer);
  device.ClassGuid = data.ClassGuid;
}

// The interface's device path: a size query, then one read into a block of that
// size. `data`, when given, goes to both calls and is filled by the read.
bool InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData, SP_DEVINFO_DATA* data,
                   std::string& path) {
  DWORD required = 0;
  g_api.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, data);
  if (required == 0 || required > kMaxDetailSize ||
      win::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  // Never smaller than the record, whose cbSize is written before the call.
  DWORD size = std::max<DWORD>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  TpxLocalBuffer block(size);
  if (!block.Data()) return false;
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.Data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!g_api.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, size, &required, data)) {
    return false;
  }
  const auto* text = reinterpret_cast<const char*>(block.Data()) +
                     offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  path.assign(text, strnlen(text, size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)));
  return true;
}

// Per-device mode: the hardware key's path and values, the instance ID with its
// relations, and the interface's path when asked for.
void ReadDevice(HDEVINFO set, SP_DEVINFO_DATA& data, const GUID* classGuid, bool withInterface,
                TpxDevice& device) {
  ReadIdentity(set, data, device);

  TpxRegKey key(
      g_api.SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE));
  if (key.Valid()) {
    HKEY root = nullptr;  // the values are read below HKEY_LOCAL_MACHINE whatever it says
    GetRegKeyPath(key.Get(), &root, device.KeyName);
    ReadRegString(HKEY_LOCAL_MACHINE, device.KeyName, "SymbolicName", device.DevicePath);
    ReadRegString(HKEY_LOCAL_MACHINE, device.KeyName, "PortName", device.PortName);
  }

  char id[kInstanceIdSize] = {};
  DWORD required = 0;
  if (g_api.SetupDiGetDeviceInstanceIdA(set, &data, id, kInstanceIdSize, &required) &&
      required > 0) {
    device.InstanceId.assign(id, std::min(required, kInstanceIdSize) - 1);
    device.DevInst = data.DevInst;
    GetDeviceIdList(device.InstanceId, ";", true, device.Relations);
  }

  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof interfaceData;
  if (withInterface &&
      g_api.SetupDiEnumDeviceInterfaces(set, &data, classGuid, 0, &interfaceData)) {
    InterfacePath(set, interfaceData, nullptr, device.DevicePath);
  }
}

void Add(TStrings& list, std::unique_ptr<TpxDevice> device) {
  std::string key = device->DriverKey;
  list.AddObject(key, device.release());
}

// The length of the list up to its terminating empty string: a list that shrank
// between the size query and the read ends before the buffer does.
int ListLength(const char* list, ULONG size) {
  for (ULONG i = 0; i < size; ++i) {
    if (list[i] == 0 && (i == 0 || list[i - 1] == 0)) return static_cast<int>(i + 1);
  }
  return static_cast<int>(size);
}

}  // namespace

bool LoadSetupApi() {
  if (Bound()) return true;
  UnloadSetupApi();  // forgets a binding made on a backend that is gone
  g_backend = win::backendGeneration();
  win::addBackendRelease(UnloadSetupApi);
  g_setupApi = win::LoadLibraryA("SetupAPI.dll");
  if (!g_setupApi) return false;
  HMODULE configManager = g_setupApi;
  bool complete = true;
  // Every look-up is made, whatever is missing, before the binding is judged.
  for (const Entry& entry : kEntries) {
    if (entry.Module == From::Locator && !win::GetProcAddress(g_setupApi, entry.Name)) {
      if (!g_cfgmgr32) g_cfgmgr32 = win::LoadLibraryA("cfgmgr32.dll");
      configManager = g_cfgmgr32;
    }
    HMODULE module = entry.Module == From::SetupApi ? g_setupApi : configManager;
    FARPROC address = module ? win::GetProcAddress(module, entry.Name) : nullptr;
    entry.Store(address);
    if (entry.Required && !address) complete = false;
  }
  if (!complete) UnloadSetupApi();
  return complete;
}

void UnloadSetupApi() {
  const bool sameBackend = g_backend == win::backendGeneration();
  for (HMODULE* module : {&g_cfgmgr32, &g_setupApi}) {
    if (*module && sameBackend) win::FreeLibrary(*module);
    *module = nullptr;
  }
  g_api = TpxSetupApi();
}

const TpxSetupApi& SetupApi() { return g_api; }

void EnumDevices(const GUID* ClassGuid, bool PresentOnly, bool PerDevice, bool WithInterface,
                 TStrings& List) {
  if (!LoadSetupApi()) return;
  DWORD flags = (PresentOnly ? DIGCF_PRESENT : 0) | (WithInterface ? DIGCF_DEVICEINTERFACE : 0) |
                (ClassGuid ? 0 : DIGCF_ALLCLASSES);
  TpxDevInfoList set(g_api.SetupDiGetClassDevsA(ClassGuid, nullptr, nullptr, flags));
  if (!set.Valid()) return;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof interfaceData;
  if (PerDevice) {
    for (DWORD index = 0; g_api.SetupDiEnumDeviceInfo(set.Get(), index, &data); ++index) {
      auto device = std::make_unique<TpxDevice>();
      ReadDevice(set.Get(), data, ClassGuid, WithInterface, *device);
      Add(List, std::move(device));
    }
    return;
  }
  for (DWORD index = 0;
       g_api.SetupDiEnumDeviceInterfaces(set.Get(), nullptr, ClassGuid, index, &interfaceData);
       ++index) {
    auto device = std::make_unique<TpxDevice>();
    if (InterfacePath(set.Get(), interfaceData, &data, device->DevicePath)) {
      ReadIdentity(set.Get(), data, *device);
      Add(List, std::move(device));
    }
  }
}

void GetDeviceRegistryString(HDEVINFO DeviceInfoSet, SP_DEVINFO_DATA DeviceInfo, DWORD Property,
                             std::string& Text) {
  Text.clear();
  char text[kPropertySize];
  DWORD required = 0;
  if (g_api.SetupDiGetDeviceRegistryPropertyA(DeviceInfoSet, &DeviceInfo, Property, nullptr,
                                              reinterpret_cast<BYTE*>(text), kPropertySize,
                                              &required) &&
      required > 0) {
    // The terminating zero dropped.
    Text.assign(text, std::min(required, kPropertySize) - 1);
  }
}

void GetDeviceIdList(const std::string& DeviceId, const std::string& Separator, bool BusRelations,
                     std::string& Text) {
  Text.clear();
  // Reached only after an enumeration bound the libraries; unbound, there is nothing.
  if (!Bound()) return;
  ULONG filter =
      BusRelations ? CM_GETIDLIST_FILTER_BUSRELATIONS : CM_GETIDLIST_FILTER_REMOVALRELATIONS;
  ULONG length = 0;
  if (g_api.CM_Get_Device_ID_List_SizeA(&length, DeviceId.c_str(), filter) != CR_SUCCESS ||
      length == 0 || length > kMaxIdListSize) {
    return;
  }
  TpxLocalBuffer buffer(length);
  if (!buffer.Data()) return;
  auto* list = reinterpret_cast<char*>(buffer.Data());
  if (g_api.CM_Get_Device_ID_ListA(DeviceId.c_str(), list, length, filter) != CR_SUCCESS) return;
  MultiSzToString(list, ListLength(list, length), Separator, Text);
}

void GetDiVolums(bool Remote, bool CDRom, bool Fixed, bool Removable, bool RamDisk,
                 const std::string& Separator, std::string& Text) {
  Text.clear();
  DWORD drives = win::GetLogicalDrives();
  for (int bit = 0; bit < 26; ++bit) {
    if (!(drives & (1u << bit))) continue;
    char letter = static_cast<char>('A' + bit);
    const char root[] = {letter, ':', '\\', 0};
    UINT type = win::GetDriveTypeA(root);
    bool taken = (type == DRIVE_REMOVABLE && Removable) || (type == DRIVE_REMOTE && Remote) ||
                 (type == DRIVE_CDROM && CDRom) || (type == DRIVE_FIXED && Fixed) ||
                 (type == DRIVE_RAMDISK && RamDisk);
    if (taken) Text += letter + Separator;
  }
  Text = Trim(Text);
}
