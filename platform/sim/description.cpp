#include "platform/sim/description.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/text.h"

namespace sim {

namespace {

using nlohmann::json;

// Device interface classes of USB devices, hubs and disks.
const char kUsbDeviceInterface[] = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const char kUsbHubInterface[] = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const char kDiskInterface[] = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

// Setup classes by name; a description may also give the GUID itself.
const std::map<std::string, std::string> kSetupClasses = {
    {"usb", "{36FC9E60-C465-11CF-8056-444553540000}"},
    {"hidclass", "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"},
    {"bluetooth", "{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}"},
    {"infrared", "{6BDD1FC5-810F-11D0-BEC7-08002BE2092F}"},
    {"multiportserial", "{50906CB8-BA12-11D1-BF5D-0000F805F530}"},
    {"multifunction", "{4D36E971-E325-11CE-BFC1-08002BE10318}"},
    {"ports", "{4D36E978-E325-11CE-BFC1-08002BE10318}"},
    {"modem", "{4D36E96D-E325-11CE-BFC1-08002BE10318}"},
    {"media", "{4D36E96C-E325-11CE-BFC1-08002BE10318}"},
    {"battery", "{72631E54-78A4-11D0-BCF7-00AA00B7B32A}"},
    {"biometric", "{53D29EF7-377C-4D14-864B-EB3A85769359}"},
    {"gps", "{6BDD1FC3-810F-11D0-BEC7-08002BE2092F}"},
    {"nodriver", "{4D36E976-E325-11CE-BFC1-08002BE10318}"},
    {"usbdevice", "{88BAE032-5A81-49F0-BC3D-A4FF138216D6}"},
    {"diskdrive", "{4D36E967-E325-11CE-BFC1-08002BE10318}"},
    {"volume", "{71A27CDD-812A-11D0-BEC7-08002BE2092F}"},
    {"system", "{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
};

bool parseGuid(const std::string& text, GUID* guid) {
  unsigned d[11];
  char end = 0;
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%c", &d[0], &d[1], &d[2],
                  &d[3], &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10], &end) != 11) {
    return false;
  }
  guid->Data1 = d[0];
  guid->Data2 = static_cast<WORD>(d[1]);
  guid->Data3 = static_cast<WORD>(d[2]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<BYTE>(d[3 + i]);
  return true;
}

std::string hex(unsigned long long value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llX", digits, value);
  return text;
}

// A stable eight-digit tag standing in for the hashes in Windows' instance IDs.
std::string tag(const std::string& seed) {
  unsigned long long h = 0xcbf29ce484222325ull;
  for (unsigned char c : seed) h = (h ^ c) * 0x100000001b3ull;
  return lowerAscii(hex(h & 0xFFFFFFFFull, 8));
}

std::string hashed(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '#');
  return text;
}

std::vector<BYTE> utf16(const std::string& text) {
  std::vector<BYTE> bytes;
  for (char16_t c : widen(text)) {
    bytes.push_back(LOBYTE(c));
    bytes.push_back(HIBYTE(c));
  }
  return bytes;
}

// The members that describe a devnode, wherever one stands.
const std::vector<const char*> kIdentity = {"description", "manufacturer", "service", "setupClass",
                                            "driverKey", "driver", "instanceId"};

// A port number or string index in an object key: 1 to max, or 0 when it is none.
unsigned position(const std::string& key, unsigned max) {
  if (key.empty() || key.size() > 3 || key.find_first_not_of("0123456789") != std::string::npos) return 0;
  unsigned value = static_cast<unsigned>(std::stoul(key));
  return value <= max ? value : 0;
}

// The JSON pointer of member or element `key` below `path`: "~" and "/" in the key escaped.
std::string pointerChild(const std::string& path, std::string key) {
  for (size_t at = 0; (at = key.find_first_of("~/", at)) != std::string::npos; at += 2) {
    key.replace(at, 1, key[at] == '~' ? "~0" : "~1");
  }
  return path + "/" + key;
}

// Parses into a document while keeping the JSON pointer of the value being read, so
// that a value the parser refuses (a number beyond a double's range) is named by its
// place. Syntax errors stand for the whole document ("/").
class PointerSax {
 public:
  explicit PointerSax(json& doc) : dom_(doc, true) {}

  bool null() { return value(dom_.null()); }
  bool boolean(bool v) { return value(dom_.boolean(v)); }
  bool number_integer(json::number_integer_t v) { return value(dom_.number_integer(v)); }
  bool number_unsigned(json::number_unsigned_t v) { return value(dom_.number_unsigned(v)); }
  bool number_float(json::number_float_t v, const json::string_t& text) { return value(dom_.number_float(v, text)); }
  bool string(json::string_t& v) { return value(dom_.string(v)); }
  bool binary(json::binary_t& v) { return value(dom_.binary(v)); }
  bool start_object(std::size_t n) { return open(dom_.start_object(n), false); }
  bool key(json::string_t& k) {
    places_.back().key = k;
    return dom_.key(k);
  }
  bool end_object() { return close(dom_.end_object()); }
  bool start_array(std::size_t n) { return open(dom_.start_array(n), true); }
  bool end_array() { return close(dom_.end_array()); }
  [[noreturn]] bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    bool valueRefused = dynamic_cast<const json::out_of_range*>(&e) != nullptr;
    throw DescriptionError(valueRefused && !places_.empty() ? pointer() : "/", e.what());
  }

 private:
  struct Place {
    bool array;
    size_t index = 0;
    std::string key;
  };
  // The pointer of the value being read.
  std::string pointer() const {
    std::string path;
    for (const Place& p : places_) path = pointerChild(path, p.array ? std::to_string(p.index) : p.key);
    return path;
  }
  bool value(bool ok) {
    if (!places_.empty() && places_.back().array) ++places_.back().index;
    return ok;
  }
  bool open(bool ok, bool array) {
    places_.push_back({array, 0, {}});
    return ok;
  }
  bool close(bool ok) {
    places_.pop_back();
    return value(ok);
  }

  nlohmann::detail::json_sax_dom_parser<json> dom_;
  std::vector<Place> places_;
};

