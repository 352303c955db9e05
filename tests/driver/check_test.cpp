// The driver's check of a request, fed the IRP fields Windows passes: for
// METHOD_NEITHER no system buffer, for an empty buffered request none either, for a
// direct request without output no MDL. Wine hides these (it fails such requests
// before the driver sees them), so they are checked here, natively.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/pxusbcheck.h"

namespace {

struct Case {
  const char* what;
  PXUSB_KIND kind;
  uint32_t code;
  bool buffer;  // a system buffer holding the input
  uint32_t in, out;
  bool mdl;
  PXUSB_VERDICT verdict;
};

constexpr uint32_t kRecord = sizeof(PXUSB_RECORD);
constexpr PXUSB_KIND kData = PXUSB_KIND_LOOPBACK, kControl = PXUSB_KIND_CONTROL;

const Case kCases[] = {
    {"neither, no buffer", kControl, PXUSB_CODE(0, PXUSB_METHOD_NEITHER, 0), false, 8, 0, false, PXUSB_UNKNOWN_REQUEST},
    {"neither on a device", kData, PXUSB_CODE(11, PXUSB_METHOD_NEITHER, 0), false, kRecord, 64, false,
     PXUSB_UNKNOWN_REQUEST},
    {"private code, read access", kControl, PXUSB_CODE(32, PXUSB_METHOD_BUFFERED, 1), true, 8, 0, false,
     PXUSB_UNKNOWN_REQUEST},
    {"private on a device", kData, IOCTL_PXUSBDRV_PLUG, true, 8, 0, false, PXUSB_UNKNOWN_REQUEST},
    {"read on the control device", kControl, IOCTL_PXUSB_READ_PIPE, true, kRecord, 64, true, PXUSB_UNKNOWN_REQUEST},
    {"plug without a buffer", kControl, IOCTL_PXUSBDRV_PLUG, false, 0, 0, false, PXUSB_BAD_PARAMETER},
    {"plug, 7 bytes", kControl, IOCTL_PXUSBDRV_PLUG, true, 7, 0, false, PXUSB_BAD_PARAMETER},
    {"plug", kControl, IOCTL_PXUSBDRV_PLUG, true, 8, 0, false, PXUSB_VALID},
    {"counts, short output", kControl, IOCTL_PXUSBDRV_COUNTS, true, 0, 15, false, PXUSB_TOO_SMALL},
    {"counts", kControl, IOCTL_PXUSBDRV_COUNTS, true, 0, 16, false, PXUSB_VALID},
    {"read without a buffer", kData, IOCTL_PXUSB_READ_PIPE, false, 0, 64, true, PXUSB_BAD_PARAMETER},
    {"read, 27-byte record", kData, IOCTL_PXUSB_READ_PIPE, true, 27, 64, true, PXUSB_BAD_PARAMETER},
    {"read, 29-byte record", kData, IOCTL_PXUSB_READ_PIPE, true, 29, 64, true, PXUSB_BAD_PARAMETER},
    {"read without an MDL", kData, IOCTL_PXUSB_READ_PIPE, true, kRecord, 64, false, PXUSB_BAD_PARAMETER},
    {"read of nothing", kData, IOCTL_PXUSB_READ_PIPE, true, kRecord, 0, false, PXUSB_VALID},
    {"read over the cap", kData, IOCTL_PXUSB_READ_PIPE, true, kRecord, PXUSB_MAX_TRANSFER + 1, true,
     PXUSB_BAD_PARAMETER},
    {"write of the cap", kData, IOCTL_PXUSB_WRITE_PIPE, true, kRecord, PXUSB_MAX_TRANSFER, true, PXUSB_VALID},
    {"abort with output", kData, IOCTL_PXUSB_ABORT_PIPE, true, kRecord, 4, false, PXUSB_BAD_PARAMETER},
    {"control in over 16 bits", kData, IOCTL_PXUSB_CONTROL_IN, true, kRecord, 0x10000, false, PXUSB_BAD_PARAMETER},
    {"control out, stage short", kData, IOCTL_PXUSB_CONTROL_OUT, true, kRecord + 3, 4, false, PXUSB_BAD_PARAMETER},
    {"control out", kData, IOCTL_PXUSB_CONTROL_OUT, true, kRecord + 4, 4, false, PXUSB_VALID},
};

TEST(DriverCheckTest, EachCodeChecksItsBuffersAndLengthsBeforeReadingThem) {
  alignas(8) unsigned char input[kRecord + 8] = {};
  for (const Case& c : kCases) {
    PXUSB_REQUEST request{c.code, c.buffer ? input : nullptr, c.in, c.out, c.mdl};
    EXPECT_EQ(PxusbCheckRequest(c.kind, &request), c.verdict) << c.what;
  }
}

// The record's fields, by name, where the wire puts them.
TEST(DriverCheckTest, RecordFieldsOutOfRangeAreRefused) {
  struct Field {
    uint32_t PXUSB_RECORD::*field;
    uint32_t code, good, bad;
  } fields[] = {
      {&PXUSB_RECORD::pipe, IOCTL_PXUSB_RESET_PIPE, 0x82, 0x182},
      {&PXUSB_RECORD::requestType, IOCTL_PXUSB_CONTROL_IN, 3, 4},
      {&PXUSB_RECORD::recipient, IOCTL_PXUSB_CONTROL_IN, 31, 32},
      {&PXUSB_RECORD::request, IOCTL_PXUSB_CONTROL_IN, 0xFF, 0x100},
      {&PXUSB_RECORD::value, IOCTL_PXUSB_CONTROL_IN, 0xFFFF, 0x10000},
      {&PXUSB_RECORD::index, IOCTL_PXUSB_CONTROL_IN, 0xFFFF, 0x10000},
  };
  for (const Field& f : fields) {
    for (uint32_t v : {f.good, f.bad}) {
      PXUSB_RECORD record{};
      record.*f.field = v;
      PXUSB_REQUEST request{f.code, &record, kRecord, 0, false};
      EXPECT_EQ(PxusbCheckRequest(PXUSB_KIND_STREAM, &request), v == f.good ? PXUSB_VALID : PXUSB_BAD_PARAMETER)
          << f.code << " " << v;
    }
  }
  unsigned char bytes[kRecord] = {};
  bytes[8] = 0x82;
  PXUSB_RECORD record;
  std::memcpy(&record, bytes, sizeof record);
  EXPECT_EQ(record.pipe, 0x82u);
}

}  // namespace
