// The Windows back end: a COM device through the communications API, manual-reset events, a
// thread for the worker and critical sections for the ring locks. Each platform call goes
// through win32_calls, with its failure code beside it.
#include "serport_internal.h"
#include "win32_calls.h"

namespace {

Win32Calls& sys = win32_calls;

const DWORD IDLE_WAIT_MS = 5;
// Calls on one device handle wait for each other: a write held off by flow control would hold
// every later call (Close's among them) for as long as the line stays off. Each of the worker's
// writes carries at most about 91 ms of line time (one byte at 110 bit/s), so this bounds a held
// write without cutting a moving one short; the worker then sees Close's request to stop.
const DWORD WRITE_TIMEOUT_MS = 500;
const DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// For reading and writing, no sharing, no security attributes, existing devices only.
HANDLE open_device(const char* name) {
    return sys.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
}

// Closes a handle and keeps the last error as the failure before it left it.
void close_quietly(HANDLE h) {
    DWORD saved = GetLastError();
    sys.CloseHandle(h);
    SetLastError(saved);
}

int check_verdict_for_open_error(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return SERPORT_CHECK_NOT_FOUND;
    case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: return SERPORT_CHECK_ACCESS_DENIED;
    default: return SERPORT_CHECK_OTHER_ERROR;
    }
}

// A type the system cannot name but reports no error for counts as a character device.
int check_verdict_for_type(HANDLE probe) {
    if (sys.GetFileType(probe) == FILE_TYPE_CHAR) return SERPORT_CHECK_USABLE;
    DWORD type = sys.GetFileType(probe);
    DWORD error = GetLastError();
    return type == FILE_TYPE_UNKNOWN && error == NO_ERROR ? SERPORT_CHECK_USABLE : SERPORT_CHECK_NOT_TTY;
}

// Data bits, parity and stop bits from the three format characters.
bool apply_format(const char* format, DCB& dcb) {
    switch (format[0]) {
    case '6': dcb.ByteSize = 6; break;
    case '7': dcb.ByteSize = 7; break;
    case '8': dcb.ByteSize = 8; break;
    default: return false;
    }
    switch (format[1]) {
    case 'N': case 'n': dcb.Parity = NOPARITY; break;
    case 'O': case 'o': dcb.Parity = ODDPARITY; break;
    case 'E': case 'e': dcb.Parity = EVENPARITY; break;
    default: return false;
    }
    switch (format[2]) {
    case '1': dcb.StopBits = ONESTOPBIT; break;
    case '2': dcb.StopBits = TWOSTOPBITS; break;
    default: return false;
    }
    return true;
}

// Binary bytes, no flow control, DTR and RTS raised, no character replaced or dropped. The
// reserved bits and the special characters stay as the device reported them.
void set_plain_line(DCB& dcb) {
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 2048;
    dcb.XoffLim = 1024;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
}

}  // namespace

const SerPort_Handle SERPORT_NO_HANDLE = INVALID_HANDLE_VALUE;
const int SERPORT_WORKER_GONE_ERROR = ERROR_GEN_FAILURE;

void set_system_error(int error) { SetLastError((DWORD)error); }

void lock_init(SerPort_Lock& lock) { sys.InitializeCriticalSection(&lock); }
void lock_take(SerPort_Lock& lock) { sys.EnterCriticalSection(&lock); }
void lock_give(SerPort_Lock& lock) { sys.LeaveCriticalSection(&lock); }
void lock_destroy(SerPort_Lock& lock) { sys.DeleteCriticalSection(&lock); }

bool event_create(SerPort_Event& event) {
    event = sys.CreateEventA(NULL, TRUE, FALSE, NULL);
    return event != NULL;
}

void event_set(SerPort_Event event) { sys.SetEvent(event); }
void event_reset(SerPort_Event event) { sys.ResetEvent(event); }

int event_wait(SerPort_Event event, int timeoutMs) {
    DWORD waited = sys.WaitForSingleObject(event, (DWORD)timeoutMs);
    return waited == WAIT_OBJECT_0 ? 1 : waited == WAIT_FAILED ? -1 : 0;
}

void event_close(SerPort_Event event) { sys.CloseHandle(event); }

bool thread_start(SerPort_Thread& thread, SerPort_Link* link) {
    thread = sys.CreateThread(NULL, 0, SerPort::txrx_thread_start, link, 0, NULL);
    return thread != NULL;
}

// The thread handle is closed whatever the outcome; a worker that does not end is not forced.
bool thread_join(SerPort_Thread thread, int timeoutMs) {
    bool ended = sys.WaitForSingleObject(thread, (DWORD)timeoutMs) == WAIT_OBJECT_0;
    sys.CloseHandle(thread);
    return ended;
}