// A part of the description and its JSON pointer, for the error messages.
class Reader {
 public:
  Reader(const json& value, std::string path) : value_(value), path_(std::move(path)) {}

  [[noreturn]] void fail(const std::string& reason) const {
    throw DescriptionError(path_.empty() ? "/" : path_, reason);
  }

  // Checks that this is an object whose members are all among `allowed`.
  const Reader& object(const std::vector<const char*>& allowed) const {
    if (!value_.is_object()) fail("expected an object");
    for (auto it = value_.begin(); it != value_.end(); ++it) {
      if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return it.key() == a; })) {
        Reader(*it, child(it.key())).fail("unknown member");
      }
    }
    return *this;
  }
  bool has(const char* key) const { return value_.is_object() && value_.contains(key); }
  Reader operator[](const char* key) const {
    if (!has(key)) fail(std::string("missing member \"") + key + "\"");
    return Reader(value_.at(key), child(key));
  }
  std::vector<Reader> items() const {
    if (!value_.is_array()) fail("expected an array");
    std::vector<Reader> list;
    for (size_t i = 0; i < value_.size(); ++i) list.emplace_back(value_[i], child(std::to_string(i)));
    return list;
  }
  std::vector<std::pair<std::string, Reader>> members() const {
    if (!value_.is_object()) fail("expected an object");
    std::vector<std::pair<std::string, Reader>> list;
    for (auto it = value_.begin(); it != value_.end(); ++it) list.emplace_back(it.key(), Reader(*it, child(it.key())));
    return list;
  }
  bool isArray() const { return value_.is_array(); }
  bool isObject() const { return value_.is_object(); }
  // An empty object at the same place: every optional member takes its default.
  Reader defaults() const { return Reader(kEmpty, path_); }

  // A number, or a string holding one in decimal or as 0x hexadecimal ("0x81").
  unsigned number(unsigned max) const {
    unsigned long long value = 0;
    if (value_.is_number_unsigned()) {
      value = value_.get<unsigned long long>();
    } else if (!value_.is_string() || !parseNumber(value_.get<std::string>(), &value)) {
      fail("expected a number");
    }
    if (value > max) fail("expected a number from 0 to " + std::to_string(max));
    return static_cast<unsigned>(value);
  }
  std::string text() const {
    if (!value_.is_string()) fail("expected a string");
    return value_.get<std::string>();
  }
  bool flag() const {
    if (!value_.is_boolean()) fail("expected true or false");
    return value_.get<bool>();
  }
  // One of a set of names (any letter case).
  template <class T>
  T choice(std::initializer_list<std::pair<const char*, T>> names) const {
    std::string given = lowerAscii(text());
    std::string known;
    for (const auto& [name, value] : names) {
      if (given == name) return value;
      known += known.empty() ? name : std::string(", ") + name;
    }
    fail("expected one of " + known);
  }

  unsigned number(const char* key, unsigned max, unsigned fallback) const {
    return has(key) ? (*this)[key].number(max) : fallback;
  }
  std::string text(const char* key, const std::string& fallback = {}) const {
    return has(key) ? (*this)[key].text() : fallback;
  }
  bool flag(const char* key, bool fallback) const { return has(key) ? (*this)[key].flag() : fallback; }

 private:
  static bool parseNumber(const std::string& text, unsigned long long* value) {
    bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = isHex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16) return false;
    const char* allowed = isHex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.find_first_not_of(allowed) != std::string::npos) return false;
    *value = std::stoull(digits, nullptr, isHex ? 16 : 10);
    return true;
  }
  std::string child(const std::string& key) const { return pointerChild(path_, key); }

  static inline const json kEmpty = json::object();
  const json& value_;
  std::string path_;
};

class Builder {
 public:
  Builder(SimMachine& machine, UsbBus& bus)
      : machine_(machine), bus_(bus), kernel_(machine.kernel()), registry_(machine.registry()), tree_(machine.devices()),
        io_(machine.usbIo()) {}

  void build(const Reader& doc) {
    doc.object({"controllers", "drives", "timeline", "arrival"});
    if (doc.has("arrival")) bus_.arrival = arrival(doc["arrival"]);
    std::vector<Drive> drives = {{'C', DRIVE_FIXED}};
    if (doc.has("drives")) {
      drives.clear();
      for (const Reader& r : doc["drives"].items()) drives.push_back(drive(r));
    }
    std::set<unsigned> numbers;
    if (doc.has("controllers")) {
      for (const Reader& r : doc["controllers"].items()) {
        if (!numbers.insert(r["number"].number(255)).second) r["number"].fail("a second controller with this number");
        bus_.addController(controller(r));
      }
    }
    for (const Volume& v : volumes_) {
      addLetter(drives, v.letter, v.type, v.where);
      mount(v.letter, v.record);
    }
    kernel_.setDrives(drives);
    if (doc.has("timeline")) {
      for (const Reader& r : doc["timeline"].items()) timeline_.push_back(step(r));
    }
  }

  std::vector<TimelineStep> timeline() { return std::move(timeline_); }

