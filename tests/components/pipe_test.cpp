// TpxUSBPipePair against echo, stream, silent, stalling and slow devices through both
// bindings: the read loop, the sends, and the reader's life cycle.
#include "components.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "lib/pxcommbox.h"
#include "lib/pxusb_sysusb_api.h"
#include "platform/sim/hotplug.h"

namespace pxtest {
namespace {

class PipeTest : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    usb = MakeComponent<TpxUSB>(nullptr);
    pair = MakeComponent<TpxUSBPipePair>(nullptr);
    usb->GetDevices(nullptr);
  }
  void TearDown() override {
    pair.reset();
    usb.reset();
    ComponentTest::TearDown();
  }
  TpxUsbDevice* Node(int index) { return dynamic_cast<TpxUsbDevice*>(usb->Devices(index)); }
  std::shared_ptr<sim::UsbDevice> AttachModel(int index, std::shared_ptr<sim::DeviceModel> model) {
    return Attach(Node(index), std::move(model));
  }
  void Receive() { pair->OnAfterReceive = TOnReceived::Of<&Receiver::Received>(&receiver); }

  TOwned<TpxUSB> usb;
  TOwned<TpxUSBPipePair> pair;
  Receiver receiver;
};

// Position 0 of the list is served by WinUSB, position 1 by the pxusb driver.
class BindingTest : public PipeTest, public ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Bindings, BindingTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == 0 ? "WinUsb" : "PxUsb");
                         });

TEST_P(BindingTest, EchoComesBackThroughOnAfterReceiveOnEitherThread) {
  Receive();
  OpenPair(*usb, *pair, GetParam());
  ASSERT_TRUE(pair->GetActive());
  EXPECT_EQ(pair->InPipeId(), GetParam() == 0 ? 0x81 : 0x82);
  EXPECT_EQ(pair->OutPipeId(), GetParam() == 0 ? 0x02 : 0x01);

  EXPECT_EQ(pair->SendString("hello"), 5u);
  char block[] = {'!', '?'};
  EXPECT_EQ(pair->SendBuffer(block, 2), 2u);
  pair->SendChar('.');
  ASSERT_TRUE(WaitUntil([&] { return receiver.Data() == "hello!?."; })) << receiver.Data();
  for (bool main : receiver.OnCreatorThread()) EXPECT_FALSE(main) << "UseMainThread false: the reader delivers";

  // With UseMainThread the reader hands each block to the main thread, which serves
  // it while it waits.
  pair->SetActive(false);
  pair->SetUseMainThread(true);
  pair->SetActive(true);
  EXPECT_EQ(pair->SendString("main"), 4u);
  ASSERT_TRUE(PumpUntil([&] { return receiver.Data() == "hello!?.main"; })) << receiver.Data();
  EXPECT_TRUE(receiver.OnCreatorThread().back());
  pair->SetActive(false);
  usb->SetActive(false);
  EXPECT_EQ(receiver.Data(), "hello!?.main");
}

TEST_P(BindingTest, TypedCharactersGoOutAndTheEchoShowsInTheTerminal) {
  auto form = MakeComponent<TForm>(nullptr);
  auto* memo = new TMemo(form.get());
  memo->SetParent(form.get());
  pair->SetTerminal(memo);
  pair->SetTerminalUsage(tuBoth);
  Receive();
  OpenPair(*usb, *pair, GetParam());

  for (char ch : std::string("ab")) win::SendMessageA(memo->Handle(), WM_CHAR, static_cast<BYTE>(ch), 1);
  EXPECT_EQ(memo->GetText(), "") << "typed characters are sent, not shown";
  ASSERT_TRUE(PumpUntil([&] { return memo->GetText() == "ab"; })) << memo->GetText();
  EXPECT_EQ(pair->SendString(std::string("c\0d", 3)), 3u);
  ASSERT_TRUE(PumpUntil([&] { return memo->GetText() == "abcd"; })) << memo->GetText();
  pair->SetActive(false);
}

TEST_F(PipeTest, WithoutReceiversTheInPipeIsNeverReadAndSendsStillWork) {
  auto device = AttachModel(0, std::make_shared<sim::EchoModel>(0x81));
  OpenPair(*usb, *pair, 0);
  ASSERT_TRUE(pair->GetActive());
  EXPECT_EQ(pair->SendString("kept"), 4u);
  EXPECT_EQ(device->pendingTransfers(), 0u) << "nobody reads";

  // The echo waits on the device for the next reader.
  pair->SetActive(false);
  Receive();
  pair->SetActive(true);
  EXPECT_TRUE(WaitUntil([&] { return receiver.Data() == "kept"; }));
}

