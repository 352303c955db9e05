// The form reader: creation order, deferred references, Loaded, handlers, errors; and
// the small example form, read, shown, typed into and destroyed.
#include <memory>
#include <string>
#include <vector>

#include "framework/forms.h"
#include "gui.h"

namespace {

std::vector<std::string>& LoadLog() {
  static std::vector<std::string> log;
  return log;
}

// A component with a property of each kind the reader sets.
class TRecorder : public TComponent {
 public:
  using TComponent::TComponent;
  static const TClassInfo& ClassInfo();

  TComponent* Link = nullptr;
  int Count = 0;
  std::string Label;
  bool Flag = false;
  TAnchors Sides;
  TComboBoxStyle Kind = csDropDown;
  TNotifyEvent OnPing;

  void Loaded() override {
    // References are in place before any Loaded runs; csLoading is still set.
    LoadLog().push_back(Name() + (HasState(csLoading) ? " loading" : "") +
                        (Link ? " -> " + Link->Name() : ""));
    TComponent::Loaded();
  }
};

const TClassInfo& TRecorder::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TRecorder, TComponentClass>("TRecorder", [](TClassInfo& c) {
    c.Member("Link", &TRecorder::Link)
        .Member("Count", &TRecorder::Count)
        .Member("Label", &TRecorder::Label)
        .Member("Flag", &TRecorder::Flag)
        .Member("Sides", &TRecorder::Sides)
        .Member("Kind", &TRecorder::Kind)
        .Member("OnPing", &TRecorder::OnPing);
  });
  return info;
}

const char* const kExampleForm = R"(object ExampleForm: TExampleForm
  Left = 440
  Top = 224
  Width = 390
  Height = 349
  ClientWidth = 382
  ClientHeight = 322
  Caption = 'USB Device Demo - ' +
    'it''s'#33
  Color = clBtnFace
  Constraints.MinWidth = 345
  Font.Name = 'MS Sans Serif'
  Font.Height = -11
  OnShow = Shown
  object Rec1: TRecorder
    Link = Rec2
    Count = $1F
    Label = #72'i'
    Flag = True
    Sides = [akLeft, akRight]
    Kind = csDropDownList
    OnPing = Pinged
  end
  object Memo1: TMemo
    Left = 16
    Top = 152
    Width = 350
    Height = 50
    Anchors = [akLeft, akTop, akRight, akBottom]
    TabOrder = 1
    Lines.Strings = (
      'first'
      'second')
  end
  object Rec2: TRecorder
    Link = Memo1
    Count = -5
  end
  object CheckBox1: TCheckBox
    Left = 112
    Top = 104
    Caption = 'Active'
    Checked = False
    OnClick = Pinged
  end
end
)";

class TExampleForm : public TForm {
 public:
  using TForm::TForm;
  static const TClassInfo& ClassInfo();

  TRecorder* Rec1 = nullptr;
  TRecorder* Rec2 = nullptr;
  TMemo* Memo1 = nullptr;
  TCheckBox* CheckBox1 = nullptr;
  std::vector<std::string> calls;
  std::vector<TMessage> typed;
  TWndMethod memoProc;

  void Shown(TObject* sender) { calls.push_back("Shown by " + static_cast<TComponent*>(sender)->Name()); }
  void Pinged(TObject* sender) { calls.push_back("Pinged by " + static_cast<TComponent*>(sender)->Name()); }
  void Unsuitable(TMessage&) {}
  // Stands in front of the memo's window procedure, as a terminal hook does.
  void MemoHook(TMessage& message) {
    if (message.Msg == WM_CHAR) {
      typed.push_back(message);
      return;
    }
    memoProc(message);
  }
};

const TClassInfo& TExampleForm::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TExampleForm, TForm>("TExampleForm", [](TClassInfo& c) {
    c.Field("Rec1", &TExampleForm::Rec1)
        .Field("Rec2", &TExampleForm::Rec2)
        .Field("Memo1", &TExampleForm::Memo1)
        .Field("CheckBox1", &TExampleForm::CheckBox1)
        .Handler<&TExampleForm::Shown>("Shown")
        .Handler<&TExampleForm::Pinged>("Pinged")
        .Handler<&TExampleForm::Unsuitable>("Unsuitable")
        .SetDescription(kExampleForm);
  });
  return info;
}

}  // namespace

