// The component core of the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "framework/classes.h"
#include "framework/events.h"
#include "framework/messages.h"
#include "framework/thread.h"
#include "framework/typinfo.h"
#include "platform/win32.h"

class TpxBaseIO;

// The record that stands for a device everywhere: a device-information entry of the
// setup enumeration, a node of the USB tree, an entry of an I/O component's device
// list. Whoever creates a record fills it; every field starts empty or zero.
class TpxDevice : public TPersistent {
 public:
  std::int32_t Index = 0;       // position in the listing component's device list
  TpxBaseIO* Owner = nullptr;   // the component that lists the record
  std::int32_t OrderKey = 0;    // sort key of a sorted device list
  std::string Name;             // text the record is listed under
  std::string PhysicalName;     // physical device object name
  std::string DevicePath;
  std::string KeyName;          // hardware key below HKEY_LOCAL_MACHINE, or driver key / hub name
  std::string Description;
  std::string Service;          // driver service
  std::string DriverKey;
  std::string InstanceId;
  std::string Relations;        // related device IDs
  std::string PortName;
  std::string Manufacturer;
  std::string SerialNumber;
  std::uint32_t DevInst = 0;    // configuration-manager device instance
  GUID ClassGuid{};             // setup class
};

// ---- Shared types of the I/O components -------------------------------------------

class TCustomEdit;
class TpxBaseIO;
class TpxCustomDataProcessor;
class TpxThreadIO;

// (Sender, ErrorCode, Detail, ErrorMsg, RaiseException): a handler that clears
// RaiseException turns the raised error off.
using TOnFatalErrorEvent = TEvent<TObject*, DWORD, DWORD, const std::string&, bool&>;
// (Com, Buffer, Received)
using TOnReceived = TEvent<TObject*, void*, DWORD>;
// (Sender, Code)
using TpxNotifyHandler = TEvent<TpxBaseIO*, std::int32_t>;

enum TTerminalUsage { tuNone, tuSend, tuReceive, tuBoth };
template <>
struct TEnumNames<TTerminalUsage> {
  static constexpr const char* names[] = {"tuNone", "tuSend", "tuReceive", "tuBoth"};
};
// The thread library's priorities, as form descriptions name them.
template <>
struct TEnumNames<TThreadPriority> {
  static constexpr const char* names[] = {"tpIdle",   "tpLowest",  "tpLower",       "tpNormal",
                                          "tpHigher", "tpHighest", "tpTimeCritical"};
};

// Codes of TpxNotifyHandler.
constexpr std::int32_t pxnMediumClosed = 1;
constexpr std::int32_t pxnMediumOpened = 2;
constexpr std::int32_t pxnDevicesChanged = 3;

// Closes a kernel handle when its owner goes.
struct TpxHandleCloser {
  void operator()(HANDLE handle) const {
    if (handle) win::CloseHandle(handle);
  }
};
using TpxOwnedHandle = std::unique_ptr<void, TpxHandleCloser>;

// ---- TpxNotifyList -------------------------------------------------------------------

// The handlers that linked components registered with an I/O component. Each entry is
// a handler of its own that the list owns.
class TpxNotifyList : public TList {
 public:
  TpxNotifyList() = default;
  ~TpxNotifyList() override { Clear(); }
  TpxNotifyList(const TpxNotifyList&) = delete;
  TpxNotifyList& operator=(const TpxNotifyList&) = delete;

  int Add(const TpxNotifyHandler& handler);
  void Delete(int index);
  void Clear() override;
  const TpxNotifyHandler& GetItem(int index) const;
  // First position with the same code and object, or -1.
  int IndexOf(const TpxNotifyHandler& handler) const;
  // Calls every handler in list order. A handler may change the list meanwhile.
  void NotifyAll(TpxBaseIO* sender, std::int32_t code) const;
};

// ---- TpxCustomLogFile ----------------------------------------------------------------

// The log that I/O components and data processors write to; the application supplies
// the concrete class. Levels: 0 for fatal errors, 2 for information.
class TpxCustomLogFile : public TComponent {
 public:
  using TComponent::TComponent;
  static const TClassInfo& ClassInfo();

