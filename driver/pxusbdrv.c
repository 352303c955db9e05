/* The "pxusb" driver: a small WDM kernel driver that serves the six requests of the
 * pxusb driver interface over a device model of its own, a loopback and a stream
 * source, so that the library's kernel-driver binding runs through a real NT I/O
 * manager.
 *
 * Each device keeps its pending reads and writes in FIFO queues (one per pipe). A
 * request that can be served at once is completed by its dispatch routine; any other
 * is marked pending with a cancel routine and served, timed out, aborted, cancelled
 * or ended by IRP_MJ_CLEANUP later. One worker thread serves the queues when time
 * passes (time-outs, the stream's rate). Every IRP a dispatch routine takes and every
 * pool block is counted; the counts are left in the registry at unload. */
#include <ntddk.h>

#include "pxusbdrv.h"

#define RECORD_SIZE 28
#define RING_SIZE (256u * 1024u)
#define POOL_TAG 0x62737870u /* "pxsb" in a pool dump */
#define MS (10000LL) /* 100-ns units per millisecond */
/* On surprise removal a function driver purges its queues: what was queued ends
 * cancelled, and every later request of the device's files ends with this (as
 * WdfIoQueuePurge does; Windows reports it as ERROR_BAD_COMMAND). */
#define STATUS_GONE STATUS_INVALID_DEVICE_STATE

/* The six requests of the driver interface. */
#define IOCTL_WRITE_PIPE 0x222029u
#define IOCTL_READ_PIPE 0x22202Eu
#define IOCTL_CONTROL_OUT 0x222030u
#define IOCTL_CONTROL_IN 0x222034u
#define IOCTL_RESET_PIPE 0x222038u
#define IOCTL_ABORT_PIPE 0x22203Cu

typedef enum { KIND_LOOPBACK, KIND_STREAM, KIND_CONTROL } DEVICE_KIND;

typedef struct DEVICE_STATE {
  KSPIN_LOCK lock;
  DEVICE_KIND kind;
  BOOLEAN plugged;
  ULONG_PTR generation; /* counts the times it was put back; files of an earlier one are dead */
  LIST_ENTRY reads;  /* IN pipe requests, oldest first */
  LIST_ENTRY writes; /* OUT pipe requests, oldest first */
  /* loopback: bytes taken from the OUT pipe and not yet read */
  UCHAR *ring;
  ULONG ringHead;
  ULONG ringCount;
  /* stream: bytes due since the first read at `rate` per second */
  ULONG rate;
  BOOLEAN started;
  LONGLONG start;
  ULONGLONG produced;
} DEVICE_STATE;

/* What a queued IRP carries in its driver context. */
typedef struct QUEUED {
  LONGLONG deadline; /* interrupt time; 0: none */
  ULONG_PTR done;    /* bytes moved so far (writes are taken piecewise) */
} QUEUED;
_Static_assert(sizeof(QUEUED) <= sizeof(((IRP *)0)->Tail.Overlay.DriverContext), "QUEUED fits the IRP");

/* The two model devices (indexed by PXUSBDRV_DEVICE_...), then the control device. */
#define MODEL_DEVICES 2
#define DEVICES 3
static PDEVICE_OBJECT g_devices[DEVICES];
static const WCHAR *const g_names[DEVICES] = {L"PxusbLoopback", L"PxusbStream", L"PxusbControl"};
static LONG g_irpsHeld;
static LONG g_poolBlocks;
static LONG g_endedAtUnload;
static KEVENT g_wake;
static volatile LONG g_stopping;
static PVOID g_worker;

static DRIVER_CANCEL CancelQueued;

/* ---- bookkeeping --------------------------------------------------------------- */

static PVOID Allocate(SIZE_T size) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
  if (block) InterlockedIncrement(&g_poolBlocks);
  return block;
}

