// The demo's form as a user meets it: scripted sessions on the demo machine, against
// the headless user32 here and the real one under Wine (devices simulated in both).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/Unit1.h"
#include "app/session.h"
#include "platform/sim/description.h"
#include "platform/sim/hotplug.h"
#include "support/backend.h"
#include "support/input.h"

namespace {

// The demo machine's device list: echo (WinUSB, 0x81 and 0x02), mouse (IN only),
// logger (pxusb, 0x82 and 0x01), stick.
class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    machine_ = sim::loadMachine("demo", sim::SimMachine::kHosted);
#else
    machine_ = sim::loadMachine("demo");
#endif
    app_ = std::make_unique<TApplication>(nullptr);
    app_->CreateForm(form_);
  }
  void TearDown() override {
    app_.reset();
    machine_.reset();
  }

  void Pump() { app_->ProcessMessages(); }
  bool ProcessUntil(const std::function<bool()>& condition) {
    return pxtest::WaitUntil([&] { return Pump(), condition(); });
  }
  // The user picks entry `index` of a drop-down list with the mouse.
  void Pick(TCustomComboBox* list, int index) {
    ASSERT_TRUE(userinput::PickWithMouse(list->Handle(), index, pxtest::Pumping([this] { Pump(); })));
  }
  // The user clicks Active: the box ticks, or an error is shown (and unticks it).
  void ClickActive(const std::vector<std::string>& shown) {
    bool ticked = form_->CheckBox1->Checked();
    size_t errors = shown.size();
    userinput::ClickCenter(form_->CheckBox1->Handle());
    EXPECT_TRUE(pxtest::PumpUntil([this] { Pump(); }, [&] {
      return form_->CheckBox1->Checked() != ticked || shown.size() > errors;
    }));
  }
  void DeviceChange() {
    win::SendMessageA(form_->Handle(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  }
  void Unplug(int port) {
    machine_->usb().edit([&](auto& controllers) {
      controllers.begin()->second.rootHub.ports[static_cast<size_t>(port - 1)].device.reset();
    });
  }

  std::unique_ptr<sim::DescribedMachine> machine_;
  std::unique_ptr<TApplication> app_;
  TForm1* form_ = nullptr;
};

TEST_F(FormTest, TheDescriptionBuildsTheFormAndItsLinks) {
  const char* order[] = {"Label1", "Label2", "Label3",  "Label4", "Label5",
                         "pxDeviceBox1", "Memo1", "ePipeIn", "ePipeOut", "CheckBox1",
                         "Memo2", "pxUSB1", "pxUSBPipePair1", "XPManifest1", "lReceived", "Label6", "eScrollBack"};
  ASSERT_EQ(form_->ComponentCount(), static_cast<int>(std::size(order)));
  for (int i = 0; i < form_->ComponentCount(); ++i) EXPECT_EQ(form_->Components(i)->Name(), order[i]);
  EXPECT_EQ(form_->Caption(), "USB Device Demo - pxusb.dev");
  EXPECT_EQ(form_->ClientWidth(), 382);
  EXPECT_EQ(form_->ClientHeight(), 340);
  EXPECT_EQ(form_->pxDeviceBox1->pxLink(), form_->pxUSB1);
  EXPECT_EQ(form_->pxUSBPipePair1->UsbDevice(), form_->pxUSB1);
  EXPECT_EQ(form_->pxUSBPipePair1->Terminal(), form_->Memo1);
  EXPECT_EQ(form_->pxUSBPipePair1->TerminalUsage(), tuSend);
  EXPECT_FALSE(form_->pxUSBPipePair1->UseMainThread());
  EXPECT_EQ(form_->ePipeIn->Style(), csDropDownList);
  EXPECT_TRUE(form_->Memo2->Anchors() == (TAnchors{akLeft, akRight, akBottom}));

  // Linking the box loaded the list; nothing is selected and the pipe lists are empty.
  form_->Show();
  EXPECT_EQ(form_->pxDeviceBox1->Items().Count(), 5);
  EXPECT_EQ(form_->pxDeviceBox1->ItemIndex(), -1);
  EXPECT_EQ(form_->ePipeIn->Items().Count(), 0);

  // Anchored controls follow the form's size.
  form_->SetClientWidth(482);
  form_->SetClientHeight(440);
  EXPECT_EQ(form_->Memo1->Width(), 450);
  EXPECT_EQ(form_->Memo1->Height(), 150);
  EXPECT_EQ(form_->Memo2->Top(), 329);
  EXPECT_EQ(form_->Memo2->Height(), 85);
}

TEST_F(FormTest, TheScriptedSessionEchoesTextAndHexAndClosesWhileActive) {
  TDemoSession session(*form_, "hello");
  app_->Run();
  EXPECT_TRUE(session.Finish()) << ::testing::PrintToString(session.Transcript());
  std::vector<std::string> transcript = session.Transcript();
  EXPECT_NE(std::find(transcript.begin(), transcript.end(), "Memo1: hello"), transcript.end());
  EXPECT_NE(std::find(transcript.begin(), transcript.end(), "Memo2: 68 65 6C 6C 6F "), transcript.end());
  EXPECT_NE(std::find(transcript.begin(), transcript.end(), "Device: NW Loopback Probe"), transcript.end());
}

TEST_F(FormTest, PickingADeviceFillsThePipeListsWithoutSelecting) {
  form_->Show();
  Pick(form_->pxDeviceBox1, 2);
  EXPECT_EQ(form_->pxUSB1->GetDeviceIndex(), 2);
  ASSERT_EQ(form_->ePipeIn->Items().Count(), 1);
  ASSERT_EQ(form_->ePipeOut->Items().Count(), 1);
  auto* in = static_cast<TpxUsbPipe*>(form_->ePipeIn->Items().Objects(0));
  EXPECT_EQ(in->EndpointAddress(), 0x82);
  EXPECT_EQ(form_->ePipeIn->Items().Strings(0), in->Description);
  EXPECT_EQ(form_->ePipeIn->ItemIndex(), -1);
  EXPECT_EQ(form_->ePipeOut->ItemIndex(), -1);
  // A device with an IN pipe only: the output list is empty.
  Pick(form_->pxDeviceBox1, 1);
  EXPECT_EQ(form_->ePipeIn->Items().Count(), 1);
  EXPECT_EQ(form_->ePipeOut->Items().Count(), 0);
}

// Arrowing in the dropped device list loads each device's pipes; a click elsewhere
// then puts back the device of the drop, and its pipes with it.
TEST_F(FormTest, AListClosedByAClickElsewhereShowsThePipesOfTheDeviceItShows) {
  form_->Show();
  Pick(form_->pxDeviceBox1, 0);
  HWND box = form_->pxDeviceBox1->Handle();
  win::SendMessageA(box, CB_SHOWDROPDOWN, TRUE, 0);
  win::SendMessageA(box, WM_KEYDOWN, VK_DOWN, 1);
  ASSERT_EQ(form_->ePipeOut->Items().Count(), 0);  // the mouse's
  userinput::Click(form_->Handle(), 300, 300);
  ASSERT_TRUE(ProcessUntil([&] { return !win::SendMessageA(box, CB_GETDROPPEDSTATE, 0, 0); }));
  EXPECT_EQ(form_->pxDeviceBox1->ItemIndex(), 0);
  EXPECT_EQ(form_->pxUSB1->GetDeviceIndex(), 0);
  EXPECT_EQ(form_->ePipeOut->Items().Count(), 1);
}

// What the application would show in message boxes (a real one would wait for a user).
struct ShownErrors {
  void Show(TObject*, const Exception& error) { messages.push_back(error.Message); }
  std::vector<std::string> messages;
};

// The device is listed before its driver has started: activating it fails, and the
// pipe lists then hold the pipes of the list the open read again, still chosen.
TEST_F(FormTest, ActivatingADeviceListedBeforeItsDriverStartedKeepsThePipeListsTrue) {
  ShownErrors shown;
  app_->OnException = TEvent<TObject*, const Exception&>::Of<&ShownErrors::Show>(&shown);
  form_->Show();
  sim::HotPlug plug(machine_->machine(), machine_->usb());
  ASSERT_TRUE(plug.unplug({0, {1}}));
  ASSERT_TRUE(plug.plug({0, {1}}, nullptr, sim::HotPlug::Stage::kDevnode));
  Pump();
  Pick(form_->pxDeviceBox1, 0);
  Pick(form_->ePipeIn, 0);
  Pick(form_->ePipeOut, 0);
  ClickActive(shown.messages);
  EXPECT_FALSE(form_->CheckBox1->Checked());
  ASSERT_EQ(shown.messages.size(), 1u);
  TpxUsbDevice* device = form_->pxUSB1->SelectedDevice();
  ASSERT_NE(device, nullptr);
  for (TComboBox* list : {form_->ePipeIn, form_->ePipeOut}) {
    ASSERT_EQ(list->ItemIndex(), 0);
    bool owned = false;
    for (int i = 0; i < device->PipeCount(); ++i) owned |= list->Items().Objects(0) == device->Pipes(i);
    EXPECT_TRUE(owned);
  }
}

TEST_F(FormTest, AFailedActivationIsShownOnceAndLeavesEverythingInactive) {
  ShownErrors shown;
  app_->OnException = TEvent<TObject*, const Exception&>::Of<&ShownErrors::Show>(&shown);
  form_->Show();
  // No device chosen.
  ClickActive(shown.messages);
  // Then a device, but no pipes: the list-index error.
  Pick(form_->pxDeviceBox1, 0);
  ClickActive(shown.messages);
  EXPECT_FALSE(form_->CheckBox1->Checked());
  EXPECT_FALSE(form_->pxUSB1->GetActive());
  EXPECT_FALSE(form_->pxUSBPipePair1->GetActive());
  EXPECT_EQ(shown.messages, (std::vector<std::string>{"Device is not selected", "List index out of bounds (-1)"}));
  // Characters typed while inactive are lost.
  win::SetFocus(form_->Memo1->Handle());
  userinput::TypeText("x");
  Pump();
  EXPECT_EQ(form_->Memo1->GetText(), "");

  // With both pipes chosen the same box ticks.
  Pick(form_->ePipeIn, 0);
  Pick(form_->ePipeOut, 0);
  ClickActive(shown.messages);
  EXPECT_TRUE(form_->CheckBox1->Checked());
  EXPECT_TRUE(form_->pxUSBPipePair1->GetActive());
  EXPECT_EQ(form_->pxUSBPipePair1->InPipeId(), 0x81);
  EXPECT_EQ(form_->pxUSBPipePair1->OutPipeId(), 0x02);
  ClickActive(shown.messages);
  EXPECT_FALSE(form_->pxUSBPipePair1->GetActive());
  EXPECT_FALSE(form_->pxUSB1->GetActive());
}

TEST_F(FormTest, EachReceivedBlockBecomesAHexLineFromTheReaderThread) {
  form_->Show();
  std::atomic<int> done{0};
  std::thread reader([&] {
    unsigned char first[] = {0x48, 0x69, 0x0A};
    form_->pxUSBPipePair1AfterReceive(form_->pxUSBPipePair1, first, 3);
    unsigned char second[] = {0xFF};
    form_->pxUSBPipePair1AfterReceive(form_->pxUSBPipePair1, second, 1);
    done = 1;
  });
  // The lines reach the memo at the next display tick.
  EXPECT_TRUE(ProcessUntil([&] { return done == 1 && form_->Memo2->Lines().Count() == 2; }));
  reader.join();
  ASSERT_EQ(form_->Memo2->Lines().Count(), 2);
  EXPECT_EQ(form_->Memo2->Lines().Strings(0), "48 69 0A ");
  EXPECT_EQ(form_->Memo2->Lines().Strings(1), "FF ");
}

// As on the terminal of a pair that shows what it receives: a block of one byte is a
// typed character, so an echoed backspace erases, an echoed return starts a line.
TEST_F(FormTest, AReceivedBackspaceOrReturnActsAsTyped) {
  form_->Show();
  auto receive = [&](const char* block, DWORD size, const char* shown) {
    form_->pxUSBPipePair1AfterReceive(form_->pxUSBPipePair1, const_cast<char*>(block), size);
    EXPECT_TRUE(ProcessUntil([&] { return form_->Memo1->GetText() == shown; })) << form_->Memo1->GetText();
  };
  receive("abc", 3, "abc");
  receive("\b", 1, "ab");
  receive("\r", 1, "ab\r\n");
  receive("x\b", 2, "ab\r\nx\b");
  // Longer text reaches the box in several steps, all of it.
  std::string block(600, 'z');
  receive(block.c_str(), 600, ("ab\r\nx\b" + block).c_str());
}

// A flood of blocks: both boxes keep only the lines the user set, the hex box shows the
// latest blocks behind a count of those left out, and the byte count misses nothing.
TEST_F(FormTest, AFloodIsCoalescedIntoABoundedScrollBackAndCountedWhole) {
  form_->Show();
  form_->eScrollBack->SetText("20");
  for (int i = 0; i < 30; ++i) form_->Memo1->Lines().Add("terminal line " + std::to_string(i));
  std::thread reader([&] {
    for (int i = 0; i < 1000; ++i) {
      unsigned char block[] = {0xAB, 0xCD, static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)};
      form_->pxUSBPipePair1AfterReceive(form_->pxUSBPipePair1, block, 4);
    }
  });
  EXPECT_TRUE(ProcessUntil([&] { return form_->lReceived->Caption().find("Received 4000 bytes") == 0; }))
      << form_->lReceived->Caption();
  reader.join();
  for (TMemo* memo : {form_->Memo1, form_->Memo2}) EXPECT_LE(memo->Lines().Count(), 25);
  TStrings& hex = form_->Memo2->Lines();
  ASSERT_GT(hex.Count(), 1);
  EXPECT_EQ(hex.Strings(hex.Count() - 1), "AB CD 03 E7 ");
  EXPECT_NE(form_->Memo2->GetText().find("bytes not shown"), std::string::npos);
  // The terminal shows the latest text, within 80 characters a line.
  std::string text = form_->Memo1->GetText();
  EXPECT_LE(text.size(), 25u * 80);
  ASSERT_GE(text.size(), 4u);
  EXPECT_EQ(text.substr(text.size() - 4), "\xAB\xCD\x03\xE7");
}

