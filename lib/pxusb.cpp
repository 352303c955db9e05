#include "lib/pxusb.h"

#include "lib/pxusb_sysusb_api.h"
#include "lib/pxusb_winusb_api.h"

namespace {

std::unique_ptr<TpxCustomUsbApi> BindingFor(const std::string& service) {
  std::string name = LowerCase(service);
  if (name == "winusb") return std::make_unique<TpxWinUsbApi>();
  if (name == "pxusb") return std::make_unique<TpxSysUsbApi>();
  return nullptr;
}

const char kUnknownDriver[] = " Driver is unknown. You need install PxUsb or WinUsb driver on target device.";

// "Pipe [3] (interface 1, usbser)"
std::string PipeText(const TpxUsbPipe& pipe) {
  std::string service = pipe.Function ? pipe.Function->Service : std::string();
  return pipe.Name + " (interface " + IntToStr(pipe.InterfaceNumber) + (service.empty() ? "" : ", " + service) + ")";
}

}  // namespace

std::string ToWin32DevicePath(const std::string& S) {
  if (S.compare(0, 3, "\\??") == 0) return "\\\\." + S.substr(3);
  return S;
}

TpxUSB::TpxUSB(TComponent* owner) : TpxBaseIO(owner), manager_(&USBManager()) {
  // The nodes belong to the manager's tree.
  OwnsDevices = false;
  manager_->AddHolder(this);
}

TpxUSB::~TpxUSB() { manager_->RemoveHolder(this); }

void TpxUSB::TreeDestroying() {
  selectedDevice_ = nullptr;
  ClearDevices();
}

void TpxUSB::TreeBuilt() {
  if (!listBuilt_) return;
  BuildDeviceList();
  // An open device stays selected wherever the new list has it: a pair that opens on
  // this component takes its endpoints, not those of whatever took its position.
  Reselect(IsOpen() ? IndexOfPath(openPath_) : deviceIndex_);
}

std::int32_t TpxUSB::IndexOfPath(const std::string& path) const {
  for (int i = 0; i < DeviceCount(); ++i) {
    if (Devices(i)->DevicePath == path) return i;
  }
  return -1;
}

void TpxUSB::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component && component == Log()) manager_->Log = nullptr;
  TpxBaseIO::Notification(component, operation);
}

void TpxUSB::SetIdVendor(DWORD value) {
  if (value == idVendor_) return;
  idVendor_ = value;
  BuildDeviceList();
}

void TpxUSB::SetIdProduct(DWORD value) {
  if (value == idProduct_) return;
  idProduct_ = value;
  BuildDeviceList();
}

void TpxUSB::LoadDevices() {
  WriteLog(2, "Load device list ...");
  manager_->RequestDescriptors = requestDescriptors_;
  manager_->Log = Log();
  // Nothing is selected until SetDeviceIndex runs on the new list.
  selectedDevice_ = nullptr;
  manager_->Refresh(this);
  BuildDeviceList();
}

void TpxUSB::BuildDeviceList() {
  ClearDevices();
  listBuilt_ = true;
  for (int h = 0; h < manager_->HostCount(); ++h) {
    TpxUsbHost* host = manager_->Hosts(h);
    for (int i = 0; i < host->HubCount(); ++i) AddHubDevices(host->Hubs(i));
  }
}

void TpxUSB::AddHubDevices(TpxUsbHub* hub) {
  for (int p = 0; p < hub->PortCount(); ++p) {
    TpxUsbPort* port = hub->Ports(p);
    for (int c = 0; c < port->ChildCount(); ++c) {
      TpxUsbDevice* node = port->Children(c);
      if (auto* child = dynamic_cast<TpxUsbHub*>(node)) {
        AddHubDevices(child);
        continue;
      }
      // 16-bit identifiers against 32-bit filters: a filter above 0xFFFF matches nothing.
      if (idProduct_ != 0 && node->IdProduct != idProduct_) continue;
      if (idVendor_ != 0 && node->IdVendor != idVendor_) continue;
      AddDevice(node);
      WriteLog(2, "Add device into list: " + node->Name + "|" + node->InstanceId);
    }
  }
}

void TpxUSB::SetDeviceIndex(std::int32_t index) {
  selectedDevice_ = nullptr;
  if (index < 0 || index >= DeviceCount()) return;
  deviceIndex_ = index;
  selectedDevice_ = dynamic_cast<TpxUsbDevice*>(Devices(index));
  TpxBaseIO::SetDeviceIndex(index);
}

void TpxUSB::DevicesChanged() {
  std::int32_t index = deviceIndex_;
  LoadDevices();
  Reselect(index);
}