static void Release(PVOID block) {
  if (!block) return;
  ExFreePoolWithTag(block, POOL_TAG);
  InterlockedDecrement(&g_poolBlocks);
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  InterlockedDecrement(&g_irpsHeld);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static QUEUED *QueuedOf(PIRP irp) { return (QUEUED *)irp->Tail.Overlay.DriverContext; }

static DEVICE_STATE *StateOf(PDEVICE_OBJECT device) { return (DEVICE_STATE *)device->DeviceExtension; }

/* 100-ns units from the performance counter (the interrupt and system time read
 * KUSER_SHARED_DATA, which Wine does not keep up to date). */
static LONGLONG Now(void) {
  LARGE_INTEGER frequency;
  LONGLONG count = KeQueryPerformanceCounter(&frequency).QuadPart;
  return count / frequency.QuadPart * 10000000LL + count % frequency.QuadPart * 10000000LL / frequency.QuadPart;
}

static ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

/* ---- the device model ---------------------------------------------------------- */

/* Bytes an IN transfer could have now. */
static ULONG Available(DEVICE_STATE *d, LONGLONG now) {
  ULONGLONG due;
  if (d->kind == KIND_LOOPBACK) return d->ringCount;
  if (d->rate == 0) return MAXULONG;
  if (!d->started) return 0;
  due = (ULONGLONG)(now - d->start) / MS * d->rate / 1000; /* whole milliseconds: no overflow */
  if (due <= d->produced) return 0;
  return due - d->produced > MAXULONG ? MAXULONG : (ULONG)(due - d->produced);
}

static void Supply(DEVICE_STATE *d, UCHAR *out, ULONG size) {
  ULONG i;
  if (d->kind == KIND_STREAM) {
    for (i = 0; i < size; ++i) out[i] = (UCHAR)(d->produced + i);
    d->produced += size;
    return;
  }
  for (i = 0; i < size; ++i) out[i] = d->ring[(d->ringHead + i) % RING_SIZE];
  d->ringHead = (d->ringHead + size) % RING_SIZE;
  d->ringCount -= size;
}

/* Takes up to `size` bytes of an OUT transfer; returns how many. */
static ULONG Accept(DEVICE_STATE *d, const UCHAR *data, ULONG size) {
  ULONG i, n;
  if (d->kind == KIND_STREAM) return size;
  n = Min(size, RING_SIZE - d->ringCount);
  for (i = 0; i < n; ++i) d->ring[(d->ringHead + d->ringCount + i) % RING_SIZE] = data[i];
  d->ringCount += n;
  return n;
}

static UCHAR *BufferOf(PIRP irp) {
  return irp->MdlAddress ? (UCHAR *)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : NULL;
}

static ULONG LengthOf(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

/* Moves what the model allows for one request; TRUE when the request is done. */
static BOOLEAN Serve(DEVICE_STATE *d, PIRP irp, BOOLEAN in, LONGLONG now) {
  QUEUED *q = QueuedOf(irp);
  ULONG length = LengthOf(irp);
  UCHAR *buffer = BufferOf(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  if (length == 0) return TRUE;
  if (!buffer) {
    irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    return TRUE;
  }
  if (in) {
    ULONG n;
    if (d->kind == KIND_STREAM && !d->started) { /* the first read starts the source */
      d->started = TRUE;
      d->start = now;
    }
    n = Min(length, Available(d, now));
    if (n == 0) return FALSE;
    Supply(d, buffer, n);
    q->done = n;
    return TRUE;
  }
  q->done += Accept(d, buffer + q->done, length - (ULONG)q->done);
  return q->done == length;
}

/* ---- queues ---------------------------------------------------------------------- */

/* Moves every IRP of `queue` that `which` picks to `out` with `status`, unless its
 * cancel routine has it already. Called with the device's lock held. */
typedef BOOLEAN (*PICK)(PIRP irp, PVOID context);

static void TakeWhere(LIST_ENTRY *queue, PICK which, PVOID context, NTSTATUS status, LIST_ENTRY *out) {
  LIST_ENTRY *entry = queue->Flink;
  while (entry != queue) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    entry = entry->Flink;
    if (!which(irp, context) || IoSetCancelRoutine(irp, NULL) == NULL) continue;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    irp->IoStatus.Status = status;
    if (status != STATUS_SUCCESS) QueuedOf(irp)->done = 0;
    InsertTailList(out, &irp->Tail.Overlay.ListEntry);
  }
}

static BOOLEAN Any(PIRP irp, PVOID context) { return TRUE; }

static BOOLEAN OfFile(PIRP irp, PVOID file) { return IoGetCurrentIrpStackLocation(irp)->FileObject == file; }

static void CompleteAll(LIST_ENTRY *done) {
  while (!IsListEmpty(done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
    Complete(irp, irp->IoStatus.Status, QueuedOf(irp)->done);
  }
}

/* Serves the oldest requests of one queue as far as the model allows, then times out
 * what is due. Called with the lock held; completed IRPs go to `done`. */
static void ServeQueue(DEVICE_STATE *d, LIST_ENTRY *queue, BOOLEAN in, LONGLONG now, LIST_ENTRY *done) {
  LIST_ENTRY *entry = queue->Flink;
  BOOLEAN blocked = FALSE;
  while (entry != queue) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    QUEUED *q = QueuedOf(irp);
    entry = entry->Flink;
    if (IoSetCancelRoutine(irp, NULL) == NULL) continue; /* its cancel routine ends it */
    if (!blocked && Serve(d, irp, in, now)) {
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      InsertTailList(done, &irp->Tail.Overlay.ListEntry);
      continue;
    }
    blocked = TRUE;
    if (q->deadline && now >= q->deadline) {
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      irp->IoStatus.Status = STATUS_IO_TIMEOUT;
      q->done = 0;
      InsertTailList(done, &irp->Tail.Overlay.ListEntry);
      continue;
    }
    IoSetCancelRoutine(irp, CancelQueued);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      irp->IoStatus.Status = STATUS_CANCELLED;
      q->done = 0;
      InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    }
  }
}

static void ServeDevice(DEVICE_STATE *d) {
  LIST_ENTRY done;
  KIRQL irql;
  InitializeListHead(&done);
  KeAcquireSpinLock(&d->lock, &irql);
  if (d->plugged) {
    LONGLONG now = Now();
    /* Writes first: what they hand over may let a read finish. */
    ServeQueue(d, &d->writes, FALSE, now, &done);
    ServeQueue(d, &d->reads, TRUE, now, &done);
    ServeQueue(d, &d->writes, FALSE, now, &done);
  }
  KeReleaseSpinLock(&d->lock, irql);
  CompleteAll(&done);
}

static VOID NTAPI CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
  DEVICE_STATE *d = StateOf(device);
  KIRQL irql;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&d->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&d->lock, irql);
  Complete(irp, STATUS_CANCELLED, 0);
}

