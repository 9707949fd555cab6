// The draws behind quorvane-sim --chaos: answers made of acceptances, rejections, pauses and
// ignored bytes, in one burst or several, or silence or a hang-up, each with its timing.
#include "sim_chaos.h"

#include "hex_text.h"

#include <algorithm>

namespace {

const char ACK = 0x06;
const char PAUSE = 0x13;
const char SYNC_REPLY[] = "dsc01";

// 0x15 most of the time; the others sit next to the bytes the host treats otherwise, where a
// classification slip would show.
const char REJECTIONS[] = {0x15, 0x00, 0x05, 0x07, 0x12, 0x14, 0x16, '@', 'I', 'J', 'L', 'W',
                           'Y', 'a', 'x', '\x86', '\x93', '\xff'};
const char IGNORED[] = "ABCDEFGHKX";
// Sync noise: partial replies among them, which the host's matcher must not resume from.
const char SYNC_NOISE[] = {'x', 'q', '?', 'd', 's', 'c', '0', '1', 0x00, '\xff'};

bool is_ignored(unsigned char byte) { return (byte >= 'A' && byte <= 'H') || byte == 'K' || byte == 'X'; }

}  // namespace

bool host_waits_after(const std::string& bytes) {
    bool paused = false;
    for (unsigned char byte : bytes) {
        if (byte == PAUSE) paused = true;
        else if (!is_ignored(byte)) paused = false;  // an acceptance or a rejection answers
    }
    return paused;
}

HostReading host_reading(const std::vector<std::string>& bursts) {
    HostReading reading;
    std::string seen;
    for (const std::string& burst : bursts) {
        for (unsigned char byte : burst)
            if (byte != ACK && byte != PAUSE && !is_ignored(byte)) reading.resend = true;
        seen += burst;
        if (!host_waits_after(seen)) return reading;
    }
    reading.waiting = !bursts.empty() && host_waits_after(seen);
    return reading;
}

std::string ChaosPlan::describe() const {
    std::string text;
    for (const ChaosBurst& burst : bursts)
        text += (text.empty() ? "" : " ") + hex(burst.bytes) + "+" + std::to_string(burst.gap_ms);
    if (end == End::Silence) text += text.empty() ? "silence" : " silence";
    if (end == End::Hangup) text += (text.empty() ? "hangup+" : " hangup+") + std::to_string(hangup_ms);
    return text;
}

Chaos::Chaos(std::uint64_t seed, int rate, long max_gap_ms, std::size_t burst_max)
    : state_(seed), rate_(rate), max_gap_(max_gap_ms), burst_max_(std::max<std::size_t>(burst_max, 1)) {}

// splitmix64: small, fast and the same on every platform, unlike the standard distributions.
std::uint64_t Chaos::next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

long Chaos::below(long n) { return n <= 1 ? 0 : static_cast<long>(next() % static_cast<std::uint64_t>(n)); }

char Chaos::rejection() {
    if (percent(50)) return REJECTIONS[0];
    return REJECTIONS[below(sizeof REJECTIONS)];
}

char Chaos::ignored() { return IGNORED[below(sizeof IGNORED - 1)]; }

std::string Chaos::rejections(long count) {
    std::string bytes;
    for (long i = 0; i < count; ++i) bytes += rejection();
    return bytes;
}

std::string Chaos::ignored_bytes(long count) {
    std::string bytes;
    for (long i = 0; i < count; ++i) bytes += ignored();
    return bytes;
}

// Acceptances, rejections, ignored bytes and pauses in random order, never ending paused.
std::string Chaos::token_mix(long count) {
    std::string bytes;
    for (long i = 0; i < count; ++i) {
        long pick = below(100);
        bytes += pick < 40 ? rejection() : pick < 70 ? ACK : pick < 85 ? ignored() : PAUSE;
    }
    if (host_waits_after(bytes)) bytes += ACK;
    return bytes;
}

// Mostly at once, sometimes late but always inside the host's wait.
long Chaos::first_gap() { return percent(75) ? below(21) : below(max_gap_ + 1); }

std::vector<std::string> Chaos::split_at_random(const std::string& bytes, long cuts) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (long i = 0; i < cuts && bytes.size() - start > 1; ++i) {
        std::size_t at = start + 1 + static_cast<std::size_t>(below(static_cast<long>(bytes.size() - start - 1)));
        pieces.push_back(bytes.substr(start, at - start));
        start = at;
    }
    pieces.push_back(bytes.substr(start));
    return pieces;
}

