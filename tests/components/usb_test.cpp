// TpxUSB: the device list from the tree walk, filters, selection, binding choice,
// opening and closing with the three failure reports.
#include "components.h"

#include "lib/pxusb_sysusb_api.h"
#include "lib/pxusb_winusb_api.h"
#include "platform/sim/hotplug.h"

namespace pxtest {
namespace {

struct NotifyCounter {
  void Notified(TpxBaseIO*, std::int32_t code) { codes.push_back(code); }
  TpxNotifyHandler Handler() { return TpxNotifyHandler::Of<&NotifyCounter::Notified>(this); }
  std::vector<std::int32_t> codes;
};

std::vector<std::string> ListedNames(TpxUSB& usb) {
  std::vector<std::string> names;
  for (int i = 0; i < usb.DeviceCount(); ++i) names.push_back(usb.Devices(i)->Name);
  return names;
}

using UsbTest = ComponentTest;

TEST_F(UsbTest, ListsDevicesInPortOrderDescendingIntoHubsAndLogsEachEntry) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  auto log = MakeComponent<TComponentLog>(nullptr);
  usb->SetLog(log.get());
  EXPECT_EQ(usb->DeviceCount(), 0);
  EXPECT_EQ(usb->GetDeviceIndex(), -1);

  usb->GetDevices(nullptr);  // an empty list is loaded on first need
  EXPECT_EQ(ListedNames(*usb), (std::vector<std::string>{"echo", "pxecho", "mouse", "stick"}));
  for (int i = 0; i < usb->DeviceCount(); ++i) {
    EXPECT_EQ(usb->Devices(i)->Index, i);
    EXPECT_EQ(usb->Devices(i)->Owner, usb.get());
    EXPECT_EQ(dynamic_cast<TpxUsbHub*>(usb->Devices(i)), nullptr);
  }
  std::vector<std::string> lines;
  for (const std::string& line : log->Lines()) {
    if (line.compare(0, 8, "2:TpxUSB") == 0) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "2:TpxUSBLoad device list ...");
  EXPECT_EQ(lines[1], "2:TpxUSBAdd device into list: echo|" + usb->Devices(0)->InstanceId);
  EXPECT_EQ(USBManager().Log, log.get());

  // Entries are the tree's: clearing the list frees nothing, destroying the log
  // unlinks it from the manager too.
  usb->ClearDevices();
  EXPECT_EQ(USBManager().Hosts(0)->Hubs(0)->Ports(0)->Children(0)->Name, "echo");
  log.reset();
  EXPECT_EQ(usb->Log(), nullptr);
  EXPECT_EQ(USBManager().Log, nullptr);
}

TEST_F(UsbTest, FiltersRebuildFromTheLoadedTreeWithoutTouchingTheSelection) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  auto log = MakeComponent<TComponentLog>(nullptr);
  usb->GetDevices(nullptr);
  usb->SetDeviceIndex(3);
  TpxUsbDevice* stick = usb->SelectedDevice();
  NotifyCounter counter;
  usb->AddNotify(counter.Handler());
  usb->SetLog(log.get());

  usb->SetIdVendor(0x2F1A);
  EXPECT_EQ(ListedNames(*usb), (std::vector<std::string>{"echo", "pxecho"}));
  usb->SetIdProduct(0x0102);
  EXPECT_EQ(ListedNames(*usb), (std::vector<std::string>{"pxecho"}));
  EXPECT_EQ(log->Count("2:TpxUSBLoad"), 0) << "the tree is not walked again";
  int added = log->Count("2:TpxUSBAdd device");
  usb->SetIdProduct(0x0102);
  EXPECT_EQ(log->Count("2:TpxUSBAdd device"), added) << "an unchanged filter rebuilds nothing";
  EXPECT_EQ(usb->GetDeviceIndex(), 3);
  EXPECT_EQ(usb->SelectedDevice(), stick);
  EXPECT_TRUE(counter.codes.empty());

  // The 16-bit identifier never matches a filter above 65535.
  usb->SetIdProduct(0x10102);
  EXPECT_EQ(usb->DeviceCount(), 0);
  usb->SetIdProduct(0);
  usb->SetIdVendor(0);
  EXPECT_EQ(usb->DeviceCount(), 4);
}