/* Ends the queued requests `which` picks with `status`. */
static ULONG EndWhere(DEVICE_STATE *d, LIST_ENTRY *queue, PICK which, PVOID context, NTSTATUS status) {
  LIST_ENTRY done;
  ULONG count = 0;
  KIRQL irql;
  LIST_ENTRY *entry;
  InitializeListHead(&done);
  KeAcquireSpinLock(&d->lock, &irql);
  if (queue) {
    TakeWhere(queue, which, context, status, &done);
  } else {
    TakeWhere(&d->reads, which, context, status, &done);
    TakeWhere(&d->writes, which, context, status, &done);
  }
  KeReleaseSpinLock(&d->lock, irql);
  for (entry = done.Flink; entry != &done; entry = entry->Flink) ++count;
  CompleteAll(&done);
  return count;
}

/* ---- the worker: time passes ----------------------------------------------------- */

static LONGLONG NextWake(DEVICE_STATE *d, LONGLONG now) {
  LONGLONG next = 0;
  LIST_ENTRY *queues[2] = {&d->reads, &d->writes};
  int i;
  for (i = 0; i < 2; ++i) {
    LIST_ENTRY *entry;
    for (entry = queues[i]->Flink; entry != queues[i]; entry = entry->Flink) {
      LONGLONG deadline = QueuedOf(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry))->deadline;
      if (deadline && (!next || deadline < next)) next = deadline;
    }
  }
  if (d->kind == KIND_STREAM && d->rate && !IsListEmpty(&d->reads)) {
    /* The next byte of the stream is due then; at most one millisecond's wait. */
    LONGLONG due = now + MS;
    if (!next || due < next) next = due;
  }
  return next;
}

