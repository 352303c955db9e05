// SetupAPI's argument and size rules, checked against Windows (Wine) so the
// simulator answers as the platform does.
#include <cstddef>
#include <cstring>
#include <optional>

#include "discovery/discovery.h"

using pxtest::kSentinel;

class SetupApiTest : public pxtest::BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (Simulated()) usb_.emplace(Machine().devices());
    ASSERT_TRUE(LoadSetupApi());
  }
  const TpxSetupApi& Api() { return SetupApi(); }

 private:
  std::optional<pxtest::UsbMachine> usb_;
};
PX_INSTANTIATE_BACKENDS(SetupApiTest);

TEST_P(SetupApiTest, SizesAndRecordsAreCheckedExactly) {
  win::SetLastError(kSentinel);
  EXPECT_EQ(Api().SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);

  HDEVINFO set =
      Api().SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data - 1;
  win::SetLastError(kSentinel);
  EXPECT_FALSE(Api().SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_USER_BUFFER);
  data.cbSize = sizeof data;
  ASSERT_TRUE(Api().SetupDiEnumDeviceInfo(set, 0, &data));
  SP_DEVINFO_DATA beyond = data;
  EXPECT_FALSE(Api().SetupDiEnumDeviceInfo(set, 100000, &beyond));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  // Instance ID: none, one short, exact.
  DWORD required = kSentinel;
  EXPECT_FALSE(Api().SetupDiGetDeviceInstanceIdA(set, &data, nullptr, 0, &required));
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(required, 1u);
  ASSERT_LT(required, 512u);
  char id[512];
  DWORD needed = required;
  EXPECT_FALSE(Api().SetupDiGetDeviceInstanceIdA(set, &data, id, needed - 1, &required));
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, needed);
  EXPECT_TRUE(Api().SetupDiGetDeviceInstanceIdA(set, &data, id, needed, &required));
  EXPECT_EQ(std::string(id).size() + 1, needed);

  // A property: too small, then large enough; an unknown property code.
  BYTE property[512];
  DWORD type = kSentinel;
  required = kSentinel;
  EXPECT_FALSE(Api().SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, &type,
                                                       property, 1, &required));
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  ASSERT_LE(required, sizeof property);
  EXPECT_TRUE(Api().SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, &type, property,
                                                      required, &required));
  EXPECT_EQ(property[required - 1], 0);
  EXPECT_EQ(property[required - 2], 0);  // a multi-string ends in two zeros
  win::SetLastError(kSentinel);
  EXPECT_FALSE(Api().SetupDiGetDeviceRegistryPropertyA(set, &data, 0x1000, nullptr, property,
                                                       sizeof property, nullptr));
  // Windows says ERROR_INVALID_REG_PROPERTY; Wine fails without setting an error.
  if (Simulated()) {
    EXPECT_EQ(win::GetLastError(), ERROR_INVALID_REG_PROPERTY);
  }

  // The hardware key opens for reading.
  HKEY key =
      Api().SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  ASSERT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(win::RegCloseKey(key), ERROR_SUCCESS);

  EXPECT_TRUE(Api().SetupDiDestroyDeviceInfoList(set));
  if (Simulated()) {
    EXPECT_EQ(Machine().devices().infoSets(), 0u);
  }
}

TEST_P(SetupApiTest, InterfaceDetailsTakeTheSizeTheQueryGave) {
  // Wine has no USB devices, but HID ones with their interfaces.
  const GUID hidInterface = {
      0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
  const GUID& cls = Simulated() ? pxtest::kUsbDeviceInterface : hidInterface;
  HDEVINFO set =
      Api().SetupDiGetClassDevsA(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof interfaceData;
  ASSERT_TRUE(Api().SetupDiEnumDeviceInterfaces(set, nullptr, &cls, 0, &interfaceData));
  EXPECT_EQ(interfaceData.InterfaceClassGuid, cls);

  DWORD required = 0;
  win::SetLastError(kSentinel);
  EXPECT_FALSE(
      Api().SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1);
  ASSERT_LT(required, 1024u);
  alignas(8) BYTE block[1024] = {};
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block);
  // The record's cbSize is its own size, nothing else.
  detail->cbSize = required;
  EXPECT_FALSE(Api().SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required,
                                                      nullptr, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_USER_BUFFER);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_FALSE(Api().SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required - 1,
                                                      nullptr, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(Api().SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, nullptr,
                                                     &data));
  EXPECT_EQ(
      std::strlen(detail->DevicePath) + 1 + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
      required);
  // The device data that came with it names a member of the set.
  char id[512];
  EXPECT_TRUE(Api().SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof id, nullptr));
  EXPECT_TRUE(Api().SetupDiDestroyDeviceInfoList(set));
}
