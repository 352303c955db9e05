// Device enumeration, identity strings, related IDs, drive letters and the
// description search, on simulated machines and over Wine's own device tree.
#include <cstring>
#include <optional>

#include "discovery/discovery.h"
#include "lib/pxusbw32.h"

using pxtest::DeviceList;
using pxtest::kUsbClass;
using pxtest::kUsbDeviceInterface;
using pxtest::UsbMachine;

namespace {

class EnumTest : public pxtest::SimDiscoveryTest {
 protected:
  void TearDown() override {
    ExpectNothingLeftOpen();
    SimDiscoveryTest::TearDown();
  }
  std::string Description(const std::string& driverKey) {
    std::string text = "stale";
    FindDeviceDescription(driverKey, text);
    return text;
  }
  UsbMachine usb{Devices()};
};

const TpxDevice* ByInstance(const DeviceList& list, const std::string& id) {
  for (int i = 0; i < list.Count(); ++i) {
    if (list[i].InstanceId == id) return &list[i];
  }
  return nullptr;
}

}  // namespace

TEST_F(EnumTest, PerDeviceRecordsCarryTheIdentityStrings) {
  DeviceList list;
  EnumDevices(&kUsbClass, true, true, false, list.list);
  ASSERT_EQ(list.Count(), 5);
  const sim::DevNode& node = *usb.devices[0];
  const TpxDevice* device = ByInstance(list, node.instanceId);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(list.list.Strings(list.list.IndexOfObject(const_cast<TpxDevice*>(device))),
            node.driverKey);
  EXPECT_EQ(device->DriverKey, node.driverKey);
  EXPECT_EQ(device->Service, "WinUSB");
  EXPECT_EQ(device->PhysicalName, node.pdoName);
  EXPECT_EQ(device->Description, "Test device 2");
  EXPECT_EQ(device->Manufacturer, node.manufacturer);
  EXPECT_EQ(device->ClassGuid, kUsbClass);
  EXPECT_EQ(device->KeyName,
            "SYSTEM\\ControlSet001\\Enum\\" + node.instanceId + "\\Device Parameters");
  EXPECT_EQ(device->DevicePath, node.interfaces[0].path);  // its "SymbolicName"
  EXPECT_EQ(device->PortName, "COM7");
  EXPECT_EQ(device->DevInst, node.devInst);
  EXPECT_EQ(device->Relations, "");
  EXPECT_EQ(device->Index, 0);
  EXPECT_EQ(device->SerialNumber, "");

  // No values in the hardware key: no path, no port name, but the key's name.
  const TpxDevice* plain = ByInstance(list, usb.devices[1]->instanceId);
  ASSERT_NE(plain, nullptr);
  EXPECT_FALSE(plain->KeyName.empty());
  EXPECT_EQ(plain->DevicePath, "");
  EXPECT_EQ(plain->PortName, "");

  // The hub's bus relations: its three devices, no separator at the end.
  const TpxDevice* hub = ByInstance(list, usb.hub->instanceId);
  ASSERT_NE(hub, nullptr);
  EXPECT_EQ(hub->Relations, usb.devices[0]->instanceId + ";" + usb.devices[1]->instanceId + ";" +
                                usb.devices[2]->instanceId);
}

TEST_F(EnumTest, WhatIsListedFollowsTheFlags) {
  usb.devices[2]->present = false;
  DeviceList present;
  EnumDevices(&kUsbClass, true, true, false, present.list);
  EXPECT_EQ(present.Count(), 4);
  EXPECT_EQ(ByInstance(present, usb.devices[2]->instanceId), nullptr);
  EXPECT_EQ(ByInstance(present, usb.hub->instanceId)->Relations.find(usb.devices[2]->instanceId),
            std::string::npos);
  DeviceList all;
  EnumDevices(&kUsbClass, false, true, false, all.list);
  EXPECT_EQ(all.Count(), 5);
  DeviceList everything;
  EnumDevices(nullptr, true, true, false, everything.list);
  EXPECT_EQ(everything.Count(), 5);  // the serial port in, the unplugged device out
  EXPECT_NE(ByInstance(everything, usb.port->instanceId), nullptr);

  // A class without devices leaves the list as it was.
  DeviceList none;
  none.list.Add("kept");
  EnumDevices(&pxtest::kHidClass, true, true, false, none.list);
  EXPECT_EQ(none.list.Count(), 1);
}

