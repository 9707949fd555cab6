#include "sim_pty.h"

#include "sim_system_error.h"

#include <cstring>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

Pty open_pty() {
    termios raw;
    std::memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    raw.c_cflag |= CREAD | CLOCAL;
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    Pty pty;
    if (openpty(&pty.master, &pty.slave, nullptr, &raw, nullptr) != 0) system_error("openpty");
    fcntl(pty.master, F_SETFD, FD_CLOEXEC);
    fcntl(pty.slave, F_SETFD, FD_CLOEXEC);
    if (fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK) != 0) system_error("fcntl");
    // Raw on the master too, for systems where it has a mode of its own (on Linux this lands
    // on the slave, which openpty has already made raw).
    tcsetattr(pty.master, TCSANOW, &raw);
    const char* name = ttyname(pty.slave);
    if (!name) system_error("ttyname");
    pty.device = name;
    return pty;
}
