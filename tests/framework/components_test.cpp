// Components, lists and string lists of the framework core.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "framework/classes.h"

namespace {

// Records every notice and its own destruction into a shared journal.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::string name, std::vector<std::string>* journal)
      : TComponent(owner), journal_(journal) {
    SetName(name);
  }
  ~Probe() override { journal_->push_back("destroy " + Name()); }

  TComponent* linked = nullptr;

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == linked) {
      journal_->push_back(Name() + " unlinks " + component->Name());
      linked = nullptr;
    }
    if (operation == opInsert) journal_->push_back(Name() + " sees insert");
  }

 private:
  std::vector<std::string>* journal_;
};

TEST(Component, OwnerDestroysItsComponentsLastCreatedFirst) {
  std::vector<std::string> journal;
  auto* form = new Probe(nullptr, "Form1", &journal);
  new Probe(form, "A", &journal);
  new Probe(form, "B", &journal);
  auto* c = new Probe(form, "C", &journal);
  EXPECT_EQ(form->ComponentCount(), 3);
  EXPECT_EQ(form->FindComponent("b")->Name(), "B");
  EXPECT_EQ(c->Owner(), form);
  EXPECT_THROW(c->SetName("a"), EComponentError);  // names are unique per owner

  journal.clear();
  form->Free();
  // While the owner goes, the components it still has go last to first, then itself.
  std::vector<std::string> destroyed;
  for (auto& line : journal) {
    if (line.rfind("destroy ", 0) == 0) destroyed.push_back(line);
  }
  EXPECT_EQ(destroyed, (std::vector<std::string>{"destroy C", "destroy B", "destroy A",
                                                 "destroy Form1"}));
}

TEST(Component, FreeNotificationWorksBothWays) {
  std::vector<std::string> journal;
  auto* usb = new Probe(nullptr, "usb", &journal);
  auto* box = new Probe(nullptr, "box", &journal);
  box->linked = usb;
  usb->linked = box;
  box->FreeNotification(usb);

  // Either side going away tells the other, which is still alive to hear it.
  usb->Free();
  EXPECT_EQ(box->linked, nullptr);
  EXPECT_NE(std::find(journal.begin(), journal.end(), "box unlinks usb"), journal.end());

  // The notice was one-shot: the survivor no longer refers to the freed component.
  journal.clear();
  box->Free();
  EXPECT_EQ(journal, (std::vector<std::string>{"destroy box"}));
}

TEST(Component, SiblingsHearOfEachOtherThroughTheirOwner) {
  std::vector<std::string> journal;
  TOwned<Probe> form(new Probe(nullptr, "Form1", &journal));
  auto* a = new Probe(form.get(), "A", &journal);
  journal.clear();
  auto* b = new Probe(form.get(), "B", &journal);
  // A newly inserted component is announced to the owner, which passes it on.
  EXPECT_EQ(journal, (std::vector<std::string>{"A sees insert", "Form1 sees insert"}));

  a->linked = b;
  a->FreeNotification(b);  // same owner: nothing recorded, the owner tells
  b->Free();
  EXPECT_EQ(a->linked, nullptr);
  EXPECT_EQ(form->ComponentCount(), 1);
}

TEST(Component, StateFlagsAndLoaded) {
  std::vector<std::string> journal;
  TOwned<Probe> form(new Probe(nullptr, "Form1", &journal));
  auto* child = new Probe(form.get(), "A", &journal);
  form->SetDesigning(true);
  EXPECT_TRUE(child->HasState(csDesigning));
  child->SetLoading();
  EXPECT_TRUE(child->HasState(csLoading));
  child->Loaded();
  EXPECT_FALSE(child->HasState(csLoading));
  EXPECT_TRUE(child->HasState(csDesigning));
  EXPECT_EQ(child->ClassName(), "Probe");
  EXPECT_THROW(form->Components(1), EListError);
}

TEST(List, BadPositionsRaiseListErrors) {
  TList list;
  int a = 1, b = 2, c = 3;
  EXPECT_EQ(list.Add(&a), 0);
  EXPECT_EQ(list.Add(&c), 1);
  list.Insert(1, &b);
  EXPECT_EQ(list.IndexOf(&b), 1);
  EXPECT_EQ(list.Remove(&a), 0);
  EXPECT_EQ(list.Get(0), &b);
  EXPECT_EQ(list.Remove(&a), -1);
  try {
    list.Get(2);
    FAIL() << "no error";
  } catch (const EListError& error) {
    EXPECT_EQ(error.Message, "List index out of bounds (2)");
  }
  EXPECT_THROW(list.Delete(-1), EListError);
  EXPECT_THROW(list.Insert(3, &a), EListError);
}

