// The POSIX back end's termios and driver settings, shared by its lifecycle (serport_posix.cpp)
// and its line control (serport_posix_line.cpp): the speeds, the format, the raw line, the
// driver's low-latency flag and its line-error counters. Writing with read-back and the flow
// bits are the settings primitives of serport_internal.h (settings_write, settings_set_flow).
#ifndef QUORVANE_SERPORT_POSIX_SETTINGS_H
#define QUORVANE_SERPORT_POSIX_SETTINGS_H

#include <termios.h>

#include "serport.h"

// The termios speed for one of the offered bit rates.
speed_t termios_speed(int bitrate);
// Data bits, parity and stop bits from the three format characters; false for any other.
bool apply_format(const char* format, struct termios& tio);
// Raw bytes both ways, reads that return at once, no flow control of any kind.
void make_raw_line(struct termios& tio);
// Puts saved settings back on close, retrying when a signal interrupts.
void restore_settings(int fd, const struct termios& tio);

// Asks the driver for low latency; true when this turned it on, false where the driver has no
// such setting (a pty) or had it on already.
bool request_low_latency(int fd);
// Turns low latency off again, leaving every other driver flag as it stands.
void end_low_latency(int fd);

// The modem control lines (DTR, RTS and the rest TIOCMSET sets); false where there are none.
bool read_modem_lines(int fd, int& lines);
void restore_modem_lines(int fd, int lines);

// The driver's line-error counters; false where it keeps none (a pty).
bool read_error_counts(int fd, SerPort_BackEndState::ErrorCounts& counts);

#endif
