#include "tools/pxusbctl.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "app/Unit1.h"
#include "framework/controls.h"
#include "lib/pxusb.h"
#include "lib/pxusbpipe.h"
#include "platform/sim/description.h"
#include "tools/describe.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---- commands and their options ---------------------------------------------------

const char kUsage[] =
    "usage: pxusbctl [--machine demo|FILE] COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  tree    the USB tree: host controllers, hubs, ports and attached devices\n"
    "  list    the USB devices with their pipes, numbered as the demo lists them\n"
    "  talk    talk to a device through an IN and an OUT pipe\n"
    "  watch   print devices arriving and leaving, with the list after each change\n"
    "\n"
    "pxusbctl COMMAND --help tells more of each.\n"
    "--machine: a simulated machine, the built-in \"demo\" or a machine description\n"
#ifdef _WIN32
    "(JSON); without it, the real USB devices.\n";
#else
    "(JSON); \"demo\" when not given.\n";
#endif

const char kListFilters[] =
    "  --descriptors  name devices without a driver from their string descriptors\n"
    "  --vid HEX, --pid HEX  only devices of this vendor / product (0 or absent: all)\n";

struct Command {
  const char* name;
  const char* help;
  std::vector<std::string> flags;    // options without a value
  std::vector<std::string> options;  // options with a value
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"tree",
       "usage: pxusbctl tree [-v] [--json] [--descriptors]\n"
       "The USB tree as the manager builds it: host controllers, root hubs, ports and\n"
       "what each holds.\n"
       "  -v      each device's speed, USB version, release, class, driver, keys, names,\n"
       "          string descriptors and pipes\n"
       "  --json  the whole tree with every detail as JSON (see the README)\n"
       "  --descriptors  name devices without a driver from their string descriptors\n",
       {"-v", "--json", "--descriptors"},
       {}},
      {"list", nullptr, {"-v", "--json", "--descriptors"}, {"--vid", "--pid"}},
      {"talk",
       "usage: pxusbctl talk DEVICE --in P --out Q [--send TEXT] [--hex HEXBYTES]\n"
       "                     [--wait MS] [--show text|hex] [--descriptors] [--vid HEX] [--pid HEX]\n"
       "Opens device DEVICE (its number in the list) and reads its IN pipe P while writing\n"
       "its OUT pipe Q (pipe numbers as the list shows them below the device).\n"
       "  --send TEXT, --hex HEXBYTES (\"48 69 0A\")  send these once, print each block that\n"
       "          comes back within MS milliseconds (--wait, default 1000), then end\n"
       "  without them: what standard input brings goes out as it comes, what comes in\n"
       "          goes to standard output, until the input ends (then MS more\n"
       "          milliseconds), Ctrl+C, or the device leaving\n"
       "  --show  incoming data as it is (text; the default when talking) or as hex lines\n"
       "          (hex; the default with --send / --hex)\n"
       "exit code: 0 the input or the one-shot ended, 1 failure, 2 usage error,\n"
       "           3 the device left, 130 Ctrl+C\n",
       {"--descriptors"},
       {"--in", "--out", "--send", "--hex", "--wait", "--show", "--vid", "--pid"}},
      {"watch",
       "usage: pxusbctl watch [--for MS] [--count N] [--descriptors] [--vid HEX] [--pid HEX]\n"
       "Prints the device list, then each device that arrives (once its driver has\n"
       "started) or leaves as it happens (\"arrived: ...\", \"removed: ...\") with the\n"
       "list after it, until Ctrl+C, MS\n"
       "milliseconds (--for), or N arrivals and removals (--count).\n",
       {"--descriptors"},
       {"--for", "--count", "--vid", "--pid"}},
  };
  return commands;
}

std::string ListHelp() {
  return std::string(
             "usage: pxusbctl list [-v] [--json] [--descriptors] [--vid HEX] [--pid HEX]\n"
             "The USB devices as the USB component lists them (hubs excepted), numbered from 0,\n"
             "each with its pipes (numbered from 0) and drive letters.\n"
             "  -v      each device's speed, USB version, release, class, driver, keys, names,\n"
             "          string descriptors and pipes with type, packet size and interval\n"
             "  --json  the list with every detail as JSON (see the README)\n") +
         kListFilters;
}

std::string HelpOf(const Command& command) { return command.help ? command.help : ListHelp(); }

struct UsageError {
  std::string message;
  std::string usage = kUsage;
};