TEST_F(FormTest, ADeviceChangeKeepsThePositionAndRefillsThePipeLists) {
  form_->Show();
  Pick(form_->pxDeviceBox1, 1);  // the mouse: IN only
  ASSERT_EQ(form_->ePipeOut->Items().Count(), 0);
  Unplug(1);  // the echo device goes; the logger moves up to position 1
  DeviceChange();
  EXPECT_EQ(form_->pxUSB1->GetDeviceIndex(), 1);
  EXPECT_EQ(form_->pxDeviceBox1->Items().Count(), 4);
  EXPECT_EQ(form_->pxDeviceBox1->ItemIndex(), 1);
  ASSERT_EQ(form_->ePipeOut->Items().Count(), 1);
  EXPECT_EQ(static_cast<TpxUsbPipe*>(form_->ePipeOut->Items().Objects(0))->EndpointAddress(), 0x01);
  EXPECT_EQ(Screen->Cursor(), crDefault);

  // The last position is gone after the next change: no device, and no pipes of the
  // old tree left in the lists.
  Pick(form_->pxDeviceBox1, 3);
  Unplug(3);
  DeviceChange();
  EXPECT_EQ(form_->pxUSB1->SelectedDevice(), nullptr);
  EXPECT_EQ(form_->ePipeIn->Items().Count(), 0);
  EXPECT_EQ(form_->ePipeOut->Items().Count(), 0);
}

