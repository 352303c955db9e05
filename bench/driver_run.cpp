// Throughput on the Wine-loaded pxusb driver's stream device at full rate, read one way
// with `depth` reads in flight: TpxUSBPipePair (ReadsInFlight = depth), or a bare loop of
// overlapped DeviceIoControl reads of the same depth, through the same hosted machine.
// scripts/bench runs each way in a fresh process, alternating, and compares the medians.
//   driver_run MEGABYTES READ_SIZE pair|bare DEPTH     (the driver must be running)
// The rate counts from the first block on: a run's set-up weighs in neither way.
//   driver_run texts
// prints the time one debugger text takes (the binding writes two per pending request).
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "driver/pxusbwire.h"
#include "lib/pxusb.h"
#include "lib/pxusbpipe.h"
#include "platform/sim/description.h"

namespace {

constexpr char kStream[] = "\\\\.\\USB#VID_2F1A&PID_0103#ST1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char kDescription[] = R"({"controllers": [{"number": 0, "rootHub": {"ports": 1, "attach": {"1": {
  "vid": "0x2F1A", "pid": "0x0103", "strings": ["Northwind Instruments", "ST1"], "iManufacturer": 1,
  "iSerialNumber": 2, "service": "pxusb", "realDevice": "\\\\.\\PxusbStream",
  "endpoints": [{"address": "0x82", "maxPacket": 512}, {"address": "0x01", "maxPacket": 512}]}}}}]})";

using Clock = std::chrono::steady_clock;

std::uint64_t Ticks(const FILETIME& t) { return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

// The machine's idle and total time of all cores so far, in 100-ns units.
std::pair<std::uint64_t, std::uint64_t> CoreTimes() {
  FILETIME idle{}, kernel{}, user{};
  GetSystemTimes(&idle, &kernel, &user);  // kernel time includes idle time
  return {Ticks(idle), Ticks(kernel) + Ticks(user)};
}

// Counts delivered bytes and the time they took after the first block, and how idle
// the machine's cores were meanwhile.
class Delivered {
 public:
  explicit Delivered(unsigned long long bytes) : awaited_(bytes) {}
  void Received(TObject*, void*, DWORD count) {
    std::lock_guard<std::mutex> guard(lock_);
    if (bytes_ == 0) {
      first_ = Clock::now();
      firstBytes_ = count;
      firstCores_ = CoreTimes();
    }
    last_ = Clock::now();
    if ((bytes_ += count) >= awaited_) {
      lastCores_ = CoreTimes();
      changed_.notify_all();
    }
  }
  bool Wait() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::minutes(2), [&] { return bytes_ >= awaited_; });
  }
  bool Done() {
    std::lock_guard<std::mutex> guard(lock_);
    return bytes_ >= awaited_;
  }
  double Rate() {
    std::lock_guard<std::mutex> guard(lock_);
    double seconds = std::chrono::duration<double>(last_ - first_).count();
    return seconds > 0 ? static_cast<double>(bytes_ - firstBytes_) / seconds : 0;
  }
  double IdlePercent() {
    std::lock_guard<std::mutex> guard(lock_);
    auto total = lastCores_.second - firstCores_.second;
    return total ? 100.0 * static_cast<double>(lastCores_.first - firstCores_.first) / static_cast<double>(total) : 0;
  }

 private:
  unsigned long long awaited_;
  unsigned long long bytes_ = 0, firstBytes_ = 0;
  Clock::time_point first_, last_;
  std::pair<std::uint64_t, std::uint64_t> firstCores_, lastCores_;
  std::mutex lock_;
  std::condition_variable changed_;
};

