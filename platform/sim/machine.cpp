#include "platform/sim/machine.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

SimMachine* g_current = nullptr;

// The machine's own kernel32.dll exports the simulated kernel32 entry points, so
// run-time look-ups find what the table holds.
std::map<std::string, FARPROC> kernel32Exports(const win::Kernel32& table) {
  std::map<std::string, FARPROC> exports;
#define PX_EXPORT(ret, name, params) exports[#name] = asExport(table.name);
  PX_KERNEL32_ENTRIES(PX_EXPORT)
#undef PX_EXPORT
  return exports;
}

}  // namespace

SimMachine::SimMachine(unsigned groups) : saved_(win::api()) {
  if (g_current) {
    std::fprintf(stderr, "pxusb sim: a machine is already installed\n");
    std::abort();
  }
  // What the library keeps of the previous backend goes back to it first.
  win::changingBackend();
  g_current = this;
  win::Api& table = win::api();
  win::Kernel32 simKernel32;
  installKernel32(simKernel32);
  kernel_.addModule("kernel32.dll", kernel32Exports(simKernel32));
  if (groups & kKernel32) table.kernel32 = simKernel32;
  if (groups & kUser32) installUser32(table.user32);
  if (groups & kOle32) installOle32(table.ole32);
  if (groups & kAdvapi32) installAdvapi32(table.advapi32);
  addNtdllModule(kernel_);
  addSetupModules(kernel_);
  if (groups & kHosted) installHosted(table, saved_.kernel32, simKernel32, kernel_);
}

SimMachine::~SimMachine() {
  // A thread waiting for a transfer ends once the transfer does.
  usbIo_.unplugAll();
  kernel_.joinThreads();
  // What the library keeps of this machine goes back to it while it is still there.
  win::changingBackend();
  win::api() = saved_;
  g_current = nullptr;
}

SimMachine& SimMachine::current() {
  if (!g_current) {
    std::fprintf(stderr, "pxusb sim: no machine installed\n");
    std::abort();
  }
  return *g_current;
}

bool SimMachine::installed() { return g_current != nullptr; }

}  // namespace sim
