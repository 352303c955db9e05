// A machine's hot-plug timeline as a program meets it: the device goes from under an
// open pipe pair, comes back, and talks again.
#include <nlohmann/json.hpp>

#include "components.h"

namespace pxtest {
namespace {

class TimelineTest : public ComponentTest {};

TEST_F(TimelineTest, TheDeviceLeavesUnderAReadingPipePairAndComesBackTwice) {
  auto machine = nlohmann::json::parse(SampleMachine());
  const nlohmann::json port1 = {{"controller", 0}, {"ports", {1}}};
  machine["timeline"] = {{{"at", 0}, {"unplug", port1}, {"every", 800}, {"times", 2}},
                         {{"at", 400}, {"plug", port1}, {"every", 800}, {"times", 2}}};
  Load(machine.dump());
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  TOwned<TpxUSBPipePair> pair = MakeComponent<TpxUSBPipePair>(nullptr);
  Receiver receiver;
  pair->OnAfterReceive = TOnReceived::Of<&Receiver::Received>(&receiver);
  usb->LoadDevices();
  OpenPair(*usb, *pair, 0);
  DeviceChanges changes(*usb);
  std::string path = ToWin32DevicePath(usb->SelectedDevice()->DevicePath);
  std::shared_ptr<sim::UsbDevice> device = Machine().usbIo().device(path);
  ASSERT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 1; }));  // the pair reads
  Timeline().start();

  // Gone: the next device moves into the position, the pending read has ended and
  // writes fail; the user closes.
  ASSERT_TRUE(PumpUntil([&] { return usb->DeviceCount() == 3; }));
  EXPECT_EQ(usb->SelectedDevice()->Name, "pxecho");
  EXPECT_FALSE(device->plugged());
  EXPECT_EQ(device->pendingTransfers(), 0u);
  EXPECT_EQ(Machine().usbIo().device(path), nullptr);
  char x = 'x';
  EXPECT_EQ(pair->SendBuffer(&x, 1), 0u);
  pair->SetActive(false);
  usb->SetActive(false);

  // Back, on the same path, answering as before, once its driver has started (it is
  // listed before, without one).
  ASSERT_TRUE(PumpUntil([&] { return usb->DeviceCount() == 4 && usb->SelectedDevice()->Name == "echo"; }));
  OpenPair(*usb, *pair, 0);
  char b = 'b';
  EXPECT_EQ(pair->SendBuffer(&b, 1), 1u);
  EXPECT_TRUE(WaitUntil([&] { return receiver.Data() == "b"; })) << receiver.Data();

  // The second round, then the timeline is over.
  ASSERT_TRUE(PumpUntil([&] { return usb->DeviceCount() == 3; }));
  ASSERT_TRUE(PumpUntil([&] { return usb->DeviceCount() == 4; }));
  EXPECT_TRUE(PumpUntil([&] { return Timeline().played() == 4; }));
  pair->SetActive(false);
  usb->SetActive(false);
}

}  // namespace
}  // namespace pxtest
