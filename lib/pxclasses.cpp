#include "lib/pxclasses.h"

#include <algorithm>
#include <cstring>

#include "framework/controls.h"

// ---- TpxNotifyList -------------------------------------------------------------------

int TpxNotifyList::Add(const TpxNotifyHandler& handler) {
  auto entry = std::make_unique<TpxNotifyHandler>(handler);
  int index = TList::Add(entry.get());
  entry.release();
  return index;
}

void TpxNotifyList::Delete(int index) {
  std::unique_ptr<TpxNotifyHandler> entry(static_cast<TpxNotifyHandler*>(Get(index)));
  TList::Delete(index);
}

void TpxNotifyList::Clear() {
  while (Count() > 0) Delete(Count() - 1);
  TList::Clear();
}

const TpxNotifyHandler& TpxNotifyList::GetItem(int index) const {
  return *static_cast<TpxNotifyHandler*>(Get(index));
}

int TpxNotifyList::IndexOf(const TpxNotifyHandler& handler) const {
  for (int i = 0; i < Count(); ++i) {
    if (GetItem(i) == handler) return i;
  }
  return -1;
}

void TpxNotifyList::NotifyAll(TpxBaseIO* sender, std::int32_t code) const {
  for (int i = 0; i < Count(); ++i) {
    TpxNotifyHandler handler = GetItem(i);  // a copy: the call may delete the entry
    handler(sender, code);
  }
}

// ---- TpxCustomLogFile ----------------------------------------------------------------

void TpxCustomLogFile::DoFatalError(DWORD errorCode, DWORD detail, const std::string& errorMsg) {
  bool raise = true;
  if (OnFatalError) OnFatalError(this, errorCode, detail, errorMsg, raise);
  if (raise) throw Exception(errorMsg);
}

// ---- TpxTimer ------------------------------------------------------------------------

namespace {
constexpr UINT_PTR kTimerId = 1;
}

TpxTimer::TpxTimer() : window_(AllocateHWnd(TWndMethod::Of<&TpxTimer::WndProc>(this))) {}

TpxTimer::~TpxTimer() {
  enabled_ = false;
  UpdateTimer();
  DeallocateHWnd(window_);
}

void TpxTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  UpdateTimer();
}

void TpxTimer::SetOnTimer(const TNotifyEvent& handler) {
  onTimer_ = handler;
  UpdateTimer();
}

void TpxTimer::Timer() {
  if (enabled_ && onTimer_) onTimer_(this);
}

void TpxTimer::UpdateTimer() {
  win::KillTimer(window_, kTimerId);
  // A timer the platform refuses simply never ticks.
  if (Interval != 0 && enabled_ && onTimer_) win::SetTimer(window_, kTimerId, Interval, nullptr);
}

void TpxTimer::WndProc(TMessage& message) {
  if (message.Msg != WM_TIMER) {
    message.Result = win::DefWindowProcA(window_, message.Msg, message.WParam, message.LParam);
    return;
  }
  try {
    Timer();
  } catch (...) {
    // A failing tick must not stop the timer or reach the message loop.
  }
}

// ---- TpxThreadIO ---------------------------------------------------------------------

