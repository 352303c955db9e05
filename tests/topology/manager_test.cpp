// The manager's tree of the built-in machine and of machines described for a case.
#include "topology/topology.h"

namespace {

using pxtest::OneHub;

const char kUsbClassKey[] = "{36FC9E60-C465-11CF-8056-444553540000}";

class ManagerTest : public pxtest::TopologyTest {};

TEST_F(ManagerTest, DemoMachineGivesTheWholeTree) {
  pxtest::RecordingLog log;
  manager.Log = &log;
  Load(sim::builtinMachine("demo"));

  ASSERT_EQ(manager.HostCount(), 1);
  TpxUsbHost* host = manager.Hosts(0);
  EXPECT_EQ(host->DevicePath, "\\\\.\\HCD0");
  EXPECT_EQ(host->KeyName, std::string(kUsbClassKey) + "\\0000");
  EXPECT_EQ(host->Description, "Standard Enhanced PCI to USB Host Controller");
  EXPECT_EQ(host->Name, host->Description);
  EXPECT_EQ(host->Manager, &manager);

  ASSERT_EQ(host->HubCount(), 1);
  TpxUsbHub* root = host->Hubs(0);
  const std::string rootName = root->Name.substr(std::string("USB Hub:").size());
  EXPECT_EQ(root->Name.rfind("USB Hub:USB#ROOT_HUB20#4&", 0), 0u) << root->Name;
  EXPECT_EQ(root->DevicePath, "\\\\.\\" + rootName);
  EXPECT_EQ(root->Description, "Root Hub");
  EXPECT_EQ(root->Host, host);
  EXPECT_EQ(root->ParentPort, nullptr);
  ASSERT_EQ(root->PortCount(), 5);

  // Port 1: the echo device on WinUSB.
  TpxUsbPort* port1 = root->Ports(0);
  EXPECT_EQ(port1->Name, "Port[1]");
  EXPECT_EQ(port1->Description, "Port #1 (device:  NW Loopback Probe)");
  EXPECT_EQ(port1->PortNumber, 1);
  EXPECT_EQ(port1->Hub, root);
  EXPECT_EQ(port1->KeyName.rfind(kUsbClassKey, 0), 0u);
  EXPECT_EQ(port1->DevicePath, root->DevicePath + "\\" + port1->KeyName);
  ASSERT_EQ(port1->ChildCount(), 1);
  TpxUsbDevice* echo = port1->Children(0);
  EXPECT_EQ(dynamic_cast<TpxUsbHub*>(echo), nullptr);
  EXPECT_EQ(echo->Name, "NW Loopback Probe");
  EXPECT_EQ(echo->Description, "NW Loopback Probe");
  EXPECT_EQ(echo->Port, port1);
  EXPECT_EQ(echo->Service, "WinUSB");
  EXPECT_EQ(echo->InstanceId, "USB\\VID_2F1A&PID_0101\\NW0101A7734");
  EXPECT_EQ(echo->KeyName, "SYSTEM\\ControlSet001\\Enum\\USB\\VID_2F1A&PID_0101\\NW0101A7734\\Device Parameters");
  EXPECT_EQ(echo->DevicePath, "\\??\\USB#VID_2F1A&PID_0101#NW0101A7734#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  EXPECT_EQ(echo->Manufacturer, "Northwind Instruments");
  EXPECT_NE(echo->DevInst, 0u);
  EXPECT_EQ(echo->ClassGuid.Data1, 0x36FC9E60u);
  EXPECT_EQ(echo->IdVendor, 0x2F1A);
  EXPECT_EQ(echo->IdProduct, 0x0101);
  EXPECT_EQ(echo->UsbVersionMajor, 2);
  EXPECT_EQ(echo->UsbVersionLow, 0);
  EXPECT_EQ(echo->Speed, UsbHighSpeed);
  EXPECT_EQ(echo->MaxPacketSize0, 64);
  EXPECT_EQ(echo->Volumes, "");
  ASSERT_TRUE(echo->ConfigDescriptor);
  EXPECT_EQ(echo->ConfigDescriptor->Returned, 12u + 9);
  EXPECT_EQ(echo->Strings.Count(), 0);  // RequestDescriptors is off

  ASSERT_EQ(echo->PipeCount(), 2);
  TpxUsbPipe* in = echo->Pipes(0);
  TpxUsbPipe* out = echo->Pipes(1);
  EXPECT_EQ(in->Name, "Pipe [1]");
  EXPECT_EQ(in->Description, "Pipe [1] (IN endpoint)");
  EXPECT_EQ(in->DevicePath, port1->DevicePath + "\\PIPE00");
  EXPECT_EQ(in->Index, 0);
  EXPECT_EQ(in->EndpointAddress(), 0x81);
  EXPECT_TRUE(in->IsIn());
  EXPECT_FALSE(in->IsOut());
  EXPECT_EQ(in->Device, echo);
  EXPECT_EQ(in->Endpoint->EndpointDescriptor.bmAttributes, USB_ENDPOINT_TYPE_BULK);
  EXPECT_EQ(+in->Endpoint->EndpointDescriptor.wMaxPacketSize, 512);  // packed: no reference
  EXPECT_EQ(out->Description, "Pipe [2] (OUT endpoint)");
  EXPECT_EQ(out->DevicePath, port1->DevicePath + "\\PIPE01");
  EXPECT_EQ(out->Index, 1);
  EXPECT_EQ(out->EndpointAddress(), 0x02);
  EXPECT_TRUE(out->IsOut());
  EXPECT_FALSE(out->IsIn());
  EXPECT_EQ(echo->Pipes(-1), nullptr);
  EXPECT_EQ(echo->Pipes(2), nullptr);

  // Port 2: an external hub, its port 1 a low-speed HID device.
  TpxUsbPort* port2 = root->Ports(1);
  EXPECT_EQ(port2->Description, "Port #2 (hub:  Generic USB Hub)");
  auto* external = dynamic_cast<TpxUsbHub*>(port2->Children(0));
  ASSERT_NE(external, nullptr);
  EXPECT_EQ(port2->KeyName.rfind("USB#VID_3A21&PID_2514#", 0), 0u) << port2->KeyName;
  EXPECT_EQ(external->DevicePath, "\\\\.\\" + port2->KeyName);
  EXPECT_EQ(external->Name, "Generic USB Hub");
  EXPECT_EQ(external->Host, host);
  EXPECT_EQ(external->ParentPort, port2);
  EXPECT_EQ(external->Port, nullptr);
  EXPECT_EQ(external->PipeCount(), 0);
  ASSERT_EQ(external->PortCount(), 4);
  TpxUsbDevice* mouse = At(external, 1);
  ASSERT_NE(mouse, nullptr);
  EXPECT_EQ(external->Ports(0)->Description, "Port #1 (device:  USB Input Device)");
  EXPECT_EQ(external->Ports(0)->DevicePath, external->DevicePath + "\\" + external->Ports(0)->KeyName);
  EXPECT_EQ(mouse->Service, "HidUsb");
  EXPECT_EQ(mouse->Speed, UsbLowSpeed);
  EXPECT_EQ(mouse->UsbVersionMajor, 1);
  EXPECT_EQ(mouse->UsbVersionLow, 0);
  EXPECT_EQ(mouse->MaxPacketSize0, 8);
  ASSERT_EQ(mouse->PipeCount(), 1);
  EXPECT_EQ(mouse->Pipes(0)->Description, "Pipe [1] (IN endpoint)");
  EXPECT_EQ(mouse->Pipes(0)->Endpoint->EndpointDescriptor.bmAttributes, USB_ENDPOINT_TYPE_INTERRUPT);
  for (int i = 2; i <= 4; ++i) {
    EXPECT_EQ(external->Ports(i - 1)->Description, "Port #" + std::to_string(i) + " (free)");
    EXPECT_EQ(external->Ports(i - 1)->ChildCount(), 0);
  }

  // Port 3: the device on the library's own driver.
  TpxUsbDevice* logger = At(root, 3);
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(root->Ports(2)->Description, "Port #3 (device:  NW Data Logger DL-8)");
  EXPECT_EQ(logger->Service, "pxusb");
  ASSERT_EQ(logger->PipeCount(), 2);
  EXPECT_EQ(logger->Pipes(0)->EndpointAddress(), 0x82);
  EXPECT_TRUE(logger->Pipes(0)->IsIn());
  EXPECT_EQ(logger->Pipes(1)->EndpointAddress(), 0x01);
  EXPECT_TRUE(logger->Pipes(1)->IsOut());

  // Port 4: the stick, with its volume.
  TpxUsbDevice* stick = At(root, 4);
  ASSERT_NE(stick, nullptr);
  EXPECT_EQ(root->Ports(3)->Description, "Port #4 (device:  USB Mass Storage Device)");
  EXPECT_EQ(stick->Service, "USBSTOR");
  EXPECT_EQ(stick->Relations, "USBSTOR\\Disk&Ven_Halvorsen&Prod_FlashStick&Rev_1.00\\HM2019X00471&0");
  EXPECT_EQ(stick->Volumes, "E: ");

  // Port 5: a composite device, a serial function of two interfaces and a WinUSB one.
  TpxUsbDevice* bridge = At(root, 5);
  ASSERT_NE(bridge, nullptr);
  EXPECT_TRUE(bridge->IsComposite());
  ASSERT_EQ(bridge->FunctionCount(), 2);
  EXPECT_EQ(bridge->Functions(0)->Service, "usbser");
  EXPECT_EQ(bridge->Functions(0)->InterfaceCount, 2);
  EXPECT_EQ(bridge->Functions(1)->FirstInterface, 2);
  EXPECT_EQ(bridge->Functions(1)->DevicePath.rfind("\\??\\USB#VID_2F1A&PID_0103&MI_02#", 0), 0u);
  ASSERT_EQ(bridge->PipeCount(), 5);
  EXPECT_EQ(bridge->Pipes(2)->Description, "Pipe [3] (OUT endpoint) - cannot be opened: interface 1, usbser");
  EXPECT_EQ(bridge->Pipes(3)->Description, "Pipe [4] (IN endpoint) - interface 2, WinUSB");
  EXPECT_EQ(bridge->Pipes(4)->Function, bridge->Functions(1));

  // The drive table and its one log line.
  ASSERT_EQ(manager.Disks.Count(), 3);
  EXPECT_EQ(manager.Disks.Strings(0), "signature1b7c9e23offset100000");
  EXPECT_EQ(manager.Disks.Strings(1), "D");
  EXPECT_EQ(manager.Disks.Strings(2),
            "usbstor\\disk&ven_halvorsen&prod_flashstick&rev_1.00\\hm2019x00471&0\\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
  EXPECT_EQ(log.Lines, std::vector<std::string>{"0:EnumDisks GetDiVolums: C\r\nD\r\nE\r\n"});
  EXPECT_NE(manager.FindDeviceInfo(port1->KeyName), nullptr);
}

TEST_F(ManagerTest, RefreshRebuildsOneTreeAndClearReleasesIt) {
  Load(sim::builtinMachine("demo"));
  size_t buffers = Kernel().localAllocations();
  int records = manager.DeviceInfos.Count();
  EXPECT_GT(buffers, 0u);
  EXPECT_GT(records, 0);
  manager.Refresh();
  EXPECT_EQ(manager.HostCount(), 1);
  EXPECT_EQ(manager.DeviceInfos.Count(), records);
  EXPECT_EQ(manager.Disks.Count(), 3);
  EXPECT_EQ(Kernel().localAllocations(), buffers);
  EXPECT_EQ(Kernel().handleCount(), 0u) << "a controller or hub handle stayed open";
  manager.Clear();
  EXPECT_EQ(manager.HostCount(), 0);
  EXPECT_EQ(manager.Hosts(0), nullptr);
  EXPECT_EQ(manager.DeviceInfos.Count(), 0);
  EXPECT_EQ(manager.Disks.Count(), 0);
  EXPECT_EQ(Kernel().localAllocations(), 0u);

  // One shared manager; without a log it writes nothing and builds the same.
  EXPECT_EQ(&USBManager(), &USBManager());
  USBManager().Refresh();
  EXPECT_EQ(USBManager().HostCount(), 1);
  USBManager().Clear();  // the fixture counts the machine's buffers before it goes
}

TEST_F(ManagerTest, ControllersAreTriedByNumberWithoutStopping) {
  Load(R"({"controllers": [
    {"number": 12, "description": "Twelve", "rootHub": {"ports": 1}},
    {"number": 2, "description": "Two", "rootHub": {"ports": 2}},
    {"number": 0, "description": "Zero", "rootHub": {"ports": 0}},
    {"number": 15, "description": "Fifteen", "rootHub": {"ports": 1, "openError": 5}},
    {"number": 16, "description": "Out of range", "rootHub": {"ports": 1}}]})");
  ASSERT_EQ(manager.HostCount(), 4);
  EXPECT_EQ(manager.Hosts(0)->DevicePath, "\\\\.\\HCD0");
  EXPECT_EQ(manager.Hosts(0)->Name, "Zero");
  EXPECT_EQ(manager.Hosts(1)->DevicePath, "\\\\.\\HCD2");
  EXPECT_EQ(manager.Hosts(2)->DevicePath, "\\\\.\\HCD12");
  EXPECT_EQ(manager.Hosts(2)->Description, "Twelve");
  EXPECT_EQ(manager.Hosts(4), nullptr);
  EXPECT_EQ(manager.Hosts(-1), nullptr);
  // A hub of 0 ports has none; a root hub that cannot be opened leaves the host bare.
  ASSERT_EQ(manager.Hosts(0)->HubCount(), 1);
  EXPECT_EQ(manager.Hosts(0)->Hubs(0)->PortCount(), 0);
  EXPECT_EQ(manager.Hosts(0)->Hubs(0)->Ports(0), nullptr);
  EXPECT_EQ(manager.Hosts(1)->Hubs(0)->PortCount(), 2);
  EXPECT_EQ(manager.Hosts(3)->Name, "Fifteen");
  EXPECT_EQ(manager.Hosts(3)->HubCount(), 0);
  EXPECT_EQ(manager.Hosts(3)->Hubs(0), nullptr);

  // Failed name requests: the host stays, with empty texts and no hubs.
  Bus().addFault({IOCTL_GET_HCD_DRIVERKEY_NAME, sim::UsbFault::kFail, ERROR_GEN_FAILURE, 0});
  Bus().addFault({IOCTL_USB_GET_ROOT_HUB_NAME, sim::UsbFault::kFail, ERROR_GEN_FAILURE, 0, sim::UsbFault::kControllers});
  manager.Refresh();
  ASSERT_EQ(manager.HostCount(), 4);
  EXPECT_EQ(manager.Hosts(1)->KeyName, "");
  EXPECT_EQ(manager.Hosts(1)->Name, "");
  EXPECT_EQ(manager.Hosts(1)->HubCount(), 0);
}

TEST_F(ManagerTest, PortTextsForFreeAttachedFailedAndTwoDigitPorts) {
  Load(OneHub(12, R"(
    "3": {"vid": 1, "pid": 2, "service": "WinUSB", "description": "Widget"},
    "11": {"vid": 1, "pid": 3, "service": "WinUSB", "description": "Eleven"},
    "12": {"vid": 1, "pid": 4, "service": "WinUSB", "description": "Enumeration failed", "connectionStatus": 2})"));
  TpxUsbHub* root = RootHub();
  ASSERT_EQ(root->PortCount(), 12);
  EXPECT_EQ(root->Ports(0)->Description, "Port #1 (free)");
  EXPECT_EQ(root->Ports(0)->Name, "Port[1]");
  EXPECT_EQ(root->Ports(0)->KeyName, "");
  EXPECT_EQ(root->Ports(2)->Description, "Port #3 (device:  Widget)");
  EXPECT_EQ(root->Ports(9)->Description, "Port #10 (free)");
  EXPECT_EQ(root->Ports(10)->Name, "Port[11]");
  EXPECT_EQ(root->Ports(10)->Description, "Port #11 (device:  Eleven)");
  EXPECT_EQ(root->Ports(10)->PortNumber, 11);
  // Any status but "no device" counts as attached.
  EXPECT_EQ(root->Ports(11)->Description, "Port #12 (device:  Enumeration failed)");
  ASSERT_EQ(root->Ports(11)->ChildCount(), 1);
  EXPECT_EQ(root->Ports(11)->Children(0)->PipeCount(), 0);
  EXPECT_EQ(root->Ports(12), nullptr);
  EXPECT_EQ(root->Ports(2)->Children(1), nullptr);

  // Both connection requests fail for port 3 only: "Error", the name stays.
  Bus().addFault({IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, sim::UsbFault::kFail, ERROR_GEN_FAILURE, 3});
  Bus().addFault({IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, sim::UsbFault::kFail, ERROR_GEN_FAILURE, 1});
  manager.Refresh();
  root = RootHub();
  EXPECT_EQ(root->Ports(2)->Description, "Error");
  EXPECT_EQ(root->Ports(2)->Name, "Port[3]");
  EXPECT_EQ(root->Ports(2)->ChildCount(), 0);
  EXPECT_EQ(root->Ports(10)->Description, "Port #11 (device:  Eleven)");

  // The hub information request fails: no ports.
  Bus().clearFaults();
  Bus().addFault({IOCTL_USB_GET_NODE_INFORMATION, sim::UsbFault::kFail, ERROR_GEN_FAILURE, 0, sim::UsbFault::kHubs});
  manager.Refresh();
  EXPECT_EQ(RootHub()->PortCount(), 0);
}

TEST_F(ManagerTest, OlderConnectionRecordGivesTheSpeedCode) {
  Load(OneHub(3, R"(
    "1": {"vid": 1, "pid": 1, "bcdUSB": "0x0110", "speed": "low", "service": "HidUsb"},
    "2": {"vid": 1, "pid": 2, "bcdUSB": "0x0110", "speed": "full", "service": "WinUSB"},
    "3": {"vid": 1, "pid": 3, "bcdUSB": "0x0200", "speed": "high", "service": "WinUSB"})"));
  EXPECT_EQ(At(RootHub(), 1)->Speed, UsbLowSpeed);
  EXPECT_EQ(At(RootHub(), 2)->Speed, UsbFullSpeed);
  EXPECT_EQ(At(RootHub(), 3)->Speed, UsbHighSpeed);
  Bus().addFault({IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, sim::UsbFault::kFail, ERROR_INVALID_FUNCTION, 0});
  manager.Refresh();
  EXPECT_EQ(At(RootHub(), 1)->Speed, UsbLowSpeed);
  EXPECT_EQ(At(RootHub(), 2)->Speed, UsbFullSpeed);
  // From USB 2.0 on the byte stays as the older record has it: the LowSpeed flag.
  EXPECT_EQ(At(RootHub(), 3)->Speed, 0);
  EXPECT_EQ(At(RootHub(), 3)->PipeCount(), 0);
}

TEST_F(ManagerTest, HubChainsPointAtTheirHost) {
  Load(OneHub(1, R"("1": {"vid": 9, "pid": 1, "hub": {"ports": 2, "attach": {
      "2": {"vid": 9, "pid": 2, "description": "Inner hub", "hub": {"ports": 1, "attach": {
        "1": {"vid": 9, "pid": 3, "hub": {"ports": 1, "attach": {
          "1": {"vid": 9, "pid": 4, "service": "WinUSB", "description": "Deep device"}}}}}}}}}})"));
  TpxUsbHost* host = manager.Hosts(0);
  auto* first = dynamic_cast<TpxUsbHub*>(At(RootHub(), 1));
  ASSERT_NE(first, nullptr);
  auto* inner = dynamic_cast<TpxUsbHub*>(At(first, 2));
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->Name, "Inner hub");
  EXPECT_EQ(first->Ports(1)->Description, "Port #2 (hub:  Inner hub)");
  auto* third = dynamic_cast<TpxUsbHub*>(At(inner, 1));
  ASSERT_NE(third, nullptr);
  TpxUsbDevice* deep = At(third, 1);
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(deep->Name, "Deep device");
  for (TpxUsbHub* hub : {RootHub(), first, inner, third}) EXPECT_EQ(hub->Host, host);
  EXPECT_EQ(inner->ParentPort, first->Ports(1));
  EXPECT_EQ(deep->Port->Hub, third);

