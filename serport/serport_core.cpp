// The port logic both back ends share: the argument checks, the bit rates, the object's life,
// the link and the worker's start and stop, the buffered operations and both waits, the rings,
// and the line operations' checks. The back ends supply only their platform calls
// (serport_internal.h) and their own Open, Close, worker loop and MilliSleep.
#include <chrono>
#include <cstring>
#include <initializer_list>

#include "serport_internal.h"

namespace {

const int START_WAIT_MS = 2000;
const int STOP_WAIT_MS = 5000;

uint32_t wrap(uint32_t slot) { return slot >= SERPORT_RING_SIZE ? slot - SERPORT_RING_SIZE : slot; }

// At most 255 characters of the name reach the platform, unchanged.
void copy_name(char (&name)[256], const char* device) {
    std::strncpy(name, device, sizeof name);
    name[sizeof name - 1] = '\0';
}

// Chunk size for a bit rate: about 5.6 ms of line time, 1..256 bytes.
uint32_t chunk_for_bitrate(int bitrate) {
    uint32_t chunk = (uint32_t)bitrate / 1800;
    if (chunk == 0) return 1;
    return chunk > SERPORT_MAX_CHUNK ? SERPORT_MAX_CHUNK : chunk;
}

// A new link in its starting state: no events yet, no worker, empty rings, held by the port.
SerPort_Link* link_create(SerPort_Handle device, uint32_t chunk) {
    SerPort_Link* link = new SerPort_Link;
    link->device = device;
    link->evStarted = link->evTxKick = link->evRxData = SERPORT_NO_EVENT;
    link->stopWorker = false;
    link->workerEnded = true;  // until a worker runs
    link->workerError = 0;
    link->holders = 1;
    link->ownsDevice = false;
    link->ioChunk = chunk;
    link->txPurges = 0;
    link->txCount = link->rxCount = 0;
    link->txTail = link->rxTail = link->txHead = link->rxHead = 0;
    lock_init(link->txLock);
    lock_init(link->rxLock);
    return link;
}

// The last holder of the link releases it.
void link_release(SerPort_Link* link) {
    if (link->holders.fetch_sub(1) != 1) return;
    for (SerPort_Event event : {link->evStarted, link->evTxKick, link->evRxData})
        if (event != SERPORT_NO_EVENT) event_close(event);
    lock_destroy(link->txLock);
    lock_destroy(link->rxLock);
    if (link->ownsDevice) device_close(link->device);
    delete link;
}

// The worker holds the link from before it starts until it ends.
bool start_worker(SerPort_Thread& thread, SerPort_Link* link) {
    link->holders.fetch_add(1);
    link->workerEnded = false;
    if (thread_start(thread, link)) return true;
    link->workerEnded = true;
    link->holders.fetch_sub(1);
    return false;
}

int worker_error(const SerPort_Link& link) {
    int error = link.workerError.load();
    return error != 0 ? error : SERPORT_WORKER_GONE_ERROR;
}

void ring_clear_tx(SerPort_Link& link) {
    lock_take(link.txLock);
    link.txHead = link.txTail = 0;
    link.txCount.store(0);
    ++link.txPurges;
    lock_give(link.txLock);
}

// Reading pauses while the receive ring lacks room for a chunk.
bool room_for_chunk(uint32_t held, uint32_t chunk) { return held < SERPORT_RING_SIZE - chunk; }

// Taking bytes out of the receive ring, from held down to left, may end a pause in reading.
void rx_taken(SerPort_Link& link, uint32_t held, uint32_t left) {
    if (!room_for_chunk(held, link.ioChunk) && room_for_chunk(left, link.ioChunk)) worker_wake(link);
}

void ring_clear_rx(SerPort_Link& link) {
    lock_take(link.rxLock);
    uint32_t held = link.rxCount.load();
    link.rxHead = link.rxTail = 0;
    link.rxCount.store(0);
    lock_give(link.rxLock);
    rx_taken(link, held, 0);
}

}  // namespace