namespace {

thread_local TpxThreadIO* t_reader = nullptr;

// COM for the calling thread, in the multithreaded apartment, for as long as it lives.
class ComApartment {
 public:
  ComApartment() : initialised_(SUCCEEDED(win::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComApartment() {
    if (initialised_) win::CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool initialised_;
};

}  // namespace

TpxThreadIO::TpxThreadIO(TpxBaseIO* io, TThreadPriority priority) : io_(io) {
  SetFreeOnTerminate(true);
  SetPriority(priority);
}

TpxOwnedHandle TpxThreadIO::Run(TpxBaseIO* io, TThreadPriority priority) {
  auto* thread = new TpxThreadIO(io, priority);
  HANDLE own = nullptr;
  if (!win::DuplicateHandle(win::GetCurrentProcess(), thread->Handle(), win::GetCurrentProcess(),
                            &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    // Nobody could wait for its end: it does not run at all.
    thread->SetFreeOnTerminate(false);
    delete thread;
    return nullptr;
  }
  thread->Start();  // from here on the thread frees itself when Execute returns
  return TpxOwnedHandle(own);
}

TpxThreadIO* TpxThreadIO::Current() { return t_reader; }

void TpxThreadIO::Execute() {
  t_reader = this;
  try {
    ComApartment com;
    io_->ThreadExecute(this);
  } catch (...) {
    // The reader ends quietly; its component stays open and receives nothing more.
  }
  t_reader = nullptr;
}

// ---- TpxBaseIO -----------------------------------------------------------------------

TpxBaseIO::TpxBaseIO(TComponent* owner)
    : TComponent(owner), writeEvent_(win::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
  writeRecord_.hEvent = writeEvent_.get();
}

TpxBaseIO::~TpxBaseIO() { TpxBaseIO::ClearDevices(); }

void TpxBaseIO::BeforeDestruction() {
  try {
    Close();
  } catch (...) {
    // Going away regardless; what matters is that no reader outlives the object.
  }
  WaitForReaders();
  // The edit may outlive this component: it gets its own window procedure back.
  if (TCustomEdit* edit = Terminal()) edit->WindowProc = terminalWndProc_;
  TComponent::BeforeDestruction();
}

bool TpxBaseIO::GetActive() const {
  if (HasState(csDesigning) || HasState(csLoading)) return storedActive_;
  return IsOpen();
}

void TpxBaseIO::SetActive(bool value) {
  if (HasState(csLoading)) {
    storedActive_ = value;
    return;
  }
  bool designing = HasState(csDesigning);
  if (value == GetActive() && !designing) return;
  if (value) {
    Open();
  } else {
    Close();
  }
  // At design time Active is a test: it shows whether the open worked, and nothing
  // stays open.
  if (designing) {
    storedActive_ = IsOpen();
    if (storedActive_) Close();
  }
}

bool TpxBaseIO::IsOpen() const { return handle_ != -1; }

std::int32_t TpxBaseIO::DoOpen() { return -1; }

void TpxBaseIO::DoClose(std::int32_t handle) {
  win::CloseHandle(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(handle)));
}

void TpxBaseIO::CallDroppingErrors(const TNotifyEvent& handler, TObject* sender) {
  if (!handler) return;
  try {
    handler(sender);
  } catch (...) {
    // The open or close has happened; a failing handler does not undo it.
  }
}

void TpxBaseIO::Open() {
  handle_ = DoOpen();
  if (!IsOpen()) return;
  if (UseReader) StartThread();
  CallDroppingErrors(OnAfterOpen, this);
}

void TpxBaseIO::Close() {
  if (handle_ == -1) return;
  // The medium goes first: closing it is what ends a read still pending.
  DoClose(handle_);
  if (UseReader || !readers_.empty()) StopThread();
  handle_ = -1;
  CallDroppingErrors(OnAfterClose, this);
}

bool TpxBaseIO::HasReceivers() const {
  return Terminal() != nullptr || OnAfterReceive.Assigned() || DataProcessor() != nullptr;
}

void TpxBaseIO::StartThread() {
  // Readers that have ended are forgotten; one that a close did not wait for is kept
  // until it ends, so that destruction can wait for it.
  readers_.erase(std::remove_if(readers_.begin(), readers_.end(),
                                [](const TpxOwnedHandle& reader) {
                                  return win::WaitForSingleObject(reader.get(), 0) == WAIT_OBJECT_0;
                                }),
                 readers_.end());
  readerStopped_ = false;
  if (TpxOwnedHandle reader = TpxThreadIO::Run(this, priority_)) readers_.push_back(std::move(reader));
}

void TpxBaseIO::StopThread() {
  if (readerStopped_.exchange(true)) return;
  WaitForReaders();
}

bool TpxBaseIO::WaitForReaders(DWORD timeoutMs) {
  if (!CanWaitForReaders()) return false;
  // Serves the readers' hand-overs to the main thread meanwhile. A failed wait (a
  // handle of a machine that is gone) ends a reader too.
  readers_.erase(std::remove_if(readers_.begin(), readers_.end(),
                                [&](const TpxOwnedHandle& reader) {
                                  return WaitForThreadHandle(reader.get(), timeoutMs) != WAIT_TIMEOUT;
                                }),
                 readers_.end());
  return readers_.empty();
}

namespace {
// The component whose reader's block the main thread is handling, if any.
thread_local const TpxBaseIO* t_handOver = nullptr;
}  // namespace

bool TpxBaseIO::CanWaitForReaders() const {
  TpxThreadIO* current = TpxThreadIO::Current();
  // A reader cannot wait for its own end, nor the handler of a block for its reader.
  return !(current && current->IO() == this) && t_handOver != this;
}

void TpxBaseIO::ThreadExecute(TpxThreadIO* thread) {}

void TpxBaseIO::DoFatalError(DWORD errorCode, DWORD detail, const std::string& errorMsg,
                             bool showOnly) {
  bool raise = true;
  if (OnFatalError) OnFatalError(this, errorCode, detail, errorMsg, raise);
  if (TpxCustomLogFile* log = Log()) log->AddFmt(0, "Fatal Error: %u, %u, %s", {errorCode, detail, errorMsg});
  if (!raise || HasState(csLoading)) return;
  if (!showOnly) throw Exception(errorMsg);
  try {
    throw Exception(errorMsg);
  } catch (...) {
    ApplicationHandleException(this);  // shown as an unhandled error would be
  }
}

void TpxBaseIO::WriteLog(int level, const std::string& text) {
  TpxCustomLogFile* log = Log();
  if (!log) return;
  if (text.empty()) {
    log->AddBlank();
  } else {
    log->Add(level, ClassName() + text);
  }
}

void TpxBaseIO::NotifyAll(std::int32_t code) { notifyList_.NotifyAll(this, code); }

void TpxBaseIO::AddNotify(const TpxNotifyHandler& handler) {
  if (notifyList_.IndexOf(handler) < 0) notifyList_.Add(handler);
}

void TpxBaseIO::RemoveNotify(const TpxNotifyHandler& handler) {
  int index = notifyList_.IndexOf(handler);
  if (index >= 0) notifyList_.Delete(index);
}

bool TpxBaseIO::DoReceive(void* buffer, DWORD count) {
  TpxThreadIO* reader = TpxThreadIO::Current();
  if (reader && reader->IO() == this && UseMainThread()) {
    receiveBuffer_ = buffer;
    receiveCount_ = count;
    reader->CallInMainThread(TThreadMethod::Of<&TpxBaseIO::SyncReceive>(this));
    return false;
  }
  bool handled = false;
  if (TpxCustomDataProcessor* processor = DataProcessor()) processor->ProcessReceived(buffer, count, handled);
  if (Terminal() && !handled) WriteToTerminal(static_cast<char*>(buffer), count);
  if (OnAfterReceive) OnAfterReceive(this, buffer, count);
  return false;
}

void TpxBaseIO::SyncReceive() {
  // The handler may free this component: nothing of it is touched afterwards.
  const TpxBaseIO* outer = t_handOver;
  t_handOver = this;
  struct Restore {
    const TpxBaseIO* outer;
    ~Restore() { t_handOver = outer; }
  } restore{outer};
  DoReceive(receiveBuffer_, receiveCount_);
}

bool TpxBaseIO::QueryProcessor() {
  TpxCustomDataProcessor* processor = DataProcessor();
  if (!processor) return false;
  bool flag = false;
  processor->TimeoutHook(flag);
  return flag;
}

std::int32_t TpxBaseIO::GetDeviceIndex() const { throw EAbstractError(); }
void TpxBaseIO::LoadDevices() { throw EAbstractError(); }
void TpxBaseIO::SendChar(char ch) { throw EAbstractError(); }
DWORD TpxBaseIO::SendString(const std::string& text) { throw EAbstractError(); }
DWORD TpxBaseIO::SendBuffer(void* buffer, DWORD count) { throw EAbstractError(); }

void TpxBaseIO::SetDeviceIndex(std::int32_t index) { NotifyAll(pxnDevicesChanged); }

void TpxBaseIO::DevicesChanged() { NotifyAll(pxnDevicesChanged); }

TpxDevice* TpxBaseIO::Devices(int index) const {
  if (index < 0 || index >= DeviceCount()) return nullptr;
  return static_cast<TpxDevice*>(devices_.Objects(index));
}

int TpxBaseIO::AddDevice(TpxDevice* device) {
  if (!device) return -1;
  int index = devices_.AddObject(device->Name, device);
  device->Index = index;
  device->Owner = this;
  return index;
}

int TpxBaseIO::InsertDevice(TpxDevice* device) {
  if (!device) return -1;
  int count = DeviceCount();
  if (count == 0 || Devices(count - 1)->OrderKey < device->OrderKey) return AddDevice(device);
  for (int i = 0; i < count; ++i) {
    TpxDevice* entry = Devices(i);
    if (entry->OrderKey == device->OrderKey) return -1;
    if (entry->OrderKey > device->OrderKey) {
      devices_.InsertObject(i, device->Name, device);
      device->Owner = this;
      for (int j = i; j <= count; ++j) Devices(j)->Index = j;
      return i;
    }
  }
  return -1;  // not reached: the last key is not below the device's
}

void TpxBaseIO::ClearDevices() {
  if (OwnsDevices) {
    for (int i = 0; i < DeviceCount(); ++i) delete devices_.Objects(i);
  }
  devices_.Clear();
}

void TpxBaseIO::GetDevices(TStrings* strings) {
  if (DeviceCount() == 0) LoadDevices();
  if (!strings) return;
  strings->Clear();
  for (int i = 0; i < DeviceCount(); ++i) strings->AddObject(devices_.Strings(i), devices_.Objects(i));
}

bool TpxBaseIO::DeviceChange(TMessage& message) {
  if (message.Msg != WM_DEVICECHANGE) return false;
  switch (message.WParam) {
    case DBT_DEVNODES_CHANGED:
      break;
    case DBT_DEVICEARRIVAL:
    case DBT_DEVICEREMOVECOMPLETE: {
      const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(message.LParam);
      if (!header || header->dbch_devicetype != DBT_DEVTYP_PORT) return false;
      break;
    }
    default:
      return false;
  }
  DevicesChanged();
  return true;
}

void TpxBaseIO::SetLog(TpxCustomLogFile* log) {
  log_ = log;
  if (log) FreeNotification(log);
}

void TpxBaseIO::SetDataProcessor(TpxCustomDataProcessor* processor) {
  TpxCustomDataProcessor* old = DataProcessor();
  if (!processor && old) old->SetMedium(nullptr);
  dataProcessor_ = processor;
  if (processor) {
    processor->SetMedium(this);
    FreeNotification(processor);
  }
}

void TpxBaseIO::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != opRemove || !component) return;
  if (TpxCustomDataProcessor* processor = DataProcessor(); component == processor) {
    processor->SetMedium(nullptr);
    dataProcessor_ = nullptr;
  } else if (component == Terminal()) {
    // The control is going away: its window procedure is not given back (the saved
    // one stays, for the messages of the window's last moments).
    terminal_ = nullptr;
    terminalWindow_ = nullptr;
  } else if (component == Log()) {
    log_ = nullptr;
  }
}
void TpxBaseIO::Loaded() {
  TComponent::Loaded();
  try {
    SetTerminal(Terminal());
    SetTerminalUsage(TerminalUsage());
    SetActive(storedActive_);
  } catch (...) {
    // Loading goes on with the component as far as it got.
    win::MessageBoxA(win::GetForegroundWindow(), "error", "Error", MB_OK | MB_ICONERROR);
  }
}

void TpxBaseIO::SetTerminal(TCustomEdit* edit) {
  if (TCustomEdit* old = Terminal()) old->WindowProc = terminalWndProc_;
  if (edit) {
    terminalWndProc_ = edit->WindowProc;
    edit->WindowProc = TWndMethod::Of<&TpxBaseIO::TerminalWndProc>(this);
  } else {
    terminalWndProc_ = TWndMethod();
  }
  terminalWindow_ = nullptr;
  terminal_ = edit;
  if (HasState(csDesigning) && edit && terminalUsage_ == tuNone) terminalUsage_ = tuBoth;
  SetTerminalUsage(terminalUsage_);
  if (edit) FreeNotification(edit);
}

void TpxBaseIO::SetTerminalUsage(TTerminalUsage value) {
  terminalUsage_ = value;
  TCustomEdit* edit = Terminal();
  if (!edit) return;
  bool shows = value == tuReceive || value == tuBoth;
  terminalWindow_ = shows ? edit->Handle() : nullptr;
}

void TpxBaseIO::TerminalWndProc(TMessage& message) {
  bool sends = terminalUsage_ == tuSend || terminalUsage_ == tuBoth;
  if (!terminalWriting_ && message.Msg == WM_CHAR && sends) {
    SendChar(static_cast<char>(LOBYTE(message.WParam)));
    return;
  }
  terminalWndProc_(message);
}

void TpxBaseIO::WriteToTerminal(char* buffer, DWORD count) {
  TCustomEdit* edit = Terminal();
  HWND window = terminalWindow_;
  if (!edit || !window) return;  // received data are not shown
  // On the window's own thread: a character the user types meanwhile is handled
  // before or after, never while the flag stands, so it is sent and not shown.
  edit->Invoke([&] {
    struct Writing {
      std::atomic<bool>& flag;
      explicit Writing(std::atomic<bool>& f) : flag(f) { flag = true; }
      ~Writing() { flag = false; }
    } writing(terminalWriting_);
    if (count == 1) {
      win::SendMessageA(window, WM_CHAR, static_cast<BYTE>(buffer[0]), 1);
      return;
    }
    // The spare byte ends the last run; the zero bytes in the block end the others.
    buffer[count] = '\0';
    for (DWORD i = 0; i < count; ++i) {
      if (buffer[i] == '\0') continue;
      win::SendMessageA(window, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(buffer + i));
      i += static_cast<DWORD>(std::strlen(buffer + i));
    }
  });
}

// ---- TpxCustomDataProcessor ----------------------------------------------------------

TpxCustomDataProcessor::TpxCustomDataProcessor(TComponent* owner)
    : TComponent(owner), timer_(std::make_unique<TpxTimer>()) {
  timer_->SetEnabled(false);
  // Through the member pointer, so a descendant's override is the one that runs.
  timer_->SetOnTimer(TNotifyEvent::Of<&TpxCustomDataProcessor::TimerExpired>(this));
}

TpxCustomDataProcessor::~TpxCustomDataProcessor() = default;

void TpxCustomDataProcessor::BeforeDestruction() {
  SetMedium(nullptr);
  TComponent::BeforeDestruction();
}

void TpxCustomDataProcessor::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != opRemove || !component) return;
  if (component == next_) SetNext(nullptr);
  if (component == medium_) SetMedium(nullptr);
  if (component == log_) SetLog(nullptr);
}

