// Data processors: the link to the medium, the chain, sending, the one-shot timer,
// fatal errors and removal.
#include <gtest/gtest.h>

#include "core_support.h"
#include "platform/sim/machine.h"
#include "support/backend.h"

using pxtest::TTestIO;
using pxtest::TTestLog;
using pxtest::Pump;
using pxtest::WaitUntil;

namespace {

class TTestProcessor : public TpxCustomDataProcessor {
 public:
  explicit TTestProcessor(TComponent* owner = nullptr, bool handles = false)
      : TpxCustomDataProcessor(owner), handles_(handles) {
    LogPrefix = "P:";
  }
  using TpxCustomDataProcessor::Timer;

  void ProcessReceived(void* buffer, DWORD count, bool& handled) override {
    seen.append(static_cast<const char*>(buffer), count);
    if (handles_) handled = true;
    TpxCustomDataProcessor::ProcessReceived(buffer, count, handled);
  }
  void TimeoutHook(bool& flag) override {
    ++timeouts;
    flag = true;
  }

  std::string seen;
  int timeouts = 0;

 private:
  bool handles_;
};

struct Sender {
  bool handle = false;
  bool fail = false;
  int calls = 0;
  bool lastIsText = false;
  void OnSend(TObject*, void* buffer, DWORD count, bool isText, bool& handled) {
    ++calls;
    lastIsText = isText;
    if (fail) throw Exception("send handler fails");
    static_cast<char*>(buffer)[0] = '#';  // handlers may rewrite the bytes
    handled = handle;
  }
};

class Processor : public ::testing::Test {
 protected:
  sim::SimMachine machine;
  TOwned<TTestIO> io = MakeComponent<TTestIO>();
  TOwned<TTestLog> log = MakeComponent<TTestLog>(nullptr);
  TOwned<TTestProcessor> processor = MakeComponent<TTestProcessor>();
  Sender sender;
  void SetUp() override {
    io->UseReader = false;
    processor->SetLog(log.get());
    processor->OnSendData = TOnSendData::Of<&Sender::OnSend>(&sender);
  }
};

TEST_F(Processor, HearsItsMediumOpenAndCloseOnce) {
  io->SetDataProcessor(processor.get());
  processor->SetMedium(io.get());  // linked twice: one handler
  EXPECT_EQ(processor->Medium(), io.get());
  io->NotifyAll(pxnMediumOpened);
  io->NotifyAll(pxnDevicesChanged);  // not for the base
  io->NotifyAll(pxnMediumClosed);
  EXPECT_EQ(log->Texts(), (std::vector<std::string>{"P:Medium Opened", "P:Medium Closed"}));

  io->SetDataProcessor(nullptr);
  EXPECT_EQ(processor->Medium(), nullptr);
  io->NotifyAll(pxnMediumClosed);
  EXPECT_EQ(log->Lines().size(), 2u);
}

TEST_F(Processor, ChainSharesTheMediumAndSeesEveryBlockFirst) {
  auto last = MakeComponent<TTestProcessor>(nullptr, true);
  processor->SetNext(processor.get());  // itself: ignored
  EXPECT_EQ(processor->Next(), nullptr);
  io->SetDataProcessor(processor.get());
  processor->SetNext(last.get());
  EXPECT_EQ(last->Medium(), io.get());

  std::string after;
  struct After {
    std::string* text;
    void Received(TObject*, void* buffer, DWORD count) { text->append(static_cast<char*>(buffer), count); }
  } receiver{&after};
  io->OnAfterReceive = TOnReceived::Of<&After::Received>(&receiver);
  char block[] = "abc";
  io->DoReceive(block, 3);
  EXPECT_EQ(processor->seen, "abc");
  EXPECT_EQ(last->seen, "abc");
  EXPECT_EQ(after, "abc");  // whatever the chain decided

  // Unchaining leaves the former next processor on the medium.
  processor->SetNext(nullptr);
  EXPECT_EQ(last->Medium(), io.get());
  char other[] = "d";
  processor->Process(other, 1);
  EXPECT_EQ(last->seen, "abc");
}

TEST_F(Processor, SendDataGoesToTheMediumUnlessTheHandlerTakesIt) {
  char none[] = "x";
  processor->SendData(nullptr, 1);
  processor->SendData(none, 0);
  EXPECT_EQ(sender.calls, 0);
  EXPECT_TRUE(log->Lines().empty());

  processor->SendData(none, 1);  // no medium: nothing sent, still logged
  io->SetDataProcessor(processor.get());
  char bytes[] = "abc";
  processor->SendData(bytes, 3);
  EXPECT_EQ(io->Sent, "#bc");
  EXPECT_FALSE(sender.lastIsText);

  sender.handle = true;
  processor->Timer().SetEnabled(false);
  processor->SendData(bytes, 3);
  EXPECT_EQ(io->Sent, "#bc");
  EXPECT_TRUE(processor->Timer().Enabled());  // a handled send restarts the timer

  sender.fail = true;
  EXPECT_NO_THROW(processor->SendData(bytes, 3));
  EXPECT_EQ(log->Texts(), (std::vector<std::string>{"P:DoDataSend: 1 bytes", "P:DoDataSend: 3 bytes",
                                                    "P:DoDataSend: 3 bytes"}));
}

TEST_F(Processor, SendStringSendsTheHandlersTextAndLogsNothing) {
  io->SetDataProcessor(processor.get());
  processor->SendString("");
  EXPECT_EQ(sender.calls, 0);
  processor->SendString("hello");
  EXPECT_TRUE(sender.lastIsText);
  EXPECT_EQ(io->Sent, "#ello");
  sender.handle = true;
  processor->SendString("again");
  EXPECT_EQ(io->Sent, "#ello");
  sender.fail = true;
  EXPECT_NO_THROW(processor->SendString("fails"));
  EXPECT_EQ(sender.calls, 3);
  EXPECT_TRUE(log->Lines().empty());
}

TEST_F(Processor, TheTimerFiresOnceAfterStartTimer) {
  EXPECT_FALSE(processor->Timer().Enabled());
  processor->StartTimer(0);
  EXPECT_FALSE(processor->Timer().Enabled());
  processor->StartTimer(10);
  EXPECT_EQ(processor->Timer().Interval, 10u);
  ASSERT_TRUE(WaitUntil([&] {
    Pump();
    return processor->timeouts > 0;
  }));
  EXPECT_EQ(processor->timeouts, 1);
  EXPECT_FALSE(processor->Timer().Enabled());  // one-shot

  // The medium asks the processor the same hook.
  EXPECT_FALSE(io->QueryProcessor());
  io->SetDataProcessor(processor.get());
  EXPECT_TRUE(io->QueryProcessor());
}

TEST_F(Processor, FatalErrorsRaiseUnlessCleared) {
  EXPECT_THROW(processor->DoFatalError(1, 2, "broken"), Exception);
  struct Quiet {
    void Handle(TObject*, DWORD, DWORD, const std::string&, bool& raise) { raise = false; }
  } quiet;
  processor->OnFatalError = TOnFatalErrorEvent::Of<&Quiet::Handle>(&quiet);
  processor->SetLoading();  // makes no difference here
  EXPECT_NO_THROW(processor->DoFatalError(3, 4, "quiet"));
  EXPECT_EQ(log->Texts(), (std::vector<std::string>{"Fatal Error: 1, 2, broken", "Fatal Error: 3, 4, quiet"}));
}

TEST_F(Processor, LinksEndWhenEitherSideGoes) {
  auto next = MakeComponent<TTestProcessor>();
  io->SetDataProcessor(processor.get());
  processor->SetNext(next.get());

  next.reset();
  EXPECT_EQ(processor->Next(), nullptr);
  log.reset();
  EXPECT_EQ(processor->Log(), nullptr);

  processor.reset();  // leaves the medium's notify list as it goes
  EXPECT_EQ(io->DataProcessor(), nullptr);
  io->NotifyAll(pxnMediumClosed);

  auto again = MakeComponent<TTestProcessor>();
  io->SetDataProcessor(again.get());
  io.reset();
  EXPECT_EQ(again->Medium(), nullptr);
}

}  // namespace
