#include "lib/pxusb_winusb_api.h"

#include <cstring>

namespace {

void ReleaseWinUsb();

// Winusb.dll, loaded at first use and kept until the program ends or the backend that
// loaded it goes.
class WinUsbLibrary {
 public:
  ~WinUsbLibrary() {
    win::removeBackendRelease(ReleaseWinUsb);
    Release();
  }

  template <class Fn, class... A>
  BOOL Call(const char* name, A... args) {
    if (!module_ || generation_ != win::backendGeneration()) {
      win::addBackendRelease(ReleaseWinUsb);
      module_ = win::LoadLibraryA("Winusb.dll");
      generation_ = win::backendGeneration();
    }
    if (!module_) return FALSE;
    auto entry = win::procAddress<Fn>(module_, name);
    return entry ? entry(args...) : FALSE;
  }

  void Release() {
    if (module_ && generation_ == win::backendGeneration()) win::FreeLibrary(module_);
    module_ = nullptr;
  }

 private:
  HMODULE module_ = nullptr;
  unsigned generation_ = 0;
};

WinUsbLibrary g_winusb;

void ReleaseWinUsb() { g_winusb.Release(); }

}  // namespace

BOOL WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
  return g_winusb.Call<WinUsb_InitializeFn>("WinUsb_Initialize", DeviceHandle, InterfaceHandle);
}

BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle) {
  return g_winusb.Call<WinUsb_FreeFn>("WinUsb_Free", InterfaceHandle);
}

BOOL WinUsb_GetAssociatedInterface(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AssociatedInterfaceIndex,
                                   PWINUSB_INTERFACE_HANDLE AssociatedInterfaceHandle) {
  return g_winusb.Call<WinUsb_GetAssociatedInterfaceFn>("WinUsb_GetAssociatedInterface", InterfaceHandle,
                                                        AssociatedInterfaceIndex, AssociatedInterfaceHandle);
}

BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                                   USB_INTERFACE_DESCRIPTOR* UsbAltInterfaceDescriptor) {
  return g_winusb.Call<WinUsb_QueryInterfaceSettingsFn>("WinUsb_QueryInterfaceSettings", InterfaceHandle,
                                                        AlternateInterfaceNumber, UsbAltInterfaceDescriptor);
}

BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber, UCHAR PipeIndex,
                      WINUSB_PIPE_INFORMATION* PipeInformation) {
  return g_winusb.Call<WinUsb_QueryPipeFn>("WinUsb_QueryPipe", InterfaceHandle, AlternateInterfaceNumber, PipeIndex,
                                           PipeInformation);
}

BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                      ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  return g_winusb.Call<WinUsb_TransferFn>("WinUsb_WritePipe", InterfaceHandle, PipeID, Buffer,
                                          BufferLength, LengthTransferred, Overlapped);
}

BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                     ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  return g_winusb.Call<WinUsb_TransferFn>("WinUsb_ReadPipe", InterfaceHandle, PipeID, Buffer,
                                          BufferLength, LengthTransferred, Overlapped);
}

BOOL WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID) {
  return g_winusb.Call<WinUsb_PipeFn>("WinUsb_ResetPipe", InterfaceHandle, PipeID);
}

BOOL WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID) {
  return g_winusb.Call<WinUsb_PipeFn>("WinUsb_AbortPipe", InterfaceHandle, PipeID);
}

BOOL WinUsb_FlushPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID) {
  return g_winusb.Call<WinUsb_PipeFn>("WinUsb_FlushPipe", InterfaceHandle, PipeID);
}

BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, ULONG PolicyType,
                          ULONG ValueLength, PVOID Value) {
  return g_winusb.Call<WinUsb_SetPipePolicyFn>("WinUsb_SetPipePolicy", InterfaceHandle, PipeID,
                                               PolicyType, ValueLength, Value);
}

BOOL WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, ULONG PolicyType,
                          PULONG ValueLength, PVOID Value) {
  return g_winusb.Call<WinUsb_GetPipePolicyFn>("WinUsb_GetPipePolicy", InterfaceHandle, PipeID,
                                               PolicyType, ValueLength, Value);
}

BOOL WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE InterfaceHandle, LPOVERLAPPED Overlapped,
                                LPDWORD NumberOfBytesTransferred, BOOL Wait) {
  return g_winusb.Call<WinUsb_GetOverlappedResultFn>("WinUsb_GetOverlappedResult", InterfaceHandle,
                                                     Overlapped, NumberOfBytesTransferred, Wait);
}

BOOL WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE InterfaceHandle, WINUSB_SETUP_PACKET SetupPacket,
                            PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred,
                            LPOVERLAPPED Overlapped) {
  return g_winusb.Call<WinUsb_ControlTransferFn>("WinUsb_ControlTransfer", InterfaceHandle,
                                                 SetupPacket, Buffer, BufferLength,
                                                 LengthTransferred, Overlapped);
}