TEST_F(UsbTest, OutOfRangeIndexSelectsNothingKeepsTheIndexAndTellsNobody) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->GetDevices(nullptr);
  NotifyCounter counter;
  usb->AddNotify(counter.Handler());

  usb->SetDeviceIndex(1);
  EXPECT_EQ(usb->GetDeviceIndex(), 1);
  ASSERT_NE(usb->SelectedDevice(), nullptr);
  EXPECT_EQ(usb->SelectedDevice()->Name, "pxecho");
  EXPECT_EQ(counter.codes, (std::vector<std::int32_t>{3}));

  for (int index : {usb->DeviceCount(), -1}) {
    usb->SetDeviceIndex(index);
    EXPECT_EQ(usb->SelectedDevice(), nullptr);
    EXPECT_EQ(usb->GetDeviceIndex(), 1);
  }
  EXPECT_EQ(counter.codes.size(), 1u);

  // A reload selects the same position again and tells twice.
  usb->SetDeviceIndex(2);
  counter.codes.clear();
  usb->DevicesChanged();
  EXPECT_EQ(usb->SelectedDevice()->Name, "mouse");
  EXPECT_EQ(counter.codes, (std::vector<std::int32_t>{3, 3}));
}

TEST_F(UsbTest, OpensByServiceWithTheMatchingBindingAndClosesAgain) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->GetDevices(nullptr);
  int opened = 0;
  int closed = 0;
  struct Counter {
    int* n;
    void Count(TObject*) { ++*n; }
  } onOpen{&opened}, onClose{&closed};
  usb->OnAfterOpen = TNotifyEvent::Of<&Counter::Count>(&onOpen);
  usb->OnAfterClose = TNotifyEvent::Of<&Counter::Count>(&onClose);

  usb->SetDeviceIndex(0);  // "WinUSB"
  usb->SetActive(true);
  EXPECT_TRUE(usb->GetActive());
  EXPECT_NE(dynamic_cast<TpxWinUsbApi*>(usb->UsbApi()), nullptr);
  EXPECT_NE(usb->Handle(), -1);
  EXPECT_EQ(Machine().usbIo().openInterfaces(), 1u);

  // Another selection while open changes nothing until the next open.
  usb->SetDeviceIndex(1);  // "PXUSB"
  EXPECT_NE(dynamic_cast<TpxWinUsbApi*>(usb->UsbApi()), nullptr);
  usb->Open();  // reopens: the old device is closed first
  EXPECT_NE(dynamic_cast<TpxSysUsbApi*>(usb->UsbApi()), nullptr);
  EXPECT_EQ(Machine().usbIo().openInterfaces(), 0u);
  EXPECT_EQ(opened, 2);
  EXPECT_EQ(closed, 1);

  usb->SetActive(false);
  EXPECT_FALSE(usb->GetActive());
  EXPECT_EQ(usb->UsbApi(), nullptr);
  EXPECT_EQ(usb->Handle(), -1);
  EXPECT_EQ(closed, 2);
}

TEST_F(UsbTest, FailedOpensReportCodeEightWithTheirTextsAndCanBeRetried) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  auto log = MakeComponent<TComponentLog>(nullptr);
  usb->SetLog(log.get());
  usb->GetDevices(nullptr);

  // Nothing selected.
  try {
    usb->SetActive(true);
    ADD_FAILURE() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message, "Device is not selected");
  }
  EXPECT_EQ(log->Count("0:Fatal Error: 8, 1, Device is not selected"), 1);

  // A driver without a binding: the hint, and no access object.
  Receiver receiver;
  receiver.RaiseFatal = false;
  usb->OnFatalError = TOnFatalErrorEvent::Of<&Receiver::Fatal>(&receiver);
  usb->SetDeviceIndex(3);  // "USBSTOR"
  usb->SetActive(true);
  ASSERT_EQ(receiver.Fatals.size(), 1u);
  EXPECT_NE(receiver.Fatals[0].find(", USB device open fails. Driver is unknown. You need install PxUsb or "
                                    "WinUsb driver on target device."),
            std::string::npos);
  EXPECT_EQ(receiver.Fatals[0].compare(0, 3, "8, "), 0);
  EXPECT_EQ(usb->UsbApi(), nullptr);
  EXPECT_FALSE(usb->GetActive());
  EXPECT_EQ(log->Count("0:Fatal Error: 8, "), 2) << "the log line is written although nothing is raised";

  // A bound driver whose device file is missing: the plain text and the last error;
  // the failed access object stays until the next try, which makes a fresh one.
  usb->SetDeviceIndex(0);
  Machine().usbIo().detach(ToWin32DevicePath(usb->SelectedDevice()->DevicePath));
  win::SetLastError(0);
  usb->SetActive(true);
  ASSERT_EQ(receiver.Fatals.size(), 2u);
  EXPECT_EQ(receiver.Fatals[1], Format("8, %u, USB device open fails.", {static_cast<DWORD>(ERROR_FILE_NOT_FOUND)}));
  std::weak_ptr<TpxCustomUsbApi> failed = usb->SharedUsbApi();
  ASSERT_FALSE(failed.expired());
  EXPECT_FALSE(usb->UsbApi()->IsDeviceOpen());

  Attach(usb->SelectedDevice(), std::make_shared<sim::EchoModel>(0x81));
  usb->SetActive(true);
  EXPECT_TRUE(usb->GetActive());
  EXPECT_TRUE(failed.expired());
  EXPECT_EQ(receiver.Fatals.size(), 2u);
}

