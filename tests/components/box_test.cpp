// TpxDeviceBox: linking, picking, following the component's code 3, sorting, and the
// link's end by either side's destruction.
#include "components.h"

namespace pxtest {
namespace {

class BoxTest : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    form = MakeComponent<TForm>(nullptr);
    box = new TpxDeviceBox(form.get());
    box->SetParent(form.get());
    box->OnChange = TNotifyEvent::Of<&BoxTest::Changed>(this);
    usb = MakeComponent<TpxUSB>(nullptr);
  }
  void TearDown() override {
    usb.reset();
    form.reset();
    ComponentTest::TearDown();
  }
  void Changed(TObject*) {
    // By now the box has followed the component.
    changes.push_back(box->ItemIndex());
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    for (int i = 0; i < box->Items().Count(); ++i) names.push_back(box->Items().Strings(i));
    return names;
  }

  TOwned<TForm> form;
  TpxDeviceBox* box = nullptr;
  TOwned<TpxUSB> usb;
  std::vector<int> changes;
};

TEST_F(BoxTest, ANewBoxIsAnEmptyDropDownListAndUnlinkedPicksDoNothing) {
  EXPECT_EQ(box->Style(), csDropDownList);
  EXPECT_EQ(box->Items().Count(), 0);
  EXPECT_EQ(box->GetText(), "");
  EXPECT_EQ(box->pxLink(), nullptr);
  EXPECT_FALSE(box->ResetOnChanged());
  box->Items().Add("stray");
  Pick(*box, 0);
  EXPECT_TRUE(changes.empty());
  TMessage message{WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, 0};
  EXPECT_FALSE(box->DeviceChange(message));
}

TEST_F(BoxTest, LinkingLoadsTheListAndAPickSelectsFollowsAndThenFiresOnChange) {
  box->SetpxLink(usb.get());
  EXPECT_EQ(usb->DeviceCount(), 4) << "the link loads the component's list";
  EXPECT_EQ(Entries(), (std::vector<std::string>{"echo", "pxecho", "mouse", "stick"}));
  EXPECT_EQ(box->ItemIndex(), -1);
  EXPECT_EQ(box->Items().Objects(3), usb->Devices(3));

  Pick(*box, 2);
  EXPECT_EQ(usb->GetDeviceIndex(), 2);
  EXPECT_EQ(usb->SelectedDevice()->Name, "mouse");
  EXPECT_EQ(changes, (std::vector<int>{2}));

  // The component's own changes reach the box (code 3); a reload keeps the position
  // and re-reads the entries.
  usb->SetDeviceIndex(1);
  EXPECT_EQ(box->ItemIndex(), 1);
  TMessage message{WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, 0};
  EXPECT_TRUE(box->DeviceChange(message));
  EXPECT_EQ(box->ItemIndex(), 1);
  EXPECT_EQ(box->Items().Objects(1), usb->SelectedDevice());
  EXPECT_EQ(changes.size(), 1u) << "only a user's pick fires OnChange";

  // Listeners behind the box hear code 3 as well: following it does not reorder
  // the component's notify list while that is walked.
  struct Listener {
    void Notified(TpxBaseIO*, std::int32_t code) { codes.push_back(code); }
    std::vector<std::int32_t> codes;
  } listener;
  usb->AddNotify(TpxNotifyHandler::Of<&Listener::Notified>(&listener));
  usb->SetDeviceIndex(2);
  EXPECT_TRUE(box->DeviceChange(message));  // the reload selects again, then announces
  EXPECT_EQ(listener.codes, std::vector<std::int32_t>(3, pxnDevicesChanged));
  usb->RemoveNotify(TpxNotifyHandler::Of<&Listener::Notified>(&listener));

  // Unlinking empties the box and stops following.
  box->SetpxLink(nullptr);
  EXPECT_EQ(box->Items().Count(), 0);
  usb->SetDeviceIndex(3);
  EXPECT_EQ(box->Items().Count(), 0);
}

TEST_F(BoxTest, ASortedBoxShowsSortedEntriesAndPassesItsOwnPositions) {
  box->SetSorted(true);
  box->SetpxLink(usb.get());
  EXPECT_EQ(Entries(), (std::vector<std::string>{"echo", "mouse", "pxecho", "stick"}));
  Pick(*box, 1);
  EXPECT_EQ(usb->GetDeviceIndex(), 1);
  EXPECT_EQ(usb->SelectedDevice()->Name, "pxecho");
}

TEST_F(BoxTest, TheLinkEndsWithEitherSide) {
  // Linked twice: one handler, which the box's destruction takes away.
  auto* other = new TpxDeviceBox(form.get());
  other->SetParent(form.get());
  other->SetpxLink(usb.get());
  other->SetpxLink(usb.get());
  other->Free();
  usb->SetDeviceIndex(0);  // no handler of the freed box runs (ASan)

  box->SetpxLink(usb.get());
  usb->SetDeviceIndex(2);
  usb.reset();
  EXPECT_EQ(box->pxLink(), nullptr);
  EXPECT_EQ(box->ItemIndex(), -1);
  EXPECT_EQ(box->Items().Count(), 4) << "the entries stay";
  Pick(*box, 1);
  EXPECT_TRUE(changes.empty());
}

}  // namespace
}  // namespace pxtest
