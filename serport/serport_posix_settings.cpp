#include "serport_posix_settings.h"

#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "posix_calls.h"
#include "serport_internal.h"

namespace {

PosixCalls& sys = posix_calls;

bool same_line_settings(const struct termios& a, const struct termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_cc[VMIN] == b.c_cc[VMIN] &&
           a.c_cc[VTIME] == b.c_cc[VTIME] && a.c_cc[VSTART] == b.c_cc[VSTART] &&
           a.c_cc[VSTOP] == b.c_cc[VSTOP] && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace

speed_t termios_speed(int bitrate) {
    switch (bitrate) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    default: return B0;
    }
}

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

// Every bit the line's meaning depends on is set here, whatever the previous owner left: with
// IXON the kernel would swallow the target's 0x13 pause byte, CMSPAR would turn even and odd
// parity into space and mark, and other flow-control characters would swallow other bytes
// under XON/XOFF. HUPCL stays as the device had it: whether closing the line drops DTR (and
// resets many targets) is the device owner's choice, and Close puts the settings back anyway.
void make_raw_line(struct termios& tio) {
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
                     IXOFF | IXANY | IMAXBEL | INPCK | IGNPAR);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CRTSCTS | CMSPAR);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VSTART] = 0x11;
    tio.c_cc[VSTOP] = 0x13;
}

// tcsetattr may apply only part of a request: read the settings back and compare.
bool settings_write(int fd, const struct termios& tio) {
    if (sys.tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    struct termios applied;
    if (sys.tcgetattr(fd, &applied) != 0) return false;
    if (same_line_settings(applied, tio)) return true;
    errno = EINVAL;
    return false;
}

void restore_settings(int fd, const struct termios& tio) {
    while (sys.tcsetattr(fd, TCSANOW, &tio) != 0 && errno == EINTR) {}
}

// Hardware flow control is one bit on POSIX: CRTSCTS covers both the CTS check on output and
// the driver's own handling of RTS. IXANY stays off in every mode: any byte would resume output.
void settings_set_flow(struct termios& tio, int mode) {
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (mode == SERPORT_FLOW_RTSCTS) tio.c_cflag |= CRTSCTS;
    if (mode == SERPORT_FLOW_XONXOFF) tio.c_iflag |= IXON | IXOFF;
}

// USB adapters hold received bytes for up to 16 ms unless asked for low latency.
bool request_low_latency(int fd) {
    struct serial_struct serial;
    if (sys.ioctl(fd, TIOCGSERIAL, &serial) != 0) return false;
    if (serial.flags & ASYNC_LOW_LATENCY) return false;
    serial.flags |= ASYNC_LOW_LATENCY;
    return sys.ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void end_low_latency(int fd) {
    struct serial_struct serial;
    if (sys.ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
    serial.flags &= ~ASYNC_LOW_LATENCY;
    sys.ioctl(fd, TIOCSSERIAL, &serial);
}

bool read_modem_lines(int fd, int& lines) { return sys.ioctl(fd, TIOCMGET, &lines) == 0; }

void restore_modem_lines(int fd, int lines) { sys.ioctl(fd, TIOCMSET, &lines); }

bool read_error_counts(int fd, SerPort_BackEndState::ErrorCounts& counts) {
    struct serial_icounter_struct icount;
    if (sys.ioctl(fd, TIOCGICOUNT, &icount) != 0) return false;
    counts = {icount.brk, icount.parity, icount.frame, icount.overrun, icount.buf_overrun, true};
    return true;
}