  // Calls OnFatalError, then raises ErrorMsg unless the handler cleared the flag.
  virtual void DoFatalError(DWORD errorCode, DWORD detail, const std::string& errorMsg);
  virtual void AddBlank() = 0;
  virtual void Add(int level, const std::string& text) = 0;
  // One line from a format with %u and %s placeholders.
  virtual void AddFmt(int level, const std::string& format, std::initializer_list<TVarRec> args) = 0;

  TOnFatalErrorEvent OnFatalError;
};

// ---- TpxTimer ------------------------------------------------------------------------

// A millisecond timer that ticks on the main thread, through WM_TIMER of a hidden
// window. It runs while it has an OnTimer, a non-zero Interval and Enabled. Created,
// changed and destroyed on the main thread.
class TpxTimer : public TObject {
 public:
  TpxTimer();
  ~TpxTimer() override;
  TpxTimer(const TpxTimer&) = delete;
  TpxTimer& operator=(const TpxTimer&) = delete;

  // Takes effect at the next start (Enabled false, then true).
  DWORD Interval = 1000;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  const TNotifyEvent& OnTimer() const { return onTimer_; }
  void SetOnTimer(const TNotifyEvent& handler);

 protected:
  virtual void Timer();

 private:
  void UpdateTimer();
  void WndProc(TMessage& message);

  HWND window_ = nullptr;
  TNotifyEvent onTimer_;
  bool enabled_ = true;
};

// ---- TpxThreadIO ---------------------------------------------------------------------

// The reader thread of an I/O component: runs its ThreadExecute with COM initialised
// for the thread, drops any error, and frees itself when it ends.
class TpxThreadIO final : public TThread {
 public:
  // Starts a reader for `io`. The thread object may be gone as soon as this returns;
  // the result is the caller's own handle to the thread, for waiting on its end.
  static TpxOwnedHandle Run(TpxBaseIO* io, TThreadPriority priority);
  // The reader running on the calling thread, if any.
  static TpxThreadIO* Current();

  TpxBaseIO* IO() const { return io_; }
  // Runs `method` on the main thread and returns when it has run. Only from the reader
  // itself; the main thread serves it also while it waits for the reader's end.
  void CallInMainThread(const TThreadMethod& method) { Synchronize(method); }

 protected:
  void Execute() override;

 private:
  TpxThreadIO(TpxBaseIO* io, TThreadPriority priority);
  TpxBaseIO* io_;
};

// ---- TpxBaseIO -----------------------------------------------------------------------

// The base of every I/O component: Active and the open / reader / close life cycle,
// fatal errors, the receive path (data processor, terminal, OnAfterReceive), typing
// into the terminal, the device list, notify handlers and the log link.
//
// Set the properties, then Active := true. Everything runs on the main thread except
// ThreadExecute and the DoReceive calls it makes. OnAfterReceive, the data processor
// and the terminal are changed only while the component is closed.
class TpxBaseIO : public TComponent {
 public:
  explicit TpxBaseIO(TComponent* owner);
  ~TpxBaseIO() override;
  // Publishes nothing itself: each descendant publishes its own selection of the
  // properties below, by name and in its order, with Publish.
  static const TClassInfo& ClassInfo();
  static void Publish(TClassInfo& info, std::initializer_list<const char*> names);

  // While loading or designing: the stored value. Otherwise: IsOpen.
  bool GetActive() const;
  // While loading only stores; at design time every change is a test open and close.
  void SetActive(bool value);
  virtual bool IsOpen() const;
  virtual void Open();
  virtual void Close();

  virtual std::int32_t GetDeviceIndex() const;
  // Descendants select the entry first; the base tells the linked components.
  virtual void SetDeviceIndex(std::int32_t index);
  virtual void LoadDevices();
  virtual void ClearDevices();
  virtual void DevicesChanged();
  // Appends the device; its Index becomes its position and its Owner this component.
  virtual int AddDevice(TpxDevice* device);
  // Keeps the list ascending by OrderKey without equal keys: -1 for a key present.
  virtual int InsertDevice(TpxDevice* device);
  // Loads the list when it is empty, then copies it (names and devices) to `strings`.
  virtual void GetDevices(TStrings* strings);
  // True for a node change, or a port arrival or removal: the list is then reloaded.
  virtual bool DeviceChange(TMessage& message);
  int DeviceCount() const { return devices_.Count(); }
  TpxDevice* Devices(int index) const;