  // A hub below a port that cannot be opened: no node, "unknown device".
  Load(OneHub(1, R"("1": {"vid": 9, "pid": 1, "hub": {"ports": 2, "openError": 5}})"));
  EXPECT_EQ(RootHub()->Ports(0)->Description, "Port #1 (hub:  unknown device)");
  EXPECT_EQ(RootHub()->Ports(0)->ChildCount(), 0);
  EXPECT_EQ(RootHub()->Ports(0)->KeyName.rfind("USB#VID_0009&PID_0001#", 0), 0u);
}

TEST_F(ManagerTest, DevicesWithoutADriverAreNamedFromTheirStrings) {
  const std::string machine = OneHub(3, R"(
    "1": {"vid": 7, "pid": 1, "driver": false, "strings": ["Acme", "Widget", "SN 42"],
          "iManufacturer": 1, "iProduct": 2, "iSerialNumber": 3},
    "2": {"vid": 7, "pid": 2, "driver": false},
    "3": {"vid": 7, "pid": 3, "driver": false, "strings": {"1": "Maker", "2": "Gadget", "5": "S-5"},
          "iManufacturer": 2, "iSerialNumber": 5})");
  Load(machine);
  EXPECT_EQ(RootHub()->Ports(0)->Description, "Port #1 (device:  unknown device)");
  EXPECT_EQ(At(RootHub(), 1)->Name, "unknown device");
  EXPECT_EQ(At(RootHub(), 1)->Strings.Count(), 0);
  EXPECT_EQ(At(RootHub(), 1)->KeyName, "");
  EXPECT_EQ(RootHub()->Ports(0)->KeyName, "");

  manager.RequestDescriptors = true;
  manager.Refresh();
  TpxUsbDevice* widget = At(RootHub(), 1);
  EXPECT_EQ(RootHub()->Ports(0)->Description, "Port #1 (device:  Acme Widget SN 42)");
  EXPECT_EQ(widget->Name, "Acme Widget SN 42");
  EXPECT_EQ(widget->Description, "Acme Widget SN 42");
  EXPECT_EQ(widget->Manufacturer, "Acme");
  EXPECT_EQ(widget->SerialNumber, "SN 42");
  EXPECT_EQ(widget->Service, "");
  EXPECT_EQ(widget->DevicePath, "");
  EXPECT_EQ(At(RootHub(), 2)->Name, "unknown device");
  // The sweep stops at the first missing string; index 5 is read on its own.
  TpxUsbDevice* gadget = At(RootHub(), 3);
  ASSERT_EQ(gadget->Strings.Count(), 2);
  EXPECT_EQ(gadget->Name, "Maker Gadget");
  EXPECT_EQ(gadget->Manufacturer, "Gadget");
  EXPECT_EQ(gadget->SerialNumber, "S-5");
  manager.RequestDescriptors = false;
}

