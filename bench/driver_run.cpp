// Throughput on the Wine-loaded pxusb driver's stream device at full rate, with 1, 2, 4
// and 8 reads in flight: TpxUSBPipePair (ReadsInFlight = depth) against a bare loop of
// overlapped DeviceIoControl reads of the same depth, in the same run, through the same
// hosted machine. Each is measured three times, alternating; the median counts.
//   driver_run [MEGABYTES] [READ_SIZE]       (the driver must be running: scripts/bench)
// Prints one line per depth and a last line with the ratios.
//   driver_run MEGABYTES READ_SIZE pair|bare DEPTH
// reads once with the one way, for scripts/bench to count the CPU time it takes.
#include <algorithm>
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

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Bytes per second of `bytes` read with `depth` overlapped requests kept queued.
double BareLoop(int depth, DWORD size, unsigned long long bytes) {
  HANDLE file = win::CreateFileA(kStream, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
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
  auto start = Clock::now();
  unsigned long long done = 0;
  bool ok = true;
  for (int i = 0; i < depth; ++i) ok = ok && issue(i);
  for (int i = 0; ok && done < bytes; i = (i + 1) % depth) {
    DWORD count = 0;
    // The event first, as the access layer waits: a request that is done is then only
    // collected.
    ok = win::WaitForSingleObject(records[i].hEvent, INFINITE) == WAIT_OBJECT_0 &&
         win::GetOverlappedResult(file, &records[i], &count, TRUE) && count > 0;
    done += count;
    if (ok && done < bytes) ok = issue(i);
  }
  double rate = ok ? static_cast<double>(done) / Seconds(start) : 0;
  win::CancelIo(file);
  for (OVERLAPPED& r : records) {
    DWORD count = 0;
    win::GetOverlappedResult(file, &r, &count, TRUE);
    win::CloseHandle(r.hEvent);
  }
  win::CloseHandle(file);
  return rate;
}

class Delivered {
 public:
  explicit Delivered(unsigned long long bytes) : awaited_(bytes) {}
  void Received(TObject*, void*, DWORD count) {
    std::lock_guard<std::mutex> guard(lock_);
    if ((bytes_ += count) >= awaited_) changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::minutes(2), [&] { return bytes_ >= awaited_; });
  }
  unsigned long long Bytes() {
    std::lock_guard<std::mutex> guard(lock_);
    return bytes_;
  }

 private:
  unsigned long long awaited_;
  unsigned long long bytes_ = 0;
  std::mutex lock_;
  std::condition_variable changed_;
};

double PipePair(TpxUSB& usb, int depth, DWORD size, unsigned long long bytes) {
  auto pair = MakeComponent<TpxUSBPipePair>(nullptr);
  Delivered delivered(bytes);
  pair->SetUsbDevice(&usb);
  pair->SetPipeIn(0);
  pair->SetReadBufferSize(size);
  pair->SetReadsInFlight(static_cast<DWORD>(depth));
  pair->OnAfterReceive = TOnReceived::Of<&Delivered::Received>(&delivered);
  usb.SetActive(true);
  auto start = Clock::now();
  pair->SetActive(true);
  bool ok = pair->GetActive() && delivered.Wait();
  double rate = ok ? static_cast<double>(delivered.Bytes()) / Seconds(start) : 0;
  pair->SetActive(false);
  usb.SetActive(false);
  return rate;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long long bytes = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 32) << 20;
  auto size = static_cast<DWORD>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 64 * 1024);
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
  if (argc > 4) {
    int depth = std::atoi(argv[4]);
    double rate = std::string(argv[3]) == "pair" ? PipePair(*usb, depth, size, bytes) : BareLoop(depth, size, bytes);
    std::printf("%s depth %d: %.1f MB/s\n", argv[3], depth, rate / 1e6);
    return rate > 0 ? 0 : 1;
  }
  std::printf("P6: %llu MiB per measurement, reads of %u bytes\n", bytes >> 20, size);
  std::vector<double> pairRates;
  for (int depth : {1, 2, 4, 8}) {
    std::vector<double> bare, pair;
    for (int round = 0; round < 3; ++round) {
      bare.push_back(BareLoop(depth, size, bytes));
      pair.push_back(PipePair(*usb, depth, size, bytes));
    }
    double b = Median(bare), p = Median(pair);
    pairRates.push_back(p);
    std::printf("P6 depth %d: pair %.1f MB/s, bare %.1f MB/s, pair/bare %.3f\n", depth, p / 1e6, b / 1e6,
                b > 0 ? p / b : 0);
  }
  std::printf("P6 pair depth 4 / depth 1: %.3f\n", pairRates[0] > 0 ? pairRates[2] / pairRates[0] : 0);
  return 0;
}