struct Options {
  std::string machine;
  const Command* command = nullptr;
  std::map<std::string, std::string> values;
  std::vector<std::string> flags;
  std::optional<std::string> device;  // talk's DEVICE

  bool Has(const std::string& option) const {
    return values.count(option) || std::find(flags.begin(), flags.end(), option) != flags.end();
  }
  std::string Value(const std::string& option, const std::string& fallback = "") const {
    auto it = values.find(option);
    return it == values.end() ? fallback : it->second;
  }
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

long NumberArg(const Options& o, const std::string& option, const std::string& text) {
  auto value = Number(text);
  if (!value) throw UsageError{option + " needs a number, not \"" + text + "\"", HelpOf(*o.command)};
  return *value;
}

// A vendor or product ID: hexadecimal, with or without 0x, up to FFFF.
DWORD UsbId(const Options& o, const std::string& option) {
  std::string text = o.Value(option, "0");
  std::string digits = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? text.substr(2) : text;
  bool hex = !digits.empty() && digits.size() <= 4 &&
             std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  if (!hex) throw UsageError{option + " needs a hexadecimal ID from 0 to FFFF, not \"" + text + "\"", HelpOf(*o.command)};
  return static_cast<DWORD>(std::stoul(digits, nullptr, 16));
}

// "48 69 0A", "48:69:0a" or "48690A".
std::string HexBytes(const Options& o, const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == ',') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw UsageError{"--hex: not a hex digit: " + text, HelpOf(*o.command)};
    digits += c;
  }
  if (digits.size() % 2) throw UsageError{"--hex: an odd number of hex digits: " + text, HelpOf(*o.command)};
  std::string bytes;
  for (size_t i = 0; i < digits.size(); i += 2) bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  return bytes;
}

// Returns no options when help was asked for (and printed).
std::optional<Options> Parse(const std::vector<std::string>& args, std::ostream& out) {
  Options o;
  size_t at = 0;
  if (at < args.size() && (args[at] == "--help" || args[at] == "-h")) {
    out << kUsage;
    return std::nullopt;
  }
  if (at < args.size() && args[at] == "--machine") {
    if (++at >= args.size()) throw UsageError{"--machine needs demo or a file"};
    o.machine = args[at++];
  }
  if (at >= args.size()) throw UsageError{"which command?"};
  for (const Command& c : Commands()) {
    if (args[at] == c.name) o.command = &c;
  }
  if (!o.command) throw UsageError{"unknown command: " + args[at]};
  const Command& c = *o.command;
  for (++at; at < args.size(); ++at) {
    const std::string& arg = args[at];
    auto among = [&](const std::vector<std::string>& list) { return std::find(list.begin(), list.end(), arg) != list.end(); };
    if (arg == "--help" || arg == "-h") {
      out << HelpOf(c);
      return std::nullopt;
    }
    if (o.Has(arg)) throw UsageError{arg + " given twice", HelpOf(c)};
    if (among(c.flags)) {
      o.flags.push_back(arg);
    } else if (among(c.options)) {
      if (at + 1 >= args.size()) throw UsageError{arg + " needs a value", HelpOf(c)};
      o.values[arg] = args[++at];
    } else if (std::string(c.name) == "talk" && !o.device && arg.compare(0, 1, "-") != 0) {
      o.device = arg;
    } else {
      throw UsageError{std::string(c.name) + ": unknown option or extra argument " + arg, HelpOf(c)};
    }
  }
  return o;
}

// ---- the machine ------------------------------------------------------------------

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
  // Its hot-plug timeline runs from here on.
  void Start() {
    if (machine_) machine_->timeline().start();
  }

 private:
  std::unique_ptr<sim::DescribedMachine> machine_;
};

TOwned<TpxUSB> LoadedUsb(const Options& o) {
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  usb->SetRequestDescriptors(o.Has("--descriptors"));
  usb->SetIdVendor(UsbId(o, "--vid"));
  usb->SetIdProduct(UsbId(o, "--pid"));
  usb->LoadDevices();
  return usb;
}

// ---- waiting on the window messages, stopped by Ctrl+C ----------------------------

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) { g_interrupted = true; }

class InterruptHandler {
 public:
  InterruptHandler() : previous_(std::signal(SIGINT, &OnInterrupt)) { g_interrupted = false; }
  ~InterruptHandler() { std::signal(SIGINT, previous_); }
  bool Interrupted() const { return g_interrupted; }

