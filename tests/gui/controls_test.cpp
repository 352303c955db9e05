// Framework controls, forms and the application over user32: one body for the
// simulator and Windows.
#include <atomic>
#include <string>
#include <vector>

#include "framework/forms.h"
#include "framework/thread.h"
#include "gui.h"
#include "support/input.h"

using namespace guitest;
using pxtest::BackendTest;
using namespace userinput;

namespace {

// Records what reaches the methods a test hands to the framework.
class Probe : public TObject {
 public:
  std::vector<std::string> events;
  std::vector<TMessage> messages;
  TWndMethod saved;  // the window procedure a hook replaced

  void Clicked(TObject*) { events.push_back("click"); }
  void Changed(TObject*) { events.push_back("OnChange"); }
  // A terminal-style hook: typed characters stop here, the rest goes on.
  void Hook(TMessage& message) {
    if (message.Msg == WM_CHAR) {
      messages.push_back(message);
      return;
    }
    saved(message);
  }
  void DeviceChange(TMessage& message) {
    messages.push_back(message);
    message.Result = 42;
  }
  void Timer(TMessage& message) {
    if (message.Msg == WM_TIMER) messages.push_back(message);
  }
  TCloseAction closeAction = caHide;
  void Closing(TObject*, TCloseAction& action) {
    events.push_back("close");
    action = closeAction;
  }
};

class TRecordingCombo : public TComboBox {
 public:
  using TComboBox::TComboBox;
  Probe* probe = nullptr;

 protected:
  void Change() override {
    probe->events.push_back("Change");
    TComboBox::Change();
  }
};

}  // namespace

class ControlsTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    app_ = MakeComponent<TApplication>(nullptr);
    form_ = MakeComponent<TForm>(nullptr);
    form_->SetBounds(20, 20, 390, 349);
  }
  void TearDown() override {
    form_.reset();
    app_.reset();
    BackendTest::TearDown();
  }

  template <class T>
  T* Make(int left = 16, int top = 16, int width = 120, int height = 21) {
    T* control = new T(form_.get());  // owned by the form
    control->SetParent(form_.get());
    control->SetBounds(left, top, width, height);
    return control;
  }

  // The user types into `control` of the shown form until `done` holds.
  static bool Type(TWinControl* control, const std::string& keys, const std::function<bool()>& done) {
    if (!win::IsWindowVisible(control->Handle())) static_cast<TForm*>(control->Parent())->Show();
    win::SetFocus(control->Handle());
    TypeText(keys);
    return pxtest::PumpUntil(Pump, done);
  }
  static void Pump() { Application->ProcessMessages(); }

  TOwned<TApplication> app_;
  TOwned<TForm> form_;
  Probe probe_;
};
PX_INSTANTIATE_BACKENDS(ControlsTest);

TEST_P(ControlsTest, AReplacedWindowProcSeesTypedCharactersBeforeTheEdit) {
  TEdit* edit = Make<TEdit>();
  edit->SetText("before the window");
  EXPECT_FALSE(edit->HandleAllocated());
  EXPECT_EQ(WindowText(edit->Handle()), "before the window");  // made on demand, with the text
  EXPECT_TRUE(form_->HandleAllocated());                       // and its parent's window
  EXPECT_EQ(win::GetParent(edit->Handle()), form_->Handle());
  edit->SetText("");

  probe_.saved = edit->WindowProc;
  edit->WindowProc = TWndMethod::Of<&Probe::Hook>(&probe_);
  ASSERT_TRUE(Type(edit, "ab", [&] { return probe_.messages.size() == 2; }));
  EXPECT_EQ(probe_.messages[0].WParam, static_cast<WPARAM>('a'));
  EXPECT_EQ(edit->GetText(), "");
  // Other messages pass the hook and reach the edit.
  edit->SetSelText("inserted");
  EXPECT_EQ(edit->GetText(), "inserted");

  edit->WindowProc = probe_.saved;  // put back
  ASSERT_TRUE(Type(edit, "Z", [&] { return edit->GetText() == "insertedZ"; }));
  EXPECT_EQ(edit->SelStart(), 9);
  edit->SetSelStart(0);
  edit->SetSelLength(2);
  EXPECT_EQ(edit->SelLength(), 2);
  edit->SetSelText("IN");
  EXPECT_EQ(edit->GetText(), "INsertedZ");
}

