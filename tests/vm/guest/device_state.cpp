#include "device_state.h"

#include <cstdio>
#include <cstring>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace {

std::string latency_path(const char* device) {
    const char* base = std::strrchr(device, '/');
    return std::string("/sys/bus/usb-serial/devices/") + (base ? base + 1 : device) + "/latency_timer";
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%#x", value);
    return text;
}

}  // namespace

int read_latency_ms(const char* device) {
    FILE* file = std::fopen(latency_path(device).c_str(), "r");
    if (file == nullptr) return -1;
    int ms = -1;
    if (std::fscanf(file, "%d", &ms) != 1) ms = -1;
    std::fclose(file);
    return ms;
}

bool write_latency_ms(const char* device, int ms) {
    FILE* file = std::fopen(latency_path(device).c_str(), "w");
    if (file == nullptr) return false;
    bool written = std::fprintf(file, "%d\n", ms) > 0;
    return std::fclose(file) == 0 && written;
}

bool read_device_state(int fd, const char* device, DeviceState& state, std::string& error) {
    std::memset(&state, 0, sizeof state);
    struct serial_struct serial;
    if (tcgetattr(fd, &state.settings) != 0) { error = "tcgetattr"; return false; }
    if (ioctl(fd, TIOCMGET, &state.modemLines) != 0) { error = "TIOCMGET"; return false; }
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) { error = "TIOCGSERIAL"; return false; }
    if (ioctl(fd, TIOCGEXCL, &state.exclusive) != 0) { error = "TIOCGEXCL"; return false; }
    state.driverFlags = serial.flags;
    state.latencyMs = read_latency_ms(device);
    return true;
}

bool leave_as_another_program_would(int fd, const char* device, std::string& error) {
    struct serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) { error = "TIOCGSERIAL"; return false; }
    serial.flags &= ~ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0) { error = "TIOCSSERIAL"; return false; }
    if (read_latency_ms(device) >= 0 && !write_latency_ms(device, 16)) { error = "latency_timer"; return false; }
    return true;
}

std::string describe(const DeviceState& state) {
    const struct termios& tio = state.settings;
    std::string cc;
    for (unsigned i = 0; i < NCCS; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", tio.c_cc[i]);
        cc += byte;
    }
    return "iflag=" + hex(tio.c_iflag) + " oflag=" + hex(tio.c_oflag) + " cflag=" + hex(tio.c_cflag) +
           " lflag=" + hex(tio.c_lflag) + " line=" + std::to_string(tio.c_line) + " cc=" + cc +
           " ispeed=" + std::to_string(cfgetispeed(&tio)) + " ospeed=" + std::to_string(cfgetospeed(&tio)) +
           " modem=" + hex(state.modemLines) + " driver_flags=" + hex(state.driverFlags) +
           " latency=" + std::to_string(state.latencyMs) + " exclusive=" + std::to_string(state.exclusive);
}
