// Drive letters of USB storage: the drive table from the mount records, both passes
// of the letter search, and the volumes of storage devices.
#include "topology/topology.h"

#include "platform/sim/hotplug.h"

namespace {

using pxtest::OneHub;

std::vector<std::pair<WPARAM, DWORD>> g_volumes;  // the volume broadcasts heard: event, drive letters
LRESULT CALLBACK HearVolumes(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  const auto* v = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lParam);
  if (msg == WM_DEVICECHANGE && v && v->dbcv_devicetype == DBT_DEVTYP_VOLUME) g_volumes.push_back({wParam, v->dbcv_unitmask});
  return win::DefWindowProcA(hwnd, msg, wParam, lParam);
}

class VolumesTest : public pxtest::TopologyTest {};

TEST_F(VolumesTest, DriveTableAndBothSearchPasses) {
  pxtest::RecordingLog log;
  manager.Log = &log;
  Load(R"({"drives": [
    {"letter": "C", "mount": {"signature": "0x5A", "offset": "0x7E00"}},
    {"letter": "F", "mount": {"signature": "0x1234", "offset": "0x100000"}},
    {"letter": "G", "type": "cdrom"},
    {"letter": "H", "type": "removable",
     "mount": {"device": "\\??\\USBSTOR#Disk&Ven_A&Prod_B&Rev_1#123&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"}},
    {"letter": "K", "mount": {"signature": "0x77", "offset": 0}},
    {"letter": "L", "mount": {"signature": "0x99", "offset": "0x7E00"}},
    {"letter": "M", "mount": {"bytes": "41"}},
    {"letter": "Z", "type": "remote", "mount": {"signature": 1}}]})");
  manager.Log = nullptr;

  // Network drives stay out; letters without a record stay bare.
  ASSERT_EQ(manager.Disks.Count(), 7);
  EXPECT_EQ(manager.Disks.Strings(0), "signature5aoffset7e00");
  EXPECT_EQ(manager.Disks.Strings(1), "signature1234offset100000");
  EXPECT_EQ(manager.Disks.Strings(2), "G");
  EXPECT_EQ(manager.Disks.Strings(3), "usbstor\\disk&ven_a&prod_b&rev_1\\123&0\\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
  EXPECT_EQ(manager.Disks.Strings(4), "signature77offset");
  EXPECT_EQ(manager.Disks.Strings(6), "");  // one odd byte: no character in it
  EXPECT_EQ(log.Lines, std::vector<std::string>{"0:EnumDisks GetDiVolums: C\r\nF\r\nG\r\nH\r\nK\r\nL\r\nM\r\n"});

  // First pass: the identifier contains a line, or a line contains the identifier.
  EXPECT_EQ(manager.FindDiskLetter("STORAGE\\Volume\\1&30a96598&0&Signature5AOffset7E00Length3B9FC00"), "C");
  EXPECT_EQ(manager.FindDiskLetter("USBSTOR\\DISK&VEN_A&PROD_B&REV_1\\123&0"), "H");
  EXPECT_EQ(manager.FindDiskLetter("\\??\\USBSTOR#Disk&Ven_A&Prod_B&Rev_1#123&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"),
            "H");
  // Second pass, from the last line back: the identifier ends with a line's offset.
  EXPECT_EQ(manager.FindDiskLetter("STORAGE\\Volume\\{0b1c}#0000000000100000"), "F");
  EXPECT_EQ(manager.FindDiskLetter("STORAGE\\Volume\\{0b1c}#0000000000007E00"), "L");
  EXPECT_EQ(manager.FindDiskLetter("STORAGE\\Volume\\{0b1c}#0000000000007E00#1"), "");
  // Bare letters, empty tails and empty identifiers match nothing.
  EXPECT_EQ(manager.FindDiskLetter("storage\\volume\\x\\g"), "");
  EXPECT_EQ(manager.FindDiskLetter(""), "");
  EXPECT_EQ(manager.FindDiskLetter("   "), "");
}

TEST_F(VolumesTest, StorageDevicesCollectTheirVolumes) {
  Load(OneHub(4, R"(
    "1": {"vid": 4, "pid": 1, "service": "usbstor", "strings": {"3": "R1"}, "iSerialNumber": 3,
          "storage": [{"letter": "F", "product": "SD Slot"},
                      {"letter": "G", "product": "CF Slot", "mount": {"signature": "0x5A"}}]},
    "2": {"vid": 4, "pid": 2, "service": "USBCCGP", "storage": {"letter": "H"}},
    "3": {"vid": 4, "pid": 3, "service": "WinUSB", "storage": {"letter": "J"}},
    "4": {"vid": 4, "pid": 4, "service": "USBSTOR"})",
                R"(, "drives": [{"letter": "C", "mount": {"signature": 7, "offset": "0x100000"}}])"));
  TpxUsbDevice* reader = At(RootHub(), 1);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->Relations,
            "USBSTOR\\Disk&Ven_Generic&Prod_SD_Slot&Rev_1.00\\R1&0\r\nUSBSTOR\\Disk&Ven_Generic&Prod_CF_Slot&Rev_1.00\\R1&1");
  EXPECT_EQ(reader->Volumes, "F: G: ");
  EXPECT_EQ(At(RootHub(), 2)->Volumes, "H: ");
  // Only the storage services search for volumes.
  EXPECT_EQ(At(RootHub(), 3)->Volumes, "");
  EXPECT_FALSE(At(RootHub(), 3)->Relations.empty());
  // No relations, no volumes.
  EXPECT_EQ(At(RootHub(), 4)->Relations, "");
  EXPECT_EQ(At(RootHub(), 4)->Volumes, "");

  // Unplugged, the reader takes its volumes and their letters along (GetLogicalDrives
  // reports the drives currently available); plugged, it brings them back. Windows
  // are told of both with a volume record.
  WNDCLASSA listener{};
  listener.lpfnWndProc = &HearVolumes;
  listener.lpszClassName = "volumes";
  win::RegisterClassA(&listener);
  HWND window = win::CreateWindowExA(0, "volumes", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  sim::HotPlug hand(described->machine(), Bus());
  const DWORD fg = (1u << ('F' - 'A')) | (1u << ('G' - 'A'));
  ASSERT_TRUE(hand.unplug({0, {1}}));
  EXPECT_EQ(win::GetLogicalDrives() & fg, 0u);
  ASSERT_TRUE(hand.plug({0, {1}}));
  EXPECT_EQ(win::GetLogicalDrives() & fg, fg);
  EXPECT_EQ(g_volumes, (std::vector<std::pair<WPARAM, DWORD>>{{DBT_DEVICEREMOVECOMPLETE, fg}, {DBT_DEVICEARRIVAL, fg}}));
  win::DestroyWindow(window);
  manager.Refresh();
  EXPECT_EQ(At(RootHub(), 1)->Volumes, "F: G: ");
}

}  // namespace
