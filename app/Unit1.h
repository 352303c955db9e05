// The demo's main form: pick a USB device and two of its pipes, tick Active, and
// talk to the device: typed characters go to the OUT pipe, what the IN pipe brings
// shows as text in Memo1 and as hexadecimal codes in Memo2.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "framework/forms.h"
#include "lib/pxcommbox.h"
#include "lib/pxusb.h"
#include "lib/pxusbpipe.h"

// Asks for the platform's themed look of the controls; the look comes with the
// program's manifest, so the component itself does nothing.
class TXPManifest : public TComponent {
 public:
  using TComponent::TComponent;
  static const TClassInfo& ClassInfo();
};

class TForm1 : public TForm {
 public:
  explicit TForm1(TComponent* owner);
  static const TClassInfo& ClassInfo();

  TpxUSB* pxUSB1 = nullptr;
  TpxDeviceBox* pxDeviceBox1 = nullptr;
  TLabel* Label1 = nullptr;
  TpxUSBPipePair* pxUSBPipePair1 = nullptr;
  TLabel* Label2 = nullptr;
  TComboBox* ePipeIn = nullptr;
  TComboBox* ePipeOut = nullptr;
  TLabel* Label3 = nullptr;
  TLabel* Label4 = nullptr;
  TCheckBox* CheckBox1 = nullptr;
  TLabel* Label5 = nullptr;
  TMemo* Memo1 = nullptr;
  TMemo* Memo2 = nullptr;
  TXPManifest* XPManifest1 = nullptr;
  // The received byte count and rate; the lines each box keeps, which the user sets.
  TLabel* lReceived = nullptr;
  TLabel* Label6 = nullptr;
  TEdit* eScrollBack = nullptr;

  void pxDeviceBox1Change(TObject* Sender);
  void CheckBox1Click(TObject* Sender);
  // Runs on the reader thread. The block's text reaches Memo1 and its hex line Memo2
  // at the next display tick; at rates above what a person can read, only the latest
  // text and lines of a tick are shown, the hex lines behind one line that counts the
  // blocks left out. The byte count loses nothing. The pair itself only sends what is
  // typed into Memo1 (TerminalUsage tuSend).
  void pxUSBPipePair1AfterReceive(TObject* Com, void* Buffer, DWORD Received);
  // The pair stopped on its own (the device stalled for good or left): it has closed;
  // Active unticks, and the reason shows as an error message.
  void pxUSBPipePair1FatalError(TObject* Sender, DWORD ErrorCode, DWORD Detail, const std::string& ErrorMsg,
                                bool& RaiseException);

 private:
  void WMDeviceChange(TMessage& Message);
  // A display tick: the waiting text and hex lines, the boxes' scroll-back, the count
  // and rate. The tick splits them into steps, each run by a message of its own.
  void WMTimer(TMessage& Message);
  void WMDisplayStep(TMessage& Message);
  void RunDisplayStep();
  void ShowCount();
  int ScrollBackLines();

  std::deque<std::function<void()>> displaySteps_;  // on the form's thread
  std::mutex receivedLock_;
  std::deque<std::string> waitingBlocks_;  // at most kLinesPerTick
  std::string waitingText_;
  DWORD waitingErase_ = 0;  // characters the box shows that backspaces erase
  std::uint64_t leftOutBlocks_ = 0;       // since the last tick
  std::uint64_t leftOutBytes_ = 0;
  std::atomic<std::uint64_t> receivedBytes_{0};
  std::atomic<bool> ticking_{false};
  std::uint64_t bytesAtLastRate_ = 0;
  double rate_ = 0;  // bytes per second over the last second or more
  std::chrono::steady_clock::time_point lastRate_;
  // Fills the pipe lists from the selected device anew, choosing the pipes at these
  // positions (-1: none).
  void ShowPipes(std::int32_t in, std::int32_t out);
};

// Once `memo` holds a quarter more than `lines` lines or `lines` times 80 characters,
// cuts its oldest text down to that; the caret keeps its place in the text that stays.
void TrimScrollBack(TMemo& memo, int lines);

// The hex line of a received block: two upper-case digits and a space per byte.
std::string HexLine(const void* buffer, DWORD count);
