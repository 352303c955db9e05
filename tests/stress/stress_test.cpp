// Stress: devices that go while they are read, written and streamed, open and close
// storms, components destroyed while open, and device-change storms while streaming.
// Every cycle checks what arrived, that readers end, and every test that the machine's
// handles, threads, windows and local memory are back where they started.
// PXUSB_STRESS_CYCLES sets the cycles per test (scripts/stress runs thousands).
// The suite always runs with the simulator unkind: with PXUSB_UNKIND's seed, or with
// one drawn and printed, so that a failing run replays.
#include <cstdlib>
#include <thread>
#include <tuple>

#include "components/components.h"
#include "platform/sim/hotplug.h"
#include "platform/sim/variance.h"

namespace pxtest {
namespace {

int Cycles() {
  const char* text = std::getenv("PXUSB_STRESS_CYCLES");
  int cycles = text ? std::atoi(text) : 0;
  return cycles > 0 ? cycles : 3;
}

// Places in SampleMachine: the echo device on WinUSB, the hub, the echo device on the
// pxusb driver behind it, the stick. List positions: echo 0, pxecho 1.
const sim::HotPlug::Place kEcho{0, {1}};
const sim::HotPlug::Place kHub{0, {2}};
const sim::HotPlug::Place kStick{0, {3}};

struct Resources {
  size_t handles, threads, windows, localMemory;
  bool operator==(const Resources& o) const {
    return handles == o.handles && threads == o.threads && windows == o.windows && localMemory == o.localMemory;
  }
};

// The bytes of a stream device: each open's data must count on by one from its first byte.
class StreamCheck {
 public:
  void Received(TObject*, void* buffer, DWORD count) {
    std::lock_guard<std::mutex> guard(lock_);
    for (DWORD i = 0; i < count; ++i) {
      BYTE b = static_cast<BYTE>(static_cast<char*>(buffer)[i]);
      if (started_ && b != static_cast<BYTE>(last_ + 1)) ++breaks_;
      started_ = true;
      last_ = b;
    }
    bytes_ += count;
  }
  void NewOpen() {
    std::lock_guard<std::mutex> guard(lock_);
    started_ = false;
  }
  size_t Bytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bytes_;
  }
  int Breaks() const {
    std::lock_guard<std::mutex> guard(lock_);
    return breaks_;
  }

 private:
  mutable std::mutex lock_;
  bool started_ = false;
  BYTE last_ = 0;
  size_t bytes_ = 0;
  int breaks_ = 0;
};

class StressTest : public ComponentTest {
 protected:
  void SetUp() override {
    sim::Variance::instance().becomeUnkind();
    ComponentTest::SetUp();
    usb = MakeComponent<TpxUSB>(nullptr);
    usb->GetDevices(nullptr);
    start = Now();
    NewPair();
  }
  void NewPair() {
    pair = MakeComponent<TpxUSBPipePair>(nullptr);
    pair->OnAfterReceive = TOnReceived::Of<&Receiver::Received>(&receiver);
  }
  void TearDown() override {
    // The pair keeps its last reader's handle until it opens again or goes, and an
    // event for its writes.
    pair.reset();
    if (usb) usb->SetActive(false);
    ASSERT_TRUE(ReadersEnded());
    usb->DevicesChanged();  // the list as it was, holding the same local memory
    EXPECT_TRUE(WaitUntil([&] { return Now() == start; }))
        << "handles " << Now().handles << " (" << start.handles << "), threads " << Now().threads << " ("
        << start.threads << "), windows " << Now().windows << " (" << start.windows << "), local memory "
        << Now().localMemory << " (" << start.localMemory << ")";
    usb.reset();
    ComponentTest::TearDown();
  }