 private:
  struct Volume {
    char letter;
    UINT type;
    std::vector<BYTE> record;
    Reader where;
  };

  std::string driverKeyFor(const std::string& classGuid) {
    return classGuid + "\\" + hex(classCounters_[classGuid]++, 4);
  }

  std::string classOf(const Reader& r, const std::string& fallback) {
    std::string given = r.text("setupClass", fallback);
    auto known = kSetupClasses.find(lowerAscii(given));
    if (known != kSetupClasses.end()) return known->second;
    GUID guid;
    if (!parseGuid(given, &guid)) r["setupClass"].fail("expected a setup class name or {GUID}");
    return given;
  }

  // A devnode below `parent` with the identity members of `r`: driver key, service,
  // setup class, description, manufacturer, and its class key in the registry.
  DevNode& node(DevNode& parent, const Reader& r, const std::string& instanceId,
                const std::string& setupClass, const std::string& service,
                const std::string& description) {
    if (tree_.find(instanceId)) r.fail("a second device with instance ID " + instanceId);
    DevNode& n = tree_.add(parent, instanceId);
    n.description = r.text("description", description);
    n.manufacturer = r.text("manufacturer");
    n.pdoName = "\\Device\\USBPDO-" + std::to_string(pdo_++);
    if (r.flag("driver", true)) {
      std::string classText = classOf(r, setupClass);
      parseGuid(classText, &n.classGuid);
      n.service = r.text("service", service);
      n.driverKey = r.text("driverKey", driverKeyFor(classText));
      registry_.setString(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Class\\" + n.driverKey,
                          "DriverDesc", n.description);
    }
    return n;
  }

  UsbBusController controller(const Reader& r) {
    std::vector<const char*> allowed = kIdentity;
    allowed.insert(allowed.end(), {"number", "rootHub"});
    r.object(allowed);
    UsbBusController hc;
    hc.number = r["number"].number(255);
    std::string id = r.text("instanceId", "PCI\\VEN_1D0F&DEV_" + hex(0x3B30 + hc.number, 4) + "\\3&" +
                                              tag("pci" + std::to_string(hc.number)) + "&0&E8");
    DevNode& pci = node(tree_.root(), r, id, "USB", "usbehci", "Standard Enhanced PCI to USB Host Controller");
    hc.driverKey = pci.driverKey;
    Reader root = r["rootHub"];
    DevNode& rootNode = node(pci, root, root.text("instanceId", "USB\\ROOT_HUB20\\4&" + tag(id) + "&0"), "USB",
                             "usbhub", "USB Root Hub");
    hub(root, hc.rootHub, rootNode, kIdentity);
    return hc;
  }

  // The hub part of `r` (with the identity members in `identity`), its ports and what
  // hangs on them.
  void hub(const Reader& r, UsbBusHub& hub, DevNode& hubNode, std::vector<const char*> allowed) {
    allowed.insert(allowed.end(), {"ports", "attach", "name", "openError", "nodeInfoError"});
    r.object(allowed);
    hub.name = r.text("name", hashed(hubNode.instanceId) + "#" + kUsbHubInterface);
    hub.openError = r.number("openError", 0xFFFFFFFFu, 0);
    hub.nodeInfoError = r.number("nodeInfoError", 0xFFFFFFFFu, 0);
    hub.ports.resize(r["ports"].number(255));
    hubNode.interfaces.push_back({guidOf(kUsbHubInterface), "\\\\?\\" + lowerAscii(hub.name)});
    if (!r.has("attach")) return;
    for (auto& [key, attached] : r["attach"].members()) {
      unsigned port = position(key, static_cast<unsigned>(hub.ports.size()));
      if (!port) attached.fail("no such port: the hub has " + std::to_string(hub.ports.size()));
      hub.ports[port - 1].device = device(attached, hubNode, port);
    }
  }

  static GUID guidOf(const std::string& text) {
    GUID guid{};
    parseGuid(text, &guid);
    return guid;
  }

