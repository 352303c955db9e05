#include "platform/sim/usbbus.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/sim/text.h"

namespace sim {

namespace {

using Bytes = std::vector<BYTE>;
using State = UsbBus::State;

void putWord(Bytes& b, size_t at, WORD v) {
  b[at] = LOBYTE(v);
  b[at + 1] = HIBYTE(v);
}

void putLong(Bytes& b, size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * i));
}

DWORD getLong(const BYTE* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

Bytes deviceDescriptor(const UsbBusDevice& d) {
  Bytes b(sizeof(USB_DEVICE_DESCRIPTOR));
  b[0] = sizeof(USB_DEVICE_DESCRIPTOR);
  b[1] = USB_DEVICE_DESCRIPTOR_TYPE;
  putWord(b, 2, d.bcdUSB);
  b[4] = d.deviceClass;
  b[5] = d.deviceSubClass;
  b[6] = d.deviceProtocol;
  b[7] = d.maxPacketSize0;
  putWord(b, 8, d.vendorId);
  putWord(b, 10, d.productId);
  putWord(b, 12, d.bcdDevice);
  b[14] = d.iManufacturer;
  b[15] = d.iProduct;
  b[16] = d.iSerialNumber;
  b[17] = 1;
  return b;
}

// Index 0 is the list of languages (US English only); a missing index stalls.
bool stringDescriptor(const UsbBusDevice& d, BYTE index, Bytes* out) {
  if (index == 0) {
    *out = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
    return true;
  }
  auto found = d.strings.find(index);
  if (found == d.strings.end()) return false;
  std::u16string text = widen(found->second).substr(0, 126);  // bLength is one byte
  out->assign(2 + 2 * text.size(), 0);
  (*out)[0] = static_cast<BYTE>(out->size());
  (*out)[1] = USB_STRING_DESCRIPTOR_TYPE;
  for (size_t i = 0; i < text.size(); ++i) putWord(*out, 2 + 2 * i, text[i]);
  return true;
}

template <class Visit>
void forEachDevice(UsbBusHub& hub, Visit&& visit) {
  for (auto& port : hub.ports) {
    if (!port.device) continue;
    visit(*port.device);
    if (port.device->hub) forEachDevice(*port.device->hub, visit);
  }
}

UsbBusHub* findHub(UsbBusHub& hub, const std::string& name) {
  if (equalsIgnoreCase(hub.name, name)) return &hub;
  for (auto& port : hub.ports) {
    if (port.device && port.device->hub) {
      if (UsbBusHub* found = findHub(*port.device->hub, name)) return found;
    }
  }
  return nullptr;
}

UsbBusHub* findHub(State& state, const std::string& name) {
  for (auto& entry : state.controllers) {
    if (UsbBusHub* found = findHub(entry.second.rootHub, name)) return found;
  }
  return nullptr;
}

// The outcome of one request: an error, or the bytes that go to the output buffer.
struct Reply {
  DWORD error = ERROR_SUCCESS;
  Bytes data;
};

Reply failure(DWORD error) {
  Reply r;
  r.error = error;
  return r;
}

// Windows' rule for the name requests: the record's header always comes back with
// the full size in ActualLength; the name itself only when all of it fits.
// `header` is 4 (controller names) or 8 (ConnectionIndex first, then ActualLength).
Reply nameReply(const std::string& name, size_t header, ULONG connectionIndex, DWORD outSize,
                bool unterminated) {
  if (outSize < header + sizeof(WCHAR)) return failure(ERROR_INSUFFICIENT_BUFFER);
  std::u16string wide = widen(name);
  size_t lengthAt = header - 4;
  Reply r;
  if (unterminated) {
    // A hostile driver: the name runs to the end of the buffer, no zero anywhere.
    r.data.assign(outSize, 0);
    for (size_t at = header; at + 1 < outSize; at += 2) putWord(r.data, at, u'X');
    if (outSize % 2) r.data.back() = 'X';
    putLong(r.data, lengthAt, outSize);
  } else {
    size_t full = header + 2 * (wide.size() + 1);
    r.data.assign(full <= outSize ? full : header + sizeof(WCHAR), 0);
    if (full <= outSize) {
      for (size_t i = 0; i < wide.size(); ++i) putWord(r.data, header + 2 * i, wide[i]);
    }
    putLong(r.data, lengthAt, static_cast<DWORD>(full));
  }
  if (header == 8) putLong(r.data, 0, connectionIndex);
  return r;
}

Reply controllerRequest(UsbBusController& hc, DWORD code, DWORD outSize, const UsbFault* fault) {
  bool unterminated = fault && fault->kind == UsbFault::kUnterminated;
  switch (code) {
    case IOCTL_GET_HCD_DRIVERKEY_NAME:
      return nameReply(hc.driverKey, 4, 0, outSize, unterminated);
    case IOCTL_USB_GET_ROOT_HUB_NAME:
      return nameReply(hc.rootHub.name, 4, 0, outSize, unterminated);
    default:
      return failure(ERROR_INVALID_FUNCTION);
  }
}

Reply nodeInformation(const UsbBusHub& hub, DWORD outSize) {
  if (outSize < sizeof(USB_NODE_INFORMATION)) return failure(ERROR_INSUFFICIENT_BUFFER);
  if (hub.nodeInfoError) return failure(hub.nodeInfoError);
  Reply r;
  r.data.assign(sizeof(USB_NODE_INFORMATION), 0);
  putLong(r.data, 0, ::UsbHub);
  r.data[4] = 9;     // bDescriptorLength
  r.data[5] = 0x29;  // hub descriptor type
  r.data[6] = static_cast<BYTE>(hub.ports.size());
  r.data[9] = 50;  // bPowerOnToPowerGood, 2 ms units
  return r;
}

Reply connectionInformation(const UsbBusDevice* d, ULONG index, bool ex, DWORD outSize) {
  const size_t fixed = sizeof(USB_NODE_CONNECTION_INFORMATION_EX);
  bool connected = d && d->connectionStatus == DeviceConnected;
  size_t pipes = connected ? d->endpoints.size() : 0;
  size_t fits = std::min<size_t>(pipes, (outSize - fixed) / sizeof(USB_PIPE_INFO));
  Reply r;
  r.data.assign(fixed + fits * sizeof(USB_PIPE_INFO), 0);
  putLong(r.data, 0, index);
  if (d) {
    if (connected) {
      Bytes desc = deviceDescriptor(*d);
      std::copy(desc.begin(), desc.end(), r.data.begin() + 4);
      r.data[22] = 1;  // CurrentConfigurationValue
    }
    r.data[23] = ex ? d->speed : (d->speed == UsbLowSpeed);
    r.data[24] = d->hub ? 1 : 0;
    putWord(r.data, 25, d->address);
    putLong(r.data, 27, static_cast<DWORD>(pipes));
    putLong(r.data, 31, d->connectionStatus);
  }
  for (size_t i = 0; i < fits; ++i) {
    const UsbBusEndpoint& e = d->endpoints[i];
    size_t at = fixed + i * sizeof(USB_PIPE_INFO);
    r.data[at] = sizeof(USB_ENDPOINT_DESCRIPTOR);
    r.data[at + 1] = USB_ENDPOINT_DESCRIPTOR_TYPE;
    r.data[at + 2] = e.address;
    r.data[at + 3] = e.type;
    putWord(r.data, at + 4, e.maxPacketSize);
    r.data[at + 6] = e.interval;
  }
  return r;
}

Reply descriptorRequest(const UsbBusDevice& d, const BYTE* in, DWORD outSize) {
  const size_t header = sizeof(USB_DESCRIPTOR_REQUEST);
  if (d.connectionStatus != DeviceConnected) return failure(ERROR_GEN_FAILURE);
  WORD wValue = static_cast<WORD>(in[6] | (in[7] << 8));
  WORD wLength = static_cast<WORD>(in[10] | (in[11] << 8));
  Bytes desc;
  switch (HIBYTE(wValue)) {
    case USB_DEVICE_DESCRIPTOR_TYPE: desc = deviceDescriptor(d); break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE: desc = d.configurationDescriptor(); break;
    case USB_STRING_DESCRIPTOR_TYPE:
      if (!stringDescriptor(d, LOBYTE(wValue), &desc)) return failure(ERROR_GEN_FAILURE);
      break;
    default: return failure(ERROR_GEN_FAILURE);  // the device stalls
  }
  size_t n = std::min<size_t>({desc.size(), wLength, outSize - header});
  Reply r;
  r.data.assign(in, in + header);
  r.data.insert(r.data.end(), desc.begin(), desc.begin() + n);
  return r;
}

Reply hubRequest(UsbBusHub& hub, DWORD code, const BYTE* in, DWORD inSize, DWORD outSize,
                 const UsbFault* fault) {
  if (code == IOCTL_USB_GET_NODE_INFORMATION) return nodeInformation(hub, outSize);
  size_t record;
  switch (code) {
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX:
      record = sizeof(USB_NODE_CONNECTION_INFORMATION_EX);
      break;
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
      record = sizeof(USB_NODE_CONNECTION_NAME);
      break;
    case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION:
      record = sizeof(USB_DESCRIPTOR_REQUEST);
      break;
    default:
      return failure(ERROR_INVALID_FUNCTION);
  }
  if (!in || inSize < record || outSize < record) return failure(ERROR_INSUFFICIENT_BUFFER);
  ULONG index = getLong(in);
  if (index == 0 || index > hub.ports.size()) return failure(ERROR_INVALID_PARAMETER);
  const UsbBusDevice* d = hub.ports[index - 1].device.get();
  if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION ||
      code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX) {
    return connectionInformation(d, index, code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX,
                                 outSize);
  }
  if (!d) return failure(ERROR_DEVICE_NOT_CONNECTED);
  bool unterminated = fault && fault->kind == UsbFault::kUnterminated;
  switch (code) {
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
      // Only a hub has a node name; for anything else the name is empty.
      return nameReply(d->hub ? d->hub->name : std::string(), 8, index, outSize, unterminated);
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
      if (d->driverKey.empty()) return failure(ERROR_FILE_NOT_FOUND);
      return nameReply(d->driverKey, 8, index, outSize, unterminated);
    default:
      return descriptorRequest(*d, in, outSize);
  }
}

