// The kernel-driver binding end to end, one body for two targets: the simulator's
// "pxusb" device models, and (Windows builds with PXUSB_REAL_DRIVER=1, under Wine in
// scripts/test-driver) the real pxusb driver of driver/, reached through a hosted
// machine whose description hands the devices' files to it. Where the two answer
// differently, the simulator is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "driver/pxusbwire.h"
#include "lib/pxusb.h"
#include "lib/pxusb_sysusb_api.h"
#include "lib/pxusbpipe.h"
#include "lib/pxwin32di.h"
#include "platform/sim/description.h"
#include "support/backend.h"
#include "tools/pxusbctl.h"

namespace {

enum class Target { Model, Driver };

std::vector<Target> AvailableTargets() {
#ifdef _WIN32
  const char* real = std::getenv("PXUSB_REAL_DRIVER");
  if (real && std::string(real) == "1") return {Target::Model, Target::Driver};
#endif
  return {Target::Model};
}

constexpr char kLoopback[] = "\\\\.\\USB#VID_2F1A&PID_0102#DL1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char kStream[] = "\\\\.\\USB#VID_2F1A&PID_0103#ST1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr UCHAR kIn = PXUSBDRV_PIPE_IN;
constexpr UCHAR kOut = PXUSBDRV_PIPE_OUT;
constexpr DWORD kHeld = 256 * 1024;  // what the loopback holds unread
constexpr DWORD kRecord = sizeof(PXUSB_RECORD);

// Two devices on the pxusb service: a loopback (list position 0) and a stream source
// (position 1), each with IN 0x82 and OUT 0x01, behind models or the real driver.
std::string Description(Target target) {
  bool real = target == Target::Driver;
  auto device = [](const char* pid, const char* serial, const std::string& behind) {
    return std::string(R"({"vid": "0x2F1A", "pid": ")") + pid + R"(", "strings": ["Northwind Instruments", ")" +
           serial + R"("], "iManufacturer": 1, "iSerialNumber": 2, "service": "pxusb",
           "endpoints": [{"address": "0x82", "maxPacket": 512}, {"address": "0x01", "maxPacket": 512}], )" +
           behind + "}";
  };
  return R"({"controllers": [{"number": 0, "rootHub": {"ports": 2, "attach": {"1": )" +
         device("0x0102", "DL1", real ? R"("realDevice": "\\\\.\\PxusbLoopback")" : R"("model": "echo")") +
         R"(, "2": )" +
         device("0x0103", "ST1", real ? R"("realDevice": "\\\\.\\PxusbStream")" : R"("model": "stream")") +
         "}}}]}";
}

// What OnAfterReceive delivered.
class Received {
 public:
  void Add(TObject*, void* buffer, DWORD count) {
    std::lock_guard<std::mutex> guard(lock_);
    data_.append(static_cast<const char*>(buffer), count);
    arrived_.notify_all();
  }
  // Waits until `bytes` have come (generous deadline); then all that came.
  std::string Wait(size_t bytes) {
    std::unique_lock<std::mutex> guard(lock_);
    arrived_.wait_for(guard, std::chrono::seconds(60), [&] { return data_.size() >= bytes; });
    return data_;
  }

 private:
  std::mutex lock_;
  std::condition_variable arrived_;
  std::string data_;
};

// Bytes 0, 1, ... 255, 0, ... from `first` on: what the stream produces.
size_t CountingPrefix(const std::string& data, unsigned first = 0) {
  size_t i = 0;
  while (i < data.size() && static_cast<unsigned char>(data[i]) == static_cast<unsigned char>(first + i)) ++i;
  return i;
}

// One request on a record of its own, its output pre-filled with 0xCC.
struct Request {
  Request(HANDLE file, DWORD code, std::vector<BYTE> input, DWORD outSize)
      : file(file), in(std::move(input)), out(outSize + 16, 0xCC) {
    record.hEvent = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok = win::DeviceIoControl(file, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                                   outSize ? out.data() : nullptr, outSize, &returned, &record);
    error = ok ? 0 : win::GetLastError();
  }
  ~Request() { win::CloseHandle(record.hEvent); }
  std::string Data() const { return std::string(out.begin(), out.begin() + returned); }
  bool Wait() {  // false: it did not end
    if (error != ERROR_IO_PENDING) return true;
    if (win::WaitForSingleObject(record.hEvent, 30000) != WAIT_OBJECT_0) return false;
    error = win::GetOverlappedResult(file, &record, &returned, TRUE) ? 0 : win::GetLastError();
    return true;
  }
  bool TailUntouched() const {  // no byte past the count was written
    return returned <= out.size() - 16 && std::all_of(out.begin() + returned, out.end(), [](BYTE b) { return b == 0xCC; });
  }
  HANDLE file;
  std::vector<BYTE> in, out;
  OVERLAPPED record{};
  DWORD error, returned = 0;
};

