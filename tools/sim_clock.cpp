#include "sim_clock.h"

#include <sched.h>

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

// One sleep on an absolute deadline up to spin before t, then a spin for the rest, to make up
// for a sleep waking late. The spin gives the processor to any other program that is ready on
// each turn: many targets sharing a few processors would otherwise keep their hosts off them,
// and a host held off shows as a slow host.
void wait_until(Nanos t, Nanos spin) {
    if (t - now() > spin) {
        timespec ts = to_timespec(t - spin);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    while (now() < t) sched_yield();
}
