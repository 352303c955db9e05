// What a form description does with an I/O component: published properties set by
// name, stored Active applied by Loaded, and errors shown instead of raised.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "core_support.h"
#include "framework/forms.h"
#include "platform/sim/machine.h"

using pxtest::TTestIO;
using pxtest::TTestLog;

namespace {

// A descendant's selection of the base's properties.
class TPublishedIO : public TTestIO {
 public:
  using TTestIO::TTestIO;
  static const TClassInfo& ClassInfo() {
    static const TClassInfo info = TClassInfo::Of<TPublishedIO, TpxBaseIO>("TPublishedIO", [](TClassInfo& c) {
      TpxBaseIO::Publish(c, {"Active", "Terminal", "TerminalUsage", "Log", "UseMainThread", "Priority"});
    });
    return info;
  }
};

// References resolve against a fixed set of components, at once.
class Context : public TReaderContext {
 public:
  std::map<std::string, TComponent*> components;
  void DeferReference(const std::string& name, std::function<void(TComponent*)> set) override {
    set(components.at(name));
  }
  std::any Method(const std::string&) override { return {}; }
};

TValue Ident(const std::string& text) {
  TValue value;
  value.Type = TValue::vaIdent;
  value.Text = text;
  return value;
}

class Loading : public ::testing::Test {
 protected:
  sim::SimMachine machine;
  TOwned<TApplication> application = MakeComponent<TApplication>(nullptr);
  TOwned<TForm> form = MakeComponent<TForm>(nullptr);
  TMemo* memo = new TMemo(form.get());
  TOwned<TPublishedIO> io = MakeComponent<TPublishedIO>();
  TOwned<TTestLog> log = MakeComponent<TTestLog>(nullptr);
  Context context;
  void SetUp() override {
    memo->SetParent(form.get());
    io->UseReader = false;
    context.components = {{"Memo1", memo}, {"Log1", log.get()}};
  }
  void Set(const char* property, const TValue& value) {
    const TPropInfo* info = TPublishedIO::ClassInfo().FindProperty(property);
    ASSERT_NE(info, nullptr) << property;
    info->Set(*io, value, context);
  }
};

TEST_F(Loading, ADescriptionSetsThePublishedSelectionAndLoadedAppliesIt) {
  const TClassInfo& info = TPublishedIO::ClassInfo();
  EXPECT_EQ(info.FindProperty("DataProcessor"), nullptr);  // not in this selection
  TClassInfo other = TClassInfo::Of<TPublishedIO, TpxBaseIO>("TOther", nullptr);
  EXPECT_THROW(TpxBaseIO::Publish(other, {"Nothing"}), Exception);

  io->SetLoading();
  Set("Active", Ident("True"));
  Set("Terminal", Ident("Memo1"));
  Set("TerminalUsage", Ident("tuSend"));
  Set("Log", Ident("Log1"));
  Set("UseMainThread", Ident("True"));
  Set("Priority", Ident("tpLowest"));
  EXPECT_FALSE(io->IsOpen());
  EXPECT_EQ(info.FindProperty("Active")->Get(*io).Text, "True");  // the stored value

  io->Loaded();
  EXPECT_TRUE(io->IsOpen());
  EXPECT_EQ(io->Terminal(), memo);
  EXPECT_EQ(io->Log(), log.get());
  EXPECT_TRUE(io->UseMainThread());
  EXPECT_EQ(info.FindProperty("Priority")->Get(*io).Text, "tpLowest");
  EXPECT_EQ(info.FindProperty("TerminalUsage")->Get(*io).Text, "tuSend");
  win::SendMessageA(memo->Handle(), WM_CHAR, 'k', 1);  // the terminal is hooked
  EXPECT_EQ(io->Sent, "k");
  EXPECT_TRUE(machine.user().messageBoxes().empty());
}

TEST_F(Loading, ErrorsInLoadedAreShownAndLoadingGoesOn) {
  io->SetLoading();
  io->SetTerminal(memo);
  io->SetTerminalUsage(tuBoth);
  io->SetActive(true);
  io->OpenThrows = true;
  EXPECT_NO_THROW(io->Loaded());
  auto boxes = machine.user().messageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "error");
  EXPECT_EQ(boxes[0].caption, "Error");
  EXPECT_EQ(boxes[0].style & MB_ICONERROR, MB_ICONERROR);
  EXPECT_FALSE(io->IsOpen());
  win::SendMessageA(memo->Handle(), WM_CHAR, 'k', 1);  // got as far as the terminal
  EXPECT_EQ(io->Sent, "k");
}

TEST_F(Loading, ShowOnlyFatalErrorsAreShownNotRaised) {
  io->SetLog(log.get());
  EXPECT_NO_THROW(io->DoFatalError(9, 1, "shown to the user", true));
  auto boxes = machine.user().messageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].text.find("shown to the user"), std::string::npos);
  EXPECT_EQ(log->Texts(), (std::vector<std::string>{"Fatal Error: 9, 1, shown to the user"}));
}

}  // namespace
