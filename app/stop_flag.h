// The process-wide stop request, set from the console stop handler and polled by the upload.
#ifndef QUORVANE_STOP_FLAG_H
#define QUORVANE_STOP_FLAG_H

#include <atomic>

// Lock-free, so a signal handler or the console handler's thread may set it.
extern std::atomic<bool> quit;
static_assert(ATOMIC_BOOL_LOCK_FREE == 2, "quit must be settable from a signal handler");

// Raises GenericException "Terminated by user!" once quit is set.
void stop_check();

#endif