bool offered_bitrate(int bitrate) {
    static const int rates[] = {110,   300,   600,   1200,   2400,   4800,  9600,
                                19200, 38400, 57600, 115200, 230400, 460800};
    for (int rate : rates)
        if (rate == bitrate) return true;
    return false;
}

// The receive event wakes a WaitForReads, which reports the failure at once: an unplugged
// adapter is the cable's fault, not a silent target's.
void worker_failed(SerPort_Link& link, int error) {
    link.workerError = error != 0 ? error : SERPORT_WORKER_GONE_ERROR;
    event_set(link.evRxData);
}

SerPort::SerPort() : link(nullptr) { init(); }

SerPort::~SerPort() { Close(); }

void SerPort::init() {
    handle = SERPORT_NO_HANDLE;
    opened = false;
    std::memset(&dcb, 0, sizeof dcb);
    std::memset(&savedDcb, 0, sizeof savedDcb);
    flowMode = SERPORT_FLOW_NONE;
    thread = SerPort_Thread();
    threadStarted = false;
    link = nullptr;
    backEnd = SerPort_BackEndState();
}

bool SerPort::isOpen() { return opened; }

int SerPort::Check(const char* device) {
    if (opened) return SERPORT_E_ALREADY_OPEN;
    if (handle != SERPORT_NO_HANDLE) Close();
    if (device == nullptr) return SERPORT_E_INVALID_ARG;
    char name[256];
    copy_name(name, device);
    return device_probe(name);
}

// The checks before Open touches the device; a device left from a failed Open is let go first.
int SerPort::BeginOpen(const char* device, int bitrate, const char* format, int queueKiB, char (&name)[256]) {
    if (opened) return SERPORT_E_ALREADY_OPEN;
    if (handle != SERPORT_NO_HANDLE) Close();
    if (device == nullptr || bitrate <= 0 || format == nullptr || std::strlen(format) != 3 ||
        queueKiB < 4 || queueKiB > 1024)
        return SERPORT_E_INVALID_ARG;
    copy_name(name, device);
    return 0;
}

// The last steps of Open, once the line settings are in force: the link, its events, the worker
// and its start signal.
int SerPort::StartWorker(int bitrate) {
    link = link_create(handle, chunk_for_bitrate(bitrate));
    if (!event_create(link->evStarted)) return SERPORT_E_CREATEEVENT;
    if (!event_create(link->evTxKick)) return SERPORT_E_CREATEEVENT;
    if (!event_create(link->evRxData)) return SERPORT_E_CREATEEVENT;
    if (!start_worker(thread, link)) return SERPORT_E_CREATETHREAD;
    threadStarted = true;
    if (event_wait(link->evStarted, START_WAIT_MS) <= 0) return SERPORT_E_WAITFORSINGLEOBJECT;
    event_reset(link->evStarted);
    return 0;
}

// Asks the worker to end and waits for it; true when it is still running after the wait.
bool SerPort::StopWorker() {
    if (!threadStarted) return false;
    link->stopWorker = true;
    worker_wake(*link);
    return !thread_join(thread, STOP_WAIT_MS);
}

// A worker that would not end keeps the device, the rings and the events until it does.
void SerPort::ReleaseLink(bool workerLeftRunning) {
    if (link == nullptr) return;
    link->ownsDevice = workerLeftRunning;
    link_release(link);
    link = nullptr;
}

SerPort_ThreadResult SERPORT_THREAD_CALL SerPort::txrx_thread_start(void* arg) {
    if (arg == nullptr) return SerPort_ThreadResult();
    SerPort_Link* link = static_cast<SerPort_Link*>(arg);
    txrx_thread_run(*link);
    link->workerEnded = true;
    link_release(link);
    return SerPort_ThreadResult();
}