  Resources Now() {
    sim::Kernel& kernel = Machine().kernel();
    return {kernel.handleCount(), kernel.runningThreads(), Machine().user().windowCount(), kernel.localAllocations()};
  }
  bool ReadersEnded() { return WaitUntil([&] { return Machine().kernel().runningThreads() == start.threads; }); }
  std::shared_ptr<sim::UsbDevice> Device(int index) {
    auto* node = dynamic_cast<TpxUsbDevice*>(usb->Devices(index));
    return node ? Machine().usbIo().device(ToWin32DevicePath(node->DevicePath)) : nullptr;
  }
  // Sends `text` through the open pair; true when exactly it came back after what came before.
  bool Echoes(const std::string& text) {
    expected += text;
    return pair->SendString(text) == text.size() && WaitUntil([&] { return receiver.Data() == expected; });
  }
  // The pair reads `index` with its read pending.
  void Open(int index) {
    OpenPair(*usb, *pair, index);
    ASSERT_TRUE(pair->GetActive());
    auto device = Device(index);
    ASSERT_TRUE(device);
    ASSERT_TRUE(WaitUntil([&] { return device->pendingTransfers() >= 1; }));
  }
  void Close() {
    pair->SetActive(false);
    usb->SetActive(false);
    ASSERT_TRUE(ReadersEnded());
  }
  // What the form does with WM_DEVICECHANGE.
  void DeviceChange() {
    TMessage message{WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, 0};
    ASSERT_TRUE(usb->DeviceChange(message));
  }

  TOwned<TpxUSB> usb;
  TOwned<TpxUSBPipePair> pair;
  Receiver receiver;
  std::string expected;
  Resources start{};
};

// The device goes while the reader waits: the read ends, the reader leaves, and the
// device works again once it is back. Over WinUSB, over the pxusb driver, and with
// the hub in front of a device going instead of the device. With each error a removed
// device may give; the reader's end is reported (the pair closes).
struct UnplugCase {
  const char* name;
  int index;
  sim::HotPlug::Place place;
};

class UnplugWhileReading : public StressTest, public ::testing::WithParamInterface<std::tuple<UnplugCase, int>> {};
INSTANTIATE_TEST_SUITE_P(Places, UnplugWhileReading,
                         ::testing::Combine(::testing::Values(UnplugCase{"WinUsb", 0, kEcho}, UnplugCase{"PxUsbBehindHub", 1, kHub}),
                                            ::testing::Values(2, 22, 31, 433, 995, 1167)),
                         [](const auto& info) { return std::get<0>(info.param).name + std::to_string(std::get<1>(info.param)); });

TEST_P(UnplugWhileReading, ReaderEndsAndTheDeviceWorksAgainOnceBack) {
  sim::HotPlug plug(Machine(), Bus());
  auto [c, error] = GetParam();
  Device(c.index)->model()->removal = {static_cast<DWORD>(error), static_cast<DWORD>(error)};
  for (int cycle = 0; cycle < Cycles(); ++cycle) {
    SCOPED_TRACE(cycle);
    Open(c.index);
    ASSERT_TRUE(Echoes("c" + std::to_string(cycle))) << receiver.Data();
    ASSERT_TRUE(plug.unplug(c.place));
    ASSERT_TRUE(ReadersEnded());
    ASSERT_TRUE(PumpUntil([&] { return !pair->GetActive(); })) << "the end is reported";
    Close();
    ASSERT_TRUE(plug.plug(c.place));
    DeviceChange();
  }
}

// The device goes while a write waits for it: the write reports nothing sent.
TEST_F(StressTest, UnplugWhileWritingFailsTheWrite) {
  sim::HotPlug plug(Machine(), Bus());
  for (int cycle = 0; cycle < Cycles(); ++cycle) {
    SCOPED_TRACE(cycle);
    auto* node = dynamic_cast<TpxUsbDevice*>(usb->Devices(0));
    auto device = Attach(node, std::make_shared<sim::SlowModel>(std::chrono::hours(1)));
    Open(0);
    DWORD sent = 1;
    std::thread writer([&] { sent = pair->SendBuffer(const_cast<char*>("w"), 1); });
    EXPECT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 2; }));
    ASSERT_TRUE(plug.unplug(kEcho));
    writer.join();
    EXPECT_EQ(sent, 0u);
    ASSERT_TRUE(ReadersEnded());
    Close();
    ASSERT_TRUE(plug.plug(kEcho, std::make_shared<sim::EchoModel>(0x81)));
    DeviceChange();
  }
  Open(0);
  EXPECT_TRUE(Echoes("back")) << receiver.Data();
}

