#include "app/Unit1.h"

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <cstdlib>

// The form description, compiled in from Unit1.dfm.
extern const char kUnit1Dfm[];

const TClassInfo& TXPManifest::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TXPManifest, TComponentClass>("TXPManifest", {});
  return info;
}

namespace {

constexpr UINT_PTR kDisplayTick = 1;
constexpr UINT kTickMs = 250;
// Hex lines a tick shows at most: more than that is beyond reading.
constexpr size_t kLinesPerTick = 8;
constexpr size_t kTextPerTick = 1024;
// The text a display step inserts at most: the edit box lays out what it is given
// character by character, so that 1 KB at once keeps the form from answering for tens
// of milliseconds.
constexpr size_t kTextPerStep = 256;
// The message that runs the next display step.
constexpr UINT kDisplayStep = WM_APP + 1;
constexpr int kDefaultScrollBack = 200;
constexpr int kMaxScrollBack = 100000;
constexpr int kCharsPerLine = 80;

}  // namespace

TForm1::TForm1(TComponent* owner) : TForm(owner) {
  SetMessageHandler(WM_DEVICECHANGE, TWndMethod::Of<&TForm1::WMDeviceChange>(this));
  SetMessageHandler(WM_TIMER, TWndMethod::Of<&TForm1::WMTimer>(this));
  SetMessageHandler(kDisplayStep, TWndMethod::Of<&TForm1::WMDisplayStep>(this));
}

