// How many bytes per second the WinUSB binding moves from a stream-source device, with
// one outstanding read of 512 bytes and of 64 KiB, against the simulated device's own
// rate (transfers straight on the device, no seam and no binding) in the same run.
// The ratio binding / raw is the figure; it is printed at the end.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/ratio_main.h"
#include "lib/pxusb_winusb_api.h"
#include "platform/sim/machine.h"

namespace {

constexpr char kPath[] = "\\\\.\\usb#vid_1209&pid_00ff#stream";

std::shared_ptr<sim::UsbDevice> AttachStream(sim::SimMachine& machine) {
  return machine.usbIo().attach(kPath, "WinUSB", {{0x81, 2, 512}},
                                std::make_shared<sim::StreamModel>(0x81, 0));
}

void RawDevice(benchmark::State& state) {
  sim::SimMachine machine;
  auto device = AttachStream(machine);
  std::vector<BYTE> buffer(static_cast<size_t>(state.range(0)));
  int64_t bytes = 0;
  for (auto _ : state) {
    DWORD count = 0;
    device->transfer(nullptr, 0x81, buffer.data(), static_cast<DWORD>(buffer.size()), {}, nullptr,
                     &count);
    bytes += count;
  }
  state.SetBytesProcessed(bytes);
}

void WinUsbBinding(benchmark::State& state) {
  sim::SimMachine machine;
  AttachStream(machine);
  TpxWinUsbApi api;
  if (api.OpenDevice(kPath) == INVALID_HANDLE_VALUE) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<BYTE> buffer(static_cast<size_t>(state.range(0)));
  OVERLAPPED overlapped{};
  overlapped.hEvent = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  int64_t bytes = 0;
  // The reader's loop: one overlapped read outstanding, waited for without limit.
  for (auto _ : state) {
    api.SetPipeTimeout(0x81, 0);
    DWORD count = api.ReadPipe(0x81, buffer.data(), static_cast<DWORD>(buffer.size()), &overlapped);
    if (count == 0 && win::GetLastError() == ERROR_IO_PENDING) {
      api.GetOverlappedResult(&overlapped, count, INFINITE);
    }
    bytes += count;
  }
  state.SetBytesProcessed(bytes);
  api.CloseDevice();
  win::CloseHandle(overlapped.hEvent);
}

BENCHMARK(RawDevice)->Arg(512)->Arg(64 * 1024)->UseRealTime();
BENCHMARK(WinUsbBinding)->Arg(512)->Arg(64 * 1024)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return pxbench::RunAndPrintRatios(argc, argv, "WinUsbBinding", "RawDevice");
}
