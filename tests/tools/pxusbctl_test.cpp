// pxusbctl's commands against described machines, run in-process as the program
// runs them: one table of cases per command.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tools/pxusbctl.h"

namespace {

// Root hub with three ports: echo on WinUSB, a hub with the pxusb logger and a
// mouse, a stick with volume E:.
const char kMachine[] = R"json({"controllers": [{"number": 0, "rootHub": {"ports": 3, "attach": {
  "1": {"vid": "0x2F1A", "pid": "0x0101", "description": "echo", "service": "WinUSB", "model": "echo",
        "strings": ["Northwind", "Probe"], "iProduct": 2,
        "endpoints": [{"address": "0x81"}, {"address": "0x02"}]},
  "2": {"vid": "0x3A21", "pid": "0x2514", "hub": {"ports": 2, "attach": {
    "1": {"vid": "0x2F1A", "pid": "0x0102", "description": "logger", "service": "pxusb", "model": "echo",
          "endpoints": [{"address": "0x82"}, {"address": "0x01"}]},
    "2": {"vid": "0x2C9D", "pid": "0x1040", "bcdUSB": "0x0110", "speed": "low", "description": "mouse",
          "service": "HidUsb", "setupClass": "HIDClass",
          "endpoints": [{"address": "0x81", "type": "interrupt", "maxPacket": 4, "interval": 10}]}}}},
  "3": {"vid": "0x3B04", "pid": "0x1F20", "description": "stick", "service": "USBSTOR", "interfaceClass": 8,
        "endpoints": [{"address": "0x81"}, {"address": "0x02"}],
        "storage": {"letter": "E"}}}}}]})json";

// The same, the device on root port `port` leaving and coming back once the command
// has started.
std::string HotPlugMachine(unsigned port) {
  auto machine = nlohmann::json::parse(kMachine);
  machine["timeline"] = {{{"at", 0}, {"unplug", {{"controller", 0}, {"ports", {port}}}}},
                         {{"at", 100}, {"plug", {{"controller", 0}, {"ports", {port}}}}}};
  return machine.dump();
}

struct Result {
  int code;
  std::string out;
  std::string err;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Case {
  std::vector<std::string> args;
  std::function<void(const Result&)> check;
  std::string input = "";
  int code = 0;
};

class PxusbctlTest : public ::testing::Test {
 protected:
  void SetUp() override { Write(kMachine); }
  void TearDown() override { std::remove(path_.c_str()); }

  void Write(const std::string& description) { std::ofstream(path_) << description; }
  Result Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--machine", path_});
    return RunBare(args, input);
  }
  static Result RunBare(const std::vector<std::string>& args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    int code = RunPxusbctl(args, in, out, err);
    return {code, out.str(), err.str()};
  }
  void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      std::string name;
      for (const std::string& arg : c.args) name += arg + " ";
      SCOPED_TRACE(name);
      Result r = Run(c.args, c.input);
      EXPECT_EQ(r.code, c.code) << r.err;
      c.check(r);
    }
  }

  // One file per test: ctest runs the tests of this program in parallel.
  std::string path_ = ::testing::TempDir() + "pxusbctl-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".json";
};