std::string HexLine(const void* buffer, DWORD count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line(count * 3, ' ');
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  for (DWORD i = 0; i < count; ++i) {
    line[i * 3] = kDigits[bytes[i] >> 4];
    line[i * 3 + 1] = kDigits[bytes[i] & 0xF];
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
        // A terminal shows each packet as it comes, whether or not the device sends a
        // zero-length packet behind data that fill whole packets.
        pxUSBPipePair1->SetReadBufferSize(SelectedPipe(ePipeIn)->MaxPacketSize());
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
  receivedBytes_ += Received;
  {
    std::lock_guard<std::mutex> guard(receivedLock_);
    // The terminal's text, zero bytes left out; of more than a tick can show, the latest.
    // A block of one byte is a typed character: a backspace erases the character before
    // it (one the box shows already, at the tick), a carriage return starts a new line.
    const char* bytes = static_cast<const char*>(Buffer);
    if (Received == 1 && bytes[0] == '\b') {
      if (waitingText_.empty()) {
        ++waitingErase_;
      } else {
        waitingText_.pop_back();
      }
    } else if (Received == 1 && bytes[0] == '\r') {
      waitingText_ += "\r\n";
    } else {
      std::copy_if(bytes, bytes + Received, std::back_inserter(waitingText_), [](char c) { return c != '\0'; });
    }
    if (waitingText_.size() > kTextPerTick) {
      waitingText_.erase(0, waitingText_.size() - kTextPerTick);
      waitingErase_ = 0;  // what it would erase is not shown
    }
    // Kept as they came: only what a tick shows is turned into hex.
    if (waitingBlocks_.size() == kLinesPerTick) {
      leftOutBytes_ += waitingBlocks_.front().size();
      ++leftOutBlocks_;
      waitingBlocks_.pop_front();
    }
    waitingBlocks_.emplace_back(bytes, Received);
  }
  // The first block starts the display ticks, on the form's own thread; they go on
  // until the form goes.
  if (!ticking_.exchange(true)) {
    Invoke([this] {
      lastRate_ = std::chrono::steady_clock::now();
      win::SetTimer(Handle(), kDisplayTick, kTickMs, nullptr);
    });
  }
}

int TForm1::ScrollBackLines() {
  int lines = std::atoi(eScrollBack->GetText().c_str());
  return lines > 0 ? std::min(lines, kMaxScrollBack) : kDefaultScrollBack;
}

void TForm1::WMTimer(TMessage& Message) {
  if (Message.WParam != kDisplayTick) return;
  // The steps of the last tick still run: what came since waits, coalesced, for the next.
  if (!displaySteps_.empty()) return;
  std::deque<std::string> blocks;
  std::string text;
  DWORD erase = 0;
  std::uint64_t leftOutBlocks = 0, leftOutBytes = 0;
  {
    std::lock_guard<std::mutex> guard(receivedLock_);
    blocks.swap(waitingBlocks_);
    text.swap(waitingText_);
    std::swap(erase, waitingErase_);
    std::swap(leftOutBlocks, leftOutBlocks_);
    std::swap(leftOutBytes, leftOutBytes_);
  }
  // Inserted at the caret, as typed text would be; typed characters go to the device.
  HWND terminal = Memo1->Handle();
  if (erase) {
    displaySteps_.push_back([terminal, erase] {
      DWORD start = 0;
      win::SendMessageA(terminal, EM_GETSEL, reinterpret_cast<WPARAM>(&start), 0);
      win::SendMessageA(terminal, EM_SETSEL, start > erase ? start - erase : 0, start);
      win::SendMessageA(terminal, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(""));
    });
  }
  for (size_t at = 0; at < text.size(); at += kTextPerStep) {
    displaySteps_.push_back([terminal, piece = text.substr(at, kTextPerStep)] {
      win::SendMessageA(terminal, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(piece.c_str()));
    });
  }
  // One change of the hex box per tick: each change lays its whole text out again. When
  // more blocks came than a tick shows, only the latest is shown, behind the count.
  if (leftOutBlocks && blocks.size() > 1) {
    for (size_t i = 0; i + 1 < blocks.size(); ++i) leftOutBytes += blocks[i].size();
    leftOutBlocks += blocks.size() - 1;
    blocks.erase(blocks.begin(), blocks.end() - 1);
  }
  std::string hex;
  if (leftOutBlocks) {
    hex = Format("... %u blocks, %u bytes not shown ...",
                 {static_cast<unsigned>(leftOutBlocks), static_cast<unsigned>(leftOutBytes)});
  }
  for (const std::string& block : blocks) {
    hex += (hex.empty() ? "" : "\r\n") + HexLine(block.data(), static_cast<DWORD>(block.size()));
  }
  if (!hex.empty()) displaySteps_.push_back([this, hex] { Memo2->Lines().Add(hex); });
  displaySteps_.push_back([this] {
    int keep = ScrollBackLines();
    TrimScrollBack(*Memo1, keep);
    TrimScrollBack(*Memo2, keep);
    ShowCount();
  });
  RunDisplayStep();
}

void TForm1::WMDisplayStep(TMessage&) { RunDisplayStep(); }

void TForm1::RunDisplayStep() {
  // One step per message, so that the form answers others in between.
  while (!displaySteps_.empty()) {
    std::function<void()> step = std::move(displaySteps_.front());
    displaySteps_.pop_front();
    step();
    if (displaySteps_.empty() || win::PostMessageA(Handle(), kDisplayStep, 0, 0)) return;
    // Without a message the rest runs now rather than never.
  }
}

void TForm1::ShowCount() {
  // The count at every tick, the rate over a second at least.
  auto now = std::chrono::steady_clock::now();
  std::uint64_t bytes = receivedBytes_;
  double seconds = std::chrono::duration<double>(now - lastRate_).count();
  if (seconds >= 1.0) {
    rate_ = static_cast<double>(bytes - bytesAtLastRate_) / seconds;
    lastRate_ = now;
    bytesAtLastRate_ = bytes;
  }
  char status[96];
  std::snprintf(status, sizeof status, "Received %llu bytes, %.1f kB/s", static_cast<unsigned long long>(bytes),
                rate_ / 1000.0);
  if (lReceived->Caption() != status) lReceived->SetCaption(status);
}

void TrimScrollBack(TMemo& memo, int lines) {
  HWND window = memo.Handle();
  auto length = static_cast<size_t>(win::SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
  auto maxChars = static_cast<size_t>(lines) * kCharsPerLine;
  // Cut only once a quarter over the bound: every cut lays the whole text out again.
  if (length <= maxChars * 5 / 4 && win::SendMessageA(window, EM_GETLINECOUNT, 0, 0) <= lines * 5 / 4) return;
  std::string text(length + 1, '\0');
  text.resize(static_cast<size_t>(win::SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]))));
  // From the end back: the start of the oldest line kept, or of the characters kept.
  size_t cut = text.size() > maxChars ? text.size() - maxChars : 0;
  int seen = 0;
  for (size_t i = text.size(); i-- > cut;) {
    if (text[i] == '\n' && ++seen == lines) {
      cut = i + 1;
      break;
    }
  }
  if (cut == 0) return;
  DWORD start = 0, end = 0;
  win::SendMessageA(window, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  win::SendMessageA(window, EM_SETSEL, 0, static_cast<LPARAM>(cut));
  win::SendMessageA(window, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(""));
  auto kept = [&](DWORD at) { return static_cast<LPARAM>(at > cut ? at - cut : 0); };
  win::SendMessageA(window, EM_SETSEL, static_cast<WPARAM>(kept(start)), kept(end));
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
        .Field("lReceived", &TForm1::lReceived)
        .Field("Label6", &TForm1::Label6)
        .Field("eScrollBack", &TForm1::eScrollBack)
        .Handler<&TForm1::pxDeviceBox1Change>("pxDeviceBox1Change")
        .Handler<&TForm1::CheckBox1Click>("CheckBox1Click")
        .Handler<&TForm1::pxUSBPipePair1AfterReceive>("pxUSBPipePair1AfterReceive")
        .Handler<&TForm1::pxUSBPipePair1FatalError>("pxUSBPipePair1FatalError")
        .SetDescription(kUnit1Dfm);
  });
  return info;
}
