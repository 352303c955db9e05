// Registry and string helpers: the simulator, and Windows (Wine) where it has data.
#include <cstring>

#include "discovery/discovery.h"
#include "lib/pxsysutils.h"
#include "lib/pxwin32.h"

using pxtest::kSentinel;

namespace {

HKEY SentinelKey() { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(kSentinel)); }

}  // namespace

TEST(MultiSzToString, JoinsTheListAndNeverReadsItsLastByte) {
  std::string text = "stale";
  MultiSzToString("A\0B\0", 5, ";", text);  // the literal's own zero is the fifth byte
  EXPECT_EQ(text, "A;B");
  MultiSzToString("A\0B\0\0", 6, ";", text);
  EXPECT_EQ(text, "A;B;");
  MultiSzToString("A\0\0B\0", 6, "\r\n", text);
  EXPECT_EQ(text, "A\r\n\r\nB");
  MultiSzToString("", 1, ";", text);
  EXPECT_EQ(text, "");
  MultiSzToString("\0", 2, ";", text);
  EXPECT_EQ(text, "");
  // No final zero at all: everything but the last byte, and nothing beyond it.
  const char unterminated[4] = {'W', 'X', 'Y', 'Z'};
  MultiSzToString(unterminated, 4, ";", text);
  EXPECT_EQ(text, "WXY");
  MultiSzToString(nullptr, 8, ";", text);
  EXPECT_EQ(text, "");
}

TEST(SymbolicNameToDeviceId, GivesTheInstanceIdFollowedByTheClass) {
  std::string id;
  SymbolicNameToDeviceId("\\??\\USB#VID_1234&PID_5678#SN01#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
                         id);
  EXPECT_EQ(id, "USB\\VID_1234&PID_5678\\SN01\\{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  SymbolicNameToDeviceId(std::string("_??_USBSTOR#Disk&Ven_X#7&1#{53f5}") + std::string(2, '\0'),
                         id);
  EXPECT_EQ(id, "USBSTOR\\Disk&Ven_X\\7&1\\{53f5}");
  SymbolicNameToDeviceId("  USB\\VID_1234&PID_5678\\SN01\t", id);
  EXPECT_EQ(id, "USB\\VID_1234&PID_5678\\SN01");
  // Only the exact prefixes go; the letter case stays.
  SymbolicNameToDeviceId("\\\\?\\usb#vid_1234", id);
  EXPECT_EQ(id, "\\\\?\\usb\\vid_1234");
}

class RegistryTest : public pxtest::BackendTest {};
PX_INSTANTIATE_BACKENDS(RegistryTest);

TEST_P(RegistryTest, ReadRegStringKeepsTheBytesOfEveryType) {
  const char* path = "Software\\pxusb-discovery-test";
  HKEY key = nullptr;
  ASSERT_EQ(win::RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 &key, nullptr),
            ERROR_SUCCESS);
  auto set = [&](const char* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(win::RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  };
  const BYTE binary[12] = {1, 0, 2, 0, 0, 3, 4, 5, 0, 6, 7, 0};
  const DWORD number = 0x00010203;
  set("PortName", REG_SZ, "COM3", 5);
  set("Unterminated", REG_SZ, "COM4", 4);
  set("Odd", REG_SZ, "ABC", 3);
  set("Binary", REG_BINARY, binary, sizeof binary);
  set("Multi", REG_MULTI_SZ, "A\0B\0", 5);
  set("Number", REG_DWORD, &number, sizeof number);
  set("", REG_SZ, "default", 8);
  win::RegCloseKey(key);

  std::string value = "stale";
  ReadRegString(HKEY_CURRENT_USER, path, "portname", value);  // names ignore case
  EXPECT_EQ(value, "COM3");
  ReadRegString(HKEY_CURRENT_USER, path, "Unterminated", value);
  EXPECT_EQ(value, "COM4");
  ReadRegString(HKEY_CURRENT_USER, path, "Odd", value);
  EXPECT_EQ(value, "ABC");
  ReadRegString(HKEY_CURRENT_USER, path, "Binary", value);
  EXPECT_EQ(value, std::string(reinterpret_cast<const char*>(binary), sizeof binary));
  ReadRegString(HKEY_CURRENT_USER, path, "Multi", value);
  EXPECT_EQ(value, std::string("A\0B\0\0", 5));
  ReadRegString(HKEY_CURRENT_USER, path, "Number", value);
  EXPECT_EQ(value, std::string("\x03\x02\x01\x00", 4));
  ReadRegString(HKEY_CURRENT_USER, path, "", value);
  EXPECT_EQ(value, "default");
  ReadRegString(HKEY_CURRENT_USER, path, "Missing", value);
  EXPECT_EQ(value, "");
  ReadRegString(HKEY_CURRENT_USER, "Software\\pxusb-no-such-key", "PortName", value);
  EXPECT_EQ(value, "");

  EXPECT_EQ(win::RegDeleteKeyA(HKEY_CURRENT_USER, path), ERROR_SUCCESS);
  if (Simulated()) {
    EXPECT_EQ(Machine().registry().openKeys(), 0u);
  }
}

