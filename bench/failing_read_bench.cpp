// What TpxUSBPipePair's reader costs while every read it issues fails at once (a pipe
// the device refuses): the process's CPU time over a window of wall time, in percent
// of one CPU, and the reads tried per second. The goal is no measurable CPU and a few
// tries a second.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <thread>

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

void ReaderWhileReadsFailAtOnce(benchmark::State& state) {
  sim::DescribedMachine machine(kMachine);
  {
    auto usb = MakeComponent<TpxUSB>(nullptr);
    auto pair = MakeComponent<TpxUSBPipePair>(nullptr);
    Sink sink;
    usb->GetDevices(nullptr);
    usb->SetDeviceIndex(0);
    // The device file answers, but knows only the OUT endpoint: every read is refused.
    machine.machine().usbIo().attach(ToWin32DevicePath(usb->SelectedDevice()->DevicePath), "WinUSB",
                                     {{0x02}}, std::make_shared<sim::SilentModel>());
    usb->SetActive(true);
    pair->OnAfterReceive = TOnReceived::Of<&Sink::Received>(&sink);
    pair->SetUsbDevice(usb.get());
    pair->SetPipeIn(0);
    pair->SetPipeOut(1);
    pair->SetActive(true);
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
    pair->SetActive(false);
    usb->SetActive(false);
  }
  USBManager().Clear();
  UnloadSetupApi();
}
BENCHMARK(ReaderWhileReadsFailAtOnce)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