int device_probe(const char* name) {
    HANDLE probe = open_device(name);
    if (probe == INVALID_HANDLE_VALUE) return check_verdict_for_open_error(GetLastError());
    int verdict = check_verdict_for_type(probe);
    close_quietly(probe);
    return verdict;
}

void device_close(HANDLE device) { sys.CloseHandle(device); }

bool device_flush(HANDLE device) { return sys.FlushFileBuffers(device) != 0; }

bool device_purge(HANDLE device, SerPort_Queue queues) {
    DWORD flags = queues == SERPORT_QUEUE_TX   ? PURGE_TXABORT | PURGE_TXCLEAR
                  : queues == SERPORT_QUEUE_RX ? PURGE_RXABORT | PURGE_RXCLEAR
                                               : PURGE_ALL;
    return sys.PurgeComm(device, flags) != 0;
}

void MilliSleep(int ms) {
    if (ms <= 0) return;
    sys.timeBeginPeriod(1);
    sys.SleepEx((DWORD)ms, FALSE);
    sys.timeEndPeriod(1);
}

int SerPort::Open(const char* device, int bitrate, const char* format, int queueKiB) {
    char name[256];
    int refused = BeginOpen(device, bitrate, format, queueKiB, name);
    if (refused != 0) return refused;
    if ((handle = open_device(name)) == INVALID_HANDLE_VALUE) return SERPORT_E_CREATEFILE;
    DWORD queueBytes = (DWORD)queueKiB * 1024;
    if (!sys.SetupComm(handle, queueBytes, queueBytes)) return SERPORT_E_SETUPCOMM;
    sys.PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
    // Reads return at once with whatever has arrived; a write held off returns what it wrote.
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, WRITE_TIMEOUT_MS};
    if (!sys.SetCommTimeouts(handle, &timeouts)) return SERPORT_E_SETCOMMTIMEOUTS;
    dcb.DCBlength = sizeof dcb;
    if (!sys.GetCommState(handle, &dcb)) return SERPORT_E_GETCOMMSTATE;
    savedDcb = dcb;
    if (!offered_bitrate(bitrate)) return SERPORT_E_INVALID_ARG;
    dcb.BaudRate = (DWORD)bitrate;
    if (!apply_format(format, dcb)) return SERPORT_E_INVALID_ARG;
    flowMode = SERPORT_FLOW_NONE;
    set_plain_line(dcb);
    if (!sys.SetCommState(handle, &dcb)) return SERPORT_E_SETCOMMSTATE;
    sys.PurgeComm(handle, PURGE_ALL);
    opened = true;
    return StartWorker(bitrate);
}

// The device calls come before the link is let go: a worker that ends late closes the device
// as it releases the link, and the handle must still be this port's when it is purged and its
// settings are put back.
void SerPort::Close() {
    if (handle == INVALID_HANDLE_VALUE) return;
    bool workerLeftRunning = StopWorker();
    sys.PurgeComm(handle, PURGE_ALL);
    if (opened) sys.SetCommState(handle, &savedDcb);
    ReleaseLink(workerLeftRunning);
    if (!workerLeftRunning) sys.CloseHandle(handle);
    init();
}

// The worker looks at stopWorker and at the receive ring's room after every idle wait, which
// ends within IDLE_WAIT_MS on its own: nothing more is needed to wake it.
void worker_wake(SerPort_Link&) {}

void SerPort::txrx_thread_run(SerPort_Link& link) {
    uint8_t chunk[SERPORT_MAX_CHUNK];
    event_set(link.evStarted);
    for (;;) {
        DWORD waited = sys.WaitForSingleObject(link.evTxKick, IDLE_WAIT_MS);
        DWORD waitError = GetLastError();
        sys.ResetEvent(link.evTxKick);
        if (waited == WAIT_FAILED) { worker_failed(link, (int)waitError); return; }
        if (link.stopWorker) return;
        for (;;) {
            DWORD w = 0, r = 0;
            uint32_t purgeMark;
            uint32_t n = ring_copy_chunk(link, chunk, purgeMark);
            if (n > 0) {
                if (!sys.WriteFile(link.device, chunk, n, &w, NULL)) { worker_failed(link, (int)GetLastError()); return; }
                if (link.stopWorker) return;
                if (w > 0) ring_commit_sent(link, w, purgeMark);
            }
            if (ring_has_room(link)) {
                if (!sys.ReadFile(link.device, chunk, link.ioChunk, &r, NULL)) { worker_failed(link, (int)GetLastError()); return; }
                if (link.stopWorker) return;
                if (r > 0) {
                    ring_store_received(link, chunk, r);
                    event_set(link.evRxData);
                }
            }
            if (w == 0 && r == 0) break;
        }
    }
}
