#include "platform/sim/timeline.h"

namespace sim {

Timeline::Timeline(SimMachine& machine, UsbBus& bus, std::vector<TimelineStep> steps)
    : hotPlug_(machine, bus), steps_(std::move(steps)) {}

Timeline::~Timeline() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  stopRequested_.notify_all();
  bool pumps = win::api().user32.PeekMessageA != nullptr;
  while (!finished_) {
    MSG msg;
    if (pumps) win::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // serves sent messages
    std::unique_lock<std::mutex> guard(lock_);
    stopRequested_.wait_for(guard, std::chrono::milliseconds(5), [&] { return finished_.load(); });
  }
  thread_.join();
}

void Timeline::start() {
  if (thread_.joinable() || steps_.empty()) return;
  thread_ = std::thread(&Timeline::play, this, std::chrono::steady_clock::now());
}

void Timeline::play(std::chrono::steady_clock::time_point start) {
  // When each step is due next, and how often it has been played.
  std::vector<std::chrono::milliseconds> due;
  std::vector<unsigned> count(steps_.size(), 0);
  for (const TimelineStep& step : steps_) due.push_back(step.at);
  auto over = [&](size_t i) {
    const TimelineStep& step = steps_[i];
    return step.every.count() == 0 ? count[i] > 0 : step.times && count[i] >= step.times;
  };
  for (;;) {
    size_t next = steps_.size();
    for (size_t i = 0; i < steps_.size(); ++i) {
      if (!over(i) && (next == steps_.size() || due[i] < due[next])) next = i;
    }
    if (next == steps_.size()) break;
    {
      std::unique_lock<std::mutex> guard(lock_);
      if (stopRequested_.wait_until(guard, start + due[next], [&] { return stop_; })) break;
    }
    const TimelineStep& step = steps_[next];
    // A step that finds nothing to do (the port empty, or taken) passes, as a user's
    // hand finds an empty port.
    if (step.plug) {
      hotPlug_.plug(step.place);
    } else {
      hotPlug_.unplug(step.place);
    }
    ++count[next];
    due[next] += step.every;
    ++played_;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    finished_ = true;
  }
  stopRequested_.notify_all();
}

}  // namespace sim
