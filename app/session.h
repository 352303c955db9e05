// A scripted user for the demo's windows, for runs with nobody at the screen: a
// thread of its own plays the user with the messages that a mouse and a keyboard
// cause (a pick in a list, a click, typed characters) and reads back what the
// windows show. It selects the first device with an IN and an OUT pipe, picks the
// first of each, ticks Active, types the text, and checks that Memo1 shows the echo
// and Memo2 its hexadecimal codes; then it closes the form.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/Unit1.h"

class TDemoSession {
 public:
  // `reportPath`, when not empty, receives the transcript once the checks are done;
  // the session then keeps the form open until that file is removed (a screenshot
  // can be taken meanwhile), within `hold`.
  TDemoSession(TForm1& form, std::string text, std::string reportPath = {},
               std::chrono::milliseconds hold = std::chrono::seconds(60));
  ~TDemoSession();
  TDemoSession(const TDemoSession&) = delete;
  TDemoSession& operator=(const TDemoSession&) = delete;

  // Waits for the session's end (it closes the form) and tells whether it passed.
  bool Finish();
  // The session's notes and its verdict; complete once Finish returned.
  const std::vector<std::string>& Transcript() const { return transcript_; }

 private:
  void Play();
  bool Fail(const std::string& reason);
  void Note(const std::string& line);

  TForm1& form_;
  std::string text_;
  std::string reportPath_;
  std::chrono::milliseconds hold_;
  bool passed_ = false;                  // written by the session thread, read after Finish
  std::vector<std::string> transcript_;  // likewise
  std::thread thread_;
};
