// The driver's check of a request, fed the IRP fields Windows passes (for METHOD_NEITHER
// no system buffer, for a direct request without output no MDL), which Wine hides.
#include <gtest/gtest.h>

#include "driver/pxusbcheck.h"

namespace {

constexpr uint32_t kRecord = sizeof(PXUSB_RECORD), kRead = IOCTL_PXUSB_READ_PIPE, kControlIn = IOCTL_PXUSB_CONTROL_IN;
constexpr PXUSB_KIND kData = PXUSB_KIND_LOOPBACK, kControl = PXUSB_KIND_CONTROL;

struct Case {
  PXUSB_KIND kind;
  uint32_t code;
  bool buffer;  // a system buffer holding the input
  uint32_t in, out;
  bool mdl;
  uint32_t PXUSB_RECORD::*field, value;  // the record's `field` holds `value`
  PXUSB_VERDICT verdict;
};

const Case kCases[] = {
    {kControl, PXUSB_CODE(0, PXUSB_METHOD_NEITHER, 0), false, 8, 0, false, nullptr, 0, PXUSB_UNKNOWN_REQUEST},
    {kData, PXUSB_CODE(11, PXUSB_METHOD_NEITHER, 0), false, kRecord, 64, false, nullptr, 0, PXUSB_UNKNOWN_REQUEST},
    {kControl, IOCTL_PXUSBDRV_PLUG, false, 0, 0, false, nullptr, 0, PXUSB_BAD_PARAMETER},
    {kControl, IOCTL_PXUSBDRV_PLUG, true, 8, 0, false, nullptr, 0, PXUSB_VALID},
    {kControl, IOCTL_PXUSBDRV_COUNTS, true, 0, 16, false, nullptr, 0, PXUSB_VALID},
    {kData, kRead, false, 0, 64, true, nullptr, 0, PXUSB_BAD_PARAMETER},
    {kData, kRead, true, 29, 64, true, nullptr, 0, PXUSB_BAD_PARAMETER},
    {kData, kRead, true, kRecord, 64, false, nullptr, 0, PXUSB_BAD_PARAMETER},
    {kData, kRead, true, kRecord, 0, false, nullptr, 0, PXUSB_VALID},
    {kData, kRead, true, kRecord, PXUSB_MAX_TRANSFER + 1, true, nullptr, 0, PXUSB_BAD_PARAMETER},
    {kData, IOCTL_PXUSB_WRITE_PIPE, true, kRecord, PXUSB_MAX_TRANSFER, true, nullptr, 0, PXUSB_VALID},
    {kData, IOCTL_PXUSB_RESET_PIPE, true, kRecord, 0, false, &PXUSB_RECORD::pipe, 0x100, PXUSB_BAD_PARAMETER},
    {kData, kControlIn, true, kRecord, 0x10000, false, nullptr, 0, PXUSB_BAD_PARAMETER},
    {kData, kControlIn, true, kRecord, 0, false, &PXUSB_RECORD::requestType, 4, PXUSB_BAD_PARAMETER},
    {kData, kControlIn, true, kRecord, 0, false, &PXUSB_RECORD::recipient, 32, PXUSB_BAD_PARAMETER},
    {kData, kControlIn, true, kRecord, 0, false, &PXUSB_RECORD::request, 0x100, PXUSB_BAD_PARAMETER},
    {kData, kControlIn, true, kRecord, 0, false, &PXUSB_RECORD::value, 0x10000, PXUSB_BAD_PARAMETER},
    {kData, kControlIn, true, kRecord, 0, false, &PXUSB_RECORD::index, 0xFFFF, PXUSB_VALID},
    {kData, IOCTL_PXUSB_CONTROL_OUT, true, kRecord + 4, 4, false, nullptr, 0, PXUSB_VALID},
};

TEST(DriverCheckTest, EachCodeChecksItsBuffersLengthsAndFieldsBeforeUsingThem) {
  for (const Case& c : kCases) {
    PXUSB_RECORD input[2] = {};
    if (c.field) input[0].*c.field = c.value;
    PXUSB_REQUEST request{c.code, c.buffer ? input : nullptr, c.in, c.out, c.mdl};
    EXPECT_EQ(PxusbCheckRequest(c.kind, &request), c.verdict) << std::hex << c.code << " " << c.value;
  }
}

}  // namespace
