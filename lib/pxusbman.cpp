#include "lib/pxusbman.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "lib/pxsysutils.h"
#include "lib/pxwin32di.h"

namespace {

// The setup classes whose device records Refresh collects, in this order.
const GUID kSetupClasses[] = {
    {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}},  // USB
    {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}},  // HIDClass
    {0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}},  // Bluetooth
    {0x6BDD1FC5, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}},  // Infrared
    {0x50906CB8, 0xBA12, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}},  // MultiportSerial
    {0x4D36E971, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // MultiFunction
    {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // Ports
    {0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // Modem
    {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // Media
    {0x72631E54, 0x78A4, 0x11D0, {0xBC, 0xF7, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A}},  // Battery
    {0x53D29EF7, 0x377C, 0x4D14, {0x86, 0x4B, 0xEB, 0x3A, 0x85, 0x76, 0x93, 0x59}},  // Biometric
    {0x6BDD1FC3, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}},  // GPS
    {0x4D36E976, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // NoDriver
};

// Offsets into USB_NODE_CONNECTION_INFORMATION(_EX).
constexpr size_t kBcdUsb = 6;
constexpr size_t kMaxPacketSize0 = 11;
constexpr size_t kIdVendor = 12;
constexpr size_t kIdProduct = 14;
constexpr size_t kIManufacturer = 18;
constexpr size_t kIProduct = 19;
constexpr size_t kISerialNumber = 20;
constexpr size_t kSpeed = 23;
constexpr size_t kDeviceIsHub = 24;
constexpr size_t kNumberOfOpenPipes = 27;
constexpr size_t kConnectionStatus = 31;
constexpr size_t kPipeList = sizeof(USB_NODE_CONNECTION_INFORMATION_EX);

const char kLineBreak[] = "\r\n";

std::uint16_t Word(const BYTE* at) { return static_cast<std::uint16_t>(at[0] | (at[1] << 8)); }

ULONG Long(const BYTE* at) {
  ULONG value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

void PutLong(BYTE* at, ULONG value) { std::memcpy(at, &value, sizeof(value)); }

TpxOwnedHandle OpenDevice(const std::string& path, DWORD access, DWORD share) {
  HANDLE handle = win::CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  return TpxOwnedHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

std::vector<std::string> Lines(const std::string& text) {
  TStringList list;
  list.SetText(text);
  std::vector<std::string> lines;
  for (int i = 0; i < list.Count(); ++i) lines.push_back(list.Strings(i));
  return lines;
}

// "Signature5AOffset7E00": the 12-byte mount record of an MBR partition (disk
// signature, then partition offset, little-endian). An offset of 0 leaves nothing
// after "Offset".
std::string SignatureIdentity(const std::string& value) {
  const auto* bytes = reinterpret_cast<const BYTE*>(value.data());
  ULONGLONG offset = 0;
  for (int i = 11; i >= 4; --i) offset = (offset << 8) | bytes[i];
  return "Signature" + IntToHex(Long(bytes), 1) + "Offset" + (offset ? IntToHex(offset, 1) : "");
}

// A drive letter stands in a Disks line's object as its character code.
TObject* LetterObject(char letter) {
  return reinterpret_cast<TObject*>(static_cast<std::uintptr_t>(static_cast<unsigned char>(letter)));
}

std::string LetterOf(const TStrings& disks, int i) {
  auto code = reinterpret_cast<std::uintptr_t>(disks.Objects(i));
  return code ? std::string(1, static_cast<char>(code)) : std::string();
}

std::mutex& UnitLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

// ---- TpxUsbDevice ---------------------------------------------------------------------

bool IsOpenableService(const std::string& Service) {
  std::string name = LowerCase(Service);
  return name == "winusb" || name == "pxusb";
}

bool TpxUsbPipe::CanOpen() const {
  if (!Device) return false;
  return IsOpenableService(Device->IsComposite() ? (Function ? Function->Service : std::string()) : Device->Service);
}

bool TpxUsbDevice::IsComposite() const { return CompareText(Service, "USBCCGP") == 0; }

TpxUsbFunction* TpxUsbDevice::Functions(int i) const {
  return i >= 0 && i < FunctionCount() ? functions_[static_cast<size_t>(i)].get() : nullptr;
}

TpxUsbFunction* TpxUsbDevice::FunctionOf(int InterfaceNumber) const {
  for (const auto& function : functions_) {
    if (function->HasInterface(InterfaceNumber)) return function.get();
  }
  return nullptr;
}

// The generic parent driver makes one function of each interface, or of the
// interfaces an association descriptor groups, and names the function's child devnode
// USB\VID_v&PID_p&MI_nn\... after its first interface nn:
// https://learn.microsoft.com/windows-hardware/drivers/usbcon/usb-common-class-generic-parent-driver
// https://learn.microsoft.com/windows-hardware/drivers/usbcon/usb-interface-association-descriptor
void TpxUsbDevice::LoadFunctions(HANDLE HubHandle) {
  auto config = GetConfigurationDescriptor(HubHandle, static_cast<ULONG>(Port->PortNumber));
  if (!config) return;
  const BYTE* bytes = config->Data() + sizeof(USB_DESCRIPTOR_REQUEST);
  const DWORD size = config->Returned - static_cast<DWORD>(sizeof(USB_DESCRIPTOR_REQUEST));
  int associationFirst = -1;
  int associationCount = 0;
  int current = -1;  // the interface whose endpoints follow; -1 in an alternate setting
  std::vector<std::pair<BYTE, int>> endpointInterfaces;
  for (DWORD at = 0; at + 2 <= size && bytes[at] >= 2 && at + bytes[at] <= size; at += bytes[at]) {
    const BYTE* d = bytes + at;
    if (d[1] == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE && d[0] >= 4) {
      associationFirst = d[2];
      associationCount = d[3];
    } else if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= 9) {
      current = d[3] == 0 ? d[2] : -1;
      if (current < 0 || FunctionOf(current)) continue;
      auto function = std::make_unique<TpxUsbFunction>();
      bool associated = current >= associationFirst && current < associationFirst + associationCount;
      function->FirstInterface = static_cast<std::uint8_t>(associated ? associationFirst : current);
      function->InterfaceCount = static_cast<std::uint8_t>(associated ? associationCount : 1);
      function->Name = "Interface " + IntToStr(function->FirstInterface);
      functions_.push_back(std::move(function));
    } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= 7 && current >= 0) {
      endpointInterfaces.emplace_back(d[2], current);
    }
  }
  for (const std::string& child : Lines(Relations)) {
    std::string::size_type mi = UpperCase(child).find("&MI_");
    std::string digits = mi == std::string::npos ? std::string() : child.substr(mi + 4, 2);
    if (digits.size() != 2 || !std::isxdigit(static_cast<unsigned char>(digits[0])) ||
        !std::isxdigit(static_cast<unsigned char>(digits[1]))) {
      continue;
    }
    unsigned long number = std::strtoul(digits.c_str(), nullptr, 16);
    TpxUsbFunction* function = FunctionOf(static_cast<int>(number));
    if (function && function->FirstInterface == number) ReadDeviceNode(child, *function);
  }
  for (const auto& pipe : pipes_) {
    for (const auto& [address, number] : endpointInterfaces) {
      if (address == pipe->EndpointAddress()) pipe->InterfaceNumber = number;
    }
    pipe->Function = FunctionOf(pipe->InterfaceNumber);
    std::string service = pipe->Function && !pipe->Function->Service.empty() ? pipe->Function->Service : "no driver";
    std::string where = pipe->InterfaceNumber >= 0 ? "interface " + IntToStr(pipe->InterfaceNumber) : "no interface";
    // The mark comes first: a narrow list still shows it.
    pipe->Description += std::string(pipe->CanOpen() ? " - " : " - cannot be opened: ") + where + ", " + service;
  }
}

TpxUsbPipe* TpxUsbDevice::Pipes(int i) const {
  return i >= 0 && i < PipeCount() ? pipes_[static_cast<size_t>(i)].get() : nullptr;
}

int TpxUsbDevice::AddPipe() {
  auto pipe = std::make_unique<TpxUsbPipe>();
  pipe->Device = this;
  pipes_.push_back(std::move(pipe));
  return PipeCount() - 1;
}

void TpxUsbDevice::Clear() {
  ConfigDescriptor.reset();
  pipes_.clear();
  functions_.clear();
  Strings.Clear();
}

TpxUSBManager* TpxUsbDevice::Manager() const {
  return Port && Port->Hub && Port->Hub->Host ? Port->Hub->Host->Manager : nullptr;
}

TpxOwnedHandle TpxUsbDevice::OpenPortHub() const {
  if (!Port || !Port->Hub) return nullptr;
  return OpenDevice(Port->Hub->DevicePath, GENERIC_READ | GENERIC_WRITE, 0);
}

void TpxUsbDevice::Load() {
  Clear();
  const BYTE* info = Port ? Port->ConnectionInfo.Data() : nullptr;
  if (!info) return;
  ULONG pipes = std::min<ULONG>(Long(info + kNumberOfOpenPipes), kMaxPipes);
  for (ULONG b = 0; b < pipes; ++b) {
    TpxUsbPipe* pipe = Pipes(AddPipe());
    pipe->DevicePath = Port->DevicePath + Format("\\PIPE%.2u", {b});
    pipe->Index = static_cast<std::int32_t>(b);
    pipe->Endpoint = reinterpret_cast<const USB_PIPE_INFO*>(info + kPipeList + b * sizeof(USB_PIPE_INFO));
    pipe->Name = "Pipe [" + IntToStr(b + 1) + "]";
    pipe->Description = pipe->Name + (pipe->IsOut() ? " (OUT endpoint)" : " (IN endpoint)");
  }
  UsbVersionLow = info[kBcdUsb] & 0x0F;
  UsbVersionMajor = info[kBcdUsb + 1];
  Speed = info[kSpeed];
  IdProduct = Word(info + kIdProduct);
  IdVendor = Word(info + kIdVendor);
  MaxPacketSize0 = info[kMaxPacketSize0];

  if (TpxOwnedHandle hub = OpenPortHub()) {
    ConfigDescriptor = GetNodeDescriptor(hub.get(), static_cast<ULONG>(Port->PortNumber),
                                         USB_CONFIGURATION_DESCRIPTOR_TYPE, 0);
  }

  TpxUSBManager* manager = Manager();
  TpxDevice* record = manager && !Port->KeyName.empty() ? manager->FindDeviceInfo(Port->KeyName) : nullptr;
  if (!record) return;
  KeyName = record->KeyName;
  Service = record->Service;
  InstanceId = record->InstanceId;
  ClassGuid = record->ClassGuid;
  Relations = record->Relations;
  std::string::size_type at = 0;
  while ((at = Relations.find(';', at)) != std::string::npos) {
    Relations.replace(at, 1, kLineBreak);
    at += 2;
  }
  Relations = Trim(Relations);
  ReadRegString(HKEY_LOCAL_MACHINE, KeyName, "SymbolicName", DevicePath);
  DevInst = record->DevInst;
  Manufacturer = record->Manufacturer;
  if (IsComposite()) {
    if (TpxOwnedHandle hub = OpenPortHub()) LoadFunctions(hub.get());
  }
  if (CompareText(Service, "USBSTOR") == 0 || IsComposite()) FindVolumes();
}

std::string TpxUsbDevice::ReadStringDescriptor(HANDLE HubHandle, int Index) {
  if (!Port) return {};
  auto buffer = GetNodeDescriptor(HubHandle, static_cast<ULONG>(Port->PortNumber),
                                  USB_STRING_DESCRIPTOR_TYPE, static_cast<BYTE>(Index));
  if (!buffer) return {};
  // The text runs from after bLength and bDescriptorType to the end of the
  // descriptor, as far as it came back.
  constexpr DWORD kText = sizeof(USB_DESCRIPTOR_REQUEST) + 2;
  DWORD end = std::min<DWORD>(buffer->Returned, sizeof(USB_DESCRIPTOR_REQUEST) + buffer->Data()[12]);
  return end > kText ? WideBufferToAnsi(buffer->Data() + kText, end - kText) : std::string();
}

void TpxUsbDevice::ReadStrings() {
  Strings.Clear();
  TpxOwnedHandle hub = OpenPortHub();
  if (!hub) return;
  for (int i = 1; i <= 16; ++i) {
    std::string s = ReadStringDescriptor(hub.get(), i);
    if (s.empty()) break;
    Strings.Add(s);
  }
  const BYTE* info = Port->ConnectionInfo.Data();
  const std::pair<size_t, std::string*> fields[] = {
      {kIManufacturer, &Manufacturer}, {kIProduct, &Description}, {kISerialNumber, &SerialNumber}};
  for (const auto& [offset, field] : fields) {
    int k = info[offset];
    if (k == 0) continue;
    *field = k <= Strings.Count() ? Strings.Strings(k - 1) : ReadStringDescriptor(hub.get(), k);
  }
}

void TpxUsbDevice::FindVolumes() {
  Volumes.clear();
  TpxUSBManager* manager = Manager();
  if (Relations.empty() || !manager) return;
  for (const std::string& child : Lines(Relations)) {
    std::string ids;
    GetDeviceIdList(child, kLineBreak, true, ids);
    if (ids.empty()) GetDeviceIdList(child, kLineBreak, false, ids);
    for (const std::string& id : Lines(ids)) {
      std::string letter = manager->FindDiskLetter(id);
      if (!letter.empty()) Volumes += letter + ": ";
    }
  }
}

// ---- TpxUsbHub ------------------------------------------------------------------------

TpxUsbHub::~TpxUsbHub() = default;

TpxUsbPort* TpxUsbHub::Ports(int i) const {
  return i >= 0 && i < PortCount() ? ports_[static_cast<size_t>(i)].get() : nullptr;
}

int TpxUsbHub::AddPort() {
  auto port = std::make_unique<TpxUsbPort>();
  port->Owner = Owner;
  ports_.push_back(std::move(port));
  return PortCount() - 1;
}

void TpxUsbHub::ClearPorts() { ports_.clear(); }

void TpxUsbHub::Enumerate(HANDLE HubHandle) {
  ClearPorts();
  BYTE* info = NodeInfo.Data();
  DWORD returned = 0;
  // bNumberOfPorts is byte 6: a shorter reply has no port count.
  if (!info || !win::DeviceIoControl(HubHandle, IOCTL_USB_GET_NODE_INFORMATION, info, kNodeInfoSize,
                                     info, kNodeInfoSize, &returned, nullptr) ||
      returned < 7) {
    return;
  }
  int count = info[6];
  for (int number = 1; number <= count; ++number) {
    TpxUsbPort* port = Ports(AddPort());
    port->Description = "Port[" + IntToStr(number) + "]";
    port->Name = port->Description;
    port->PortNumber = number;
    port->Hub = this;
    port->Refresh(HubHandle);
  }
}

// ---- TpxUsbPort -----------------------------------------------------------------------

TpxUsbPort::~TpxUsbPort() { ClearChildren(); }

TpxUsbDevice* TpxUsbPort::Children(int i) const {
  return i >= 0 && i < ChildCount() ? children_[static_cast<size_t>(i)].get() : nullptr;
}

void TpxUsbPort::ClearChildren() { children_.clear(); }

bool TpxUsbPort::RequestConnection(HANDLE HubHandle, DWORD ControlCode) {
  BYTE* info = ConnectionInfo.Data();
  // Zeroed first, so nothing of an earlier reply survives a shorter one.
  std::memset(info, 0, kConnectionInfoSize);
  PutLong(info, static_cast<ULONG>(PortNumber));
  DWORD returned = 0;
  if (!win::DeviceIoControl(HubHandle, ControlCode, info, kConnectionInfoSize, info,
                            kConnectionInfoSize, &returned, nullptr) ||
      returned < kPipeList) {
    return false;
  }
  // The pipe list holds what came back, whatever the count claims.
  ULONG returnedPipes = (std::min(returned, kConnectionInfoSize) - kPipeList) / sizeof(USB_PIPE_INFO);
  PutLong(info + kNumberOfOpenPipes, std::min(Long(info + kNumberOfOpenPipes), returnedPipes));
  return true;
}

std::string TpxUsbPort::AttachedText(TpxUsbDevice* Child, bool IsHub, const std::string& DriverKey) {
  std::string text;
  TpxUSBManager* manager = Hub && Hub->Host ? Hub->Host->Manager : nullptr;
  if (!DriverKey.empty() && Child) {
    // A device whose driver has not started yet has no record to name it.
    if (manager) {
      text = manager->FindDescription(DriverKey);
    } else {
      FindDeviceDescription(DriverKey, text);
    }
    if (!text.empty()) return text;
  }
  if (manager && manager->RequestDescriptors && !IsHub && Child) {
    Child->ReadStrings();
    for (int i = 0; i < Child->Strings.Count(); ++i) text += " " + Child->Strings.Strings(i);
    text = Trim(text);
  }
  return text.empty() ? "unknown device" : text;
}

void TpxUsbPort::Refresh(HANDLE HubHandle) {
  ClearChildren();
  BYTE* info = ConnectionInfo.Data();
  bool ok = info && RequestConnection(HubHandle, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX);
  if (!ok && info && RequestConnection(HubHandle, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION)) {
    ok = true;
    // The older record has a LowSpeed flag where the newer has the speed code.
    if (Word(info + kBcdUsb) < 0x0200) info[kSpeed] ^= 1;
  }
  if (!ok) {
    Description = "Error";
    return;
  }
  Description = "Port #" + IntToStr(PortNumber) + " ";
  if (Long(info + kConnectionStatus) == NoDeviceConnected) {
    Description += "(free)";
    return;
  }
  bool isHub = info[kDeviceIsHub] != 0;
  std::string key = GetConnectionName(
      HubHandle, isHub ? IOCTL_USB_GET_NODE_CONNECTION_NAME : IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
      static_cast<ULONG>(PortNumber));
  KeyName = key;
  DevicePath = Hub->DevicePath + "\\" + key;

  std::unique_ptr<TpxUsbDevice> child;
  if (isHub) {
    Description += "(hub: ";
    child = Hub->Host ? Hub->Host->OpenHub(key, this) : nullptr;
    key = GetConnectionName(HubHandle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
                            static_cast<ULONG>(PortNumber));
  } else {
    Description += "(device: ";
    child = std::make_unique<TpxUsbDevice>();
    child->Owner = Owner;
    child->Port = this;
    child->Load();
  }
  std::string text = AttachedText(child.get(), isHub, key);
  if (child) {
    child->Description = text;
    child->Name = text;
    children_.push_back(std::move(child));
  }
  Description += " " + text + ")";
}

// ---- TpxUsbHost -----------------------------------------------------------------------

TpxUsbHub* TpxUsbHost::Hubs(int i) const {
  return i >= 0 && i < HubCount() ? hubs_[static_cast<size_t>(i)].get() : nullptr;
}

void TpxUsbHost::ClearHubs() { hubs_.clear(); }

void TpxUsbHost::LoadRootHub(HANDLE Controller) {
  ClearHubs();
  std::unique_ptr<TpxUsbHub> hub = OpenHub(GetIoctlName(Controller, IOCTL_USB_GET_ROOT_HUB_NAME), nullptr);
  if (!hub) return;
  hub->Description = "Root Hub";
  hubs_.push_back(std::move(hub));
}

std::unique_ptr<TpxUsbHub> TpxUsbHost::OpenHub(const std::string& HubName, TpxUsbPort* ParentPort) {
  // "\\.\" alone names no hub.
  if (HubName.empty()) return nullptr;
  std::string path = "\\\\.\\" + HubName;
  TpxOwnedHandle handle = OpenDevice(path, GENERIC_WRITE, FILE_SHARE_WRITE);
  if (!handle) return nullptr;
  auto hub = std::make_unique<TpxUsbHub>();
  hub->Owner = Owner;
  hub->DevicePath = path;
  hub->Host = this;
  hub->ParentPort = ParentPort;
  hub->Name = "USB Hub:" + HubName;
  hub->Enumerate(handle.get());
  return hub;
}

// ---- TpxUSBManager --------------------------------------------------------------------

TpxUSBManager::~TpxUSBManager() { Clear(); }

void TpxUSBManager::Refresh(TpxUsbTreeHolder* starter) {
  if (tellingHolders_) return;
  Clear();
  Build();
  // Holders may call out (to device boxes, to the application): each is told only
  // while it is still registered.
  struct Telling {
    bool& flag;
    explicit Telling(bool& f) : flag(f) { flag = true; }
    ~Telling() { flag = false; }
  } telling(tellingHolders_);
  const std::vector<TpxUsbTreeHolder*> holders = holders_;
  for (TpxUsbTreeHolder* holder : holders) {
    if (holder != starter && std::find(holders_.begin(), holders_.end(), holder) != holders_.end()) {
      holder->TreeBuilt();
    }
  }
}

void TpxUSBManager::Build() {
  std::lock_guard<std::mutex> guard(UnitLock());
  EnumDisks();
  for (const GUID& setupClass : kSetupClasses) EnumDevices(&setupClass, true, true, false, DeviceInfos);
  for (int i = 0; i < DeviceInfos.Count(); ++i) {
    infoIndex_.emplace(UpperCase(DeviceInfos.Strings(i)), static_cast<TpxDevice*>(DeviceInfos.Objects(i)));
  }
  descriptions_.Load();
  for (int n = 0; n < HostControllerCount; ++n) {
    HANDLE handle = OpenHostController(n);
    if (handle == INVALID_HANDLE_VALUE) continue;
    TpxOwnedHandle controller(handle);
    TpxUsbHost* host = Hosts(AddHost());
    host->DevicePath = "\\\\.\\HCD" + IntToStr(n);
    host->KeyName = GetIoctlName(handle, IOCTL_GET_HCD_DRIVERKEY_NAME);
    host->Description = FindDescription(host->KeyName);
    host->Name = host->Description;
    host->LoadRootHub(handle);
  }
}

void TpxUSBManager::Clear() {
  for (TpxUsbTreeHolder* holder : holders_) holder->TreeDestroying();
  hosts_.clear();
  for (int i = 0; i < DeviceInfos.Count(); ++i) delete DeviceInfos.Objects(i);
  DeviceInfos.Clear();
  infoIndex_.clear();
  descriptions_.Clear();
  Disks.Clear();
}

TpxUsbHost* TpxUSBManager::Hosts(int i) const {
  return i >= 0 && i < HostCount() ? hosts_[static_cast<size_t>(i)].get() : nullptr;
}

int TpxUSBManager::AddHost() {
  auto host = std::make_unique<TpxUsbHost>();
  host->Manager = this;
  hosts_.push_back(std::move(host));
  return HostCount() - 1;
}

HANDLE TpxUSBManager::OpenHostController(int Number) {
  std::string path = "\\\\.\\HCD" + IntToStr(Number);
  return win::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
}

TpxDevice* TpxUSBManager::FindDeviceInfo(const std::string& DriverKey) const {
  auto it = infoIndex_.find(UpperCase(DriverKey));
  return it == infoIndex_.end() ? nullptr : it->second;
}

void TpxUSBManager::EnumDisks() {
  std::string letters;
  GetDiVolums(false, true, true, true, true, kLineBreak, letters);
  Disks.SetText(Trim(letters));
  WriteLog("EnumDisks GetDiVolums: " + Disks.Text());
  for (int i = 0; i < Disks.Count(); ++i) {
    std::string letter = Disks.Strings(i);
    std::string value;
    ReadRegString(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", "\\DosDevices\\" + letter + ":", value);
    if (value.empty()) continue;
    std::string identity;
    if (value.size() == 12) {
      identity = SignatureIdentity(value);
    } else {
      SymbolicNameToDeviceId(WideBufferToAnsi(reinterpret_cast<const BYTE*>(value.data()), value.size()),
                             identity);
    }
    Disks.Put(i, LowerCase(identity));
    Disks.PutObject(i, LetterObject(letter[0]));
  }
}

std::string TpxUSBManager::FindDiskLetter(const std::string& DeviceId) const {
  std::string key;
  SymbolicNameToDeviceId(LowerCase(DeviceId), key);
  // An empty identifier is contained in every line; it names no drive.
  if (key.empty()) return {};
  for (int i = 0; i < Disks.Count(); ++i) {
    const std::string line = Disks.Strings(i);
    if (line.size() > 3 && (line.find(key) != std::string::npos || key.find(line) != std::string::npos)) {
      return LetterOf(Disks, i);
    }
  }
  // Volume IDs that end with the partition offset of a signature record.
  const std::string offset = "offset";
  for (int i = Disks.Count() - 1; i >= 0; --i) {
    const std::string line = Disks.Strings(i);
    std::string::size_type at = line.find(offset);
    if (at == std::string::npos) continue;
    std::string tail = line.substr(at + offset.size());
    std::string::size_type found = key.find(tail);
    if (!tail.empty() && found != std::string::npos && found + tail.size() == key.size()) {
      return LetterOf(Disks, i);
    }
  }
  return {};
}

void TpxUSBManager::WriteLog(const std::string& Text) {
  if (Log) Log->Add(0, Text);
}

void TpxUSBManager::AddHolder(TpxUsbTreeHolder* holder) {
  if (std::find(holders_.begin(), holders_.end(), holder) == holders_.end()) holders_.push_back(holder);
}

void TpxUSBManager::RemoveHolder(TpxUsbTreeHolder* holder) {
  holders_.erase(std::remove(holders_.begin(), holders_.end(), holder), holders_.end());
}

namespace {

void ReleaseTree() { USBManager().Clear(); }

// The process's manager; its tree goes back to the backend it came from.
struct SharedManager {
  SharedManager() { win::addBackendRelease(ReleaseTree); }
  ~SharedManager() { win::removeBackendRelease(ReleaseTree); }
  TpxUSBManager manager;
};

}  // namespace

TpxUSBManager& USBManager() {
  static SharedManager shared;
  return shared.manager;
}