TEST_F(PipeTest, OneResolvablePipeOpensTheOtherDoesNothingAndNoneIsAnError) {
  auto device = AttachModel(0, std::make_shared<sim::EchoModel>(0x81));
  Receive();
  usb->SetDeviceIndex(0);
  usb->SetActive(true);
  pair->SetUsbDevice(usb.get());

  // OUT only: the reader ends at once.
  pair->SetPipeOut(1);
  pair->SetActive(true);
  ASSERT_TRUE(pair->GetActive());
  EXPECT_EQ(pair->InPipeId(), 0);
  EXPECT_EQ(pair->SendString("x"), 1u);
  EXPECT_EQ(device->pendingTransfers(), 0u);
  pair->SetActive(false);

  // IN only: reads, sends nothing.
  pair->SetPipeOut(2);
  pair->SetPipeIn(0);
  pair->SetActive(true);
  EXPECT_EQ(pair->SendString("y"), 0u);
  pair->SendChar('z');
  EXPECT_TRUE(DebugLines("ERROR:").empty());
  ASSERT_TRUE(WaitUntil([&] { return receiver.Data() == "x"; })) << receiver.Data();
  pair->SetActive(false);

  // Neither.
  pair->SetPipeIn(-1);
  try {
    pair->SetActive(true);
    ADD_FAILURE() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message, "Pipe IDs are wrong.");
  }
  EXPECT_FALSE(pair->GetActive());

  // Without a selected device nothing resolves at open; a closed device opens no pair.
  pair->SetPipeIn(0);
  usb->SetDeviceIndex(-1);
  EXPECT_EQ(usb->SelectedDevice(), nullptr);
  EXPECT_THROW(pair->SetActive(true), Exception);
  usb->SetDeviceIndex(0);
  usb->SetActive(false);
  pair->SetActive(true);
  EXPECT_FALSE(pair->GetActive());
  EXPECT_EQ(pair->InPipeId(), 0x81);
}

// Reads ask for ReadBufferSize bytes (128 or one smaller packet to 1 MiB) in whole packets; reads of one
// packet let whole packets without a zero-length packet after them through. A stream fills every read:
// its blocks show the read's size.
TEST_F(PipeTest, ReadsAreWholePacketsFrom128BytesToOneMiBAndAFullReadKeepsItsSpareByte) {
  // service, wMaxPacketSize (0: unknown), ReadBufferSize, bytes echoed (0: a stream), block
  const std::tuple<const char*, int, DWORD, DWORD, DWORD> cases[] = {
      {"WinUSB", 512, 0, 0, 128},   {"WinUSB", 64, 200, 0, 192}, {"PXUSB", 0, 0xFFFFFFFF, 0, 1u << 20},
      {"PXUSB", 512, 0x80000000, 0, 1u << 20}, {"WinUSB", 64, 64, 64, 64}, {"PXUSB", 64, 64, 192, 64}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    auto& [service, packet, readBufferSize, sent, block] = c;
    Load(Format(R"json({"controllers": [{"number": 0, "rootHub": {"ports": 1, "attach": {"1": {
      "vid": "0x2F1A", "pid": "0x0101", "service": "%s", "model": "%s", "endpoints": [
      {"address": "0x81", "maxPacket": %d, "zeroLengthPacket": false}, {"address": "0x02", "maxPacket": %d}]}}}}]})json",
                {service, sent ? "echo" : "stream", packet, packet}));
    usb = MakeComponent<TpxUSB>(nullptr);
    pair = MakeComponent<TpxUSBPipePair>(nullptr);
    usb->GetDevices(nullptr);
    auto form = MakeComponent<TForm>(nullptr);
    auto* memo = new TMemo(form.get());
    memo->SetParent(form.get());
    pair->SetTerminal(memo);  // it writes a zero behind every block: ASan checks the spare byte
    pair->SetTerminalUsage(tuReceive);
    Receiver received;
    pair->OnAfterReceive = TOnReceived::Of<&Receiver::Received>(&received);
    pair->SetReadBufferSize(readBufferSize);
    OpenPair(*usb, *pair, 0);
    EXPECT_EQ(pair->SendString(std::string(sent, 'e')), sent);
    ASSERT_TRUE(PumpUntil([&, echoed = sent] { return echoed ? received.Data().size() == echoed : received.Blocks().size() > 1; }));
    pair->SetActive(false);
    for (DWORD size : received.Blocks()) EXPECT_EQ(size, block);
  }
}

