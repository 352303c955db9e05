#include "lib/pxusb_sysusb_api.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Debugger output that keeps the thread's last error.
void DebugText(const char* text) {
  DWORD error = win::GetLastError();
  win::OutputDebugStringA(text);
  win::SetLastError(error);
}

// The system time's bits 16..47: units of 6.5536 ms.
DWORD TimeStamp() {
  FILETIME now{};
  win::GetSystemTimeAsFileTime(&now);
  return static_cast<DWORD>(FileTimeToUInt64(now) >> 16);
}

}  // namespace

TpxSysUsbApi::~TpxSysUsbApi() {
  if (IsDeviceOpen()) CloseDevice();
}

HANDLE TpxSysUsbApi::OpenDevice(const std::string& Path) {
  FDevice = win::CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  if (FDevice != INVALID_HANDLE_VALUE) FCalls.Opened();
  return FDevice;
}

void TpxSysUsbApi::CloseDevice() {
  // Nothing may be closed while another thread is inside a request with it.
  FCalls.Close([this](PipeId pipe) { SendPipeControl(IOCTL_PXUSB_ABORT_PIPE, pipe); });
  HANDLE device = FDevice.exchange(INVALID_HANDLE_VALUE);
  if (device != INVALID_HANDLE_VALUE) win::CloseHandle(device);
}

bool TpxSysUsbApi::IsDeviceOpen() { return FCalls.IsOpen(); }

bool TpxSysUsbApi::DeviceRequest(DWORD Code, void* Input, DWORD InputSize, void* Output,
                                 DWORD OutputSize, LPOVERLAPPED Overlapped, DWORD& Returned) {
  OVERLAPPED local{};
  LPOVERLAPPED record = Overlapped;
  if (!record) {
    local.hEvent = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!local.hEvent) return false;
    record = &local;
  }
  DWORD count = 0;
  bool ok = win::DeviceIoControl(FDevice, Code, Input, InputSize, Output, OutputSize, &count,
                                 record) != FALSE;
  if (!ok && win::GetLastError() == ERROR_IO_PENDING) {
    // The debugger output may change the last error, which the caller reads after us.
    DebugText("ERROR_IO_PENDING ...");
    if (record == &local) ok = win::GetOverlappedResult(FDevice, record, &count, TRUE) != FALSE;
    DebugText("... ERROR_IO_PENDING!!!");
  }
  Returned = count;
  if (record == &local) {
    DWORD error = win::GetLastError();
    win::CloseHandle(local.hEvent);
    win::SetLastError(error);
  }
  return ok;
}

PXUSB_RECORD TpxSysUsbApi::MakePipeRecord(PipeId Pipe) const {
  PXUSB_RECORD record{};
  record.timeout = FTimeouts[Pipe];
  record.timeStamp = TimeStamp();
  record.pipe = Pipe;
  return record;
}

DWORD TpxSysUsbApi::PipeTransfer(DWORD Code, PipeId Pipe, void* Buffer, DWORD Length,
                                 LPOVERLAPPED Overlapped) {
  TpxUsbCallGate::Use use(FCalls);
  if (!use) return 0;
  FCalls.NotePipe(Pipe);
  PXUSB_RECORD record = MakePipeRecord(Pipe);
  // A request that failed at once returns nothing; one that ended early, what it moved.
  DWORD count = 0;
  DeviceRequest(Code, &record, sizeof record, Buffer, Length, Overlapped, count);
  return count;
}

DWORD TpxSysUsbApi::WritePipe(PipeId Pipe, void* Buffer, DWORD Length, LPOVERLAPPED Overlapped) {
  if (Length > PXUSB_MAX_TRANSFER) {
    win::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return PipeTransfer(IOCTL_PXUSB_WRITE_PIPE, Pipe, Buffer, Length, Overlapped);
}

DWORD TpxSysUsbApi::ReadPipe(PipeId Pipe, void* Buffer, DWORD Length, LPOVERLAPPED Overlapped) {
  return PipeTransfer(IOCTL_PXUSB_READ_PIPE, Pipe, Buffer, std::min<DWORD>(Length, PXUSB_MAX_TRANSFER), Overlapped);
}

bool TpxSysUsbApi::PipeControl(DWORD Code, PipeId Pipe) {
  TpxUsbCallGate::Use use(FCalls);
  return use && SendPipeControl(Code, Pipe);
}

bool TpxSysUsbApi::SendPipeControl(DWORD Code, PipeId Pipe) {
  PXUSB_RECORD record = MakePipeRecord(Pipe);
  DWORD count = 0;
  return DeviceRequest(Code, &record, sizeof record, nullptr, 0, nullptr, count);
}

bool TpxSysUsbApi::ResetPipe(PipeId Pipe) { return PipeControl(IOCTL_PXUSB_RESET_PIPE, Pipe); }

bool TpxSysUsbApi::AbortPipe(PipeId Pipe) { return PipeControl(IOCTL_PXUSB_ABORT_PIPE, Pipe); }

bool TpxSysUsbApi::FlushPipe(PipeId Pipe) { return ResetPipe(Pipe) && AbortPipe(Pipe); }

bool TpxSysUsbApi::ControlTransfer(TpxUsbControlRequest& Request, DWORD& Transferred,
                                   LPOVERLAPPED Overlapped) {
  Transferred = 0;
  TpxUsbCallGate::Use use(FCalls);
  if (!use) return false;
  bool toHost = Request.Direction == 1;
  PXUSB_RECORD setup{};
  setup.timeout = kPxusbControlTimeout;
  setup.timeStamp = TimeStamp();
  setup.requestType = Request.RequestType;
  setup.recipient = Request.Recipient;
  setup.request = Request.Request;
  setup.value = Request.Value;
  setup.index = Request.Index;
  std::vector<BYTE> record(kPxusbRecordSize + (toHost ? 0 : Request.Length));
  std::memcpy(record.data(), &setup, sizeof setup);
  auto* data = static_cast<BYTE*>(Request.Buffer);
  if (Request.Direction == 0 && Request.Length) {
    std::memcpy(&record[kPxusbRecordSize], data, Request.Length);
  }
  bool ok = DeviceRequest(toHost ? IOCTL_PXUSB_CONTROL_IN : IOCTL_PXUSB_CONTROL_OUT, record.data(),
                          static_cast<DWORD>(record.size()), Request.Buffer, Request.Length,
                          Overlapped, Transferred);
  // What was sent stays in the caller's buffer, whatever the driver wrote there.
  if (Request.Direction == 0 && Request.Length) {
    std::memcpy(data, &record[kPxusbRecordSize], Request.Length);
  }
  return ok;
}

bool TpxSysUsbApi::GetOverlappedResult(LPOVERLAPPED Overlapped, DWORD& Transferred, DWORD Timeout) {
  Transferred = 0;
  TpxUsbCallGate::Use use(FCalls, /*waitForEnd=*/true);
  if (!use) return false;
  if (win::WaitForSingleObject(Overlapped->hEvent, Timeout) != WAIT_OBJECT_0) return false;
  DWORD count = 0;
  bool ok = win::GetOverlappedResult(FDevice, Overlapped, &count, TRUE) != FALSE;
  Transferred = count;
  return ok;
}

bool TpxSysUsbApi::SetPipeTimeout(PipeId Pipe, DWORD Milliseconds) {
  FTimeouts[Pipe] = Milliseconds;
  return true;
}
