// How the device list's load time grows with the number of devices: TpxUSB's
// LoadDevices (the manager's Refresh and the list built from the tree) on machines of
// 50 to 500 devices behind hubs. The figure printed at the end is
// time(500) / (10 x time(50)), 1.0 for a load that grows linearly, in CPU time (the
// load runs on one thread; CPU time is what other processes on the machine do not
// disturb); then the heap in
// use after 10, 100 and 1000 loads of the 50-device machine, which must not grow.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <map>
#include <string>

#include "lib/pxusb.h"
#include "platform/sim/description.h"

namespace {

constexpr int kDevicesPerHub = 50;

// Controller 0 with one external hub per 50 devices on its root hub; every device
// has a driver, two pipes and three strings.
std::string MachineOf(int devices) {
  int hubs = (devices + kDevicesPerHub - 1) / kDevicesPerHub;
  std::string json = R"({"controllers": [{"number": 0, "rootHub": {"ports": )" +
                     std::to_string(hubs) + R"(, "attach": {)";
  for (int h = 0; h < hubs; ++h) {
    int here = std::min(kDevicesPerHub, devices - h * kDevicesPerHub);
    json += (h ? ", \"" : "\"") + std::to_string(h + 1) + R"(": {"vid": "0x3A21", "pid": )" +
            std::to_string(h) + R"(, "hub": {"ports": )" + std::to_string(here) + R"(, "attach": {)";
    for (int d = 0; d < here; ++d) {
      json += (d ? ", \"" : "\"") + std::to_string(d + 1) + R"(": {"vid": "0x2F1A", "pid": )" +
              std::to_string(h * kDevicesPerHub + d) +
              R"(, "strings": ["Maker", "Probe", "SN)" + std::to_string(h * kDevicesPerHub + d) +
              R"("], "iManufacturer": 1, "iProduct": 2, "iSerialNumber": 3,
                  "endpoints": [{"address": "0x81"}, {"address": "0x02"}],
                  "service": "WinUSB", "description": "Probe"})";
    }
    json += "}}}";
  }
  return json + "}}}]}";
}

class Loader {
 public:
  explicit Loader(int devices) : machine_(MachineOf(devices)), usb_(MakeComponent<TpxUSB>(nullptr)) {}
  ~Loader() { USBManager().Clear(); }
  int Load() {
    usb_->LoadDevices();
    return usb_->DeviceCount();
  }

 private:
  sim::DescribedMachine machine_;
  TOwned<TpxUSB> usb_;
};

void LoadDevices(benchmark::State& state) {
  Loader loader(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    if (loader.Load() != state.range(0)) state.SkipWithError("wrong device count");
  }
}

BENCHMARK(LoadDevices)->Arg(50)->Arg(100)->Arg(250)->Arg(500)->Unit(benchmark::kMillisecond);

class TimeReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) seconds[run.benchmark_name()] = run.GetAdjustedCPUTime();
  }
  std::map<std::string, double> seconds;
};

size_t HeapInUse() { return mallinfo2().uordblks; }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double small = reporter.seconds["LoadDevices/50"];
  double large = reporter.seconds["LoadDevices/500"];
  if (small > 0 && large > 0) {
    std::printf("CPU time(500) / (10 x time(50)) = %.3f (goal <= 1.5)\n", large / (10 * small));
  }
  // The heap settles during the first loads (containers reach their working sizes);
  // from then on a load must leave it as it found it.
  Loader loader(kDevicesPerHub);
  size_t heap[3] = {};
  int at = 0;
  for (int loads = 1; loads <= 1000; ++loads) {
    loader.Load();
    if (loads == 10 || loads == 100 || loads == 1000) heap[at++] = HeapInUse();
  }
  std::printf("heap in use after 10 / 100 / 1000 loads: %zu / %zu / %zu bytes\n", heap[0], heap[1],
              heap[2]);
  return 0;
}