TEST_F(UsbTest, DevicePathsAreTurnedIntoWin32PathsOnlyFromTheNtPrefix) {
  EXPECT_EQ(ToWin32DevicePath("\\??\\USB#VID_2F1A&PID_0101#1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
            "\\\\.\\USB#VID_2F1A&PID_0101#1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  EXPECT_EQ(ToWin32DevicePath("\\??"), "\\\\.");
  EXPECT_EQ(ToWin32DevicePath("\\\\?\\usb#x"), "\\\\?\\usb#x");
  EXPECT_EQ(ToWin32DevicePath("x\\??\\y"), "x\\??\\y");
  EXPECT_EQ(ToWin32DevicePath(""), "");

  // A path without the prefix is opened as it stands.
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->GetDevices(nullptr);
  usb->SetDeviceIndex(0);
  TpxUsbDevice* node = usb->SelectedDevice();
  node->DevicePath = "\\\\.\\elsewhere";
  Machine().usbIo().attach(node->DevicePath, "WinUSB", {{0x81}, {0x02}}, std::make_shared<sim::SilentModel>());
  usb->SetActive(true);
  EXPECT_TRUE(usb->GetActive());
}

TEST_F(UsbTest, DestroyingAnOpenComponentClosesTheDevice) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->GetDevices(nullptr);
  usb->SetDeviceIndex(0);
  usb->SetActive(true);
  std::weak_ptr<TpxCustomUsbApi> api = usb->SharedUsbApi();
  ASSERT_EQ(Machine().usbIo().openInterfaces(), 1u);
  usb.reset();
  EXPECT_EQ(Machine().usbIo().openInterfaces(), 0u);
  EXPECT_TRUE(api.expired());
}

// The non-hub nodes of the shared manager's current tree, in port order.
void CollectDevices(TpxUsbHub* hub, std::vector<TpxDevice*>& nodes) {
  for (int p = 0; p < hub->PortCount(); ++p) {
    for (int c = 0; c < hub->Ports(p)->ChildCount(); ++c) {
      TpxUsbDevice* node = hub->Ports(p)->Children(c);
      if (auto* child = dynamic_cast<TpxUsbHub*>(node)) {
        CollectDevices(child, nodes);
      } else {
        nodes.push_back(node);
      }
    }
  }
}

std::vector<TpxDevice*> TreeDevices() {
  std::vector<TpxDevice*> nodes;
  for (int h = 0; h < USBManager().HostCount(); ++h) {
    for (int i = 0; i < USBManager().Hosts(h)->HubCount(); ++i) CollectDevices(USBManager().Hosts(h)->Hubs(i), nodes);
  }
  return nodes;
}

TEST_F(UsbTest, WhenTheMachineGoesItsTreeGoesAndTheNextMachineIsListedAfresh) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->GetDevices(nullptr);
  usb->SetDeviceIndex(0);

  // The old machine takes its tree along; the component keeps nothing of it.
  Load(R"({"controllers": [{"number": 0, "rootHub": {"ports": 1, "attach": {
    "1": {"vid": "0x2F1A", "pid": "0x0103", "description": "other", "service": "WinUSB"}}}}]})");
  EXPECT_EQ(USBManager().HostCount(), 0);
  EXPECT_EQ(usb->DeviceCount(), 0);
  EXPECT_EQ(usb->SelectedDevice(), nullptr);

  usb->DevicesChanged();
  EXPECT_EQ(ListedNames(*usb), (std::vector<std::string>{"other"}));
  EXPECT_EQ(usb->SelectedDevice(), TreeDevices().at(0));
}

// Two or three components (each with its device box) list nodes of the one shared
// tree: whichever reloads, every list, box and selection follows into the new tree.
class SharedTreeTest : public ComponentTest, public ::testing::WithParamInterface<int> {};