  std::unique_ptr<UsbBusDevice> device(const Reader& r, DevNode& hubNode, unsigned port) {
    std::vector<const char*> allowed = kIdentity;
    allowed.insert(allowed.end(), {"vid", "pid", "bcdUSB", "bcdDevice", "speed", "class", "subClass", "protocol",
                                   "maxPacketSize0", "strings", "iManufacturer", "iProduct", "iSerialNumber",
                                   "interfaceClass", "endpoints", "connectionStatus", "portName", "storage",
                                   "hub", "model", "removal", "cancelDelay", "realDevice", "functions"});
    r.object(allowed);
    auto d = std::make_unique<UsbBusDevice>();
    bool isHub = r.has("hub");
    bool composite = r.has("functions");
    if (composite) {
      for (const char* own : {"interfaceClass", "endpoints", "hub", "storage", "model", "realDevice", "portName"}) {
        if (r.has(own)) r[own].fail("a composite device describes this in its functions");
      }
      d->functions = functions(r["functions"]);
    }
    d->vendorId = static_cast<WORD>(r["vid"].number(0xFFFF));
    d->productId = static_cast<WORD>(r["pid"].number(0xFFFF));
    d->bcdUSB = static_cast<WORD>(r.number("bcdUSB", 0xFFFF, 0x0200));
    d->bcdDevice = static_cast<WORD>(r.number("bcdDevice", 0xFFFF, 0x0100));
    d->speed = d->bcdUSB >= 0x0200 ? UsbHighSpeed : UsbFullSpeed;
    if (r.has("speed")) {
      d->speed = r["speed"].choice<BYTE>(
          {{"low", UsbLowSpeed}, {"full", UsbFullSpeed}, {"high", UsbHighSpeed}, {"super", UsbSuperSpeed}});
    }
    // A device with interface association descriptors says so with class 0xEF,
    // subclass 2, protocol 1; either that or class 0 lets the generic parent driver load:
    // https://learn.microsoft.com/windows-hardware/drivers/usbcon/enumeration-of-the-composite-parent-device
    bool associations = std::any_of(d->functions.begin(), d->functions.end(),
                                    [](const UsbBusFunction& f) { return f.interfaces.size() > 1; });
    d->deviceClass = static_cast<BYTE>(r.number("class", 255, isHub ? 9 : associations ? 0xEF : 0));
    d->deviceSubClass = static_cast<BYTE>(r.number("subClass", 255, associations ? 2 : 0));
    d->deviceProtocol = static_cast<BYTE>(r.number("protocol", 255, associations ? 1 : 0));
    d->maxPacketSize0 = static_cast<BYTE>(r.number("maxPacketSize0", 255, 64));
    d->interfaceClass = static_cast<BYTE>(r.number("interfaceClass", 255, isHub ? 9 : 0xFF));
    d->connectionStatus = r.number("connectionStatus", DeviceReset, DeviceConnected);
    if (r.has("strings")) strings(r["strings"], d->strings);
    d->iManufacturer = static_cast<BYTE>(r.number("iManufacturer", 255, 0));
    d->iProduct = static_cast<BYTE>(r.number("iProduct", 255, 0));
    d->iSerialNumber = static_cast<BYTE>(r.number("iSerialNumber", 255, 0));
    if (r.has("endpoints")) {
      for (const Reader& e : r["endpoints"].items()) d->endpoints.push_back(endpoint(e));
    } else if (isHub) {
      d->endpoints.push_back({0x81, USB_ENDPOINT_TYPE_INTERRUPT, 1, 12});
    }
    for (const UsbBusFunction& f : d->functions) {
      for (const UsbBusInterface& i : f.interfaces) {
        d->endpoints.insert(d->endpoints.end(), i.endpoints.begin(), i.endpoints.end());
      }
    }

    auto serial = d->strings.find(d->iSerialNumber);
    std::string instance = serial != d->strings.end() && d->iSerialNumber
                               ? serial->second
                               : "5&" + tag(hubNode.instanceId) + "&0&" + std::to_string(port);
    std::string id = r.text("instanceId", "USB\\VID_" + hex(d->vendorId, 4) + "&PID_" + hex(d->productId, 4) +
                                              "\\" + instance);
    DevNode& n = node(hubNode, r, id, "USB", isHub ? "usbhub" : composite ? "usbccgp" : "",
                      isHub ? "Generic USB Hub" : composite ? "USB Composite Device" : "USB Device");
    d->driverKey = n.driverKey;
    std::string symbolic = hashed(id) + "#" + kUsbDeviceInterface;
    tree_.setHardwareString(n, "SymbolicName", "\\??\\" + symbolic);
    if (r.has("portName")) tree_.setHardwareString(n, "PortName", r["portName"].text());
    n.interfaces.push_back({guidOf(kUsbDeviceInterface), "\\\\?\\" + lowerAscii(symbolic)});
    if (isHub) {
      d->hub = std::make_unique<UsbBusHub>();
      hub(r["hub"], *d->hub, n, {});
    }
    if (r.has("storage")) storage(r["storage"], n, instance);
    if (r.has("model")) {
      UsbDevice& io = attach(r["model"], ioEndpoints(d->endpoints, 0), n.service, "\\\\.\\" + symbolic);
      if (r.has("removal")) removal(r["removal"], *io.model());
      if (r.has("cancelDelay")) io.model()->cancelDelay = std::chrono::milliseconds(r["cancelDelay"].number(60000));
    }
    if (r.has("realDevice")) realDevice(r, n.service, "\\\\.\\" + symbolic);
    auto items = composite ? r["functions"].items() : std::vector<Reader>{};
    for (size_t f = 0; f < items.size(); ++f) functionNode(items[f], d->functions[f], *d, n);
    return d;
  }

  // A composite device's functions, numbering their interfaces from 0 in order. A
  // function is one interface (its class and endpoints given in place) or several
  // ("interfaces").
  static std::vector<UsbBusFunction> functions(const Reader& r) {
    std::vector<const char*> allowed = kIdentity;
    allowed.insert(allowed.end(), {"interfaces", "interfaceClass", "subClass", "protocol", "endpoints", "model",
                                   "realDevice", "portName"});
    std::vector<UsbBusFunction> list;
    BYTE number = 0;
    auto items = r.items();
    if (items.empty()) r.fail("a composite device has at least one function");
    for (const Reader& f : items) {
      f.object(allowed);
      std::vector<Reader> parts = f.has("interfaces") ? f["interfaces"].items() : std::vector<Reader>{f};
      if (parts.empty()) f["interfaces"].fail("a function has at least one interface");
      if (f.has("interfaces") && (f.has("endpoints") || f.has("interfaceClass"))) {
        f["interfaces"].fail("a function gives its endpoints in place or in \"interfaces\", not both");
      }
      UsbBusFunction function;
      for (const Reader& part : parts) {
        if (f.has("interfaces")) part.object({"interfaceClass", "subClass", "protocol", "endpoints"});
        if (number == 0xFF) part.fail("at most 255 interfaces");
        UsbBusInterface i;
        i.number = number++;
        i.interfaceClass = static_cast<BYTE>(part.number("interfaceClass", 255, 0xFF));
        i.subClass = static_cast<BYTE>(part.number("subClass", 255, 0));
        i.protocol = static_cast<BYTE>(part.number("protocol", 255, 0));
        if (part.has("endpoints")) {
          for (const Reader& e : part["endpoints"].items()) i.endpoints.push_back(endpoint(e));
        }
        function.interfaces.push_back(std::move(i));
      }
      list.push_back(std::move(function));
    }
    return list;
  }

