#include "sim_clock.h"

#include <algorithm>

Nanos now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

timespec to_timespec(Nanos t) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(t / 1000000000LL);
    ts.tv_nsec = static_cast<long>(t % 1000000000LL);
    return ts;
}

// Short sleeps on absolute deadlines up to shortly before t, then a spin for the rest. A long
// sleep wakes late far more often than a short one, and every late wake-up would show as a slow
// target.
void wait_until(Nanos t, Nanos spin) {
    const Nanos step = 200000;
    for (Nanos left = t - now(); left > spin; left = t - now()) {
        timespec ts = to_timespec(t - std::max(spin, left - step));
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    while (now() < t) {
    }
}
