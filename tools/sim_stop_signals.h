// SIGTERM and SIGINT end the sim. They stay blocked except inside ppoll, so one can never slip
// in between the check and the wait.
#pragma once

#include <csignal>

// Installs the handlers and blocks the signals; returns the mask for ppoll, which lets them in.
sigset_t take_stop_signals();
// The stop signal taken inside ppoll, or 0.
int stop_signal_taken();
// A stop signal still blocked, which came while the loop was not in ppoll, or 0.
int stop_signal_pending();

inline const char* stop_signal_name(int sig) { return sig == SIGINT ? "SIGINT" : "SIGTERM"; }