static VOID NTAPI Worker(PVOID context) {
  while (!g_stopping) {
    LONGLONG now = Now(), next = 0;
    LARGE_INTEGER timeout;
    int i;
    for (i = 0; i < MODEL_DEVICES; ++i) {
      DEVICE_STATE *d = StateOf(g_devices[i]);
      KIRQL irql;
      LONGLONG wake;
      ServeDevice(d);
      KeAcquireSpinLock(&d->lock, &irql);
      wake = NextWake(d, now);
      KeReleaseSpinLock(&d->lock, irql);
      if (wake && (!next || wake < next)) next = wake;
    }
    timeout.QuadPart = -(next ? (next > now ? next - now : 1) : 0);
    KeWaitForSingleObject(&g_wake, Executive, KernelMode, FALSE, next ? &timeout : NULL);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- dispatch ---------------------------------------------------------------------- */

static ULONG Field(const UCHAR *record, ULONG offset) {
  return (ULONG)record[offset] | (ULONG)record[offset + 1] << 8 | (ULONG)record[offset + 2] << 16 |
         (ULONG)record[offset + 3] << 24;
}

/* Whether the device a request came through is there: plugged, and the file opened
 * since it was last put back (a file of the device before it was pulled out stays
 * dead, as Windows makes a new device of a device plugged in again). */
static BOOLEAN Present(DEVICE_STATE *d, PIRP irp) {
  return d->plugged && (ULONG_PTR)IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext == d->generation;
}

static NTSTATUS PipeRequest(DEVICE_STATE *d, PIRP irp, BOOLEAN in, const UCHAR *record) {
  QUEUED *q = QueuedOf(irp);
  ULONG timeout = Field(record, 0);
  ULONG pipe = Field(record, 8);
  LIST_ENTRY *queue = in ? &d->reads : &d->writes;
  KIRQL irql;
  if (pipe != (in ? PXUSBDRV_PIPE_IN : PXUSBDRV_PIPE_OUT)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  q->deadline = timeout ? Now() + timeout * MS : 0;
  q->done = 0;
  KeAcquireSpinLock(&d->lock, &irql);
  if (!Present(d, irp)) {
    KeReleaseSpinLock(&d->lock, irql);
    return Complete(irp, STATUS_GONE, 0);
  }
  /* Requests of a pipe are served in order: a newcomer waits behind earlier ones. */
  if (IsListEmpty(queue) && Serve(d, irp, in, Now())) {
    KeReleaseSpinLock(&d->lock, irql);
    KeSetEvent(&g_wake, IO_NO_INCREMENT, FALSE); /* data moved: the other queue may go on */
    return Complete(irp, irp->IoStatus.Status, q->done);
  }
  IoSetCancelRoutine(irp, CancelQueued);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    KeReleaseSpinLock(&d->lock, irql);
    return Complete(irp, STATUS_CANCELLED, 0);
  }
  IoMarkIrpPending(irp);
  InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&d->lock, irql);
  KeSetEvent(&g_wake, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

static NTSTATUS ControlRequest(DEVICE_STATE *d, PIRP irp, BOOLEAN in, ULONG inputLength) {
  ULONG length = LengthOf(irp);
  if (!Present(d, irp)) return Complete(irp, STATUS_GONE, 0);
  if (in) {
    /* Nothing behind the default pipe but a device that answers with zeros. */
    RtlZeroMemory(irp->AssociatedIrp.SystemBuffer, length);
  } else if (inputLength - RECORD_SIZE < length) {
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  return Complete(irp, STATUS_SUCCESS, length);
}

static NTSTATUS PrivateRequest(PIRP irp, ULONG code, ULONG inputLength) {
  PVOID buffer = irp->AssociatedIrp.SystemBuffer;
  ULONG outputLength = LengthOf(irp);
  DEVICE_STATE *d;
  ULONG value;
  KIRQL irql;
  if (code == IOCTL_PXUSBDRV_COUNTS) {
    PXUSBDRV_COUNTS counts;
    int i;
    if (outputLength < sizeof counts) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    RtlZeroMemory(&counts, sizeof counts);
    counts.irpsHeld = (unsigned)g_irpsHeld - 1; /* not this one */
    counts.poolBlocks = (unsigned)g_poolBlocks;
    for (i = 0; i < MODEL_DEVICES; ++i) {
      DEVICE_STATE *each = StateOf(g_devices[i]);
      LIST_ENTRY *entry;
      KeAcquireSpinLock(&each->lock, &irql);
      for (entry = each->reads.Flink; entry != &each->reads; entry = entry->Flink) ++counts.pendingReads;
      for (entry = each->writes.Flink; entry != &each->writes; entry = entry->Flink) ++counts.pendingWrites;
      KeReleaseSpinLock(&each->lock, irql);
    }
    RtlCopyMemory(buffer, &counts, sizeof counts);
    return Complete(irp, STATUS_SUCCESS, sizeof counts);
  }
  if (inputLength < 2 * sizeof(ULONG) || Field((const UCHAR *)buffer, 0) >= MODEL_DEVICES) {
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  d = StateOf(g_devices[Field((const UCHAR *)buffer, 0)]);
  value = Field((const UCHAR *)buffer, 4);
  if (code == IOCTL_PXUSBDRV_PLUG) {
    KeAcquireSpinLock(&d->lock, &irql);
    if (value && !d->plugged) ++d->generation;
    d->plugged = value != 0;
    if (value) {
      d->ringHead = d->ringCount = 0;
      d->started = FALSE;
      d->produced = 0;
    }
    KeReleaseSpinLock(&d->lock, irql);
    if (!value) EndWhere(d, NULL, Any, NULL, STATUS_CANCELLED);
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  if (code == IOCTL_PXUSBDRV_SET_RATE && d->kind == KIND_STREAM) {
    KeAcquireSpinLock(&d->lock, &irql);
    d->rate = value;
    d->started = FALSE;
    d->produced = 0;
    KeReleaseSpinLock(&d->lock, irql);
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI DispatchIoControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const UCHAR *record = (const UCHAR *)irp->AssociatedIrp.SystemBuffer;
  DEVICE_STATE *d = StateOf(device);
  InterlockedIncrement(&g_irpsHeld);
  if (d->kind == KIND_CONTROL) return PrivateRequest(irp, code, inputLength);
  switch (code) {
    case IOCTL_WRITE_PIPE:
    case IOCTL_READ_PIPE:
    case IOCTL_CONTROL_OUT:
    case IOCTL_CONTROL_IN:
    case IOCTL_RESET_PIPE:
    case IOCTL_ABORT_PIPE:
      break;
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (!record || inputLength < RECORD_SIZE) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  switch (code) {
    case IOCTL_WRITE_PIPE: return PipeRequest(d, irp, FALSE, record);
    case IOCTL_READ_PIPE: return PipeRequest(d, irp, TRUE, record);
    case IOCTL_CONTROL_OUT: return ControlRequest(d, irp, FALSE, inputLength);
    case IOCTL_CONTROL_IN: return ControlRequest(d, irp, TRUE, inputLength);
    default: {
      ULONG pipe = Field(record, 8);
      if (pipe != PXUSBDRV_PIPE_IN && pipe != PXUSBDRV_PIPE_OUT) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      if (!Present(d, irp)) return Complete(irp, STATUS_GONE, 0);
      /* A reset clears the pipe's error state, which the model never enters; an abort
       * ends the pipe's requests in progress. */
      if (code == IOCTL_ABORT_PIPE) {
        EndWhere(d, pipe == PXUSBDRV_PIPE_IN ? &d->reads : &d->writes, Any, NULL, STATUS_CANCELLED);
      }
      return Complete(irp, STATUS_SUCCESS, 0);
    }
  }
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  DEVICE_STATE *d = StateOf(device);
  InterlockedIncrement(&g_irpsHeld);
  /* A device that was pulled out has no file to open, as on unplug. (Wine 8 opens the
   * file whatever this answers; its requests then fail as the device is not there.) */
  if (!d->plugged) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
  IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = (PVOID)d->generation;
  return Complete(irp, STATUS_SUCCESS, 0);
}

/* The last handle of a file is closed: its requests still in progress end here, as
 * the I/O manager leaves that to the driver. Windows sends IRP_MJ_CLEANUP for it and
 * IRP_MJ_CLOSE once nothing refers to the file; Wine 8 sends only IRP_MJ_CLOSE, at
 * once, so both end what is left. */
static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  InterlockedIncrement(&g_irpsHeld);
  if (StateOf(device)->kind != KIND_CONTROL) EndWhere(StateOf(device), NULL, OfFile, file, STATUS_CANCELLED);
  return Complete(irp, STATUS_SUCCESS, 0);
}

/* ---- load and unload ----------------------------------------------------------------- */

static WCHAR g_serviceKey[512];

static void SaveCount(const WCHAR *name, LONG value) {
  ULONG data = (ULONG)value;
  RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, g_serviceKey, name, REG_DWORD, &data, sizeof data);
}

static void DeleteDevices(PDRIVER_OBJECT driver) {
  int i;
  for (i = 0; i < DEVICES; ++i) {
    UNICODE_STRING link;
    WCHAR text[64] = L"\\DosDevices\\";
    if (!g_devices[i]) continue;
    RtlInitUnicodeString(&link, text);
    link.MaximumLength = sizeof text;
    RtlAppendUnicodeToString(&link, g_names[i]);
    IoDeleteSymbolicLink(&link);
    Release(StateOf(g_devices[i])->ring);
    IoDeleteDevice(g_devices[i]);
    g_devices[i] = NULL;
  }
}

static void StopWorker(void) {
  if (!g_worker) return;
  InterlockedExchange(&g_stopping, 1);
  KeSetEvent(&g_wake, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(g_worker, Executive, KernelMode, FALSE, NULL);
  ObDereferenceObject(g_worker);
  g_worker = NULL;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  int i;
  StopWorker();
  /* Requests still queued (Wine unloads us with files open) end as on unplug. */
  for (i = 0; i < MODEL_DEVICES; ++i) {
    if (g_devices[i]) g_endedAtUnload += EndWhere(StateOf(g_devices[i]), NULL, Any, NULL, STATUS_CANCELLED);
  }
  DeleteDevices(driver);
  SaveCount(L"" PXUSBDRV_VALUE_IRPS, g_irpsHeld);
  SaveCount(L"" PXUSBDRV_VALUE_POOL, g_poolBlocks);
  SaveCount(L"" PXUSBDRV_VALUE_ENDED, g_endedAtUnload);
}

static NTSTATUS CreateDevice(PDRIVER_OBJECT driver, int index) {
  UNICODE_STRING name, link;
  WCHAR nameText[64] = L"\\Device\\", linkText[64] = L"\\DosDevices\\";
  DEVICE_STATE *d;
  NTSTATUS status;
  RtlInitUnicodeString(&name, nameText);
  name.MaximumLength = sizeof nameText;
  RtlAppendUnicodeToString(&name, g_names[index]);
  RtlInitUnicodeString(&link, linkText);
  link.MaximumLength = sizeof linkText;
  RtlAppendUnicodeToString(&link, g_names[index]);
  status = IoCreateDevice(driver, sizeof(DEVICE_STATE), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_devices[index]);
  if (!NT_SUCCESS(status)) return status;
  d = StateOf(g_devices[index]);
  RtlZeroMemory(d, sizeof *d);
  KeInitializeSpinLock(&d->lock);
  InitializeListHead(&d->reads);
  InitializeListHead(&d->writes);
  d->kind = (DEVICE_KIND)index;
  d->plugged = TRUE;
  d->generation = 1; /* a file whose open failed has 0 */
  if (d->kind == KIND_LOOPBACK) {
    d->ring = (UCHAR *)Allocate(RING_SIZE);
    if (!d->ring) return STATUS_INSUFFICIENT_RESOURCES;
  }
  g_devices[index]->Flags |= DO_BUFFERED_IO;
  g_devices[index]->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &name);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  HANDLE thread;
  NTSTATUS status;
  int i;
  if (registryPath->Length >= sizeof g_serviceKey) return STATUS_NAME_TOO_LONG;
  RtlCopyMemory(g_serviceKey, registryPath->Buffer, registryPath->Length);
  g_serviceKey[registryPath->Length / sizeof(WCHAR)] = 0;

  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIoControl;
  driver->DriverUnload = DriverUnload;
  KeInitializeEvent(&g_wake, SynchronizationEvent, FALSE);
  g_stopping = 0;
  g_endedAtUnload = 0;

  for (i = 0; i < DEVICES; ++i) {
    status = CreateDevice(driver, i);
    if (!NT_SUCCESS(status)) break;
  }
  if (NT_SUCCESS(status)) status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Worker, NULL);
  if (NT_SUCCESS(status)) {
    status = ObReferenceObjectByHandle(thread, SYNCHRONIZE, NULL, KernelMode, &g_worker, NULL);
    ZwClose(thread);
  }
  if (!NT_SUCCESS(status)) {
    StopWorker();
    DeleteDevices(driver);
  }
  return status;
}