TEST_P(RegistryTest, GetRegKeyPathNamesTheKeyNatively) {
  HKEY key = nullptr;
  ASSERT_EQ(win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", 0,
                               KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  std::string native;
  GetRegKeyPath(key, nullptr, native);
  // Windows: \REGISTRY\MACHINE\SYSTEM\ControlSet001\Control; Wine keeps its own case
  // (\REGISTRY\Machine\System\...).
  ASSERT_GT(native.size(), 18u);
  EXPECT_TRUE(CompareText(native.substr(0, 25), "\\REGISTRY\\MACHINE\\SYSTEM\\") == 0) << native;
  EXPECT_TRUE(CompareText(native.substr(native.size() - 8), "\\Control") == 0) << native;

  HKEY root = SentinelKey();
  std::string relative;
  GetRegKeyPath(key, &root, relative);
  if (native.compare(0, 18, "\\REGISTRY\\MACHINE\\") == 0) {
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(relative, native.substr(18));
  } else {
    // Wine's "\Machine\" misses the case-sensitive test: no root, the native path.
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(relative, native);
  }
  win::RegCloseKey(key);

  const char* path = "Software\\pxusb-discovery-path";
  ASSERT_EQ(win::RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 &key, nullptr),
            ERROR_SUCCESS);
  GetRegKeyPath(key, nullptr, native);
  EXPECT_TRUE(CompareText(native.substr(0, 15), "\\REGISTRY\\USER\\") == 0) << native;
  root = SentinelKey();
  GetRegKeyPath(key, &root, relative);
  if (native.compare(0, 15, "\\REGISTRY\\USER\\") == 0) {
    EXPECT_EQ(root, HKEY_CURRENT_USER);
    EXPECT_EQ(relative, path);
  } else {
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(relative, native);
  }
  win::RegCloseKey(key);
  win::RegDeleteKeyA(HKEY_CURRENT_USER, path);

  // A key that is no key gives nothing and leaves Root alone.
  root = SentinelKey();
  GetRegKeyPath(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), &root, relative);
  EXPECT_EQ(relative, "");
  EXPECT_EQ(root, SentinelKey());
}

