// The Windows back end: a COM device through the communications API, manual-reset events, a
// thread for the worker and critical sections for the ring locks. Each platform call goes
// through win32_calls, with its failure code beside it.
#include <chrono>
#include <cstring>
#include <initializer_list>

#include "serport_link.h"
#include "win32_calls.h"

namespace {

Win32Calls& sys = win32_calls;

const DWORD START_WAIT_MS = 2000;
const DWORD STOP_WAIT_MS = 5000;
const DWORD IDLE_WAIT_MS = 5;
const DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// What WaitForWrites reports when the worker ended without a system error of its own.
const DWORD WORKER_GONE_ERROR = ERROR_GEN_FAILURE;

void copy_name(char (&name)[256], const char* device) {
    std::strncpy(name, device, sizeof name);
    name[sizeof name - 1] = '\0';
}

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

bool is_offered_bitrate(int bitrate) {
    static const int rates[] = {110,   300,   600,   1200,   2400,   4800,  9600,
                                19200, 38400, 57600, 115200, 230400, 460800};
    for (int rate : rates)
        if (rate == bitrate) return true;
    return false;
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

SerPort_Link* link_create(HANDLE device, uint32_t chunk) {
    SerPort_Link* link = link_new(device, NULL, chunk);
    sys.InitializeCriticalSection(&link->txLock);
    sys.InitializeCriticalSection(&link->rxLock);
    return link;
}

// The last holder of the link releases it.
void link_release(SerPort_Link* link) {
    if (link->holders.fetch_sub(1) != 1) return;
    for (HANDLE event : {link->evStarted, link->evTxKick, link->evRxData})
        if (event != NULL) sys.CloseHandle(event);
    sys.DeleteCriticalSection(&link->txLock);
    sys.DeleteCriticalSection(&link->rxLock);
    if (link->ownsDevice) sys.CloseHandle(link->device);
    delete link;
}

// Manual reset, not signalled, unnamed.
bool create_event(SerPort_Event& event) {
    event = sys.CreateEventA(NULL, TRUE, FALSE, NULL);
    return event != NULL;
}

// The worker holds the link from before it starts until it ends.
bool start_worker(SerPort_Thread& thread, SerPort_Link* link) {
    link->holders.fetch_add(1);
    link->workerEnded = false;
    thread = sys.CreateThread(NULL, 0, SerPort::txrx_thread_start, link, 0, NULL);
    if (thread != NULL) return true;
    link->workerEnded = true;
    link->holders.fetch_sub(1);
    return false;
}

}  // namespace

void lock_take(SerPort_Lock& lock) { sys.EnterCriticalSection(&lock); }
void lock_give(SerPort_Lock& lock) { sys.LeaveCriticalSection(&lock); }
void event_set(SerPort_Event event) { sys.SetEvent(event); }

void MilliSleep(int ms) {
    if (ms <= 0) return;
    sys.timeBeginPeriod(1);
    sys.SleepEx((DWORD)ms, FALSE);
    sys.timeEndPeriod(1);
}

SerPort::SerPort() : link(nullptr) { init(); }

SerPort::~SerPort() { Close(); }

void SerPort::init() {
    handle = INVALID_HANDLE_VALUE;
    opened = false;
    std::memset(&dcb, 0, sizeof dcb);
    std::memset(&savedDcb, 0, sizeof savedDcb);
    flowMode = SERPORT_FLOW_NONE;
    thread = NULL;
    threadStarted = false;
    link = nullptr;
    savedDriverFlags = -1;
}

bool SerPort::isOpen() { return opened; }

int SerPort::Check(const char* device) {
    if (opened) return SERPORT_E_ALREADY_OPEN;
    if (handle != INVALID_HANDLE_VALUE) Close();
    if (device == nullptr) return SERPORT_E_INVALID_ARG;
    char name[256];
    copy_name(name, device);
    HANDLE probe = open_device(name);
    if (probe == INVALID_HANDLE_VALUE) return check_verdict_for_open_error(GetLastError());
    int verdict = check_verdict_for_type(probe);
    close_quietly(probe);
    return verdict;
}

int SerPort::Open(const char* device, int bitrate, const char* format, int queueKiB) {
    if (opened) return SERPORT_E_ALREADY_OPEN;
    if (handle != INVALID_HANDLE_VALUE) Close();
    if (device == nullptr || bitrate <= 0 || format == nullptr || std::strlen(format) != 3 ||
        queueKiB < 4 || queueKiB > 1024)
        return SERPORT_E_INVALID_ARG;
    char name[256];
    copy_name(name, device);
    if ((handle = open_device(name)) == INVALID_HANDLE_VALUE) return SERPORT_E_CREATEFILE;
    DWORD queueBytes = (DWORD)queueKiB * 1024;
    if (!sys.SetupComm(handle, queueBytes, queueBytes)) return SERPORT_E_SETUPCOMM;
    sys.PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
    // Reads return at once with whatever has arrived; writes have no time-out.
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    if (!sys.SetCommTimeouts(handle, &timeouts)) return SERPORT_E_SETCOMMTIMEOUTS;
    dcb.DCBlength = sizeof dcb;
    if (!sys.GetCommState(handle, &dcb)) return SERPORT_E_GETCOMMSTATE;
    savedDcb = dcb;
    if (!is_offered_bitrate(bitrate)) return SERPORT_E_INVALID_ARG;
    dcb.BaudRate = (DWORD)bitrate;
    if (!apply_format(format, dcb)) return SERPORT_E_INVALID_ARG;
    flowMode = SERPORT_FLOW_NONE;
    set_plain_line(dcb);
    if (!sys.SetCommState(handle, &dcb)) return SERPORT_E_SETCOMMSTATE;
    sys.PurgeComm(handle, PURGE_ALL);
    opened = true;
    link = link_create(handle, chunk_for_bitrate(bitrate));
    if (!create_event(link->evStarted)) return SERPORT_E_CREATEEVENT;
    if (!create_event(link->evTxKick)) return SERPORT_E_CREATEEVENT;
    if (!create_event(link->evRxData)) return SERPORT_E_CREATEEVENT;
    if (!start_worker(thread, link)) return SERPORT_E_CREATETHREAD;
    threadStarted = true;
    if (sys.WaitForSingleObject(link->evStarted, START_WAIT_MS) != WAIT_OBJECT_0) return SERPORT_E_WAITFORSINGLEOBJECT;
    sys.ResetEvent(link->evStarted);
    return 0;
}

void SerPort::Close() {
    if (handle == INVALID_HANDLE_VALUE) return;
    bool workerLeftRunning = false;
    if (threadStarted) {
        link->stopWorker = true;
        workerLeftRunning = sys.WaitForSingleObject(thread, STOP_WAIT_MS) != WAIT_OBJECT_0;
        sys.CloseHandle(thread);
    }
    if (link != nullptr) {
        // A worker that would not end keeps the device, the rings and the events until it does.
        link->ownsDevice = workerLeftRunning;
        ReleaseLink();
    }
    sys.PurgeComm(handle, PURGE_ALL);
    if (opened) sys.SetCommState(handle, &savedDcb);
    if (!workerLeftRunning) sys.CloseHandle(handle);
    init();
}

void SerPort::ReleaseLink() {
    link_release(link);
    link = nullptr;
}

SerPort_ThreadResult SerPort::txrx_thread_start(void* arg) {
    if (arg == nullptr) return 0;
    SerPort_Link* link = static_cast<SerPort_Link*>(arg);
    txrx_thread_run(*link);
    link->workerEnded = true;
    link_release(link);
    return 0;
}

namespace {

// Ends the worker on a failed call, keeping the cause for WaitForWrites to report.
void worker_failed(SerPort_Link& link, DWORD error) {
    link.workerError = (int)(error != 0 ? error : WORKER_GONE_ERROR);
}

}  // namespace

void SerPort::txrx_thread_run(SerPort_Link& link) {
    uint8_t chunk[SERPORT_MAX_CHUNK];
    event_set(link.evStarted);
    for (;;) {
        DWORD waited = sys.WaitForSingleObject(link.evTxKick, IDLE_WAIT_MS);
        DWORD waitError = GetLastError();
        sys.ResetEvent(link.evTxKick);
        if (waited == WAIT_FAILED) { worker_failed(link, waitError); return; }
        if (link.stopWorker) return;
        for (;;) {
            DWORD w = 0, r = 0;
            uint32_t purgeMark;
            uint32_t n = ring_copy_chunk(link, chunk, purgeMark);
            if (n > 0) {
                if (!sys.WriteFile(link.device, chunk, n, &w, NULL)) { worker_failed(link, GetLastError()); return; }
                if (link.stopWorker) return;
                if (w > 0) ring_commit_sent(link, w, purgeMark);
            }
            if (ring_has_room(link)) {
                if (!sys.ReadFile(link.device, chunk, link.ioChunk, &r, NULL)) { worker_failed(link, GetLastError()); return; }
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

int SerPort::WaitForWrites() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    while (link->txCount.load() != 0) {
        // A worker that has ended will never empty the ring.
        if (link->workerEnded) {
            int error = link->workerError.load();
            SetLastError(error != 0 ? (DWORD)error : WORKER_GONE_ERROR);
            return SERPORT_E_FLUSHFILEBUFFERS;
        }
        MilliSleep(1);
    }
    if (!sys.FlushFileBuffers(handle)) return SERPORT_E_FLUSHFILEBUFFERS;
    return 0;
}

int SerPort::WaitForReads(int timeoutMs) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (timeoutMs <= 0) return SERPORT_E_INVALID_ARG;
    sys.ResetEvent(link->evRxData);
    uint32_t waiting = link->rxCount.load();
    if (waiting != 0) return (int)waiting;
    // The event can come late for bytes already taken out: such a wake-up with nothing waiting
    // is not an answer, so wait on for the rest of the time.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (DWORD left = (DWORD)timeoutMs;;) {
        DWORD waited = sys.WaitForSingleObject(link->evRxData, left);
        if (waited == WAIT_FAILED) return SERPORT_E_WAITFORSINGLEOBJECT;
        sys.ResetEvent(link->evRxData);
        waiting = link->rxCount.load();
        auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (waiting != 0 || waited == WAIT_TIMEOUT || rest.count() <= 0) return (int)waiting;
        left = (DWORD)rest.count();
    }
}

int SerPort::PurgeWrites() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    ring_clear_tx(*link);
    if (!sys.PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR)) return SERPORT_E_PURGECOMM;
    return 0;
}

int SerPort::PurgeReads() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (!sys.PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR)) return SERPORT_E_PURGECOMM;
    ring_clear_rx(*link);
    return 0;
}

int SerPort::PurgeAll() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    ring_clear_tx(*link);
    if (!sys.PurgeComm(handle, PURGE_ALL)) return SERPORT_E_PURGECOMM;
    ring_clear_rx(*link);
    return 0;
}
