#include "app/session.h"

#include <cstdio>
#include <fstream>

namespace {

using Clock = std::chrono::steady_clock;

// Polls until `condition` holds or `timeout` passes: the windows change on the
// form's thread, at its pace.
template <class F>
bool Within(std::chrono::milliseconds timeout, F condition) {
  auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

constexpr std::chrono::seconds kStepTime{10};

std::string WindowText(HWND window) {
  int length = win::GetWindowTextLengthA(window);
  std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
  int got = win::GetWindowTextA(window, &text[0], static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(got > 0 ? got : 0));
  return text;
}

LRESULT Count(HWND list) { return win::SendMessageA(list, CB_GETCOUNT, 0, 0); }

// A pick in a drop-down list as the user makes it: the selection, then the
// notification to the list's parent.
void Pick(HWND list, int index) {
  win::SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  win::SendMessageA(win::GetParent(list), WM_COMMAND, MAKEWPARAM(0, CBN_SELCHANGE),
                    reinterpret_cast<LPARAM>(list));
}

std::string WithoutLineBreaks(std::string text) {
  std::string out;
  for (char c : text) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

bool FileExists(const std::string& path) { return std::ifstream(path).good(); }

}  // namespace

TDemoSession::TDemoSession(TForm1& form, std::string text, std::string reportPath,
                           std::chrono::milliseconds hold)
    : form_(form), text_(std::move(text)), reportPath_(std::move(reportPath)), hold_(hold) {
  thread_ = std::thread([this] { Play(); });
}

TDemoSession::~TDemoSession() { Finish(); }

bool TDemoSession::Finish() {
  if (thread_.joinable()) thread_.join();
  return passed_;
}

void TDemoSession::Note(const std::string& line) { transcript_.push_back(line); }

bool TDemoSession::Fail(const std::string& reason) {
  Note("FAIL: " + reason);
  return false;
}

void TDemoSession::Play() {
  auto run = [this]() -> bool {
    // The windows exist once the form is shown (the loop runs then).
    if (!Within(kStepTime, [&] { return form_.HandleAllocated() && win::IsWindowVisible(form_.Handle()); })) {
      return Fail("the form was not shown");
    }
    HWND box = form_.pxDeviceBox1->Handle();
    HWND in = form_.ePipeIn->Handle();
    HWND out = form_.ePipeOut->Handle();
    HWND active = form_.CheckBox1->Handle();
    HWND terminal = form_.Memo1->Handle();
    HWND hex = form_.Memo2->Handle();

    int devices = static_cast<int>(Count(box));
    int device = -1;
    for (int i = 0; i < devices && device < 0; ++i) {
      Pick(box, i);
      if (Count(in) > 0 && Count(out) > 0) device = i;
    }
    if (device < 0) return Fail("no device with an IN and an OUT pipe among " + std::to_string(devices));
    Note("Device: " + WindowText(box));
    Pick(in, 0);
    Pick(out, 0);
    Note("Input pipe: " + WindowText(in));
    Note("Output pipe: " + WindowText(out));

    // Posted, as a click is: an error's message box must not hold this thread.
    win::PostMessageA(active, BM_CLICK, 0, 0);
    auto ticked = [&] { return win::SendMessageA(active, BM_GETCHECK, 0, 0) == BST_CHECKED; };
    if (!Within(kStepTime, ticked)) return Fail("Active did not stay ticked");
    for (char c : text_) win::PostMessageA(terminal, WM_CHAR, static_cast<unsigned char>(c), 1);

    std::string expectedHex = HexLine(text_.data(), static_cast<DWORD>(text_.size()));
    bool echoed = Within(kStepTime, [&] {
      return WindowText(terminal) == text_ && WithoutLineBreaks(WindowText(hex)) == expectedHex;
    });
    Note("Memo1: " + WindowText(terminal));
    Note("Memo2: " + WithoutLineBreaks(WindowText(hex)));
    if (!echoed) return Fail("expected \"" + text_ + "\" and \"" + expectedHex + "\"");
    // A failed activation unticks the box again.
    if (!ticked()) return Fail("Active did not stay ticked");
    Note("Active: ticked");
    Note("PASS");
    return true;
  };
  passed_ = run();
  if (!reportPath_.empty()) {
    {
      std::ofstream report(reportPath_, std::ios::trunc);
      for (const std::string& line : transcript_) report << line << "\n";
    }
    // Whoever asked for the report removes it once done with the screen.
    Within(hold_, [&] { return !FileExists(reportPath_); });
  }
  // Closed while active, as a user may (never from here a window of its own).
  if (form_.HandleAllocated()) win::PostMessageA(form_.Handle(), WM_CLOSE, 0, 0);
}