TEST_F(EnumTest, InterfacesGiveTheirDevicePaths) {
  DeviceList perDevice;
  EnumDevices(&kUsbDeviceInterface, true, true, true, perDevice.list);
  ASSERT_EQ(perDevice.Count(), 3);
  const TpxDevice* second = ByInstance(perDevice, usb.devices[1]->instanceId);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->DevicePath, usb.devices[1]->interfaces[0].path);

  DeviceList perInterface;
  EnumDevices(&kUsbDeviceInterface, true, false, true, perInterface.list);
  ASSERT_EQ(perInterface.Count(), 3);
  for (int i = 0; i < 3; ++i) {
    const sim::DevNode& node = *usb.devices[static_cast<size_t>(i)];
    EXPECT_EQ(perInterface[i].DevicePath, node.interfaces[0].path);
    EXPECT_EQ(perInterface[i].DriverKey, node.driverKey);
    EXPECT_EQ(perInterface[i].ClassGuid, kUsbClass);
    EXPECT_EQ(perInterface[i].KeyName, "");
    EXPECT_EQ(perInterface[i].InstanceId, "");
    EXPECT_EQ(perInterface[i].DevInst, 0u);
  }
}

TEST_F(EnumTest, UnreadableFieldsStayEmptyAndTheRecordIsStillAdded) {
  // No hardware key at all.
  Registry().deleteTree(HKEY_LOCAL_MACHINE, sim::DeviceTree::hardwareKeyPath(*usb.devices[0]));
  // An instance ID too long for the 256-character read.
  sim::DevNode& longId =
      Devices().add(*usb.hub, "USB\\VID_1234&PID_0009\\" + std::string(240, 'L'));
  longId.classGuid = kUsbClass;
  // Properties as a broken installer wrote them: no zero, more than 512 bytes, exactly 512.
  usb.devices[1]->rawProperties[SPDRP_SERVICE] = {'W', 'i', 'n', 'U', 'S', 'B'};
  usb.devices[1]->rawProperties[SPDRP_DEVICEDESC] = std::vector<BYTE>(513, 'D');
  std::vector<BYTE> full(512, 'M');
  full.back() = 0;
  usb.devices[1]->rawProperties[SPDRP_MFG] = full;

  DeviceList list;
  EnumDevices(&kUsbClass, true, true, false, list.list);
  ASSERT_EQ(list.Count(), 6);
  const TpxDevice* keyless = ByInstance(list, usb.devices[0]->instanceId);
  ASSERT_NE(keyless, nullptr);
  EXPECT_EQ(keyless->KeyName, "");
  EXPECT_EQ(keyless->DevicePath, "");
  EXPECT_EQ(keyless->PortName, "");
  const TpxDevice& last = list[5];
  EXPECT_EQ(list.list.Strings(5), "");  // no driver: listed under an empty string
  EXPECT_EQ(last.InstanceId, "");
  EXPECT_EQ(last.DevInst, 0u);
  EXPECT_EQ(last.Relations, "");
  EXPECT_FALSE(last.KeyName.empty());
  const TpxDevice* broken = ByInstance(list, usb.devices[1]->instanceId);
  ASSERT_NE(broken, nullptr);
  EXPECT_EQ(broken->Service, "WinUS");  // the last byte taken for the zero
  EXPECT_EQ(broken->Description, "");
  EXPECT_EQ(broken->Manufacturer, std::string(511, 'M'));
}

namespace {

// The device ID list read, with something done to the tree between size and read.
FARPROC g_realIdList = nullptr;
std::function<void()> g_between;

CONFIGRET WINAPI IdListAfterChange(PCSTR filter, PCHAR buffer, ULONG length, ULONG flags) {
  g_between();
  return reinterpret_cast<PFN_CM_Get_Device_ID_ListA>(reinterpret_cast<void*>(g_realIdList))(
      filter, buffer, length, flags);
}

CONFIGRET WINAPI IdListWithoutZeros(PCSTR, PCHAR buffer, ULONG length, ULONG) {
  std::memset(buffer, 'X', length);
  return CR_SUCCESS;
}

}  // namespace