TEST_F(PipeTest, SendCharReportsAFailedWriteOnlyInTheDebuggerOutput) {
  AttachModel(0, std::make_shared<sim::StallingModel>());
  usb->SetDeviceIndex(0);
  usb->SetActive(true);
  pair->SetUsbDevice(usb.get());
  pair->SetPipeOut(1);

  pair->SendChar('a');  // inactive: nothing at all
  EXPECT_TRUE(DebugLines("ERROR:").empty());
  pair->SetActive(true);
  pair->SendChar('a');
  std::vector<std::string> lines = DebugLines("ERROR:");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_GT(lines[0].size(), 6u) << "the system's text follows";
  EXPECT_EQ(pair->SendString("b"), 0u);
  EXPECT_EQ(pair->SendBuffer(const_cast<char*>("c"), 1), 0u);
  EXPECT_EQ(DebugLines("ERROR:").size(), 1u);
}

TEST_F(PipeTest, SendBufferReturnsOnlyWhenTheWriteHasEnded) {
  auto device = AttachModel(0, std::make_shared<sim::SlowModel>(std::chrono::milliseconds(50)));
  OpenPair(*usb, *pair, 0);
  std::vector<char> data(64, 'x');
  EXPECT_EQ(pair->SendBuffer(data.data(), 64), 64u);
  EXPECT_EQ(device->pendingTransfers(), 0u);

  // A write time-out ends it early; the record is free again either way.
  pair->SetActive(false);
  AttachModel(0, std::make_shared<sim::SlowModel>(std::chrono::seconds(30)));
  usb->SetActive(false);
  usb->SetActive(true);
  pair->SetTimeoutWrite(20);
  pair->SetActive(true);
  EXPECT_EQ(pair->SendBuffer(data.data(), 64), 0u);
  EXPECT_EQ(Machine().usbIo().device(ToWin32DevicePath(Node(0)->DevicePath))->pendingTransfers(), 0u);
}

TEST_P(BindingTest, ClosingTheUsbComponentUnderABlockedReaderEndsIt) {
  auto device = AttachModel(GetParam(), std::make_shared<sim::SilentModel>());
  Receive();
  OpenPair(*usb, *pair, GetParam());
  ASSERT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 1; }));

  usb->SetActive(false);
  EXPECT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 0; }));
  // The pair does not notice: still active, its sends do nothing.
  EXPECT_TRUE(pair->GetActive());
  EXPECT_EQ(pair->SendString("x"), 0u);
  pair->SendChar('x');
  EXPECT_TRUE(DebugLines("ERROR:").empty());
  pair->SetActive(false);

  // Opened again on an open device, it reads again.
  AttachModel(GetParam(), std::make_shared<sim::EchoModel>(GetParam() == 0 ? 0x81 : 0x82));
  usb->SetActive(true);
  pair->SetActive(true);
  EXPECT_EQ(pair->SendString("again"), 5u);
  EXPECT_TRUE(WaitUntil([&] { return receiver.Data() == "again"; })) << receiver.Data();
}

TEST_F(PipeTest, AReopenedPairGetsEveryBlockItsOldReaderNeverDelivers) {
  auto device = AttachModel(0, std::make_shared<sim::EchoModel>(0x81));
  Receive();
  OpenPair(*usb, *pair, 0);
  ASSERT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 1; }));
  for (int i = 0; i < 3; ++i) {
    pair->SetActive(false);
    pair->SetActive(true);
  }
  EXPECT_EQ(pair->SendString("one"), 3u);
  ASSERT_TRUE(WaitUntil([&] { return receiver.Data() == "one"; })) << receiver.Data();
  EXPECT_EQ(receiver.Blocks().size(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 1; })) << "one reader reads";
}

