// quorvane-sim: a simulated quorvane target on a pseudo-terminal.
//
// It opens a pty pair, prints the slave's path, and plays the target on the master: it answers
// the sync request, the start command and every record, and can misbehave on purpose (see
// --help), by script or, with --chaos, at random from a seed. Everything runs in one thread
// around one poll loop, which feeds what it reads to the target's state machine and writes
// what that has queued when it is due.
#include <cstdio>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "sim_line_file.h"
#include "sim_options.h"
#include "sim_poll_loop.h"
#include "sim_pty.h"
#include "sim_stop_signals.h"
#include "sim_target.h"

int main(int argc, char** argv) {
    SimOptions opt = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    sigset_t wait_mask = take_stop_signals();
#ifdef __linux__
    // The default 50 us timer slack would add straight to every timed answer.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    Pty pty = open_pty();

    LineFile records, events;
    records.open(opt.record_log);
    events.open(opt.event_log);
    TargetLogs logs;
    if (records.enabled()) logs.record = [&records](const std::string& hex) { records.line(hex); };
    if (events.enabled())
        logs.event = [&events](Nanos t, const std::string& text) { events.line(std::to_string(t / 1000) + " " + text); };
    SimTarget target(opt, logs);
    PollLoop loop(opt, target, pty, logs.event);

    std::printf("device: %s\n", pty.device.c_str());
    std::fflush(stdout);
    return loop.run(pty.device, wait_mask);
}
