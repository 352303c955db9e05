#include "tools/describe.h"

#include <cstdio>
#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

namespace {

std::string Hex(unsigned value, int digits) {
  char text[12];
  std::snprintf(text, sizeof(text), "%0*X", digits, value);
  return text;
}

// "2.00" from 0x0200
std::string Bcd(unsigned value) { return Hex(value >> 8, 1) + "." + Hex(value & 0xFF, 2); }

std::string SpeedName(unsigned speed) {
  static const char* const names[] = {"low", "full", "high", "super"};
  return speed < 4 ? names[speed] : "unknown";
}

std::string PipeType(const TpxUsbPipe& pipe) {
  static const char* const names[] = {"control", "isochronous", "bulk", "interrupt"};
  return names[pipe.Endpoint->EndpointDescriptor.bmAttributes & 3];
}

// The device descriptor the hub reported for the device's port; null for a root hub.
const USB_DEVICE_DESCRIPTOR* Descriptor(const TpxUsbDevice& device) {
  const auto* hub = dynamic_cast<const TpxUsbHub*>(&device);
  const TpxUsbPort* port = hub ? hub->ParentPort : device.Port;
  if (!port || !port->ConnectionInfo.Data()) return nullptr;
  return &reinterpret_cast<const USB_NODE_CONNECTION_INFORMATION_EX*>(port->ConnectionInfo.Data())->DeviceDescriptor;
}

std::vector<std::string> StringDescriptors(TpxUsbDevice& device) {
  // Reading them also names the product, maker and serial number from them; the
  // listing keeps the names the enumeration gave.
  std::string description = device.Description;
  std::string manufacturer = device.Manufacturer;
  std::string serialNumber = device.SerialNumber;
  device.ReadStrings();
  device.Description = description;
  device.Manufacturer = manufacturer;
  device.SerialNumber = serialNumber;
  std::vector<std::string> strings;
  for (int i = 0; i < device.Strings.Count(); ++i) strings.push_back(device.Strings.Strings(i));
  return strings;
}

// The device's key under the Class key, as its hub reported it.
std::string DriverKey(const TpxUsbDevice& device) { return device.Port ? device.Port->KeyName : ""; }

std::vector<std::string> Volumes(const TpxUsbDevice& device) {
  std::vector<std::string> volumes;
  for (size_t at = 0; (at = device.Volumes.find(':', at)) != std::string::npos; ++at) {
    volumes.push_back(device.Volumes.substr(at - 1, 2));
  }
  return volumes;
}

Json DeviceJson(TpxUsbDevice& device) {
  Json j;
  j["name"] = device.Name;
  const USB_DEVICE_DESCRIPTOR* d = Descriptor(device);
  j["vid"] = device.IdVendor;
  j["pid"] = device.IdProduct;
  // Fields of packed records go by value.
  j["bcdUSB"] = d ? static_cast<unsigned>(d->bcdUSB) : 0u;
  j["bcdDevice"] = d ? static_cast<unsigned>(d->bcdDevice) : 0u;
  j["class"] = d ? static_cast<unsigned>(d->bDeviceClass) : 0u;
  j["speed"] = SpeedName(device.Speed);
  j["service"] = device.Service;
  j["driverKey"] = DriverKey(device);
  j["instanceId"] = device.InstanceId;
  j["symbolicName"] = device.DevicePath;
  j["description"] = device.Description;
  j["manufacturer"] = device.Manufacturer;
  j["strings"] = StringDescriptors(device);
  j["volumes"] = Volumes(device);
  Json pipes = Json::array();
  for (int p = 0; p < device.PipeCount(); ++p) {
    const TpxUsbPipe& pipe = *device.Pipes(p);
    const USB_ENDPOINT_DESCRIPTOR& e = pipe.Endpoint->EndpointDescriptor;
    pipes.push_back({{"index", p},
                     {"address", static_cast<unsigned>(e.bEndpointAddress)},
                     {"direction", pipe.IsIn() ? "in" : "out"},
                     {"type", PipeType(pipe)},
                     {"maxPacket", static_cast<unsigned>(e.wMaxPacketSize)},
                     {"interval", static_cast<unsigned>(e.bInterval)},
                     {"interface", pipe.InterfaceNumber >= 0 ? Json(pipe.InterfaceNumber) : Json()},
                     {"canOpen", pipe.CanOpen()}});
  }
  j["pipes"] = std::move(pipes);
  Json functions = Json::array();
  for (int f = 0; f < device.FunctionCount(); ++f) {
    const TpxUsbFunction& function = *device.Functions(f);
    Json members = Json::array();
    for (int p = 0; p < device.PipeCount(); ++p) {
      if (device.Pipes(p)->Function == &function) members.push_back(p);
    }
    functions.push_back({{"firstInterface", function.FirstInterface},
                         {"interfaceCount", function.InterfaceCount},
                         {"service", function.Service},
                         {"description", function.Description},
                         {"instanceId", function.InstanceId},
                         {"symbolicName", function.DevicePath},
                         {"pipes", std::move(members)}});
  }
  j["functions"] = std::move(functions);
  return j;
}

void Line(std::ostream& out, int level, const std::string& text) {
  out << std::string(static_cast<size_t>(level) * 2, ' ') << text << "\n";
}

std::string Quoted(const std::vector<std::string>& texts) {
  std::string line;
  for (const std::string& text : texts) line += (line.empty() ? "\"" : " \"") + text + "\"";
  return line;
}

void PrintPipe(std::ostream& out, int level, const TpxUsbPipe& pipe) {
  const USB_ENDPOINT_DESCRIPTOR& e = pipe.Endpoint->EndpointDescriptor;
  bool composite = pipe.Device && pipe.Device->IsComposite();
  Line(out, level,
       "pipe " + std::to_string(pipe.Index) + ": " + (pipe.IsIn() ? "IN " : "OUT") + " 0x" + Hex(e.bEndpointAddress, 2) +
           " " + PipeType(pipe) + ", max packet " + std::to_string(e.wMaxPacketSize) + ", interval " +
           std::to_string(e.bInterval) + (!composite ? "" : ", interface " + std::to_string(pipe.InterfaceNumber)) +
           (!composite || pipe.CanOpen() ? "" : ", cannot be opened"));
}

// "interface 0" or "interfaces 0-1"
std::string Interfaces(const TpxUsbFunction& function) {
  int last = function.FirstInterface + function.InterfaceCount - 1;
  std::string first = std::to_string(function.FirstInterface);
  return function.InterfaceCount > 1 ? "interfaces " + first + "-" + std::to_string(last) : "interface " + first;
}

// A composite device's functions, each with its driver, devnode and pipes; then the
// pipes that belong to no function.
void PrintPipes(std::ostream& out, int level, const TpxUsbDevice& device) {
  for (int f = 0; f < device.FunctionCount(); ++f) {
    const TpxUsbFunction& function = *device.Functions(f);
    Line(out, level,
         "function: " + Interfaces(function) + ", driver " + (function.Service.empty() ? "(none)" : function.Service) +
             (function.Description.empty() ? "" : ", " + function.Description));
    if (!function.InstanceId.empty()) Line(out, level + 1, "instance: " + function.InstanceId);
    if (!function.DevicePath.empty()) Line(out, level + 1, "symbolic name: " + function.DevicePath);
    for (int p = 0; p < device.PipeCount(); ++p) {
      if (device.Pipes(p)->Function == &function) PrintPipe(out, level + 1, *device.Pipes(p));
    }
  }
  for (int p = 0; p < device.PipeCount(); ++p) {
    if (!device.Pipes(p)->Function) PrintPipe(out, level, *device.Pipes(p));
  }
}

// What a USB viewer shows of a device, one fact a line.
void PrintDetails(std::ostream& out, int level, TpxUsbDevice& device) {
  const USB_DEVICE_DESCRIPTOR* d = Descriptor(device);
  Line(out, level,
       "speed " + SpeedName(device.Speed) + ", USB " + Bcd(d ? d->bcdUSB : 0) + ", device " +
           Bcd(d ? d->bcdDevice : 0) + ", class 0x" + Hex(d ? d->bDeviceClass : 0, 2));
  Line(out, level, "driver: " + (device.Service.empty() ? "(none)" : device.Service) + ", key " + DriverKey(device));
  Line(out, level, "instance: " + device.InstanceId);
  Line(out, level, "symbolic name: " + device.DevicePath);
  Line(out, level, "strings: " + Quoted(StringDescriptors(device)));
  if (!device.Volumes.empty()) Line(out, level, "volumes: " + device.Volumes);
  PrintPipes(out, level, device);
}

void PrintHub(std::ostream& out, TpxUsbHub& hub, int level, bool verbose) {
  Line(out, level, hub.Name);
  for (int p = 0; p < hub.PortCount(); ++p) {
    TpxUsbPort& port = *hub.Ports(p);
    Line(out, level + 1, port.Description);
    for (int c = 0; c < port.ChildCount(); ++c) {
      TpxUsbDevice& child = *port.Children(c);
      if (auto* attachedHub = dynamic_cast<TpxUsbHub*>(&child)) {
        PrintHub(out, *attachedHub, level + 2, verbose);
        continue;
      }
      Line(out, level + 2, DeviceLine(child));
      if (verbose) PrintDetails(out, level + 3, child);
    }
  }
}

Json HubJson(TpxUsbHub& hub) {
  Json ports = Json::array();
  for (int p = 0; p < hub.PortCount(); ++p) {
    TpxUsbPort& port = *hub.Ports(p);
    Json j = {{"port", port.PortNumber}, {"description", port.Description}};
    for (int c = 0; c < port.ChildCount(); ++c) {
      TpxUsbDevice& child = *port.Children(c);
      if (auto* attachedHub = dynamic_cast<TpxUsbHub*>(&child)) {
        j["hub"] = HubJson(*attachedHub);
      } else {
        j["device"] = DeviceJson(child);
      }
    }
    ports.push_back(std::move(j));
  }
  return {{"name", hub.Name}, {"ports", std::move(ports)}};
}

// Texts are in the ANSI code page; a byte that is not UTF-8 shows as U+FFFD.
std::string Dumped(const Json& document) {
  return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

TpxUSBManager& RefreshedManager() {
  TpxUSBManager& manager = USBManager();
  manager.Refresh();
  return manager;
}

}  // namespace

std::string DeviceLine(const TpxUsbDevice& device) {
  return device.Name + " [" + Hex(device.IdVendor, 4) + ":" + Hex(device.IdProduct, 4) + "]" +
         (device.Service.empty() ? "" : " (" + device.Service + ")");
}

void PrintTree(std::ostream& out, bool verbose) {
  TpxUSBManager& manager = RefreshedManager();
  for (int h = 0; h < manager.HostCount(); ++h) {
    TpxUsbHost& host = *manager.Hosts(h);
    Line(out, 0, host.Name);
    for (int i = 0; i < host.HubCount(); ++i) PrintHub(out, *host.Hubs(i), 1, verbose);
  }
}

void PrintTreeJson(std::ostream& out) {
  TpxUSBManager& manager = RefreshedManager();
  Json hosts = Json::array();
  for (int h = 0; h < manager.HostCount(); ++h) {
    TpxUsbHost& host = *manager.Hosts(h);
    Json hubs = Json::array();
    for (int i = 0; i < host.HubCount(); ++i) hubs.push_back(HubJson(*host.Hubs(i)));
    hosts.push_back({{"name", host.Name}, {"rootHubs", std::move(hubs)}});
  }
  out << Dumped({{"pxusbctl", 1}, {"hosts", std::move(hosts)}});
}

void PrintList(std::ostream& out, const TpxUSB& usb, bool verbose) {
  for (int i = 0; i < usb.DeviceCount(); ++i) {
    auto& device = static_cast<TpxUsbDevice&>(*usb.Devices(i));
    if (verbose) {
      out << i << "\t" << DeviceLine(device) << "\n";
      PrintDetails(out, 1, device);
      continue;
    }
    out << i << "\t" << device.Name << "\t" << Hex(device.IdVendor, 4) << ":" << Hex(device.IdProduct, 4) << "\t"
        << device.Service << "\t" << device.DevicePath << "\n";
    for (int p = 0; p < device.PipeCount(); ++p) {
      out << "  " << device.Pipes(p)->Description << "\t0x" << Hex(device.Pipes(p)->EndpointAddress(), 2) << "\n";
    }
    if (!device.Volumes.empty()) out << "  Volumes: " << device.Volumes << "\n";
  }
}

void PrintListJson(std::ostream& out, const TpxUSB& usb) {
  Json devices = Json::array();
  for (int i = 0; i < usb.DeviceCount(); ++i) {
    Json j = {{"index", i}};
    j.update(DeviceJson(static_cast<TpxUsbDevice&>(*usb.Devices(i))));
    devices.push_back(std::move(j));
  }
  out << Dumped({{"pxusbctl", 1}, {"devices", std::move(devices)}});
}