  // The generic parent driver's child devnode of one function, named after its first
  // interface (USB\VID_v&PID_p&MI_nn), with its own service and device interface:
  // https://learn.microsoft.com/windows-hardware/drivers/usbcon/enumeration-of-interfaces-not-grouped-in-collections
  // https://learn.microsoft.com/windows-hardware/drivers/usbcon/enumeration-of-interface-collections-on-devices-that-have-iads
  // The function's device file serves the endpoints of all of its interfaces; on WinUSB
  // the function is what WinUSB is installed on, as for a device of its own:
  // https://learn.microsoft.com/windows-hardware/drivers/usbcon/winusb-installation
  void functionNode(const Reader& r, const UsbBusFunction& f, const UsbBusDevice& d, DevNode& parent) {
    BYTE first = f.interfaces.front().number;
    std::string id = r.text("instanceId", "USB\\VID_" + hex(d.vendorId, 4) + "&PID_" + hex(d.productId, 4) + "&MI_" +
                                              hex(first, 2) + "\\6&" + tag(parent.instanceId) + "&0&" + hex(first, 4));
    DevNode& n = node(parent, r, id, "USB", "", "USB Device");
    std::string symbolic = hashed(id) + "#" + kUsbDeviceInterface;
    tree_.setHardwareString(n, "SymbolicName", "\\??\\" + symbolic);
    if (r.has("portName")) tree_.setHardwareString(n, "PortName", r["portName"].text());
    n.interfaces.push_back({guidOf(kUsbDeviceInterface), "\\\\?\\" + lowerAscii(symbolic)});
    std::vector<Endpoint> endpoints;
    for (const UsbBusInterface& i : f.interfaces) {
      std::vector<Endpoint> more = ioEndpoints(i.endpoints, i.number);
      endpoints.insert(endpoints.end(), more.begin(), more.end());
    }
    if (r.has("model")) attach(r["model"], endpoints, n.service, "\\\\.\\" + symbolic);
    if (r.has("realDevice")) realDevice(r, n.service, "\\\\.\\" + symbolic);
  }

  static std::vector<Endpoint> ioEndpoints(const std::vector<UsbBusEndpoint>& list, BYTE interfaceNumber) {
    std::vector<Endpoint> endpoints;
    for (const UsbBusEndpoint& e : list) {
      endpoints.push_back({e.address, e.type, e.maxPacketSize, e.interval, interfaceNumber, e.zeroLengthPacket,
                           static_cast<Endpoint::Stall>(e.stall)});
    }
    return endpoints;
  }

  // The device's behaviour behind its endpoints, reached through its device file.
  UsbDevice& attach(const Reader& r, std::vector<Endpoint> endpoints, const std::string& service,
                    const std::string& path) {
    bool named = !r.isObject();
    Reader name = named ? r : r.object({"name", "rate", "delay", "controlTime"})["name"];
    enum Kind { kEcho, kStream, kSilent, kStalling, kSlow };
    Kind kind = name.choice<Kind>(
        {{"echo", kEcho}, {"stream", kStream}, {"silent", kSilent}, {"stalling", kStalling}, {"slow", kSlow}});
    UCHAR in = 0;
    for (const Endpoint& e : endpoints) {
      if (!in && e.in()) in = e.address;
    }
    if ((kind == kEcho || kind == kStream) && !in) name.fail("the model needs an IN endpoint");
    std::shared_ptr<DeviceModel> model;
    switch (kind) {
      case kEcho: model = std::make_shared<EchoModel>(in); break;
      case kStream: model = std::make_shared<StreamModel>(in, named ? 0 : r.number("rate", 0xFFFFFFFFu, 0)); break;
      case kSilent: model = std::make_shared<SilentModel>(); break;
      case kStalling: model = std::make_shared<StallingModel>(); break;
      case kSlow:
        model = std::make_shared<SlowModel>(std::chrono::milliseconds(named ? 100 : r.number("delay", 60000, 100)));
        break;
    }
    if (lowerAscii(service) != "pxusb") model->removal = DeviceModel::Removal::drawn();
    if (!named && r.has("controlTime")) model->controlTime = std::chrono::milliseconds(r["controlTime"].number(60000));
    return *io_.attach(path, service, std::move(endpoints), std::move(model));
  }

  // Which errors the device's requests give once it is removed: at once, and for what
  // was pending at the removal.
  static void removal(const Reader& r, DeviceModel& model) {
    r.object({"atOnce", "atCompletion"});
    auto error = [&](const char* key, DWORD fallback) {
      if (!r.has(key)) return fallback;
      DWORD code = r[key].number(0xFFFF);
      if (!removalStatus(code)) r[key].fail("expected one of 2, 22, 31, 433, 995, 1167, 1617");
      return code;
    };
    model.removal = {error("atOnce", model.removal.atOnce), error("atCompletion", model.removal.atCompletion)};
  }

  // The device's file is a real device's, which a hosted machine opens in its host.
  void realDevice(const Reader& r, const std::string& service, const std::string& path) {
    Reader real = r["realDevice"];
    if (r.has("model")) real.fail("a device has a model or a real device, not both");
    if (lowerAscii(service) != "pxusb") real.fail("only a device on the pxusb service has a real device");
    std::string target = real.text();
    if (target.rfind("\\\\.\\", 0) != 0) real.fail("expected a device path such as \\\\.\\Name");
    io_.route(path, target);
  }

