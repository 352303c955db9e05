#include "core_support.h"

#include <stdexcept>

#include "platform/sim/machine.h"

namespace pxtest {

std::vector<std::string> TTestLog::Texts() const {
  std::vector<std::string> texts;
  for (const Line& line : Lines()) texts.push_back(line.text);
  return texts;
}

void TTestIO::Feed(const std::string& block) {
  std::lock_guard<std::mutex> guard(lock_);
  blocks_.push_back(block);
  changed_.notify_all();
}

std::int32_t TTestIO::DoOpen() {
  ++Opens;
  if (OpenThrows) throw Exception("open fails");
  if (OpenFails) return -1;
  HANDLE event = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::lock_guard<std::mutex> guard(lock_);
  mediumClosed_ = false;
  return static_cast<std::int32_t>(reinterpret_cast<LONG_PTR>(event));
}

void TTestIO::DoClose(std::int32_t handle) {
  ++Closes;
  TpxBaseIO::DoClose(handle);
  std::lock_guard<std::mutex> guard(lock_);
  mediumClosed_ = true;  // ends a read still waiting
  changed_.notify_all();
}

void TTestIO::ThreadExecute(TpxThreadIO* thread) {
  ReaderId = thread->ThreadID();
  if (sim::SimMachine::installed()) {
    ReaderComCount = sim::SimMachine::current().kernel().comInitCount(thread->ThreadID());
  }
  ReaderRunning = true;
  if (ReaderThrows) throw std::runtime_error("reader fails");
  std::vector<char> buffer;
  while (!ReaderStopped()) {
    std::string block;
    {
      std::unique_lock<std::mutex> guard(lock_);
      changed_.wait(guard, [&] { return mediumClosed_ || !blocks_.empty(); });
      if (blocks_.empty()) break;
      block = blocks_.front();
      blocks_.pop_front();
    }
    buffer.assign(block.begin(), block.end());
    buffer.push_back('\x7f');  // the spare byte, not part of the block
    HandingOver = true;
    DoReceive(buffer.data(), static_cast<DWORD>(block.size()));
    HandingOver = false;
    ++Delivered;
  }
  ReaderRunning = false;
}

void TTestIO::LoadDevices() {
  ++Loads;
  ClearDevices();
  AddDevice(NewDevice("first", 1));
  AddDevice(NewDevice("second", 2));
}

void Pump() {
  MSG msg;
  while (win::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) win::DispatchMessageA(&msg);
}

TpxDevice* NewDevice(const std::string& name, std::int32_t orderKey) {
  auto* device = new TpxDevice;
  device->Name = name;
  device->OrderKey = orderKey;
  return device;
}

}  // namespace pxtest