// The demo machine whose logger leaves as soon as the timeline starts and is back
// 400 ms later; the machine's own thread plugs, as a user would.
class FormHotPlugTest : public FormTest {
 protected:
  void SetUp() override {
    auto demo = nlohmann::json::parse(sim::builtinMachine("demo"));
    const nlohmann::json logger = {{"controller", 0}, {"ports", {3}}};
    demo["timeline"] = {{{"at", 0}, {"unplug", logger}}, {{"at", 400}, {"plug", logger}}};
#ifdef _WIN32
    machine_ = std::make_unique<sim::DescribedMachine>(demo.dump(), sim::SimMachine::kHosted);
#else
    machine_ = std::make_unique<sim::DescribedMachine>(demo.dump());
#endif
    app_ = std::make_unique<TApplication>(nullptr);
    app_->CreateForm(form_);
  }
  std::string PipeIn() const {
    auto* pipe = form_->ePipeIn->Items().Count() ? static_cast<TpxUsbPipe*>(form_->ePipeIn->Items().Objects(0)) : nullptr;
    return pipe ? std::to_string(pipe->EndpointAddress()) : "none";
  }
};

TEST_F(FormHotPlugTest, TheLoggerLeavesAndComesBackWhileThePositionStaysSelected) {
  form_->Show();
  Pick(form_->pxDeviceBox1, 2);
  ASSERT_EQ(form_->pxUSB1->SelectedDevice()->Name, "NW Data Logger DL-8");
  machine_->timeline().start();
  // The broadcast reaches the form: the stick moves into position 2.
  ASSERT_TRUE(ProcessUntil([&] { return form_->pxDeviceBox1->Items().Count() == 4; }));
  EXPECT_EQ(form_->pxUSB1->GetDeviceIndex(), 2);
  EXPECT_EQ(form_->pxDeviceBox1->ItemIndex(), 2);
  EXPECT_EQ(form_->pxUSB1->SelectedDevice()->Name, "USB Mass Storage Device");
  EXPECT_EQ(PipeIn(), "129");
  // Back: the logger is in position 2 again, with its pipes, once its driver has
  // started (listed before as an unknown device).
  ASSERT_TRUE(ProcessUntil([&] {
    return form_->pxDeviceBox1->Items().Count() == 5 && form_->pxUSB1->SelectedDevice()->Name == "NW Data Logger DL-8";
  }));
  EXPECT_EQ(form_->pxDeviceBox1->ItemIndex(), 2);
  EXPECT_EQ(PipeIn(), "130");
  EXPECT_EQ(Screen->Cursor(), crDefault);
}

TEST_F(FormTest, WithoutASelectedDeviceTheChangeHandlerKeepsThePipeLists) {
  form_->Show();
  Pick(form_->pxDeviceBox1, 0);
  form_->ePipeIn->SetItemIndex(0);
  // A reload selects nothing until a position is set again.
  form_->pxUSB1->LoadDevices();
  ASSERT_EQ(form_->pxUSB1->SelectedDevice(), nullptr);
  form_->pxDeviceBox1Change(form_);
  EXPECT_EQ(form_->ePipeIn->Items().Count(), 1);
  EXPECT_EQ(form_->ePipeIn->ItemIndex(), 0);
  EXPECT_EQ(form_->ePipeOut->Items().Count(), 1);
}

}  // namespace
