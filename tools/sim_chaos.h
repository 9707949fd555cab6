// Seeded random answers for quorvane-sim --chaos.
//
// Every draw comes from one PRNG stream, in the order the target needs answers (each sync
// request, then each record transmission), so a seed and the host's behaviour fix the whole
// exchange. The plans only say what to send and when; the sim sends them and logs each piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One write to the line, gap_ms after the previous one left (the first: after the request or
// the record arrived).
struct ChaosBurst {
    std::string bytes;
    long gap_ms = 0;
};

struct ChaosPlan {
    enum class End { Answered, Silence, Hangup };
    const char* kind = "ack";
    std::vector<ChaosBurst> bursts;
    End end = End::Answered;
    long hangup_ms = 0;  // End::Hangup: delay after the record arrived

    std::string describe() const;  // "HEX+MS ..." and "silence" / "hangup+MS", for the log
};

// Closer than this to the host's 2000 ms wait a late burst could miss it.
const long CHAOS_MAX_GAP_LIMIT = 1900;
// A burst that leaves the host done with its answer is followed by the next one only this much
// later, so that the host has moved on by then and never reads the rest as part of this answer.
const long CHAOS_HOST_MOVES_ON_MS = 400;

class Chaos {
public:
    // rate: percent of transmissions answered with something other than one 0x06.
    // burst_max: longest write; at most what the host's port reads at once, so that no burst
    // ever reaches the host in two pieces.
    Chaos(std::uint64_t seed, int rate, long max_gap_ms, std::size_t burst_max);

    ChaosPlan sync_reply();
    ChaosPlan answer();

private:
    std::uint64_t next();
    long below(long n);
    bool percent(int p) { return below(100) < p; }
    char rejection();
    char ignored();
    std::string rejections(long count);
    std::string ignored_bytes(long count);
    std::string token_mix(long count);
    long first_gap();
    ChaosPlan plan(const char* kind, std::vector<std::string> pieces, bool sync = false);
    ChaosPlan pause_then(const char* kind, bool silent);
    std::vector<std::string> split_at_random(const std::string& bytes, long cuts);

    std::uint64_t state_;
    int rate_;
    long max_gap_;
    std::size_t burst_max_;
};

// What the uploader makes of the bursts answering one transmission: it reads burst by burst and
// stops after the first one that does not leave it paused.
struct HostReading {
    bool resend = false;   // a rejection byte came before it stopped
    bool waiting = false;  // still paused after the last burst
};
HostReading host_reading(const std::vector<std::string>& bursts);

// Whether the host is still paused (waiting for more) after these bytes of an answer.
bool host_waits_after(const std::string& bytes);
