#include "app/Unit1.h"

#include <cstdio>

// The form description, compiled in from Unit1.dfm.
extern const char kUnit1Dfm[];

const TClassInfo& TXPManifest::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TXPManifest, TComponentClass>("TXPManifest", {});
  return info;
}

TForm1::TForm1(TComponent* owner) : TForm(owner) {
  SetMessageHandler(WM_DEVICECHANGE, TWndMethod::Of<&TForm1::WMDeviceChange>(this));
}

std::string HexLine(const void* buffer, DWORD count) {
  std::string line;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  for (DWORD i = 0; i < count; ++i) {
    char code[4];
    std::snprintf(code, sizeof(code), "%02X ", bytes[i]);
    line += code;
  }
  return line;
}

void TForm1::pxDeviceBox1Change(TObject*) {
  TpxUsbDevice* device = pxUSB1->SelectedDevice();
  if (!device) return;
  ePipeIn->Items().Clear();
  ePipeOut->Items().Clear();
  // A composite device's pipes that no open reaches come after the others; their
  // texts say so.
  for (bool firstPass : {true, false}) {
    for (int i = 0; i < device->PipeCount(); ++i) {
      TpxUsbPipe* pipe = device->Pipes(i);
      bool listedFirst = !device->IsComposite() || pipe->CanOpen();
      if (listedFirst != firstPass) continue;
      if (pipe->IsOut()) ePipeOut->Items().AddObject(pipe->Description, pipe);
      if (pipe->IsIn()) ePipeIn->Items().AddObject(pipe->Description, pipe);
    }
  }
}

namespace {

// The pipe of the list's selected item; no selection is a list-index error.
TpxUsbPipe* SelectedPipe(TComboBox* list) {
  return static_cast<TpxUsbPipe*>(list->Items().Objects(list->ItemIndex()));
}

// The position of the list's selected pipe, or -1 when none is selected.
std::int32_t ChosenPipe(TComboBox* list) {
  return list->ItemIndex() >= 0 ? SelectedPipe(list)->Index : -1;
}

}  // namespace

void TForm1::CheckBox1Click(TObject*) {
  // The open may read the device list again (a device listed before its driver
  // started): the pipe lists then show the new list's pipes, chosen as before.
  TpxUsbDevice* listed = pxUSB1->SelectedDevice();
  std::int32_t in = -1;
  std::int32_t out = -1;
  auto followList = [&] {
    if (pxUSB1->SelectedDevice() != listed) ShowPipes(in, out);
  };
  try {
    if (CheckBox1->Checked()) {
      // A composite device opens the function of the chosen pipes.
      in = ChosenPipe(ePipeIn);
      out = ChosenPipe(ePipeOut);
      pxUSB1->SetPipes(in, out);
      pxUSB1->SetActive(true);
      followList();
      if (pxUSB1->GetActive()) {
        pxUSBPipePair1->SetPipeIn(SelectedPipe(ePipeIn)->Index);
        pxUSBPipePair1->SetPipeOut(SelectedPipe(ePipeOut)->Index);
      }
      pxUSBPipePair1->SetActive(true);
    } else {
      pxUSBPipePair1->SetActive(false);
      pxUSB1->SetActive(false);
    }
  } catch (...) {
    followList();
    pxUSB1->SetActive(false);
    pxUSBPipePair1->SetActive(false);
    // Unticking runs this handler once more, which finds nothing left to close.
    CheckBox1->SetChecked(pxUSB1->GetActive() && pxUSBPipePair1->GetActive());
    throw;
  }
}

void TForm1::ShowPipes(std::int32_t in, std::int32_t out) {
  ePipeIn->Items().Clear();
  ePipeOut->Items().Clear();
  pxDeviceBox1Change(this);
  for (auto [list, chosen] : {std::make_pair(ePipeIn, in), std::make_pair(ePipeOut, out)}) {
    for (int i = 0; i < list->Items().Count(); ++i) {
      if (static_cast<TpxUsbPipe*>(list->Items().Objects(i))->Index == chosen) list->SetItemIndex(i);
    }
  }
}

void TForm1::pxUSBPipePair1AfterReceive(TObject*, void* Buffer, DWORD Received) {
  std::string line = HexLine(Buffer, Received);
  // One step on the memo's own thread, so no other change comes between.
  Memo2->Invoke([&] { Memo2->Lines().Add(line); });
}

void TForm1::pxUSBPipePair1FatalError(TObject*, DWORD, DWORD, const std::string&, bool&) {
  // Unticking closes the device too; the error itself is shown after this handler.
  CheckBox1->SetChecked(false);
}

void TForm1::WMDeviceChange(TMessage& Message) {
  Screen->SetCursor(crHourGlass);
  struct DefaultCursor {
    ~DefaultCursor() { Screen->SetCursor(crDefault); }
  } restore;
  std::int32_t index = pxUSB1->GetDeviceIndex();
  bool reloaded = pxUSB1->DeviceChange(Message);
  pxUSB1->SetDeviceIndex(index);
  if (reloaded && !pxUSB1->SelectedDevice()) {
    // The pipes the lists point at went with the old tree.
    ePipeIn->Items().Clear();
    ePipeOut->Items().Clear();
  }
  pxDeviceBox1Change(this);
}

const TClassInfo& TForm1::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TForm1, TForm>("TForm1", [](TClassInfo& c) {
    c.Field("pxUSB1", &TForm1::pxUSB1)
        .Field("pxDeviceBox1", &TForm1::pxDeviceBox1)
        .Field("Label1", &TForm1::Label1)
        .Field("pxUSBPipePair1", &TForm1::pxUSBPipePair1)
        .Field("Label2", &TForm1::Label2)
        .Field("ePipeIn", &TForm1::ePipeIn)
        .Field("ePipeOut", &TForm1::ePipeOut)
        .Field("Label3", &TForm1::Label3)
        .Field("Label4", &TForm1::Label4)
        .Field("CheckBox1", &TForm1::CheckBox1)
        .Field("Label5", &TForm1::Label5)
        .Field("Memo1", &TForm1::Memo1)
        .Field("Memo2", &TForm1::Memo2)
        .Field("XPManifest1", &TForm1::XPManifest1)
        .Handler<&TForm1::pxDeviceBox1Change>("pxDeviceBox1Change")
        .Handler<&TForm1::CheckBox1Click>("CheckBox1Click")
        .Handler<&TForm1::pxUSBPipePair1AfterReceive>("pxUSBPipePair1AfterReceive")
        .Handler<&TForm1::pxUSBPipePair1FatalError>("pxUSBPipePair1FatalError")
        .SetDescription(kUnit1Dfm);
  });
  return info;
}