TEST_P(SharedTreeTest, EveryComponentFollowsTheTreeThatAnyOfThemReloads) {
  const int count = GetParam();
  TOwned<TForm> form = MakeComponent<TForm>(nullptr);
  std::vector<TOwned<TpxUSB>> usbs;
  std::vector<TpxDeviceBox*> boxes;
  std::vector<NotifyCounter> counters(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    usbs.push_back(MakeComponent<TpxUSB>(nullptr));
    boxes.push_back(new TpxDeviceBox(form.get()));
    boxes[i]->SetParent(form.get());
    boxes[i]->SetpxLink(usbs[i].get());  // each link loads its component's list
    usbs[i]->AddNotify(counters[i].Handler());
  }
  // Every list, box entry and selection names a node of the current tree.
  auto expectCurrent = [&](const std::vector<std::string>& names, int starter) {
    const std::vector<TpxDevice*> tree = TreeDevices();
    for (int i = 0; i < count; ++i) {
      SCOPED_TRACE("component " + std::to_string(i));
      ASSERT_EQ(ListedNames(*usbs[i]), names);
      for (int j = 0; j < usbs[i]->DeviceCount(); ++j) EXPECT_EQ(usbs[i]->Devices(j), tree[j]);
      // A plain load selects nothing and tells nobody, its box included.
      if (i == starter) continue;
      ASSERT_EQ(boxes[i]->Items().Count(), usbs[i]->DeviceCount());
      for (int j = 0; j < usbs[i]->DeviceCount(); ++j) EXPECT_EQ(boxes[i]->Items().Objects(j), tree[j]);
      TpxDevice* selected = i < usbs[i]->DeviceCount() ? tree[i] : nullptr;
      EXPECT_EQ(usbs[i]->SelectedDevice(), selected);
      EXPECT_EQ(boxes[i]->ItemIndex(), selected ? i : -1);
    }
  };
  for (int i = 0; i < count; ++i) usbs[i]->SetDeviceIndex(i);
  for (int starter = 0; starter < count; ++starter) {
    SCOPED_TRACE("loaded by " + std::to_string(starter));
    for (NotifyCounter& counter : counters) counter.codes.clear();
    usbs[starter]->LoadDevices();
    expectCurrent({"echo", "pxecho", "mouse", "stick"}, starter);
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(counters[i].codes, (i == starter ? std::vector<std::int32_t>{} : std::vector<std::int32_t>{3, 3}));
    }
    usbs[starter]->SetDeviceIndex(starter);
  }

  // A device goes; the broadcast that one box hands on reloads every component.
  sim::HotPlug plug(Machine(), Bus());
  ASSERT_TRUE(plug.unplug({0, {1}}));
  TMessage message{WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, 0};
  EXPECT_TRUE(boxes[count - 1]->DeviceChange(message));
  expectCurrent({"pxecho", "mouse", "stick"}, -1);
}

INSTANTIATE_TEST_SUITE_P(Components, SharedTreeTest, ::testing::Values(2, 3));

// A device listed while it arrives (on the hub only, or its devnode without a driver)
// cannot open yet; once it has started it opens, even when the broadcast that said so
// reached no window.
class HalfArrivedTest : public ComponentTest, public ::testing::WithParamInterface<sim::HotPlug::Stage> {};
INSTANTIATE_TEST_SUITE_P(Stages, HalfArrivedTest,
                         ::testing::Values(sim::HotPlug::Stage::kConnected, sim::HotPlug::Stage::kDevnode));

TEST_P(HalfArrivedTest, OpensOnceStartedWithoutAnotherBroadcast) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  Receiver receiver;
  receiver.RaiseFatal = false;
  usb->OnFatalError = TOnFatalErrorEvent::Of<&Receiver::Fatal>(&receiver);
  sim::HotPlug plug(Machine(), Bus());
  ASSERT_TRUE(plug.unplug({0, {1}}));
  ASSERT_TRUE(plug.plug({0, {1}}, nullptr, GetParam()));
  usb->LoadDevices();
  usb->SetDeviceIndex(0);
  ASSERT_EQ(usb->DeviceCount(), 4);
  EXPECT_EQ(usb->SelectedDevice()->Name, "unknown device");
  usb->SetActive(true);
  EXPECT_FALSE(usb->GetActive());
  EXPECT_EQ(receiver.Fatals.size(), 1u);

  ASSERT_TRUE(plug.plug({0, {1}}));
  usb->SetActive(true);
  EXPECT_TRUE(usb->GetActive());
  EXPECT_EQ(usb->SelectedDevice()->Name, "echo");
  usb->SetActive(false);
}

}  // namespace
}  // namespace pxtest
