// Test doubles for the component core: a log that records its lines and an I/O
// component whose medium is a queue of blocks that a reader thread delivers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "lib/pxclasses.h"

namespace pxtest {

class TTestLog : public TpxCustomLogFile {
 public:
  struct Line {
    int level;
    std::string text;
  };
  using TpxCustomLogFile::TpxCustomLogFile;

  void AddBlank() override { Record(-1, ""); }
  void Add(int level, const std::string& text) override { Record(level, text); }
  void AddFmt(int level, const std::string& format, std::initializer_list<TVarRec> args) override {
    Record(level, Format(format, args));
  }
  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
  }
  std::vector<std::string> Texts() const;

 private:
  void Record(int level, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back({level, text});
  }
  mutable std::mutex lock_;
  std::vector<Line> lines_;
};

// The medium is open while it has a handle (an event of the simulated kernel); its
// reader delivers each fed block through DoReceive with a spare byte behind it, and
// ends when the medium closes or the reader-stopped flag is set.
class TTestIO : public TpxBaseIO {
 public:
  explicit TTestIO(TComponent* owner = nullptr) : TpxBaseIO(owner) { UseReader = true; }

  using TpxBaseIO::DoReceive;
  using TpxBaseIO::Handle;
  using TpxBaseIO::OwnsDevices;
  using TpxBaseIO::ReaderStopped;
  using TpxBaseIO::SetReaderStopped;
  using TpxBaseIO::UseReader;
  using TpxBaseIO::WriteToTerminal;

  // The medium's side.
  void Feed(const std::string& block);
  bool OpenFails = false;
  bool OpenThrows = false;
  bool ReaderThrows = false;
  std::atomic<int> Opens{0};
  std::atomic<int> Closes{0};
  std::atomic<int> Loads{0};

  // What the reader saw.
  std::atomic<DWORD> ReaderId{0};
  std::atomic<int> ReaderComCount{-1};
  std::atomic<bool> ReaderRunning{false};
  std::atomic<bool> HandingOver{false};  // a block is on its way through DoReceive
  std::atomic<int> Delivered{0};

  std::string Sent;  // SendChar / SendString / SendBuffer, main thread only

  void LoadDevices() override;
  void SendChar(char ch) override { Sent += ch; }
  DWORD SendString(const std::string& text) override {
    Sent += text;
    return static_cast<DWORD>(text.size());
  }
  DWORD SendBuffer(void* buffer, DWORD count) override {
    Sent.append(static_cast<const char*>(buffer), count);
    return count;
  }

 protected:
  std::int32_t DoOpen() override;
  void DoClose(std::int32_t handle) override;
  void ThreadExecute(TpxThreadIO* thread) override;

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::string> blocks_;
  bool mediumClosed_ = true;
};

// Runs the calling thread's messages: timer ticks, messages other threads sent.
void Pump();

// A device record for the list tests.
TpxDevice* NewDevice(const std::string& name, std::int32_t orderKey);

}  // namespace pxtest