TEST_F(EnumTest, RelationListsThatChangeOrLackTheirEndStayInsideTheBuffer) {
  sim::Module& setupApi = *Kernel().findModule("SetupAPI.dll");
  g_realIdList = setupApi.exports.at("CM_Get_Device_ID_ListA");
  setupApi.exports["CM_Get_Device_ID_ListA"] = sim::asExport(&IdListAfterChange);
  ASSERT_TRUE(LoadSetupApi());
  std::string text = "stale";

  // Grown: the read does not fit and gives nothing.
  g_between = [&] { Devices().add(*usb.hub, "USB\\VID_1234&PID_0004\\SN0004"); };
  GetDeviceIdList(usb.hub->instanceId, "\r\n", true, text);
  EXPECT_EQ(text, "");
  // Shrunk: the list as it is now, without separators for the spare room.
  g_between = [&] { usb.devices[0]->present = false; };
  GetDeviceIdList(usb.hub->instanceId, ";", true, text);
  EXPECT_EQ(text, usb.devices[1]->instanceId + ";" + usb.devices[2]->instanceId +
                      ";USB\\VID_1234&PID_0004\\SN0004");

  UnloadSetupApi();
  setupApi.exports["CM_Get_Device_ID_ListA"] = sim::asExport(&IdListWithoutZeros);
  ASSERT_TRUE(LoadSetupApi());
  GetDeviceIdList(usb.hub->instanceId, ";", true, text);
  ULONG size = 0;
  ASSERT_EQ(SetupApi().CM_Get_Device_ID_List_SizeA(&size, usb.hub->instanceId.c_str(),
                                                   CM_GETIDLIST_FILTER_BUSRELATIONS),
            CR_SUCCESS);
  EXPECT_EQ(text, std::string(size - 1, 'X'));
}

TEST_F(EnumTest, RemovalRelationsAndUnboundCalls) {
  std::string text = "stale";
  GetDeviceIdList(usb.hub->instanceId, ";", true, text);  // not bound yet: nothing
  EXPECT_EQ(text, "");
  ASSERT_TRUE(LoadSetupApi());
  usb.devices[0]->removalRelations = {"USBSTOR\\DISK&VEN_X\\1", "STORAGE\\VOLUME\\1"};
  GetDeviceIdList(usb.devices[0]->instanceId, "\r\n", false, text);
  EXPECT_EQ(text, "USBSTOR\\DISK&VEN_X\\1\r\nSTORAGE\\VOLUME\\1");
  GetDeviceIdList(usb.devices[1]->instanceId, "\r\n", true, text);
  EXPECT_EQ(text, "");
  GetDeviceIdList("USB\\NO_SUCH_DEVICE\\1", ";", true, text);
  EXPECT_EQ(text, "");
}

TEST_F(EnumTest, FindDeviceDescriptionMatchesTheDriverKeyExactly) {
  EXPECT_EQ(Description(usb.devices[2]->driverKey), "Test device 4");
  EXPECT_EQ(Description(usb.port->driverKey), "Communications Port");
  std::string upper = usb.devices[2]->driverKey;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(Description(upper), "");
  EXPECT_EQ(Description("{no-such-key}\\0000"), "");

  // Two devices with one driver key: the first in depth-first order wins, here the
  // one below the hub rather than the root's later child.
  usb.port->driverKey = usb.devices[1]->driverKey;
  EXPECT_EQ(Description(usb.port->driverKey), "Test device 3");
  // A match without a description gives empty; the search still stops there.
  usb.devices[1]->description.clear();
  EXPECT_EQ(Description(usb.port->driverKey), "");
  // Unplugged devices are not in the tree.
  usb.devices[1]->present = false;
  EXPECT_EQ(Description(usb.port->driverKey), "Communications Port");
}

TEST_F(EnumTest, FindDeviceDescriptionBoundsUnterminatedProperties) {
  // A driver key that fills the whole buffer, and a description without its zero
  // that is shorter than what the buffer held before.
  usb.controller->rawProperties[SPDRP_DRIVER] = std::vector<BYTE>(512, 'K');
  EXPECT_EQ(Description(std::string(512, 'K')), usb.controller->description);
  usb.controller->rawProperties[SPDRP_DEVICEDESC] = {'H', 'C'};
  EXPECT_EQ(Description(std::string(512, 'K')), "HC");
}

