/* The pxusb driver's check of a device I/O control request, before it touches any
 * buffer: the exact code first, then, for that code, that its buffers exist and that
 * its lengths and record fields are in range. Plain C without kernel calls, fed the
 * fields of the IRP as the I/O manager passes them, so that a native test runs it. */
#ifndef PXUSBCHECK_H
#define PXUSBCHECK_H

#include <stddef.h>

#include "pxusbwire.h"

typedef enum { PXUSB_KIND_LOOPBACK, PXUSB_KIND_STREAM, PXUSB_KIND_CONTROL } PXUSB_KIND;

/* What the IRP holds for a device I/O control request. */
typedef struct PXUSB_REQUEST {
  uint32_t code;
  const void *systemBuffer; /* AssociatedIrp.SystemBuffer: the input, for a buffered code the output too */
  uint32_t inputLength;
  uint32_t outputLength;
  int hasMdl; /* MdlAddress: the output of a direct code, when it has a length */
} PXUSB_REQUEST;

typedef enum {
  PXUSB_VALID,
  PXUSB_UNKNOWN_REQUEST, /* STATUS_INVALID_DEVICE_REQUEST */
  PXUSB_BAD_PARAMETER,   /* STATUS_INVALID_PARAMETER */
  PXUSB_TOO_SMALL        /* STATUS_BUFFER_TOO_SMALL */
} PXUSB_VERDICT;

/* A pipe request: the record, and data only for reads and writes. Whether the device
 * has the pipe is the device's to say. */
static inline PXUSB_VERDICT PxusbCheckPipe(const PXUSB_REQUEST *r, int hasData) {
  const PXUSB_RECORD *record = (const PXUSB_RECORD *)r->systemBuffer;
  if (!record || r->inputLength != sizeof(PXUSB_RECORD)) return PXUSB_BAD_PARAMETER;
  if (!hasData && r->outputLength != 0) return PXUSB_BAD_PARAMETER;
  if (r->outputLength > PXUSB_MAX_TRANSFER || (r->outputLength && !r->hasMdl)) return PXUSB_BAD_PARAMETER;
  return record->pipe <= 0xFF ? PXUSB_VALID : PXUSB_BAD_PARAMETER;
}

/* A control transfer: the record, for CONTROL_OUT the data stage behind it, and setup
 * fields that fit their places in the setup packet. */
static inline PXUSB_VERDICT PxusbCheckControl(const PXUSB_REQUEST *r) {
  const PXUSB_RECORD *record = (const PXUSB_RECORD *)r->systemBuffer;
  uint32_t stage = r->code == IOCTL_PXUSB_CONTROL_OUT ? r->outputLength : 0;
  if (r->outputLength > PXUSB_MAX_CONTROL) return PXUSB_BAD_PARAMETER;
  if (!record || r->inputLength != sizeof(PXUSB_RECORD) + stage) return PXUSB_BAD_PARAMETER;
  if (record->requestType > 3 || record->recipient > 31 || record->request > 0xFF || record->value > 0xFFFF ||
      record->index > 0xFFFF) {
    return PXUSB_BAD_PARAMETER;
  }
  return PXUSB_VALID;
}

static inline PXUSB_VERDICT PxusbCheckPrivate(const PXUSB_REQUEST *r) {
  const PXUSBDRV_SETTING *setting = (const PXUSBDRV_SETTING *)r->systemBuffer;
  if (r->code == IOCTL_PXUSBDRV_COUNTS) {
    if (r->inputLength != 0) return PXUSB_BAD_PARAMETER;
    return r->outputLength < sizeof(PXUSBDRV_COUNTS) || !r->systemBuffer ? PXUSB_TOO_SMALL : PXUSB_VALID;
  }
  if (!setting || r->inputLength != sizeof(PXUSBDRV_SETTING) || r->outputLength != 0) return PXUSB_BAD_PARAMETER;
  if (r->code == IOCTL_PXUSBDRV_SET_RATE) {
    return setting->device == PXUSBDRV_DEVICE_STREAM ? PXUSB_VALID : PXUSB_BAD_PARAMETER;
  }
  return setting->device <= PXUSBDRV_DEVICE_STREAM ? PXUSB_VALID : PXUSB_BAD_PARAMETER;
}

static inline PXUSB_VERDICT PxusbCheckRequest(PXUSB_KIND kind, const PXUSB_REQUEST *r) {
  int control = kind == PXUSB_KIND_CONTROL;
  switch (r->code) {
    case IOCTL_PXUSB_WRITE_PIPE:
    case IOCTL_PXUSB_READ_PIPE: return control ? PXUSB_UNKNOWN_REQUEST : PxusbCheckPipe(r, 1);
    case IOCTL_PXUSB_RESET_PIPE:
    case IOCTL_PXUSB_ABORT_PIPE: return control ? PXUSB_UNKNOWN_REQUEST : PxusbCheckPipe(r, 0);
    case IOCTL_PXUSB_CONTROL_OUT:
    case IOCTL_PXUSB_CONTROL_IN: return control ? PXUSB_UNKNOWN_REQUEST : PxusbCheckControl(r);
    case IOCTL_PXUSBDRV_PLUG:
    case IOCTL_PXUSBDRV_SET_RATE:
    case IOCTL_PXUSBDRV_COUNTS: return control ? PxusbCheckPrivate(r) : PXUSB_UNKNOWN_REQUEST;
    default: return PXUSB_UNKNOWN_REQUEST;
  }
}

#endif