  virtual void AddNotify(const TpxNotifyHandler& handler);
  virtual void RemoveNotify(const TpxNotifyHandler& handler);
  virtual void NotifyAll(std::int32_t code);

  virtual void SendChar(char ch);
  virtual DWORD SendString(const std::string& text);
  virtual DWORD SendBuffer(void* buffer, DWORD count);
  virtual bool QueryProcessor();

  // OnFatalError, the log line, then the error: raised, or with `showOnly` shown to
  // the user as an unhandled error would be. Never while loading.
  virtual void DoFatalError(DWORD errorCode, DWORD detail, const std::string& errorMsg,
                            bool showOnly = false);
  // To the log, prefixed with the class name.
  void WriteLog(int level, const std::string& text);

  TpxCustomLogFile* Log() const { return log_; }
  void SetLog(TpxCustomLogFile* log);
  TpxCustomDataProcessor* DataProcessor() const { return dataProcessor_; }
  void SetDataProcessor(TpxCustomDataProcessor* processor);
  TCustomEdit* Terminal() const { return terminal_; }
  void SetTerminal(TCustomEdit* edit);
  TTerminalUsage TerminalUsage() const { return terminalUsage_; }
  void SetTerminalUsage(TTerminalUsage value);
  bool UseMainThread() const { return useMainThread_; }
  void SetUseMainThread(bool value) { useMainThread_ = value; }
  TThreadPriority Priority() const { return priority_; }
  void SetPriority(TThreadPriority value) { priority_ = value; }

  TOnFatalErrorEvent OnFatalError;
  TNotifyEvent OnAfterOpen;
  TNotifyEvent OnAfterClose;
  TOnReceived OnAfterReceive;

  void Loaded() override;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  // Closes the component, and waits for its reader, while the whole object is alive.
  void BeforeDestruction() override;

  virtual std::int32_t DoOpen();
  virtual void DoClose(std::int32_t handle);
  virtual bool HasReceivers() const;
  virtual void StartThread();
  virtual void StopThread();
  // The reader's work, on the reader thread; it ends the reader when it returns.
  virtual void ThreadExecute(TpxThreadIO* thread);
  // Hands a block that a reader read to the data processor, the terminal and
  // OnAfterReceive; with UseMainThread the reader waits while the main thread does it.
  // The block is valid only during the call, and its owner guarantees one spare byte
  // behind it: buffer[count] is overwritten (the terminal gets zero-terminated runs).
  virtual bool DoReceive(void* buffer, DWORD count);
  // One byte as a typed character; more as the zero-free runs inserted at the caret.
  // Needs the spare byte of DoReceive.
  virtual void WriteToTerminal(char* buffer, DWORD count);

  std::int32_t Handle() const { return handle_; }
  bool ReaderStopped() const { return readerStopped_; }
  void SetReaderStopped() { readerStopped_ = true; }
  OVERLAPPED& WriteRecord() { return writeRecord_; }
  TStringList& DeviceList() { return devices_; }

  // Waits up to `timeoutMs` for the end of each reader started; true when none runs
  // any more. Never waits when called by one of them, or by the main thread while it
  // handles a block one of them handed over (that reader waits for the handler).
  bool WaitForReaders(DWORD timeoutMs = INFINITE);
  // False on a reader of this component, and on the main thread while it handles a
  // block that one of them handed over.
  bool CanWaitForReaders() const;

  // Whether Open starts a reader; descendants decide at each Open.
  bool UseReader = false;
  // Whether ClearDevices frees the entries.
  bool OwnsDevices = true;

 private:
  friend class TpxThreadIO;