// Turns pieces into timed bursts no longer than burst_max. Where the host is still paused (or
// still syncing) any gap will do; elsewhere the gap is long enough for the host to have moved on.
ChaosPlan Chaos::plan(const char* kind, std::vector<std::string> pieces, bool sync) {
    ChaosPlan result;
    result.kind = kind;
    std::string sent;
    for (const std::string& piece : pieces) {
        for (std::size_t at = 0; at < piece.size(); at += burst_max_) {
            ChaosBurst burst;
            burst.bytes = piece.substr(at, burst_max_);
            if (result.bursts.empty()) burst.gap_ms = first_gap();
            else if (sync || host_waits_after(sent)) burst.gap_ms = below(max_gap_ + 1);
            else burst.gap_ms = CHAOS_HOST_MOVES_ON_MS + below(max_gap_ - CHAOS_HOST_MOVES_ON_MS + 1);
            sent += burst.bytes;
            result.bursts.push_back(burst);
        }
    }
    return result;
}

ChaosPlan Chaos::sync_reply() {
    if (percent(60)) return plan("sync", {SYNC_REPLY}, true);
    std::string noise;
    for (long i = below(4); i > 0; --i) noise += SYNC_NOISE[below(sizeof SYNC_NOISE)];
    std::string reply = SYNC_REPLY;
    std::size_t cut = static_cast<std::size_t>(below(5));  // 0: the reply in one piece
    std::string head = cut == 0 ? reply : reply.substr(0, cut);
    std::vector<std::string> pieces;
    if (!noise.empty() && percent(50)) pieces.push_back(noise);
    else head = noise + head;
    pieces.push_back(head);
    if (cut != 0) pieces.push_back(reply.substr(cut));
    return plan("sync-noisy", pieces, true);
}

// One to three pauses, each its own burst, sometimes with ignored bytes after it; then either
// silence or a last burst that answers.
ChaosPlan Chaos::pause_then(const char* kind, bool silent) {
    std::vector<std::string> pieces;
    for (long i = 1 + below(3); i > 0; --i)
        pieces.push_back(std::string(1, PAUSE) + (percent(25) ? ignored_bytes(1) : ""));
    if (!silent) {
        long pick = below(100);
        pieces.push_back(pick < 60 ? std::string(1, ACK)
                         : pick < 75 ? rejections(1 + below(2))
                         : pick < 85 ? ignored_bytes(1 + below(2))
                                     : rejections(1 + below(3)) + ACK);
    }
    ChaosPlan result = plan(kind, pieces);
    if (silent) result.end = ChaosPlan::End::Silence;
    return result;
}

ChaosPlan Chaos::answer() {
    if (!percent(rate_)) return plan("ack", {std::string(1, ACK)});
    long pick = below(101);  // the weights below; what is left over hangs up
    if ((pick -= 14) < 0) {
        // Four or more in one burst fail the upload.
        static const long counts[] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 4, 4, 4, 5};
        return plan("reject", {rejections(counts[below(20)])});
    }
    if ((pick -= 10) < 0) return plan("reject-ack", {rejections(1 + below(3)) + ACK});
    if ((pick -= 6) < 0) return plan("ack-reject", {ACK + rejections(1 + below(3))});
    // An acceptance between them restarts the count: up to three on each side pass.
    if ((pick -= 6) < 0) return plan("reset", {rejections(1 + below(3)) + ACK + rejections(1 + below(3))});
    if ((pick -= 10) < 0) return plan("mixed", {token_mix(2 + below(7))});
    if ((pick -= 12) < 0) return pause_then("pause-ack", false);
    if ((pick -= 3) < 0) return pause_then("pause-silent", true);
    if ((pick -= 8) < 0) return plan("ignored", {ignored_bytes(1 + below(4))});
    if ((pick -= 8) < 0)
        return plan("ignored-ack", {percent(50) ? ignored_bytes(1 + below(3)) + ACK : ACK + ignored_bytes(1 + below(3))});
    if ((pick -= 4) < 0) return plan("double-ack", {std::string(2, ACK)});
    if ((pick -= 12) < 0) {
        std::vector<std::string> pieces = split_at_random(token_mix(2 + below(7)), 1 + below(3));
        return plan("split", pieces);
    }
    if ((pick -= 2) < 0) {
        // An acceptance followed by a pause leaves the host waiting again.
        long then = below(3);
        std::string last = then == 0 ? std::string(1, ACK) : then == 1 ? ignored_bytes(1) : rejections(1);
        return plan("ack-pause", {std::string(1, ACK) + PAUSE, last});
    }
    if ((pick -= 4) < 0) {
        ChaosPlan result;
        result.kind = "silence";
        result.end = ChaosPlan::End::Silence;
        return result;
    }
    ChaosPlan result;
    result.kind = "hangup";
    result.end = ChaosPlan::End::Hangup;
    result.hangup_ms = first_gap();
    return result;
}