// A stream goes mid-flow: what came is in order, the reader ends, the next open
// streams again.
TEST_F(StressTest, UnplugWhileStreamingKeepsTheDataInOrder) {
  sim::HotPlug plug(Machine(), Bus());
  StreamCheck stream;
  pair->OnAfterReceive = TOnReceived::Of<&StreamCheck::Received>(&stream);
  for (int cycle = 0; cycle < Cycles(); ++cycle) {
    SCOPED_TRACE(cycle);
    Attach(dynamic_cast<TpxUsbDevice*>(usb->Devices(0)), std::make_shared<sim::StreamModel>(0x81, 0));
    stream.NewOpen();
    OpenPair(*usb, *pair, 0);
    size_t before = stream.Bytes();
    ASSERT_TRUE(WaitUntil([&] { return stream.Bytes() > before + 4096; }));
    ASSERT_TRUE(plug.unplug(kEcho));
    ASSERT_TRUE(ReadersEnded());
    Close();
    ASSERT_TRUE(plug.plug(kEcho));
    DeviceChange();
  }
  EXPECT_EQ(stream.Breaks(), 0);
}

// Opening and closing again and again, the USB component with the pair and the pair alone.
TEST_F(StressTest, ActiveAndReopenStormsLoseNothing) {
  for (int cycle = 0; cycle < Cycles(); ++cycle) {
    SCOPED_TRACE(cycle);
    Open(cycle % 2);
    ASSERT_TRUE(Echoes("a" + std::to_string(cycle))) << receiver.Data();
    for (int again = 0; again < 3; ++again) {
      pair->SetActive(false);
      pair->SetActive(true);
      ASSERT_TRUE(Echoes("r")) << receiver.Data();
    }
    Close();
  }
}

// Components destroyed while open, the USB component first or the pair first.
class DestroyWhileOpen : public StressTest, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Orders, DestroyWhileOpen, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "UsbFirst" : "PairFirst"); });

TEST_P(DestroyWhileOpen, EndsTheReaderAndReleasesEverything) {
  for (int cycle = 0; cycle < Cycles(); ++cycle) {
    SCOPED_TRACE(cycle);
    Open(cycle % 2);
    ASSERT_TRUE(Echoes("d" + std::to_string(cycle))) << receiver.Data();
    if (GetParam()) usb.reset();
    pair.reset();
    usb.reset();
    ASSERT_TRUE(ReadersEnded());
    usb = MakeComponent<TpxUSB>(nullptr);
    usb->GetDevices(nullptr);
    NewPair();
  }
}

// Other devices come and go, and the list reloads each time, while the pair streams:
// the stream goes on in order.
TEST_F(StressTest, DeviceChangeStormsWhileStreamingKeepTheStream) {
  sim::HotPlug plug(Machine(), Bus());
  StreamCheck stream;
  pair->OnAfterReceive = TOnReceived::Of<&StreamCheck::Received>(&stream);
  Attach(dynamic_cast<TpxUsbDevice*>(usb->Devices(0)), std::make_shared<sim::StreamModel>(0x81, 0));
  OpenPair(*usb, *pair, 0);
  for (int cycle = 0; cycle < Cycles(); ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_TRUE(plug.unplug(cycle % 2 ? kStick : kHub));
    DeviceChange();
    size_t before = stream.Bytes();
    ASSERT_TRUE(WaitUntil([&] { return stream.Bytes() > before; })) << "the stream stopped";
    ASSERT_TRUE(plug.plug(cycle % 2 ? kStick : kHub));
    DeviceChange();
    EXPECT_EQ(usb->GetDeviceIndex(), 0);
  }
  Close();
  EXPECT_EQ(stream.Breaks(), 0);
}

}  // namespace
}  // namespace pxtest
