// The whole library path through a form read from its description: the box linked
// to the USB component, a pick, both bindings echoing what is typed into the
// terminal, device changes broadcast by a plug and an unplug, and the form going
// while its pair reads.
#include "components.h"

#include "framework/reader.h"
#include "platform/sim/hotplug.h"

namespace pxtest {
namespace {

const char* const kForm = R"(object PxForm: TPxForm
  Caption = 'USB'
  object pxDeviceBox1: TpxDeviceBox
    Left = 112
    Top = 14
    Width = 254
    Height = 21
    pxLink = pxUSB1
    ResetOnChanged = False
    ItemHeight = 13
    TabOrder = 0
    OnChange = BoxChanged
  end
  object Memo1: TMemo
    Left = 16
    Top = 152
    Width = 350
    Height = 50
  end
  object pxUSB1: TpxUSB
    RequestDescriptors = False
    DeviceIndex = -1
    Active = False
    IdVendor = 0
    IdProduct = 0
  end
  object pxUSBPipePair1: TpxUSBPipePair
    Active = False
    Terminal = Memo1
    TerminalUsage = tuBoth
    UsbDevice = pxUSB1
    PipeIn = -1
    PipeOut = -1
    TimeoutRead = 0
    TimeoutWrite = 1000
    ReadBufferSize = 512
    UseMainThread = False
    Priority = tpNormal
    OnAfterReceive = Received
  end
end
)";

class TPxForm : public TForm {
 public:
  explicit TPxForm(TComponent* owner) : TForm(owner) {
    SetMessageHandler(WM_DEVICECHANGE, TWndMethod::Of<&TPxForm::WMDeviceChange>(this));
  }
  static const TClassInfo& ClassInfo();

  TpxDeviceBox* pxDeviceBox1 = nullptr;
  TMemo* Memo1 = nullptr;
  TpxUSB* pxUSB1 = nullptr;
  TpxUSBPipePair* pxUSBPipePair1 = nullptr;
  Receiver receiver;
  int boxChanges = 0;
  int deviceChanges = 0;  // broadcasts that made the component reload

  void BoxChanged(TObject*) { ++boxChanges; }
  void Received(TObject* sender, void* buffer, DWORD count) { receiver.Received(sender, buffer, count); }
  void WMDeviceChange(TMessage& message) {
    if (pxUSB1->DeviceChange(message)) ++deviceChanges;
  }
};

const TClassInfo& TPxForm::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TPxForm, TForm>("TPxForm", [](TClassInfo& c) {
    c.Field("pxDeviceBox1", &TPxForm::pxDeviceBox1)
        .Field("Memo1", &TPxForm::Memo1)
        .Field("pxUSB1", &TPxForm::pxUSB1)
        .Field("pxUSBPipePair1", &TPxForm::pxUSBPipePair1)
        .Handler<&TPxForm::BoxChanged>("BoxChanged")
        .Handler<&TPxForm::Received>("Received")
        .SetDescription(kForm);
  });
  return info;
}

std::vector<std::string> Entries(TpxDeviceBox& box) {
  std::vector<std::string> names;
  for (int i = 0; i < box.Items().Count(); ++i) names.push_back(box.Items().Strings(i));
  return names;
}

using FormTest = ComponentTest;

TEST_F(FormTest, TheDescriptionLinksTheComponentsAndTheBoxStyleIsNotPublished) {
  TPxForm* form = nullptr;
  app_->CreateForm(form);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->pxDeviceBox1->pxLink(), form->pxUSB1);
  EXPECT_EQ(Entries(*form->pxDeviceBox1), (std::vector<std::string>{"echo", "pxecho", "mouse", "stick"}));
  EXPECT_EQ(form->pxUSB1->GetDeviceIndex(), -1);
  EXPECT_EQ(form->pxUSBPipePair1->UsbDevice(), form->pxUSB1);
  EXPECT_EQ(form->pxUSBPipePair1->Terminal(), form->Memo1);
  EXPECT_EQ(form->pxUSBPipePair1->TimeoutWrite(), 1000u);
  const TClassInfo& pair = TpxUSBPipePair::ClassInfo();
  EXPECT_EQ(pair.FindProperty("ReadBufferSize")->Get(*form->pxUSBPipePair1).Integer, 512);
  EXPECT_EQ(TpxUSB::ClassInfo().FindProperty("IdVendor")->Get(*form->pxUSB1).Integer, 0);
  EXPECT_EQ(TpxDeviceBox::ClassInfo().FindProperty("Style"), nullptr);
  EXPECT_EQ(TpxDeviceBox::ClassInfo().FindProperty("Items.Strings"), nullptr);
  form->Free();

  std::string styled = kForm;
  styled.replace(styled.find("    ResetOnChanged"), 0, "    Style = csDropDown\n");
  auto other = MakeComponent<TPxForm>(nullptr);
  EXPECT_THROW(ReadComponent(*other, TPxForm::ClassInfo(), styled), EReadError);
}

