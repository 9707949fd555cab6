// Line control and status on the POSIX back end: the modem lines through TIOCM* ioctls, flow
// control through the termios working copy, breaks, and the driver's line-error counters.
// Nothing here touches the rings or the worker; the device is shared with it as it runs.
#include <cerrno>
#include <chrono>
#include <thread>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "posix_calls.h"
#include "serport_link.h"

namespace {

PosixCalls& sys = posix_calls;

const auto BREAK_HOLD = std::chrono::milliseconds(250);

// Hardware flow control is one bit on POSIX: CRTSCTS covers both the CTS check on output and
// the driver's own handling of RTS. IXANY stays off in every mode: any byte would resume output.
void set_flow_bits(struct termios& tio, int mode) {
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (mode == SERPORT_FLOW_RTSCTS) tio.c_cflag |= CRTSCTS;
    if (mode == SERPORT_FLOW_XONXOFF) tio.c_iflag |= IXON | IXOFF;
}

int line_state_from_modem_bits(int bits) {
    return ((bits & TIOCM_CTS) ? SERPORT_LINE_CTS : 0) | ((bits & TIOCM_DSR) ? SERPORT_LINE_DSR : 0) |
           ((bits & TIOCM_CAR) ? SERPORT_LINE_DCD : 0) | ((bits & TIOCM_RNG) ? SERPORT_LINE_RI : 0);
}

}  // namespace

int SerPort::SetRTS() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (flowMode == SERPORT_FLOW_RTSCTS) return SERPORT_E_HW_FLOW;
    int line = TIOCM_RTS;
    if (sys.ioctl(handle, TIOCMBIS, &line) != 0) return SERPORT_E_ESCAPECOMMFUNCTION;
    return 0;
}

int SerPort::ClearRTS() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (flowMode == SERPORT_FLOW_RTSCTS) return SERPORT_E_HW_FLOW;
    int line = TIOCM_RTS;
    if (sys.ioctl(handle, TIOCMBIC, &line) != 0) return SERPORT_E_ESCAPECOMMFUNCTION;
    return 0;
}

int SerPort::SetDTR() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    int line = TIOCM_DTR;
    if (sys.ioctl(handle, TIOCMBIS, &line) != 0) return SERPORT_E_ESCAPECOMMFUNCTION;
    return 0;
}

int SerPort::ClearDTR() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    int line = TIOCM_DTR;
    if (sys.ioctl(handle, TIOCMBIC, &line) != 0) return SERPORT_E_ESCAPECOMMFUNCTION;
    return 0;
}

int SerPort::SetFlowOff() { return SetFlowBits(SERPORT_FLOW_NONE); }
int SerPort::SetFlowXonXoff() { return SetFlowBits(SERPORT_FLOW_XONXOFF); }
int SerPort::SetFlowRtsCts() { return SetFlowBits(SERPORT_FLOW_RTSCTS); }

// Rewrites the flow bits whatever the mode in force, so the outcome never depends on the mode
// before. The working copy keeps the new bits even when the device refuses them.
int SerPort::SetFlowBits(int mode) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    set_flow_bits(dcb, mode);
    if (write_settings(handle, dcb) != 0) return SERPORT_E_SETCOMMSTATE;
    flowMode = mode;
    return 0;
}

// The break starts at once, whatever the worker or the driver still has to send.
int SerPort::SendBreak() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (sys.ioctl(handle, TIOCSBRK, nullptr) != 0) return SERPORT_E_SETCOMMBREAK;
    std::this_thread::sleep_for(BREAK_HOLD);
    if (sys.ioctl(handle, TIOCCBRK, nullptr) != 0) return SERPORT_E_CLEARCOMMBREAK;
    return 0;
}

int SerPort::GetLineState() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    int bits;
    if (sys.ioctl(handle, TIOCMGET, &bits) != 0) return SERPORT_E_GETCOMMMODEMSTATUS;
    return line_state_from_modem_bits(bits);
}

// The driver's line-error counters become the baseline the next GetComStatus compares with.
// Fails where the driver keeps no counters (a pty); a failed look leaves the baseline as it was.
int SerPort::TakeErrorBaseline() {
    struct serial_icounter_struct counts;
    if (sys.ioctl(handle, TIOCGICOUNT, &counts) != 0) return -1;
    errorBase = {counts.brk, counts.parity, counts.frame, counts.overrun, counts.buf_overrun, true};
    return 0;
}

// The counters only grow: an error is a counter that moved since the last look. Without a
// baseline from Open, counting starts at the first look that succeeds.
int SerPort::GetComStatus(SerPort_INFO* info) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (info == nullptr) return SERPORT_E_INVALID_ARG;
    ErrorCounts before = errorBase;
    if (TakeErrorBaseline() != 0) return SERPORT_E_CLEARCOMMERROR;
    if (!before.known) before = errorBase;
    info->breakSeen = errorBase.brk != before.brk;
    info->parityError = errorBase.parity != before.parity;
    info->framingError = errorBase.frame != before.frame;
    info->overrunError = errorBase.overrun != before.overrun;
    info->rxOverflow = errorBase.bufOverrun != before.bufOverrun;
    info->anyError = info->breakSeen || info->parityError || info->framingError ||
                     info->overrunError || info->rxOverflow;
    info->valid = true;
    return 0;
}
