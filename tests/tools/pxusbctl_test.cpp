// pxusbctl's commands against described machines, run in-process as the program
// runs them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/pxusbctl.h"

namespace {

// Root hub with three ports: echo on WinUSB, a hub with the pxusb logger and a
// mouse, a stick with volume E:.
const char kMachine[] = R"json({"controllers": [{"number": 0, "rootHub": {"ports": 3, "attach": {
  "1": {"vid": "0x2F1A", "pid": "0x0101", "description": "echo", "service": "WinUSB", "model": "echo",
        "endpoints": [{"address": "0x81"}, {"address": "0x02"}]},
  "2": {"vid": "0x3A21", "pid": "0x2514", "hub": {"ports": 2, "attach": {
    "1": {"vid": "0x2F1A", "pid": "0x0102", "description": "logger", "service": "pxusb", "model": "echo",
          "endpoints": [{"address": "0x82"}, {"address": "0x01"}]},
    "2": {"vid": "0x2C9D", "pid": "0x1040", "description": "mouse", "service": "HidUsb",
          "setupClass": "HIDClass", "endpoints": [{"address": "0x81", "type": "interrupt"}]}}}},
  "3": {"vid": "0x3B04", "pid": "0x1F20", "description": "stick", "service": "USBSTOR", "interfaceClass": 8,
        "endpoints": [{"address": "0x81"}, {"address": "0x02"}],
        "storage": {"letter": "E"}}}}}]})json";

struct Result {
  int code;
  std::string out;
  std::string err;
};

class PxusbctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(path_) << kMachine;
  }
  void TearDown() override { std::remove(path_.c_str()); }

  Result Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--machine", path_});
    return RunBare(args);
  }
  static Result RunBare(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    int code = RunPxusbctl(args, out, err);
    return {code, out.str(), err.str()};
  }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // One file per test: ctest runs the tests of this program in parallel.
  std::string path_ = ::testing::TempDir() + "pxusbctl-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".json";
};

TEST_F(PxusbctlTest, TreeIndentsHostsHubsPortsAndDevices) {
  Result r = Run({"tree"});
  ASSERT_EQ(r.code, 0) << r.err;
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
}

TEST_F(PxusbctlTest, ListShowsDevicesPipesAndVolumes) {
  Result r = Run({"list"});
  ASSERT_EQ(r.code, 0) << r.err;
  auto lines = Lines(r.out);
  ASSERT_GE(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0].rfind("0\techo\t2F1A:0101\tWinUSB\t\\??\\USB#VID_2F1A&PID_0101#", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("  ", 0), 0u);
  EXPECT_EQ(lines[1].substr(lines[1].size() - 5), "\t0x81");
  EXPECT_EQ(lines[2].substr(lines[2].size() - 5), "\t0x02");
  EXPECT_NE(r.out.find("\n1\tlogger\t2F1A:0102\tpxusb\t"), std::string::npos);
  EXPECT_NE(r.out.find("\n2\tmouse\t2C9D:1040\tHidUsb\t"), std::string::npos);
  EXPECT_NE(r.out.find("\n3\tstick\t3B04:1F20\tUSBSTOR\t"), std::string::npos);
  EXPECT_NE(r.out.find("\n  Volumes: E: \n"), std::string::npos) << r.out;
}

TEST_F(PxusbctlTest, TalkEchoesThroughBothBindings) {
  // The echo device on WinUSB; TEXT and HEXBYTES go out together.
  Result r = Run({"talk", "0", "--in", "0", "--out", "1", "--send", "Hi", "--hex", "0A"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::string joined;
  for (const std::string& line : Lines(r.out)) joined += line;
  EXPECT_EQ(joined, "48 69 0A ");
  // The logger on the pxusb driver.
  r = Run({"talk", "1", "--in", "0", "--out", "1", "--hex", "01:fe"});
  ASSERT_EQ(r.code, 0) << r.err;
  joined.clear();
  for (const std::string& line : Lines(r.out)) joined += line;
  EXPECT_EQ(joined, "01 FE ");
  // Nothing sent: nothing comes back within the wait.
  r = Run({"talk", "0", "--in", "0", "--out", "1", "--wait", "50"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(PxusbctlTest, FailuresGoToStandardErrorWithExitCodeOne) {
  Result r = Run({"talk", "9", "--in", "0", "--out", "1"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no such device: 9"), std::string::npos);
  r = Run({"talk", "0", "--in", "5", "--out", "7"});  // neither is a pipe of the device
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Pipe IDs are wrong."), std::string::npos) << r.err;
  r = Run({"talk", "2", "--in", "0", "--out", "0"});  // the mouse: HidUsb
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("USB device open fails. Driver is unknown."), std::string::npos) << r.err;
  // A device that stalls its pipes takes no data.
  std::string stalling = ::testing::TempDir() + "pxusbctl-stalling.json";
  std::ofstream(stalling) << R"json({"controllers": [{"number": 0, "rootHub": {"ports": 1, "attach": {
    "1": {"vid": "0x2F1A", "pid": "0x0101", "service": "WinUSB", "model": "stalling",
          "endpoints": [{"address": "0x81"}, {"address": "0x02"}]}}}}]})json";
  r = RunBare({"--machine", stalling, "talk", "0", "--in", "0", "--out", "1", "--send", "x", "--wait", "50"});
  std::remove(stalling.c_str());
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("did not take all of the data"), std::string::npos) << r.err;
  r = RunBare({"--machine", ::testing::TempDir() + "no-such-machine.json", "tree"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no-such-machine.json"), std::string::npos);
  EXPECT_EQ(r.out, "");
}

TEST_F(PxusbctlTest, UsageErrorsExitWithTwoAndHelpWithZero) {
  Result help = RunBare({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("usage: pxusbctl"), std::string::npos);
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"frobnicate"},
      {"tree", "extra"},
      {"--machine"},
      {"talk"},
      {"talk", "0"},
      {"talk", "0", "--in", "0"},
      {"talk", "x", "--in", "0", "--out", "1"},
      {"talk", "0", "--in", "-1", "--out", "1"},
      {"talk", "0", "--in", "0", "--out", "1", "--hex", "4"},
      {"talk", "0", "--in", "0", "--out", "1", "--hex", "zz"},
      {"talk", "0", "--in", "0", "--out", "1", "--wait"},
      {"talk", "0", "--in", "0", "--out", "1", "--wait", "99999999999"},
      {"talk", "0", "--in", "0", "--out", "1", "--bogus", "1"},
  };
  for (const auto& args : wrong) {
    Result r = RunBare(args);
    EXPECT_EQ(r.code, 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_NE(r.err.find("usage: pxusbctl"), std::string::npos);
  }
}

}  // namespace
