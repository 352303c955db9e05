// The component tests' fixture: a machine built from a description whose USB devices
// answer through device models, the shared manager cleared before the machine goes,
// and a log and a receiver that keep what reached them.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/forms.h"
#include "lib/pxcommbox.h"
#include "lib/pxusb.h"
#include "lib/pxusbpipe.h"
#include "platform/sim/description.h"
#include "support/backend.h"

namespace pxtest {

class TComponentLog : public TpxCustomLogFile {
 public:
  using TpxCustomLogFile::TpxCustomLogFile;
  void AddBlank() override { Add(-1, ""); }
  void Add(int level, const std::string& text) override {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back(std::to_string(level) + ":" + text);
  }
  void AddFmt(int level, const std::string& format, std::initializer_list<TVarRec> args) override {
    Add(level, Format(format, args));
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
  }
  // Lines that begin with `prefix`.
  int Count(const std::string& prefix) const;

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
};

// What OnAfterReceive and OnFatalError delivered; reader threads append.
class Receiver {
 public:
  void Received(TObject* sender, void* buffer, DWORD count);
  void Fatal(TObject* sender, DWORD code, DWORD detail, const std::string& message, bool& raise);
  std::string Data() const;
  std::vector<DWORD> Blocks() const;
  // Whether each block came on the thread that created the receiver.
  std::vector<bool> OnCreatorThread() const;

  bool RaiseFatal = true;
  std::vector<std::string> Fatals;  // "code, detail, message"

 private:
  mutable std::mutex lock_;
  std::string data_;
  std::vector<DWORD> blocks_;
  std::vector<bool> onCreator_;
  std::thread::id creator_ = std::this_thread::get_id();
};

// Root hub of controller 0 with the ports below; "echo" and "pxecho" are echo devices
// served by WinUSB and by the pxusb driver, the hub on port 2 holds the first two of
// its ports.
//   port 1: echo (2F1A:0101, WinUSB, 0x81 then 0x02, port name COM7)
//   port 2: hub: port 1 pxecho (2F1A:0102, PXUSB, 0x82 then 0x01), port 2 mouse (2C9D:1040, HidUsb)
//   port 3: stick (3B04:1F20, USBSTOR)
std::string SampleMachine();

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Replaces the machine with one built from `json`.
  void Load(const std::string& json);
  sim::SimMachine& Machine() { return described_->machine(); }
  sim::UsbBus& Bus() { return described_->usb(); }
  sim::Timeline& Timeline() { return described_->timeline(); }

  // Makes the device behind `node` answer through `model` instead, at the path TpxUSB
  // opens.
  std::shared_ptr<sim::UsbDevice> Attach(TpxUsbDevice* node, std::shared_ptr<sim::DeviceModel> model);

  // Selects `index` of `usb` and opens it; the pair reads pipe 0 and writes pipe 1.
  void OpenPair(TpxUSB& usb, TpxUSBPipePair& pair, int index);
  // The calling thread's messages, until `condition` holds.
  static bool PumpUntil(const std::function<bool()>& condition);
  std::vector<std::string> DebugLines(const std::string& prefix) const;
  // The user shows the box's form and picks entry `index` with the mouse.
  void Pick(TCustomComboBox& box, int index);

  TOwned<TApplication> app_;

 private:
  std::unique_ptr<sim::DescribedMachine> described_;
};

// What the demo's form does with a device change: reload, keep the position; then
// `after`, if given.
class DeviceChanges {
 public:
  explicit DeviceChanges(TpxUSB& usb, std::function<void()> after = {});
  ~DeviceChanges();

 private:
  void WndProc(TMessage& message);
  TpxUSB& usb_;
  std::function<void()> after_;
  HWND window_;
};

}  // namespace pxtest
