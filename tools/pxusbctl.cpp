#include "tools/pxusbctl.h"

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "app/Unit1.h"
#include "lib/pxusb.h"
#include "lib/pxusbpipe.h"
#include "platform/sim/description.h"

namespace {

const char kUsage[] =
    "usage: pxusbctl [--machine demo|FILE] COMMAND\n"
    "\n"
    "commands:\n"
    "  tree    the USB tree: host controllers, hubs, ports and attached devices\n"
    "  list    the USB devices with their pipes, numbered as the demo lists them\n"
    "  talk DEVICE --in P --out Q [--send TEXT] [--hex HEXBYTES] [--wait MS]\n"
    "          opens device DEVICE (its number in the list) with pipes P and Q (their\n"
    "          numbers below the device), sends TEXT and/or the bytes HEXBYTES\n"
    "          (\"48 69 0A\"), and prints each block that comes back within MS\n"
    "          milliseconds (default 1000) as a line of hex codes\n"
    "\n"
    "--machine: a simulated machine, the built-in \"demo\" or a machine description\n"
#ifdef _WIN32
    "(JSON); without it, the real USB devices.\n";
#else
    "(JSON); \"demo\" when not given.\n";
#endif

struct UsageError {
  std::string message;
};

std::optional<long> Number(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  long value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

long NumberArg(const std::string& option, const std::string& text) {
  auto value = Number(text);
  if (!value) throw UsageError{option + " needs a number, not \"" + text + "\""};
  return *value;
}

// "48 69 0A", "48:69:0a" or "48690A".
std::string HexBytes(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == ',') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw UsageError{"--hex: not a hex digit: " + text};
    digits += c;
  }
  if (digits.size() % 2) throw UsageError{"--hex: an odd number of hex digits: " + text};
  std::string bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
  return text;
}

std::string VidPid(const TpxUsbDevice& device) {
  return Hex4(device.IdVendor) + ":" + Hex4(device.IdProduct);
}

// ---- tree ------------------------------------------------------------------------

void Line(std::ostream& out, int level, const std::string& text) {
  out << std::string(static_cast<size_t>(level) * 2, ' ') << text << "\n";
}

void PrintHub(std::ostream& out, const TpxUsbHub& hub, int level) {
  Line(out, level, hub.Name);
  for (int p = 0; p < hub.PortCount(); ++p) {
    const TpxUsbPort& port = *hub.Ports(p);
    Line(out, level + 1, port.Description);
    for (int c = 0; c < port.ChildCount(); ++c) {
      const TpxUsbDevice& child = *port.Children(c);
      if (auto* attachedHub = dynamic_cast<const TpxUsbHub*>(&child)) {
        PrintHub(out, *attachedHub, level + 2);
      } else {
        Line(out, level + 2,
             child.Name + " [" + VidPid(child) + "]" + (child.Service.empty() ? "" : " (" + child.Service + ")"));
      }
    }
  }
}

int Tree(std::ostream& out) {
  TpxUSBManager& manager = USBManager();
  manager.Refresh();
  for (int h = 0; h < manager.HostCount(); ++h) {
    const TpxUsbHost& host = *manager.Hosts(h);
    Line(out, 0, host.Name);
    for (int i = 0; i < host.HubCount(); ++i) PrintHub(out, *host.Hubs(i), 1);
  }
  return 0;
}

// ---- list ------------------------------------------------------------------------

int List(std::ostream& out) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->LoadDevices();
  for (int i = 0; i < usb->DeviceCount(); ++i) {
    const auto& device = static_cast<const TpxUsbDevice&>(*usb->Devices(i));
    out << i << "\t" << device.Name << "\t" << VidPid(device) << "\t" << device.Service << "\t"
        << device.DevicePath << "\n";
    for (int p = 0; p < device.PipeCount(); ++p) {
      char address[8];
      std::snprintf(address, sizeof(address), "0x%02X", device.Pipes(p)->EndpointAddress());
      out << "  " << device.Pipes(p)->Description << "\t" << address << "\n";
    }
    if (!device.Volumes.empty()) out << "  Volumes: " << device.Volumes << "\n";
  }
  return 0;
}

// ---- talk ------------------------------------------------------------------------

struct TalkOptions {
  long device = -1;
  long pipeIn = -1;
  long pipeOut = -1;
  std::string data;
  long waitMs = 1000;
};

