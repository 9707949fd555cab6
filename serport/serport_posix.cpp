// The POSIX back end: a termios device, eventfds for the events, a pthread for the worker. Each
// platform call goes through posix_calls, with its failure code beside it.
//
// It is a Linux back end: the events are eventfds, the low-latency flag and the line-error
// counters come from linux/serial.h (TIOCGSERIAL, TIOCGICOUNT), and Close's bounded wait for the
// worker is pthread_tryjoin_np. Another POSIX system would need a pipe for each event, its own
// driver calls for latency and error counts (or none), and a join bounded some other way (the
// worker signalling its end on a condition variable).
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include "posix_calls.h"
#include "serport_internal.h"
#include "serport_posix_settings.h"

namespace {

PosixCalls& sys = posix_calls;

const int OPEN_FLAGS = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
// A descriptor that polls readable but reads nothing this many times in a row has vanished; one
// such look alone can be a purge that came between the poll and the read.
const int EMPTY_READS_GONE = 3;

// Closes fd and keeps errno as the failure before it left it.
void close_quietly(int fd) {
    int saved = errno;
    sys.close(fd);
    errno = saved;
}

// Exclusive use: flock holds against every other opener, root included; TIOCEXCL makes the
// kernel refuse other opens as well. A held lock reads as "busy".
int take_exclusive_lock(int fd) {
    if (sys.flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EWOULDBLOCK) errno = EBUSY;
    return -1;
}

// Exclusive mode belongs to the tty, not to one descriptor: set tells whether it was off
// before, so that Close turns off only what Open turned on. A kernel that cannot tell
// (no TIOCGEXCL) counts as off.
int take_exclusive_mode(int fd, bool& set) {
    int already = 0;
    if (sys.ioctl(fd, TIOCGEXCL, &already) != 0) already = 0;
    if (sys.ioctl(fd, TIOCEXCL, nullptr) != 0) return -1;
    set = already == 0;
    return 0;
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
    sys.clock_gettime(CLOCK_MONOTONIC, &now);
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

}  // namespace

const SerPort_Handle SERPORT_NO_HANDLE = -1;
const int SERPORT_WORKER_GONE_ERROR = EIO;

void set_system_error(int error) { errno = error; }

void lock_init(SerPort_Lock& lock) { pthread_mutex_init(&lock, nullptr); }
void lock_take(SerPort_Lock& lock) { pthread_mutex_lock(&lock); }
void lock_give(SerPort_Lock& lock) { pthread_mutex_unlock(&lock); }
void lock_destroy(SerPort_Lock& lock) { pthread_mutex_destroy(&lock); }

bool event_create(SerPort_Event& event) {
    event = sys.eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return event >= 0;
}

void event_set(SerPort_Event event) {
    uint64_t one = 1;
    while (sys.write(event, &one, sizeof one) < 0 && errno == EINTR) {}
}

void event_reset(SerPort_Event event) {
    uint64_t value;
    while (sys.read(event, &value, sizeof value) < 0 && errno == EINTR) {}
}

int event_wait(SerPort_Event event, int timeoutMs) {
    struct pollfd fd = {event, POLLIN, 0};
    int rc = poll_for(&fd, 1, timeoutMs);
    if (rc == 0) errno = ETIMEDOUT;
    return rc;
}

void event_close(SerPort_Event event) { sys.close(event); }

// The worker takes no signals: the stop signals belong to the application thread.
bool thread_start(SerPort_Thread& thread, SerPort_Link* link) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    int rc = sys.pthread_create(&thread, nullptr, SerPort::txrx_thread_start, link);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (rc == 0) return true;
    errno = rc;
    return false;
}

// On the monotonic clock, so that a step of the wall clock neither cuts the wait short nor
// stretches it (pthread_timedjoin_np's deadline is on the wall clock). A worker asked to stop
// ends within a few milliseconds, so looking every millisecond costs nothing.
bool thread_join(SerPort_Thread thread, int timeoutMs) {
    int64_t deadline = monotonic_ms() + timeoutMs;
    while (sys.pthread_tryjoin_np(thread, nullptr) != 0) {
        if (monotonic_ms() >= deadline) { pthread_detach(thread); return false; }
        MilliSleep(1);
    }
    return true;
}

// A device held by another opener (its flock) is "in use"; one that opens but is no terminal is
// of another type.
int device_probe(const char* name) {
    int fd = sys.open(name, OPEN_FLAGS);
    if (fd < 0) return check_verdict_for_open_error(errno);
    int verdict = sys.flock(fd, LOCK_EX | LOCK_NB) != 0 ? SERPORT_CHECK_ACCESS_DENIED
                  : sys.isatty(fd)                      ? SERPORT_CHECK_USABLE
                                                        : SERPORT_CHECK_NOT_TTY;
    close_quietly(fd);
    return verdict;
}

