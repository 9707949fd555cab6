// The loop that runs the target on its pty: it feeds what the host sends to the state machine
// and writes what that has queued when it is due, until the host closes the line, the target
// hangs up, the time limit passes or a stop signal comes.
#pragma once

#include "sim_options.h"
#include "sim_pty.h"
#include "sim_target.h"

#include <csignal>
#include <string>
#include <vector>

class PollLoop {
public:
    PollLoop(const SimOptions& opt, SimTarget& target, const Pty& pty, EventLog log)
        : opt_(opt), target_(target), master_(pty.master), slave_(pty.slave), log_(std::move(log)) {}

    // Returns the exit status: 1 when the pty hung up before the host was seen, else 0.
    int run(const std::string& device, const sigset_t& wait_mask);

private:
    void event(Nanos t, const std::string& text) {
        if (log_) log_(t, text);
    }
    enum class Read { More, HostClosed, NeverSeen };  // NeverSeen: hung up before the host came

    Nanos send_due(Nanos t);
    Read poll_and_read(Nanos t, Nanos next, const sigset_t& wait_mask);
    Read read_from_host();
    bool stopped_by(int sig);  // logs the signal, if any

    // Closer than this to a deadline, the loop stops polling and waits on the clock alone.
    static constexpr Nanos NEAR = 2 * MS;

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
