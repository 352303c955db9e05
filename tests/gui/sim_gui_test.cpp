// What only the simulator can show: message boxes answered without a user, and the
// system's broadcast to top-level windows.
#include "framework/forms.h"
#include "framework/userinput.h"
#include "gui.h"

namespace {

class Raiser : public TObject {
 public:
  int clicks = 0;
  void Click(TObject*) {
    ++clicks;
    throw EListError("List index out of bounds (-1)");
  }
  std::vector<WPARAM> changes;
  void DeviceChange(TMessage& message) { changes.push_back(message.WParam); }
};

}  // namespace

class SimGuiTest : public ::testing::Test {
 protected:
  sim::SimMachine machine_;
  sim::User32& user_ = machine_.user();
  TOwned<TApplication> app_ = MakeComponent<TApplication>(nullptr);
};

TEST_F(SimGuiTest, ShowExceptionShowsTheMessageWithAFullStop) {
  TOwned<TForm> form = MakeComponent<TForm>(nullptr);
  form->Show();
  Application->ShowException(Exception("Device is not selected"));
  Application->ShowException(Exception("Pipe IDs are wrong."));
  Application->ShowException(EListError("List index out of bounds (-1)"));
  auto boxes = user_.messageBoxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, "Device is not selected.");
  EXPECT_EQ(boxes[1].text, "Pipe IDs are wrong.");
  EXPECT_EQ(boxes[2].text, "List index out of bounds (-1)");
  // Captioned with the program's name, as its file has it.
  EXPECT_EQ(boxes[0].caption, "pxtest_gui");
  EXPECT_EQ(boxes[0].style, MB_OK | MB_ICONSTOP);
  Application->Title = "Demo";
  Application->ShowException(Exception("x"));
  EXPECT_EQ(user_.messageBoxes().back().caption, "Demo");
}

TEST_F(SimGuiTest, AnErrorInAClickHandlerIsShownAndTheProgramGoesOn) {
  TOwned<TForm> form = MakeComponent<TForm>(nullptr);
  auto* box = new TCheckBox(form.get());
  box->SetParent(form.get());
  Raiser raiser;
  box->OnClick = TNotifyEvent::Of<&Raiser::Click>(&raiser);
  form->Show();
  // The user's click: the error ends in a message box, not in the system's frames.
  userinput::ClickCenter(box->Handle());
  Application->ProcessMessages();
  EXPECT_EQ(raiser.clicks, 1);
  auto boxes = user_.messageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "List index out of bounds (-1)");
  // Set by the program, the same error reaches the program.
  EXPECT_THROW(box->SetChecked(false), EListError);
}

TEST_F(SimGuiTest, BroadcastsReachTopLevelWindowsOnly) {
  TOwned<TForm> form = MakeComponent<TForm>(nullptr);
  Raiser raiser;
  form->SetMessageHandler(WM_DEVICECHANGE, TWndMethod::Of<&Raiser::DeviceChange>(&raiser));
  auto* edit = new TEdit(form.get());
  edit->SetParent(form.get());
  form->Show();
  EXPECT_EQ(user_.foregroundWindow(), form->Handle());
  // The form and the application's hidden window; not the edit inside the form.
  EXPECT_EQ(user_.broadcast(WM_DEVICECHANGE, 7, 0), 2);
  EXPECT_EQ(raiser.changes, std::vector<WPARAM>{7});
  form.reset();
  EXPECT_EQ(user_.windowCount(), 1u);  // the application's window is all that is left
  EXPECT_EQ(user_.foregroundWindow(), nullptr);
}