TEST_F(PipeTest, TheOwnerGoingWhileActiveEndsEveryReaderInEitherOrder) {
  for (bool usbFirst : {true, false}) {
    SCOPED_TRACE(usbFirst ? "USB component created first" : "pair created first");
    auto owner = MakeComponent<TComponent>(nullptr);
    TpxUSB* ownedUsb = usbFirst ? new TpxUSB(owner.get()) : nullptr;
    auto* ownedPair = new TpxUSBPipePair(owner.get());
    if (!ownedUsb) ownedUsb = new TpxUSB(owner.get());
    ownedPair->OnAfterReceive = TOnReceived::Of<&Receiver::Received>(&receiver);
    // This walk replaces the tree that the fixture's component listed.
    ownedUsb->GetDevices(nullptr);
    auto device = Attach(dynamic_cast<TpxUsbDevice*>(ownedUsb->Devices(0)), std::make_shared<sim::SilentModel>());
    OpenPair(*ownedUsb, *ownedPair, 0);
    ASSERT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 1; }));
    owner.reset();
    EXPECT_EQ(device->pendingTransfers(), 0u);
    EXPECT_EQ(Machine().usbIo().openInterfaces(), 0u);
  }
}

TEST_F(PipeTest, APairDropsItsUsbDeviceWhenItGoesAndAnOwningOneIsTakenAtCreation) {
  Receive();
  OpenPair(*usb, *pair, 0);
  usb.reset();
  EXPECT_EQ(pair->UsbDevice(), nullptr);
  EXPECT_FALSE(pair->GetActive());
  EXPECT_EQ(pair->InPipeId(), 0);

  usb = MakeComponent<TpxUSB>(nullptr);
  auto* owned = new TpxUSBPipePair(usb.get());
  EXPECT_EQ(owned->UsbDevice(), usb.get());
  usb->GetDevices(nullptr);
  usb->SetDeviceIndex(1);
  usb->SetActive(true);
  owned->SetPipeOut(1);
  EXPECT_EQ(owned->OutPipeId(), 0x01);
  owned->SetActive(true);
  EXPECT_TRUE(owned->GetActive());
}

// The first read is answered with a byte count above the request, later ones honestly.
class OversizedCountModel : public sim::EchoModel {
 public:
  using EchoModel::EchoModel;
  NTSTATUS supply(UCHAR pipe, BYTE* out, size_t max, size_t* produced, sim::SteadyClock::time_point now) override {
    if (lied_) return EchoModel::supply(pipe, out, max, produced, now);
    lied_ = true;
    *produced = max + 64;
    return STATUS_SUCCESS;
  }

 private:
  bool lied_ = false;
};

TEST_P(BindingTest, AReadReportingMoreThanItAskedForIsDropped) {
  auto form = MakeComponent<TForm>(nullptr);
  auto* memo = new TMemo(form.get());
  memo->SetParent(form.get());
  AttachModel(GetParam(), std::make_shared<OversizedCountModel>(GetParam() == 0 ? 0x81 : 0x82));
  // The terminal stores a zero behind the reported count: ASan sees a trusted count.
  pair->SetTerminal(memo);
  pair->SetTerminalUsage(tuReceive);
  Receive();
  OpenPair(*usb, *pair, GetParam());
  EXPECT_EQ(pair->SendString("ok"), 2u);
  ASSERT_TRUE(PumpUntil([&] { return receiver.Data() == "ok"; })) << receiver.Data().size();
  EXPECT_EQ(receiver.Blocks(), std::vector<DWORD>{2});
}

struct ReadErrorCase { DWORD error; NTSTATUS status; int failures, triesBeforeEnd; };  // 0 tries: it recovers
void PrintTo(const ReadErrorCase& c, std::ostream* out) { *out << "error " << c.error << " x" << c.failures; }
constexpr int kForGood = 1000;
const ReadErrorCase kReadErrors[] = {
    {ERROR_FILE_NOT_FOUND, STATUS_NO_SUCH_FILE, kForGood, 1},
    {ERROR_BAD_COMMAND, STATUS_INVALID_DEVICE_STATE, kForGood, 1},
    {ERROR_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE, kForGood, 1},
    {ERROR_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED, kForGood, 1},
    {ERROR_DEVICE_REMOVED, STATUS_DEVICE_REMOVED, kForGood, 1},
    {ERROR_GEN_FAILURE, STATUS_UNSUCCESSFUL, 2, 0},  // stalls, then echoes
    {ERROR_GEN_FAILURE, STATUS_UNSUCCESSFUL, kForGood, 8},
    {ERROR_SEM_TIMEOUT, STATUS_IO_TIMEOUT, 2, 0},
    {ERROR_OPERATION_ABORTED, STATUS_CANCELLED, 2, 0},
    {ERROR_INVALID_FUNCTION, STATUS_INVALID_DEVICE_REQUEST, 1, 0},
    {ERROR_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, kForGood, 3},
};

