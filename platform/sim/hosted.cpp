// A machine hosted in a real Windows API (SimMachine::kHosted): the simulator takes
// over what devices, drives, the registry and the run-time bound modules need, and
// hands everything else of kernel32 to the host. Events, waits, threads, windows and
// COM stay real, so a real GUI runs over simulated devices.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sim/machine.h"

namespace sim {

namespace {

// Both tables live as long as the installed machine (one at a time).
win::Kernel32 g_host;
win::Kernel32 g_sim;

Kernel& kernel() { return SimMachine::current().kernel(); }

// The machine's own handles are the ones its handle table knows. A real thread that
// ends after the machine went (a reader thread freeing itself) has only the host's.
const win::Kernel32& byHandle(HANDLE handle) {
  return SimMachine::installed() && kernel().object(handle) ? g_sim : g_host;
}

const win::Kernel32& byModule(HMODULE module) {
  return kernel().ownsModule(module) ? g_sim : g_host;
}

// The device namespace is the machine's: "\\.\" and "\\?\" paths name its devices
// (some of which are real devices of the host), anything else is a file of the host.
bool devicePath(LPCSTR name) {
  return name && (std::strncmp(name, "\\\\.\\", 4) == 0 || std::strncmp(name, "\\\\?\\", 4) == 0);
}

HANDLE WINAPI HostedCreateFileA(LPCSTR name, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE templateFile) {
  if (!devicePath(name)) return g_host.CreateFileA(name, access, share, security, disposition, flags, templateFile);
  // A device the description hands to a real driver opens as that driver's device.
  std::string real = SimMachine::current().usbIo().realDevice(name);
  if (!real.empty()) {
    return g_host.CreateFileA(real.c_str(), access, share, security, disposition, flags, templateFile);
  }
  return g_sim.CreateFileA(name, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI HostedCloseHandle(HANDLE handle) { return byHandle(handle).CloseHandle(handle); }

BOOL WINAPI HostedDuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                                  LPHANDLE target, DWORD access, BOOL inherit, DWORD options) {
  return byHandle(source).DuplicateHandle(sourceProcess, source, targetProcess, target, access,
                                          inherit, options);
}

BOOL WINAPI HostedDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                  DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
  return byHandle(handle).DeviceIoControl(handle, code, in, inSize, out, outSize, returned,
                                          overlapped);
}

BOOL WINAPI HostedGetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytes,
                                      BOOL wait) {
  return byHandle(handle).GetOverlappedResult(handle, overlapped, bytes, wait);
}

BOOL WINAPI HostedCancelIo(HANDLE handle) { return byHandle(handle).CancelIo(handle); }

BOOL WINAPI HostedCancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  return byHandle(handle).CancelIoEx(handle, overlapped);
}

HMODULE WINAPI HostedLoadLibraryA(LPCSTR name) {
  bool own = name && *name && kernel().findModule(name);
  return (own ? g_sim : g_host).LoadLibraryA(name);
}

FARPROC WINAPI HostedGetProcAddress(HMODULE module, LPCSTR name) {
  return byModule(module).GetProcAddress(module, name);
}

BOOL WINAPI HostedFreeLibrary(HMODULE module) { return byModule(module).FreeLibrary(module); }

}  // namespace

void installHosted(win::Api& table, const win::Kernel32& host, const win::Kernel32& simulated,
                   Kernel& machineKernel) {
  // The entries a hosted machine hands on must be there: a real Windows API.
  bool complete = true;
#define PX_HOST_PRESENT(ret, name, params) complete = complete && host.name;
  PX_KERNEL32_ENTRIES(PX_HOST_PRESENT)
#undef PX_HOST_PRESENT
  if (!complete) {
    std::fprintf(stderr, "pxusb sim: a hosted machine needs the Windows API to run in\n");
    std::abort();
  }
  g_host = host;
  g_sim = simulated;
  // kernel32.dll is the host's own.
  machineKernel.removeModule("kernel32.dll");
  machineKernel.hostOn(host);

  win::Kernel32& k = table.kernel32;
  k.CreateFileA = &HostedCreateFileA;
  k.CloseHandle = &HostedCloseHandle;
  k.DuplicateHandle = &HostedDuplicateHandle;
  k.DeviceIoControl = &HostedDeviceIoControl;
  k.GetOverlappedResult = &HostedGetOverlappedResult;
  k.CancelIo = &HostedCancelIo;
  k.CancelIoEx = &HostedCancelIoEx;
  k.LoadLibraryA = &HostedLoadLibraryA;
  k.GetProcAddress = &HostedGetProcAddress;
  k.FreeLibrary = &HostedFreeLibrary;
  k.GetLogicalDrives = simulated.GetLogicalDrives;
  k.GetDriveTypeA = simulated.GetDriveTypeA;
  installAdvapi32(table.advapi32);
}

}  // namespace sim
