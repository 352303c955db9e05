/* The "pxusb" driver: a small WDM kernel driver that serves the six requests of the
 * pxusb driver interface over a device model of its own, a loopback and a stream
 * source, so that the library's kernel-driver binding runs through a real NT I/O
 * manager.
 *
 * Every device I/O control request is checked (pxusbcheck.h) before any buffer is
 * touched. Each device keeps its pipe requests in FIFO queues (one per pipe); every
 * queued IRP is pending with a cancel routine and is served, timed out, aborted,
 * cancelled or ended by close, unplug or unload. The cancel routine does not complete
 * the IRP: it hands it to the worker thread, which completes it a moment later, so that
 * CancelIo and CancelIoEx return before the request ends, as they may on Windows. Data moves at PASSIVE_LEVEL: a
 * request's buffer is mapped once in its dispatch routine, and whoever serves a queue
 * (the dispatch routine that queued a request, or the worker thread when time passes)
 * reserves the byte range under the device's spin lock and copies outside it, one
 * server per device at a time. A write ended early completes with the bytes taken.
 *
 * Every IRP a dispatch routine takes holds its device's remove lock until it is
 * completed, and unload waits for them. Every IRP and pool block is counted; the
 * counts are left in the registry at unload. */
#include <ntifs.h>

#include "pxusbcheck.h"

#define RING_SIZE (256u * 1024u)
#define POOL_TAG 0x62737870u /* "pxsb" in a pool dump */
#define MS (10000LL)         /* 100-ns units per millisecond */
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif
/* On surprise removal a function driver purges its queues: what was queued ends
 * cancelled, and every later request of the device's files ends with this (as
 * WdfIoQueuePurge does; Windows reports it as ERROR_BAD_COMMAND). */
#define STATUS_GONE STATUS_INVALID_DEVICE_STATE

typedef struct DEVICE_STATE {
  KSPIN_LOCK lock;
  IO_REMOVE_LOCK removeLock; /* held by every IRP taken and not yet completed */
  FAST_MUTEX serving;        /* held by whoever moves this device's data */
  PXUSB_KIND kind;
  BOOLEAN plugged;
  BOOLEAN stopping;     /* the driver unloads: nothing more is queued */
  ULONG_PTR generation; /* counts the times it was put back; files of an earlier one are dead */
  LIST_ENTRY queues[2]; /* [0] OUT pipe, [1] IN pipe requests, oldest first */
  ULONG queued[2];
  LIST_ENTRY cancelled; /* taken by the cancel routine, for the worker to complete */
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

/* What a queued IRP carries in its driver context. While it is queued, its
 * IoStatus.Information counts the bytes moved so far and its IoStatus.Status is
 * STATUS_PENDING until something ends it while it is being served. */
typedef struct QUEUED {
  LONGLONG deadline; /* performance-counter time; 0: none */
  UCHAR *buffer;     /* the caller's data, mapped in the dispatch routine */
  ULONG serving;     /* a server copies its data now, outside the lock */
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
/* The worker thread's kernel handle. (Wine 8 refuses ObReferenceObjectByHandle of it
 * with PsThreadType: STATUS_OBJECT_TYPE_MISMATCH.) */
static HANDLE g_worker;

static DRIVER_CANCEL CancelQueued;

/* ---- bookkeeping --------------------------------------------------------------- */

static PVOID Allocate(SIZE_T size) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, size, POOL_TAG);
  if (block) InterlockedIncrement(&g_poolBlocks);
  return block;
}

static void Release(PVOID block) {
  if (!block) return;
  ExFreePoolWithTag(block, POOL_TAG);
  InterlockedDecrement(&g_poolBlocks);
}

static DEVICE_STATE *StateOf(PDEVICE_OBJECT device) { return (DEVICE_STATE *)device->DeviceExtension; }

/* Takes an IRP in: counted, and holding its device's remove lock. FALSE: the device is
 * going away and the IRP was completed. */
