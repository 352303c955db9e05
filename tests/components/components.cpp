#include "components.h"

#include "support/input.h"

namespace pxtest {

int TComponentLog::Count(const std::string& prefix) const {
  int n = 0;
  for (const std::string& line : Lines()) n += line.compare(0, prefix.size(), prefix) == 0;
  return n;
}

void Receiver::Received(TObject*, void* buffer, DWORD count) {
  std::lock_guard<std::mutex> guard(lock_);
  data_.append(static_cast<const char*>(buffer), count);
  blocks_.push_back(count);
  onCreator_.push_back(std::this_thread::get_id() == creator_);
}

void Receiver::Fatal(TObject*, DWORD code, DWORD detail, const std::string& message, bool& raise) {
  Fatals.push_back(Format("%u, %u, %s", {code, detail, message}));
  raise = RaiseFatal;
}

std::string Receiver::Data() const {
  std::lock_guard<std::mutex> guard(lock_);
  return data_;
}

std::vector<DWORD> Receiver::Blocks() const {
  std::lock_guard<std::mutex> guard(lock_);
  return blocks_;
}

std::vector<bool> Receiver::OnCreatorThread() const {
  std::lock_guard<std::mutex> guard(lock_);
  return onCreator_;
}

std::string SampleMachine() {
  return R"json({"controllers": [{"number": 0, "rootHub": {"ports": 3, "attach": {
    "1": {"vid": "0x2F1A", "pid": "0x0101", "description": "echo", "service": "WinUSB", "portName": "COM7", "model": "echo",
          "endpoints": [{"address": "0x81"}, {"address": "0x02"}]},
    "2": {"vid": "0x3A21", "pid": "0x2514", "hub": {"ports": 2, "attach": {
      "1": {"vid": "0x2F1A", "pid": "0x0102", "description": "pxecho", "service": "PXUSB", "model": "echo",
            "endpoints": [{"address": "0x82"}, {"address": "0x01"}]},
      "2": {"vid": "0x2C9D", "pid": "0x1040", "description": "mouse", "service": "HidUsb",
            "setupClass": "HIDClass", "endpoints": [{"address": "0x81", "type": "interrupt"}]}}}},
    "3": {"vid": "0x3B04", "pid": "0x1F20", "description": "stick", "service": "USBSTOR",
          "endpoints": [{"address": "0x81"}, {"address": "0x02"}]}}}}]})json";
}

void ComponentTest::SetUp() { Load(SampleMachine()); }

void ComponentTest::TearDown() {
  app_.reset();
  described_.reset();
}

void ComponentTest::Load(const std::string& json) {
  app_.reset();
  described_.reset();
  described_ = std::make_unique<sim::DescribedMachine>(json);
  app_ = MakeComponent<TApplication>(nullptr);
}

std::shared_ptr<sim::UsbDevice> ComponentTest::Attach(TpxUsbDevice* node,
                                                      std::shared_ptr<sim::DeviceModel> model) {
  std::vector<sim::Endpoint> endpoints;
  for (int i = 0; i < node->PipeCount(); ++i) {
    const USB_ENDPOINT_DESCRIPTOR& e = node->Pipes(i)->Endpoint->EndpointDescriptor;
    endpoints.push_back({e.bEndpointAddress, static_cast<UCHAR>(e.bmAttributes & 3), e.wMaxPacketSize, e.bInterval});
  }
  return Machine().usbIo().attach(ToWin32DevicePath(node->DevicePath), node->Service, endpoints, std::move(model));
}

void ComponentTest::OpenPair(TpxUSB& usb, TpxUSBPipePair& pair, int index) {
  usb.SetDeviceIndex(index);
  usb.SetActive(true);
  pair.SetUsbDevice(&usb);
  pair.SetPipeIn(0);
  pair.SetPipeOut(1);
  pair.SetActive(true);
}

bool ComponentTest::PumpUntil(const std::function<bool()>& condition) {
  return WaitUntil([&] {
    MSG msg;
    while (win::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) win::DispatchMessageA(&msg);
    CheckSynchronize();
    return condition();
  });
}

std::vector<std::string> ComponentTest::DebugLines(const std::string& prefix) const {
  std::vector<std::string> lines;
  for (const std::string& line : described_->machine().kernel().debugLog()) {
    if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
  }
  return lines;
}

void ComponentTest::Pick(TCustomComboBox& box, int index) {
  // The user sees the box's form and works the mouse.
  TControl* form = &box;
  while (form->Parent()) form = form->Parent();
  if (auto* shown = dynamic_cast<TForm*>(form)) shown->Show();
  ASSERT_TRUE(userinput::PickWithMouse(box.Handle(), index, Pumping([this] { app_->ProcessMessages(); })));
}

DeviceChanges::DeviceChanges(TpxUSB& usb, std::function<void()> after)
    : usb_(usb), after_(std::move(after)), window_(AllocateHWnd(TWndMethod::Of<&DeviceChanges::WndProc>(this))) {}

DeviceChanges::~DeviceChanges() { DeallocateHWnd(window_); }

void DeviceChanges::WndProc(TMessage& message) {
  if (message.Msg != WM_DEVICECHANGE) {
    message.Result = win::DefWindowProcA(window_, message.Msg, message.WParam, message.LParam);
    return;
  }
  std::int32_t index = usb_.GetDeviceIndex();
  usb_.DeviceChange(message);
  usb_.SetDeviceIndex(index);
  if (after_) after_();
}

}  // namespace pxtest
