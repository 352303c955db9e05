// The USB device component: the list of USB devices in the machine's USB tree, the
// selected one, and opening it through the WinUSB or the kernel-driver binding.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "lib/pxclasses.h"
#include "lib/pxusb_usb_api.h"
#include "lib/pxusbman.h"

// Display names of the connection speeds and the pipe types, for applications.
constexpr const char* UsbSpeedNames[] = {"Low", "Full", "High"};
constexpr const char* UsbPipeTypeNames[] = {"Unknown", "Control", "Isochronous", "Bulk", "Interrupt"};

// "\??\USB#..." becomes "\\.\USB#..."; any other text stays as it is.
std::string ToWin32DevicePath(const std::string& S);

// Lists every non-hub device of the shared manager's tree, in port order with hubs
// descended, optionally only those of one vendor and product. No reader of its own:
// pipe pairs read and write the open device through UsbApi. Main thread only.
//
// Every component lists nodes of the one shared tree. When another component's load
// replaces the tree, this one drops its list before the old tree goes and, once the
// new tree stands, rebuilds it as DevicesChanged would (same position selected,
// notify code 3) without walking the tree again; while open, the open device stays
// selected at its new position. When the tree goes for good (the
// Windows backend went) the list stays empty until the next load.
class TpxUSB : public TpxBaseIO, private TpxUsbTreeHolder {
 public:
  explicit TpxUSB(TComponent* owner);
  ~TpxUSB() override;
  static const TClassInfo& ClassInfo();

  bool IsOpen() const override;
  void Open() override;
  void Close() override;
  std::int32_t GetDeviceIndex() const override { return deviceIndex_; }
  // A position outside the list selects nothing and keeps DeviceIndex.
  void SetDeviceIndex(std::int32_t index) override;
  // Walks the USB tree again: every node of the previous walk is gone.
  void LoadDevices() override;
  // Reloads and selects the same position again.
  void DevicesChanged() override;

  bool RequestDescriptors() const { return requestDescriptors_; }
  void SetRequestDescriptors(bool value) { requestDescriptors_ = value; }
  DWORD IdVendor() const { return idVendor_; }
  void SetIdVendor(DWORD value);
  DWORD IdProduct() const { return idProduct_; }
  void SetIdProduct(DWORD value);

  // The pipes the next Open is for: positions in the selected device's Pipes, -1 for
  // none. A composite device is opened through the function they belong to (with none
  // chosen, the first function that WinUSB or pxusb serves); other devices ignore them.
  void SetPipes(std::int32_t pipeIn, std::int32_t pipeOut);

  // The node at DeviceIndex of the current list, or none.
  TpxUsbDevice* SelectedDevice() const { return selectedDevice_; }
  // The access object of the current open, or none.
  TpxCustomUsbApi* UsbApi() const { return SharedUsbApi().get(); }
  // The same, for a borrower that must keep it alive while it uses it (a reader that
  // may still be in a call when this component closes).
  std::shared_ptr<TpxCustomUsbApi> SharedUsbApi() const { return std::atomic_load(&usbApi_); }
  // The open device file, -1 while closed.
  using TpxBaseIO::Handle;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  std::int32_t DoOpen() override;
  void DoClose(std::int32_t handle) override;

 private:
  void BuildDeviceList();
  void AddHubDevices(TpxUsbHub* hub);
  // Selects the remembered position in the new list and tells the listeners.
  void Reselect(std::int32_t index);
  void TreeDestroying() override;
  void TreeBuilt() override;
  // The position of the device with this path in the list, or -1.
  std::int32_t IndexOfPath(const std::string& path) const;
  void SetUsbApi(std::shared_ptr<TpxCustomUsbApi> api) { std::atomic_store(&usbApi_, std::move(api)); }
  // What Open opens: the selected device, or the composite device's function of the
  // chosen pipes. None when no function can be opened, with the reason in `problem`.
  const TpxDevice* OpenTarget(std::string& problem) const;

  std::int32_t deviceIndex_ = -1;
  TpxUSBManager* manager_;
  TpxUsbDevice* selectedDevice_ = nullptr;
  DWORD idVendor_ = 0;
  DWORD idProduct_ = 0;
  bool requestDescriptors_ = false;
  // Whether the list was built: only a built list is rebuilt after another's load.
  bool listBuilt_ = false;
  std::int32_t pipeIn_ = -1;
  std::int32_t pipeOut_ = -1;
  std::shared_ptr<TpxCustomUsbApi> usbApi_;
  // The device path of the last open.
  std::string openPath_;
};