  static void strings(const Reader& r, std::map<BYTE, std::string>& out) {
    if (r.isArray()) {
      auto items = r.items();
      if (items.size() > 255) r.fail("at most 255 strings");
      for (size_t i = 0; i < items.size(); ++i) out[static_cast<BYTE>(i + 1)] = items[i].text();
      return;
    }
    for (auto& [key, text] : r.members()) {
      unsigned index = position(key, 255);
      if (!index) text.fail("a string descriptor index is 1 to 255");
      out[static_cast<BYTE>(index)] = text.text();
    }
  }

  static UsbBusEndpoint endpoint(const Reader& r) {
    r.object({"address", "type", "maxPacket", "interval", "zeroLengthPacket", "stall"});
    UsbBusEndpoint e;
    e.address = static_cast<BYTE>(r["address"].number(255));
    e.type = r.has("type") ? r["type"].choice<BYTE>({{"control", USB_ENDPOINT_TYPE_CONTROL},
                                                     {"isochronous", USB_ENDPOINT_TYPE_ISOCHRONOUS},
                                                     {"bulk", USB_ENDPOINT_TYPE_BULK},
                                                     {"interrupt", USB_ENDPOINT_TYPE_INTERRUPT}})
                           : USB_ENDPOINT_TYPE_BULK;
    e.maxPacketSize = static_cast<WORD>(r.number("maxPacket", 0xFFFF, 64));
    e.interval = static_cast<BYTE>(r.number("interval", 255, 0));
    // Whether the device ends an IN transfer of whole packets with a zero-length packet
    // is the firmware's choice (USB 2.0, 5.8.3): unkind, either.
    e.zeroLengthPacket = r.has("zeroLengthPacket") ? r["zeroLengthPacket"].flag()
                                                   : Variance::instance().pick(true, {false});
    if (r.has("stall")) {
      using Stall = Endpoint::Stall;
      e.stall = static_cast<BYTE>(r["stall"].choice<Stall>(
          {{"never", Stall::kNever}, {"once", Stall::kOnce}, {"always", Stall::kAlways}}));
    }
    return e;
  }

  // The disks below a USB storage device (one per entry, as the logical units of a
  // card reader) and their volumes, which each disk names among its removal
  // relations, as the volume manager's volumes stand beside the disks.
  void storage(const Reader& r, DevNode& device, const std::string& instance) {
    std::vector<Reader> units = r.isArray() ? r.items() : std::vector<Reader>{r};
    for (size_t lun = 0; lun < units.size(); ++lun) volume(units[lun], device, instance + "&" + std::to_string(lun));
  }

  void volume(const Reader& r, DevNode& device, const std::string& instance) {
    r.object({"letter", "vendor", "product", "revision", "driveType", "mount"});
    auto word = [](std::string text) {
      std::replace(text.begin(), text.end(), ' ', '_');
      return text;
    };
    std::string vendor = r.text("vendor", "Generic");
    std::string product = r.text("product", "Flash Disk");
    std::string diskId = "USBSTOR\\Disk&Ven_" + word(vendor) + "&Prod_" + word(product) + "&Rev_" +
                         word(r.text("revision", "1.00")) + "\\" + instance;
    Reader defaults = r.defaults();
    DevNode& disk = node(device, defaults, diskId, "DiskDrive", "disk", vendor + " " + product + " USB Device");
    disk.interfaces.push_back({guidOf(kDiskInterface), "\\\\?\\" + lowerAscii(hashed(diskId)) + "#" + kDiskInterface});

    Volume v{letter(r["letter"]), DRIVE_REMOVABLE, {}, r};
    if (r.has("driveType")) v.type = driveType(r["driveType"]);
    std::string volumeId;
    if (r.has("mount")) {
      Reader m = r["mount"];
      m.object({"signature", "offset"});
      unsigned signature = m["signature"].number(0xFFFFFFFFu);
      unsigned offset = m.number("offset", 0xFFFFFFFFu, 0x7E00);
      v.record = signatureRecord(signature, offset);
      volumeId = "STORAGE\\Volume\\{" + tag(diskId) + "-0000-11d0-94f2-00a0c91efb8b}#" + hex(offset, 16);
    } else {
      std::string path = "_??_" + hashed(diskId) + "#" + kDiskInterface;
      v.record = utf16(path);
      volumeId = "STORAGE\\Volume\\" + path;
    }
    if (!volumeManager_) {
      volumeManager_ = &node(tree_.root(), defaults, "ROOT\\VOLMGR\\0000", "System", "volmgr", "Volume Manager");
    }
    node(*volumeManager_, defaults, volumeId, "Volume", "volsnap", "Generic volume").driveLetter = v.letter;
    disk.removalRelations.push_back(volumeId);
    volumes_.push_back(v);
  }

  static std::vector<BYTE> signatureRecord(unsigned signature, unsigned long long offset) {
    std::vector<BYTE> record;
    for (int i = 0; i < 4; ++i) record.push_back(static_cast<BYTE>(signature >> (8 * i)));
    for (int i = 0; i < 8; ++i) record.push_back(static_cast<BYTE>(offset >> (8 * i)));
    return record;
  }

  static char letter(const Reader& r) {
    std::string text = r.text();
    if (text.size() != 1 || !std::isalpha(static_cast<unsigned char>(text[0]))) r.fail("expected a drive letter");
    return static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  }