 private:
  void (*previous_)(int);
};

// Handles the messages there are, after waiting up to `most` for one (Ctrl+C is seen
// within a tenth of a second).
void Pump(milliseconds most) {
  DWORD wait = static_cast<DWORD>(std::max<long long>(0, std::min<long long>(most.count(), 100)));
  win::MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
  MSG msg;
  while (win::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    win::TranslateMessage(&msg);
    win::DispatchMessageA(&msg);
  }
}

// A hidden top-level window that hands WM_DEVICECHANGE to the USB component, as the
// demo's form does: the list reloads, the same position stays selected.
class DeviceChanges {
 public:
  DeviceChanges(TpxUSB& usb, std::function<void()> changed)
      : usb_(usb), changed_(std::move(changed)), window_(AllocateHWnd(TWndMethod::Of<&DeviceChanges::WndProc>(this))) {}
  ~DeviceChanges() { DeallocateHWnd(window_); }
  HWND Handle() const { return window_; }

 private:
  void WndProc(TMessage& message) {
    if (message.Msg != WM_DEVICECHANGE) {
      message.Result = win::DefWindowProcA(window_, message.Msg, message.WParam, message.LParam);
      return;
    }
    std::int32_t index = usb_.GetDeviceIndex();
    bool reloaded = usb_.DeviceChange(message);
    usb_.SetDeviceIndex(index);
    message.Result = TRUE;
    if (reloaded) changed_();
  }

  TpxUSB& usb_;
  std::function<void()> changed_;
  HWND window_;
};

// What identifies a listed device across reloads.
std::string Identity(const TpxDevice& device) {
  return !device.InstanceId.empty() ? device.InstanceId : !device.DevicePath.empty() ? device.DevicePath : device.Name;
}

// ---- talk -------------------------------------------------------------------------

// Prints what the reader thread hands over, as it comes.
class Incoming {
 public:
  Incoming(std::ostream& out, bool hex) : out_(out), hex_(hex) {}
  void Received(TObject*, void* buffer, DWORD count) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (hex_) {
        out_ << HexLine(buffer, count) << "\n";
      } else {
        out_.write(static_cast<const char*>(buffer), count);
      }
      out_.flush();
      bytes_ += count;
    }
    arrived_.notify_all();
  }
  // Waits until `bytes` have come in all, or `timeout` passed.
  void Wait(size_t bytes, milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    arrived_.wait_for(guard, timeout, [&] { return bytes > 0 && bytes_ >= bytes; });
  }

 private:
  std::ostream& out_;
  bool hex_;
  std::mutex lock_;
  std::condition_variable arrived_;
  size_t bytes_ = 0;
};

// Standard input, read on a thread of its own so the session goes on while it waits
// for the user; each piece that comes wakes the session's window.
class Input {
 public:
  Input(std::istream& in, HWND wake) : shared_(std::make_shared<Shared>()) {
    shared_->wake = wake;
    thread_ = std::thread([&in, shared = shared_] {
      for (char c; in.get(c);) {
        std::string piece(1, c);
        char more[4096];
        for (std::streamsize n; (n = in.readsome(more, sizeof more)) > 0;) piece.append(more, static_cast<size_t>(n));
        std::lock_guard<std::mutex> guard(shared->lock);
        shared->pending += piece;
        if (shared->wake) win::PostMessageA(shared->wake, WM_NULL, 0, 0);
      }
      std::lock_guard<std::mutex> guard(shared->lock);
      shared->ended = true;
      if (shared->wake) win::PostMessageA(shared->wake, WM_NULL, 0, 0);
    });
  }
  ~Input() {
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->wake = nullptr;
    // A terminal still open may keep its reader waiting until the process ends.
    if (shared_->ended) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }
  // What came since the last call; false once the input is over and all was taken.
  bool Take(std::string& piece) {
    std::lock_guard<std::mutex> guard(shared_->lock);
    piece.swap(shared_->pending);
    shared_->pending.clear();
    return !piece.empty() || !shared_->ended;
  }

