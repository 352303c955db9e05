// The demo program: the application object, the main form, the message loop.
//
// On Windows the devices are the machine's own, unless PXUSB_MACHINE names a
// simulated machine ("demo" or a description file): then devices, drives and registry
// are simulated while the GUI stays real. Elsewhere the simulator is the only Windows
// there is, "demo" by default, and its GUI has no screen: the scripted session is the
// only user it can have, so it always runs there.
//
// PXUSB_DEMO_SCRIPT=FILE plays the scripted session (see session.h) and writes its
// transcript to FILE; the exit code is 0 only when the session passed.
// PXUSB_DEMO_RUN=FILE plays the session without typing: it ticks Active, writes FILE,
// and keeps the form open, reading, until FILE is removed (at most ten minutes).
// PXUSB_DEMO_WATCH=FILE leaves the input to someone else and keeps FILE up to date
// with what the windows show, until FILE.end appears.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/Unit1.h"
#include "app/session.h"
#include "platform/sim/description.h"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void ReportFailure(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
#ifdef _WIN32
  // A GUI program has no console to show the line.
  win::MessageBoxA(nullptr, message.c_str(), "USB Device Demo", MB_OK | MB_ICONERROR);
#endif
}

// Runs the application; true when the scripted session, if any, passed.
bool RunApplication(sim::DescribedMachine* machine, bool scripted, const std::string& report,
                    const std::string& watch, const std::string& run) {
  TApplication application(nullptr);
  application.Initialize();
  TForm1* Form1 = nullptr;
  application.CreateForm(Form1);
  // The machine's hot-plug timeline runs from the moment the form is there to see it.
  if (machine) machine->timeline().start();
  std::unique_ptr<TDemoSession> session;
  if (!watch.empty()) {
    session = std::make_unique<TDemoSession>(*Form1, "", watch, std::chrono::minutes(5), TDemoSession::smWatch);
  } else if (!run.empty()) {
    session = std::make_unique<TDemoSession>(*Form1, "", run, std::chrono::minutes(10));
  } else if (scripted) {
    session = std::make_unique<TDemoSession>(*Form1, "hello", report);
  }
  application.Run();
  if (!session) return true;
  bool passed = session->Finish();
  for (const std::string& line : session->Transcript()) std::printf("%s\n", line.c_str());
  return passed;
}

int RunDemo() {
  std::string machineName = Env("PXUSB_MACHINE");
  std::string report = Env("PXUSB_DEMO_SCRIPT");
  std::string watch = Env("PXUSB_DEMO_WATCH");
  std::string run = Env("PXUSB_DEMO_RUN");
  std::unique_ptr<sim::DescribedMachine> machine;
  bool scripted = !report.empty();
  try {
#ifdef _WIN32
    if (!machineName.empty()) machine = sim::loadMachine(machineName, sim::SimMachine::kHosted);
#else
    machine = sim::loadMachine(machineName.empty() ? "demo" : machineName);
    scripted = true;
#endif
  } catch (const std::exception& error) {
    ReportFailure("PXUSB_MACHINE=" + machineName + ": " + error.what());
    return 2;
  }
  bool passed = false;
  try {
    passed = RunApplication(machine.get(), scripted && watch.empty(), report, watch, run);
  } catch (const std::exception& error) {
    ReportFailure(error.what());
  }
  return passed ? 0 : 1;
}

}  // namespace

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return RunDemo(); }
#else
int main() { return RunDemo(); }
#endif
