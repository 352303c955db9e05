// The USB topology: one shared manager that rebuilds the picture of host controllers,
// their hubs, the hubs' ports, the hub or device on each port and every device's
// pipes, annotated with what the setup enumeration knows, and maps USB disks to
// drive letters.
//
// Ownership is a strict tree: manager -> hosts -> hubs -> ports -> attached node ->
// pipes. Every Refresh destroys the previous tree; references into it die with it, so
// whoever keeps them registers as a holder and is told first. The tree lives in the
// local memory of the backend it was read from: when that backend goes, the tree goes
// with it (the manager stays, empty).
// Nothing here raises: failures give empty texts, no node, or fewer entries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "framework/classes.h"
#include "lib/pxclasses.h"
#include "lib/pxusbw32.h"
#include "lib/pxwin32.h"
#include "platform/win32.h"

class TpxUSBManager;
class TpxUsbHost;
class TpxUsbHub;
class TpxUsbPort;
class TpxUsbDevice;

// Host controllers \\.\HCD0 to \\.\HCD15 are tried.
constexpr int HostControllerCount = 16;

// Hub and connection information buffer sizes: the hub information record with room
// to spare, and the connection record with room for 30 pipes.
constexpr DWORD kNodeInfoSize = 79;
constexpr DWORD kMaxPipes = 30;
constexpr DWORD kConnectionInfoSize =
    sizeof(USB_NODE_CONNECTION_INFORMATION_EX) + kMaxPipes * sizeof(USB_PIPE_INFO);

// Whether the library opens devices that `Service` serves: WinUSB or pxusb, in any
// letter case.
bool IsOpenableService(const std::string& Service);

// One function of a composite device: the generic parent driver's child devnode of an
// interface, or of the interfaces that an interface association descriptor joins.
// Service, DevicePath, InstanceId and Description are the child's; they stay empty
// while the child is not there (it arrives after its parent).
class TpxUsbFunction : public TpxDevice {
 public:
  std::uint8_t FirstInterface = 0;
  std::uint8_t InterfaceCount = 1;
  bool HasInterface(int Number) const { return Number >= FirstInterface && Number < FirstInterface + InterfaceCount; }
};

// One open pipe of a device: its entry in the port's connection information.
class TpxUsbPipe : public TpxDevice {
 public:
  // Points into the port's ConnectionInfo, valid as long as the device is.
  const USB_PIPE_INFO* Endpoint = nullptr;
  TpxUsbDevice* Device = nullptr;
  // On a composite device: bInterfaceNumber of the pipe's interface (-1 when the
  // configuration descriptor does not name it) and the function it belongs to.
  std::int32_t InterfaceNumber = -1;
  TpxUsbFunction* Function = nullptr;

  // Whether an open reaches the pipe: the device's driver, or on a composite device
  // its function's, is one the library opens.
  bool CanOpen() const;

  bool IsIn() const { return Endpoint && (Endpoint->EndpointDescriptor.bEndpointAddress & 0x80); }
  bool IsOut() const { return Endpoint && !(Endpoint->EndpointDescriptor.bEndpointAddress & 0x80); }
  BYTE EndpointAddress() const { return Endpoint ? Endpoint->EndpointDescriptor.bEndpointAddress : 0; }
  // wMaxPacketSize's bits 0-10 (11-12 count extra transactions per microframe); 0: none.
  DWORD MaxPacketSize() const { return Endpoint ? Endpoint->EndpointDescriptor.wMaxPacketSize & 0x7FF : 0; }
};

// A USB device on a hub port.
class TpxUsbDevice : public TpxDevice {
 public:
  int PipeCount() const { return static_cast<int>(pipes_.size()); }
  TpxUsbPipe* Pipes(int i) const;
  int AddPipe();
  // Releases ConfigDescriptor, destroys the pipes, empties Strings.
  void Clear();
  // Fills the node from Port's connection information, the hub and the manager's
  // device-information record.
  void Load();
  void ReadStrings();
  std::string ReadStringDescriptor(HANDLE HubHandle, int Index);
  void FindVolumes();
  // Served by the generic parent driver: its functions are what can be opened.
  bool IsComposite() const;
  int FunctionCount() const { return static_cast<int>(functions_.size()); }
  TpxUsbFunction* Functions(int i) const;

  TStringList Strings;  // string descriptors 1, 2, 3 ... as ReadStrings found them
  TpxUsbPort* Port = nullptr;  // none on a hub node
  std::unique_ptr<TpxDescriptorBuffer> ConfigDescriptor;
  std::uint16_t IdProduct = 0;
  std::uint16_t IdVendor = 0;
  std::uint16_t MaxPacketSize0 = 0;
  std::uint8_t Speed = 0;  // 0 low, 1 full, 2 high, ...
  std::uint8_t UsbVersionLow = 0;
  std::uint8_t UsbVersionMajor = 0;
  std::string Volumes;  // "E: F: "

 private:
  // The port's hub, opened for the descriptor requests; null when it cannot be.
  TpxOwnedHandle OpenPortHub() const;
  TpxUSBManager* Manager() const;
  // A composite device's functions from its whole configuration descriptor and its
  // child devnodes; each pipe learns its interface and function.
  void LoadFunctions(HANDLE HubHandle);
  TpxUsbFunction* FunctionOf(int InterfaceNumber) const;

  std::vector<std::unique_ptr<TpxUsbPipe>> pipes_;
  std::vector<std::unique_ptr<TpxUsbFunction>> functions_;
};