TpxWinUsbApi::~TpxWinUsbApi() {
  if (IsDeviceOpen()) CloseDevice();
}

HANDLE TpxWinUsbApi::OpenDevice(const std::string& Path) {
  HANDLE device = win::CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
  WINUSB_INTERFACE_HANDLE usb = INVALID_HANDLE_VALUE;
  if (device != INVALID_HANDLE_VALUE && !WinUsb_Initialize(device, &usb)) {
    win::CloseHandle(device);
    device = INVALID_HANDLE_VALUE;
    usb = INVALID_HANDLE_VALUE;
  }
  FInterface = usb;
  FDevice = device;
  for (auto& raw : FRawIo) raw = false;
  if (device != INVALID_HANDLE_VALUE) {
    OpenAssociatedInterfaces();
    FCalls.Opened();
  }
  return device;
}

// WinUsb_Initialize opens a function's first interface; each further one comes through
// WinUsb_GetAssociatedInterface, index 0 being the next interface, until it reports
// ERROR_NO_MORE_ITEMS. Each handle serves the pipes of its own interface:
// https://learn.microsoft.com/windows/win32/api/winusb/nf-winusb-winusb_getassociatedinterface
void TpxWinUsbApi::OpenAssociatedInterfaces() {
  WINUSB_INTERFACE_HANDLE associated = nullptr;
  for (UCHAR index = 0; index < 0xFF && WinUsb_GetAssociatedInterface(FInterface, index, &associated); ++index) {
    FAssociated.push_back(associated);
    USB_INTERFACE_DESCRIPTOR settings{};
    if (!WinUsb_QueryInterfaceSettings(associated, 0, &settings)) continue;
    for (UCHAR i = 0; i < settings.bNumEndpoints; ++i) {
      WINUSB_PIPE_INFORMATION pipe{};
      if (WinUsb_QueryPipe(associated, 0, i, &pipe)) FPipeInterface[pipe.PipeId] = associated;
    }
  }
}

WINUSB_INTERFACE_HANDLE TpxWinUsbApi::InterfaceOf(PipeId Pipe) const {
  return FPipeInterface[Pipe] ? FPipeInterface[Pipe] : FInterface.load();
}

void TpxWinUsbApi::CloseDevice() {
  // Nothing may be freed while another thread is inside a call with it.
  FCalls.Close([this](PipeId pipe) { WinUsb_AbortPipe(InterfaceOf(pipe), pipe); });
  // WinUSB goes before the file: closing the file is what ends pending transfers. The
  // associated interfaces go before the first one they were reached through.
  for (WINUSB_INTERFACE_HANDLE associated : FAssociated) WinUsb_Free(associated);
  FAssociated.clear();
  FPipeInterface.fill(nullptr);
  WINUSB_INTERFACE_HANDLE usb = FInterface.exchange(INVALID_HANDLE_VALUE);
  HANDLE device = FDevice.exchange(INVALID_HANDLE_VALUE);
  if (usb != INVALID_HANDLE_VALUE) WinUsb_Free(usb);
  if (device != INVALID_HANDLE_VALUE) win::CloseHandle(device);
}

bool TpxWinUsbApi::IsDeviceOpen() { return FCalls.IsOpen(); }

DWORD TpxWinUsbApi::Move(Transfer transfer, const char* failure, PipeId Pipe, void* Buffer,
                         DWORD Length, LPOVERLAPPED Overlapped) {
  TpxUsbCallGate::Use use(FCalls);
  if (!use) return 0;
  FCalls.NotePipe(Pipe);
  if (Overlapped) {
    // Status and position are cleared; the event stays the caller's.
    Overlapped->Internal = 0;
    Overlapped->InternalHigh = 0;
    Overlapped->Offset = 0;
    Overlapped->OffsetHigh = 0;
  }
  ULONG count = 0;
  if (transfer(InterfaceOf(Pipe), Pipe, static_cast<PUCHAR>(Buffer), Length, &count, Overlapped)) {
    return count;
  }
  // The caller reads the request's error after us: the debugger text must not touch it.
  DWORD error = win::GetLastError();
  win::OutputDebugStringA(failure);
  win::SetLastError(error);
  return 0;
}

DWORD TpxWinUsbApi::WritePipe(PipeId Pipe, void* Buffer, DWORD Length, LPOVERLAPPED Overlapped) {
  return Move(&WinUsb_WritePipe, "Write Error", Pipe, Buffer, Length, Overlapped);
}

DWORD TpxWinUsbApi::ReadPipe(PipeId Pipe, void* Buffer, DWORD Length, LPOVERLAPPED Overlapped) {
  return Move(&WinUsb_ReadPipe, "Read Error", Pipe, Buffer, Length, Overlapped);
}

