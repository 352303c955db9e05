// Machine descriptions: what a description builds, and how a bad one is refused.
#include "platform/sim/description.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/sim/text.h"
#include "support/backend.h"

namespace {

TEST(DescriptionTest, InvalidDescriptionsNameThePathOfTheFault) {
  const std::string device = R"({"vid": 1, "pid": 2})";
  const std::string serial = R"({"vid": 1, "pid": 2, "strings": ["S1"], "iSerialNumber": 1})";
  auto machine = [](const std::string& attach, const std::string& more = "") {
    return R"({"controllers": [{"number": 0, "rootHub": {"ports": 2, "attach": {)" + attach + "}}}]" + more + "}";
  };
  const std::pair<std::string, std::string> cases[] = {
      {"{\"controllers\": [", "/"},
      // Numbers beyond a double's range are refused where they stand.
      {R"({"controllers": 1e999})", "/controllers"},
      {R"({"controllers": [{"number": 0, "rootHub": {"ports": 1}}, {"number": -1e999}]})", "/controllers/1/number"},
      {R"({"drives": [[], [1, 2e400]], "a/b~": 1})", "/drives/1/1"},
      {R"({"a/b~": 1e999})", "/a~1b~0"},
      {R"({"controllers": [{"number": 0}]})", "/controllers/0"},
      {R"({"controllers": [{"number": 0, "rootHub": {"ports": 1}}, {"number": 0, "rootHub": {"ports": 1}}]})",
       "/controllers/1/number"},
      {R"({"controlers": []})", "/controlers"},
      {machine(R"("3": )" + device), "/controllers/0/rootHub/attach/3"},
      {machine(R"("1": {"vid": "0x10000", "pid": 2})"), "/controllers/0/rootHub/attach/1/vid"},
      {machine(R"("1": {"vid": "12z", "pid": 2})"), "/controllers/0/rootHub/attach/1/vid"},
      {machine(R"("1": {"vid": 1, "pid": 2, "colour": "red"})"), "/controllers/0/rootHub/attach/1/colour"},
      {machine(R"("1": {"vid": 1, "pid": 2, "endpoints": [{"address": 129, "type": "fast"}]})"),
       "/controllers/0/rootHub/attach/1/endpoints/0/type"},
      {machine(R"("2": {"vid": 1, "pid": 2, "setupClass": "Toasters"})"),
       "/controllers/0/rootHub/attach/2/setupClass"},
      {machine(R"("1": {"vid": 1, "pid": 2, "hub": {"ports": 1, "attach": {"1": {"pid": 3}}}})"),
       "/controllers/0/rootHub/attach/1/hub/attach/1"},
      {machine(R"("1": {"vid": 1, "pid": 2, "strings": {"0": "zero"}})"),
       "/controllers/0/rootHub/attach/1/strings/0"},
      {machine(R"("1": {"vid": 1, "pid": 2, "storage": {"letter": "EF"}})"),
       "/controllers/0/rootHub/attach/1/storage/letter"},
      {machine(R"("1": {"vid": 1, "pid": 2, "storage": {"letter": "c"}})"),
       "/controllers/0/rootHub/attach/1/storage/letter"},
      {machine(R"("1": )" + serial + R"(, "2": )" + serial), "/controllers/0/rootHub/attach/2"},
      {machine("", R"(, "drives": [{"letter": "C", "mount": {"bytes": "abc"}}])"), "/drives/0/mount/bytes"},
      {machine(R"("1": {"vid": 1, "pid": 2, "endpoints": [{"address": 2}], "model": "echo"})"),
       "/controllers/0/rootHub/attach/1/model"},
      {machine(R"("1": {"vid": 1, "pid": 2, "model": {"name": "slow", "delay": "soon"}})"),
       "/controllers/0/rootHub/attach/1/model/delay"},
      {machine(R"("1": {"vid": 1, "pid": 2, "endpoints": [{"address": 129}], "model": "echo", "removal": {"atOnce": 87}})"),
       "/controllers/0/rootHub/attach/1/removal/atOnce"},
      {machine(R"("1": {"vid": 1, "pid": 2, "service": "WinUSB", "realDevice": "\\\\.\\X"})"),
       "/controllers/0/rootHub/attach/1/realDevice"},
      {machine(R"("1": {"vid": 1, "pid": 2, "service": "pxusb", "endpoints": [{"address": 129}], "model": "echo",
                        "realDevice": "\\\\.\\X"})"),
       "/controllers/0/rootHub/attach/1/realDevice"},
      {machine(R"("1": {"vid": 1, "pid": 2, "service": "pxusb", "realDevice": "X"})"),
       "/controllers/0/rootHub/attach/1/realDevice"},
      {machine("", R"(, "timeline": [{"at": 0, "unplug": {"controller": 0, "ports": [3]}}])"),
       "/timeline/0/unplug"},
      {machine("", R"(, "timeline": [{"at": 0, "plug": {"controller": 1, "ports": [1]}}])"), "/timeline/0/plug"},
      {machine("", R"(, "timeline": [{"at": 0, "unplug": {"controller": 0, "ports": [1, 1]}}])"),
       "/timeline/0/unplug"},
      {machine("", R"(, "timeline": [{"at": 0}])"), "/timeline/0"},
      {machine("", R"(, "timeline": [{"at": 0, "plug": {"controller": 0, "ports": [1]}, "times": 2}])"),
       "/timeline/0/times"},
      {machine("", R"(, "timeline": [{"at": -1, "plug": {"controller": 0, "ports": [1]}}])"), "/timeline/0/at"},
  };
  for (const auto& [json, path] : cases) {
    sim::SimMachine m;
    sim::UsbBus bus(m.kernel());
    try {
      sim::describeMachine(m, bus, json);
      ADD_FAILURE() << "accepted: " << json;
    } catch (const sim::DescriptionError& e) {
      EXPECT_EQ(e.path, path) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind(path + ": ", 0), 0u) << e.what();
    }
  }
  EXPECT_THROW(sim::loadMachine("/no/such/machine.json"), sim::DescriptionError);
}