TEST_P(ControlsTest, MemoLinesAreAppendedFromAnotherThreadWhileTheMainThreadWaits) {
  TMemo* memo = Make<TMemo>(16, 229, 350, 85);
  memo->Handle();
  class Appender : public TThread {
   public:
    explicit Appender(TMemo* memo) : memo_(memo) {}

   protected:
    void Execute() override {
      for (const char* line : {"48 69 0A ", "31 ", "32 "}) memo_->Lines().Add(line);
    }

   private:
    TMemo* memo_;
  };
  Appender appender(memo);
  appender.Start();
  // WaitFor serves the thread's messages to the memo meanwhile; without that the two
  // threads would wait for each other.
  appender.WaitFor();
  EXPECT_EQ(memo->GetText(), "48 69 0A \r\n31 \r\n32 \r\n");
  EXPECT_EQ(memo->Lines().Count(), 3);
  EXPECT_EQ(memo->Lines().Strings(2), "32 ");

  TStrings& lines = memo->Lines();
  lines.Insert(0, "zero");
  lines.Delete(2);
  lines.Put(1, "one");
  EXPECT_EQ(memo->GetText(), "zero\r\none\r\n32 \r\n");
  EXPECT_THROW(lines.Get(3), EListError);
  EXPECT_THROW(lines.Insert(5, "x"), EListError);
  // A last line without its break gets one before the new line.
  memo->SetText("open");
  lines.Add("next");
  EXPECT_EQ(memo->GetText(), "open\r\nnext\r\n");
  lines.Clear();
  EXPECT_EQ(lines.Count(), 0);

  // A memo holds what arrives, far beyond the edit's own default limit.
  const std::string block(999, 'x');
  for (int i = 0; i < 100; ++i) lines.Add(block);
  EXPECT_EQ(win::GetWindowTextLengthA(memo->Handle()), 100 * 1001);
  EXPECT_EQ(lines.Count(), 100);
}

TEST_P(ControlsTest, ComboBoxKeepsObjectsAndTheProgramsSelectionIsNoPick) {
  auto* combo = new TRecordingCombo(form_.get());
  combo->SetParent(form_.get());
  combo->probe = &probe_;
  combo->SetStyle(csDropDownList);
  combo->OnChange = TNotifyEvent::Of<&Probe::Changed>(&probe_);
  TObject first, second;
  TStrings& items = combo->Items();
  items.AddObject("in 0x81", &first);
  items.AddObject("in 0x82", &second);
  EXPECT_EQ(items.Count(), 2);
  EXPECT_EQ(items.Objects(1), &second);
  EXPECT_EQ(items.IndexOfObject(&first), 0);
  EXPECT_THROW(items.Objects(2), EListError);
  EXPECT_EQ(combo->ItemIndex(), -1);

  // The program's own selection is no pick.
  combo->SetItemIndex(1);
  EXPECT_EQ(combo->ItemIndex(), 1);
  EXPECT_EQ(combo->GetText(), "in 0x82");
  EXPECT_TRUE(probe_.events.empty());

  // Sorting keeps the objects with their strings and the selected entry selected.
  items.AddObject("a first", &second);
  combo->SetSorted(true);
  EXPECT_EQ(items.Strings(0), "a first");
  EXPECT_EQ(items.Objects(0), &second);
  EXPECT_EQ(combo->ItemIndex(), 2);
  items.Add("b");
  EXPECT_EQ(items.Strings(1), "b");
  EXPECT_THROW(combo->SetStyle(csDropDown), EInvalidOperation);
  items.Clear();
  EXPECT_EQ(combo->ItemIndex(), -1);
  // Its height is the field's, whatever it was given; moving it keeps that.
  int field = combo->Height();
  RECT rect{};
  win::GetWindowRect(combo->Handle(), &rect);
  EXPECT_EQ(rect.bottom - rect.top, field);
  combo->SetBounds(10, 10, 200, 21);
  EXPECT_EQ(combo->Height(), field);
  EXPECT_EQ(combo->Width(), 200);
}

