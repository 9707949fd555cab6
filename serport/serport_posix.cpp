// The POSIX back end: a termios device, eventfds for the events, a pthread for the worker.
// Each platform call goes through posix_calls, with its failure code beside it.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include "posix_calls.h"
#include "serport_link.h"

namespace {

PosixCalls& sys = posix_calls;

const int OPEN_FLAGS = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
const int START_WAIT_MS = 2000;
const int STOP_WAIT_MS = 5000;
const int IDLE_WAIT_MS = 5;
// A descriptor that polls readable but reads nothing this many times in a row has vanished; one
// such look alone can be a purge that came between the poll and the read.
const int EMPTY_READS_GONE = 3;

void copy_name(char (&name)[256], const char* device) {
    std::strncpy(name, device, sizeof name);
    name[sizeof name - 1] = '\0';
}

// Closes fd and keeps errno as the failure before it left it.
void close_quietly(int fd) {
    int saved = errno;
    sys.close(fd);
    errno = saved;
}

int retry_on_eintr(int (*call)(int), int fd) {
    int rc;
    do rc = call(fd);
    while (rc != 0 && errno == EINTR);
    return rc;
}

bool speed_for(int bitrate, speed_t& speed) {
    static const struct { int rate; speed_t speed; } rates[] = {
        {110, B110},       {300, B300},       {600, B600},     {1200, B1200},   {2400, B2400},
        {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400}, {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800},
    };
    for (const auto& entry : rates)
        if (entry.rate == bitrate) { speed = entry.speed; return true; }
    return false;
}

// Data bits, parity and stop bits from the three format characters.
bool apply_format(const char* format, struct termios& tio) {
    tcflag_t size;
    switch (format[0]) {
    case '6': size = CS6; break;
    case '7': size = CS7; break;
    case '8': size = CS8; break;
    default: return false;
    }
    tcflag_t parity;
    switch (format[1]) {
    case 'N': case 'n': parity = 0; break;
    case 'O': case 'o': parity = PARENB | PARODD; break;
    case 'E': case 'e': parity = PARENB; break;
    default: return false;
    }
    tcflag_t stop;
    switch (format[2]) {
    case '1': stop = 0; break;
    case '2': stop = CSTOPB; break;
    default: return false;
    }
    tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB | PARODD | CSTOPB)) | size | parity | stop;
    return true;
}

