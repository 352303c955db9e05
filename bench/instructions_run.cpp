// Instructions per delivered byte, counted by callgrind: reads BYTES from the
// simulator's stream device in reads of SIZE bytes, with the access layer's own loop
// (one overlapped read at a time, waited for without limit) or through a
// TpxUSBPipePair, and ends.
//   instructions_run loop|pair SIZE BYTES
// scripts/bench runs it under callgrind for two amounts and divides the difference of
// the counts by the difference of the amounts, so that start-up and set-up drop out.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "bench/stream_machine.h"
#include "lib/pxusb_winusb_api.h"
#include "lib/pxusbpipe.h"

namespace {

unsigned long long AccessLoop(pxbench::StreamMachine& stream, DWORD size, unsigned long long bytes) {
  TpxWinUsbApi api;
  if (api.OpenDevice(stream.path()) == INVALID_HANDLE_VALUE) return 0;
  std::vector<BYTE> buffer(size);
  OVERLAPPED overlapped{};
  TpxOwnedHandle event(win::CreateEventA(nullptr, FALSE, FALSE, nullptr));
  overlapped.hEvent = event.get();
  unsigned long long delivered = 0;
  while (delivered < bytes) {
    api.SetPipeTimeout(0x81, 0);
    DWORD count = api.ReadPipe(0x81, buffer.data(), size, &overlapped);
    if (count == 0 && win::GetLastError() == ERROR_IO_PENDING) api.GetOverlappedResult(&overlapped, count, INFINITE);
    if (count == 0) break;
    delivered += count;
  }
  api.CloseDevice();
  return delivered;
}

// The pair's handler closes the pair once the amount is there, so that no read beyond
// it is counted.
class Delivered {
 public:
  Delivered(TpxUSBPipePair& pair, unsigned long long bytes) : pair_(pair), awaited_(bytes) {}
  void Received(TObject*, void*, DWORD count) {
    if ((bytes_ += count) < awaited_) return;
    pair_.SetActive(false);
    std::lock_guard<std::mutex> guard(lock_);
    done_ = true;
    changed_.notify_all();
  }
  unsigned long long Wait() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return done_; });
    return bytes_;
  }

 private:
  TpxUSBPipePair& pair_;
  unsigned long long awaited_;
  unsigned long long bytes_ = 0;  // the reader's alone until done_
  bool done_ = false;
  std::mutex lock_;
  std::condition_variable changed_;
};

unsigned long long PipePair(pxbench::StreamMachine& stream, DWORD size, unsigned long long bytes) {
  auto pair = MakeComponent<TpxUSBPipePair>(nullptr);
  Delivered delivered(*pair, bytes);
  pair->SetUsbDevice(&stream.usb());
  pair->SetPipeIn(0);
  pair->SetReadBufferSize(size);
  pair->OnAfterReceive = TOnReceived::Of<&Delivered::Received>(&delivered);
  stream.usb().SetActive(true);
  pair->SetActive(true);
  unsigned long long result = pair->GetActive() ? delivered.Wait() : 0;
  pair->SetActive(false);
  stream.usb().SetActive(false);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (std::string(argv[1]) != "loop" && std::string(argv[1]) != "pair")) {
    std::fprintf(stderr, "usage: instructions_run loop|pair SIZE BYTES\n");
    return 2;
  }
  auto size = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
  unsigned long long bytes = std::strtoull(argv[3], nullptr, 10);
  pxbench::StreamMachine stream;
  unsigned long long delivered =
      std::string(argv[1]) == "loop" ? AccessLoop(stream, size, bytes) : PipePair(stream, size, bytes);
  std::printf("%s %u: %llu bytes\n", argv[1], size, delivered);
  return delivered >= bytes ? 0 : 1;
}