// A record for `pipe` (for a private code, a setting of device `pipe`) cut or padded to `size` bytes.
std::vector<BYTE> Input(DWORD code, DWORD size, DWORD pipe, DWORD timeout = 0) {
  PXUSB_RECORD record{timeout, 0, {pipe}, 0, 0, 0, 0};
  PXUSBDRV_SETTING setting{pipe, 1};
  bool isPrivate = (code >> 14 & 3) == PXUSB_WRITE_ACCESS;
  const auto* bytes = reinterpret_cast<const BYTE*>(isPrivate ? static_cast<void*>(&setting) : &record);
  std::vector<BYTE> in(bytes, bytes + (isPrivate ? sizeof setting : sizeof record));
  in.resize(size);
  return in;
}

HANDLE OpenDevice(const char* path) {
  return win::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

class DriverTest : public ::testing::TestWithParam<Target> {
 protected:
  bool Real() const { return GetParam() == Target::Driver; }

  void SetUp() override {
#ifdef _WIN32
    if (Real()) {
      control_ = ::CreateFileA(PXUSBDRV_CONTROL, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(control_, INVALID_HANDLE_VALUE) << "the pxusb driver is not running";
      // Every test starts with both devices there, empty, and the stream at full speed.
      for (DWORD device : {PXUSBDRV_DEVICE_LOOPBACK, PXUSBDRV_DEVICE_STREAM}) {
        ASSERT_TRUE(Private(IOCTL_PXUSBDRV_PLUG, device, 0));
        ASSERT_TRUE(Private(IOCTL_PXUSBDRV_PLUG, device, 1));
      }
      ASSERT_TRUE(Private(IOCTL_PXUSBDRV_SET_RATE, PXUSBDRV_DEVICE_STREAM, 0));
    }
#endif
  }

  void TearDown() override {
    if (described_) {
      // Nothing the test began is left in the device.
      EXPECT_TRUE(pxtest::WaitUntil([&] { return Pending() == 0; })) << Pending() << " requests left";
      records_.clear();
      USBManager().Clear();
      UnloadSetupApi();
      described_.reset();
    }
#ifdef _WIN32
    if (control_ != INVALID_HANDLE_VALUE) ::CloseHandle(control_);
#endif
    std::remove(file_.c_str());
  }

  // Installs the machine: simulated devices, or a hosted machine over the real driver.
  void Load() {
    described_ = sim::loadMachine(WriteDescription(),
                                  Real() ? sim::SimMachine::kHosted : sim::SimMachine::kAllGroups);
  }

  // The description as a file, for pxusbctl and Load.
  std::string WriteDescription() {
    std::ofstream(file_) << Description(GetParam());
    return file_;
  }

  // The device at `path` is pulled out: what it was doing ends cancelled, as its
  // driver purges its queues, and later requests fail.
  void Unplug(const char* path) {
    if (!Real()) {
      described_->machine().usbIo().device(path)->unplug();
      return;
    }
    ASSERT_TRUE(Private(IOCTL_PXUSBDRV_PLUG, DeviceOf(path), 0));
  }
  // It is put back, empty; files opened before stay dead.
  void Plug(const char* path) {
    if (!Real()) {
      bool loop = path == std::string(kLoopback);
      std::shared_ptr<sim::DeviceModel> model;
      if (loop) {
        model = std::make_shared<sim::EchoModel>(kIn);
      } else {
        model = std::make_shared<sim::StreamModel>(kIn, 0);
      }
      described_->machine().usbIo().attach(path, "pxusb", {{kIn}, {kOut}}, model);
      return;
    }
    ASSERT_TRUE(Private(IOCTL_PXUSBDRV_PLUG, DeviceOf(path), 1));
  }

  // The stream produces `bytesPerSecond` from its next read on, counting from 0.
  void SetStreamRate(DWORD bytesPerSecond) {
    if (!Real()) {
      described_->machine().usbIo().attach(kStream, "pxusb", {{kIn}, {kOut}},
                                           std::make_shared<sim::StreamModel>(kIn, bytesPerSecond));
      return;
    }
    ASSERT_TRUE(Private(IOCTL_PXUSBDRV_SET_RATE, PXUSBDRV_DEVICE_STREAM, bytesPerSecond));
  }

#ifdef _WIN32
  HANDLE Control() const { return control_; }
#endif

  // Requests in progress in both devices.
  size_t Pending() {
    if (!Real()) {
      size_t n = 0;
      for (const char* path : {kLoopback, kStream}) n += described_->machine().usbIo().device(path)->pendingTransfers();
      return n;
    }
    PXUSBDRV_COUNTS counts{};
#ifdef _WIN32
    DWORD returned = 0;
    if (!::DeviceIoControl(control_, IOCTL_PXUSBDRV_COUNTS, nullptr, 0, &counts, sizeof counts, &returned, nullptr)) {
      return SIZE_MAX;
    }
#endif
    return counts.irpsHeld;  // queued or not
  }

  // An overlapped record with its own event; the event is closed with the test.
  OVERLAPPED* Record() {
    records_.push_back(std::make_unique<OwnedRecord>());
    return &records_.back()->overlapped;
  }

  // A request on the caller's record has come back with `error`.
  static void ExpectEnded(TpxSysUsbApi& api, OVERLAPPED* record, DWORD error, DWORD moved = 0) {
    DWORD count = pxtest::kSentinel;
    EXPECT_FALSE(api.GetOverlappedResult(record, count, 10000));
    EXPECT_EQ(win::GetLastError(), error);
    EXPECT_EQ(count, moved);
  }

 private:
  static DWORD DeviceOf(const char* path) {
    return path == std::string(kLoopback) ? PXUSBDRV_DEVICE_LOOPBACK : PXUSBDRV_DEVICE_STREAM;
  }
  bool Private(DWORD code, DWORD device, DWORD value) {
#ifdef _WIN32
    DWORD input[2] = {device, value};
    DWORD returned = 0;
    return ::DeviceIoControl(control_, code, input, sizeof input, nullptr, 0, &returned, nullptr) != FALSE;
#else
    return false;
#endif
  }

  struct OwnedRecord {
    OwnedRecord() { overlapped.hEvent = win::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~OwnedRecord() { win::CloseHandle(overlapped.hEvent); }
    OVERLAPPED overlapped{};
  };

  std::unique_ptr<sim::DescribedMachine> described_;
  std::vector<std::unique_ptr<OwnedRecord>> records_;
  // One file per test: ctest may run them in parallel.
  std::string file_ = [] {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    return ::testing::TempDir() + "pxusb-driver-" + name + ".json";
  }();
#ifdef _WIN32
  HANDLE control_ = INVALID_HANDLE_VALUE;
#endif
};

INSTANTIATE_TEST_SUITE_P(Targets, DriverTest, ::testing::ValuesIn(AvailableTargets()),
                         [](const ::testing::TestParamInfo<Target>& info) {
                           return std::string(info.param == Target::Driver ? "Driver" : "Model");
                         });

TEST_P(DriverTest, OneByteAndSixtyFourKibibytesComeBackInOrder) {
  Load();
  TpxSysUsbApi api;
  ASSERT_NE(api.OpenDevice(kLoopback), INVALID_HANDLE_VALUE);
  char one = 'x';
  EXPECT_EQ(api.WritePipe(kOut, &one, 1, nullptr), 1u);
  char back[16] = {};
  EXPECT_EQ(api.ReadPipe(kIn, back, sizeof back, nullptr), 1u);
  EXPECT_EQ(back[0], 'x');

  std::string sent(64 * 1024, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 256);
  EXPECT_EQ(api.WritePipe(kOut, &sent[0], static_cast<DWORD>(sent.size()), nullptr), sent.size());
  std::string got;
  char block[4096];
  while (got.size() < sent.size()) {
    DWORD n = api.ReadPipe(kIn, block, sizeof block, nullptr);
    ASSERT_GT(n, 0u) << "after " << got.size() << " bytes, error " << win::GetLastError();
    got.append(block, n);
  }
  EXPECT_TRUE(got == sent);
}

TEST_P(DriverTest, TimeoutsEndAReadWithNothingToReadAndAWriteTheDeviceCannotTake) {
  Load();
  TpxSysUsbApi api;
  ASSERT_NE(api.OpenDevice(kLoopback), INVALID_HANDLE_VALUE);
  char buffer[8];
  api.SetPipeTimeout(kIn, 30);
  EXPECT_EQ(api.ReadPipe(kIn, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));

  // More than the device holds while nobody reads: the write ends with what was taken.
  std::string flood(1024 * 1024, 'f');
  api.SetPipeTimeout(kOut, 50);
  EXPECT_EQ(api.WritePipe(kOut, &flood[0], static_cast<DWORD>(flood.size()), nullptr), kHeld);
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
}

TEST_P(DriverTest, AbortAndCloseEndPendingReads) {
  Load();
  TpxSysUsbApi api;
  ASSERT_NE(api.OpenDevice(kLoopback), INVALID_HANDLE_VALUE);
  char buffer[64];
  OVERLAPPED* read = Record();
  EXPECT_EQ(api.ReadPipe(kIn, buffer, sizeof buffer, read), 0u);
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_TRUE(api.AbortPipe(kIn));
  ExpectEnded(api, read, ERROR_OPERATION_ABORTED);

  // Closing the device ends the read the reader waits for.
  read = Record();
  EXPECT_EQ(api.ReadPipe(kIn, buffer, sizeof buffer, read), 0u);
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  api.CloseDevice();
  EXPECT_EQ(win::WaitForSingleObject(read->hEvent, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(static_cast<NTSTATUS>(read->Internal), static_cast<NTSTATUS>(STATUS_CANCELLED));
}

TEST_P(DriverTest, UnplugEndsAPendingReadAndAPendingWriteAndTheDeviceOpensAgain) {
  Load();
  TpxSysUsbApi api;
  ASSERT_NE(api.OpenDevice(kLoopback), INVALID_HANDLE_VALUE);
  char buffer[64];
  OVERLAPPED* read = Record();
  EXPECT_EQ(api.ReadPipe(kIn, buffer, sizeof buffer, read), 0u);
  Unplug(kLoopback);
  ExpectEnded(api, read, ERROR_OPERATION_ABORTED);
  Plug(kLoopback);
  api.CloseDevice();

  // A write that waits for room when the device goes.
  ASSERT_NE(api.OpenDevice(kLoopback), INVALID_HANDLE_VALUE);
  std::string flood(1024 * 1024, 'f');
  OVERLAPPED* write = Record();
  EXPECT_EQ(api.WritePipe(kOut, &flood[0], static_cast<DWORD>(flood.size()), write), 0u);
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  Unplug(kLoopback);
  ExpectEnded(api, write, ERROR_OPERATION_ABORTED, kHeld);
  char one = '1';
  EXPECT_EQ(api.WritePipe(kOut, &one, 1, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));

  // Put back, the device works through a new file; the old one stays dead.
  Plug(kLoopback);
  EXPECT_EQ(api.WritePipe(kOut, &one, 1, nullptr), 0u);
  TpxSysUsbApi again;
  ASSERT_NE(again.OpenDevice(kLoopback), INVALID_HANDLE_VALUE);
  EXPECT_EQ(again.WritePipe(kOut, &one, 1, nullptr), 1u);
  EXPECT_EQ(again.ReadPipe(kIn, buffer, sizeof buffer, nullptr), 1u);
  EXPECT_EQ(buffer[0], '1');
}

TEST_P(DriverTest, ControlTransfersResetAndFlushAnswerWhileTheDeviceIsThere) {
  Load();
  TpxSysUsbApi api;
  ASSERT_NE(api.OpenDevice(kLoopback), INVALID_HANDLE_VALUE);
  BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  TpxUsbControlRequest out{2, 0, 0, 0x09, 0x0102, 0, sizeof data, data};
  DWORD moved = pxtest::kSentinel;
  EXPECT_TRUE(api.ControlTransfer(out, moved, nullptr));
  EXPECT_EQ(moved, sizeof data);
  EXPECT_EQ(data[7], 8) << "the buffer holds what was sent";
  BYTE in[4];
  TpxUsbControlRequest toHost{2, 1, 0, 0x0A, 0, 0, sizeof in, in};
  EXPECT_TRUE(api.ControlTransfer(toHost, moved, nullptr));
  EXPECT_EQ(moved, sizeof in);
  EXPECT_TRUE(api.ResetPipe(kIn));
  EXPECT_TRUE(api.FlushPipe(kOut));

  Unplug(kLoopback);
  EXPECT_FALSE(api.ControlTransfer(toHost, moved, nullptr));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
  EXPECT_FALSE(api.FlushPipe(kOut));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
}

TEST_P(DriverTest, TheStreamCountsAtItsRate) {
  Load();
  SetStreamRate(100000);
  TpxSysUsbApi api;
  ASSERT_NE(api.OpenDevice(kStream), INVALID_HANDLE_VALUE);
  auto start = std::chrono::steady_clock::now();
  std::string got;
  char block[512];
  while (got.size() < 10000) {
    DWORD n = api.ReadPipe(kIn, block, sizeof block, nullptr);
    ASSERT_GT(n, 0u) << "error " << win::GetLastError();
    got.append(block, n);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(CountingPrefix(got), got.size());
  // 10,000 bytes are not there before 0.1 s have passed since the first read.
  EXPECT_GE(seconds, 0.099);
}

// TpxUSB + TpxUSBPipePair: an echo, a long stream read by the reader thread with
// nothing lost or reordered (its rate goes to the test's output), and a close while
// the reader waits.
TEST_P(DriverTest, ThePipePairEchoesAndStreamsWithoutLoss) {
  Load();
  Received received, stream;  // outlive the components whose reader fills them
  TOwned<TpxUSB> usb = MakeComponent<TpxUSB>(nullptr);
  TOwned<TpxUSBPipePair> pair = MakeComponent<TpxUSBPipePair>(nullptr);
  pair->OnAfterReceive = TOnReceived::Of<&Received::Add>(&received);
  usb->GetDevices(nullptr);
  ASSERT_EQ(usb->DeviceCount(), 2);
  pair->SetUsbDevice(usb.get());
  pair->SetReadBufferSize(64 * 1024);
  pair->SetTimeoutWrite(5000);

  usb->SetDeviceIndex(0);
  usb->SetActive(true);
  pair->SetPipeIn(0);
  pair->SetPipeOut(1);
  pair->SetActive(true);
  ASSERT_TRUE(pair->GetActive());
  std::string sent = "hello" + std::string(64 * 1024, 'e');
  EXPECT_EQ(pair->SendBuffer(&sent[0], static_cast<DWORD>(sent.size())), sent.size());
  EXPECT_TRUE(received.Wait(sent.size()) == sent);
  // The reader waits for more when the pair closes.
  pair->SetActive(false);
  usb->SetActive(false);

  pair->OnAfterReceive = TOnReceived::Of<&Received::Add>(&stream);
  usb->SetDeviceIndex(1);
  usb->SetActive(true);
  pair->SetActive(true);
  ASSERT_TRUE(pair->GetActive());
  const size_t kBytes = 10 * 1024 * 1024;
  auto start = std::chrono::steady_clock::now();
  std::string data = stream.Wait(kBytes);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  pair->SetActive(false);
  usb->SetActive(false);
  ASSERT_GE(data.size(), kBytes);
  EXPECT_EQ(CountingPrefix(data), data.size()) << "the stream lost or reordered bytes";
  std::printf("[ stream   ] %s: %zu bytes in order in %.2f s, %.1f MB/s\n", Real() ? "driver" : "model",
              data.size(), seconds, static_cast<double>(data.size()) / seconds / 1e6);
}

struct RawCase { DWORD code, inSize, pipe, outSize, error, returned; };

void ExpectRaw(HANDLE file, const std::vector<RawCase>& cases) {
  for (const RawCase& c : cases) {
    Request r(file, c.code, Input(c.code, c.inSize, c.pipe), c.outSize);
    ASSERT_TRUE(r.Wait());
    EXPECT_TRUE(r.error == c.error && r.returned == c.returned && r.TailUntouched())
        << std::hex << c.code << std::dec << " in " << c.inSize << " out " << c.outSize << ": " << r.error << ", " << r.returned;
  }
}

// Every code on a device and on the control device: records too short, too long and
// for the wrong pipe, outputs of nothing, too short and exact, METHOD_NEITHER, unknown
// codes, private codes on a device and device codes on the control device.
TEST_P(DriverTest, RawRequestsAreCheckedAndWriteNothingPastTheirCount) {
  Load();
  constexpr DWORD kBad = ERROR_INVALID_PARAMETER, kUnknown = ERROR_INVALID_FUNCTION;
  HANDLE stream = OpenDevice(kStream);  // reads are served at once
  ASSERT_NE(stream, INVALID_HANDLE_VALUE);
  ExpectRaw(stream, {{IOCTL_PXUSB_READ_PIPE, 0, kIn, 16, kBad, 0},          {IOCTL_PXUSB_READ_PIPE, 7, kIn, 16, kBad, 0},
                     {IOCTL_PXUSB_READ_PIPE, 27, kIn, 16, kBad, 0},         {IOCTL_PXUSB_READ_PIPE, kRecord + 4, kIn, 16, kBad, 0},
                     {IOCTL_PXUSB_READ_PIPE, kRecord, kIn, 16, 0, 16},      {IOCTL_PXUSB_READ_PIPE, kRecord, kIn, 0, 0, 0},
                     {IOCTL_PXUSB_READ_PIPE, kRecord, kOut, 16, kBad, 0},   {IOCTL_PXUSB_READ_PIPE, kRecord, 0x182, 16, kBad, 0},
                     {IOCTL_PXUSB_WRITE_PIPE, kRecord, kOut, 16, 0, 16},    {IOCTL_PXUSB_WRITE_PIPE, kRecord, kOut, 0, 0, 0},
                     {IOCTL_PXUSB_WRITE_PIPE, kRecord, kIn, 16, kBad, 0},   {IOCTL_PXUSB_CONTROL_IN, kRecord, 0, 4, 0, 4},
                     {IOCTL_PXUSB_CONTROL_IN, 27, 0, 4, kBad, 0},           {IOCTL_PXUSB_CONTROL_OUT, kRecord, 0, 0, 0, 0},
                     {IOCTL_PXUSB_CONTROL_OUT, kRecord, 0, 4, kBad, 0},     {IOCTL_PXUSB_RESET_PIPE, kRecord, kIn, 0, 0, 0},
                     {IOCTL_PXUSB_RESET_PIPE, kRecord, kIn, 4, kBad, 0},    {IOCTL_PXUSB_ABORT_PIPE, kRecord, 0x05, 0, kBad, 0},
                     {PXUSB_CODE(0, PXUSB_METHOD_NEITHER, 0), kRecord, kIn, 16, kUnknown, 0},
                     {IOCTL_PXUSB_READ_PIPE | PXUSB_METHOD_NEITHER, kRecord, kIn, 16, kUnknown, 0},
                     {PXUSB_CODE(16, 0, 0), kRecord, kIn, 16, kUnknown, 0}, {IOCTL_PXUSBDRV_PLUG, 8, 0, 0, kUnknown, 0},
                     {IOCTL_PXUSBDRV_COUNTS, 0, 0, 16, kUnknown, 0}});
  win::CloseHandle(stream);
#ifdef _WIN32
  if (!Real()) return;  // the simulated machine has no control device
  ExpectRaw(Control(), {{IOCTL_PXUSB_READ_PIPE, kRecord, kIn, 16, kUnknown, 0}, {IOCTL_PXUSB_RESET_PIPE, kRecord, kIn, 0, kUnknown, 0},
                        {IOCTL_PXUSBDRV_PLUG, 0, 0, 0, kBad, 0},               {IOCTL_PXUSBDRV_PLUG, 7, 0, 0, kBad, 0},
                        {IOCTL_PXUSBDRV_PLUG, 8, 2, 0, kBad, 0},               {IOCTL_PXUSBDRV_SET_RATE, 8, 0, 0, kBad, 0},
                        {IOCTL_PXUSBDRV_COUNTS, 0, 0, 8, ERROR_INSUFFICIENT_BUFFER, 0},
                        {IOCTL_PXUSBDRV_COUNTS, 4, 0, 16, kBad, 0},           {IOCTL_PXUSBDRV_COUNTS, 0, 0, 16, 0, 16},
                        {PXUSB_CODE(0, PXUSB_METHOD_NEITHER, 0), 8, 0, 16, kUnknown, 0}});
  // The private codes need a handle opened for writing; no device has names below it.
  HANDLE reader = ::CreateFileA(PXUSBDRV_CONTROL, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ExpectRaw(reader, {{IOCTL_PXUSBDRV_COUNTS, 0, 0, 16, ERROR_ACCESS_DENIED, 0}});
  ::CloseHandle(reader);
  for (const char* path : {PXUSBDRV_LOOPBACK "\\name", PXUSBDRV_CONTROL "\\name"})
    EXPECT_EQ(::CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE) << path;
#endif
}

// Two reads waiting on one pipe get what comes next, in turn: nothing lost, nothing twice.
TEST_P(DriverTest, TwoReadersOfOnePipeShareTheDataInOrder) {
  Load();
  HANDLE file = OpenDevice(kLoopback);
  Request first(file, IOCTL_PXUSB_READ_PIPE, Input(0, kRecord, kIn), 5);
  Request second(file, IOCTL_PXUSB_READ_PIPE, Input(0, kRecord, kIn), 5);
  TpxSysUsbApi api;
  ASSERT_NE(api.OpenDevice(kLoopback), INVALID_HANDLE_VALUE);
  char sent[] = "0123456789";  // writable: Wine refuses a read-only buffer here (ERROR_INVALID_USER_BUFFER)
  EXPECT_EQ(api.WritePipe(kOut, sent, 10, nullptr), 10u);
  ASSERT_TRUE(first.Wait() && second.Wait());
  EXPECT_EQ(first.Data() + second.Data(), "0123456789");
  win::CloseHandle(file);
}

#ifdef _WIN32
// CancelIoEx (not in the simulated kernel32) ends a request with what it moved.
TEST_P(DriverTest, CancelIoExEndsARequestWithWhatItMoved) {
  if (!Real()) GTEST_SKIP() << "CancelIoEx runs against the driver only";
  Load();
  HANDLE file = OpenDevice(kLoopback);
  for (auto [code, pipe, size, moved] : {std::array<DWORD, 4>{IOCTL_PXUSB_READ_PIPE, kIn, 16, 0},
                                         std::array<DWORD, 4>{IOCTL_PXUSB_WRITE_PIPE, kOut, 1024 * 1024, kHeld}}) {
    Request r(file, code, Input(0, kRecord, pipe), size);
    ASSERT_EQ(r.error, static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(::CancelIoEx(file, &r.record));
    ASSERT_TRUE(r.Wait());
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(r.returned, moved);
  }
  win::CloseHandle(file);
}
#endif

// Seeded random requests, closes, cancels and unplugs from three threads at once (PXUSB_FUZZ_SEED,
// PXUSB_FUZZ_COUNT steps per thread): each ends, writes nothing past its count, nothing is left held.
TEST_P(DriverTest, RandomRequestsFromThreeThreadsAllEndAndLeaveNothingHeld) {
  Load();
  auto env = [](const char* name, unsigned otherwise) {
    return std::getenv(name) ? static_cast<unsigned>(std::strtoul(std::getenv(name), nullptr, 0)) : otherwise;
  };
  const unsigned seed = env("PXUSB_FUZZ_SEED", std::random_device()()), count = env("PXUSB_FUZZ_COUNT", 400);
  std::printf("[ fuzz     ] seed %u, %u steps per thread\n", seed, count);
  static const DWORD kCodes[] = {IOCTL_PXUSB_WRITE_PIPE, IOCTL_PXUSB_READ_PIPE,   IOCTL_PXUSB_CONTROL_OUT,
                                 IOCTL_PXUSB_CONTROL_IN, IOCTL_PXUSB_RESET_PIPE,  IOCTL_PXUSB_ABORT_PIPE,
                                 IOCTL_PXUSBDRV_PLUG,    PXUSB_CODE(0, 3, 0),     IOCTL_PXUSB_READ_PIPE | 3};
  auto fuzz = [&](unsigned thread) {
    std::mt19937 random(seed + thread);
    auto pick = [&](unsigned n) { return static_cast<DWORD>(random() % n); };
    std::vector<std::unique_ptr<Request>> running;
    HANDLE file = INVALID_HANDLE_VALUE;
    bool plugged = true;
    unsigned sent = 0;
    auto close = [&] {  // ends what runs on the file
      win::CloseHandle(file), file = INVALID_HANDLE_VALUE;
      for (auto& r : running) EXPECT_TRUE(r->Wait() ? r->TailUntouched() : (r.release(), false)) << "seed " << seed;
      running.clear();
    };
    for (unsigned i = 0; i < count; ++i) {
      if (file == INVALID_HANDLE_VALUE) file = OpenDevice(pick(2) ? kLoopback : kStream);
      DWORD what = pick(20);
      if (what == 0 || running.size() > 16) {
        close();
      } else if (what == 1) {
        win::CancelIo(file);
      } else if (what == 2 && thread == 0) {
        plugged ? Unplug(pick(2) ? kLoopback : kStream) : (Plug(kLoopback), Plug(kStream));
        plugged = !plugged;
      } else {
        DWORD code = kCodes[pick(sizeof kCodes / sizeof *kCodes)];
        DWORD out = pick(4) ? pick(64) : pick(512 * 1024);
        DWORD in = pick(4) ? kRecord + (code == IOCTL_PXUSB_CONTROL_OUT ? out : 0) : pick(40);
        DWORD pipe = pick(4) ? (code == IOCTL_PXUSB_READ_PIPE ? kIn : kOut) : pick(300);
        running.push_back(std::make_unique<Request>(file, code, Input(code, in, pipe, pick(40)), out));
        ++sent;
      }
    }
    close();
    if (!plugged) Plug(kLoopback), Plug(kStream);
    std::printf("[ fuzz     ] thread %u: %u requests\n", thread, sent);
  };
  std::thread first(fuzz, 0), second(fuzz, 1), third(fuzz, 2);
  first.join(), second.join(), third.join();
}

TEST_P(DriverTest, PxusbctlTalksThroughTheBinding) {
  std::string machine = WriteDescription();
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(RunPxusbctl({"--machine", machine, "talk", "0", "--in", "0", "--out", "1", "--send", "Hi", "--wait",
                         "10000"},
                        in, out, err),
            0)
      << err.str();
  std::string joined, line;
  for (std::istringstream lines(out.str()); std::getline(lines, line);) joined += line;
  EXPECT_EQ(joined, "48 69 ");
  std::remove(machine.c_str());
}

}  // namespace

#ifdef _WIN32
namespace {

DWORD ServiceValue(const char* name) {
  HKEY key = nullptr;
  DWORD value = pxtest::kSentinel, size = sizeof value;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\pxusb", 0, KEY_READ, &key) == 0) {
    ::RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    ::RegCloseKey(key);
  }
  return value;
}

bool ServiceIn(SC_HANDLE service, DWORD state) {
  SERVICE_STATUS status{};
  return ::QueryServiceStatus(service, &status) && status.dwCurrentState == state;
}

// The driver is stopped while a read waits in it (Wine unloads a driver whose files
// are open; Windows would wait for them to close): the read ends as on unplug, and the
// driver leaves its counts of IRPs and pool blocks still held (none) in the registry.
TEST(DriverUnloadTest, StoppingTheDriverEndsWaitingRequestsAndLeavesNothingHeld) {
  if (AvailableTargets().size() < 2) GTEST_SKIP() << "needs the pxusb driver running (PXUSB_REAL_DRIVER=1)";
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_TRUE(manager);
  SC_HANDLE service = ::OpenServiceA(manager, "pxusb", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  ASSERT_TRUE(service);
  HANDLE file = ::CreateFileA(PXUSBDRV_LOOPBACK, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  OVERLAPPED read{};
  read.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD record[7] = {0, 0, kIn};
  char buffer[64];
  DWORD returned = 0;
  EXPECT_FALSE(::DeviceIoControl(file, IOCTL_PXUSB_READ_PIPE, record, 28, buffer, sizeof buffer, &returned, &read));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

  SERVICE_STATUS status{};
  EXPECT_TRUE(::ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(::WaitForSingleObject(read.hEvent, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(static_cast<NTSTATUS>(read.Internal), static_cast<NTSTATUS>(STATUS_CANCELLED));
  EXPECT_TRUE(pxtest::WaitUntil([&] { return ServiceIn(service, SERVICE_STOPPED); }));
  EXPECT_EQ(ServiceValue(PXUSBDRV_VALUE_ENDED), 1u);
  EXPECT_EQ(ServiceValue(PXUSBDRV_VALUE_IRPS), 0u);
  EXPECT_EQ(ServiceValue(PXUSBDRV_VALUE_POOL), 0u);
  ::CloseHandle(file);
  ::CloseHandle(read.hEvent);

  // Started again for the tests that follow.
  EXPECT_TRUE(::StartServiceA(service, 0, nullptr));
  EXPECT_TRUE(pxtest::WaitUntil([&] { return ServiceIn(service, SERVICE_RUNNING); }));
  ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
}

}  // namespace
#endif  // _WIN32