class ReaderTest : public pxtest::BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    LoadLog().clear();
    app_ = MakeComponent<TApplication>(nullptr);
  }
  void TearDown() override {
    app_.reset();
    BackendTest::TearDown();
  }

  // Reads `text` into a new example form; the error's message, or "" when none.
  std::string ReadError(const std::string& text) {
    TOwned<TExampleForm> form = MakeComponent<TExampleForm>(nullptr);
    try {
      ReadComponent(*form, TExampleForm::ClassInfo(), text);
    } catch (const EReadError& error) {
      return error.Message;
    }
    return "";
  }

  TOwned<TApplication> app_;
};
PX_INSTANTIATE_BACKENDS(ReaderTest);

TEST_P(ReaderTest, TheExampleFormLoadsShowsTakesATypedCharacterAndGoes) {
  TExampleForm* form = nullptr;
  Application->CreateForm(form);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(Application->MainForm(), form);

  // Components in the order of the description, owned by the form, its fields set.
  ASSERT_EQ(form->ComponentCount(), 4);
  EXPECT_EQ(form->Components(0), form->Rec1);
  EXPECT_EQ(form->Components(1), form->Memo1);
  EXPECT_EQ(form->Components(2), form->Rec2);
  EXPECT_EQ(form->Components(3), form->CheckBox1);
  EXPECT_EQ(form->Name(), "ExampleForm");
  EXPECT_EQ(form->Rec1->Name(), "Rec1");

  // Values of every kind.
  EXPECT_EQ(form->Caption(), "USB Device Demo - it's!");
  EXPECT_EQ(form->Left(), 440);
  EXPECT_EQ(form->Color(), clBtnFace);
  EXPECT_EQ(form->Constraints().MinWidth, 345);
  EXPECT_EQ(form->Font().Name, "MS Sans Serif");
  EXPECT_EQ(form->Font().Size, 8);
  EXPECT_EQ(form->Rec1->Count, 31);
  EXPECT_EQ(form->Rec2->Count, -5);
  EXPECT_EQ(form->Rec1->Label, "Hi");
  EXPECT_TRUE(form->Rec1->Flag);
  EXPECT_EQ(form->Rec1->Sides, (TAnchors{akLeft, akRight}));
  EXPECT_EQ(form->Rec1->Kind, csDropDownList);
  EXPECT_EQ(form->Memo1->Anchors(), (TAnchors{akLeft, akTop, akRight, akBottom}));
  EXPECT_EQ(form->Memo1->TabOrder(), 1);
  EXPECT_EQ(form->Memo1->Parent(), form);
  EXPECT_EQ(form->CheckBox1->Caption(), "Active");
  // A reference to a component described later, and one to a control.
  EXPECT_EQ(form->Rec1->Link, form->Rec2);
  EXPECT_EQ(form->Rec2->Link, form->Memo1);
  // Handlers are the form's methods.
  ASSERT_TRUE(form->Rec1->OnPing.Assigned());
  form->Rec1->OnPing(form->Rec1);
  EXPECT_EQ(form->calls, (std::vector<std::string>{"Pinged by Rec1"}));
  // Loaded ran in creation order, after every reference was resolved; then loading
  // was over everywhere.
  EXPECT_EQ(LoadLog(), (std::vector<std::string>{"Rec1 loading -> Rec2", "Rec2 loading -> Memo1"}));
  EXPECT_FALSE(form->HasState(csLoading));
  for (int i = 0; i < form->ComponentCount(); ++i) EXPECT_FALSE(form->Components(i)->HasState(csLoading));
  // The published table reads values back.
  const TPropInfo* left = TExampleForm::ClassInfo().FindProperty("left");
  ASSERT_NE(left, nullptr);
  EXPECT_EQ(left->Get(*form).Integer, 440);
  EXPECT_EQ(TRecorder::ClassInfo().FindProperty("Link")->Get(*form->Rec1).Text, "Rec2");

  // Shown: OnShow runs, the memo has its lines and the client size is the described one.
  form->Show();
  EXPECT_EQ(form->calls.back(), "Shown by ExampleForm");
  EXPECT_EQ(form->ClientWidth(), 382);
  EXPECT_EQ(form->ClientHeight(), 322);
  EXPECT_EQ(form->Memo1->GetText(), "first\r\nsecond\r\n");

  // A typed character reaches the replaced window procedure, not the memo.
  form->memoProc = form->Memo1->WindowProc;
  form->Memo1->WindowProc = TWndMethod::Of<&TExampleForm::MemoHook>(form);
  win::PostMessageA(form->Memo1->Handle(), WM_CHAR, 'z', 1);
  Application->ProcessMessages();
  ASSERT_EQ(form->typed.size(), 1u);
  EXPECT_EQ(form->typed[0].WParam, static_cast<WPARAM>('z'));
  EXPECT_EQ(form->Memo1->GetText(), "first\r\nsecond\r\n");

  // Going: the form's components and windows go with it; its fields hear of it.
  HWND window = form->Handle();
  HWND memoWindow = form->Memo1->Handle();
  form->Rec2->Free();
  EXPECT_EQ(form->Rec2, nullptr);
  form->Free();
  EXPECT_FALSE(win::IsWindow(window));
  EXPECT_FALSE(win::IsWindow(memoWindow));
  EXPECT_EQ(Application->MainForm(), nullptr);
}