TEST_F(EnumTest, GetDiVolumsListsTheChosenKinds) {
  Kernel().setDrives({{'C', DRIVE_FIXED},
                      {'F', DRIVE_FIXED},
                      {'G', DRIVE_CDROM},
                      {'H', DRIVE_FIXED},
                      {'N', DRIVE_REMOTE},
                      {'R', DRIVE_RAMDISK},
                      {'U', DRIVE_REMOVABLE}});
  std::string text = "stale";
  GetDiVolums(false, false, true, false, false, "\r\n", text);
  EXPECT_EQ(text, "C\r\nF\r\nH");
  GetDiVolums(false, true, true, true, true, "\r\n", text);
  EXPECT_EQ(text, "C\r\nF\r\nG\r\nH\r\nR\r\nU");
  GetDiVolums(true, false, false, false, false, ";", text);
  EXPECT_EQ(text, "N;");  // a printable separator stays
  GetDiVolums(false, false, false, false, false, "\r\n", text);
  EXPECT_EQ(text, "");
}

// Over whatever the platform's device tree holds: no crash, and records that agree
// with each other and with the configuration manager.
class EnumBackendTest : public pxtest::BackendTest {};
PX_INSTANTIATE_BACKENDS(EnumBackendTest);

TEST_P(EnumBackendTest, RecordsAgreeWithTheDeviceTree) {
  std::optional<UsbMachine> usb;
  if (Simulated()) usb.emplace(Machine().devices());
  DeviceList list;
  EnumDevices(nullptr, true, true, false, list.list);
  if (Simulated()) {
    EXPECT_EQ(list.Count(), 6);
  }
  ASSERT_TRUE(LoadSetupApi());
  // Wine's configuration manager has no devnode tree (CM_Locate_DevNodeA answers
  // CR_FAILURE), so the description search finds nothing there.
  DEVINST root = 0;
  const bool tree = SetupApi().CM_Locate_DevNodeA(&root, nullptr, 0) == CR_SUCCESS;
  for (int i = 0; i < list.Count(); ++i) {
    const TpxDevice& device = list[i];
    SCOPED_TRACE(device.InstanceId);
    EXPECT_EQ(list.list.Strings(i), device.DriverKey);
    if (device.InstanceId.empty()) {
      EXPECT_EQ(device.DevInst, 0u);
      EXPECT_EQ(device.Relations, "");
    }
    // Relative to HKEY_LOCAL_MACHINE; Wine's native names spell \REGISTRY\Machine\,
    // which the case-sensitive test leaves in their native form.
    if (!device.KeyName.empty()) {
      EXPECT_TRUE(device.KeyName[0] != '\\' ||
                  device.KeyName.rfind("\\REGISTRY\\Machine\\", 0) == 0)
          << device.KeyName;
    }
    if (tree && !device.InstanceId.empty()) {
      DEVINST located = 0;
      std::string id = device.InstanceId;
      EXPECT_EQ(SetupApi().CM_Locate_DevNodeA(&located, &id[0], 0), CR_SUCCESS);
      EXPECT_EQ(located, device.DevInst);
    }
    if (!device.DriverKey.empty()) {
      std::string description = "stale";
      FindDeviceDescription(device.DriverKey, description);
      EXPECT_EQ(description, tree ? device.Description : "");
    }
  }
  DeviceList interfaces;
  EnumDevices(&kUsbDeviceInterface, true, false, true, interfaces.list);
  for (int i = 0; i < interfaces.Count(); ++i) EXPECT_FALSE(interfaces[i].DevicePath.empty());
}

TEST_P(EnumBackendTest, GetDiVolumsGivesDrivesOfTheChosenKinds) {
  std::string text;
  GetDiVolums(true, true, true, true, true, ";", text);
  DWORD drives = win::GetLogicalDrives();
  char previous = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    char letter = text[i];
    EXPECT_EQ(text[i + 1], ';');
    EXPECT_GT(letter, previous);  // ascending, each once
    EXPECT_TRUE(drives & (1u << (letter - 'A'))) << letter;
    previous = letter;
  }
  std::string fixed;
  GetDiVolums(false, false, true, false, false, ";", fixed);
  for (char c : fixed) EXPECT_TRUE(c == ';' || text.find(c) != std::string::npos);
}