TEST_F(FormTest, TheTypicalRunOnBothBindingsThenPlugAndUnplugThenTheFormGoesWhileReading) {
  TPxForm* form = nullptr;
  app_->CreateForm(form);
  ASSERT_NE(form, nullptr);
  form->Show();
  TpxUSBPipePair& pair = *form->pxUSBPipePair1;

  for (int index : {0, 1}) {
    SCOPED_TRACE(index == 0 ? "WinUSB" : "pxusb driver");
    Pick(*form->pxDeviceBox1, index);
    EXPECT_EQ(form->pxUSB1->GetDeviceIndex(), index);
    form->pxUSB1->SetActive(true);
    pair.SetPipeIn(0);
    pair.SetPipeOut(1);
    pair.SetActive(true);
    ASSERT_TRUE(pair.GetActive());
    for (char ch : std::string("hi")) win::SendMessageA(form->Memo1->Handle(), WM_CHAR, static_cast<BYTE>(ch), 1);
    EXPECT_TRUE(PumpUntil([&] { return form->Memo1->GetText() == "hi"; })) << form->Memo1->GetText();
    pair.SetActive(false);
    form->pxUSB1->SetActive(false);
    form->Memo1->SetText("");
  }
  // Close does not wait: a reader may still be on its way out of OnAfterReceive.
  EXPECT_TRUE(WaitUntil([&] { return form->receiver.Data() == "hihi"; })) << form->receiver.Data();
  EXPECT_EQ(form->boxChanges, 2);

  // The last device goes while selected: no selection, the index stays.
  sim::HotPlug plug(Machine(), Bus());
  Pick(*form->pxDeviceBox1, 3);
  ASSERT_TRUE(plug.unplug({0, {3}}));
  EXPECT_EQ(form->deviceChanges, 1) << "a node change only: the stick has no port name";
  EXPECT_EQ(Entries(*form->pxDeviceBox1), (std::vector<std::string>{"echo", "pxecho", "mouse"}));
  EXPECT_EQ(form->pxUSB1->GetDeviceIndex(), 3);
  EXPECT_EQ(form->pxUSB1->SelectedDevice(), nullptr);
  EXPECT_EQ(form->pxDeviceBox1->ItemIndex(), -1);

  // The device before the selected one goes: the next one moves into the position.
  // A port device is also announced as a port's removal.
  Pick(*form->pxDeviceBox1, 1);
  ASSERT_TRUE(plug.unplug({0, {1}}));
  EXPECT_EQ(form->deviceChanges, 3);
  EXPECT_EQ(Entries(*form->pxDeviceBox1), (std::vector<std::string>{"pxecho", "mouse"}));
  EXPECT_EQ(form->pxUSB1->SelectedDevice()->Name, "mouse");
  EXPECT_EQ(form->pxDeviceBox1->ItemIndex(), 1);

  // Both come back; the echo answers again.
  ASSERT_TRUE(plug.plug({0, {1}}, std::make_shared<sim::EchoModel>(0x81)));
  ASSERT_TRUE(plug.plug({0, {3}}));
  EXPECT_FALSE(plug.plug({0, {3}})) << "nothing left to put back";
  // Each arrival's devnode stage is told once more (up to three times when unkind).
  EXPECT_GE(form->deviceChanges, 8);
  EXPECT_LE(form->deviceChanges, 12);
  EXPECT_EQ(Entries(*form->pxDeviceBox1), (std::vector<std::string>{"echo", "pxecho", "mouse", "stick"}));
  EXPECT_EQ(form->pxUSB1->SelectedDevice()->Name, "pxecho");
  Pick(*form->pxDeviceBox1, 0);
  form->pxUSB1->SetActive(true);
  pair.SetActive(true);
  win::SendMessageA(form->Memo1->Handle(), WM_CHAR, 'x', 1);
  EXPECT_TRUE(PumpUntil([&] { return form->Memo1->GetText() == "x"; })) << form->Memo1->GetText();

  // The form goes while its pair waits for data.
  auto device = Machine().usbIo().device(ToWin32DevicePath(form->pxUSB1->SelectedDevice()->DevicePath));
  ASSERT_TRUE(WaitUntil([&] { return device->pendingTransfers() == 1; }));
  form->Free();
  EXPECT_EQ(device->pendingTransfers(), 0u);
  EXPECT_EQ(Machine().usbIo().openInterfaces(), 0u);
}

}  // namespace
}  // namespace pxtest