// Reads until `delivered` has its bytes, with `depth` overlapped requests kept queued.
bool BareLoop(int depth, DWORD size, Delivered& delivered) {
  HANDLE file = win::CreateFileA(kStream, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  PXUSB_RECORD record{0, 0, {PXUSBDRV_PIPE_IN}, 0, 0, 0, 0};
  std::vector<std::vector<BYTE>> buffers(depth, std::vector<BYTE>(size));
  std::vector<OVERLAPPED> records(depth);
  auto issue = [&](int i) {
    DWORD returned = 0;
    return win::DeviceIoControl(file, IOCTL_PXUSB_READ_PIPE, &record, sizeof record, buffers[i].data(), size,
                                &returned, &records[i]) ||
           win::GetLastError() == ERROR_IO_PENDING;
  };
  // Auto-reset, as the access layer's: the wait takes the signal, no reset is needed.
  for (OVERLAPPED& r : records) r.hEvent = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  bool ok = true;
  for (int i = 0; i < depth; ++i) ok = ok && issue(i);
  for (int i = 0; ok && !delivered.Done(); i = (i + 1) % depth) {
    DWORD count = 0;
    // The event first, as the access layer waits: a request that is done is then only
    // collected.
    ok = win::WaitForSingleObject(records[i].hEvent, INFINITE) == WAIT_OBJECT_0 &&
         win::GetOverlappedResult(file, &records[i], &count, TRUE) && count > 0;
    if (ok) delivered.Received(nullptr, nullptr, count);
    if (ok && !delivered.Done()) ok = issue(i);
  }
  win::CancelIo(file);
  for (OVERLAPPED& r : records) {
    DWORD count = 0;
    win::GetOverlappedResult(file, &r, &count, TRUE);
    win::CloseHandle(r.hEvent);
  }
  win::CloseHandle(file);
  return ok;
}

bool PipePair(TpxUSB& usb, int depth, DWORD size, Delivered& delivered) {
  auto pair = MakeComponent<TpxUSBPipePair>(nullptr);
  pair->SetUsbDevice(&usb);
  pair->SetPipeIn(0);
  pair->SetReadBufferSize(size);
  pair->SetReadsInFlight(static_cast<DWORD>(depth));
  pair->OnAfterReceive = TOnReceived::Of<&Delivered::Received>(&delivered);
  usb.SetActive(true);
  pair->SetActive(true);
  bool ok = pair->GetActive() && delivered.Wait();
  pair->SetActive(false);
  usb.SetActive(false);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "texts") {
    constexpr int kTexts = 10000;
    auto start = Clock::now();
    for (int i = 0; i < kTexts; ++i) win::OutputDebugStringA("ERROR_IO_PENDING ...");
    std::printf("one debugger text: %.1f us\n", std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kTexts);
    return 0;
  }
  if (argc != 5) {
    std::fprintf(stderr, "usage: driver_run MEGABYTES READ_SIZE pair|bare DEPTH | driver_run texts\n");
    return 2;
  }
  unsigned long long bytes = std::strtoull(argv[1], nullptr, 10) << 20;
  auto size = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
  int depth = std::atoi(argv[4]);
  std::string file = std::string(std::getenv("TEMP") ? std::getenv("TEMP") : ".") + "\\pxusb-bench-machine.json";
  std::ofstream(file) << kDescription;
  auto machine = sim::loadMachine(file, sim::SimMachine::kHosted);
  std::remove(file.c_str());
  auto usb = MakeComponent<TpxUSB>(nullptr);
  usb->GetDevices(nullptr);
  if (usb->DeviceCount() != 1) {
    std::fprintf(stderr, "driver_run: the stream device is not listed\n");
    return 1;
  }
  usb->SetDeviceIndex(0);
  Delivered delivered(bytes);
  bool ok = std::string(argv[3]) == "pair" ? PipePair(*usb, depth, size, delivered) : BareLoop(depth, size, delivered);
  if (!ok) return 1;
  std::printf("%s depth %d: %.1f MB/s, cores idle %.0f %%\n", argv[3], depth, delivered.Rate() / 1e6,
              delivered.IdlePercent());
  return 0;
}