TEST_F(PxusbctlTest, Tree) {
  RunCases({
      {{"tree"},
       [](const Result& r) {
         auto lines = Lines(r.out);
         // host, root hub, 3 ports with what they hold, the inner hub's 2 ports with theirs
         ASSERT_EQ(lines.size(), 12u) << r.out;
         EXPECT_EQ(lines[0].find_first_not_of(' '), 0u);
         EXPECT_EQ(lines[1].find_first_not_of(' '), 2u);  // root hub
         EXPECT_EQ(lines[2].find_first_not_of(' '), 4u);  // port 1
         EXPECT_EQ(lines[3], "      echo [2F1A:0101] (WinUSB)");
         EXPECT_EQ(lines[5].find_first_not_of(' '), 6u);  // the hub on port 2
         EXPECT_EQ(lines[7], "          logger [2F1A:0102] (pxusb)");
         EXPECT_EQ(lines[9], "          mouse [2C9D:1040] (HidUsb)");
         EXPECT_EQ(lines[10].find_first_not_of(' '), 4u);  // port 3
         EXPECT_EQ(lines[11], "      stick [3B04:1F20] (USBSTOR)");
       }},
      {{"tree", "-v"},
       [](const Result& r) {
         auto lines = Lines(r.out);
         ASSERT_GE(lines.size(), 11u) << r.out;
         EXPECT_EQ(lines[3], "      echo [2F1A:0101] (WinUSB)");
         EXPECT_EQ(lines[4], "        speed high, USB 2.00, device 1.00, class 0x00");
         EXPECT_EQ(lines[5].rfind("        driver: WinUSB, key {36FC9E60-C465-11CF-8056-444553540000}\\", 0), 0u);
         EXPECT_EQ(lines[6].rfind("        instance: USB\\VID_2F1A&PID_0101\\", 0), 0u);
         EXPECT_EQ(lines[7].rfind("        symbolic name: \\??\\USB#VID_2F1A&PID_0101#", 0), 0u);
         EXPECT_EQ(lines[8], "        strings: \"Northwind\" \"Probe\"");
         EXPECT_EQ(lines[9], "        pipe 0: IN  0x81 bulk, max packet 64, interval 0");
         EXPECT_EQ(lines[10], "        pipe 1: OUT 0x02 bulk, max packet 64, interval 0");
         EXPECT_TRUE(Has(r.out, "            speed low, USB 1.10, device 1.00, class 0x00\n")) << r.out;
         EXPECT_TRUE(Has(r.out, "            pipe 0: IN  0x81 interrupt, max packet 4, interval 10\n"));
         EXPECT_TRUE(Has(r.out, "        volumes: E: \n"));
       }},
      {{"tree", "--json"},
       [](const Result& r) {
         auto tree = nlohmann::json::parse(r.out);
         EXPECT_EQ(tree["pxusbctl"], 1);
         const auto& ports = tree["hosts"][0]["rootHubs"][0]["ports"];
         ASSERT_EQ(ports.size(), 3u) << r.out;
         EXPECT_EQ(ports[0]["port"], 1);
         EXPECT_EQ(ports[0]["device"]["name"], "echo");
         EXPECT_EQ(ports[0]["device"]["strings"], nlohmann::json({"Northwind", "Probe"}));
         const auto& mouse = ports[1]["hub"]["ports"][1]["device"];
         EXPECT_EQ(mouse["vid"], 0x2C9D);
         EXPECT_EQ(mouse["bcdUSB"], 0x0110);
         EXPECT_EQ(mouse["speed"], "low");
         EXPECT_EQ(mouse["pipes"][0], nlohmann::json::parse(R"({"index": 0, "address": 129, "direction": "in",
             "type": "interrupt", "maxPacket": 4, "interval": 10, "interface": null, "canOpen": false})"));
         EXPECT_EQ(ports[2]["device"]["volumes"], nlohmann::json({"E:"}));
       }},
  });
  // A device without a driver is named from its string descriptors only when asked.
  Write(R"json({"controllers": [{"number": 0, "rootHub": {"ports": 1, "attach": {
    "1": {"vid": "0x0BAD", "pid": 1, "driver": false, "strings": ["Prototype"], "iProduct": 1}}}}]})json");
  auto named = [](const std::string& name) {
    return [name](const Result& r) { EXPECT_TRUE(Has(r.out, "\n      " + name + " [0BAD:0001]\n")) << r.out; };
  };
  RunCases({{{"tree"}, named("unknown device")}, {{"tree", "--descriptors"}, named("Prototype")}});
}

