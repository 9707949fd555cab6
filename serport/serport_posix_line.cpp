// Line control and status on the POSIX back end: the modem lines through TIOCM* ioctls, breaks
// and the driver's line-error counters. Nothing here
// touches the rings or the worker; the device is shared with it as it runs.
#include <cerrno>
#include <chrono>
#include <thread>
#include <sys/ioctl.h>

#include "posix_calls.h"
#include "serport_internal.h"
#include "serport_posix_settings.h"

namespace {

PosixCalls& sys = posix_calls;

const auto BREAK_HOLD = std::chrono::milliseconds(250);
// How much longer than their line time the bytes queued before a break may take to leave.
const int DRAIN_MARGIN_MS = 100;

int ioctl_retrying(int fd, unsigned long request) {
    int rc;
    do rc = sys.ioctl(fd, request, nullptr);
    while (rc != 0 && errno == EINTR);
    return rc;
}

// Linux starts a break only once the driver's output queue is empty, and waits for that without
// bound while flow control holds the line off. So wait here instead, for at most as long as
// the queued bytes take at the line's rate plus a margin; false when they have not left by then.
// A driver that cannot say what it holds is left to the kernel's own wait.
bool output_drained(int fd, int bitrate) {
    int queued;
    if (sys.ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
    long lineMs = bitrate > 0 ? (long)queued * 10 * 1000 / bitrate : 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lineMs + DRAIN_MARGIN_MS);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (sys.ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

int line_state_from_modem_bits(int bits) {
    return ((bits & TIOCM_CTS) ? SERPORT_LINE_CTS : 0) | ((bits & TIOCM_DSR) ? SERPORT_LINE_DSR : 0) |
           ((bits & TIOCM_CAR) ? SERPORT_LINE_DCD : 0) | ((bits & TIOCM_RNG) ? SERPORT_LINE_RI : 0);
}

}  // namespace

bool device_set_output(int fd, SerPort_Output line, bool raised) {
    int bit = line == SERPORT_OUTPUT_RTS ? TIOCM_RTS : TIOCM_DTR;
    return sys.ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

bool device_line_state(int fd, int& lines) {
    int bits;
    if (sys.ioctl(fd, TIOCMGET, &bits) != 0) return false;
    lines = line_state_from_modem_bits(bits);
    return true;
}

// A signal (the user's Ctrl+C) does not make the break fail: the call is made again.
bool device_break(int fd, const SerPort_BackEndState& state, bool on) {
    if (!on) return ioctl_retrying(fd, TIOCCBRK) == 0;
    if (!output_drained(fd, state.bitrate)) { errno = EBUSY; return false; }
    return ioctl_retrying(fd, TIOCSBRK) == 0;
}

void break_hold() { std::this_thread::sleep_for(BREAK_HOLD); }

// The counters only grow: an error is a counter that moved since the last look. Without a
// baseline from Open, counting starts at the first look that succeeds; a failed look leaves the
// baseline as it was.
bool device_line_errors(int fd, SerPort_BackEndState& state, unsigned& errors) {
    SerPort_BackEndState::ErrorCounts before = state.errorBase, now;
    if (!read_error_counts(fd, now)) return false;
    if (!before.known) before = now;
    state.errorBase = now;
    errors = (now.brk != before.brk ? SERPORT_LINE_ERROR_BREAK : 0) |
             (now.parity != before.parity ? SERPORT_LINE_ERROR_PARITY : 0) |
             (now.frame != before.frame ? SERPORT_LINE_ERROR_FRAME : 0) |
             (now.overrun != before.overrun ? SERPORT_LINE_ERROR_OVERRUN : 0) |
             (now.bufOverrun != before.bufOverrun ? SERPORT_LINE_ERROR_RX_OVERFLOW : 0);
    return true;
}
