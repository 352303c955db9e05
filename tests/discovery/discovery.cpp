#include "discovery/discovery.h"

namespace pxtest {

namespace {

sim::DevNode& Node(sim::DevNode& parent, sim::DeviceTree& tree, const std::string& id,
                   const GUID& cls, const std::string& driverKey, const std::string& service,
                   const std::string& description) {
  sim::DevNode& node = tree.add(parent, id);
  node.classGuid = cls;
  node.driverKey = driverKey;
  node.service = service;
  node.description = description;
  node.manufacturer = "Standard USB Host Controller";
  node.pdoName = "\\Device\\" + std::to_string(node.devInst);
  return node;
}

}  // namespace

UsbMachine::UsbMachine(sim::DeviceTree& tree) {
  controller = &Node(tree.root(), tree, "PCI\\VEN_8086&DEV_1E31&SUBSYS_1E311043\\3&11583659&0&A0",
                     kUsbClass, "{36fc9e60-c465-11cf-8056-444553540000}\\0000", "usbxhci",
                     "Intel(R) USB 3.0 eXtensible Host Controller");
  hub = &Node(*controller, tree, "USB\\ROOT_HUB30\\4&2851d4b1&0", kUsbClass,
              "{36fc9e60-c465-11cf-8056-444553540000}\\0001", "USBHUB3", "USB Root Hub (USB 3.0)");
  const char* ids[] = {"USB\\VID_1234&PID_0001\\SN0001", "USB\\VID_1234&PID_0002\\SN0002",
                       "USB\\VID_1234&PID_0003\\SN0003"};
  for (int i = 0; i < 3; ++i) {
    std::string n = std::to_string(i + 2);
    sim::DevNode& device =
        Node(*hub, tree, ids[i], kUsbClass, "{36fc9e60-c465-11cf-8056-444553540000}\\000" + n,
             "WinUSB", "Test device " + n);
    device.interfaces.push_back(
        {kUsbDeviceInterface, "\\\\?\\usb#vid_1234&pid_000" + std::to_string(i + 1) + "#sn000" +
                                  std::to_string(i + 1) +
                                  "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"});
    devices.push_back(&device);
  }
  tree.setHardwareString(*devices[0], "SymbolicName", devices[0]->interfaces[0].path);
  tree.setHardwareString(*devices[0], "PortName", "COM7");
  port = &Node(tree.root(), tree, "ACPI\\PNP0501\\1", kPortsClass,
               "{4d36e978-e325-11ce-bfc1-08002be10318}\\0000", "Serial", "Communications Port");
}

}  // namespace pxtest
