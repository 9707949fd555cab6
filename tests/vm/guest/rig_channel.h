// Questions to the rig on the host, for what only the other end of the line can do: hold up or
// release the line, send bytes or a break, unplug or plug the adapter. A question is a console line
// "@@RIG ask ID WHAT"; the rig answers on the console's input, "@@ok ID" once it is done or
// "@@fail ID" when it could not do it.
#ifndef QUORVANE_VM_RIG_CHANNEL_H
#define QUORVANE_VM_RIG_CHANNEL_H

#include <string>

// Asks and waits for the answer; false when the rig could not, or the console's input ended first.
// Safe from any thread.
bool ask_rig(const std::string& what);

// The device under test, as the rig names it to the guest (QUORVANE_VM_DEVICE), and its short
// name as the rig knows it: "ttyS1" or "ttyUSB0".
const char* device_under_test();
std::string device_short_name();

// Bytes the rig sends when asked for "send DEVICE COUNT": letters A..Z over and over, never the
// byte that QEMU's multiplexer takes as its escape.
inline char pattern_byte(unsigned index) { return (char)('A' + index % 26); }

#endif