TEST(StringList, KeepsObjectsAndFindsTextWithoutRegardToCase) {
  TStringList list;
  TObject one, two;
  list.AddObject("Echo Device", &one);
  list.AddObject("USB Stick", &two);
  list.Insert(0, "first");
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.IndexOf("usb stick"), 2);
  EXPECT_EQ(list.IndexOf("missing"), -1);
  EXPECT_EQ(list.IndexOfObject(&one), 1);
  EXPECT_EQ(list.Objects(0), nullptr);
  list.Put(1, "Renamed");
  EXPECT_EQ(list.Objects(1), &one);
  list.Delete(0);
  EXPECT_EQ(list.Strings(0), "Renamed");
  EXPECT_THROW(list.Strings(5), EStringListError);
  EXPECT_THROW(list.Delete(-1), EStringListError);
}

TEST(StringList, TextIsLinesEndedByCrLfAndSplitsOnAnyLineBreak) {
  TStringList list;
  list.SetText("a\r\nb\rc\nd");
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Strings(1), "b");
  EXPECT_EQ(list.Strings(3), "d");
  EXPECT_EQ(list.Text(), "a\r\nb\r\nc\r\nd\r\n");

  list.SetText("x\r\n\r\ny\r\n");  // an empty line stays, the final break adds none
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Strings(1), "");
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Text(), "");
}

TEST(StringList, SortedListsOrderWithoutRegardToCase) {
  TStringList list;
  list.Add("pipe");
  list.Add("Beta");
  list.Add("alpha");
  list.SetSorted(true);
  EXPECT_EQ(list.Text(), "alpha\r\nBeta\r\npipe\r\n");
  EXPECT_EQ(list.Add("Gamma"), 2);
  EXPECT_EQ(list.Add("BETA"), 1);  // duplicates are ignored by default
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.IndexOf("GAMMA"), 2);
  EXPECT_THROW(list.Insert(0, "z"), EStringListError);
  list.Duplicates = dupAccept;
  list.Add("beta");
  EXPECT_EQ(list.Count(), 5);
}

TEST(Format, TheConversionsTheSystemUses) {
  EXPECT_EQ(Format("Fatal Error: %u, %u, %s", {3u, 0u, "USB device open fails."}),
            "Fatal Error: 3, 0, USB device open fails.");
  EXPECT_EQ(Format("\\PIPE%.2u", {7u}), "\\PIPE07");
  EXPECT_EQ(Format("\\PIPE%.2u", {123u}), "\\PIPE123");
  EXPECT_EQ(Format("Signature%XOffset", {0x1BEEFu}), "Signature1BEEFOffset");
  EXPECT_EQ(Format("%d|%-4d|%4d|%.3d", {-5, 7, 42, -3}), "-5|7   |  42|-003");
  EXPECT_EQ(Format("%u", {-1}), "4294967295");
  EXPECT_EQ(Format("100%% %x", {255}), "100% ff");
  EXPECT_THROW(Format("%d", {"text"}), EConvertError);
  EXPECT_THROW(Format("%s", {1}), EConvertError);
  EXPECT_THROW(Format("%d %d", {1}), EConvertError);
  EXPECT_EQ(Trim(" \t\r\nab c\r\n"), "ab c");
  EXPECT_EQ(IntToHex(0x48, 2), "48");
}

struct Target {
  int calls = 0;
  void Hit(TObject*) { ++calls; }
  void Other(TObject*) {}
};

TEST(Event, EqualWhenCodeAndObjectAreEqual) {
  Target a, b;
  auto hitA = TNotifyEvent::Of<&Target::Hit>(&a);
  EXPECT_TRUE(hitA.Assigned());
  EXPECT_FALSE(TNotifyEvent().Assigned());
  EXPECT_EQ(hitA, TNotifyEvent::Of<&Target::Hit>(&a));
  EXPECT_NE(hitA, TNotifyEvent::Of<&Target::Hit>(&b));
  EXPECT_NE(hitA, TNotifyEvent::Of<&Target::Other>(&a));
  hitA(nullptr);
  EXPECT_EQ(a.calls, 1);
}

}  // namespace