// Binding (0 WinUSB, 1 pxusb driver), failing at once, the error.
class ReadErrorTest : public PipeTest, public ::testing::WithParamInterface<std::tuple<int, bool, ReadErrorCase>> {};
INSTANTIATE_TEST_SUITE_P(Codes, ReadErrorTest,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Bool(), ::testing::ValuesIn(kReadErrors)));

TEST_P(ReadErrorTest, TheReaderRecoversOrEndsPacedAndReportsTheEnd) {
  auto [binding, atOnce, c] = GetParam();
  auto model = std::make_shared<sim::FailingModel>(binding == 0 ? 0x81 : 0x82, c.status, atOnce, c.failures);
  AttachModel(binding, model);
  auto log = MakeComponent<TComponentLog>(nullptr);
  pair->SetLog(log.get());
  receiver.RaiseFatal = false;
  pair->OnFatalError = TOnFatalErrorEvent::Of<&Receiver::Fatal>(&receiver);
  Receive();
  auto start = std::chrono::steady_clock::now();
  OpenPair(*usb, *pair, binding);
  EXPECT_EQ(pair->SendString("abc"), 3u);
  bool ends = c.triesBeforeEnd > 0;
  ASSERT_TRUE(PumpUntil([&] { return ends ? !pair->GetActive() : receiver.Data() == "abc"; })) << "nothing lost";
  EXPECT_EQ(model->failed, ends ? c.triesBeforeEnd : c.failures) << "a bounded number of tries";
  EXPECT_GE(std::chrono::steady_clock::now() - start, (c.triesBeforeEnd - 1) * std::chrono::milliseconds(200));
  EXPECT_EQ(receiver.Fatals.size(), ends ? 1u : 0u);
  std::string report = Format("9, %u, USB pipe read fails: ", {c.error});
  if (!ends || receiver.Fatals.empty()) return;
  EXPECT_EQ(receiver.Fatals[0].compare(0, report.size(), report), 0) << receiver.Fatals[0];
  EXPECT_GT(receiver.Fatals[0].size(), report.size()) << "the error's text follows";
  EXPECT_EQ(log->Count("0:Fatal Error: " + report), 1);
  EXPECT_TRUE(WaitUntil([&] { return Machine().kernel().runningThreads() == 0; }));
}

// Pair A closes; pair B opens on the same pipe: A's read must not take B's data.
TEST_P(BindingTest, AClosedPairsReadTakesNoBlockOfTheNextPair) {
  Receive();
  OpenPair(*usb, *pair, GetParam());
  auto device = Machine().usbIo().device(ToWin32DevicePath(Node(GetParam())->DevicePath));
  ASSERT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 1; }));
  pair->SetActive(false);
  auto next = MakeComponent<TpxUSBPipePair>(nullptr);
  Receiver nextReceiver;
  next->OnAfterReceive = TOnReceived::Of<&Receiver::Received>(&nextReceiver);
  OpenPair(*usb, *next, GetParam());
  EXPECT_EQ(next->SendString("a"), 1u);
  EXPECT_TRUE(WaitUntil([&] { return nextReceiver.Data() == "a"; })) << "the block was swallowed";
}

// The close's abort loses the race to data on each of three queued reads: their blocks
// are handed on, in order, before the close returns.
TEST_P(BindingTest, BlocksThatBeatTheClosesCancelAreHandedOnBeforeTheCloseReturns) {
  Receive();
  auto device = Machine().usbIo().device(ToWin32DevicePath(Node(GetParam())->DevicePath));
  device->model()->cancelDelay = std::chrono::seconds(60);
  pair->SetReadsInFlight(3);
  // Handed on by the reader (WinUSB), or by the main thread while it waits in the close (pxusb).
  pair->SetUseMainThread(GetParam() == 1);
  OpenPair(*usb, *pair, GetParam());
  ASSERT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 3; }));
  std::thread sender([&] {
    ASSERT_TRUE(WaitUntil([&] { return device->cancellingTransfers() == 3; }));
    size_t cancelling = 3;
    for (const char* late : {"la", "te", "!!"}) {
      // One block for each read: the next goes once this one has taken its read.
      usb->SharedUsbApi()->WritePipe(pair->OutPipeId(), const_cast<char*>(late), 2, nullptr);
      --cancelling;
      ASSERT_TRUE(WaitUntil([&] { return device->cancellingTransfers() == cancelling; }));
    }
  });
  pair->SetActive(false);
  sender.join();
  EXPECT_EQ(receiver.Data(), "late!!");
}