static BOOLEAN Take(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = IoAcquireRemoveLock(&StateOf(device)->removeLock, irp);
  if (NT_SUCCESS(status)) {
    InterlockedIncrement(&g_irpsHeld);
    return TRUE;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return FALSE;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  DEVICE_STATE *d = StateOf(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  InterlockedDecrement(&g_irpsHeld);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoReleaseRemoveLock(&d->removeLock, irp);
  return status;
}

static QUEUED *QueuedOf(PIRP irp) { return (QUEUED *)irp->Tail.Overlay.DriverContext; }

static PIRP IrpOf(LIST_ENTRY *entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }

/* 100-ns units from the performance counter (the interrupt and system time read
 * KUSER_SHARED_DATA, which Wine does not keep up to date). */
static LONGLONG Now(void) {
  LARGE_INTEGER frequency;
  LONGLONG count = KeQueryPerformanceCounter(&frequency).QuadPart;
  return count / frequency.QuadPart * 10000000LL + count % frequency.QuadPart * 10000000LL / frequency.QuadPart;
}

static ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

static ULONG LengthOf(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

/* One server per device moves data, at PASSIVE_LEVEL (APC_LEVEL while it serves). */
static void BeginServing(DEVICE_STATE *d) { ExAcquireFastMutex(&d->serving); }
static void EndServing(DEVICE_STATE *d) { ExReleaseFastMutex(&d->serving); }

/* ---- queues (called with the device's lock held) ---------------------------------- */

static void Enqueue(DEVICE_STATE *d, BOOLEAN in, PIRP irp) {
  InsertTailList(&d->queues[in], &irp->Tail.Overlay.ListEntry);
  ++d->queued[in];
}

static void Dequeue(DEVICE_STATE *d, PIRP irp, LIST_ENTRY *done) {
  BOOLEAN in = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_PXUSB_READ_PIPE;
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  --d->queued[in];
  if (done) InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

/* Gives a queued IRP its cancel routine back; FALSE when it was cancelled meanwhile
 * (it then has its status and is left to the caller). */
static BOOLEAN Rearm(PIRP irp) {
  IoSetCancelRoutine(irp, CancelQueued);
  if (!irp->Cancel || IoSetCancelRoutine(irp, NULL) == NULL) return TRUE;
  irp->IoStatus.Status = STATUS_CANCELLED;
  return FALSE;
}

typedef BOOLEAN (*PICK)(PIRP irp, PVOID context);

/* Moves every IRP of `queue` that `which` picks to `done` with `status`. One whose
 * data is being copied ends with `status` when its server is done with it; one whose
 * cancel routine has it is left to that. */
static void TakeWhere(DEVICE_STATE *d, LIST_ENTRY *queue, PICK which, PVOID context, NTSTATUS status, LIST_ENTRY *done) {
  LIST_ENTRY *entry = queue->Flink;
  while (entry != queue) {
    PIRP irp = IrpOf(entry);
    entry = entry->Flink;
    if (!which(irp, context)) continue;
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
      if (QueuedOf(irp)->serving && irp->IoStatus.Status == STATUS_PENDING) irp->IoStatus.Status = status;
      continue;
    }
    irp->IoStatus.Status = status;
    Dequeue(d, irp, done);
  }
}

static BOOLEAN Any(PIRP irp, PVOID context) { return TRUE; }

static BOOLEAN OfFile(PIRP irp, PVOID file) { return IoGetCurrentIrpStackLocation(irp)->FileObject == file; }

static BOOLEAN DueBy(PIRP irp, PVOID now) {
  LONGLONG deadline = QueuedOf(irp)->deadline;
  return deadline && *(LONGLONG *)now >= deadline;
}

/* Completes what TakeWhere took, each with the bytes it moved; returns how many. */
static ULONG CompleteAll(LIST_ENTRY *done) {
  ULONG count = 0;
  while (!IsListEmpty(done)) {
    PIRP irp = IrpOf(RemoveHeadList(done));
    Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    ++count;
  }
  return count;
}

/* Ends the queued requests `which` picks with `status` (a null `queue`: both). */
static ULONG EndWhere(DEVICE_STATE *d, LIST_ENTRY *queue, PICK which, PVOID context, NTSTATUS status) {
  LIST_ENTRY done;
  KIRQL irql;
  int i;
  InitializeListHead(&done);
  KeAcquireSpinLock(&d->lock, &irql);
  for (i = 0; i < 2; ++i) {
    if (!queue || queue == &d->queues[i]) TakeWhere(d, &d->queues[i], which, context, status, &done);
  }
  KeReleaseSpinLock(&d->lock, irql);
  return CompleteAll(&done);
}

/* Takes the cancelled IRP off its queue and leaves its completion to the worker (at
 * unload, when there is no worker any more, it completes it itself). */
static VOID NTAPI CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
  DEVICE_STATE *d = StateOf(device);
  BOOLEAN now;
  KIRQL irql;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  KeAcquireSpinLock(&d->lock, &irql);
  now = d->stopping;
  Dequeue(d, irp, now ? NULL : &d->cancelled);
  KeReleaseSpinLock(&d->lock, irql);
  if (now) Complete(irp, STATUS_CANCELLED, irp->IoStatus.Information);
  KeSetEvent(&g_wake, IO_NO_INCREMENT, FALSE); /* the worker completes it; the pipe's next request may go on */
}

/* Completes the IRPs the cancel routine handed over, with what each moved. */
static void CompleteCancelled(DEVICE_STATE *d) {
  LIST_ENTRY done;
  KIRQL irql;
  InitializeListHead(&done);
  KeAcquireSpinLock(&d->lock, &irql);
  while (!IsListEmpty(&d->cancelled)) InsertTailList(&done, RemoveHeadList(&d->cancelled));
  KeReleaseSpinLock(&d->lock, irql);
  CompleteAll(&done);
}

/* ---- the device model ------------------------------------------------------------ */

/* Bytes an IN transfer could have now. */
static ULONG Available(DEVICE_STATE *d, LONGLONG now) {
  ULONGLONG due;
  if (d->kind == PXUSB_KIND_LOOPBACK) return d->ringCount;
  if (d->rate == 0) return MAXULONG;
  if (!d->started) return 0;
  due = (ULONGLONG)(now - d->start) / MS * d->rate / 1000; /* whole milliseconds: no overflow */
  if (due <= d->produced) return 0;
  return due - d->produced > MAXULONG ? MAXULONG : (ULONG)(due - d->produced);
}

/* How many of `wanted` bytes the pipe moves now; under the lock. */
static ULONG Reserve(DEVICE_STATE *d, BOOLEAN in, ULONG wanted, LONGLONG now) {
  if (!in) return d->kind == PXUSB_KIND_STREAM ? wanted : Min(wanted, RING_SIZE - d->ringCount);
  if (d->kind == PXUSB_KIND_STREAM && !d->started) { /* the first read starts the source */
    d->started = TRUE;
    d->start = now;
  }
  return Min(wanted, Available(d, now));
}

/* Copies a reserved range, outside the lock: only the device's one server moves the
 * ring's head and count. */
static void Copy(DEVICE_STATE *d, BOOLEAN in, UCHAR *data, ULONG n) {
  ULONG at, first;
  if (d->kind == PXUSB_KIND_STREAM) {
    ULONG i;
    if (in) {
      for (i = 0; i < n; ++i) data[i] = (UCHAR)(d->produced + i);
    }
    return;
  }
  at = in ? d->ringHead : (d->ringHead + d->ringCount) % RING_SIZE;
  first = Min(n, RING_SIZE - at);
  if (in) {
    RtlCopyMemory(data, d->ring + at, first);
    RtlCopyMemory(data + first, d->ring, n - first);
  } else {
    RtlCopyMemory(d->ring + at, data, first);
    RtlCopyMemory(d->ring, data + first, n - first);
  }
}

/* Makes a copied range count; under the lock. */
static void Commit(DEVICE_STATE *d, BOOLEAN in, ULONG n) {
  if (d->kind == PXUSB_KIND_STREAM) {
    if (in) d->produced += n;
  } else if (in) {
    d->ringHead = (d->ringHead + n) % RING_SIZE;
    d->ringCount -= n;
  } else {
    d->ringCount += n;
  }
}

/* ---- serving ---------------------------------------------------------------------- */

/* Moves what the device allows now for `irp`: the byte range is reserved under the
 * lock, copied outside it and then counted. Called by the device's one server with the
 * lock held, which it drops for the copy. Returns the bytes moved. */
static ULONG Move(DEVICE_STATE *d, PIRP irp, BOOLEAN in, LONGLONG now, KIRQL *irql) {
  QUEUED *q = QueuedOf(irp);
  ULONG moved = (ULONG)irp->IoStatus.Information;
  ULONG n = Reserve(d, in, LengthOf(irp) - moved, now);
  q->serving = TRUE;
  KeReleaseSpinLock(&d->lock, *irql);
  Copy(d, in, q->buffer + moved, n);
  KeAcquireSpinLock(&d->lock, irql);
  Commit(d, in, n);
  q->serving = FALSE;
  irp->IoStatus.Information = moved + n;
  return n;
}

/* A read is done with any data (or none asked for), a write once all of it was taken. */
static BOOLEAN Finished(PIRP irp, BOOLEAN in, ULONG n) {
  return in ? n > 0 || LengthOf(irp) == 0 : irp->IoStatus.Information == LengthOf(irp);
}

/* Serves the oldest request of one pipe as far as the device allows. Returns TRUE when
 * bytes moved or the request ended, so that the other pipe may go on. */
static BOOLEAN ServeHead(DEVICE_STATE *d, BOOLEAN in, LONGLONG now) {
  LIST_ENTRY *queue = &d->queues[in];
  LIST_ENTRY done;
  PIRP irp;
  ULONG n;
  KIRQL irql;
  InitializeListHead(&done);
  KeAcquireSpinLock(&d->lock, &irql);
  if (IsListEmpty(queue) || !d->plugged || IoSetCancelRoutine(irp = IrpOf(queue->Flink), NULL) == NULL) {
    /* An IRP whose cancel routine runs leaves the queue and wakes the worker. */
    KeReleaseSpinLock(&d->lock, irql);
    return FALSE;
  }
  n = Move(d, irp, in, now, &irql);
  if (Finished(irp, in, n)) irp->IoStatus.Status = STATUS_SUCCESS;
  /* Still pending: ended by nothing while it was copied, and not cancelled. */
  if (irp->IoStatus.Status != STATUS_PENDING || !Rearm(irp)) Dequeue(d, irp, &done);
  KeReleaseSpinLock(&d->lock, irql);
  return CompleteAll(&done) > 0 || n > 0;
}

/* Serves both pipes of a device as far as its model allows, then ends what timed out.
 * At PASSIVE_LEVEL. */
static void ServeDevice(DEVICE_STATE *d) {
  LONGLONG now = Now();
  BOOLEAN moved;
  CompleteCancelled(d);
  BeginServing(d);
  do {
    /* Writes first: what they hand over may let a read finish; what reads take makes
     * room for writes. */
    moved = FALSE;
    while (ServeHead(d, FALSE, now)) moved = TRUE;
    while (ServeHead(d, TRUE, now)) moved = TRUE;
  } while (moved);
  EndServing(d);
  EndWhere(d, NULL, DueBy, &now, STATUS_IO_TIMEOUT);
}

/* When the worker must look at the device again: the earliest deadline, and for a
 * stream with a reader, when its next byte is due. 0: not of its own accord. */
static LONGLONG NextWake(DEVICE_STATE *d) {
  LONGLONG next = 0;
  int i;
  for (i = 0; i < 2; ++i) {
    LIST_ENTRY *entry;
    for (entry = d->queues[i].Flink; entry != &d->queues[i]; entry = entry->Flink) {
      LONGLONG deadline = QueuedOf(IrpOf(entry))->deadline;
      if (deadline && (!next || deadline < next)) next = deadline;
    }
  }
  if (d->kind == PXUSB_KIND_STREAM && d->rate && d->started && d->queued[1]) {
    ULONGLONG ms = ((d->produced + 1) * 1000 + d->rate - 1) / d->rate;
    LONGLONG due = d->start + (LONGLONG)ms * MS;
    if (!next || due < next) next = due;
  }
  return next;
}

static VOID NTAPI Worker(PVOID context) {
  while (!g_stopping) {
    LONGLONG now, next = 0;
    LARGE_INTEGER timeout;
    int i;
    for (i = 0; i < MODEL_DEVICES; ++i) {
      DEVICE_STATE *d = StateOf(g_devices[i]);
      KIRQL irql;
      LONGLONG wake;
      ServeDevice(d);
      KeAcquireSpinLock(&d->lock, &irql);
      wake = NextWake(d);
      KeReleaseSpinLock(&d->lock, irql);
      if (wake && (!next || wake < next)) next = wake;
    }
    now = Now();
    timeout.QuadPart = -(next > now ? next - now : 1);
    KeWaitForSingleObject(&g_wake, Executive, KernelMode, FALSE, next ? &timeout : NULL);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- dispatch ---------------------------------------------------------------------- */

/* Whether the device a request came through is there: plugged, and the file opened
 * since it was last put back (a file of the device before it was pulled out stays
 * dead, as Windows makes a new device of a device plugged in again). */
static BOOLEAN Present(DEVICE_STATE *d, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  return d->plugged && file && (ULONG_PTR)file->FsContext == d->generation;
}

/* Whether the file's last handle was closed (its cleanup ran). */
static BOOLEAN Closed(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext2 != NULL; }

/* A request that finds its pipe idle and the device ready ends at once; any other
 * is queued, pending, with what was moved of it so far. */
static NTSTATUS PipeRequest(DEVICE_STATE *d, PIRP irp, BOOLEAN in, const PXUSB_RECORD *record) {
  QUEUED *q = QueuedOf(irp);
  NTSTATUS status = STATUS_PENDING;
  BOOLEAN wake;
  KIRQL irql;
  q->deadline = record->timeout ? Now() + (LONGLONG)record->timeout * MS : 0;
  q->serving = FALSE;
  q->buffer = NULL;
  if (LengthOf(irp)) { /* mapped once, here at PASSIVE_LEVEL */
    q->buffer = (UCHAR *)MmGetSystemAddressForMdlSafe(irp->MdlAddress,
                                                      (MM_PAGE_PRIORITY)(NormalPagePriority | MdlMappingNoExecute));
    if (!q->buffer) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  irp->IoStatus.Status = STATUS_PENDING;
  irp->IoStatus.Information = 0;
  BeginServing(d);
  KeAcquireSpinLock(&d->lock, &irql);
  if (!Present(d, irp)) {
    status = STATUS_GONE;
  } else if (d->stopping || Closed(irp)) {
    status = STATUS_CANCELLED; /* as if it had come just before the close or the unload */
  } else if (IsListEmpty(&d->queues[in]) && Finished(irp, in, Move(d, irp, in, Now(), &irql))) {
    status = STATUS_SUCCESS;
  } else if (d->stopping || Closed(irp) || !Rearm(irp)) { /* the close may have come during the copy */
    status = STATUS_CANCELLED;
  } else {
    IoMarkIrpPending(irp);
    Enqueue(d, in, irp);
  }
  /* The worker looks at the queues again for a new deadline, or when data moved that
   * requests of the other pipe wait for. */
  wake = status == STATUS_PENDING || !IsListEmpty(&d->queues[!in]);
  KeReleaseSpinLock(&d->lock, irql);
  EndServing(d);
  if (wake) KeSetEvent(&g_wake, IO_NO_INCREMENT, FALSE);
  return status == STATUS_PENDING ? status : Complete(irp, status, irp->IoStatus.Information);
}

static NTSTATUS ControlRequest(DEVICE_STATE *d, PIRP irp, BOOLEAN in) {
  UCHAR *buffer = (UCHAR *)irp->AssociatedIrp.SystemBuffer;
  ULONG length = LengthOf(irp);
  if (!Present(d, irp)) return Complete(irp, STATUS_GONE, 0);
  if (in) {
    /* Nothing behind the default pipe but a device that answers with zeros. */
    RtlZeroMemory(buffer, length);
  } else {
    /* The I/O manager copies `length` bytes of the system buffer to the output: the
     * data stage that was sent, not the record in front of it. */
    RtlMoveMemory(buffer, buffer + sizeof(PXUSB_RECORD), length);
  }
  return Complete(irp, STATUS_SUCCESS, length);
}

static NTSTATUS PipeControl(DEVICE_STATE *d, PIRP irp, ULONG code, const PXUSB_RECORD *record) {
  if (!Present(d, irp)) return Complete(irp, STATUS_GONE, 0);
  /* A reset clears the pipe's error state, which the model never enters; an abort ends
   * the pipe's requests in progress. */
  if (code == IOCTL_PXUSB_ABORT_PIPE) {
    EndWhere(d, &d->queues[record->pipe == PXUSBDRV_PIPE_IN], Any, NULL, STATUS_CANCELLED);
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS Counts(PIRP irp) {
  PXUSBDRV_COUNTS counts;
  int i;
  RtlZeroMemory(&counts, sizeof counts);
  counts.irpsHeld = (uint32_t)g_irpsHeld - 1; /* not this one */
  counts.poolBlocks = (uint32_t)g_poolBlocks;
  for (i = 0; i < MODEL_DEVICES; ++i) {
    DEVICE_STATE *each = StateOf(g_devices[i]);
    KIRQL irql;
    KeAcquireSpinLock(&each->lock, &irql);
    counts.pendingWrites += each->queued[0];
    counts.pendingReads += each->queued[1];
    KeReleaseSpinLock(&each->lock, irql);
  }
  RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &counts, sizeof counts);
  return Complete(irp, STATUS_SUCCESS, sizeof counts);
}

static NTSTATUS Plug(const PXUSBDRV_SETTING *setting, PIRP irp) {
  DEVICE_STATE *d = StateOf(g_devices[setting->device]);
  LIST_ENTRY done;
  KIRQL irql;
  InitializeListHead(&done);
  BeginServing(d); /* no data moves while the device changes */
  KeAcquireSpinLock(&d->lock, &irql);
  if (setting->value) {
    if (!d->plugged) ++d->generation;
    d->ringHead = d->ringCount = 0;
    d->started = FALSE;
    d->produced = 0;
  } else {
    TakeWhere(d, &d->queues[0], Any, NULL, STATUS_CANCELLED, &done);
    TakeWhere(d, &d->queues[1], Any, NULL, STATUS_CANCELLED, &done);
  }
  d->plugged = setting->value != 0;
  KeReleaseSpinLock(&d->lock, irql);
  EndServing(d);
  CompleteAll(&done);
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS SetRate(const PXUSBDRV_SETTING *setting, PIRP irp) {
  DEVICE_STATE *d = StateOf(g_devices[setting->device]);
  KIRQL irql;
  BeginServing(d);
  KeAcquireSpinLock(&d->lock, &irql);
  d->rate = setting->value;
  d->started = FALSE;
  d->produced = 0;
  KeReleaseSpinLock(&d->lock, irql);
  EndServing(d);
  KeSetEvent(&g_wake, IO_NO_INCREMENT, FALSE);
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS StatusOf(PXUSB_VERDICT verdict) {
  switch (verdict) {
    case PXUSB_VALID: return STATUS_SUCCESS;
    case PXUSB_BAD_PARAMETER: return STATUS_INVALID_PARAMETER;
    case PXUSB_TOO_SMALL: return STATUS_BUFFER_TOO_SMALL;
    default: return STATUS_INVALID_DEVICE_REQUEST;
  }
}

static NTSTATUS NTAPI DispatchIoControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  DEVICE_STATE *d = StateOf(device);
  PXUSB_REQUEST request;
  const PXUSB_RECORD *record;
  NTSTATUS status;
  if (!Take(device, irp)) return STATUS_DELETE_PENDING;
  request.code = stack->Parameters.DeviceIoControl.IoControlCode;
  request.systemBuffer = irp->AssociatedIrp.SystemBuffer;
  request.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  request.hasMdl = irp->MdlAddress != NULL;
  status = StatusOf(PxusbCheckRequest(d->kind, &request));
  if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
  record = (const PXUSB_RECORD *)request.systemBuffer;
  switch (request.code) {
    case IOCTL_PXUSB_WRITE_PIPE:
    case IOCTL_PXUSB_READ_PIPE: {
      BOOLEAN in = request.code == IOCTL_PXUSB_READ_PIPE;
      if (record->pipe != (in ? PXUSBDRV_PIPE_IN : PXUSBDRV_PIPE_OUT)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      return PipeRequest(d, irp, in, record);
    }
    case IOCTL_PXUSB_CONTROL_OUT: return ControlRequest(d, irp, FALSE);
    case IOCTL_PXUSB_CONTROL_IN: return ControlRequest(d, irp, TRUE);
    case IOCTL_PXUSB_RESET_PIPE:
    case IOCTL_PXUSB_ABORT_PIPE:
      if (record->pipe != PXUSBDRV_PIPE_IN && record->pipe != PXUSBDRV_PIPE_OUT) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      }
      return PipeControl(d, irp, request.code, record);
    case IOCTL_PXUSBDRV_PLUG: return Plug((const PXUSBDRV_SETTING *)request.systemBuffer, irp);
    case IOCTL_PXUSBDRV_SET_RATE: return SetRate((const PXUSBDRV_SETTING *)request.systemBuffer, irp);
    default: return Counts(irp);
  }
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  DEVICE_STATE *d = StateOf(device);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (!Take(device, irp)) return STATUS_DELETE_PENDING;
  /* The devices have no names below them. */
  if (!file || file->FileName.Length != 0) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
  /* A device that was pulled out has no file to open, as on unplug. (Wine 8 opens the
   * file whatever this answers; its requests then fail as the device is not there.) */
  if (d->kind != PXUSB_KIND_CONTROL && !d->plugged) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
  file->FsContext = (PVOID)d->generation;
  file->FsContext2 = NULL;
  return Complete(irp, STATUS_SUCCESS, 0);
}

/* The last handle of a file is closed: its requests still in progress end here, as
 * the I/O manager leaves that to the driver, and later ones of the file are refused.
 * Windows sends IRP_MJ_CLEANUP for it and IRP_MJ_CLOSE once nothing refers to the
 * file; Wine 8 sends only IRP_MJ_CLOSE, at once, so both end what is left. */
static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
  DEVICE_STATE *d = StateOf(device);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  KIRQL irql;
  if (!Take(device, irp)) return STATUS_DELETE_PENDING;
  if (file && d->kind != PXUSB_KIND_CONTROL) {
    KeAcquireSpinLock(&d->lock, &irql);
    file->FsContext2 = (PVOID)1;
    KeReleaseSpinLock(&d->lock, irql);
    EndWhere(d, NULL, OfFile, file, STATUS_CANCELLED);
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

/* ---- load and unload ----------------------------------------------------------------- */

static WCHAR g_serviceKey[512];

static void SaveCount(const WCHAR *name, LONG value) {
  ULONG data = (ULONG)value;
  RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, g_serviceKey, name, REG_DWORD, &data, sizeof data);
}

static void LinkName(UNICODE_STRING *name, WCHAR *text, USHORT size, int index) {
  RtlInitUnicodeString(name, text);
  name->MaximumLength = size;
  RtlAppendUnicodeToString(name, g_names[index]);
}

static void DeleteDevices(void) {
  int i;
  for (i = 0; i < DEVICES; ++i) {
    UNICODE_STRING link;
    WCHAR text[64] = L"\\DosDevices\\";
    if (!g_devices[i]) continue;
    LinkName(&link, text, sizeof text, i);
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
  ZwWaitForSingleObject(g_worker, FALSE, NULL);
  ZwClose(g_worker);
  g_worker = NULL;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  int i;
  StopWorker();
  for (i = 0; i < DEVICES; ++i) {
    DEVICE_STATE *d = g_devices[i] ? StateOf(g_devices[i]) : NULL;
    KIRQL irql;
    if (!d) continue;
    KeAcquireSpinLock(&d->lock, &irql);
    d->stopping = TRUE;
    KeReleaseSpinLock(&d->lock, irql);
    CompleteCancelled(d); /* what the worker did not get to */
    /* Requests still queued (Wine unloads us with files open) end as on unplug; then
     * the requests still inside a dispatch routine are waited for. */
    g_endedAtUnload += EndWhere(d, NULL, Any, NULL, STATUS_CANCELLED);
    if (NT_SUCCESS(IoAcquireRemoveLock(&d->removeLock, driver))) {
      IoReleaseRemoveLockAndWait(&d->removeLock, driver);
    }
  }
  DeleteDevices();
  SaveCount(L"" PXUSBDRV_VALUE_IRPS, g_irpsHeld);
  SaveCount(L"" PXUSBDRV_VALUE_POOL, g_poolBlocks);
  SaveCount(L"" PXUSBDRV_VALUE_ENDED, g_endedAtUnload);
}

/* A SID of the NT authority with up to two sub-authorities. (Wine's SeExports holds
 * no valid SIDs, so they are made here.) */
typedef struct NT_SID {
  ULONG space[4];
} NT_SID;

static PSID NtSid(NT_SID *sid, UCHAR count, ULONG first, ULONG second) {
  SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
  RtlInitializeSid((PSID)sid->space, &nt, count);
  *RtlSubAuthoritySid((PSID)sid->space, 0) = first;
  if (count > 1) *RtlSubAuthoritySid((PSID)sid->space, 1) = second;
  return (PSID)sid->space;
}

/* Gives the control device a DACL that lets only the system and administrators open
 * it: what IoCreateDeviceSecure does with "D:P(A;;GA;;;SY)(A;;GA;;;BA)", which lives
 * in a library that mingw-w64 does not have. */
static NTSTATUS AdministratorsOnly(PDEVICE_OBJECT device) {
  ULONG aclSpace[32];
  PACL acl = (PACL)aclSpace;
  NT_SID system, administrators;
  SECURITY_DESCRIPTOR descriptor;
  HANDLE handle;
  NTSTATUS status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (NT_SUCCESS(status)) status = RtlCreateAcl(acl, sizeof aclSpace, ACL_REVISION);
  if (NT_SUCCESS(status)) {
    status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS,
                                    NtSid(&system, 1, SECURITY_LOCAL_SYSTEM_RID, 0));
  }
  if (NT_SUCCESS(status)) {
    status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS,
                                    NtSid(&administrators, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS));
  }
  if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
  if (!NT_SUCCESS(status)) return status;
  status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode, &handle);
  if (!NT_SUCCESS(status)) return status;
  status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
  ZwClose(handle);
  return status;
}

static NTSTATUS CreateDevice(PDRIVER_OBJECT driver, int index) {
  UNICODE_STRING name, link;
  WCHAR nameText[64] = L"\\Device\\", linkText[64] = L"\\DosDevices\\";
  DEVICE_STATE *d;
  NTSTATUS status;
  LinkName(&name, nameText, sizeof nameText, index);
  LinkName(&link, linkText, sizeof linkText, index);
  /* FILE_DEVICE_SECURE_OPEN: the device's security also holds for names below it. */
  status = IoCreateDevice(driver, sizeof(DEVICE_STATE), &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                          &g_devices[index]);
  if (!NT_SUCCESS(status)) return status;
  d = StateOf(g_devices[index]);
  RtlZeroMemory(d, sizeof *d);
  KeInitializeSpinLock(&d->lock);
  IoInitializeRemoveLock(&d->removeLock, POOL_TAG, 0, 0);
  ExInitializeFastMutex(&d->serving);
  InitializeListHead(&d->queues[0]);
  InitializeListHead(&d->queues[1]);
  InitializeListHead(&d->cancelled);
  d->kind = (PXUSB_KIND)index;
  d->plugged = TRUE;
  d->generation = 1; /* a file whose open failed has 0 */
  if (d->kind == PXUSB_KIND_LOOPBACK) {
    d->ring = (UCHAR *)Allocate(RING_SIZE);
    if (!d->ring) return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (d->kind == PXUSB_KIND_CONTROL) {
    status = AdministratorsOnly(g_devices[index]);
    if (!NT_SUCCESS(status)) return status;
  }
  g_devices[index]->Flags |= DO_BUFFERED_IO;
  g_devices[index]->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &name);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  OBJECT_ATTRIBUTES attributes;
  HANDLE thread = NULL;
  NTSTATUS status = STATUS_SUCCESS;
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

  for (i = 0; i < DEVICES && NT_SUCCESS(status); ++i) status = CreateDevice(driver, i);
  InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  if (NT_SUCCESS(status)) status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, NULL, NULL, Worker, NULL);
  if (NT_SUCCESS(status)) g_worker = thread;
  if (!NT_SUCCESS(status)) {
    StopWorker();
    DeleteDevices();
  }
  return status;
}
