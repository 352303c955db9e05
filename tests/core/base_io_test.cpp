// The base I/O component without the GUI: Active, the reader, fatal errors, logging,
// the device list, notify handlers and device-change messages.
#include <gtest/gtest.h>

#include "core_support.h"
#include "platform/sim/machine.h"

using pxtest::NewDevice;
using pxtest::TTestIO;
using pxtest::TTestLog;

namespace {

struct Journal {
  std::vector<std::string> calls;
  void AfterOpen(TObject*) { calls.push_back("open"); }
  void AfterClose(TObject*) { calls.push_back("close"); }
  void Failing(TObject*) { throw Exception("handler fails"); }
  void Notify(TpxBaseIO*, std::int32_t code) { calls.push_back("notify " + IntToStr(code)); }
  void Other(TpxBaseIO*, std::int32_t code) { calls.push_back("other " + IntToStr(code)); }
  void KeepQuiet(TObject*, DWORD, DWORD, const std::string& msg, bool& raise) {
    calls.push_back("fatal " + msg);
    raise = false;
  }
  void Watch(TObject*, DWORD, DWORD, const std::string& msg, bool&) { calls.push_back("fatal " + msg); }
};

class BaseIO : public ::testing::Test {
 protected:
  sim::SimMachine machine;
  TOwned<TTestIO> io = MakeComponent<TTestIO>();
  Journal journal;
};

TEST_F(BaseIO, ActiveOpensAndClosesAtRunTime) {
  io->UseReader = false;
  io->OnAfterOpen = TNotifyEvent::Of<&Journal::AfterOpen>(&journal);
  io->OnAfterClose = TNotifyEvent::Of<&Journal::AfterClose>(&journal);
  EXPECT_FALSE(io->GetActive());
  EXPECT_EQ(io->Handle(), -1);

  io->SetActive(true);
  EXPECT_TRUE(io->GetActive());
  io->SetActive(true);  // already open: nothing happens
  EXPECT_EQ(io->Opens, 1);
  io->SetActive(false);
  io->SetActive(false);
  EXPECT_FALSE(io->IsOpen());
  EXPECT_EQ(io->Closes, 1);
  EXPECT_EQ(journal.calls, (std::vector<std::string>{"open", "close"}));

  // A failed open reports nothing and fires nothing; handler errors are dropped.
  io->OpenFails = true;
  io->SetActive(true);
  EXPECT_FALSE(io->GetActive());
  EXPECT_EQ(journal.calls.size(), 2u);
  io->OpenFails = false;
  io->OnAfterOpen = TNotifyEvent::Of<&Journal::Failing>(&journal);
  io->OnAfterClose = TNotifyEvent::Of<&Journal::Failing>(&journal);
  EXPECT_NO_THROW(io->SetActive(true));
  EXPECT_TRUE(io->IsOpen());
  EXPECT_NO_THROW(io->SetActive(false));
  EXPECT_FALSE(io->IsOpen());
}

TEST_F(BaseIO, DesignTimeActiveIsATestOpen) {
  io->UseReader = false;
  io->SetDesigning(true);
  io->SetActive(true);
  EXPECT_TRUE(io->GetActive());  // the open worked...
  EXPECT_FALSE(io->IsOpen());    // ...and nothing stayed open
  io->SetActive(true);           // the same value tests again
  EXPECT_EQ(io->Opens, 2);
  EXPECT_EQ(io->Closes, 2);

  io->OpenFails = true;
  io->SetActive(true);
  EXPECT_FALSE(io->GetActive());
  EXPECT_EQ(io->Closes, 2);
}

TEST_F(BaseIO, WhileLoadingActiveIsOnlyStored) {
  io->UseReader = false;
  io->SetLoading();
  io->SetActive(true);
  EXPECT_TRUE(io->GetActive());
  EXPECT_EQ(io->Opens, 0);
  io->Loaded();
  EXPECT_TRUE(io->IsOpen());
  EXPECT_EQ(io->Opens, 1);
}

TEST_F(BaseIO, FatalErrorsRaiseUnlessTheHandlerSaysNoAndAreLoggedEitherWay) {
  auto log = MakeComponent<TTestLog>(nullptr);
  io->SetLog(log.get());

  try {
    io->DoFatalError(5, 7, "device gone");
    ADD_FAILURE() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message, "device gone");
  }
  io->OnFatalError = TOnFatalErrorEvent::Of<&Journal::KeepQuiet>(&journal);
  EXPECT_NO_THROW(io->DoFatalError(1, 2, "quiet"));
  EXPECT_EQ(journal.calls, (std::vector<std::string>{"fatal quiet"}));

  io->OnFatalError = TOnFatalErrorEvent::Of<&Journal::Watch>(&journal);
  io->SetLoading();
  EXPECT_NO_THROW(io->DoFatalError(3, 4, "while loading"));

  auto lines = log->Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, 0);
  EXPECT_EQ(lines[0].text, "Fatal Error: 5, 7, device gone");
  EXPECT_EQ(lines[1].text, "Fatal Error: 1, 2, quiet");
  EXPECT_EQ(lines[2].text, "Fatal Error: 3, 4, while loading");

  // The log's own fatal errors follow the same rule.
  EXPECT_THROW(log->DoFatalError(1, 1, "log fails"), Exception);
  log->OnFatalError = TOnFatalErrorEvent::Of<&Journal::KeepQuiet>(&journal);
  EXPECT_NO_THROW(log->DoFatalError(1, 1, "log quiet"));
  EXPECT_EQ(journal.calls.back(), "fatal log quiet");
}

