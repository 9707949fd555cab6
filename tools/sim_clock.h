// The sim's clock: CLOCK_MONOTONIC in nanoseconds, and a wait that wakes on time.
#pragma once

#include <time.h>

using Nanos = long long;  // CLOCK_MONOTONIC time or a duration, in nanoseconds
const Nanos NEVER = 0x7fffffffffffffffLL;
const Nanos MS = 1000000;

Nanos now();
timespec to_timespec(Nanos t);
// Waits for t, spinning through its last `spin` nanoseconds and yielding while it spins.
void wait_until(Nanos t, Nanos spin);