// The first block's handler re-opens the pair, frees it, or frees its device, on the
// main thread (UseMainThread: the reader waits for it) or the reader's. One reader reads on.
struct FirstBlockHandler {
  int action;
  TOwned<TpxUSB>& usb;
  TOwned<TpxUSBPipePair>& pair;
  std::atomic<int> blocks{0};
  void Received(TObject*, void*, DWORD) {
    if (blocks > 0) {
      ++blocks;
      return;
    }
    if (action == 0) pair->SetActive(false), pair->SetActive(true);
    if (action == 1) pair.reset();
    if (action == 2) usb.reset();
    blocks = 1;  // counted once done, so that the test goes on only after the action
  }
};

TEST_P(BindingTest, AHandlerMayReopenOrFreeThePairOrItsDevice) {
  for (int action = 0; action < 6; ++action) {
    SCOPED_TRACE(action);
    pair = MakeComponent<TpxUSBPipePair>(nullptr);
    usb = MakeComponent<TpxUSB>(nullptr);
    usb->GetDevices(nullptr);
    FirstBlockHandler handler{action % 3, usb, pair};
    pair->OnAfterReceive = TOnReceived::Of<&FirstBlockHandler::Received>(&handler);
    pair->SetUseMainThread(action < 3);
    OpenPair(*usb, *pair, GetParam());
    EXPECT_EQ(pair->SendString("a"), 1u);
    ASSERT_TRUE(PumpUntil([&] { return handler.blocks == 1 && Machine().kernel().runningThreads() == (action % 3 == 0); }));
    if (action % 3 != 0) continue;
    EXPECT_EQ(pair->SendString("b"), 1u);
    EXPECT_TRUE(PumpUntil([&] { return handler.blocks == 2; }));
    pair.reset();
  }
}

TEST_P(BindingTest, ASendThatWaitsForRoomLetsTheReaderHandOverMeanwhile) {
  AttachModel(GetParam(), std::make_shared<sim::EchoModel>(GetParam() == 0 ? 0x81 : 0x82, 64));
  Receive();
  pair->SetUseMainThread(true);
  OpenPair(*usb, *pair, GetParam());
  std::string data(4096, 'x');
  EXPECT_EQ(pair->SendBuffer(&data[0], 4096), 4096u);
  EXPECT_TRUE(PumpUntil([&] { return receiver.Data() == data; }));
}

TEST_F(PipeTest, AnInOnlyOrOutOnlyPairLeavesTheDefaultPipesTimeOutAlone) {
  usb->SetDeviceIndex(0);
  usb->SetActive(true);
  pair->SetUsbDevice(usb.get());
  pair->SetTimeoutRead(7);
  pair->SetTimeoutWrite(9);
  for (int in : {0, -1}) {
    pair->SetPipeIn(in);
    pair->SetPipeOut(in == 0 ? -1 : 1);
    pair->SetActive(true);
    EXPECT_EQ(Machine().usbIo().interfaces().at(0)->policy(0).timeoutMs, 5000u) << "pipe 0 keeps its own";
    pair->SetActive(false);
  }
}

TEST_F(PipeTest, AnOpenDeviceStaysSelectedThroughAnotherComponentsReload) {
  OpenPair(*usb, *pair, 1);
  pair->SetActive(false);
  sim::HotPlug(Machine(), Bus()).unplug({0, {1}});
  MakeComponent<TpxUSB>(nullptr)->LoadDevices();
  ASSERT_NE(usb->SelectedDevice(), nullptr);
  EXPECT_EQ(usb->SelectedDevice()->Name, "pxecho");
  pair->SetActive(true);
  EXPECT_EQ(pair->InPipeId(), 0x82);
}