// Every way a person picks an entry selects it, closes the list and runs Change, then
// OnChange (Windows may tell a pick more than once on the way).
TEST_P(ControlsTest, EveryWayOfPickingAnEntryRunsChangeThenOnChange) {
  auto* combo = new TRecordingCombo(form_.get());
  combo->SetParent(form_.get());
  combo->probe = &probe_;
  combo->SetStyle(csDropDownList);
  combo->SetBounds(16, 16, 200, 21);
  combo->OnChange = TNotifyEvent::Of<&Probe::Changed>(&probe_);
  for (const char* item : {"alpha", "beta", "gamma"}) combo->Items().Add(item);
  form_->Show();
  HWND box = combo->Handle();
  struct Way {
    const char* name;
    std::function<void()> act;
    int picked;
  };
  const Way ways[] = {
      {"a click on the entry", [&] { EXPECT_TRUE(PickWithMouse(box, 2, pxtest::Pumping(Pump))); }, 2},
      {"Up", [] { PressKey(VK_UP); }, 1},
      {"a first letter", [] { TypeText("a"); }, 0},
      {"Down", [] { PressKey(VK_DOWN); }, 1},
      {"the wheel", [&] { TurnWheel(box, -1); }, 2},
      {"Alt+Down, Up, Return", [] {
         PressKey(VK_DOWN, VK_MENU);
         PressKey(VK_UP);
         PressKey(VK_RETURN);
       }, 1},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    probe_.events.clear();
    win::SetFocus(box);
    way.act();
    EXPECT_TRUE(pxtest::PumpUntil(Pump, [&] {
      return combo->ItemIndex() == way.picked && !probe_.events.empty() &&
             !win::SendMessageA(box, CB_GETDROPPEDSTATE, 0, 0);
    }));
    ASSERT_EQ(probe_.events.size() % 2, 0u);
    for (size_t i = 0; i < probe_.events.size(); i += 2) {
      EXPECT_EQ(probe_.events[i], "Change");
      EXPECT_EQ(probe_.events[i + 1], "OnChange");
    }
    EXPECT_EQ(combo->GetText(), combo->Items().Strings(way.picked));
  }
}

TEST_P(ControlsTest, CheckBoxClicksWhenItsStateChanges) {
  TCheckBox* box = Make<TCheckBox>(112, 104, 97, 17);
  box->SetCaption("Active");
  box->OnClick = TNotifyEvent::Of<&Probe::Clicked>(&probe_);
  box->SetChecked(true);
  box->SetChecked(true);  // no change, no click
  EXPECT_EQ(probe_.events.size(), 1u);
  EXPECT_EQ(win::SendMessageA(box->Handle(), BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_CHECKED));
  EXPECT_EQ(WindowText(box->Handle()), "Active");
  // The user's click unticks it and clicks once more; the space bar ticks it again.
  form_->Show();
  ClickCenter(box->Handle());
  EXPECT_TRUE(pxtest::PumpUntil(Pump, [&] { return !box->Checked(); }));
  EXPECT_EQ(win::GetFocus(), box->Handle());
  PressKey(VK_SPACE);
  EXPECT_TRUE(pxtest::PumpUntil(Pump, [&] { return box->Checked(); }));
  EXPECT_EQ(probe_.events.size(), 3u);
}

// Tab and Shift+Tab go round the controls that take the focus, in tab order; the
// first has the focus when the form shows.
TEST_P(ControlsTest, TabMovesTheFocusInTabOrder) {
  TMemo* memo = Make<TMemo>(16, 152, 350, 50);
  Make<TLabel>(16, 16, 90, 15);  // takes no focus
  TCheckBox* box = Make<TCheckBox>(112, 104, 97, 17);
  TComboBox* combo = Make<TComboBox>(112, 14, 254, 21);
  TEdit* hidden = Make<TEdit>(16, 250, 100, 21);
  hidden->SetVisible(false);
  memo->SetTabOrder(1);
  box->SetTabOrder(2);
  combo->SetTabOrder(0);
  // The focus is in a control when its window or one inside it (a combo box's list,
  // say) has it.
  auto focusIn = [](TWinControl* control) {
    for (HWND window = win::GetFocus(); window; window = win::GetParent(window)) {
      if (window == control->Handle()) return true;
    }
    return false;
  };
  form_->Show();
  EXPECT_TRUE(pxtest::PumpUntil(Pump, [&] { return focusIn(combo); }));
  struct Step {
    WORD modifier;
    TWinControl* focus;
  };
  for (const Step& step : {Step{0, memo}, Step{0, box}, Step{0, combo}, Step{VK_SHIFT, box}}) {
    PressKey(VK_TAB, step.modifier);
    EXPECT_TRUE(pxtest::PumpUntil(Pump, [&] { return focusIn(step.focus); }))
        << "after a Tab" << (step.modifier ? " with Shift" : "");
  }
  EXPECT_EQ(memo->GetText(), "");  // no tab character went into the memo
}