void TpxCustomDataProcessor::SetLog(TpxCustomLogFile* log) {
  log_ = log;
  if (log) FreeNotification(log);
}

void TpxCustomDataProcessor::MediumNotify(TpxBaseIO* sender, std::int32_t code) {
  if (code == pxnMediumClosed) {
    MediumClosed();
  } else if (code == pxnMediumOpened) {
    MediumOpened();
  }
}

void TpxCustomDataProcessor::MediumClosed() { WriteLog(2, "Medium Closed"); }

void TpxCustomDataProcessor::MediumOpened() { WriteLog(2, "Medium Opened"); }

void TpxCustomDataProcessor::SetMedium(TpxBaseIO* io) {
  if (medium_ && medium_ != io) medium_->RemoveNotify(Handler());
  medium_ = io;
  if (io) {
    FreeNotification(io);
    io->AddNotify(Handler());
  }
}

void TpxCustomDataProcessor::SetNext(TpxCustomDataProcessor* processor) {
  if (processor == this) return;
  next_ = processor;
  if (processor) {
    FreeNotification(processor);
    processor->SetMedium(medium_);
  }
}

void TpxCustomDataProcessor::SendData(void* buffer, DWORD count) {
  if (!buffer || count == 0) return;
  try {
    bool handled = false;
    if (OnSendData) OnSendData(this, buffer, count, false, handled);
    if (handled) {
      timer_->SetEnabled(false);
      timer_->SetEnabled(true);
    } else if (medium_) {
      medium_->SendBuffer(buffer, count);
    }
    WriteLogFmt(2, "DoDataSend: %u bytes", {count});
  } catch (...) {
    // Sending is best effort: a failure is not reported.
  }
}

