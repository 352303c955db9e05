// What TpxUSBPipePair's reader costs while every read it issues fails: at once (a pipe
// the device refuses), or, for each error a removed device may give, at once or at
// completion. The process's CPU time over a window of wall time, in percent of one CPU,
// and the reads tried per second. The goal is no measurable CPU and a few tries a
// second, ending after a few.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "lib/pxusb.h"
#include "lib/pxusbpipe.h"
#include "lib/pxwin32di.h"
#include "platform/sim/description.h"

namespace {

const char kMachine[] = R"({"controllers": [{"number": 0, "rootHub": {"ports": 1, "attach": {
  "1": {"vid": "0x1209", "pid": "0x00FE", "description": "refusing", "service": "WinUSB",
        "endpoints": [{"address": "0x81", "maxPacket": 64}, {"address": "0x02", "maxPacket": 64}]}}}}]})";

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Sink {
  void Received(TObject*, void*, DWORD) {}
};

// CPU and tries over windows of two seconds while the reader runs, from its start.
void Measure(benchmark::State& state, sim::DescribedMachine& machine) {
  const auto window = std::chrono::seconds(2);
  for (auto _ : state) {
    size_t triesBefore = machine.machine().kernel().debugLog().size();
    double cpuBefore = CpuSeconds();
    // The measuring window: this thread idles while the reader runs.
    std::this_thread::sleep_for(window);
    double cpu = CpuSeconds() - cpuBefore;
    size_t tries = machine.machine().kernel().debugLog().size() - triesBefore;
    state.SetIterationTime(std::chrono::duration<double>(window).count());
    state.counters["cpu_percent"] = 100.0 * cpu / std::chrono::duration<double>(window).count();
    state.counters["tries_per_second"] = static_cast<double>(tries) / std::chrono::duration<double>(window).count();
  }
}

// Arguments: the removal's error (0: the device refuses the IN pipe instead), and
// whether it is removed before the pair opens (every read fails at once) or while its
// read is pending (that read fails at completion).
void ReaderWhileReadsFail(benchmark::State& state) {
  sim::DescribedMachine machine(kMachine);
  {
    auto usb = MakeComponent<TpxUSB>(nullptr);
    auto pair = MakeComponent<TpxUSBPipePair>(nullptr);
    Sink sink;
    usb->GetDevices(nullptr);
    usb->SetDeviceIndex(0);
    auto error = static_cast<DWORD>(state.range(0));
    bool atOnce = state.range(1) != 0;
    std::string path = ToWin32DevicePath(usb->SelectedDevice()->DevicePath);
    auto model = std::make_shared<sim::SilentModel>();
    model->removal = {error, error};
    // Without a removal the device file answers, but knows only the OUT endpoint.
    std::vector<sim::Endpoint> endpoints{{0x02}};
    if (error != 0) endpoints.push_back({0x81});
    auto device = machine.machine().usbIo().attach(path, "WinUSB", endpoints, model);
    usb->SetActive(true);
    if (error != 0 && atOnce) device->unplug();
    pair->OnAfterReceive = TOnReceived::Of<&Sink::Received>(&sink);
    pair->SetUsbDevice(usb.get());
    pair->SetPipeIn(0);
    pair->SetPipeOut(1);
    pair->SetActive(true);
    if (error != 0 && !atOnce) {
      while (device->pendingTransfers() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      device->unplug();
    }
    Measure(state, machine);
    pair->SetActive(false);
    usb->SetActive(false);
  }
  USBManager().Clear();
  UnloadSetupApi();
}
BENCHMARK(ReaderWhileReadsFail)
    ->ArgsProduct({{0, 2, 22, 31, 433, 995, 1167}, {1, 0}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
