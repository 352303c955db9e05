// Framework threads over both backends.
#include <atomic>
#include <stdexcept>

#include "framework/thread.h"
#include "support/backend.h"

namespace {

using pxtest::BackendTest;

class ThreadTest : public BackendTest {};
PX_INSTANTIATE_BACKENDS(ThreadTest);

class CountingThread : public TThread {
 public:
  explicit CountingThread(std::atomic<int>* alive) : alive_(alive) { ++*alive_; }
  ~CountingThread() override { --*alive_; }

  std::atomic<int> runs{0};

 protected:
  void Execute() override {
    ++runs;
    ReturnValue = 5;
  }

 private:
  std::atomic<int>* alive_;
};

TEST_P(ThreadTest, RunsOnceWhenStartedAndReportsItsExitCode) {
  std::atomic<int> alive{0};
  auto* thread = new CountingThread(&alive);
  EXPECT_FALSE(thread->Finished());
  EXPECT_EQ(thread->runs.load(), 0);  // created suspended
  thread->Start();
  thread->Start();  // a second start changes nothing
  EXPECT_EQ(thread->WaitFor(), 5u);
  EXPECT_EQ(thread->runs.load(), 1);
  delete thread;
  EXPECT_EQ(alive.load(), 0);
}

TEST_P(ThreadTest, AThreadNeverStartedIsDestroyedWithoutRunning) {
  std::atomic<int> alive{0};
  auto* thread = new CountingThread(&alive);
  delete thread;
  EXPECT_EQ(alive.load(), 0);
}

TEST_P(ThreadTest, FreeOnTerminateFreesTheObjectWhenExecuteReturns) {
  std::atomic<int> alive{0};
  auto* thread = new CountingThread(&alive);
  thread->SetFreeOnTerminate(true);
  // The object is gone once it ends; a duplicate of its handle is what one waits on.
  HANDLE done = nullptr;
  ASSERT_TRUE(win::DuplicateHandle(win::GetCurrentProcess(), thread->Handle(),
                                   win::GetCurrentProcess(), &done, 0, FALSE,
                                   DUPLICATE_SAME_ACCESS));
  thread->Start();
  EXPECT_EQ(WaitForThreadHandle(done), WAIT_OBJECT_0);
  EXPECT_TRUE(pxtest::WaitUntil([&] { return alive.load() == 0; }));
  win::CloseHandle(done);
}

class SynchronizingThread : public TThread {
 public:
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> errorCameBack{false};

 protected:
  void Execute() override {
    Synchronize(TThreadMethod::Of<&SynchronizingThread::OnMain>(this));
    try {
      Synchronize(TThreadMethod::Of<&SynchronizingThread::Fails>(this));
    } catch (const Exception& error) {
      errorCameBack = error.Message == "on main";
    }
  }

 private:
  void OnMain() { ranOnMain = IsMainThread(); }
  void Fails() { throw Exception("on main"); }
};

TEST_P(ThreadTest, SynchronizeRunsOnTheMainThreadWhileItWaits) {
  SynchronizingThread thread;
  thread.Start();
  // WaitFor on the main thread keeps serving the worker's requests, so this ends.
  thread.WaitFor();
  EXPECT_TRUE(thread.ranOnMain);
  EXPECT_TRUE(thread.errorCameBack);
}

class FailingThread : public TThread {
 protected:
  void Execute() override { throw std::runtime_error("reader broke"); }
};

TEST_P(ThreadTest, AnErrorInExecuteEndsTheThreadQuietly) {
  FailingThread thread;
  thread.Start();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  EXPECT_TRUE(thread.FatalException() != nullptr);
}

class IdleThread : public TThread {
 protected:
  void Execute() override {}
};

TEST_P(ThreadTest, PrioritiesMapOntoThePlatformsSevenLevels) {
  const int expected[] = {-15, -2, -1, 0, 1, 2, 15};
  for (int p = tpIdle; p <= tpTimeCritical; ++p) {
    auto priority = static_cast<TThreadPriority>(p);
    EXPECT_EQ(PlatformPriority(priority), expected[p]);
    IdleThread thread;
    thread.SetPriority(priority);
    EXPECT_EQ(thread.Priority(), priority);
    if (Simulated()) {
      // The simulator records what the platform was asked for.
      EXPECT_EQ(Machine().kernel().threadPriorityById(thread.ThreadID()), expected[p]);
    } else {
      EXPECT_EQ(win::GetThreadPriority(thread.Handle()), expected[p]);
    }
    thread.Start();
    thread.WaitFor();
  }
}

}  // namespace