int SerPort::Write(const void* src, unsigned len) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (src == nullptr) return SERPORT_E_INVALID_ARG;
    if (len == 0) return 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(src);
    unsigned stored = 0;
    lock_take(link->txLock);
    uint32_t count = link->txCount.load();
    while (stored < len && count < SERPORT_RING_SIZE) {
        link->txBuf[link->txHead] = bytes[stored++];
        link->txHead = wrap(link->txHead + 1);
        ++count;
    }
    link->txCount.store(count);
    lock_give(link->txLock);
    event_set(link->evTxKick);
    return (int)stored;
}

int SerPort::Read(void* dst, unsigned len) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (dst == nullptr) return SERPORT_E_INVALID_ARG;
    if (len == 0) return 0;
    uint8_t* bytes = static_cast<uint8_t*>(dst);
    unsigned copied = 0;
    lock_take(link->rxLock);
    uint32_t held = link->rxCount.load();
    uint32_t count = held;
    while (copied < len && count > 0) {
        bytes[copied++] = link->rxBuf[link->rxTail];
        link->rxTail = wrap(link->rxTail + 1);
        --count;
    }
    link->rxCount.store(count);
    lock_give(link->rxLock);
    rx_taken(*link, held, count);
    return (int)copied;
}

int SerPort::PendingReads() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    return (int)link->rxCount.load();
}

uint32_t ring_copy_chunk(SerPort_Link& link, uint8_t* chunk, uint32_t& purgeMark) {
    lock_take(link.txLock);
    uint32_t count = link.txCount.load();
    uint32_t n = count < link.ioChunk ? count : link.ioChunk;
    for (uint32_t i = 0, slot = link.txTail; i < n; ++i, slot = wrap(slot + 1)) chunk[i] = link.txBuf[slot];
    purgeMark = link.txPurges;
    lock_give(link.txLock);
    return n;
}

void ring_commit_sent(SerPort_Link& link, uint32_t sent, uint32_t purgeMark) {
    lock_take(link.txLock);
    if (link.txPurges == purgeMark && link.txCount.load() >= sent) {
        link.txTail = wrap(link.txTail + sent);
        link.txCount.fetch_sub(sent);
    }
    lock_give(link.txLock);
}

bool ring_has_room(const SerPort_Link& link) { return room_for_chunk(link.rxCount.load(), link.ioChunk); }

void ring_store_received(SerPort_Link& link, const uint8_t* bytes, uint32_t count) {
    lock_take(link.rxLock);
    for (uint32_t i = 0; i < count; ++i) {
        link.rxBuf[link.rxHead] = bytes[i];
        link.rxHead = wrap(link.rxHead + 1);
    }
    link.rxCount.fetch_add(count);
    lock_give(link.rxLock);
}


int SerPort::WaitForWrites() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    while (link->txCount.load() != 0) {
        // A worker that has ended will never empty the ring.
        if (link->workerEnded) {
            set_system_error(worker_error(*link));
            return SERPORT_E_FLUSHFILEBUFFERS;
        }
        MilliSleep(1);
    }
    if (!device_flush(handle)) return SERPORT_E_FLUSHFILEBUFFERS;
    return 0;
}

// Bytes already received come first; after them, a worker the device's failure ended is
// reported as a failed wait, with the device's error, instead of as silence.
int SerPort::WaitForReads(int timeoutMs) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (timeoutMs <= 0) return SERPORT_E_INVALID_ARG;
    event_reset(link->evRxData);
    uint32_t waiting = link->rxCount.load();
    if (waiting != 0) return (int)waiting;
    if (link->workerError != 0) return DeviceFailed();
    // The event can come late for bytes already taken out: such a wake-up with nothing waiting
    // is not an answer, so wait on for the rest of the time.
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (int left = timeoutMs;;) {
        int signalled = event_wait(link->evRxData, left);
        if (signalled < 0) return SERPORT_E_WAITFORSINGLEOBJECT;
        event_reset(link->evRxData);
        waiting = link->rxCount.load();
        if (waiting == 0 && link->workerError != 0) return DeviceFailed();
        left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (waiting != 0 || signalled == 0 || left <= 0) return (int)waiting;
    }
}

