#include "sim_stop_signals.h"

#include <cstring>

namespace {

volatile sig_atomic_t taken = 0;

void on_stop_signal(int sig) { taken = sig; }

}  // namespace

sigset_t take_stop_signals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stops, wait_mask;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    return wait_mask;
}

int stop_signal_taken() { return taken; }

int stop_signal_pending() {
    sigset_t pending;
    if (sigpending(&pending) != 0) return 0;
    if (sigismember(&pending, SIGINT) == 1) return SIGINT;
    return sigismember(&pending, SIGTERM) == 1 ? SIGTERM : 0;
}