// Where a name reply keeps ActualLength, or -1 for other requests.
int actualLengthOffset(DWORD code) {
  switch (code) {
    case IOCTL_GET_HCD_DRIVERKEY_NAME:
    case IOCTL_USB_GET_ROOT_HUB_NAME:
      return 0;
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
      return 4;
    default:
      return -1;
  }
}

void applyFault(const UsbFault& fault, DWORD code, Reply& r) {
  switch (fault.kind) {
    case UsbFault::kShortReply:
      if (r.data.size() > fault.value) r.data.resize(fault.value);
      break;
    case UsbFault::kActualLength: {
      int at = actualLengthOffset(code);
      if (at >= 0 && r.data.size() >= static_cast<size_t>(at) + 4) putLong(r.data, at, fault.value);
      break;
    }
    case UsbFault::kDescriptorLength:
      if (r.data.size() > sizeof(USB_DESCRIPTOR_REQUEST)) {
        r.data[sizeof(USB_DESCRIPTOR_REQUEST)] = static_cast<BYTE>(fault.value);
      }
      break;
    case UsbFault::kOpenPipes:
      if (r.data.size() >= 31) putLong(r.data, 27, fault.value);
      break;
    case UsbFault::kCorrupt:
      if ((fault.value >> 8) < r.data.size()) r.data[fault.value >> 8] = static_cast<BYTE>(fault.value);
      break;
    default:
      break;
  }
}

