#include "sim_poll_loop.h"

#include "sim_stop_signals.h"
#include "sim_system_error.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <poll.h>
#include <unistd.h>

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

// Reads what the host sent and hands it to the target.
PollLoop::Read PollLoop::read_from_host() {
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
        return Read::More;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR || errno == EWOULDBLOCK)) return Read::More;
    event(arrived, "host-closed");
    if (host_seen_) return Read::HostClosed;
    std::fputs("quorvane-sim: the pty hung up before the host was seen\n", stderr);
    target_.finish(arrived);
    return Read::NeverSeen;
}

// Waits in ppoll until the host sends something, the line takes more, or shortly before next.
PollLoop::Read PollLoop::poll_and_read(Nanos t, Nanos next, const sigset_t& wait_mask) {
    pollfd fd;
    fd.fd = master_;
    fd.events = static_cast<short>(POLLIN | (write_blocked_ ? POLLOUT : 0));
    fd.revents = 0;
    // poll lets a timeout run over by a thousandth of its length: waking at least every 250 ms
    // keeps that well inside the near window.
    timespec timeout;
    if (next != NEVER) timeout = to_timespec(std::min(next - t - NEAR, 250 * MS));
    int ready = ppoll(&fd, 1, next == NEVER ? nullptr : &timeout, &wait_mask);
    if (ready < 0 && errno != EINTR) system_error("ppoll");
    if (ready <= 0) return Read::More;
    if (fd.revents & POLLOUT) write_blocked_ = false;
    if (fd.revents & (POLLIN | POLLHUP | POLLERR)) return read_from_host();
    return Read::More;
}

bool PollLoop::stopped_by(int sig) {
    if (sig) event(now(), std::string("signal ") + stop_signal_name(sig));
    return sig != 0;
}

int PollLoop::run(const std::string& device, const sigset_t& wait_mask) {
    const Nanos start = now();
    const Nanos limit = opt_.time_limit == NEVER ? NEVER : start + opt_.time_limit;
    event(start, "device " + device);
    target_.start(start);

    for (;;) {
        if (stopped_by(stop_signal_taken())) break;
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
        if (next != NEVER && next - t <= NEAR) {
            wait_until(next, opt_.spin);
            // A long run of timed sends never gets to ppoll, where stop signals are taken.
            if (stopped_by(stop_signal_pending())) break;
            continue;
        }
        Read got = poll_and_read(t, next, wait_mask);
        if (got == Read::NeverSeen) return 1;
        if (got == Read::HostClosed) break;
    }
    target_.finish(now());
    return 0;
}
