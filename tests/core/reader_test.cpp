// The reader thread of an I/O component: COM and priority per thread, the receive
// path on the reader or the main thread, and every way of ending it.
#include <gtest/gtest.h>


#include "core_support.h"
#include "platform/sim/machine.h"
#include "support/backend.h"

using pxtest::TTestIO;
using pxtest::WaitUntil;

namespace {

struct Receiver {
  std::atomic<int> blocks{0};
  std::atomic<bool> onMainThread{false};
  std::string data;  // written where OnAfterReceive runs, read after it has
  void Received(TObject* com, void* buffer, DWORD count) {
    onMainThread = IsMainThread();
    data.append(static_cast<const char*>(buffer), count);
    ++blocks;
  }
};

class Reader : public ::testing::Test {
 protected:
  sim::SimMachine machine;
  TOwned<TTestIO> io = MakeComponent<TTestIO>();
  Receiver receiver;
  void SetUp() override { io->OnAfterReceive = TOnReceived::Of<&Receiver::Received>(&receiver); }
};

TEST_F(Reader, RunsWithCOMAtItsPriorityAndDeliversOnItsOwnThread) {
  io->SetPriority(tpHigher);
  io->SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return io->ReaderRunning.load(); }));
  EXPECT_EQ(io->ReaderComCount, 1);
  EXPECT_EQ(machine.kernel().threadPriorityById(io->ReaderId), THREAD_PRIORITY_ABOVE_NORMAL);

  io->Feed("abc");
  io->Feed("de");
  ASSERT_TRUE(WaitUntil([&] { return receiver.blocks == 2; }));
  EXPECT_FALSE(receiver.onMainThread);
  EXPECT_EQ(receiver.data, "abcde");

  DWORD reader = io->ReaderId;
  io->SetActive(false);  // the reader is blocked in its read: closing ends it
  EXPECT_FALSE(io->ReaderRunning);
  EXPECT_TRUE(io->ReaderStopped());
  EXPECT_EQ(machine.kernel().comInitCount(reader), 0);
}

TEST_F(Reader, UseMainThreadHandsEveryBlockToTheMainThread) {
  io->SetUseMainThread(true);
  io->SetActive(true);
  io->Feed("xyz");
  ASSERT_TRUE(WaitUntil([&] {
    CheckSynchronize();
    return receiver.blocks == 1;
  }));
  EXPECT_TRUE(receiver.onMainThread);
  EXPECT_EQ(receiver.data, "xyz");

  // A hand-over still waiting when the component closes is served by the close.
  ASSERT_TRUE(WaitUntil([&] { return io->Delivered == 1; }));
  io->Feed("last");
  ASSERT_TRUE(WaitUntil([&] { return io->HandingOver.load(); }));
  io->SetActive(false);
  EXPECT_EQ(receiver.data, "xyzlast");
  EXPECT_TRUE(receiver.onMainThread);
}

TEST_F(Reader, DoReceiveOnTheMainThreadRunsThere) {
  // UseMainThread only matters on the reader: elsewhere the block is handled at once.
  io->SetUseMainThread(true);
  char block[] = "hi";
  EXPECT_FALSE(io->DoReceive(block, 2));
  EXPECT_EQ(receiver.data, "hi");
  EXPECT_TRUE(receiver.onMainThread);
}

TEST_F(Reader, AnErrorInTheReaderEndsItQuietly) {
  io->ReaderThrows = true;
  io->SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return io->ReaderRunning.load(); }));
  DWORD reader = io->ReaderId;
  // The thread ends and frees itself; the component stays open.
  ASSERT_TRUE(WaitUntil([&] { return machine.kernel().comInitCount(reader) == 0; }));
  EXPECT_TRUE(io->IsOpen());
  io->SetActive(false);
  EXPECT_FALSE(io->IsOpen());
  EXPECT_EQ(io->Closes, 1);
}

TEST_F(Reader, ACloseThatDoesNotWaitLeavesTheWaitToTheDestruction) {
  // As a component that stops its reader without waiting for it: the flag first.
  io->SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return io->ReaderRunning.load(); }));
  io->SetReaderStopped();
  io->SetActive(false);
  io->Feed("late");
  io.reset();  // waits for the reader, which may still be delivering
}

TEST_F(Reader, DestroyingAnOpenComponentClosesItAndEndsTheReader) {
  io->Feed("one");
  io->SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return receiver.blocks == 1; }));
  io.reset();  // blocked reader, open medium: Free closes and waits
  EXPECT_EQ(receiver.blocks, 1);
}

TEST_F(Reader, EachOpenStartsAFreshReader) {
  io->SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return io->ReaderRunning.load(); }));
  DWORD first = io->ReaderId;
  io->SetActive(false);
  io->SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return io->ReaderRunning && io->ReaderId != first; }));
  io->Feed("again");
  ASSERT_TRUE(WaitUntil([&] { return receiver.blocks == 1; }));
  io->SetActive(false);
}

}  // namespace