// One device file of the bus: a controller or a hub, looked up by name per request.
class BusFile : public FileObject {
 public:
  BusFile(std::shared_ptr<State> state, bool controller, unsigned number, std::string hubName)
      : state_(std::move(state)), controller_(controller), number_(number), hubName_(std::move(hubName)) {}

  BOOL deviceIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                       LPDWORD returned, LPOVERLAPPED overlapped) override {
    if (outSize && !out) return fail(ERROR_NOACCESS);
    std::lock_guard<std::mutex> guard(state_->lock);
    ++state_->counts[code];
    const UsbFault* fault = nullptr;
    UsbFault::Where here = controller_ ? UsbFault::kControllers : UsbFault::kHubs;
    for (UsbFault& f : state_->faults) {
      if (f.code != code || (f.where != UsbFault::kAnywhere && f.where != here)) continue;
      ++f.seen;
      if (f.nth == 0 || f.nth == f.seen) fault = &f;
    }
    if (fault && fault->kind == UsbFault::kFail) return fail(fault->value);

    Reply r;
    if (controller_) {
      auto hc = state_->controllers.find(number_);
      if (hc == state_->controllers.end()) return fail(ERROR_DEVICE_NOT_CONNECTED);
      r = controllerRequest(hc->second, code, outSize, fault);
    } else {
      UsbBusHub* hub = findHub(*state_, hubName_);
      if (!hub) return fail(ERROR_DEVICE_NOT_CONNECTED);
      r = hubRequest(*hub, code, static_cast<const BYTE*>(in), inSize, outSize, fault);
    }
    if (r.error) return fail(r.error);
    if (fault) applyFault(*fault, code, r);
    if (!r.data.empty()) std::memmove(out, r.data.data(), r.data.size());
    DWORD bytes = static_cast<DWORD>(r.data.size());
    if (returned) *returned = bytes;
    if (overlapped) {
      overlapped->Internal = STATUS_SUCCESS;
      overlapped->InternalHigh = bytes;
    }
    return TRUE;
  }

 private:
  static BOOL fail(DWORD error) {
    setLastError(error);
    return FALSE;
  }

  std::shared_ptr<State> state_;
  bool controller_;
  unsigned number_;
  std::string hubName_;
};