// A hub: a device node whose own device fields stay empty, with one port per hub port.
class TpxUsbHub : public TpxUsbDevice {
 public:
  ~TpxUsbHub() override;

  int PortCount() const { return static_cast<int>(ports_.size()); }
  TpxUsbPort* Ports(int i) const;
  int AddPort();
  void ClearPorts();
  // Reads the number of ports and builds each port's subtree, in port order.
  void Enumerate(HANDLE HubHandle);

  TpxUsbHost* Host = nullptr;        // the controller's host, at every depth
  TpxUsbPort* ParentPort = nullptr;  // none for a root hub
  TpxLocalBuffer NodeInfo{kNodeInfoSize};

 private:
  std::vector<std::unique_ptr<TpxUsbPort>> ports_;
};

// One port of a hub and what is attached to it.
class TpxUsbPort : public TpxDevice {
 public:
  // The attached device goes first: its pipes point into ConnectionInfo.
  ~TpxUsbPort() override;

  int ChildCount() const { return static_cast<int>(children_.size()); }
  // The attached hub or device.
  TpxUsbDevice* Children(int i) const;
  void ClearChildren();
  // Asks the hub what is attached, names the port after it and builds the node.
  void Refresh(HANDLE HubHandle);

  TpxUsbHub* Hub = nullptr;
  std::int32_t PortNumber = 0;  // 1-based
  // USB_NODE_CONNECTION_INFORMATION_EX with its pipe list; pipes point into it.
  TpxLocalBuffer ConnectionInfo{kConnectionInfoSize};

 private:
  // The connection request into ConnectionInfo; false unless the fixed part came back.
  bool RequestConnection(HANDLE HubHandle, DWORD ControlCode);
  std::string AttachedText(TpxUsbDevice* Child, bool IsHub, const std::string& DriverKey);

  std::vector<std::unique_ptr<TpxUsbDevice>> children_;
};

// A host controller and its root hub.
class TpxUsbHost : public TpxDevice {
 public:
  int HubCount() const { return static_cast<int>(hubs_.size()); }
  TpxUsbHub* Hubs(int i) const;
  void ClearHubs();
  void LoadRootHub(HANDLE Controller);
  // A fully built hub node for "\\.\" + HubName, or none when it cannot be opened.
  std::unique_ptr<TpxUsbHub> OpenHub(const std::string& HubName, TpxUsbPort* ParentPort);

  TpxUSBManager* Manager = nullptr;

 private:
  std::vector<std::unique_ptr<TpxUsbHub>> hubs_;
};

// Whoever keeps references to nodes of the manager's tree (a device list).
class TpxUsbTreeHolder {
 public:
  // The tree is about to be destroyed: drop every reference into it, at once and
  // without calling out. Runs on the thread that clears the tree.
  virtual void TreeDestroying() = 0;
  // A Refresh that another holder started has built a new tree.
  virtual void TreeBuilt() = 0;

 protected:
  ~TpxUsbTreeHolder() = default;
};

class TpxUSBManager {
 public:
  TpxUSBManager() = default;
  ~TpxUSBManager();
  TpxUSBManager(const TpxUSBManager&) = delete;
  TpxUSBManager& operator=(const TpxUSBManager&) = delete;

  // Rebuilds Disks, DeviceInfos and the host tree, then tells every holder but
  // `starter` of the new tree. A Refresh asked for while the holders are being told
  // keeps the tree that was just built.
  void Refresh(TpxUsbTreeHolder* starter = nullptr);
  // Tells every holder, then destroys the tree and the records.
  void Clear();
  void AddHolder(TpxUsbTreeHolder* holder);
  void RemoveHolder(TpxUsbTreeHolder* holder);
  int HostCount() const { return static_cast<int>(hosts_.size()); }
  TpxUsbHost* Hosts(int i) const;
  int AddHost();
  HANDLE OpenHostController(int Number);
  // The device-information record listed under DriverKey (any letter case), or none.
  TpxDevice* FindDeviceInfo(const std::string& DriverKey) const;
  // FindDeviceDescription of DriverKey, from the device tree as the last Refresh found it.
  std::string FindDescription(const std::string& DriverKey) const { return descriptions_.Find(DriverKey); }
  void EnumDisks();
  // The drive letter whose mount record matches DeviceId, or empty.
  std::string FindDiskLetter(const std::string& DeviceId) const;
  void WriteLog(const std::string& Text);

  bool RequestDescriptors = false;
  TStringList DeviceInfos;  // driver key -> owned TpxDevice record; filled by Refresh
  // One line per drive letter: the letter, or its lower-cased mount identity with the
  // letter's character code as the line's object.
  TStringList Disks;
  TpxCustomLogFile* Log = nullptr;

 private:
  // The building part of Refresh, inside the unit lock.
  void Build();

  std::vector<std::unique_ptr<TpxUsbHost>> hosts_;
  std::vector<TpxUsbTreeHolder*> holders_;
  bool tellingHolders_ = false;
  // What is looked up once per device, indexed once per Refresh: the records of
  // DeviceInfos by upper-case driver key (the first of equal keys), and the tree's
  // descriptions.
  std::unordered_map<std::string, TpxDevice*> infoIndex_;
  TpxDescriptionIndex descriptions_;
};

// The one manager of the process, created on first use and destroyed at program end.
// When the Windows backend changes (a simulated machine installed or removed) it
// clears its tree while the old backend is still installed; holders drop their lists.
TpxUSBManager& USBManager();
