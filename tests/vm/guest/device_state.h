// The state of a serial device that a program using it must leave as it found it: the line
// settings, the modem lines, the driver's flags, the adapter's latency timer and the exclusive
// flag. Read through any descriptor of the device; root reads it while another holds the device.
#ifndef QUORVANE_VM_DEVICE_STATE_H
#define QUORVANE_VM_DEVICE_STATE_H

#include <string>
#include <termios.h>

struct DeviceState {
    struct termios settings;
    int modemLines;   // TIOCMGET
    int driverFlags;  // TIOCGSERIAL's flags
    int latencyMs;    // the USB adapter's latency timer; -1 where the device has none
    int exclusive;    // TIOCGEXCL
};

// Reads the state through fd; false, with the failed call named in error, when a look fails.
bool read_device_state(int fd, const char* device, DeviceState& state, std::string& error);

// The whole state as one line of "name=value" fields, so that two states compare as text and a
// difference shows by name.
std::string describe(const DeviceState& state);

// Puts the device in the state another program may leave it in, one that differs from an open
// port's wherever an opener can know it: low latency off and, on a USB adapter, the latency timer
// at a real FT232's 16 ms. (The modem lines it cannot: every open of a tty raises DTR and RTS
// before the opener can look.) False, with the failed step in error, when a step fails.
bool leave_as_another_program_would(int fd, const char* device, std::string& error);

// The adapter's latency timer in ms, from sysfs; -1 where the device is no USB adapter.
int read_latency_ms(const char* device);
bool write_latency_ms(const char* device, int ms);

#endif
