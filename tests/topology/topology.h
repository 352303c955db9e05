// The topology tests' fixture: a machine built from a description, a manager of the
// test's own, and a log that keeps its lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "lib/pxusbman.h"
#include "lib/pxwin32di.h"
#include "platform/sim/description.h"
#include "support/backend.h"

namespace pxtest {

class RecordingLog : public TpxCustomLogFile {
 public:
  RecordingLog() : TpxCustomLogFile(nullptr) {}
  void AddBlank() override { Lines.push_back(""); }
  void Add(int level, const std::string& text) override { Lines.push_back(std::to_string(level) + ":" + text); }
  void AddFmt(int level, const std::string& format, std::initializer_list<TVarRec> args) override {
    Add(level, Format(format, args));
  }
  std::vector<std::string> Lines;
};

// One controller whose root hub has `ports` ports with `attach` on them (the members
// of a description's "attach" object).
inline std::string OneHub(int ports, const std::string& attach, const std::string& more = "") {
  return R"({"controllers": [{"number": 0, "rootHub": {"ports": )" + std::to_string(ports) +
         R"(, "attach": {)" + attach + "}}}]" + more + "}";
}

class TopologyTest : public ::testing::Test {
 protected:
  void TearDown() override {
    manager.Clear();
    if (described) {
      EXPECT_EQ(Kernel().localAllocations(), 0u) << "buffers outlived the tree";
    }
    described.reset();
  }

  // Builds the machine and refreshes the manager on it.
  void Load(const std::string& json) {
    manager.Clear();
    described.reset();
    described = std::make_unique<sim::DescribedMachine>(json);
    manager.Refresh();
  }
  sim::Kernel& Kernel() { return described->machine().kernel(); }
  sim::UsbBus& Bus() { return described->usb(); }

  TpxUsbHub* RootHub(int host = 0) {
    TpxUsbHost* h = manager.Hosts(host);
    return h ? h->Hubs(0) : nullptr;
  }
  // The node attached to port `number` (1-based) of `hub`.
  static TpxUsbDevice* At(TpxUsbHub* hub, int number) {
    TpxUsbPort* port = hub ? hub->Ports(number - 1) : nullptr;
    return port ? port->Children(0) : nullptr;
  }

  std::unique_ptr<sim::DescribedMachine> described;
  TpxUSBManager manager;
};

}  // namespace pxtest