TEST_F(ManagerTest, RecordsAreFoundByDriverKeyInTheThirteenClassesOnly) {
  Load(OneHub(4, R"(
    "1": {"vid": 5, "pid": 1, "service": "WinUSB", "setupClass": "USBDevice", "description": "Modern WinUSB"},
    "2": {"vid": 5, "pid": 2, "service": "WinUSB", "setupClass": "usb", "driverKey": "", "description": "Keyless"},
    "3": {"vid": 5, "pid": 3, "service": "usbser", "setupClass": "Ports", "portName": "COM7", "description": "Serial"},
    "4": {"vid": 5, "pid": 4, "service": "WinUSB", "driverKey": "{36fc9e60-c465-11cf-8056-444553540000}\\0099",
          "description": "Lower-case key"})"));
  // Listed under its description, but no record: no service, no path.
  TpxUsbDevice* modern = At(RootHub(), 1);
  EXPECT_EQ(modern->Name, "Modern WinUSB");
  EXPECT_EQ(modern->Service, "");
  EXPECT_EQ(modern->DevicePath, "");
  // An empty driver key finds no record, though a record under "" exists.
  EXPECT_GE(manager.DeviceInfos.IndexOf(""), 0);
  EXPECT_EQ(At(RootHub(), 2)->Service, "");
  EXPECT_EQ(At(RootHub(), 2)->Name, "unknown device");
  EXPECT_EQ(At(RootHub(), 3)->Service, "usbser");
  // The record lookup ignores letter case.
  EXPECT_EQ(At(RootHub(), 4)->Service, "WinUSB");
  EXPECT_EQ(manager.FindDeviceInfo("{36FC9E60-C465-11CF-8056-444553540000}\\0099"),
            manager.FindDeviceInfo("{36fc9e60-c465-11cf-8056-444553540000}\\0099"));
  EXPECT_EQ(manager.FindDeviceInfo("no such key"), nullptr);
}

TEST_F(ManagerTest, HostileRepliesStayInsideTheBuffers) {
  const std::string machine = OneHub(2, R"(
    "1": {"vid": 3, "pid": 1, "service": "WinUSB", "description": "Two pipes", "strings": ["A", "B"],
          "endpoints": [{"address": "0x81"}, {"address": "0x02"}]},
    "2": {"vid": 3, "pid": 2, "hub": {"ports": 1}})");
  Load(machine);
  ASSERT_EQ(At(RootHub(), 1)->PipeCount(), 2);

  // A claimed pipe count beyond what came back, or beyond the buffer.
  Bus().addFault({IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, sim::UsbFault::kOpenPipes, 1000, 0});
  manager.Refresh();
  EXPECT_EQ(At(RootHub(), 1)->PipeCount(), 2);
  EXPECT_EQ(At(RootHub(), 2)->PipeCount(), 0);  // a hub node lists no pipes
  Bus().clearFaults();
  Bus().addFault({IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, sim::UsbFault::kShortReply, 40, 0});
  manager.Refresh();
  EXPECT_EQ(At(RootHub(), 1)->PipeCount(), 0);
  // Shorter than the fixed part: not an answer.
  Bus().clearFaults();
  Bus().addFault({IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, sim::UsbFault::kShortReply, 34, 0});
  Bus().addFault({IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, sim::UsbFault::kShortReply, 34, 0});
  manager.Refresh();
  EXPECT_EQ(RootHub()->Ports(0)->Description, "Error");
  Bus().clearFaults();
  Bus().addFault({IOCTL_USB_GET_NODE_INFORMATION, sim::UsbFault::kShortReply, 6, 0, sim::UsbFault::kHubs});
  manager.Refresh();
  EXPECT_EQ(RootHub()->PortCount(), 0);

  // Unterminated and oversized names, descriptors claiming more than they hold.
  Bus().clearFaults();
  Bus().addFault({IOCTL_USB_GET_NODE_CONNECTION_NAME, sim::UsbFault::kUnterminated, 0, 0});
  Bus().addFault({IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, sim::UsbFault::kActualLength, 0x10000000, 0});
  Bus().addFault({IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, sim::UsbFault::kDescriptorLength, 255, 0});
  manager.RequestDescriptors = true;
  manager.Refresh();
  EXPECT_EQ(RootHub()->Ports(0)->KeyName, "");
  EXPECT_EQ(At(RootHub(), 1)->Name, "A B");
  ASSERT_TRUE(At(RootHub(), 1)->ConfigDescriptor);
  EXPECT_EQ(At(RootHub(), 1)->ConfigDescriptor->Returned, 12u + 32);
  EXPECT_EQ(RootHub()->Ports(1)->KeyName, "XX");  // what fitted the probe, no more
  EXPECT_EQ(RootHub()->Ports(1)->Description, "Port #2 (hub:  unknown device)");
  manager.RequestDescriptors = false;
}

}  // namespace