  static UINT driveType(const Reader& r) {
    return r.choice<UINT>({{"removable", DRIVE_REMOVABLE},
                           {"fixed", DRIVE_FIXED},
                           {"remote", DRIVE_REMOTE},
                           {"cdrom", DRIVE_CDROM},
                           {"ramdisk", DRIVE_RAMDISK}});
  }

  Drive drive(const Reader& r) {
    r.object({"letter", "type", "mount"});
    Drive d{letter(r["letter"]), r.has("type") ? driveType(r["type"]) : DRIVE_FIXED};
    if (r.has("mount")) {
      Reader m = r["mount"];
      m.object({"signature", "offset", "device", "bytes"});
      if (m.has("device")) {
        mount(d.letter, utf16(m["device"].text()));
      } else if (m.has("bytes")) {
        mount(d.letter, bytes(m["bytes"]));
      } else {
        mount(d.letter, signatureRecord(m["signature"].number(0xFFFFFFFFu), m.number("offset", 0xFFFFFFFFu, 0x7E00)));
      }
    }
    return d;
  }

  static std::vector<BYTE> bytes(const Reader& r) {
    std::string text = r.text();
    if (text.size() % 2 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      r.fail("expected hexadecimal digits, two per byte");
    }
    std::vector<BYTE> out;
    for (size_t i = 0; i < text.size(); i += 2) out.push_back(static_cast<BYTE>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
  }

  void addLetter(std::vector<Drive>& drives, char letter, UINT type, const Reader& where) {
    for (const Drive& d : drives) {
      if (d.letter == letter) where["letter"].fail(std::string("drive ") + letter + ": is described twice");
    }
    drives.push_back({letter, type});
  }

  void mount(char letter, std::vector<BYTE> record) {
    registry_.setValue(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", std::string("\\DosDevices\\") + letter + ":",
                       REG_BINARY, std::move(record));
  }

  SimMachine& machine_;
  UsbBus& bus_;
  Kernel& kernel_;
  Registry& registry_;
  DeviceTree& tree_;
  UsbIo& io_;

  // {"devnodeAfter": ms, "startedAfter": ms, "devnodesChanged": n, "broadcastTimeout": ms}
  static Arrival arrival(const Reader& r) {
    constexpr unsigned kMinute = 60 * 1000;
    r.object({"devnodeAfter", "startedAfter", "devnodesChanged", "broadcastTimeout"});
    Arrival a;
    a.devnodeAfter = std::chrono::milliseconds(r.number("devnodeAfter", kMinute, 0));
    a.startedAfter = std::chrono::milliseconds(r.number("startedAfter", kMinute, 0));
    a.devnodesChanged = r.number("devnodesChanged", 16, a.devnodesChanged);
    a.broadcastTimeout =
        std::chrono::milliseconds(r.number("broadcastTimeout", kMinute, unsigned(a.broadcastTimeout.count())));
    if (!a.broadcastTimeout.count()) r["broadcastTimeout"].fail("expected a number from 1 to 60000");
    return a;
  }

  // {"at": ms, "unplug" or "plug": {"controller": n, "ports": [n, ...]}, "every": ms, "times": n}
  TimelineStep step(const Reader& r) {
    constexpr unsigned kDay = 24 * 3600 * 1000;
    r.object({"at", "plug", "unplug", "every", "times"});
    TimelineStep s;
    s.at = std::chrono::milliseconds(r["at"].number(kDay));
    s.plug = r.has("plug");
    if (s.plug == r.has("unplug")) r.fail("expected one of \"plug\" and \"unplug\"");
    Reader where = r[s.plug ? "plug" : "unplug"];
    where.object({"controller", "ports"});
    s.place.controller = where["controller"].number(255);
    for (const Reader& port : where["ports"].items()) s.place.ports.push_back(port.number(255));
    if (!HotPlug(machine_, bus_).exists(s.place)) where.fail("no such port");
    s.every = std::chrono::milliseconds(r.number("every", kDay, 0));
    s.times = r.number("times", 1000000, s.every.count() ? 0 : 1);
    if (!s.every.count() && s.times != 1) r["times"].fail("repeating needs \"every\"");
    return s;
  }

  std::map<std::string, unsigned> classCounters_;
  unsigned pdo_ = 0;
  DevNode* volumeManager_ = nullptr;
  std::vector<Volume> volumes_;
  std::vector<TimelineStep> timeline_;
};

const char kDemoMachine[] = R"json({
  "controllers": [
    {
      "number": 0,
      "description": "Standard Enhanced PCI to USB Host Controller",
      "manufacturer": "(Standard USB Host Controller)",
      "rootHub": {
        "ports": 5,
        "attach": {
          "1": {
            "vid": "0x2F1A", "pid": "0x0101", "bcdDevice": "0x0110",
            "strings": ["Northwind Instruments", "NW Loopback Probe", "NW0101A7734"],
            "iManufacturer": 1, "iProduct": 2, "iSerialNumber": 3,
            "endpoints": [
              {"address": "0x81", "type": "bulk", "maxPacket": 512, "zeroLengthPacket": false},
              {"address": "0x02", "type": "bulk", "maxPacket": 512}
            ],
            "service": "WinUSB", "setupClass": "USB", "model": "echo",
            "description": "NW Loopback Probe", "manufacturer": "Northwind Instruments"
          },
          "2": {
            "vid": "0x3A21", "pid": "0x2514", "bcdDevice": "0x0B32",
            "strings": ["USB2.0 Hub"], "iProduct": 1,
            "hub": {
              "ports": 4,
              "attach": {
                "1": {
                  "vid": "0x2C9D", "pid": "0x1040", "bcdUSB": "0x0110", "bcdDevice": "0x0302",
                  "speed": "low", "maxPacketSize0": 8, "interfaceClass": 3,
                  "strings": ["Calloway Peripherals", "Calloway Optical Mouse M3"],
                  "iManufacturer": 1, "iProduct": 2,
                  "endpoints": [{"address": "0x81", "type": "interrupt", "maxPacket": 4, "interval": 10}],
                  "service": "HidUsb", "setupClass": "HIDClass", "model": "silent",
                  "description": "USB Input Device", "manufacturer": "(Standard system devices)"
                }
              }
            }
          },
          "3": {
            "vid": "0x2F1A", "pid": "0x0102", "bcdDevice": "0x0200",
            "strings": ["Northwind Instruments", "NW Data Logger DL-8", "NW0102B1190"],
            "iManufacturer": 1, "iProduct": 2, "iSerialNumber": 3,
            "endpoints": [
              {"address": "0x82", "type": "bulk", "maxPacket": 512, "zeroLengthPacket": true},
              {"address": "0x01", "type": "bulk", "maxPacket": 512}
            ],
            "service": "pxusb", "setupClass": "USB", "model": "echo",
            "description": "NW Data Logger DL-8", "manufacturer": "Northwind Instruments"
          },
          "4": {
            "vid": "0x3B04", "pid": "0x1F20", "bcdDevice": "0x1100", "interfaceClass": 8,
            "strings": ["Halvorsen Memory", "FlashStick 16GB", "HM2019X00471"],
            "iManufacturer": 1, "iProduct": 2, "iSerialNumber": 3,
            "endpoints": [
              {"address": "0x81", "type": "bulk", "maxPacket": 512},
              {"address": "0x02", "type": "bulk", "maxPacket": 512}
            ],
            "service": "USBSTOR", "setupClass": "USB",
            "description": "USB Mass Storage Device", "manufacturer": "Compatible USB storage device",
            "storage": {"letter": "E", "vendor": "Halvorsen", "product": "FlashStick", "revision": "1.00"}
          },
          "5": {
            "vid": "0x2F1A", "pid": "0x0103", "bcdDevice": "0x0100",
            "strings": ["Northwind Instruments", "NW Serial Bridge SB-2", "NW0103C5521"],
            "iManufacturer": 1, "iProduct": 2, "iSerialNumber": 3,
            "description": "USB Composite Device", "manufacturer": "(Standard USB Host Controller)",
            "functions": [
              {
                "interfaces": [
                  {"interfaceClass": 2, "subClass": 2, "protocol": 1,
                   "endpoints": [{"address": "0x83", "type": "interrupt", "maxPacket": 16, "interval": 8}]},
                  {"interfaceClass": 10, "endpoints": [
                    {"address": "0x84", "type": "bulk", "maxPacket": 512},
                    {"address": "0x03", "type": "bulk", "maxPacket": 512}
                  ]}
                ],
                "service": "usbser", "setupClass": "Ports", "portName": "COM3",
                "description": "USB Serial Device (COM3)", "manufacturer": "Microsoft"
              },
              {
                "interfaceClass": 255,
                "endpoints": [
                  {"address": "0x81", "type": "bulk", "maxPacket": 512, "zeroLengthPacket": false},
                  {"address": "0x02", "type": "bulk", "maxPacket": 512}
                ],
                "service": "WinUSB", "setupClass": "USBDevice", "model": "echo",
                "description": "NW Bridge Control", "manufacturer": "Northwind Instruments"
              }
            ]
          }
        }
      }
    }
  ],
  "arrival": {"devnodeAfter": 150, "startedAfter": 400, "devnodesChanged": 2, "broadcastTimeout": 5000},
  "drives": [
    {"letter": "C", "type": "fixed", "mount": {"signature": "0x1B7C9E23", "offset": "0x100000"}},
    {"letter": "D", "type": "cdrom"}
  ]
})json";