TEST(DescriptionTest, DemoKeepsTreeDevnodesAndRegistryConsistent) {
  auto demo = sim::loadMachine("demo");
  sim::DeviceTree& tree = demo->machine().devices();
  sim::DevNode* stick = tree.find("USB\\VID_3B04&PID_1F20\\HM2019X00471");
  ASSERT_NE(stick, nullptr);
  EXPECT_EQ(stick->service, "USBSTOR");
  ASSERT_NE(stick->parent, nullptr);
  EXPECT_EQ(stick->parent->instanceId.rfind("USB\\ROOT_HUB20\\", 0), 0u);
  EXPECT_EQ(stick->parent->parent->driverKey, "{36FC9E60-C465-11CF-8056-444553540000}\\0000");
  ASSERT_EQ(stick->children.size(), 1u);
  sim::DevNode* disk = stick->children[0];
  EXPECT_EQ(disk->instanceId, "USBSTOR\\Disk&Ven_Halvorsen&Prod_FlashStick&Rev_1.00\\HM2019X00471&0");
  ASSERT_EQ(disk->removalRelations.size(), 1u);
  sim::DevNode* volume = tree.find(disk->removalRelations[0]);
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->instanceId,
            "STORAGE\\Volume\\_??_USBSTOR#Disk&Ven_Halvorsen&Prod_FlashStick&Rev_1.00#HM2019X00471&0#"
            "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");

  // The bus and the devnodes agree on hub names and driver keys.
  sim::DevNode* echo = tree.find("USB\\VID_2F1A&PID_0101\\NW0101A7734");
  ASSERT_NE(echo, nullptr);
  sim::DevNode* hub = stick->parent->children[1];
  std::string hubName;
  std::string echoKey;
  demo->usb().edit([&](std::map<unsigned, sim::UsbBusController>& controllers) {
    sim::UsbBusHub& root = controllers.at(0).rootHub;
    hubName = root.ports[1].device->hub->name;
    echoKey = root.ports[0].device->driverKey;
  });
  std::string expected = hub->instanceId;
  std::replace(expected.begin(), expected.end(), '\\', '#');
  EXPECT_EQ(hubName, expected + "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  EXPECT_EQ(hub->instanceId.rfind("USB\\VID_3A21&PID_2514\\5&", 0), 0u) << hub->instanceId;
  EXPECT_EQ(hub->service, "usbhub");
  EXPECT_EQ(echoKey, echo->driverKey);
  EXPECT_FALSE(echoKey.empty());
  EXPECT_EQ(echo->service, "WinUSB");
  ASSERT_EQ(echo->interfaces.size(), 1u);
  EXPECT_EQ(echo->interfaces[0].path, "\\\\?\\usb#vid_2f1a&pid_0101#nw0101a7734#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  HKEY key = nullptr;
  ASSERT_EQ(win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, sim::DeviceTree::hardwareKeyPath(*echo).c_str(), 0, KEY_READ, &key),
            ERROR_SUCCESS);
  char text[200] = {};
  DWORD size = sizeof text;
  EXPECT_EQ(win::RegQueryValueExA(key, "SymbolicName", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, "\\??\\USB#VID_2F1A&PID_0101#NW0101A7734#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  win::RegCloseKey(key);

  // The devices with a model have a device file.
  HANDLE file = win::CreateFileA("\\\\.\\USB#VID_2F1A&PID_0101#NW0101A7734#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
                                 GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  win::CloseHandle(file);
  EXPECT_TRUE(demo->machine().usbIo().device(
      "\\\\.\\usb#vid_2f1a&pid_0102#nw0102b1190#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"));

  // Drives and their mount records: the signature form and the device-path form.
  EXPECT_EQ(win::GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << 4));
  EXPECT_EQ(win::GetDriveTypeA("E:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(win::GetDriveTypeA("D:\\"), DRIVE_CDROM);
  ASSERT_EQ(win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", 0, KEY_READ, &key), ERROR_SUCCESS);
  BYTE record[400] = {};
  DWORD type = 0;
  size = sizeof record;
  EXPECT_EQ(win::RegQueryValueExA(key, "\\DosDevices\\C:", nullptr, &type, record, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(record[0], 0x23);
  EXPECT_EQ(record[6], 0x10);
  size = sizeof record;
  EXPECT_EQ(win::RegQueryValueExA(key, "\\DosDevices\\E:", nullptr, &type, record, &size), ERROR_SUCCESS);
  EXPECT_EQ(size % 2, 0u);
  EXPECT_EQ(record[0], '_');
  EXPECT_EQ(record[1], 0);
  win::RegCloseKey(key);
}

// A device handed to a real driver has no file of the simulator's: only a hosted
// machine opens it, in its host (tests/driver).
TEST(DescriptionTest, ARealDeviceHasNoSimulatedFile) {
  auto demo = sim::loadMachine("demo-driver");
  const std::string logger = "\\\\.\\USB#VID_2F1A&PID_0102#NW0102B1190#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  EXPECT_EQ(demo->machine().usbIo().realDevice(logger), "\\\\.\\PxusbLoopback");
  win::SetLastError(pxtest::kSentinel);
  EXPECT_EQ(win::CreateFileA(logger.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

#ifndef _WIN32  // reads the source tree by its path
TEST(DescriptionTest, TheDocumentedExampleLoads) {
  std::string here = __FILE__;
  std::ifstream doc(here.substr(0, here.rfind("tests/")) + "docs/machine-description.md");
  ASSERT_TRUE(doc) << "docs/machine-description.md";
  std::stringstream text;
  text << doc.rdbuf();
  std::string all = text.str();
  size_t start = all.find("```json\n", all.find("## Complete example"));
  ASSERT_NE(start, std::string::npos);
  start += 8;
  std::string json = all.substr(start, all.find("```", start) - start);
  sim::DescribedMachine machine(json);
  EXPECT_FALSE(machine.machine().devices().devices().empty());
}

TEST(DescriptionTest, TheHotPlugScenarioLoads) {
  std::string here = __FILE__;
  EXPECT_NO_THROW(sim::loadMachine(here.substr(0, here.rfind("tests/")) + "docs/logger-replug.json"));
}
#endif

}  // namespace