void TpxCustomDataProcessor::SendString(const std::string& text) {
  if (text.empty()) return;
  try {
    bool handled = false;
    std::string bytes = text;  // the handler may change them in place
    if (OnSendData) OnSendData(this, &bytes[0], static_cast<DWORD>(bytes.size()), true, handled);
    if (!handled && medium_) medium_->SendString(bytes);
  } catch (...) {
    // As SendData.
  }
}

void TpxCustomDataProcessor::TimerExpired(TObject* sender) {
  timer_->SetEnabled(false);
  bool flag = false;
  TimeoutHook(flag);
}

void TpxCustomDataProcessor::StartTimer(DWORD interval) {
  timer_->SetEnabled(false);
  if (interval == 0) return;
  timer_->Interval = interval;
  timer_->SetEnabled(true);
}

void TpxCustomDataProcessor::DoFatalError(DWORD errorCode, DWORD detail, const std::string& errorMsg) {
  bool raise = true;
  if (OnFatalError) OnFatalError(this, errorCode, detail, errorMsg, raise);
  if (TpxCustomLogFile* log = log_) log->AddFmt(0, "Fatal Error: %u, %u, %s", {errorCode, detail, errorMsg});
  if (raise) throw Exception(errorMsg);
}

void TpxCustomDataProcessor::ProcessReceived(void* buffer, DWORD count, bool& handled) {
  if (next_) next_->ProcessReceived(buffer, count, handled);
}

