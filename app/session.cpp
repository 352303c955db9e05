#include "app/session.h"

#include <cstdio>
#include <fstream>

#include "framework/userinput.h"

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

bool WithinStep(const std::function<bool()>& condition) { return Within(kStepTime, condition); }

std::string WindowText(HWND window) {
  int length = win::GetWindowTextLengthA(window);
  std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
  int got = win::GetWindowTextA(window, &text[0], static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(got > 0 ? got : 0));
  return text;
}

LRESULT Count(HWND list) { return win::SendMessageA(list, CB_GETCOUNT, 0, 0); }

std::string WithoutLineBreaks(std::string text) {
  std::string out;
  for (char c : text) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

std::string Rect(const RECT& r) {
  return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + " " +
         std::to_string(r.bottom - r.top);
}

bool FileExists(const std::string& path) { return std::ifstream(path).good(); }

}  // namespace

TDemoSession::TDemoSession(TForm1& form, std::string text, std::string reportPath,
                           std::chrono::milliseconds hold, TMode mode)
    : form_(form), text_(std::move(text)), reportPath_(std::move(reportPath)), hold_(hold), mode_(mode) {
  thread_ = std::thread([this] {
    // The windows exist once the form is shown (the loop runs then).
    // Input goes to the window in front; under Wine the form gets there only once the
    // display has mapped it.
    if (!WithinStep([&] {
          return form_.HandleAllocated() && win::IsWindowVisible(form_.Handle()) &&
                 win::GetForegroundWindow() == form_.Handle();
        })) {
      Fail("the form was not shown in front");
    } else if (mode_ == smWatch) {
      Watch();
    } else {
      passed_ = Play();
      if (!reportPath_.empty()) {
        {
          std::ofstream report(reportPath_, std::ios::trunc);
          for (const std::string& line : transcript_) report << line << "\n";
        }
        // Whoever asked for the report removes it once done with the screen.
        Within(hold_, [&] { return !FileExists(reportPath_); });
      }
    }
    // Closed while active, as a user may (never from here a window of its own).
    if (form_.HandleAllocated()) win::PostMessageA(form_.Handle(), WM_CLOSE, 0, 0);
  });
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

bool TDemoSession::Play() {
  HWND box = form_.pxDeviceBox1->Handle();
  HWND in = form_.ePipeIn->Handle();
  HWND out = form_.ePipeOut->Handle();
  HWND active = form_.CheckBox1->Handle();
  HWND terminal = form_.Memo1->Handle();
  HWND hex = form_.Memo2->Handle();

  int devices = static_cast<int>(Count(box));
  int device = -1;
  for (int i = 0; i < devices && device < 0; ++i) {
    if (!userinput::PickWithMouse(box, i, WithinStep)) {
      return Fail("the pick of device " + std::to_string(i) + " did not take");
    }
    if (Count(in) > 0 && Count(out) > 0) device = i;
  }
  if (device < 0) return Fail("no device with an IN and an OUT pipe among " + std::to_string(devices));
  Note("Device: " + WindowText(box));
  for (HWND list : {in, out}) {
    if (!userinput::PickWithMouse(list, 0, WithinStep)) return Fail("the pick of a pipe did not take");
  }
  Note("Input pipe: " + WindowText(in));
  Note("Output pipe: " + WindowText(out));

  userinput::ClickCenter(active);
  auto ticked = [&] { return win::SendMessageA(active, BM_GETCHECK, 0, 0) == BST_CHECKED; };
  if (!WithinStep(ticked)) return Fail("Active did not tick");
  if (text_.empty()) {
    // Nothing to type: the device's own data flow until the report is taken away.
    Note("Active: ticked");
    return true;
  }
  userinput::ClickCenter(terminal);
  // The focus belongs to the form's thread: asked there.
  auto focused = [&] {
    bool has = false;
    form_.Memo1->Invoke([&] { has = win::GetFocus() == terminal; });
    return has;
  };
  if (!WithinStep(focused)) {
    return Fail("the terminal box did not take the focus");
  }
  userinput::TypeText(text_);

  std::string expectedHex = HexLine(text_.data(), static_cast<DWORD>(text_.size()));
  bool echoed = WithinStep([&] {
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
}

std::vector<std::string> TDemoSession::Snapshot() {
  std::vector<std::string> lines;
  RECT rect{};
  for (TWinControl* control : std::initializer_list<TWinControl*>{
           &form_, form_.pxDeviceBox1, form_.ePipeIn, form_.ePipeOut, form_.CheckBox1, form_.Memo1, form_.Memo2}) {
    win::GetWindowRect(control->Handle(), &rect);
    lines.push_back("Place " + std::string(control == &form_ ? "Form1" : control->Name()) + " " + Rect(rect));
  }
  for (TCustomComboBox* list : std::initializer_list<TCustomComboBox*>{form_.pxDeviceBox1, form_.ePipeIn, form_.ePipeOut}) {
    HWND window = list->Handle();
    win::SendMessageA(window, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&rect));
    bool dropped = win::SendMessageA(window, CB_GETDROPPEDSTATE, 0, 0) != 0;
    lines.push_back("List " + list->Name() + (dropped ? " dropped" : " closed"));
    // Each entry, and where it is on the screen while the list is dropped.
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    bool shown = dropped && win::GetComboBoxInfo(window, &info) && info.hwndList;
    RECT dropRect{};
    if (shown) win::GetWindowRect(info.hwndList, &dropRect);
    for (int i = 0; i < Count(window); ++i) {
      char item[256] = {};
      if (win::SendMessageA(window, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) < static_cast<LRESULT>(sizeof item)) {
        win::SendMessageA(window, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
      }
      std::string at;
      if (shown && win::SendMessageA(info.hwndList, LB_GETITEMRECT, static_cast<WPARAM>(i),
                                     reinterpret_cast<LPARAM>(&rect)) != LB_ERR) {
        // Client to screen: the list's border is as wide on every side.
        RECT client{};
        win::GetClientRect(info.hwndList, &client);
        int border = (dropRect.right - dropRect.left - client.right) / 2;
        at = " at " + std::to_string(dropRect.left + border + rect.left + 8) + " " +
             std::to_string(dropRect.top + border + (rect.top + rect.bottom) / 2);
      }
      lines.push_back("Item " + list->Name() + " " + std::to_string(i) + at + ": " + item);
    }
    lines.push_back("Selected " + list->Name() + ": " + WindowText(window));
  }
  HWND active = form_.CheckBox1->Handle();
  lines.push_back(std::string("Active: ") +
                  (win::SendMessageA(active, BM_GETCHECK, 0, 0) == BST_CHECKED ? "ticked" : "unticked"));
  lines.push_back("Memo1: " + WindowText(form_.Memo1->Handle()));
  lines.push_back("Memo2: " + WithoutLineBreaks(WindowText(form_.Memo2->Handle())));
  return lines;
}

void TDemoSession::Watch() {
  std::vector<std::string> last;
  auto deadline = Clock::now() + hold_;
  // Written whole, then renamed: a reader never sees half a report (at worst none).
  const std::string partial = reportPath_ + ".part";
  do {
    std::vector<std::string> lines = Snapshot();
    if (lines != last) {
      {
        // Binary: the script at the display reads plain line ends.
        std::ofstream report(partial, std::ios::trunc | std::ios::binary);
        for (const std::string& line : lines) report << line << "\n";
      }
      // Windows' rename does not replace an existing file.
      std::remove(reportPath_.c_str());
      std::rename(partial.c_str(), reportPath_.c_str());
      last = lines;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (!FileExists(reportPath_ + ".end") && Clock::now() < deadline);
  passed_ = true;
}
