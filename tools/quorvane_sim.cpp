// quorvane-sim: a simulated quorvane target on a pseudo-terminal.
//
// It opens a pty pair, prints the slave's path, and plays the target on the master: it answers
// the sync request, the start command and every record, and can misbehave on purpose (see
// --help), by script or, with --chaos, at random from a seed. Everything runs in one thread
// around one poll loop, which feeds what it reads to the target's state machine and writes
// what that has queued when it is due.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "sim_clock.h"
#include "sim_line_file.h"
#include "sim_options.h"
#include "sim_pty.h"
#include "sim_system_error.h"
#include "sim_target.h"

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig) { stop_signal = sig; }

const char* stop_name(bool interrupt) { return interrupt ? "SIGINT" : "SIGTERM"; }

// Stop signals arrive only inside ppoll; this finds one that came while the loop was elsewhere.
bool stop_pending(bool& interrupt) {
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    interrupt = sigismember(&pending, SIGINT) == 1;
    return interrupt || sigismember(&pending, SIGTERM) == 1;
}

class PollLoop {
public:
    PollLoop(const SimOptions& opt, SimTarget& target, const Pty& pty, EventLog log)
        : opt_(opt), target_(target), master_(pty.master), slave_(pty.slave), log_(std::move(log)) {}

    int run(const std::string& device, const sigset_t& wait_mask);

private:
    void event(Nanos t, const std::string& text) {
        if (log_) log_(t, text);
    }
    Nanos send_due(Nanos t);
    bool read_from_host(bool& failed);

    const SimOptions& opt_;
    SimTarget& target_;
    int master_;
    int slave_;  // held until the host shows up, so that the master does not hang up before
    EventLog log_;
    std::vector<unsigned char> chunk_ = std::vector<unsigned char>(65536);
    bool host_seen_ = false;
    bool master_closed_ = false;
    bool host_closed_ = false;
    bool write_blocked_ = false;  // the slave's input is full: wait for POLLOUT
};

// Sends whatever is due at t; returns when the next byte is due (NEVER: nothing queued).
Nanos PollLoop::send_due(Nanos t) {
    while (!master_closed_ && !host_closed_) {
        SendStep step = target_.next_send(t);
        if (step.what == SendStep::What::Idle || step.what == SendStep::What::Wait) return step.at;
        if (step.what == SendStep::What::Hangup) {
            target_.hanging_up(now());
            close(master_);
            master_closed_ = true;
            return NEVER;
        }
        Nanos write_time = now();
        ssize_t written = write(master_, step.data, step.count);
        if (written < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                write_blocked_ = true;
                return NEVER;
            }
            if (errno == EINTR) continue;
            host_closed_ = true;  // EIO: the host has gone
            return NEVER;
        }
        target_.sent(step, static_cast<std::size_t>(written), write_time);
    }
    return NEVER;
}

// Reads what the host sent; false when the host has closed the line (failed: before it was
// ever seen).
bool PollLoop::read_from_host(bool& failed) {
    ssize_t got = read(master_, chunk_.data(), chunk_.size());
    Nanos arrived = now();
    if (got > 0) {
        if (!host_seen_) {
            host_seen_ = true;
            event(arrived, "host-seen");
            // From now on the host's close is what hangs the master up.
            if (slave_ >= 0) close(slave_);
            slave_ = -1;
        }
        target_.receive(chunk_.data(), static_cast<std::size_t>(got), arrived);
        return true;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR || errno == EWOULDBLOCK)) return true;
    event(arrived, "host-closed");
    if (!host_seen_) {
        std::fputs("quorvane-sim: the pty hung up before the host was seen\n", stderr);
        target_.finish(arrived);
        failed = true;
    }
    return false;
}

int PollLoop::run(const std::string& device, const sigset_t& wait_mask) {
    const Nanos start = now();
    const Nanos limit = opt_.time_limit == NEVER ? NEVER : start + opt_.time_limit;
    // Closer than this to a deadline, stop polling and wait on the clock alone.
    const Nanos near = 2 * MS;
    event(start, "device " + device);
    target_.start(start);

    for (;;) {
        if (stop_signal) {
            event(now(), std::string("signal ") + stop_name(stop_signal == SIGINT));
            break;
        }
        Nanos t = now();
        if (t >= limit) {
            event(t, "time-limit");
            break;
        }
        target_.tick(t);
        Nanos next = write_blocked_ ? NEVER : send_due(t);
        if (master_closed_) break;
        if (host_closed_) {
            event(now(), "host-closed");
            break;
        }
        next = std::min({next, target_.next_tick(), limit});

        if (next != NEVER && next - t <= near) {
            wait_until(next, opt_.spin);
            // A long run of timed sends never gets to ppoll, where stop signals are taken.
            bool interrupt = false;
            if (stop_pending(interrupt)) {
                event(now(), std::string("signal ") + stop_name(interrupt));
                break;
            }
            continue;
        }

        pollfd fd;
        fd.fd = master_;
        fd.events = static_cast<short>(POLLIN | (write_blocked_ ? POLLOUT : 0));
        fd.revents = 0;
        // poll lets a timeout run over by a thousandth of its length: waking at least every
        // 250 ms keeps that well inside the near window.
        timespec timeout;
        if (next != NEVER) timeout = to_timespec(std::min(next - t - near, 250 * MS));
        int ready = ppoll(&fd, 1, next == NEVER ? nullptr : &timeout, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            system_error("ppoll");
        }
        if (ready == 0) continue;
        if (fd.revents & POLLOUT) write_blocked_ = false;
        bool failed = false;
        if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) && !read_from_host(failed)) {
            if (failed) return 1;
            break;
        }
    }
    target_.finish(now());
    return 0;
}

// Stop signals stay blocked except inside ppoll, so one can never slip in between the check of
// the flag and the wait; returns the mask for ppoll.
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

}  // namespace

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