int SerPort::DeviceFailed() {
    set_system_error(worker_error(*link));
    return SERPORT_E_WAITFORSINGLEOBJECT;
}

int SerPort::PurgeWrites() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    ring_clear_tx(*link);
    if (!device_purge(handle, SERPORT_QUEUE_TX)) return SERPORT_E_PURGECOMM;
    return 0;
}

int SerPort::PurgeReads() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (!device_purge(handle, SERPORT_QUEUE_RX)) return SERPORT_E_PURGECOMM;
    ring_clear_rx(*link);
    return 0;
}

int SerPort::PurgeAll() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    ring_clear_tx(*link);
    if (!device_purge(handle, SERPORT_QUEUE_BOTH)) return SERPORT_E_PURGECOMM;
    ring_clear_rx(*link);
    return 0;
}

namespace {

int drive(SerPort_Handle device, SerPort_Output line, bool raised) {
    if (!device_set_output(device, line, raised)) return SERPORT_E_ESCAPECOMMFUNCTION;
    return 0;
}

}  // namespace

// Under RTS/CTS flow control the driver owns RTS.
int SerPort::SetRTS() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (flowMode == SERPORT_FLOW_RTSCTS) return SERPORT_E_HW_FLOW;
    return drive(handle, SERPORT_OUTPUT_RTS, true);
}

int SerPort::ClearRTS() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (flowMode == SERPORT_FLOW_RTSCTS) return SERPORT_E_HW_FLOW;
    return drive(handle, SERPORT_OUTPUT_RTS, false);
}

int SerPort::SetDTR() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    return drive(handle, SERPORT_OUTPUT_DTR, true);
}

int SerPort::ClearDTR() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    return drive(handle, SERPORT_OUTPUT_DTR, false);
}

int SerPort::SetFlowOff() { return SetFlowBits(SERPORT_FLOW_NONE); }
int SerPort::SetFlowXonXoff() { return SetFlowBits(SERPORT_FLOW_XONXOFF); }
int SerPort::SetFlowRtsCts() { return SetFlowBits(SERPORT_FLOW_RTSCTS); }

// Rewrites the flow bits whatever the mode in force, so the outcome never depends on the mode
// before. The working copy keeps the new bits even when the device refuses them; the mode
// changes only once the device took them.
int SerPort::SetFlowBits(int mode) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    settings_set_flow(dcb, mode);
    if (!settings_write(handle, dcb)) return SERPORT_E_SETCOMMSTATE;
    flowMode = mode;
    return 0;
}

int SerPort::SendBreak() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (!device_start_break(handle, backEnd, link->txCount.load())) return SERPORT_E_SETCOMMBREAK;
    break_hold();
    if (!device_end_break(handle)) return SERPORT_E_CLEARCOMMBREAK;
    return 0;
}

int SerPort::GetLineState() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    int lines;
    if (!device_line_state(handle, lines)) return SERPORT_E_GETCOMMMODEMSTATUS;
    return lines;
}

// Each error is reported once: the back end's look also clears what it reports.
int SerPort::GetComStatus(SerPort_INFO* info) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (info == nullptr) return SERPORT_E_INVALID_ARG;
    unsigned errors;
    if (!device_line_errors(handle, backEnd, errors)) return SERPORT_E_CLEARCOMMERROR;
    info->breakSeen = (errors & SERPORT_LINE_ERROR_BREAK) != 0;
    info->parityError = (errors & SERPORT_LINE_ERROR_PARITY) != 0;
    info->framingError = (errors & SERPORT_LINE_ERROR_FRAME) != 0;
    info->overrunError = (errors & SERPORT_LINE_ERROR_OVERRUN) != 0;
    info->rxOverflow = (errors & SERPORT_LINE_ERROR_RX_OVERFLOW) != 0;
    info->anyError = errors != 0;
    info->valid = true;
    return 0;
}