TalkOptions ParseTalk(const std::vector<std::string>& args, size_t at) {
  TalkOptions options;
  if (at >= args.size()) throw UsageError{"talk: which DEVICE?"};
  options.device = NumberArg("DEVICE", args[at++]);
  bool in = false, out = false;
  while (at < args.size()) {
    const std::string& option = args[at++];
    if (at >= args.size()) throw UsageError{option + " needs a value"};
    const std::string& value = args[at++];
    if (option == "--in") {
      options.pipeIn = NumberArg(option, value);
      in = true;
    } else if (option == "--out") {
      options.pipeOut = NumberArg(option, value);
      out = true;
    } else if (option == "--send") {
      options.data += value;
    } else if (option == "--hex") {
      options.data += HexBytes(value);
    } else if (option == "--wait") {
      options.waitMs = NumberArg(option, value);
    } else {
      throw UsageError{"talk: unknown option " + option};
    }
  }
  if (!in || !out) throw UsageError{"talk needs --in and --out"};
  return options;
}

// What the reader thread hands over.
class Blocks {
 public:
  void Received(TObject*, void* buffer, DWORD count) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      lines_.push_back(HexLine(buffer, count));
      bytes_ += count;
    }
    arrived_.notify_all();
  }
  // Waits until `bytes` have come, or `timeout` passed; then the lines so far.
  std::vector<std::string> Wait(size_t bytes, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    arrived_.wait_for(guard, timeout, [&] { return bytes > 0 && bytes_ >= bytes; });
    return lines_;
  }

 private:
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<std::string> lines_;
  size_t bytes_ = 0;
};

int Talk(const TalkOptions& options, std::ostream& out, std::ostream& err) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->LoadDevices();
  if (options.device >= usb->DeviceCount()) {
    err << "pxusbctl: no such device: " << options.device << " (" << usb->DeviceCount()
        << " listed)\n";
    return 1;
  }
  usb->SetDeviceIndex(static_cast<std::int32_t>(options.device));
  Blocks blocks;
  // The pair goes first, as the demo's form frees it.
  TOwned<TpxUSBPipePair> pair = MakeComponent<TpxUSBPipePair>(nullptr);
  pair->SetUsbDevice(usb.get());
  pair->SetTimeoutRead(100);
  pair->SetTimeoutWrite(100);
  pair->SetReadBufferSize(512);
  pair->OnAfterReceive = TOnReceived::Of<&Blocks::Received>(&blocks);
  usb->SetActive(true);
  pair->SetPipeIn(static_cast<std::int32_t>(options.pipeIn));
  pair->SetPipeOut(static_cast<std::int32_t>(options.pipeOut));
  pair->SetActive(true);
  std::string data = options.data;
  bool sent = data.empty() || pair->SendBuffer(&data[0], static_cast<DWORD>(data.size())) == data.size();
  if (!sent) err << "pxusbctl: the device did not take all of the data\n";
  for (const std::string& line : blocks.Wait(data.size(), std::chrono::milliseconds(options.waitMs))) {
    out << line << "\n";
  }
  out.flush();
  pair->SetActive(false);
  usb->SetActive(false);
  return sent ? 0 : 1;
}

// The machine the commands run on, for the command's lifetime.
class Machine {
 public:
  explicit Machine(const std::string& name) {
#ifdef _WIN32
    if (!name.empty()) machine_ = sim::loadMachine(name, sim::SimMachine::kHosted);
#else
    machine_ = sim::loadMachine(name.empty() ? "demo" : name);
#endif
  }

 private:
  std::unique_ptr<sim::DescribedMachine> machine_;
};

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  size_t at = 0;
  std::string machineName;
  if (at < args.size() && (args[at] == "--help" || args[at] == "-h")) {
    out << kUsage;
    return 0;
  }
  if (at < args.size() && args[at] == "--machine") {
    if (++at >= args.size()) throw UsageError{"--machine needs demo or a file"};
    machineName = args[at++];
  }
  if (at >= args.size()) throw UsageError{"which command?"};
  const std::string& command = args[at++];
  std::optional<TalkOptions> talk;
  if (command == "talk") {
    talk = ParseTalk(args, at);
  } else if ((command != "tree" && command != "list") || at != args.size()) {
    throw UsageError{"unknown command or extra arguments: " + command};
  }
  Machine machine(machineName);
  if (talk) return Talk(*talk, out, err);
  return command == "tree" ? Tree(out) : List(out);
}

}  // namespace

int RunPxusbctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    return Run(args, out, err);
  } catch (const UsageError& error) {
    err << "pxusbctl: " << error.message << "\n" << kUsage;
    return 2;
  } catch (const std::exception& error) {
    err << "pxusbctl: " << error.what() << "\n";
    return 1;
  }
}
