// Drives the sim's state machine on simulated time, with no pty: the host's bytes arrive when a
// test says, every send leaves exactly when it is due, and whatever goes out or is logged is
// kept for the test to look at.
#pragma once

#include "sim_target.h"

#include <algorithm>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

const Nanos T0 = 1000 * MS;  // a time to start from, so that test times read as offsets
inline Nanos at_ms(long ms) { return T0 + ms * MS; }

const char HANGUP[] = "<hang-up>";

// One write on the line (or the hang-up), at ms after T0.
struct Sent {
    long ms;
    std::string bytes;
    bool operator==(const Sent& other) const { return ms == other.ms && bytes == other.bytes; }
};

inline std::ostream& operator<<(std::ostream& out, const Sent& sent) {
    out << sent.ms << "ms:";
    if (sent.bytes == HANGUP) return out << HANGUP;
    static const char digits[] = "0123456789ABCDEF";
    for (unsigned char byte : sent.bytes) {
        if (byte > ' ' && byte < 0x7f) out << byte;
        else out << "\\x" << digits[byte >> 4] << digits[byte & 15];
    }
    return out;
}

inline std::string record(const std::string& payload) {
    std::string bytes(1, static_cast<char>(payload.size() >> 8));
    bytes += static_cast<char>(payload.size() & 0xff);
    return bytes + payload;
}

class TargetDriver {
public:
    explicit TargetDriver(const std::vector<std::string>& args)
        : opt_(parse_options(args)), target_(opt_, logs()) {
        target_.start(T0);
    }

    // The host's bytes arrive at t, after whatever was due before has gone out.
    void host(Nanos t, const std::string& bytes) {
        run_until(t);
        if (hung_up_) return;
        target_.receive(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), t);
        run_until(t);
    }

    // Sends what falls due up to t, each write at the time it is due.
    void run_until(Nanos t) {
        while (!hung_up_) {
            target_.tick(clock_);
            SendStep step = target_.next_send(clock_);
            if (step.what == SendStep::What::Write) {
                sent.push_back({ms_of(clock_), std::string(step.data, step.count)});
                target_.sent(step, step.count, clock_);
                continue;
            }
            if (step.what == SendStep::What::Hangup) {
                target_.hanging_up(clock_);
                sent.push_back({ms_of(clock_), HANGUP});
                hung_up_ = true;
                break;
            }
            Nanos next = std::min(step.at, target_.next_tick());
            if (next > t) break;
            clock_ = std::max(clock_, next);
        }
        clock_ = std::max(clock_, t);
    }

    void finish() { target_.finish(clock_); }

    // The texts of the events whose name starts with prefix, without their times.
    std::vector<std::string> events_named(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& event : events)
            if (event.second.compare(0, prefix.size(), prefix) == 0) found.push_back(event.second);
        return found;
    }

    // What was sent from `from` on, as one string.
    std::string bytes_sent(std::size_t from = 0) const {
        std::string bytes;
        for (std::size_t i = from; i < sent.size(); ++i) bytes += sent[i].bytes;
        return bytes;
    }

    std::vector<Sent> sent;
    std::vector<std::pair<Nanos, std::string>> events;
    std::vector<std::string> records;  // the record log

private:
    static long ms_of(Nanos t) { return static_cast<long>((t - T0) / MS); }

    TargetLogs logs() {
        TargetLogs logs;
        logs.event = [this](Nanos t, const std::string& text) { events.emplace_back(t, text); };
        logs.record = [this](const std::string& hex) { records.push_back(hex); };
        return logs;
    }

    SimOptions opt_;
    SimTarget target_;
    Nanos clock_ = T0;
    bool hung_up_ = false;
};