TEST_P(ReaderTest, ErrorsNameWhatIsWrongAndTheLine) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"object F: TExampleForm\n  object X: TNoSuchClass\n  end\nend",
       "Class TNoSuchClass not found (line 2)"},
      {"object F: TExampleForm\n  Left = 1\n  Wobble = 2\nend",
       "Error reading F.Wobble: Property Wobble does not exist (line 3)"},
      {"object F: TExampleForm\n  object R: TRecorder\n    Link = Nobody\n  end\nend",
       "Error reading R.Link: Component Nobody not found (line 3)"},
      {"object F: TExampleForm\n  OnShow = Missing\nend",
       "Error reading F.OnShow: Method Missing not found (line 2)"},
      {"object F: TExampleForm\n  OnShow = Unsuitable\nend",
       "Error reading F.OnShow: Method Unsuitable has the wrong parameters (line 2)"},
      {"object F: TExampleForm\n  Left = 'text'\nend",
       "Error reading F.Left: Invalid property value (line 2)"},
      {"object F: TExampleForm\n  object R: TRecorder\n    Kind = csNoSuch\n  end\nend",
       "Error reading R.Kind: Invalid property value (line 3)"},
      {"object F: TExampleForm\n  object R: TRecorder\n    Link = Rec9\n  end\n  object M: TMemo\n  end\nend",
       "Error reading R.Link: Component Rec9 not found (line 3)"},
      {"object F: TExampleForm\n  object R: TRecorder\n    Link = F\n  end\nend",
       ""},  // the root itself is a component to refer to
      {"object F: TExampleForm\n  Caption = 'open\nend", "Unterminated string (line 2)"},
      {"object F: TExampleForm\n  Left = 1\n", "'end' expected (line 3)"},
      {"object F: TOtherForm\nend", "Class TOtherForm does not match TExampleForm (line 1)"},
      {"object F: TExampleForm\n  object A: TRecorder\n  end\n  object A: TRecorder\n  end\nend",
       "A component named A already exists (line 4)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadError(c.text), c.message) << c.text;
  }
}

TEST_P(ReaderTest, ReferencesOfTheWrongClassAreRefused) {
  // A property typed for a memo does not take a recorder.
  struct THolder : TComponent {
    using TComponent::TComponent;
    TMemo* Memo = nullptr;
  };
  static const TClassInfo holder = TClassInfo::Of<THolder, TComponentClass>("THolder", [](TClassInfo& c) {
    c.Member("Memo", &THolder::Memo);
  });
  RegisterClass(holder);
  EXPECT_EQ(ReadError("object F: TExampleForm\n  object R: TRecorder\n  end\n  object H: THolder\n"
                      "    Memo = R\n  end\nend"),
            "Error reading H.Memo: Invalid property value (line 5)");
}