// The machine goes under a pending read; the next machine's handles are safe from what
// the old components close later.
TEST_F(PipeTest, AMachineGoesUnderAPendingReadAndTheNextKeepsItsHandles) {
  Receive();
  OpenPair(*usb, *pair, 0);
  ASSERT_TRUE(WaitUntil([&] { return Machine().kernel().runningThreads() == 1; }));
  Load(SampleMachine());
  HANDLE event = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  pair.reset();
  usb.reset();
  EXPECT_TRUE(win::SetEvent(event));
  win::CloseHandle(event);
}

// A read that fails at once leaves nothing running: the reader neither waits for it
// nor tries again at once. The device file stays open, but the IN pipe is unknown to it.
TEST_F(PipeTest, AReadRefusedAtOnceIsRetriedAfterAPauseAndClosingEndsTheReader) {
  TpxUsbDevice* node = Node(0);
  Machine().usbIo().attach(ToWin32DevicePath(node->DevicePath), node->Service, {{0x02}},
                           std::make_shared<sim::SilentModel>());
  Receive();
  auto start = std::chrono::steady_clock::now();
  OpenPair(*usb, *pair, 0);
  ASSERT_TRUE(WaitUntil([&] { return DebugLines("Read Error").size() >= 2; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200))
      << "two tries, one pause between";
  pair->SetActive(false);
  EXPECT_TRUE(WaitUntil([&] { return Machine().kernel().runningThreads() == 0; }));
}

TEST_P(BindingTest, AReaderOfADeviceThatIsGoneEnds) {
  Receive();
  usb->SetDeviceIndex(GetParam());
  usb->SetActive(true);
  // Gone between the device's open and the pair's: every read is refused at once.
  Machine().usbIo().device(ToWin32DevicePath(Node(GetParam())->DevicePath))->unplug();
  pair->SetUsbDevice(usb.get());
  pair->SetPipeIn(0);
  pair->SetPipeOut(1);
  pair->SetActive(true);
  EXPECT_TRUE(WaitUntil([&] { return Machine().kernel().runningThreads() == 0; }));
}

// Four reads queued: blocks come in the order of the data; a stall fails the whole
// queue but counts as one failure; closing and unplugging end every queued read.
TEST_P(BindingTest, QueuedReadsKeepTheOrderAndAllEndAtCloseAndUnplug) {
  UCHAR in = GetParam() == 0 ? 0x81 : 0x82;
  auto device = AttachModel(GetParam(), std::make_shared<sim::StreamModel>(in, 4e6));
  Receive();
  pair->SetReadsInFlight(4);
  OpenPair(*usb, *pair, GetParam());
  ASSERT_TRUE(WaitUntil([&] { return receiver.Data().size() >= 64 * 1024; }));
  pair->SetActive(false);
  EXPECT_EQ(device->pendingTransfers(), 0u);
  std::string data = receiver.Data();
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(static_cast<BYTE>(data[i]), static_cast<BYTE>(i)) << "lost or reordered";
  usb->SetActive(false);

  // Five stalls in a row, each failing the reads queued behind it: the reader recovers.
  Receiver echoed;
  pair->OnAfterReceive = TOnReceived::Of<&Receiver::Received>(&echoed);
  AttachModel(GetParam(), std::make_shared<sim::FailingModel>(in, STATUS_UNSUCCESSFUL, false, 5));
  OpenPair(*usb, *pair, GetParam());
  EXPECT_EQ(pair->SendString("abc"), 3u);
  EXPECT_TRUE(WaitUntil([&] { return echoed.Data() == "abc"; })) << echoed.Data();
  pair->SetActive(false);
  usb->SetActive(false);

  device = AttachModel(GetParam(), std::make_shared<sim::SilentModel>());
  echoed.RaiseFatal = false;
  pair->OnFatalError = TOnFatalErrorEvent::Of<&Receiver::Fatal>(&echoed);
  OpenPair(*usb, *pair, GetParam());
  ASSERT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 4; }));
  device->unplug();
  EXPECT_TRUE(WaitUntil([&] { return Machine().kernel().runningThreads() == 0; }));
  EXPECT_EQ(device->pendingTransfers(), 0u);
  EXPECT_TRUE(PumpUntil([&] { return echoed.Fatals.size() == 1; })) << "the unplug is reported";
}

}  // namespace
}  // namespace pxtest
