// Run-time binding of SetupAPI.dll and the configuration manager.
#include "discovery/discovery.h"
#include "lib/pxusbw32.h"

using pxtest::SimDiscoveryTest;

namespace {

CONFIGRET WINAPI OwnChild(PDEVINST, DEVINST, ULONG) { return CR_NO_SUCH_DEVNODE; }

class BindingTest : public SimDiscoveryTest {
 protected:
  FARPROC Export(const char* module, const char* name) {
    return Kernel().findModule(module)->exports.at(name);
  }
  int Loads(const char* module) { return Kernel().loadCount(module); }
  // Device enumeration finds the machine's devices only with a complete binding.
  int Enumerated() {
    pxtest::DeviceList list;
    EnumDevices(&pxtest::kUsbClass, true, true, false, list.list);
    return list.Count();
  }
};

}  // namespace

TEST_F(BindingTest, OneSetupApiThatExportsEverythingIsEnough) {
  FARPROC child = Export("SetupAPI.dll", "CM_Get_Child");
  ASSERT_TRUE(LoadSetupApi());
  EXPECT_EQ(Loads("SetupAPI.dll"), 1);
  EXPECT_EQ(Loads("cfgmgr32.dll"), 0);
  EXPECT_EQ(sim::asExport(SetupApi().CM_Get_Child), child);
  EXPECT_NE(SetupApi().CM_Request_Device_EjectA, nullptr);
  EXPECT_NE(SetupApi().SetupDiOpenDeviceInfoA, nullptr);
  // Bound once: later calls load nothing more.
  EXPECT_TRUE(LoadSetupApi());
  EXPECT_EQ(Loads("SetupAPI.dll"), 1);
  UnloadSetupApi();
  EXPECT_EQ(Loads("SetupAPI.dll"), 0);
  EXPECT_EQ(SetupApi().SetupDiGetClassDevsA, nullptr);
}

TEST_F(BindingTest, WithoutTheLocatorTheConfigurationManagerComesFromCfgmgr32) {
  // What cfgmgr32 exports is told apart from SetupAPI's by replacing one entry.
  Kernel().findModule("cfgmgr32.dll")->exports["CM_Get_Child"] = sim::asExport(&OwnChild);
  Kernel().removeExport("SetupAPI.dll", "CM_Locate_DevNodeA");
  ASSERT_TRUE(LoadSetupApi());
  EXPECT_EQ(Loads("cfgmgr32.dll"), 1);
  EXPECT_EQ(sim::asExport(SetupApi().CM_Get_Child), sim::asExport(&OwnChild));
  EXPECT_EQ(sim::asExport(SetupApi().CM_Locate_DevNodeA),
            Export("cfgmgr32.dll", "CM_Locate_DevNodeA"));
  UnloadSetupApi();  // both go together
  EXPECT_EQ(Loads("SetupAPI.dll"), 0);
  EXPECT_EQ(Loads("cfgmgr32.dll"), 0);
}

TEST_F(BindingTest, OptionalEntriesMayBeMissing) {
  for (const char* name : {"SetupDiRemoveDevice", "SetupDiUnremoveDevice", "SetupDiOpenDeviceInfoA",
                           "CM_Request_Device_EjectA"}) {
    Kernel().removeExport("SetupAPI.dll", name);
  }
  EXPECT_TRUE(LoadSetupApi());
  EXPECT_EQ(SetupApi().SetupDiRemoveDevice, nullptr);
  EXPECT_EQ(SetupApi().CM_Request_Device_EjectA, nullptr);
}

TEST_F(BindingTest, AMissingRequiredEntryFailsAndIsTriedAgainLater) {
  pxtest::UsbMachine usb(Devices());
  FARPROC installer = Export("SetupAPI.dll", "SetupDiCallClassInstaller");
  Kernel().removeExport("SetupAPI.dll", "SetupDiCallClassInstaller");
  EXPECT_FALSE(LoadSetupApi());
  EXPECT_EQ(Loads("SetupAPI.dll"), 0);
  EXPECT_EQ(SetupApi().SetupDiGetClassDevsA, nullptr);  // nothing half-bound
  EXPECT_EQ(Enumerated(), 0);
  std::string text = "stale";
  FindDeviceDescription(usb.hub->driverKey, text);
  EXPECT_EQ(text, "");

  Kernel().findModule("SetupAPI.dll")->exports["SetupDiCallClassInstaller"] = installer;
  EXPECT_TRUE(LoadSetupApi());
  EXPECT_EQ(Enumerated(), 5);
}

TEST_F(BindingTest, AMissingLibraryFailsTheBinding) {
  // cfgmgr32 needed but absent: SetupAPI is released as well.
  Kernel().removeExport("SetupAPI.dll", "CM_Locate_DevNodeA");
  Kernel().removeModule("cfgmgr32.dll");
  EXPECT_FALSE(LoadSetupApi());
  EXPECT_EQ(Loads("SetupAPI.dll"), 0);
  // A cfgmgr32 without a required entry: both released.
  sim::addSetupModules(Kernel());
  Kernel().removeExport("SetupAPI.dll", "CM_Locate_DevNodeA");
  Kernel().removeExport("cfgmgr32.dll", "CM_Get_Sibling");
  EXPECT_FALSE(LoadSetupApi());
  EXPECT_EQ(Loads("SetupAPI.dll"), 0);
  EXPECT_EQ(Loads("cfgmgr32.dll"), 0);
  Kernel().removeModule("SetupAPI.dll");
  EXPECT_FALSE(LoadSetupApi());
}

TEST(BindingLifetime, ABindingIsNotCarriedOverToTheNextMachine) {
  {
    sim::SimMachine first;
    ASSERT_TRUE(LoadSetupApi());
  }
  sim::SimMachine second;
  second.kernel().removeExport("SetupAPI.dll", "SetupDiCallClassInstaller");
  EXPECT_FALSE(LoadSetupApi());
  EXPECT_EQ(second.kernel().loadCount("SetupAPI.dll"), 0);
  EXPECT_EQ(SetupApi().SetupDiGetClassDevsA, nullptr);
}

class BindingBackendTest : public pxtest::BackendTest {};
PX_INSTANTIATE_BACKENDS(BindingBackendTest);

TEST_P(BindingBackendTest, BindsThePlatformLibraries) {
  ASSERT_TRUE(LoadSetupApi());
  EXPECT_NE(SetupApi().SetupDiGetDeviceInterfaceDetailA, nullptr);
  EXPECT_NE(SetupApi().CM_Get_Device_ID_ListA, nullptr);
  EXPECT_TRUE(LoadSetupApi());
}