void device_close(int fd) { sys.close(fd); }

bool device_flush(int fd) {
    int rc;
    do rc = sys.tcdrain(fd);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool device_purge(int fd, SerPort_Queue queues) {
    int queue = queues == SERPORT_QUEUE_TX ? TCOFLUSH : queues == SERPORT_QUEUE_RX ? TCIFLUSH : TCIOFLUSH;
    return sys.tcflush(fd, queue) == 0;
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

int SerPort::Open(const char* device, int bitrate, const char* format, int queueKiB) {
    char name[256];
    int refused = BeginOpen(device, bitrate, format, queueKiB, name);
    if (refused != 0) return refused;
    if ((handle = sys.open(name, OPEN_FLAGS)) < 0) { handle = -1; return SERPORT_E_CREATEFILE; }
    // Another holder's device is let go at once, untouched: its queues, its exclusive mode and
    // its settings are its own.
    if (take_exclusive_lock(handle) != 0) { close_quietly(handle); handle = -1; return SERPORT_E_CREATEFILE; }
    // Stands for SetupComm: the kernel's queues have fixed sizes, so what is set up here is the
    // terminal itself, taken for exclusive use; anything that is not a terminal fails here.
    if (take_exclusive_mode(handle, backEnd.exclusiveSet) != 0) return SERPORT_E_SETUPCOMM;
    backEnd.lowLatencySet = request_low_latency(handle);
    sys.tcflush(handle, TCOFLUSH);
    // Stands for SetCommTimeouts: reads and writes that return at once with what there is.
    if (sys.fcntl(handle, F_SETFL, O_RDWR | O_NONBLOCK) != 0) return SERPORT_E_SETCOMMTIMEOUTS;
    if (sys.tcgetattr(handle, &dcb) != 0) return SERPORT_E_GETCOMMSTATE;
    savedDcb = dcb;
    if (!offered_bitrate(bitrate)) return SERPORT_E_INVALID_ARG;
    backEnd.bitrate = bitrate;
    cfsetispeed(&dcb, termios_speed(bitrate));
    cfsetospeed(&dcb, termios_speed(bitrate));
    if (!apply_format(format, dcb)) return SERPORT_E_INVALID_ARG;
    flowMode = SERPORT_FLOW_NONE;
    make_raw_line(dcb);
    // A driver that adjusts the request has changed the device all the same.
    backEnd.settingsWritten = true;
    if (!settings_write(handle, dcb)) return SERPORT_E_SETCOMMSTATE;
    read_error_counts(handle, backEnd.errorBase);  // a pty keeps no error counts: nothing to start from
    backEnd.linesSaved = read_modem_lines(handle, backEnd.savedLines);
    int lines = TIOCM_DTR | TIOCM_RTS;
    sys.ioctl(handle, TIOCMBIS, &lines);  // a pty has no modem lines: nothing to raise
    sys.tcflush(handle, TCIOFLUSH);
    opened = true;
    return StartWorker(bitrate);
}

// Puts back what Open changed, by its record of the changes, before the link and the device go.
void SerPort::Close() {
    if (handle < 0) return;
    bool workerLeftRunning = StopWorker();
    sys.tcflush(handle, TCIOFLUSH);
    if (backEnd.settingsWritten) restore_settings(handle, savedDcb);
    if (backEnd.linesSaved) restore_modem_lines(handle, backEnd.savedLines);
    if (backEnd.lowLatencySet) end_low_latency(handle);
    ReleaseLink(workerLeftRunning);
    if (!workerLeftRunning) {
        if (backEnd.exclusiveSet) sys.ioctl(handle, TIOCNXCL, nullptr);
        sys.close(handle);
    }
    init();
}

// The worker's wait has no time-out: evTxKick is what wakes it for anything but the device.
void worker_wake(SerPort_Link& link) { event_set(link.evTxKick); }

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
        int ready = sys.poll(fds, 2, -1);
        if (ready < 0 && errno != EINTR) { worker_failed(link, errno); return; }
        if (ready > 0 && fds[0].revents != 0) event_reset(link.evTxKick);
        if (link.stopWorker) return;
        bool readable = ready > 0 && (fds[1].revents & POLLIN);
        if (!readable) emptyReads = 0;
        if (ready > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) lineGone = true;
        // Every pass reads, whatever poll reported: a long run of chunks written must not keep
        // arriving bytes waiting, and after a wake-up for room the device was not polled for
        // input. No byte waits for a timer: a tty's poll takes in what the tty layer still
        // buffers, as its read does, and the far side's bytes wake it.
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
