// A scripted user for the demo's windows, for runs with nobody at the screen. A
// thread of its own works the program through the system's input, as a person's mouse
// and keyboard do, and reads back what the windows show:
// - playing, it picks the first device with an IN and an OUT pipe, the first pipe of
//   each, clicks Active, types the text into the terminal box, and checks that Memo1
//   shows the echo and Memo2 its hexadecimal codes; then it closes the form; with no
//   text it stops once Active is ticked, and the device's data flow meanwhile;
// - watching, it leaves the input to someone else (a script driving the display) and
//   only keeps the report file up to date with what the windows show and where they
//   are, until a file of the report's name with ".end" added appears (or `hold`
//   passes); then it closes the form.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/Unit1.h"

class TDemoSession {
 public:
  enum TMode { smPlay, smWatch };

  // Playing, `reportPath` (when not empty) receives the transcript once the checks
  // are done; the session then keeps the form open until that file is removed (a
  // screenshot can be taken meanwhile), within `hold`.
  TDemoSession(TForm1& form, std::string text, std::string reportPath = {},
               std::chrono::milliseconds hold = std::chrono::seconds(60), TMode mode = smPlay);
  ~TDemoSession();
  TDemoSession(const TDemoSession&) = delete;
  TDemoSession& operator=(const TDemoSession&) = delete;

  // Waits for the session's end (it closes the form) and tells whether it passed.
  bool Finish();
  // The session's notes and its verdict; complete once Finish returned.
  const std::vector<std::string>& Transcript() const { return transcript_; }

 private:
  bool Play();
  void Watch();
  // What the windows show and where they are on the screen, one fact a line.
  std::vector<std::string> Snapshot();
  bool Fail(const std::string& reason);
  void Note(const std::string& line);

  TForm1& form_;
  std::string text_;
  std::string reportPath_;
  std::chrono::milliseconds hold_;
  TMode mode_;
  bool passed_ = false;                  // written by the session thread, read after Finish
  std::vector<std::string> transcript_;  // likewise
  std::thread thread_;
};
