// A hot-plug timeline: at set times after its start, devices are taken off their
// ports or put back, on the simulator's own thread, as a user plugging them would.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sim/hotplug.h"

namespace sim {

struct TimelineStep {
  std::chrono::milliseconds at{0};     // after the start
  bool plug = false;                   // false: unplug
  HotPlug::Place place;
  std::chrono::milliseconds every{0};  // 0: once; else again each period
  unsigned times = 1;                  // with `every`: how often in all, 0 for ever
};

class Timeline {
 public:
  Timeline(SimMachine& machine, UsbBus& bus, std::vector<TimelineStep> steps);
  // Stops the thread. A step may be sending WM_DEVICECHANGE to a window of the
  // calling thread meanwhile, so the call serves sent messages while it waits.
  ~Timeline();
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  // Starts the clock and the thread; later calls do nothing.
  void start();
  // How many steps have been played so far.
  unsigned played() const { return played_; }

 private:
  void play(std::chrono::steady_clock::time_point start);

  HotPlug hotPlug_;
  std::vector<TimelineStep> steps_;
  std::mutex lock_;
  std::condition_variable stopRequested_;
  bool stop_ = false;
  std::atomic<bool> finished_{false};
  std::atomic<unsigned> played_{0};
  std::thread thread_;
};

}  // namespace sim