void TpxUSB::Reselect(std::int32_t index) {
  SetDeviceIndex(index);
  TpxBaseIO::DevicesChanged();
}

void TpxUSB::SetPipes(std::int32_t pipeIn, std::int32_t pipeOut) {
  pipeIn_ = pipeIn;
  pipeOut_ = pipeOut;
}

const TpxDevice* TpxUSB::OpenTarget(std::string& problem) const {
  if (!selectedDevice_->IsComposite()) return selectedDevice_;
  const TpxUsbPipe* in = selectedDevice_->Pipes(pipeIn_);
  const TpxUsbPipe* out = selectedDevice_->Pipes(pipeOut_);
  if (in && out && in->Function != out->Function) {
    problem = " " + PipeText(*in) + " and " + PipeText(*out) +
              " belong to different functions of the composite device: choose both pipes of one function.";
    return nullptr;
  }
  const TpxUsbFunction* function = in ? in->Function : out ? out->Function : nullptr;
  std::string drivers;
  for (int i = 0; i < selectedDevice_->FunctionCount(); ++i) {
    const TpxUsbFunction* f = selectedDevice_->Functions(i);
    if (!in && !out && !function && IsOpenableService(f->Service)) function = f;
    drivers += (drivers.empty() ? " Function drivers: " : ", ") + std::string("interface ") +
               IntToStr(f->FirstInterface) + " " + (f->Service.empty() ? "none" : f->Service);
  }
  if (function && IsOpenableService(function->Service)) return function;
  problem = std::string(kUnknownDriver) + drivers + (drivers.empty() ? "" : ".");
  return nullptr;
}

bool TpxUSB::IsOpen() const {
  std::shared_ptr<TpxCustomUsbApi> api = SharedUsbApi();
  return api && api->IsDeviceOpen();
}

std::int32_t TpxUSB::DoOpen() {
  std::string problem;
  const TpxDevice* target = OpenTarget(problem);
  if (!target) return TpxBaseIO::DoOpen();
  // The selected device, as the list holds it (a composite device's own path).
  openPath_ = selectedDevice_->DevicePath;
  std::string path = ToWin32DevicePath(target->DevicePath);
  SetUsbApi(BindingFor(target->Service));
  std::shared_ptr<TpxCustomUsbApi> api = SharedUsbApi();
  if (!api) return TpxBaseIO::DoOpen();
  // Windows handles carry 32 significant bits, also in 64-bit processes.
  return static_cast<std::int32_t>(reinterpret_cast<LONG_PTR>(api->OpenDevice(path)));
}

void TpxUSB::DoClose(std::int32_t) {
  if (std::shared_ptr<TpxCustomUsbApi> api = SharedUsbApi()) api->CloseDevice();
}

void TpxUSB::Open() {
  if (IsOpen()) Close();
  // A device listed before its driver started has no record yet. Its arrival's last
  // broadcast may come late or never (a busy window), so the list is read again
  // before the open is given up.
  if (selectedDevice_ && selectedDevice_->KeyName.empty() && selectedDevice_->Port) {
    std::string port = selectedDevice_->Port->DevicePath;
    std::int32_t index = deviceIndex_;
    LoadDevices();
    for (int i = 0; i < DeviceCount(); ++i) {
      auto* device = static_cast<TpxUsbDevice*>(Devices(i));
      if (device->Port && device->Port->DevicePath == port) index = i;
    }
    Reselect(index);
  }
  if (!selectedDevice_) {
    DoFatalError(8, 1, "Device is not selected");
    return;
  }
  std::string problem;
  const TpxDevice* target = OpenTarget(problem);
  if (target) TpxBaseIO::Open();
  if (IsOpen()) return;
  DWORD error = win::GetLastError();
  if (target && !IsOpenableService(target->Service)) problem = kUnknownDriver;
  DoFatalError(8, error, "USB device open fails." + problem);
}

void TpxUSB::Close() {
  TpxBaseIO::Close();
  SetUsbApi(nullptr);
}

const TClassInfo& TpxUSB::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TpxUSB, TpxBaseIO>("TpxUSB", [](TClassInfo& c) {
    c.Property("RequestDescriptors", &TpxUSB::RequestDescriptors, &TpxUSB::SetRequestDescriptors);
    TpxBaseIO::Publish(c, {"DeviceIndex", "Active", "Log", "OnFatalError"});
    c.Property("IdVendor", &TpxUSB::IdVendor, &TpxUSB::SetIdVendor)
        .Property("IdProduct", &TpxUSB::IdProduct, &TpxUSB::SetIdProduct);
  });
  return info;
}
