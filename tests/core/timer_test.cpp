// The main-thread timer: when it runs, what restarts it, and its ticks, against the
// simulated user32 and, on Windows, the real one.
#include <gtest/gtest.h>

#include "core_support.h"
#include "support/backend.h"

using pxtest::Pump;
using pxtest::WaitUntil;

namespace {

// Every SetTimer / KillTimer the timer makes, recorded on the way to user32.
struct TimerCalls {
  static std::vector<std::string>& calls() {
    static std::vector<std::string> list;
    return list;
  }
  static decltype(win::User32::SetTimer)& realSet() {
    static decltype(win::User32::SetTimer) fn = nullptr;
    return fn;
  }
  static decltype(win::User32::KillTimer)& realKill() {
    static decltype(win::User32::KillTimer) fn = nullptr;
    return fn;
  }
  static UINT_PTR WINAPI Set(HWND hwnd, UINT_PTR id, UINT interval, TIMERPROC proc) {
    calls().push_back("set " + IntToStr(interval));
    return realSet()(hwnd, id, interval, proc);
  }
  static BOOL WINAPI Kill(HWND hwnd, UINT_PTR id) {
    calls().push_back("kill");
    return realKill()(hwnd, id);
  }
  TimerCalls() {
    calls().clear();
    realSet() = win::api().user32.SetTimer;
    realKill() = win::api().user32.KillTimer;
    win::api().user32.SetTimer = &Set;
    win::api().user32.KillTimer = &Kill;
  }
  ~TimerCalls() {
    win::api().user32.SetTimer = realSet();
    win::api().user32.KillTimer = realKill();
  }
};

struct Ticks {
  int count = 0;
  bool fail = false;
  void OnTimer(TObject*) {
    ++count;
    if (fail) throw Exception("tick fails");
  }
};

class Timer : public pxtest::BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    record = std::make_unique<TimerCalls>();
  }
  void TearDown() override {
    record.reset();
    BackendTest::TearDown();
  }
  std::unique_ptr<TimerCalls> record;  // installed over the backend of the test
  Ticks ticks;
  TNotifyEvent onTimer = TNotifyEvent::Of<&Ticks::OnTimer>(&ticks);
};
PX_INSTANTIATE_BACKENDS(Timer);

TEST_P(Timer, RunsOnlyWithAHandlerAnIntervalAndEnabled) {
  TpxTimer timer;
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval, 1000u);
  EXPECT_TRUE(TimerCalls::calls().empty());  // no handler: nothing started

  timer.Interval = 0;
  timer.SetOnTimer(onTimer);
  timer.SetEnabled(false);
  timer.SetEnabled(true);
  EXPECT_EQ(TimerCalls::calls(), (std::vector<std::string>{"kill", "kill", "kill"}));

  // The same value changes nothing; a new interval counts from the next start.
  TimerCalls::calls().clear();
  timer.SetEnabled(true);
  timer.Interval = 250;
  EXPECT_TRUE(TimerCalls::calls().empty());
  timer.SetEnabled(false);
  timer.SetEnabled(true);
  timer.SetOnTimer(onTimer);  // a handler assigned while enabled starts it again
  EXPECT_EQ(TimerCalls::calls(), (std::vector<std::string>{"kill", "kill", "set 250", "kill", "set 250"}));
}

TEST_P(Timer, TicksOnTheMainThreadUntilStoppedAndSurvivesFailingHandlers) {
  auto timer = std::make_unique<TpxTimer>();
  timer->Interval = 10;
  ticks.fail = true;
  timer->SetOnTimer(onTimer);
  ASSERT_TRUE(WaitUntil([&] {
    Pump();
    return ticks.count >= 2;
  }));
  timer->SetEnabled(false);
  int stoppedAt = ticks.count;
  Pump();
  EXPECT_EQ(ticks.count, stoppedAt);
  TimerCalls::calls().clear();
  timer.reset();
  EXPECT_EQ(TimerCalls::calls(), (std::vector<std::string>{"kill"}));
}

}  // namespace
