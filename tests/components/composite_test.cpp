// Composite devices: the function of the chosen pipes is opened, whatever its shape,
// and a composite device arriving in stages keeps its place in the list.
#include <algorithm>

#include "components.h"
#include "platform/sim/hotplug.h"

namespace pxtest {
namespace {

// Port 1: two WinUSB functions. Port 2: one WinUSB function of two interfaces, its IN
// pipe on the first, its OUT pipe on the second. Port 3: a pxusb function of two
// interfaces beside a HID one. Port 4: functions on other drivers only.
const char kComposites[] = R"json({"controllers": [{"number": 0, "rootHub": {"ports": 4, "attach": {
  "1": {"vid": "0x2F1A", "pid": "0x0201", "functions": [
    {"service": "WinUSB", "model": "echo", "endpoints": [{"address": "0x81"}, {"address": "0x01"}]},
    {"service": "WinUSB", "model": "echo", "endpoints": [{"address": "0x82"}, {"address": "0x02"}]}]},
  "2": {"vid": "0x2F1A", "pid": "0x0202", "functions": [
    {"service": "WinUSB", "model": "echo", "interfaces": [
      {"endpoints": [{"address": "0x81"}]}, {"endpoints": [{"address": "0x02"}]}]}]},
  "3": {"vid": "0x2F1A", "pid": "0x0203", "functions": [
    {"service": "HidUsb", "setupClass": "HIDClass", "interfaceClass": 3,
     "endpoints": [{"address": "0x81", "type": "interrupt"}]},
    {"service": "pxusb", "model": "echo", "interfaces": [
      {"endpoints": [{"address": "0x83"}]}, {"endpoints": [{"address": "0x03"}]}]}]},
  "4": {"vid": "0x2F1A", "pid": "0x0204", "functions": [
    {"service": "usbser", "setupClass": "Ports", "endpoints": [{"address": "0x81"}, {"address": "0x01"}]},
    {"service": "HidUsb", "setupClass": "HIDClass", "endpoints": [{"address": "0x82", "type": "interrupt"}]}]}
}}}]})json";

class CompositeTest : public ComponentTest {
 protected:
  void SetUp() override { Load(kComposites); }
};

TEST_F(CompositeTest, OpensTheFunctionOfTheChosenPipes) {
  struct Case {
    int device, in, out;
    std::string error;  // empty: the pair echoes
  };
  const Case cases[] = {
      {0, 0, 1, ""},
      {0, 2, 3, ""},
      {0, 0, 3,
       "USB device open fails. Pipe [1] (interface 0, WinUSB) and Pipe [4] (interface 1, WinUSB) belong to "
       "different functions of the composite device: choose both pipes of one function."},
      {1, 0, 1, ""},  // the OUT pipe through the associated interface
      {2, 1, 2, ""},  // the pxusb function's device serves both of its interfaces
      {2, 0, 2, "USB device open fails. Pipe [1] (interface 0, HidUsb) and Pipe [3] (interface 2, pxusb)"},
      {3, 0, 1,
       "USB device open fails. Driver is unknown. You need install PxUsb or WinUsb driver on target device. "
       "Function drivers: interface 0 usbser, interface 1 HidUsb."},
  };
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->LoadDevices();
  for (const Case& c : cases) {
    SCOPED_TRACE(Format("device %u, pipes %u and %u", {c.device, c.in, c.out}));
    TOwned<TpxUSBPipePair> pair = MakeComponent<TpxUSBPipePair>(nullptr);
    Receiver receiver;
    receiver.RaiseFatal = false;
    usb->OnFatalError = TOnFatalErrorEvent::Of<&Receiver::Fatal>(&receiver);
    pair->OnAfterReceive = TOnReceived::Of<&Receiver::Received>(&receiver);
    usb->SetDeviceIndex(c.device);
    usb->SetPipes(c.in, c.out);
    usb->SetActive(true);
    if (!c.error.empty()) {
      ASSERT_EQ(receiver.Fatals.size(), 1u);
      EXPECT_NE(receiver.Fatals[0].find(c.error), std::string::npos) << receiver.Fatals[0];
      EXPECT_FALSE(usb->GetActive());
      continue;
    }
    EXPECT_EQ(usb->SelectedDevice()->Pipes(c.in)->CanOpen(), true);
    pair->SetUsbDevice(usb.get());
    pair->SetPipeIn(c.in);
    pair->SetPipeOut(c.out);
    pair->SetActive(true);
    char text[] = "hi";
    EXPECT_EQ(pair->SendBuffer(text, 2), 2u);
    EXPECT_TRUE(WaitUntil([&] { return receiver.Data() == "hi"; })) << receiver.Data();
    pair->SetActive(false);
    usb->SetActive(false);
  }
  EXPECT_EQ(Machine().usbIo().openInterfaces(), 0u) << "every associated interface was freed";
}

TEST_F(CompositeTest, ArrivesParentFirstThenFunctionsAndKeepsItsPosition) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->LoadDevices();
  usb->SetDeviceIndex(1);
  // What each device change left selected.
  std::vector<std::string> seen;
  DeviceChanges changes(*usb, [&] {
    TpxUsbDevice* device = usb->SelectedDevice();
    seen.push_back(Format("%u %x %s", {usb->DeviceCount(), device ? device->IdProduct : 0u,
                                       device && device->Pipes(1)->CanOpen() ? "open" : "-"}));
  });
  sim::HotPlug plug(Machine(), Bus());
  ASSERT_TRUE(plug.unplug({0, {2}}));
  ASSERT_TRUE(plug.plug({0, {2}}));
  // Gone: the next device moves up. Back: listed at once, openable once its function
  // is, however often each stage is told.
  seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"3 203 open", "4 202 -", "4 202 open"}));
  usb->SetPipes(0, 1);
  usb->SetActive(true);
  EXPECT_TRUE(usb->GetActive());
  usb->SetActive(false);
}

}  // namespace
}  // namespace pxtest
