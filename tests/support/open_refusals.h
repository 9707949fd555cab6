// Open's argument refusals, the same on every platform: each case is refused with
// SERPORT_E_INVALID_ARG, before the device is touched or, for what only the line settings can
// tell (the rate, the format's characters), once the device has been opened.
#ifndef QUORVANE_TESTS_SUPPORT_OPEN_REFUSALS_H
#define QUORVANE_TESTS_SUPPORT_OPEN_REFUSALS_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>

struct BadOpen {
    const char* name;
    bool nullDevice;
    int bitrate;
    const char* format;
    int queueKiB;
    bool deviceOpened;  // refused only once the device was opened
};

inline void PrintTo(const BadOpen& c, std::ostream* out) { *out << c.name; }

inline std::string bad_open_name(const testing::TestParamInfo<BadOpen>& p) { return p.param.name; }

const BadOpen BAD_OPENS[] = {
    {"NullDevice", true, 9600, "8N1", 32, false},
    {"ZeroRate", false, 0, "8N1", 32, false},
    {"NullFormat", false, 9600, nullptr, 32, false},
    {"TwoCharacterFormat", false, 9600, "8N", 32, false},
    {"FourCharacterFormat", false, 9600, "8N1 ", 32, false},
    {"QueueTooSmall", false, 9600, "8N1", 3, false},
    {"QueueTooLarge", false, 9600, "8N1", 1025, false},
    {"UnsupportedRate", false, 14400, "8N1", 32, true},
    {"FiveDataBits", false, 9600, "5N1", 32, true},
    {"MarkParity", false, 9600, "8M1", 32, true},
    {"OneAndAHalfStopBits", false, 9600, "8N3", 32, true},
};

#endif