// "\\.\HCD12" -> 12; false for anything else.
bool controllerNumber(const std::string& device, unsigned* number) {
  if (device.size() < 4 || device.size() > 12 || !equalsIgnoreCase(device.substr(0, 3), "HCD")) return false;
  if (!std::all_of(device.begin() + 3, device.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  *number = static_cast<unsigned>(std::stoul(device.substr(3)));
  return true;
}

}  // namespace

std::u16string widen(const std::string& text) {
  std::u16string wide;
  for (unsigned char c : text) wide.push_back(cp1252ToWide(c));
  return wide;
}

namespace {

void addInterface(Bytes& b, BYTE number, BYTE cls, BYTE subClass, BYTE protocol,
                  const std::vector<UsbBusEndpoint>& endpoints) {
  b.insert(b.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, static_cast<BYTE>(endpoints.size()), cls,
                     subClass, protocol, 0});
  for (const UsbBusEndpoint& e : endpoints) {
    b.insert(b.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.type, LOBYTE(e.maxPacketSize),
                       HIBYTE(e.maxPacketSize), e.interval});
  }
}

}  // namespace

// A composite device's functions of several interfaces are each announced by an
// interface association descriptor right before their first interface, as Microsoft
// describes for the generic parent driver:
// https://learn.microsoft.com/windows-hardware/drivers/usbcon/usb-interface-association-descriptor
std::vector<BYTE> UsbBusDevice::configurationDescriptor() const {
  Bytes b = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50};
  if (functions.empty()) {
    addInterface(b, 0, interfaceClass, 0, 0, endpoints);
  } else {
    BYTE count = 0;
    for (const UsbBusFunction& f : functions) {
      const UsbBusInterface& first = f.interfaces.front();
      if (f.interfaces.size() > 1) {
        b.insert(b.end(), {8, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, first.number,
                           static_cast<BYTE>(f.interfaces.size()), first.interfaceClass, first.subClass,
                           first.protocol, 0});
      }
      for (const UsbBusInterface& i : f.interfaces) {
        addInterface(b, i.number, i.interfaceClass, i.subClass, i.protocol, i.endpoints);
        ++count;
      }
    }
    b[4] = count;
  }
  putWord(b, 2, static_cast<WORD>(b.size()));
  return b;
}

UsbBus::UsbBus(Kernel& kernel) : state_(std::make_shared<State>()) {
  std::weak_ptr<State> weak = state_;
  kernel.addDeviceResolver([weak](const std::string& path) -> std::shared_ptr<FileObject> {
    auto state = weak.lock();
    if (!state || path.compare(0, 4, "\\\\.\\") != 0) return nullptr;
    std::string device = path.substr(4);
    std::lock_guard<std::mutex> guard(state->lock);
    unsigned number = 0;
    if (controllerNumber(device, &number)) {
      if (!state->controllers.count(number)) return nullptr;
      return std::make_shared<BusFile>(state, true, number, std::string());
    }
    UsbBusHub* hub = findHub(*state, device);
    if (!hub) return nullptr;
    if (hub->openError) {
      setLastError(hub->openError);
      return nullptr;
    }
    return std::make_shared<BusFile>(state, false, 0, hub->name);
  });
}

UsbBus::~UsbBus() = default;

UsbBusController& UsbBus::addController(UsbBusController controller) {
  std::lock_guard<std::mutex> guard(state_->lock);
  USHORT address = 0;
  forEachDevice(controller.rootHub, [&](UsbBusDevice& d) { d.address = ++address; });
  unsigned number = controller.number;
  state_->controllers.erase(number);
  return state_->controllers.emplace(number, std::move(controller)).first->second;
}

void UsbBus::removeController(unsigned number) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->controllers.erase(number);
}

void UsbBus::addFault(UsbFault fault) {
  std::lock_guard<std::mutex> guard(state_->lock);
  fault.seen = 0;
  state_->faults.push_back(fault);
}

void UsbBus::clearFaults() {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->faults.clear();
}

int UsbBus::requestCount(DWORD code) const {
  std::lock_guard<std::mutex> guard(state_->lock);
  auto found = state_->counts.find(code);
  return found == state_->counts.end() ? 0 : found->second;
}

}  // namespace sim