TEST_F(PxusbctlTest, List) {
  RunCases({
      {{"list"},
       [](const Result& r) {
         auto lines = Lines(r.out);
         ASSERT_GE(lines.size(), 3u) << r.out;
         EXPECT_EQ(lines[0].rfind("0\techo\t2F1A:0101\tWinUSB\t\\??\\USB#VID_2F1A&PID_0101#", 0), 0u) << lines[0];
         EXPECT_EQ(lines[1].rfind("  ", 0), 0u);
         EXPECT_EQ(lines[1].substr(lines[1].size() - 5), "\t0x81");
         EXPECT_EQ(lines[2].substr(lines[2].size() - 5), "\t0x02");
         EXPECT_TRUE(Has(r.out, "\n1\tlogger\t2F1A:0102\tpxusb\t"));
         EXPECT_TRUE(Has(r.out, "\n2\tmouse\t2C9D:1040\tHidUsb\t"));
         EXPECT_TRUE(Has(r.out, "\n3\tstick\t3B04:1F20\tUSBSTOR\t"));
         EXPECT_TRUE(Has(r.out, "\n  Volumes: E: \n")) << r.out;
       }},
      {{"list", "-v"},
       [](const Result& r) {
         auto lines = Lines(r.out);
         ASSERT_GE(lines.size(), 8u) << r.out;
         EXPECT_EQ(lines[0], "0\techo [2F1A:0101] (WinUSB)");
         EXPECT_EQ(lines[1], "  speed high, USB 2.00, device 1.00, class 0x00");
         EXPECT_EQ(lines[7], "  pipe 1: OUT 0x02 bulk, max packet 64, interval 0");
         EXPECT_EQ(lines[8], "1\tlogger [2F1A:0102] (pxusb)");
       }},
      {{"list", "--json", "--vid", "2f1a"},
       [](const Result& r) {
         auto list = nlohmann::json::parse(r.out)["devices"];
         ASSERT_EQ(list.size(), 2u) << r.out;
         EXPECT_EQ(list[1]["index"], 1);
         EXPECT_EQ(list[1]["name"], "logger");
         EXPECT_EQ(list[1]["service"], "pxusb");
         EXPECT_EQ(list[1]["pipes"][1]["direction"], "out");
         EXPECT_EQ(list[1]["pipes"][1]["address"], 1);
       }},
      {{"list", "--vid", "0x2F1A", "--pid", "0102"},
       [](const Result& r) { EXPECT_EQ(r.out.rfind("0\tlogger\t", 0), 0u) << r.out; }},
      {{"list", "--pid", "0x0BAD"}, [](const Result& r) { EXPECT_EQ(r.out, ""); }},
  });
}

TEST_F(PxusbctlTest, Talk) {
  auto joined = [](const std::string& out) {
    std::string text;
    for (const std::string& line : Lines(out)) text += line;
    return text;
  };
  auto error = [](const std::string& part) {
    return [part](const Result& r) { EXPECT_TRUE(Has(r.err, part)) << r.err; };
  };
  RunCases({
      // One-shot: TEXT and HEXBYTES go out together, what comes back as hex lines.
      {{"talk", "0", "--in", "0", "--out", "1", "--send", "Hi", "--hex", "0A"},
       [&](const Result& r) { EXPECT_EQ(joined(r.out), "48 69 0A "); }},
      {{"talk", "1", "--in", "0", "--out", "1", "--hex", "01:fe"},  // the pxusb driver
       [&](const Result& r) { EXPECT_EQ(joined(r.out), "01 FE "); }},
      {{"talk", "0", "--in", "0", "--out", "1", "--send", "Hi", "--show", "text"},
       [](const Result& r) { EXPECT_EQ(r.out, "Hi"); }},
      // Standard input, until it ends and the wait is over.
      {{"talk", "0", "--in", "0", "--out", "1"}, [](const Result& r) { EXPECT_EQ(r.out, "line 1\nline 2\n"); },
       "line 1\nline 2\n"},
      {{"talk", "0", "--in", "0", "--out", "1", "--show", "hex"},
       [&](const Result& r) { EXPECT_EQ(joined(r.out), "6F 6B "); }, "ok"},
      {{"talk", "0", "--in", "0", "--out", "1", "--wait", "0"}, [](const Result& r) { EXPECT_EQ(r.out, ""); }},
      // Failures.
      {{"talk", "9", "--in", "0", "--out", "1"}, error("no such device: 9 (4 listed)"), "", 1},
      {{"talk", "0", "--in", "5", "--out", "1"}, error("device 0 has no pipe 5 (2 pipes)"), "", 1},
      {{"talk", "0", "--in", "1", "--out", "1"}, error("pipe 1 of device 0 is an OUT pipe; --in needs an IN pipe"), "", 1},
      {{"talk", "0", "--in", "0", "--out", "0"}, error("pipe 0 of device 0 is an IN pipe; --out needs an OUT pipe"), "", 1},
      {{"talk", "3", "--in", "0", "--out", "1"}, error("USB device open fails. Driver is unknown."), "", 1},
  });
  // A composite device: talk reaches the function of the chosen pipes, on either binding.
  Write(R"json({"controllers": [{"number": 0, "rootHub": {"ports": 1, "attach": {
    "1": {"vid": "0x2F1A", "pid": "0x0103", "functions": [
      {"service": "WinUSB", "model": "echo", "endpoints": [{"address": "0x81"}, {"address": "0x01"}]},
      {"service": "pxusb", "model": "echo", "interfaces": [
        {"endpoints": [{"address": "0x82"}]}, {"endpoints": [{"address": "0x02"}]}]}]}}}}]})json");
  auto echoed = [&](const Result& r) { EXPECT_EQ(joined(r.out), "48 69 "); };
  RunCases({{{"talk", "0", "--in", "0", "--out", "1", "--send", "Hi"}, echoed},
            {{"talk", "0", "--in", "2", "--out", "3", "--send", "Hi"}, echoed},
            {{"list", "-v"}, [](const Result& r) {
               EXPECT_TRUE(Has(r.out, "  function: interfaces 1-2, driver pxusb, USB Device\n")) << r.out;
             }}});
  // A device that stalls its pipes takes no data.
  Write(R"json({"controllers": [{"number": 0, "rootHub": {"ports": 1, "attach": {
    "1": {"vid": "0x2F1A", "pid": "0x0101", "service": "WinUSB", "model": "stalling",
          "endpoints": [{"address": "0x81"}, {"address": "0x02"}]}}}}]})json");
  RunCases({{{"talk", "0", "--in", "0", "--out", "1", "--send", "x", "--wait", "50"},
             error("did not take all of the data"), "", 1}});
  // The device leaves while the session waits.
  Write(HotPlugMachine(1));
  RunCases({{{"talk", "0", "--in", "0", "--out", "1", "--wait", "60000"}, error("the device left"), "", 3}});
}