TEST_P(ControlsTest, AnchoredControlsFollowTheFormsClientArea) {
  form_->SetClientWidth(382);
  form_->SetClientHeight(322);
  TMemo* memo = Make<TMemo>(16, 152, 350, 50);
  memo->SetAnchors({akLeft, akTop, akRight, akBottom});
  TLabel* label = Make<TLabel>(16, 213, 150, 13);
  label->SetAnchors({akLeft, akBottom});
  TEdit* fixed = Make<TEdit>(16, 16, 100, 21);
  form_->Show();
  // The client size asked for holds whatever frame the window has.
  EXPECT_EQ(form_->ClientWidth(), 382);
  EXPECT_EQ(form_->ClientHeight(), 322);
  EXPECT_EQ(memo->Width(), 350);

  form_->SetBounds(form_->Left(), form_->Top(), form_->Width() + 40, form_->Height() + 30);
  EXPECT_EQ(form_->ClientWidth(), 422);
  EXPECT_EQ(memo->Width(), 390);
  EXPECT_EQ(memo->Height(), 80);
  EXPECT_EQ(label->Top(), 243);
  EXPECT_EQ(label->Height(), 13);
  EXPECT_EQ(fixed->Left(), 16);
  EXPECT_EQ(fixed->Width(), 100);
  RECT client{};
  win::GetClientRect(memo->Handle(), &client);
  RECT outer{};
  win::GetWindowRect(memo->Handle(), &outer);
  EXPECT_EQ(outer.right - outer.left, 390);

  // Constraints hold against the program too.
  form_->Constraints().MinWidth = 345;
  form_->SetWidth(100);
  EXPECT_EQ(form_->Width(), 345);
}

// Whatever sizes the window goes through, anchored controls end where the form's own
// size puts them: a minimized window moves nothing, a window too small for a
// control leaves no trace.
TEST_P(ControlsTest, AnchorsHoldThroughMinimizingAndSizesTooSmall) {
  form_->SetClientWidth(382);
  form_->SetClientHeight(322);
  form_->Constraints().MinWidth = 345;
  form_->Constraints().MinHeight = 250;
  TComboBox* combo = Make<TComboBox>(112, 14, 254, 21);
  combo->SetAnchors({akLeft, akTop, akRight});
  TMemo* memo = Make<TMemo>(16, 152, 350, 50);
  memo->SetAnchors({akLeft, akTop, akRight, akBottom});
  TMemo* bottom = Make<TMemo>(16, 229, 350, 85);
  bottom->SetAnchors({akLeft, akRight, akBottom});
  form_->Show();
  HWND window = form_->Handle();
  RECT outer{};
  win::GetWindowRect(window, &outer);
  auto bounds = [&] {
    std::vector<int> all;
    for (TControl* c : {static_cast<TControl*>(combo), static_cast<TControl*>(memo), static_cast<TControl*>(bottom)}) {
      all.insert(all.end(), {c->Left(), c->Top(), c->Width(), c->Height()});
    }
    return all;
  };
  const std::vector<int> placed = bounds();
  auto resize = [&](int dx, int dy) {
    win::MoveWindow(window, outer.left, outer.top, outer.right - outer.left + dx, outer.bottom - outer.top + dy, TRUE);
  };
  struct Journey {
    const char* name;
    std::function<void()> go;
  };
  const Journey journeys[] = {
      {"minimize, restore", [&] {
         win::ShowWindow(window, SW_MINIMIZE);
         Pump();
         win::ShowWindow(window, SW_RESTORE);
       }},
      {"shrink below the memo's height, grow back", [&] {
         resize(0, -80);
         resize(0, 0);
       }},
      {"far too small (the window keeps its minimum), grow past, back", [&] {
         resize(-300, -300);
         resize(120, 90);
         resize(0, 0);
       }},
  };
  for (const Journey& journey : journeys) {
    SCOPED_TRACE(journey.name);
    journey.go();
    Pump();
    EXPECT_EQ(form_->ClientWidth(), 382);
    EXPECT_EQ(form_->ClientHeight(), 322);
    EXPECT_EQ(bounds(), placed);
  }
}

TEST_P(ControlsTest, AFormMessageHandlerTakesTheMessageInsteadOfTheDefault) {
  form_->SetMessageHandler(WM_DEVICECHANGE, TWndMethod::Of<&Probe::DeviceChange>(&probe_));
  EXPECT_EQ(win::SendMessageA(form_->Handle(), WM_DEVICECHANGE, 7, 0), 42);
  EXPECT_EQ(form_->Perform(WM_DEVICECHANGE, 8, 0), 42);
  ASSERT_EQ(probe_.messages.size(), 2u);
  EXPECT_EQ(probe_.messages[0].WParam, 7u);
  EXPECT_EQ(probe_.messages[1].WParam, 8u);
  form_->RemoveMessageHandler(WM_DEVICECHANGE);
  EXPECT_NE(win::SendMessageA(form_->Handle(), WM_DEVICECHANGE, 9, 0), 42);
  EXPECT_EQ(probe_.messages.size(), 2u);
}

