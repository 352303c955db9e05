// How many bytes per second TpxUSBPipePair delivers to OnAfterReceive from a
// stream-source device on WinUSB, against the access layer's own read loop on the same
// device (one overlapped read outstanding, waited for without limit) in the same run,
// for read sizes of 512 bytes and 64 KiB. The ratio pair / loop is the figure; it is
// printed at the end.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/ratio_main.h"
#include "bench/stream_machine.h"
#include "lib/pxusb.h"
#include "lib/pxusb_winusb_api.h"
#include "lib/pxusbpipe.h"

namespace {

using pxbench::StreamMachine;

void AccessLoop(benchmark::State& state) {
  StreamMachine stream;
  TpxWinUsbApi api;
  if (api.OpenDevice(stream.path()) == INVALID_HANDLE_VALUE) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<BYTE> buffer(static_cast<size_t>(state.range(0)));
  OVERLAPPED overlapped{};
  TpxOwnedHandle event(win::CreateEventA(nullptr, FALSE, FALSE, nullptr));
  overlapped.hEvent = event.get();
  int64_t bytes = 0;
  for (auto _ : state) {
    api.SetPipeTimeout(0x81, 0);
    DWORD count = api.ReadPipe(0x81, buffer.data(), static_cast<DWORD>(buffer.size()), &overlapped);
    if (count == 0 && win::GetLastError() == ERROR_IO_PENDING) api.GetOverlappedResult(&overlapped, count, INFINITE);
    bytes += count;
  }
  state.SetBytesProcessed(bytes);
  api.CloseDevice();
}

// What the pair's reader delivered so far. The reader only counts, and wakes the
// benchmark's thread once the awaited amount is there.
class Delivered {
 public:
  void Received(TObject*, void*, DWORD count) {
    if ((bytes_ += count) < awaited_) return;
    std::lock_guard<std::mutex> guard(lock_);
    changed_.notify_all();
  }
  // Waits until at least `bytes` have been delivered in all.
  void WaitFor(int64_t bytes) {
    awaited_ = bytes;
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return bytes_ >= bytes; });
  }
  int64_t Bytes() const { return bytes_; }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::atomic<int64_t> bytes_{0};
  std::atomic<int64_t> awaited_{0};
};

// One iteration: the reader delivers another chunk of this many bytes.
constexpr int64_t kChunk = 1 << 20;

void PipePair(benchmark::State& state) {
  StreamMachine stream;
  Delivered delivered;
  auto pair = MakeComponent<TpxUSBPipePair>(nullptr);
  pair->SetUsbDevice(&stream.usb());
  pair->SetPipeIn(0);
  pair->SetReadBufferSize(static_cast<DWORD>(state.range(0)));
  pair->OnAfterReceive = TOnReceived::Of<&Delivered::Received>(&delivered);
  stream.usb().SetActive(true);
  pair->SetActive(true);
  if (!pair->GetActive()) {
    state.SkipWithError("open failed");
    return;
  }
  int64_t start = delivered.Bytes();
  int64_t target = start;
  for (auto _ : state) {
    target += kChunk;
    delivered.WaitFor(target);
  }
  state.SetBytesProcessed(delivered.Bytes() - start);
  pair->SetActive(false);
  stream.usb().SetActive(false);
}

BENCHMARK(AccessLoop)->Arg(512)->Arg(64 * 1024)->UseRealTime();
BENCHMARK(PipePair)->Arg(512)->Arg(64 * 1024)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return pxbench::RunAndPrintRatios(argc, argv, "PipePair", "AccessLoop");
}