TEST_F(PxusbctlTest, Watch) {
  Write(HotPlugMachine(3));
  const std::string list =
      "  0\techo [2F1A:0101] (WinUSB)\n"
      "  1\tlogger [2F1A:0102] (pxusb)\n"
      "  2\tmouse [2C9D:1040] (HidUsb)\n";
  const std::string stick = "stick [3B04:1F20] (USBSTOR)";
  RunCases({
      {{"watch", "--count", "2", "--for", "60000"},
       [&](const Result& r) {
         EXPECT_EQ(r.out, "devices:\n" + list + "  3\t" + stick + "\n" + "removed: " + stick + "\ndevices:\n" + list +
                              "arrived: " + stick + "\ndevices:\n" + list + "  3\t" + stick + "\n");
       }},
      // Filtered as the component filters: the stick's coming and going is not seen.
      {{"watch", "--vid", "2C9D", "--for", "300"},
       [](const Result& r) { EXPECT_EQ(r.out, "devices:\n  0\tmouse [2C9D:1040] (HidUsb)\n"); }},
  });
}

TEST_F(PxusbctlTest, UsageErrorsExitWithTwoAndHelpWithZero) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"tree", "--help"}, {"list", "-h"}, {"talk", "--help"}, {"watch", "--help"}}) {
    Result help = RunBare(args);
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind("usage: pxusbctl", 0), 0u) << help.out;
  }
  EXPECT_TRUE(Has(RunBare({"watch", "--help"}).out, "--count N"));
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"frobnicate"},
      {"tree", "extra"},
      {"tree", "--vid", "1"},
      {"tree", "-v", "--json"},
      {"list", "-v", "-v"},
      {"list", "--vid", "10000"},
      {"list", "--pid", "0x"},
      {"--machine"},
      {"talk"},
      {"talk", "0"},
      {"talk", "0", "--in", "0"},
      {"talk", "x", "--in", "0", "--out", "1"},
      {"talk", "0", "1", "--in", "0", "--out", "1"},
      {"talk", "0", "--in", "-1", "--out", "1"},
      {"talk", "0", "--in", "0", "--out", "1", "--hex", "4"},
      {"talk", "0", "--in", "0", "--out", "1", "--hex", "zz"},
      {"talk", "0", "--in", "0", "--out", "1", "--wait"},
      {"talk", "0", "--in", "0", "--out", "1", "--wait", "99999999999"},
      {"talk", "0", "--in", "0", "--out", "1", "--show", "binary"},
      {"talk", "0", "--in", "0", "--out", "1", "--bogus", "1"},
      {"watch", "--count", "many"},
  };
  for (const auto& args : wrong) {
    Result r = RunBare(args);
    EXPECT_EQ(r.code, 2) << (args.empty() ? "(none)" : args[0] + " " + (args.size() > 1 ? args[1] : ""));
    EXPECT_TRUE(Has(r.err, "usage: pxusbctl")) << r.err;
  }
  Result r = RunBare({"--machine", ::testing::TempDir() + "no-such-machine.json", "tree"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Has(r.err, "no-such-machine.json"));
  EXPECT_EQ(r.out, "");
}

}  // namespace
