/* The "pxusb" model driver's device names and its private requests, shared by the
 * driver (C) and the programs that drive it in tests (C++). The six requests of the
 * driver interface itself are the library's (lib/pxusb_sysusb_api.h). */
#ifndef PXUSBDRV_H
#define PXUSBDRV_H

/* The devices the driver makes: a loopback (what OUT pipe 0x01 takes comes back on IN
 * pipe 0x82, in order) and a stream source (IN pipe 0x82 counts 0, 1, ... 255, 0 ... at
 * a set rate; OUT pipe 0x01 takes everything). */
#define PXUSBDRV_LOOPBACK "\\\\.\\PxusbLoopback"
#define PXUSBDRV_STREAM "\\\\.\\PxusbStream"
#define PXUSBDRV_PIPE_IN 0x82
#define PXUSBDRV_PIPE_OUT 0x01

/* The driver's control device: it answers the private requests below, also while a
 * device is pulled out and its own file cannot be opened. */
#define PXUSBDRV_CONTROL "\\\\.\\PxusbControl"
#define PXUSBDRV_DEVICE_LOOPBACK 0u
#define PXUSBDRV_DEVICE_STREAM 1u

/* Private requests: CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS)
 * with n from 32 on, beyond the six of the driver interface. PLUG and SET_RATE take
 * two 32-bit values: the device (PXUSBDRV_DEVICE_...), then the setting. */
#define PXUSBDRV_CODE(n) (0x220000u + ((0x800u + (n)) << 2))
/* Setting 0 pulls the device out: its requests in progress end cancelled, later ones
 * fail (ERROR_BAD_COMMAND) and its file cannot be opened. 1 puts it back, empty; files
 * opened before stay dead. */
#define IOCTL_PXUSBDRV_PLUG PXUSBDRV_CODE(32)
/* The stream's rate in bytes per second (0: as fast as read); the count starts again
 * at 0 with the next read. */
#define IOCTL_PXUSBDRV_SET_RATE PXUSBDRV_CODE(33)
/* Output: PXUSBDRV_COUNTS, the driver's whole bookkeeping. */
#define IOCTL_PXUSBDRV_COUNTS PXUSBDRV_CODE(34)

typedef struct PXUSBDRV_COUNTS {
  unsigned int irpsHeld;       /* taken by a dispatch routine and not yet completed */
  unsigned int poolBlocks;     /* pool allocations not yet freed */
  unsigned int pendingReads;   /* queued on the IN pipe, all devices */
  unsigned int pendingWrites;  /* queued on the OUT pipe, all devices */
} PXUSBDRV_COUNTS;

/* Values the driver leaves under its service key when it unloads: what was still held
 * then (both 0 for a clean unload) and the number of requests it had to end itself. */
#define PXUSBDRV_VALUE_IRPS "IrpsAtUnload"
#define PXUSBDRV_VALUE_POOL "PoolAtUnload"
#define PXUSBDRV_VALUE_ENDED "EndedAtUnload"

#endif