// Raw bytes both ways, reads that return at once, no flow control of any kind: with IXON the
// kernel would swallow the target's 0x13 pause byte. HUPCL stays as the device had it.
void make_raw_line(struct termios& tio) {
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                     IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~CRTSCTS;
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

bool same_line_settings(const struct termios& a, const struct termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_cc[VMIN] == b.c_cc[VMIN] &&
           a.c_cc[VTIME] == b.c_cc[VTIME] && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace

// tcsetattr may apply only part of a request: read the settings back and compare.
int write_settings(int fd, const struct termios& tio) {
    if (sys.tcsetattr(fd, TCSANOW, &tio) != 0) return -1;
    struct termios applied;
    if (sys.tcgetattr(fd, &applied) != 0) return -1;
    if (same_line_settings(applied, tio)) return 0;
    errno = EINVAL;
    return -1;
}

namespace {

// Restores saved settings on close, retrying when a signal interrupts.
void restore_settings(int fd, const struct termios& tio) {
    while (sys.tcsetattr(fd, TCSANOW, &tio) != 0 && errno == EINTR) {}
}

// USB adapters hold received bytes for up to 16 ms unless asked for low latency. Returns the
// driver's previous flags, or -1 where the driver has no such setting (a pty).
int request_low_latency(int fd) {
    struct serial_struct serial;
    if (sys.ioctl(fd, TIOCGSERIAL, &serial) != 0) return -1;
    int previous = serial.flags;
    if (previous & ASYNC_LOW_LATENCY) return -1;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (sys.ioctl(fd, TIOCSSERIAL, &serial) != 0) return -1;
    return previous;
}

void restore_driver_flags(int fd, int flags) {
    struct serial_struct serial;
    if (flags < 0 || sys.ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
    serial.flags = flags;
    sys.ioctl(fd, TIOCSSERIAL, &serial);
}

// Exclusive use: flock holds against every other opener, root included; TIOCEXCL makes the
// kernel refuse other opens as well. A held lock reads as "busy".
int take_exclusive_lock(int fd) {
    if (sys.flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EWOULDBLOCK) errno = EBUSY;
    return -1;
}

int check_verdict_for_open_error(int error) {
    switch (error) {
    case ENOENT: return SERPORT_CHECK_NOT_FOUND;
    case EACCES: case EPERM: case EBUSY: return SERPORT_CHECK_ACCESS_DENIED;
    default: return SERPORT_CHECK_OTHER_ERROR;
    }
}

int64_t monotonic_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Polls until something is ready or timeoutMs has passed; a signal does not cut the wait short.
int poll_for(struct pollfd* fds, nfds_t count, int timeoutMs) {
    int64_t deadline = monotonic_ms() + timeoutMs;
    for (;;) {
        int rc = sys.poll(fds, count, timeoutMs);
        if (rc >= 0 || errno != EINTR) return rc;
        int64_t left = deadline - monotonic_ms();
        timeoutMs = left > 0 ? (int)left : 0;
    }
}

// 1 when the event is set, 0 on time-out, -1 when the wait failed.
int event_wait(SerPort_Event event, int timeoutMs) {
    struct pollfd fd = {event, POLLIN, 0};
    return poll_for(&fd, 1, timeoutMs);
}

void event_reset(SerPort_Event event) {
    uint64_t value;
    while (sys.read(event, &value, sizeof value) < 0 && errno == EINTR) {}
}

ssize_t device_write(int fd, const uint8_t* bytes, size_t len) {
    for (;;) {
        ssize_t n = sys.write(fd, bytes, len);
        if (n >= 0) return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;  // the driver's queue is full
        if (errno != EINTR) return -1;
    }
}

ssize_t device_read(int fd, uint8_t* bytes, size_t len) {
    for (;;) {
        ssize_t n = sys.read(fd, bytes, len);
        if (n >= 0) return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;  // nothing there
        if (errno != EINTR) return -1;
    }
}

SerPort_Link* link_create(int device, uint32_t chunk) {
    SerPort_Link* link = link_new(device, -1, chunk);
    pthread_mutex_init(&link->txLock, nullptr);
    pthread_mutex_init(&link->rxLock, nullptr);
    return link;
}

// The last holder of the link releases it.
void link_release(SerPort_Link* link) {
    if (link->holders.fetch_sub(1) != 1) return;
    for (int event : {link->evStarted, link->evTxKick, link->evRxData})
        if (event >= 0) sys.close(event);
    pthread_mutex_destroy(&link->txLock);
    pthread_mutex_destroy(&link->rxLock);
    if (link->ownsDevice) sys.close(link->device);
    delete link;
}

int create_event(SerPort_Event& event) {
    event = sys.eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return event >= 0 ? 0 : -1;
}

// The worker takes no signals: the stop signals belong to the application thread.
int start_worker(SerPort_Thread& thread, SerPort_Link* link) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    link->holders.fetch_add(1);
    link->workerEnded = false;
    int rc = sys.pthread_create(&thread, nullptr, SerPort::txrx_thread_start, link);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (rc == 0) return 0;
    link->workerEnded = true;
    link->holders.fetch_sub(1);
    errno = rc;
    return -1;
}

// Waits for the worker to end; false when it is still running after timeoutMs.
bool join_worker(SerPort_Thread thread, int timeoutMs) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += (long)(timeoutMs % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) { deadline.tv_sec += 1; deadline.tv_nsec -= 1000000000; }
    if (pthread_timedjoin_np(thread, nullptr, &deadline) == 0) return true;
    pthread_detach(thread);
    return false;
}

}  // namespace

void lock_take(SerPort_Lock& lock) { pthread_mutex_lock(&lock); }
void lock_give(SerPort_Lock& lock) { pthread_mutex_unlock(&lock); }

void event_set(SerPort_Event event) {
    uint64_t one = 1;
    while (sys.write(event, &one, sizeof one) < 0 && errno == EINTR) {}
}

void MilliSleep(int ms) {
    if (ms <= 0) return;
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (long)(ms % 1000) * 1000000;
    if (until.tv_nsec >= 1000000000) { until.tv_sec += 1; until.tv_nsec -= 1000000000; }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {}
}

SerPort::SerPort() : link(nullptr) { init(); }

SerPort::~SerPort() { Close(); }

void SerPort::init() {
    handle = -1;
    opened = false;
    std::memset(&dcb, 0, sizeof dcb);
    std::memset(&savedDcb, 0, sizeof savedDcb);
    flowMode = SERPORT_FLOW_NONE;
    threadStarted = false;
    link = nullptr;
    savedDriverFlags = -1;
    errorBase = ErrorCounts();
}

bool SerPort::isOpen() { return opened; }

int SerPort::Check(const char* device) {
    if (opened) return SERPORT_E_ALREADY_OPEN;
    if (handle >= 0) Close();
    if (device == nullptr) return SERPORT_E_INVALID_ARG;
    char name[256];
    copy_name(name, device);
    int fd = sys.open(name, OPEN_FLAGS);
    if (fd < 0) return check_verdict_for_open_error(errno);
    int verdict = sys.flock(fd, LOCK_EX | LOCK_NB) != 0 ? SERPORT_CHECK_ACCESS_DENIED
                  : sys.isatty(fd)                      ? SERPORT_CHECK_USABLE
                                                        : SERPORT_CHECK_NOT_TTY;
    close_quietly(fd);
    return verdict;
}

int SerPort::Open(const char* device, int bitrate, const char* format, int queueKiB) {
    if (opened) return SERPORT_E_ALREADY_OPEN;
    if (handle >= 0) Close();
    if (device == nullptr || bitrate <= 0 || format == nullptr || std::strlen(format) != 3 ||
        queueKiB < 4 || queueKiB > 1024)
        return SERPORT_E_INVALID_ARG;
    char name[256];
    copy_name(name, device);
    if ((handle = sys.open(name, OPEN_FLAGS)) < 0) { handle = -1; return SERPORT_E_CREATEFILE; }
    if (take_exclusive_lock(handle) != 0) return SERPORT_E_CREATEFILE;
    // Stands for SetupComm: the kernel's queues have fixed sizes, so what is set up here is the
    // terminal itself, taken for exclusive use; anything that is not a terminal fails here.
    if (sys.ioctl(handle, TIOCEXCL, nullptr) != 0) return SERPORT_E_SETUPCOMM;
    savedDriverFlags = request_low_latency(handle);
    sys.tcflush(handle, TCOFLUSH);
    // Stands for SetCommTimeouts: reads and writes that return at once with what there is.
    if (sys.fcntl(handle, F_SETFL, O_RDWR | O_NONBLOCK) != 0) return SERPORT_E_SETCOMMTIMEOUTS;
    if (sys.tcgetattr(handle, &dcb) != 0) return SERPORT_E_GETCOMMSTATE;
    savedDcb = dcb;
    speed_t speed;
    if (!speed_for(bitrate, speed)) return SERPORT_E_INVALID_ARG;
    cfsetispeed(&dcb, speed);
    cfsetospeed(&dcb, speed);
    if (!apply_format(format, dcb)) return SERPORT_E_INVALID_ARG;
    flowMode = SERPORT_FLOW_NONE;
    make_raw_line(dcb);
    if (write_settings(handle, dcb) != 0) return SERPORT_E_SETCOMMSTATE;
    TakeErrorBaseline();  // a pty keeps no error counts: nothing to start from
    int lines = TIOCM_DTR | TIOCM_RTS;
    sys.ioctl(handle, TIOCMBIS, &lines);  // a pty has no modem lines: nothing to raise
    sys.tcflush(handle, TCIOFLUSH);
    opened = true;
    link = link_create(handle, chunk_for_bitrate(bitrate));
    if (create_event(link->evStarted) != 0) return SERPORT_E_CREATEEVENT;
    if (create_event(link->evTxKick) != 0) return SERPORT_E_CREATEEVENT;
    if (create_event(link->evRxData) != 0) return SERPORT_E_CREATEEVENT;
    if (start_worker(thread, link) != 0) return SERPORT_E_CREATETHREAD;
    threadStarted = true;
    int started = event_wait(link->evStarted, START_WAIT_MS);
    if (started <= 0) {
        if (started == 0) errno = ETIMEDOUT;
        return SERPORT_E_WAITFORSINGLEOBJECT;
    }
    event_reset(link->evStarted);
    return 0;
}

void SerPort::Close() {
    if (handle < 0) return;
    bool workerLeftRunning = false;
    if (threadStarted) {
        link->stopWorker = true;
        workerLeftRunning = !join_worker(thread, STOP_WAIT_MS);
    }
    sys.tcflush(handle, TCIOFLUSH);
    if (opened) restore_settings(handle, savedDcb);
    restore_driver_flags(handle, savedDriverFlags);
    if (link != nullptr) {
        // A worker that would not end keeps the device, the rings and the events until it does.
        link->ownsDevice = workerLeftRunning;
        ReleaseLink();
    }
    if (!workerLeftRunning) {
        sys.ioctl(handle, TIOCNXCL, nullptr);
        sys.close(handle);
    }
    init();
}

void SerPort::ReleaseLink() {
    link_release(link);
    link = nullptr;
}

SerPort_ThreadResult SerPort::txrx_thread_start(void* arg) {
    if (arg == nullptr) return nullptr;
    SerPort_Link* link = static_cast<SerPort_Link*>(arg);
    txrx_thread_run(*link);
    link->workerEnded = true;
    link_release(link);
    return nullptr;
}

namespace {

// Ends the worker on a failed device call, keeping the cause for WaitForWrites to report.
void worker_failed(SerPort_Link& link, int error) { link.workerError = error != 0 ? error : EIO; }

}  // namespace

void SerPort::txrx_thread_run(SerPort_Link& link) {
    uint8_t chunk[SERPORT_MAX_CHUNK];
    bool txBlocked = false;  // the driver took less than offered: wait until it has room
    bool lineGone = false;   // the device reported a hang-up or an error
    int emptyReads = 0;
    event_set(link.evStarted);
    for (;;) {
        short want = (short)((ring_has_room(link) ? POLLIN : 0) |
                             (txBlocked && link.txCount.load() > 0 ? POLLOUT : 0));
        struct pollfd fds[2] = {{link.evTxKick, POLLIN, 0},
                                {want != 0 || !lineGone ? link.device : -1, want, 0}};
        int ready = sys.poll(fds, 2, IDLE_WAIT_MS);
        if (ready < 0 && errno != EINTR) { worker_failed(link, errno); return; }
        if (ready > 0 && fds[0].revents != 0) event_reset(link.evTxKick);
        if (link.stopWorker) return;
        bool readable = ready > 0 && (fds[1].revents & POLLIN);
        if (!readable) emptyReads = 0;
        if (ready > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) lineGone = true;
        // Every pass reads, also on an idle tick with nothing reported readable: a pty's read
        // moves bytes the kernel still holds in its flip buffer, which poll alone does not.
        for (bool firstRead = true;; firstRead = false) {
            ssize_t w = 0, r = 0;
            uint32_t purgeMark;
            uint32_t n = ring_copy_chunk(link, chunk, purgeMark);
            if (n > 0) {
                if ((w = device_write(link.device, chunk, n)) < 0) { worker_failed(link, errno); return; }
                if (link.stopWorker) return;
                txBlocked = (uint32_t)w < n;
                if (w > 0) ring_commit_sent(link, (uint32_t)w, purgeMark);
            }
            if (ring_has_room(link)) {
                if ((r = device_read(link.device, chunk, link.ioChunk)) < 0) { worker_failed(link, errno); return; }
                if (link.stopWorker) return;
                if (r > 0) {
                    ring_store_received(link, chunk, (uint32_t)r);
                    event_set(link.evRxData);
                    emptyReads = 0;
                } else if (lineGone || (firstRead && readable && ++emptyReads >= EMPTY_READS_GONE)) {
                    worker_failed(link, EIO);  // the device has vanished
                    return;
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
            errno = link->workerError != 0 ? link->workerError.load() : EIO;
            return SERPORT_E_FLUSHFILEBUFFERS;
        }
        MilliSleep(1);
    }
    if (retry_on_eintr(sys.tcdrain, handle) != 0) return SERPORT_E_FLUSHFILEBUFFERS;
    return 0;
}

int SerPort::WaitForReads(int timeoutMs) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (timeoutMs <= 0) return SERPORT_E_INVALID_ARG;
    event_reset(link->evRxData);
    uint32_t waiting = link->rxCount.load();
    if (waiting != 0) return (int)waiting;
    // The event can come late for bytes already taken out: such a wake-up with nothing waiting
    // is not an answer, so wait on for the rest of the time.
    int64_t deadline = monotonic_ms() + timeoutMs;
    for (int left = timeoutMs;;) {
        int signalled = event_wait(link->evRxData, left);
        if (signalled < 0) return SERPORT_E_WAITFORSINGLEOBJECT;
        event_reset(link->evRxData);
        waiting = link->rxCount.load();
        left = (int)(deadline - monotonic_ms());
        if (waiting != 0 || signalled == 0 || left <= 0) return (int)waiting;
    }
}

int SerPort::PurgeWrites() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    ring_clear_tx(*link);
    if (sys.tcflush(handle, TCOFLUSH) != 0) return SERPORT_E_PURGECOMM;
    return 0;
}

int SerPort::PurgeReads() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (sys.tcflush(handle, TCIFLUSH) != 0) return SERPORT_E_PURGECOMM;
    ring_clear_rx(*link);
    return 0;
}

int SerPort::PurgeAll() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    ring_clear_tx(*link);
    if (sys.tcflush(handle, TCIOFLUSH) != 0) return SERPORT_E_PURGECOMM;
    ring_clear_rx(*link);
    return 0;
}