TEST_P(ControlsTest, HiddenWindowsTakeTimerTicksToTheirMethod) {
  HWND window = AllocateHWnd(TWndMethod::Of<&Probe::Timer>(&probe_));
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(win::IsWindowVisible(window));
  ASSERT_NE(win::SetTimer(window, 1, 10, nullptr), 0u);
  EXPECT_TRUE(pxtest::WaitUntil([&] {
    Application->ProcessMessages();
    return probe_.messages.size() >= 2;
  }));
  win::KillTimer(window, 1);
  EXPECT_EQ(probe_.messages[0].WParam, 1u);
  DeallocateHWnd(window);
  EXPECT_FALSE(win::IsWindow(window));
  DeallocateHWnd(window);  // once only: a second time does nothing
}

TEST_P(ControlsTest, SynchronizeWakesTheMessageLoop) {
  class Stopper : public TThread {
   protected:
    void Execute() override {
      Synchronize(TThreadMethod(this, [](void*) { Application->Terminate(); }));
    }
  };
  Stopper stopper;
  stopper.Start();
  // Run sleeps in GetMessage; the request's wake-up lets it run the call, which ends
  // the loop.
  Application->Run();
  EXPECT_TRUE(Application->Terminated());
  stopper.WaitFor();
}

TEST_P(ControlsTest, ScreenCursorSetsTheSystemCursor) {
  Screen->SetCursor(crHourGlass);
  EXPECT_EQ(Screen->Cursor(), crHourGlass);
  EXPECT_EQ(win::GetCursor(), win::LoadCursorA(nullptr, IDC_WAIT));
  Screen->SetCursor(crDefault);
  EXPECT_EQ(win::GetCursor(), win::LoadCursorA(nullptr, IDC_ARROW));
}

TEST_P(ControlsTest, DestroyingControlsTakesTheirWindows) {
  TEdit* edit = Make<TEdit>();
  HWND editWindow = edit->Handle();
  edit->Free();
  EXPECT_FALSE(win::IsWindow(editWindow));
  EXPECT_EQ(form_->ControlCount(), 0);
  // A child owned elsewhere outlives its parent: its window goes with the parent's.
  TOwned<TMemo> memo = MakeComponent<TMemo>(nullptr);
  memo->SetParent(form_.get());
  HWND memoWindow = memo->Handle();
  HWND formWindow = form_->Handle();
  form_.reset();
  EXPECT_FALSE(win::IsWindow(formWindow));
  EXPECT_FALSE(win::IsWindow(memoWindow));
  EXPECT_FALSE(memo->HandleAllocated());
  EXPECT_EQ(memo->Parent(), nullptr);
}

TEST_P(ControlsTest, ClosingAFormAsksOnCloseWhatToDo) {
  auto* form = new TForm(app_.get());  // owned by the application
  form->OnClose = TCloseEvent::Of<&Probe::Closing>(&probe_);
  form->Show();
  HWND window = form->Handle();
  probe_.closeAction = caNone;
  win::SendMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(win::IsWindowVisible(window));
  probe_.closeAction = caHide;
  win::SendMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(win::IsWindowVisible(window));
  EXPECT_TRUE(win::IsWindow(window));  // hidden, not destroyed
  // caFree: the form goes once the closing message is done with it.
  probe_.closeAction = caFree;
  int owned = app_->ComponentCount();
  win::SendMessageA(window, WM_CLOSE, 0, 0);
  Application->ProcessMessages();
  EXPECT_EQ(app_->ComponentCount(), owned - 1);
  EXPECT_FALSE(win::IsWindow(window));
  EXPECT_EQ(probe_.events.size(), 3u);

  // Closing the main form ends the application's loop.
  TForm* main = nullptr;
  Application->CreateForm(main);
  main->Show();
  win::PostMessageA(main->Handle(), WM_CLOSE, 0, 0);
  Application->Run();
  EXPECT_TRUE(Application->Terminated());
}

// The control that had the focus gets it back when the minimized form is restored
// (Windows may take the focus away without telling the form it was left).
TEST_P(ControlsTest, ARestoredFormGivesTheFocusBackToItsControl) {
  Make<TEdit>(16, 16);
  TEdit* second = Make<TEdit>(16, 48);
  form_->Show();
  win::SetFocus(second->Handle());
  win::ShowWindow(form_->Handle(), SW_MINIMIZE);
  Pump();
  win::ShowWindow(form_->Handle(), SW_RESTORE);
  EXPECT_TRUE(pxtest::PumpUntil(Pump, [&] { return win::GetFocus() == second->Handle(); }));
}