 private:
  struct Shared {
    std::mutex lock;
    std::string pending;
    bool ended = false;
    HWND wake = nullptr;
  };
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

enum TalkEnd { kInputEnded = 0, kFailed = 1, kDeviceLeft = 3, kInterrupted = 130 };

struct Pipes {
  long in;
  long out;
};

// Pipes P (IN) and Q (OUT) of the device, checked.
void CheckPipes(const Pipes& pipes, const TpxUsbDevice& device, long index) {
  auto check = [&](long pipe, bool in) {
    std::string name = "device " + std::to_string(index);
    if (pipe >= device.PipeCount()) {
      throw std::runtime_error(name + " has no pipe " + std::to_string(pipe) + " (" +
                               std::to_string(device.PipeCount()) + " pipes)");
    }
    if (device.Pipes(pipe)->IsIn() != in) {
      throw std::runtime_error("pipe " + std::to_string(pipe) + " of " + name + " is an " + (in ? "OUT" : "IN") +
                               " pipe; " + (in ? "--in" : "--out") + " needs an " + (in ? "IN" : "OUT") + " pipe");
    }
  };
  check(pipes.in, true);
  check(pipes.out, false);
}

int Talk(const Options& o, Machine& machine, std::istream& in, std::ostream& out, std::ostream& err) {
  if (!o.device) throw UsageError{"talk: which DEVICE?", HelpOf(*o.command)};
  long index = NumberArg(o, "DEVICE", *o.device);
  if (!o.Has("--in") || !o.Has("--out")) throw UsageError{"talk needs --in and --out", HelpOf(*o.command)};
  Pipes pipes{NumberArg(o, "--in", o.Value("--in")), NumberArg(o, "--out", o.Value("--out"))};
  std::string data;
  if (o.Has("--send")) data += o.Value("--send");
  if (o.Has("--hex")) data += HexBytes(o, o.Value("--hex"));
  bool oneShot = o.Has("--send") || o.Has("--hex");
  milliseconds wait(NumberArg(o, "--wait", o.Value("--wait", "1000")));
  std::string show = o.Value("--show", oneShot ? "hex" : "text");
  if (show != "text" && show != "hex") throw UsageError{"--show takes text or hex", HelpOf(*o.command)};

  TOwned<TpxUSB> usb = LoadedUsb(o);
  if (index >= usb->DeviceCount()) {
    err << "pxusbctl: no such device: " << index << " (" << usb->DeviceCount() << " listed)\n";
    return kFailed;
  }
  usb->SetDeviceIndex(static_cast<std::int32_t>(index));
  CheckPipes(pipes, *usb->SelectedDevice(), index);
  std::string identity = Identity(*usb->SelectedDevice());
  Incoming incoming(out, show == "hex");
  // The pair goes first, as the demo's form frees it.
  TOwned<TpxUSBPipePair> pair = MakeComponent<TpxUSBPipePair>(nullptr);
  pair->SetUsbDevice(usb.get());
  pair->SetTimeoutRead(100);
  pair->SetTimeoutWrite(100);
  pair->SetReadBufferSize(512);
  pair->OnAfterReceive = TOnReceived::Of<&Incoming::Received>(&incoming);
  usb->SetPipes(static_cast<std::int32_t>(pipes.in), static_cast<std::int32_t>(pipes.out));
  usb->SetActive(true);
  pair->SetPipeIn(static_cast<std::int32_t>(pipes.in));
  pair->SetPipeOut(static_cast<std::int32_t>(pipes.out));
  pair->SetActive(true);
  auto send = [&](std::string& bytes) {
    bool sent = bytes.empty() || pair->SendBuffer(&bytes[0], static_cast<DWORD>(bytes.size())) == bytes.size();
    if (!sent) err << "pxusbctl: the device did not take all of the data\n";
    return sent;
  };

  TalkEnd end = kInputEnded;
  if (oneShot) {
    if (!send(data)) end = kFailed;
    incoming.Wait(data.size(), wait);
  } else {
    bool left = false;
    DeviceChanges changes(*usb, [&] {
      left = true;
      for (int i = 0; i < usb->DeviceCount(); ++i) left = left && Identity(*usb->Devices(i)) != identity;
    });
    InterruptHandler interrupt;
    Input input(in, changes.Handle());
    machine.Start();
    std::optional<Clock::time_point> over;
    for (std::string piece;;) {
      bool more = input.Take(piece);
      if (!send(piece)) {
        end = kFailed;
        break;
      }
      if (!more && !over) over = Clock::now() + wait;
      if (left || interrupt.Interrupted() || (over && Clock::now() >= *over)) {
        end = left ? kDeviceLeft : interrupt.Interrupted() ? kInterrupted : kInputEnded;
        break;
      }
      Pump(over ? std::chrono::duration_cast<milliseconds>(*over - Clock::now()) : milliseconds(100));
    }
    if (end == kDeviceLeft) err << "pxusbctl: the device left\n";
  }
  pair->SetActive(false);
  usb->SetActive(false);
  return end;
}

// ---- watch ------------------------------------------------------------------------

struct Entry {
  std::string identity;
  std::string line;
  // Its driver has started (it has a record): a device listed while it still arrives
  // is not an arrival yet, nor its renaming once started a removal.
  bool ready;
};
using Listing = std::vector<Entry>;

Listing ListingOf(const TpxUSB& usb) {
  Listing listing;
  for (int i = 0; i < usb.DeviceCount(); ++i) {
    const auto& device = static_cast<const TpxUsbDevice&>(*usb.Devices(i));
    listing.push_back({Identity(device), DeviceLine(device), !device.KeyName.empty()});
  }
  return listing;
}

void PrintListing(std::ostream& out, const Listing& listing) {
  out << "devices:\n";
  for (size_t i = 0; i < listing.size(); ++i) out << "  " << i << "\t" << listing[i].line << "\n";
  out.flush();
}

// The ready entries of `from` that `in` lacks, each printed after `label`; how many.
long PrintMissing(std::ostream& out, const char* label, const Listing& from, const Listing& in) {
  long count = 0;
  for (const Entry& entry : from) {
    bool there = std::any_of(in.begin(), in.end(), [&](const Entry& e) { return e.ready && e.identity == entry.identity; });
    if (!entry.ready || there) continue;
    out << label << entry.line << "\n";
    ++count;
  }
  return count;
}

int Watch(const Options& o, Machine& machine, std::ostream& out) {
  std::optional<milliseconds> lasting;
  if (o.Has("--for")) lasting = milliseconds(NumberArg(o, "--for", o.Value("--for")));
  std::optional<long> count;
  if (o.Has("--count")) count = NumberArg(o, "--count", o.Value("--count"));
  TOwned<TpxUSB> usb = LoadedUsb(o);
  Listing listing = ListingOf(*usb);
  PrintListing(out, listing);
  long changes = 0;
  DeviceChanges watch(*usb, [&] {
    Listing now = ListingOf(*usb);
    long seen = PrintMissing(out, "removed: ", listing, now) + PrintMissing(out, "arrived: ", now, listing);
    if (seen) PrintListing(out, now);
    changes += seen;
    listing = std::move(now);
  });
  InterruptHandler interrupt;
  machine.Start();
  Clock::time_point end = lasting ? Clock::now() + *lasting : Clock::time_point::max();
  while (!interrupt.Interrupted() && Clock::now() < end && !(count && changes >= *count)) {
    Pump(lasting ? std::chrono::duration_cast<milliseconds>(end - Clock::now()) : milliseconds(100));
  }
  return 0;
}

// ---- the program ------------------------------------------------------------------

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  std::optional<Options> o = Parse(args, out);
  if (!o) return 0;
  std::string name = o->command->name;
  // The options that need no machine are checked before one is built.
  if (name != "tree") {
    UsbId(*o, "--vid");
    UsbId(*o, "--pid");
  }
  if (o->Has("-v") && o->Has("--json")) throw UsageError{"-v or --json, not both", HelpOf(*o->command)};
  Machine machine(o->machine);
  bool json = o->Has("--json");
  bool verbose = o->Has("-v");
  if (name == "tree") {
    USBManager().RequestDescriptors = o->Has("--descriptors");
    if (json) {
      PrintTreeJson(out);
    } else {
      PrintTree(out, verbose);
    }
    return 0;
  }
  if (name == "list") {
    TOwned<TpxUSB> usb = LoadedUsb(*o);
    if (json) {
      PrintListJson(out, *usb);
    } else {
      PrintList(out, *usb, verbose);
    }
    return 0;
  }
  if (name == "talk") return Talk(*o, machine, in, out, err);
  return Watch(*o, machine, out);
}

}  // namespace

int RunPxusbctl(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  try {
    return Run(args, in, out, err);
  } catch (const UsageError& error) {
    err << "pxusbctl: " << error.message << "\n" << error.usage;
    return 2;
  } catch (const std::exception& error) {
    err << "pxusbctl: " << error.what() << "\n";
    return 1;
  }
}