void TpxCustomDataProcessor::Process(void* buffer, DWORD count) {
  bool scratch = false;
  ProcessReceived(buffer, count, scratch);
}

void TpxCustomDataProcessor::WriteLog(int level, const std::string& text) {
  if (TpxCustomLogFile* log = log_) log->Add(level, LogPrefix + text);
}

void TpxCustomDataProcessor::WriteLogFmt(int level, const std::string& format,
                                         std::initializer_list<TVarRec> args) {
  if (TpxCustomLogFile* log = log_) log->AddFmt(level, LogPrefix + format, args);
}

// ---- Published properties ------------------------------------------------------------

const TClassInfo& TpxCustomLogFile::ClassInfo() {
  static const TClassInfo info =
      TClassInfo::Of<TpxCustomLogFile, TComponentClass>("TpxCustomLogFile", nullptr);
  return info;
}

const TClassInfo& TpxCustomDataProcessor::ClassInfo() {
  static const TClassInfo info =
      TClassInfo::Of<TpxCustomDataProcessor, TComponentClass>("TpxCustomDataProcessor", nullptr);
  return info;
}

const TClassInfo& TpxBaseIO::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TpxBaseIO, TComponentClass>("TpxBaseIO", nullptr);
  return info;
}

void TpxBaseIO::Publish(TClassInfo& info, std::initializer_list<const char*> names) {
  using IO = TpxBaseIO;
  using Adder = void (*)(TClassInfo&, const char*);
  static const std::pair<const char*, Adder> properties[] = {
      {"Active", [](TClassInfo& c, const char* n) { c.Property(n, &IO::GetActive, &IO::SetActive); }},
      {"DeviceIndex",
       [](TClassInfo& c, const char* n) { c.Property(n, &IO::GetDeviceIndex, &IO::SetDeviceIndex); }},
      {"DataProcessor",
       [](TClassInfo& c, const char* n) { c.Property(n, &IO::DataProcessor, &IO::SetDataProcessor); }},
      {"Terminal", [](TClassInfo& c, const char* n) { c.Property(n, &IO::Terminal, &IO::SetTerminal); }},
      {"TerminalUsage",
       [](TClassInfo& c, const char* n) { c.Property(n, &IO::TerminalUsage, &IO::SetTerminalUsage); }},
      {"Log", [](TClassInfo& c, const char* n) { c.Property(n, &IO::Log, &IO::SetLog); }},
      {"OnFatalError", [](TClassInfo& c, const char* n) { c.Member(n, &IO::OnFatalError); }},
      {"UseMainThread",
       [](TClassInfo& c, const char* n) { c.Property(n, &IO::UseMainThread, &IO::SetUseMainThread); }},
      {"Priority", [](TClassInfo& c, const char* n) { c.Property(n, &IO::Priority, &IO::SetPriority); }},
      {"OnAfterReceive", [](TClassInfo& c, const char* n) { c.Member(n, &IO::OnAfterReceive); }},
  };
  for (const char* name : names) {
    auto it = std::find_if(std::begin(properties), std::end(properties),
                           [name](const auto& entry) { return std::strcmp(entry.first, name) == 0; });
    if (it == std::end(properties)) throw Exception(Format("TpxBaseIO has no property %s", {name}));
    it->second(info, it->first);
  }
}
