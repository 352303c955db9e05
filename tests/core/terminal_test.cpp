// The terminal edit: received blocks shown as typed characters and inserted runs,
// typed characters swallowed and sent by usage, and the hook's life cycle. The same
// bodies run against the simulated user32 and, on Windows, the real one.
#include <gtest/gtest.h>

#include <cstring>

#include "core_support.h"
#include "framework/forms.h"
#include "support/backend.h"

using pxtest::BackendTest;
using pxtest::TTestIO;
using pxtest::Pump;
using pxtest::WaitUntil;

namespace {

class Terminal : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    io = MakeComponent<TTestIO>();
    form = MakeComponent<TForm>(nullptr);
    memo = new TMemo(form.get());
    memo->SetParent(form.get());
    io->UseReader = false;
  }
  void TearDown() override {
    io.reset();
    form.reset();
    BackendTest::TearDown();
  }
  // A received block, with the spare byte behind it that DoReceive may overwrite.
  void Receive(const std::string& block) {
    std::vector<char> buffer(block.begin(), block.end());
    buffer.push_back('\x7f');
    buffer.push_back('\x55');  // beyond the spare byte: never touched
    io->DoReceive(buffer.data(), static_cast<DWORD>(block.size()));
    EXPECT_EQ(buffer.back(), '\x55');
  }
  void Type(char ch) { win::SendMessageA(memo->Handle(), WM_CHAR, static_cast<BYTE>(ch), 1); }

  TOwned<TTestIO> io;
  TOwned<TForm> form;
  TMemo* memo = nullptr;  // the form's
};
PX_INSTANTIATE_BACKENDS(Terminal);

TEST_P(Terminal, SingleBytesArriveAsTypedCharacters) {
  io->SetTerminal(memo);
  io->SetTerminalUsage(tuReceive);
  for (char ch : std::string("ab\bc\rd")) Receive(std::string(1, ch));
  EXPECT_EQ(memo->GetText(), "ac\r\nd");
}

TEST_P(Terminal, LongerBlocksAreInsertedWithoutTheirZeroBytes) {
  io->SetTerminal(memo);
  io->SetTerminalUsage(tuBoth);
  Receive(std::string("A\0B", 3));
  Receive(std::string("\0\0X", 3));
  Receive(std::string("Y\0", 2));
  Receive(std::string("", 0));
  EXPECT_EQ(memo->GetText(), "ABXY");
  memo->SetSelStart(1);
  Receive("--");
  EXPECT_EQ(memo->GetText(), "A--BXY");  // at the caret
}

TEST_P(Terminal, OnlyReceiveUsagesShowData) {
  io->SetTerminal(memo);
  for (TTerminalUsage usage : {tuNone, tuSend}) {
    io->SetTerminalUsage(usage);
    Receive("hidden");
    Receive("h");
  }
  EXPECT_EQ(memo->GetText(), "");
}

TEST_P(Terminal, TypedCharactersAreSentOrEditedByUsage) {
  io->SetTerminal(memo);
  io->SetTerminalUsage(tuSend);
  Type('s');
  io->SetTerminalUsage(tuBoth);
  Type('b');
  EXPECT_EQ(io->Sent, "sb");
  EXPECT_EQ(memo->GetText(), "");
  Receive("r");  // what the component writes itself reaches the edit
  EXPECT_EQ(memo->GetText(), "r");

  io->SetTerminalUsage(tuReceive);
  Type('x');
  io->SetTerminalUsage(tuNone);
  Type('y');
  EXPECT_EQ(io->Sent, "sb");
  EXPECT_EQ(memo->GetText(), "rxy");

  // Unhooked, and after the component has gone, the edit is an edit again.
  io->SetTerminalUsage(tuSend);
  io->SetTerminal(nullptr);
  Type('1');
  io->SetTerminal(memo);
  io.reset();
  Type('2');
  EXPECT_EQ(memo->GetText(), "rxy12");
}

TEST_P(Terminal, DesignTimeTerminalsDefaultToBoth) {
  io->SetTerminal(memo);
  EXPECT_EQ(io->TerminalUsage(), tuNone);
  auto designed = MakeComponent<TTestIO>();
  designed->SetDesigning(true);
  designed->SetTerminal(memo);
  EXPECT_EQ(designed->TerminalUsage(), tuBoth);

  // An edit that goes away leaves no terminal behind.
  memo->Free();
  EXPECT_EQ(io->Terminal(), nullptr);
  EXPECT_EQ(designed->Terminal(), nullptr);
  Receive("nowhere");
}

TEST_P(Terminal, TheReaderWritesThroughTheMainThreadsWindow) {
  io->UseReader = true;
  io->SetTerminal(memo);
  io->SetTerminalUsage(tuReceive);
  io->SetActive(true);
  io->Feed("from the reader");
  ASSERT_TRUE(WaitUntil([&] {
    Pump();
    return memo->GetText() == "from the reader";
  }));
  // A block still on its way when the component closes is delivered by the close.
  ASSERT_TRUE(WaitUntil([&] { return io->Delivered == 1; }));
  io->Feed("!");
  ASSERT_TRUE(WaitUntil([&] { return io->HandingOver.load(); }));
  io->SetActive(false);
  EXPECT_EQ(memo->GetText(), "from the reader!");
}

}  // namespace
