// How quorvane-sim ends when a system call fails: the call, the system's text, status 1.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] inline void system_error(const char* what) {
    std::fprintf(stderr, "quorvane-sim: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}