TEST_P(RegistryTest, ZwQueryKeyReportsTheLengthOfTheName) {
  HKEY key = nullptr;
  ASSERT_EQ(win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  HMODULE ntdll = win::LoadLibraryA("ntdll.dll");
  ASSERT_NE(ntdll, nullptr);
  auto query = win::procAddress<PFN_ZwQueryKey>(ntdll, "ZwQueryKey");
  ASSERT_NE(query, nullptr);
  const ULONG needed = 4 + 2 * static_cast<ULONG>(std::strlen("\\REGISTRY\\MACHINE\\SYSTEM"));
  ULONG length = kSentinel;
  EXPECT_EQ(query(key, KeyNameInformation, nullptr, 0, &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, needed);
  // Room for part of the name: the part, the full length, and an overflow warning.
  BYTE buffer[64];
  std::memset(buffer, 0xcc, sizeof buffer);
  length = kSentinel;
  EXPECT_EQ(query(key, KeyNameInformation, buffer, 8, &length), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(length, needed);
  EXPECT_EQ(reinterpret_cast<KEY_NAME_INFORMATION*>(buffer)->NameLength, needed - 4);
  EXPECT_EQ(buffer[4], '\\');
  EXPECT_EQ(buffer[8], 0xcc);
  EXPECT_EQ(query(key, KeyNameInformation, buffer, needed, &length), STATUS_SUCCESS);
  EXPECT_EQ(buffer[needed], 0xcc);  // no terminator written
  win::FreeLibrary(ntdll);
  win::RegCloseKey(key);
}

namespace {

// ntdll's name query with the answers a test chooses.
struct FakeName {
  std::u16string name;
  ULONG reported = 0;  // length the size query reports (0: the true one)
  bool fill = false;   // the read fills the whole buffer with name characters
};
FakeName g_fake;

NTSTATUS WINAPI FakeZwQueryKey(HANDLE, ULONG, PVOID buffer, ULONG length, PULONG result) {
  ULONG needed = 4 + 2 * static_cast<ULONG>(g_fake.name.size());
  *result = g_fake.reported ? g_fake.reported : needed;
  if (length < *result || !buffer) return STATUS_BUFFER_TOO_SMALL;
  auto* bytes = static_cast<BYTE*>(buffer);
  std::memset(bytes, g_fake.fill ? 'A' : 0, length);
  std::memcpy(bytes + 4, g_fake.name.data(), std::min<size_t>(length - 4, g_fake.name.size() * 2));
  return STATUS_SUCCESS;
}

class KeyPathTest : public pxtest::SimDiscoveryTest {
 protected:
  void SetUp() override {
    g_fake = FakeName();
    Kernel().addModule("ntdll.dll", {{"ZwQueryKey", sim::asExport(&FakeZwQueryKey)}});
    ASSERT_EQ(win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &key_), ERROR_SUCCESS);
  }
  void TearDown() override {
    win::RegCloseKey(key_);
    ExpectNothingLeftOpen();
    SimDiscoveryTest::TearDown();
  }
  std::string Map(const std::u16string& name, HKEY* root) {
    g_fake.name = name;
    std::string path = "stale";
    GetRegKeyPath(key_, root, path);
    return path;
  }
  HKEY key_ = nullptr;
};

}  // namespace

TEST_F(KeyPathTest, MapsTheNativeRootsCaseSensitively) {
  HKEY root = SentinelKey();
  EXPECT_EQ(Map(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\X", &root),
            "SYSTEM\\CurrentControlSet\\Enum\\USB\\X");
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(Map(u"\\REGISTRY\\USER\\S-1-5-21-7-1001\\Software\\X", &root), "Software\\X");
  EXPECT_EQ(root, HKEY_CURRENT_USER);
  root = SentinelKey();
  EXPECT_EQ(Map(u"\\REGISTRY\\USER\\S-1-5-21-7-1001", &root), "S-1-5-21-7-1001");
  EXPECT_EQ(root, HKEY_CURRENT_USER);
  root = SentinelKey();
  EXPECT_EQ(Map(u"\\REGISTRY\\A\\B", &root), "\\REGISTRY\\A\\B");
  EXPECT_EQ(root, nullptr);
  root = SentinelKey();
  EXPECT_EQ(Map(u"\\REGISTRY\\Machine\\System", &root), "\\REGISTRY\\Machine\\System");
  EXPECT_EQ(root, nullptr);
  // Without Root the native form stays; characters outside ASCII arrive in the ANSI page.
  EXPECT_EQ(Map(u"\\REGISTRY\\MACHINE\\Gr\u00fc\u00dfe", nullptr),
            "\\REGISTRY\\MACHINE\\Gr\xfc\xdf"
            "e");
}

TEST_F(KeyPathTest, HostileRepliesNeverReachPastTheBuffer) {
  HKEY root = SentinelKey();
  g_fake.reported = 0xFFFFFFFFu;  // no such allocation is made
  EXPECT_EQ(Map(u"\\REGISTRY\\MACHINE\\X", &root), "");
  g_fake.reported = 2;  // shorter than the record's header
  EXPECT_EQ(Map(u"\\REGISTRY\\MACHINE\\X", &root), "");
  EXPECT_EQ(root, SentinelKey());
  // A name with no zero anywhere, the two spare bytes overwritten too.
  g_fake.reported = 9;
  g_fake.fill = true;
  // (9 + 2 - 4) / 2 whole characters of U+4141, which the ANSI page lacks.
  EXPECT_EQ(Map(u"", nullptr), "???");
}

TEST_F(KeyPathTest, NeedsNtdllAndItsNameQuery) {
  std::string path = "stale";
  HKEY root = SentinelKey();
  Kernel().removeExport("ntdll.dll", "ZwQueryKey");
  GetRegKeyPath(key_, &root, path);
  EXPECT_EQ(path, "");
  EXPECT_EQ(root, SentinelKey());
  Kernel().removeModule("ntdll.dll");
  GetRegKeyPath(key_, &root, path);
  EXPECT_EQ(path, "");
}

TEST_F(KeyPathTest, TheSimulatedRegistryNamesKeysAsWindowsDoes) {
  sim::addNtdllModule(Kernel());
  Registry().createKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1\\7");
  HKEY key = nullptr;
  ASSERT_EQ(win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\enum\\usb\\vid_1\\7",
                               0, KEY_READ, &key),
            ERROR_SUCCESS);
  HKEY root = nullptr;
  std::string path;
  GetRegKeyPath(key, &root, path);
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(path, "SYSTEM\\ControlSet001\\Enum\\USB\\VID_1\\7");  // the link resolved
  win::RegCloseKey(key);
  ASSERT_EQ(win::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Px", 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &key, nullptr),
            ERROR_SUCCESS);
  GetRegKeyPath(key, nullptr, path);
  EXPECT_EQ(path, std::string("\\REGISTRY\\USER\\") + sim::Registry::kUserSid + "\\Software\\Px");
  win::RegCloseKey(key);
}

TEST_P(RegistryTest, RegQueryValueExReportsTheSizeForEveryBuffer) {
  const char* path = "Software\\pxusb-discovery-sizes";
  HKEY key = nullptr;
  ASSERT_EQ(win::RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(win::RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM12"), 6),
            ERROR_SUCCESS);
  DWORD type = kSentinel;
  DWORD size = kSentinel;
  EXPECT_EQ(win::RegQueryValueExA(key, "Port", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 6u);
  BYTE data[16];
  for (DWORD given : {5u, 6u, 16u}) {
    size = given;
    LONG result = win::RegQueryValueExA(key, "Port", nullptr, nullptr, data, &size);
    EXPECT_EQ(result, given < 6 ? static_cast<LONG>(ERROR_MORE_DATA) : ERROR_SUCCESS) << given;
    EXPECT_EQ(size, 6u) << given;
  }
  EXPECT_EQ(std::memcmp(data, "COM12", 6), 0);
  EXPECT_EQ(win::RegQueryValueExA(key, "None", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  win::RegCloseKey(key);
  // Read access does not write.
  ASSERT_EQ(win::RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  EXPECT_EQ(win::RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>("X"), 2),
            ERROR_ACCESS_DENIED);
  win::RegCloseKey(key);
  EXPECT_EQ(win::RegDeleteKeyA(HKEY_CURRENT_USER, path), ERROR_SUCCESS);
  EXPECT_EQ(win::RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}
