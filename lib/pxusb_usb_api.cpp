#include "lib/pxusb_usb_api.h"

#include <chrono>

#include "platform/winapi.h"

void TpxUsbCallGate::Opened() {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& used : usedPipes_) used = false;
  state_ = kOpen;
}

bool TpxUsbCallGate::Enter(bool waitForEnd) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (state_ == kOpen || (waitForEnd && state_ == kClosing)) {
      ++inside_;
      return true;
    }
  }
  win::SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

void TpxUsbCallGate::Leave() {
  std::lock_guard<std::mutex> guard(lock_);
  if (--inside_ == 0) left_.notify_all();
}

void TpxUsbCallGate::Close(const std::function<void(PipeId)>& endTransfers) {
  std::unique_lock<std::mutex> guard(lock_);
  if (state_ == kClosed) return;
  state_ = kClosing;
  // A transfer issued just before closing began may start after an abort: abort again
  // until every call has left.
  while (inside_ > 0) {
    guard.unlock();
    for (int pipe = 0; pipe < 256; ++pipe) {
      if (usedPipes_[pipe]) endTransfers(static_cast<PipeId>(pipe));
    }
    guard.lock();
    left_.wait_for(guard, std::chrono::milliseconds(20), [&] { return inside_ == 0; });
  }
  state_ = kClosed;
}
