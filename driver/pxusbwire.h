/* What travels between a program and the "pxusb" kernel driver: the request codes,
 * the 28-byte record that starts every request of a device, the transfer caps, and the
 * driver's private requests on its control device. The only definition of them: the
 * driver (C), the library, the simulator's model of the driver and the tests include
 * this header and read the record's fields by name. */
#ifndef PXUSBWIRE_H
#define PXUSBWIRE_H

#include <stdint.h>

/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, method, access). */
#define PXUSB_CODE(n, method, access) (0x220000u | ((uint32_t)(access) << 14) | ((0x800u + (n)) << 2) | (method))
#define PXUSB_METHOD_BUFFERED 0u
#define PXUSB_METHOD_IN_DIRECT 1u
#define PXUSB_METHOD_OUT_DIRECT 2u
#define PXUSB_METHOD_NEITHER 3u
#define PXUSB_ANY_ACCESS 0u
#define PXUSB_WRITE_ACCESS 2u
#define PXUSB_METHOD_OF(code) ((code)&3u)

/* The requests of a device, any access. Input: the record; for CONTROL_OUT the data
 * stage follows it. Output: the pipe's data (WRITE_PIPE: the driver reads it), the
 * control transfer's data stage, nothing for RESET and ABORT. */
#define IOCTL_PXUSB_WRITE_PIPE PXUSB_CODE(10, PXUSB_METHOD_IN_DIRECT, PXUSB_ANY_ACCESS)   /* 0x222029 */
#define IOCTL_PXUSB_READ_PIPE PXUSB_CODE(11, PXUSB_METHOD_OUT_DIRECT, PXUSB_ANY_ACCESS)   /* 0x22202E */
#define IOCTL_PXUSB_CONTROL_OUT PXUSB_CODE(12, PXUSB_METHOD_BUFFERED, PXUSB_ANY_ACCESS)   /* 0x222030 */
#define IOCTL_PXUSB_CONTROL_IN PXUSB_CODE(13, PXUSB_METHOD_BUFFERED, PXUSB_ANY_ACCESS)    /* 0x222034 */
#define IOCTL_PXUSB_RESET_PIPE PXUSB_CODE(14, PXUSB_METHOD_BUFFERED, PXUSB_ANY_ACCESS)    /* 0x222038 */
#define IOCTL_PXUSB_ABORT_PIPE PXUSB_CODE(15, PXUSB_METHOD_BUFFERED, PXUSB_ANY_ACCESS)    /* 0x22203C */

/* Caps: a pipe transfer moves at most PXUSB_MAX_TRANSFER bytes (the library reads at
 * most that much at once and refuses longer writes); a control transfer's data stage
 * is at most PXUSB_MAX_CONTROL bytes, as its setup packet counts it in 16 bits. */
#define PXUSB_MAX_TRANSFER (16u * 1024u * 1024u)
#define PXUSB_MAX_CONTROL 0xFFFFu

/* Little-endian, packed. Pipe requests use timeout, timeStamp and pipe; control
 * transfers all seven fields (the direction is the code, the length the output size).
 * timeStamp is the system time's bits 16..47; the driver does not use it. */
#pragma pack(push, 1)
typedef struct PXUSB_RECORD {
  uint32_t timeout;   /* milliseconds, 0: none */
  uint32_t timeStamp;
  union {
    uint32_t pipe;        /* endpoint address */
    uint32_t requestType; /* control: 0 standard, 1 class, 2 vendor */
  };
  uint32_t recipient; /* control: 0 device, 1 interface, 2 endpoint, 3 other */
  uint32_t request;   /* control: bRequest */
  uint32_t value;     /* control: wValue */
  uint32_t index;     /* control: wIndex */
} PXUSB_RECORD;
#pragma pack(pop)
#ifdef __cplusplus
static_assert(sizeof(PXUSB_RECORD) == 28, "the record is 28 bytes");
#else
_Static_assert(sizeof(PXUSB_RECORD) == 28, "the record is 28 bytes");
#endif

/* ---- the driver's own devices and private requests ------------------------------- */

/* A loopback (what OUT pipe 0x01 takes comes back on IN pipe 0x82, in order) and a
 * stream source (IN pipe 0x82 counts 0, 1, ... 255, 0 ... at a set rate; OUT pipe 0x01
 * takes everything). */
#define PXUSBDRV_LOOPBACK "\\\\.\\PxusbLoopback"
#define PXUSBDRV_STREAM "\\\\.\\PxusbStream"
#define PXUSBDRV_PIPE_IN 0x82
#define PXUSBDRV_PIPE_OUT 0x01

/* The control device answers the private requests below (administrators only), also
 * while a device is pulled out and its own file cannot be opened. */
#define PXUSBDRV_CONTROL "\\\\.\\PxusbControl"
#define PXUSBDRV_DEVICE_LOOPBACK 0u
#define PXUSBDRV_DEVICE_STREAM 1u

/* Private requests, METHOD_BUFFERED, needing a handle opened for writing. PLUG and
 * SET_RATE take PXUSBDRV_SETTING. */
typedef struct PXUSBDRV_SETTING {
  uint32_t device; /* PXUSBDRV_DEVICE_... */
  uint32_t value;
} PXUSBDRV_SETTING;
/* Value 0 pulls the device out: its requests in progress end cancelled, later ones
 * fail (ERROR_BAD_COMMAND) and its file cannot be opened. 1 puts it back, empty; files
 * opened before stay dead. */
#define IOCTL_PXUSBDRV_PLUG PXUSB_CODE(32, PXUSB_METHOD_BUFFERED, PXUSB_WRITE_ACCESS)
/* The stream's rate in bytes per second (0: as fast as read); the count starts again
 * at 0 with the next read. */
#define IOCTL_PXUSBDRV_SET_RATE PXUSB_CODE(33, PXUSB_METHOD_BUFFERED, PXUSB_WRITE_ACCESS)
/* No input; output: PXUSBDRV_COUNTS, the driver's whole bookkeeping. */
#define IOCTL_PXUSBDRV_COUNTS PXUSB_CODE(34, PXUSB_METHOD_BUFFERED, PXUSB_WRITE_ACCESS)

typedef struct PXUSBDRV_COUNTS {
  uint32_t irpsHeld;      /* taken by a dispatch routine and not yet completed */
  uint32_t poolBlocks;    /* pool allocations not yet freed */
  uint32_t pendingReads;  /* queued on the IN pipe, all devices */
  uint32_t pendingWrites; /* queued on the OUT pipe, all devices */
} PXUSBDRV_COUNTS;

/* Values the driver leaves under its service key when it unloads: what was still held
 * then (both 0 for a clean unload) and the number of requests it had to end itself. */
#define PXUSBDRV_VALUE_IRPS "IrpsAtUnload"
#define PXUSBDRV_VALUE_POOL "PoolAtUnload"
#define PXUSBDRV_VALUE_ENDED "EndedAtUnload"

#endif