bool TpxWinUsbApi::ResetPipe(PipeId Pipe) {
  TpxUsbCallGate::Use use(FCalls);
  return use && WinUsb_ResetPipe(InterfaceOf(Pipe), Pipe);
}

bool TpxWinUsbApi::AbortPipe(PipeId Pipe) {
  TpxUsbCallGate::Use use(FCalls);
  return use && WinUsb_AbortPipe(InterfaceOf(Pipe), Pipe);
}

bool TpxWinUsbApi::FlushPipe(PipeId Pipe) {
  TpxUsbCallGate::Use use(FCalls);
  return use && WinUsb_FlushPipe(InterfaceOf(Pipe), Pipe);
}

bool TpxWinUsbApi::ControlTransfer(TpxUsbControlRequest& Request, DWORD& Transferred,
                                   LPOVERLAPPED) {
  TpxUsbCallGate::Use use(FCalls);
  if (!use) return false;
  WINUSB_SETUP_PACKET setup{};
  setup.RequestType =
      static_cast<UCHAR>((Request.RequestType << 5) | Request.Recipient | (Request.Direction << 7));
  setup.Request = Request.Request;
  setup.Value = Request.Value;
  setup.Index = Request.Index;
  setup.Length = Request.Length;
  // Always synchronous: the caller's record is not used.
  ULONG count = 0;
  BOOL ok = WinUsb_ControlTransfer(FInterface, setup, static_cast<PUCHAR>(Request.Buffer),
                                   Request.Length, &count, nullptr);
  Transferred = count;
  return ok && count == Request.Length;
}

bool TpxWinUsbApi::GetOverlappedResult(LPOVERLAPPED Overlapped, DWORD& Transferred, DWORD Timeout) {
  // Only whether to wait comes from the time-out; the pipe's transfer time-out bounds it.
  BOOL wait = (Timeout & 0xFF) != 0 ? TRUE : FALSE;
  Transferred = 0;
  TpxUsbCallGate::Use use(FCalls, /*waitForEnd=*/true);
  if (!use) return false;
  DWORD count = 0;
  BOOL ok = WinUsb_GetOverlappedResult(FInterface, Overlapped, &count, wait);
  Transferred = count;
  return ok != FALSE;
}

bool TpxWinUsbApi::SetPipeTimeout(PipeId Pipe, DWORD Milliseconds) {
  TpxUsbCallGate::Use use(FCalls);
  return use && WinUsb_SetPipePolicy(InterfaceOf(Pipe), Pipe, PIPE_TRANSFER_TIMEOUT, sizeof(Milliseconds),
                              &Milliseconds) != FALSE;
}

namespace {

// The maximum packet size of `Pipe` on `usb`'s current setting; 0 when unknown.
USHORT MaxPacketSize(WINUSB_INTERFACE_HANDLE usb, PipeId Pipe) {
  USB_INTERFACE_DESCRIPTOR settings{};
  if (!WinUsb_QueryInterfaceSettings(usb, 0, &settings)) return 0;
  for (UCHAR i = 0; i < settings.bNumEndpoints; ++i) {
    WINUSB_PIPE_INFORMATION pipe{};
    if (WinUsb_QueryPipe(usb, 0, i, &pipe) && pipe.PipeId == Pipe) return pipe.MaximumPacketSize;
  }
  return 0;
}

}  // namespace

// RAW_IO sends reads to the USB stack directly, past WinUSB's own queue, so that reads
// the caller keeps queued follow each other on the bus without a gap. Each read must
// then be a multiple of the endpoint's maximum packet size and at most the pipe's
// MAXIMUM_TRANSFER_SIZE (read-only, through WinUsb_GetPipePolicy); it applies to IN
// pipes only. "WinUSB functions for pipe policy modification":
// https://learn.microsoft.com/windows-hardware/drivers/usbcon/winusb-functions-for-pipe-policy-modification
void TpxWinUsbApi::PrepareReadQueue(PipeId Pipe, DWORD Length, DWORD Depth) {
  TpxUsbCallGate::Use use(FCalls);
  if (!use || !(Pipe & 0x80)) return;
  WINUSB_INTERFACE_HANDLE usb = InterfaceOf(Pipe);
  bool raw = false;
  if (Depth > 1) {
    USHORT packet = MaxPacketSize(usb, Pipe);
    ULONG maximum = 0;
    ULONG size = sizeof maximum;
    raw = packet != 0 && Length % packet == 0 &&
          WinUsb_GetPipePolicy(usb, Pipe, MAXIMUM_TRANSFER_SIZE, &size, &maximum) && Length <= maximum;
  }
  if (raw == FRawIo[Pipe]) return;
  UCHAR value = raw ? 1 : 0;
  if (WinUsb_SetPipePolicy(usb, Pipe, RAW_IO, sizeof value, &value)) FRawIo[Pipe] = raw;
}
