#include "stop_flag.h"

#include "generic_exception.h"

std::atomic<bool> quit{false};

void stop_check() {
    if (quit.load(std::memory_order_relaxed)) throw GenericException("Terminated by user!");
}