  void TerminalWndProc(TMessage& message);
  void SyncReceive();
  static void CallDroppingErrors(const TNotifyEvent& handler, TObject* sender);

  TpxNotifyList notifyList_;
  std::atomic<TpxCustomLogFile*> log_{nullptr};
  std::atomic<TpxCustomDataProcessor*> dataProcessor_{nullptr};
  TStringList devices_;
  std::atomic<void*> receiveBuffer_{nullptr};
  std::atomic<DWORD> receiveCount_{0};
  std::atomic<HWND> terminalWindow_{nullptr};
  TTerminalUsage terminalUsage_ = tuNone;
  std::atomic<TCustomEdit*> terminal_{nullptr};
  TWndMethod terminalWndProc_;
  std::atomic<bool> terminalWriting_{false};
  std::vector<TpxOwnedHandle> readers_;  // handles of the readers, which free themselves
  std::atomic<bool> useMainThread_{false};
  TThreadPriority priority_ = tpNormal;
  bool storedActive_ = false;
  std::atomic<std::int32_t> handle_{-1};
  TpxOwnedHandle writeEvent_;
  OVERLAPPED writeRecord_{};
  std::atomic<bool> readerStopped_{true};
};

// ---- TpxCustomDataProcessor ----------------------------------------------------------

// (Sender, Buffer, Count, IsText, Handled): the handler may change the bytes in place;
// setting Handled keeps them from the medium.
using TOnSendData = TEvent<TObject*, void*, DWORD, bool, bool&>;

// A processing stage between an I/O component (its medium) and the application: sees
// every received block first, sends through the medium, hears it open and close, owns
// a one-shot timer, and passes received data on to the next processor of a chain.
class TpxCustomDataProcessor : public TComponent {
 public:
  explicit TpxCustomDataProcessor(TComponent* owner);
  ~TpxCustomDataProcessor() override;
  // Publishes nothing; descendants publish what they need.
  static const TClassInfo& ClassInfo();

  TpxBaseIO* Medium() const { return medium_; }
  TpxCustomDataProcessor* Next() const { return next_; }
  TpxCustomLogFile* Log() const { return log_; }
  void SetLog(TpxCustomLogFile* log);

  virtual void MediumNotify(TpxBaseIO* sender, std::int32_t code);
  virtual void MediumClosed();
  virtual void MediumOpened();
  // The next processor shares this one's medium; a chain must not lead back.
  virtual void SetNext(TpxCustomDataProcessor* processor);
  virtual void SetMedium(TpxBaseIO* io);
  virtual void SetOption(bool value) { option_ = value; }
  // Errors on the way are dropped.
  virtual void SendData(void* buffer, DWORD count);
  virtual void SendString(const std::string& text);
  virtual void TimerExpired(TObject* sender);
  // One tick after `interval` ms; 0 only stops the timer.
  virtual void StartTimer(DWORD interval);
  virtual void DoFatalError(DWORD errorCode, DWORD detail, const std::string& errorMsg);
  // Runs where the medium's DoReceive runs; a true `handled` keeps the block from the
  // terminal.
  virtual void ProcessReceived(void* buffer, DWORD count, bool& handled);
  virtual void Process(void* buffer, DWORD count);
  virtual void TimeoutHook(bool& flag) {}

  void WriteLog(int level, const std::string& text);
  void WriteLogFmt(int level, const std::string& format, std::initializer_list<TVarRec> args);

  TOnFatalErrorEvent OnFatalError;
  TOnSendData OnSendData;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  void BeforeDestruction() override;

  bool Option() const { return option_; }
  TpxTimer& Timer() { return *timer_; }
  std::string LogPrefix;

 private:
  TpxNotifyHandler Handler() { return TpxNotifyHandler::Of<&TpxCustomDataProcessor::MediumNotify>(this); }

  TpxBaseIO* medium_ = nullptr;
  TpxCustomDataProcessor* next_ = nullptr;
  bool option_ = false;
  // Read on the reader thread (received data are logged there), cleared on the main.
  std::atomic<TpxCustomLogFile*> log_{nullptr};
  std::unique_ptr<TpxTimer> timer_;
};