// The demo machine with its data logger served by the real pxusb driver (driver/),
// for a hosted machine where that driver runs.
std::string DemoOnRealDriver() {
  std::string text = kDemoMachine;
  const std::string logger = R"("service": "pxusb", "setupClass": "USB", "model": "echo")";
  text.replace(text.find(logger), logger.size(),
               R"("service": "pxusb", "setupClass": "USB", "realDevice": "\\\\.\\PxusbLoopback")");
  return text;
}

}  // namespace

std::string builtinMachine(const std::string& name) {
  if (name == "demo") return kDemoMachine;
  if (name == "demo-driver") return DemoOnRealDriver();
  return "";
}

std::vector<TimelineStep> describeMachine(SimMachine& machine, UsbBus& bus, const std::string& text) {
  json doc;
  PointerSax sax(doc);
  json::sax_parse(text, &sax);
  Builder builder(machine, bus);
  builder.build(Reader(doc, ""));
  return builder.timeline();
}

DescribedMachine::DescribedMachine(const std::string& json, unsigned groups)
    : machine_(groups),
      usb_(machine_.kernel()),
      timeline_(std::make_unique<Timeline>(machine_, usb_, describeMachine(machine_, usb_, json))) {}

std::unique_ptr<DescribedMachine> loadMachine(const std::string& nameOrPath, unsigned groups) {
  std::string text = builtinMachine(nameOrPath);
  if (text.empty()) {
    std::ifstream file(nameOrPath, std::ios::binary);
    if (!file) throw DescriptionError("/", "no built-in machine and no file named " + nameOrPath);
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
  }
  return std::make_unique<DescribedMachine>(text, groups);
}

}  // namespace sim