TEST_F(BaseIO, LogLinesCarryTheClassNameAndTheLinkEndsWithTheLog) {
  io->WriteLog(2, "no log yet");
  auto log = MakeComponent<TTestLog>(nullptr);
  io->SetLog(log.get());
  io->WriteLog(2, "Load device list ...");
  io->WriteLog(2, "");
  auto lines = log->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 2);
  EXPECT_EQ(lines[0].text, "TTestIOLoad device list ...");
  EXPECT_EQ(lines[1].level, -1);  // AddBlank

  log.reset();
  EXPECT_EQ(io->Log(), nullptr);
  EXPECT_NO_THROW(io->WriteLog(2, "after the log went"));
}

TEST_F(BaseIO, InsertDeviceKeepsKeysAscendingAndUnique) {
  EXPECT_EQ(io->InsertDevice(NewDevice("twenty", 20)), 0);
  EXPECT_EQ(io->InsertDevice(NewDevice("thirty", 30)), 1);
  EXPECT_EQ(io->InsertDevice(NewDevice("ten", 10)), 0);
  EXPECT_EQ(io->InsertDevice(NewDevice("twenty-five", 25)), 2);
  TpxDevice* duplicate = NewDevice("again", 20);
  EXPECT_EQ(io->InsertDevice(duplicate), -1);
  delete duplicate;

  std::vector<std::string> names;
  for (int i = 0; i < io->DeviceCount(); ++i) {
    TpxDevice* device = io->Devices(i);
    EXPECT_EQ(device->Index, i);
    EXPECT_EQ(device->Owner, io.get());
    names.push_back(device->Name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"ten", "twenty", "twenty-five", "thirty"}));
  EXPECT_EQ(io->Devices(-1), nullptr);
  EXPECT_EQ(io->Devices(4), nullptr);
  EXPECT_EQ(io->AddDevice(nullptr), -1);
}

TEST_F(BaseIO, GetDevicesLoadsAnEmptyListFirst) {
  io->GetDevices(nullptr);
  EXPECT_EQ(io->Loads, 1);
  EXPECT_EQ(io->DeviceCount(), 2);

  TStringList strings;
  strings.Add("stale");
  io->GetDevices(&strings);
  EXPECT_EQ(io->Loads, 1);  // not empty: not loaded again
  ASSERT_EQ(strings.Count(), 2);
  EXPECT_EQ(strings.Strings(1), "second");
  EXPECT_EQ(strings.Objects(1), io->Devices(1));

  // A list that does not own its entries leaves them alone.
  TpxDevice kept;
  kept.Name = "kept";
  io->ClearDevices();
  io->OwnsDevices = false;
  io->AddDevice(&kept);
  io->ClearDevices();
  EXPECT_EQ(io->DeviceCount(), 0);
  EXPECT_EQ(kept.Name, "kept");
}

TEST_F(BaseIO, NotifyHandlersAreUniqueAndCalledInOrder) {
  Journal other;
  auto notify = TpxNotifyHandler::Of<&Journal::Notify>(&journal);
  io->AddNotify(notify);
  io->AddNotify(notify);
  io->AddNotify(TpxNotifyHandler::Of<&Journal::Notify>(&other));  // another object
  io->AddNotify(TpxNotifyHandler::Of<&Journal::Other>(&journal));  // another method
  Journal absent;
  io->RemoveNotify(TpxNotifyHandler::Of<&Journal::Notify>(&absent));  // not listed: nothing
  io->NotifyAll(7);
  EXPECT_EQ(journal.calls, (std::vector<std::string>{"notify 7", "other 7"}));
  EXPECT_EQ(other.calls, (std::vector<std::string>{"notify 7"}));

  io->RemoveNotify(notify);
  io->SetDeviceIndex(0);
  EXPECT_EQ(journal.calls.back(), "other 3");
  EXPECT_EQ(journal.calls.size(), 3u);
}

TEST_F(BaseIO, DeviceChangeTakesNodeChangesAndPortArrivalsOnly) {
  io->AddNotify(TpxNotifyHandler::Of<&Journal::Notify>(&journal));
  DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
  DEV_BROADCAST_HDR iface{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_DEVICEINTERFACE, 0};
  auto message = [](UINT msg, WPARAM code, DEV_BROADCAST_HDR* header) {
    return TMessage{msg, code, reinterpret_cast<LPARAM>(header), 0};
  };
  struct Case {
    TMessage message;
    bool taken;
  } cases[] = {
      {message(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, nullptr), true},
      {message(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &port), true},
      {message(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, &port), true},
      {message(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &iface), false},
      {message(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, nullptr), false},
      {message(WM_DEVICECHANGE, 0x8001, &port), false},  // query remove
      {message(WM_DEVICECHANGE + 1, DBT_DEVNODES_CHANGED, nullptr), false},
  };
  int taken = 0;
  for (Case& c : cases) {
    EXPECT_EQ(io->DeviceChange(c.message), c.taken) << c.message.Msg << " " << c.message.WParam;
    taken += c.taken;
    EXPECT_EQ(journal.calls.size(), static_cast<size_t>(taken));
  }
}

TEST_F(BaseIO, OperationsLeftAbstractRaise) {
  EXPECT_THROW(io->GetDeviceIndex(), EAbstractError);
  auto bare = MakeComponent<TpxBaseIO>(nullptr);
  EXPECT_THROW(bare->SendChar('x'), EAbstractError);
  EXPECT_THROW(bare->LoadDevices(), EAbstractError);
  EXPECT_FALSE(bare->QueryProcessor());
  bare->SetActive(true);  // the base opens nothing
  EXPECT_FALSE(bare->GetActive());
}

}  // namespace
