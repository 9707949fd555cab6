// quorvane-sim: a simulated quorvane target on a pseudo-terminal.
//
// It opens a pty pair, prints the slave's path, and plays the target on the master: it answers
// the sync request, the start command and every record, and can misbehave on purpose (see
// --help), by script or, with --chaos, at random from a seed. Everything runs in one thread
// around one poll loop; answers go through a queue of timed bursts so that replies keep their
// order and, with --bitrate, leave at the line's pace.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "hex_text.h"
#include "sim_chaos.h"

namespace {

using Nanos = long long;  // CLOCK_MONOTONIC time or a duration, in nanoseconds
const Nanos NEVER = 0x7fffffffffffffffLL;
const Nanos MS = 1000000;

const char SYNC_REQUEST = 'x';
const char SYNC_REPLY[] = "dsc01";
const unsigned char ACK = 0x06;
const unsigned char PAUSE = 0x13;
const unsigned char REJECT = 0x15;

const char USAGE[] =
    "usage: quorvane-sim [OPTION]...\n"
    "\n"
    "A simulated quorvane target on a pseudo-terminal. It opens a pty pair and prints\n"
    "the slave's path as the first line of standard output:\n"
    "    device: /dev/pts/N\n"
    "(nothing else is ever written there), then plays the target on the master side:\n"
    "  - 'x' (sync request) is answered with \"dsc01\";\n"
    "  - \"@#\" (start command) is answered with 'F' (ready) after --ready-delay;\n"
    "  - after that every byte belongs to a record: a 2-byte big-endian payload length\n"
    "    L and L payload bytes. Each whole record is answered with 0x06 (accepted),\n"
    "    unless an option below asks for something else.\n"
    "Before the start command, bytes other than 'x', '@' and '#' are ignored.\n"
    "\n"
    "It ends with status 0 when the host closes the device after having sent at\n"
    "least one byte, after --hangup-at, after --time-limit, or on SIGTERM/SIGINT.\n"
    "Until the first byte arrives it keeps the slave open itself, so it does not\n"
    "notice a host that opens and closes the device without sending anything.\n"
    "Status 1: a system call failed (pty, log file). Status 2: bad command line.\n"
    "\n"
    "Records are numbered from 1 in the order they are first sent. The number moves\n"
    "on only once a record has been answered with an acceptance or with ignored\n"
    "bytes, so a resend keeps the number of the record it repeats; T counts the\n"
    "transmissions of one record (1 = first send). Options naming record N apply\n"
    "in this order: its rejections (--reject-burst, then --reject), then at most\n"
    "one other answer (--pause-ack, --pause-silent, --silent-at, --ignored,\n"
    "--ignored-then-ack, --double-ack, --hangup-at, --pause-hangup), else a plain\n"
    "acceptance.\n"
    "\n"
    "Logs (each line is flushed when written):\n"
    "  --record-log FILE     every whole record received, resends included, in arrival\n"
    "                        order, one per line: upper-case hex of the record with\n"
    "                        its length field, e.g. 0003AABBCC. Written before the\n"
    "                        record is answered.\n"
    "  --event-log FILE      one line per event: '<us> <event> [fields]', where <us> is\n"
    "                        CLOCK_MONOTONIC in microseconds (the clock of Python's\n"
    "                        time.monotonic() on Linux). Events:\n"
    "                          device PATH            pty ready\n"
    "                          host-seen              first byte from the host\n"
    "                          rx-sync                'x' arrived\n"
    "                          tx-sync-reply          \"dsc01\" left\n"
    "                          tx-sync-reply-extra    \"dsc01?\" left (--sync-extra)\n"
    "                          tx-sync-reply-head     \"dsc\" left (--split-sync)\n"
    "                          tx-sync-reply-tail     \"01\" left (--split-sync)\n"
    "                          rx-start               '#' of \"@#\" arrived\n"
    "                          tx-ready HH            ready byte left (HH: hex)\n"
    "                          no-ready               ready withheld (--no-ready)\n"
    "                          rx-other HH            other byte before the start\n"
    "                          record-first-byte N T  first byte of a record arrived\n"
    "                          record-complete N T SIZE DUE\n"
    "                                                 last byte arrived; SIZE counts\n"
    "                                                 the length field; DUE is when\n"
    "                                                 the record counts as whole at\n"
    "                                                 the --bitrate pace (in us, same\n"
    "                                                 clock; equals <us> without it)\n"
    "                          tx-ack N               0x06 left\n"
    "                          tx-double-ack N        0x06 0x06 left\n"
    "                          tx-reject N K          K bytes 0x15 left\n"
    "                          tx-pause N             0x13 left\n"
    "                          tx-ignored N HEX       ignored bytes left\n"
    "                          tx-ignored-then-ack N HEX\n"
    "                                                 ignored bytes and 0x06 left\n"
    "                          silent N               record N will get no answer\n"
    "                          hangup N               master closed (--hangup-at,\n"
    "                                                 --hangup-within, --pause-hangup)\n"
    "                          hangup-sync            master closed (--hangup-sync)\n"
    "                          tx-sync-echo           unasked \"dsc01\" left (--sync-echo)\n"
    "                          record-partial N T GOT SIZE\n"
    "                                                 unfinished record at the end\n"
    "                                                 (SIZE 0: length not yet known)\n"
    "                          host-closed | time-limit | signal NAME\n"
    "                                                 why it ended\n"
    "                        With --chaos also:\n"
    "                          chaos SEED RATE MAXGAP BURSTMAX\n"
    "                                                 the chaos settings\n"
    "                          chaos-sync KIND PLAN   sync reply drawn for an 'x'\n"
    "                          chaos-answer N T KIND PLAN\n"
    "                                                 answer drawn for record N,\n"
    "                                                 transmission T. PLAN: bursts\n"
    "                                                 as HEX+MS (MS: the gap before\n"
    "                                                 it), then 'silence' or\n"
    "                                                 'hangup+MS' when it ends so\n"
    "                          tx-sync-burst HEX      a burst of the sync reply left\n"
    "                          tx-burst N T HEX       a burst answering N T left\n"
    "                          cut N T K              K items of that answer dropped:\n"
    "                                                 the next transmission began\n"
    "                          silent N, hangup N     as above\n"
    "                        Every tx-* time is taken just before the write.\n"
    "\n"
    "Sync and start:\n"
    "  --silent-sync         never answer 'x'.\n"
    "  --split-sync          answer the first 'x' with \"dsc\", then \"01\" --split-ms\n"
    "                        later; 'x' arriving in between is not answered, later\n"
    "                        ones get the whole reply.\n"
    "  --split-ms MS         gap of --split-sync (default 2500).\n"
    "  --sync-extra          answer the first 'x' with \"dsc01?\" in one burst; after\n"
    "                        that answer no 'x' but send \"dsc01\" once a second on its\n"
    "                        own until the start command arrives.\n"
    "  --sync-delay MS       wait MS after 'x' before replying (default 0).\n"
    "  --sync-echo MS        send \"dsc01\" once more MS after the first sync reply\n"
    "                        left, unasked (dropped if the start command comes first).\n"
    "  --hangup-sync         when the first 'x' arrives, close the master after\n"
    "                        --sync-delay instead of replying, and end.\n"
    "  --ready-delay MS      wait MS after '#' before the ready byte (default 20).\n"
    "  --no-ready            send nothing after the start command.\n"
    "  --wrong-ready         send 'E' instead of 'F' after the start command.\n"
    "  --ready-byte B        send B instead of 'F': one character or 0xHH.\n"
    "  Records are read after the start command whatever the ready byte was.\n"
    "\n"
    "Answers to records (N counts from 1, K >= 1, MS >= 0):\n"
    "  --reject N:K          answer the first K transmissions of record N with 0x15,\n"
    "                        one rejection each, then accept.\n"
    "  --reject-burst N:K    answer the first transmission of record N with K bytes\n"
    "                        0x15 in one burst, then accept.\n"
    "  --pause-ack N         answer record N with 0x13, then 0x06 --pause-ms later.\n"
    "  --pause-ms MS         delay of --pause-ack and --pause-hangup (default 300).\n"
    "  --pause-silent N      answer record N with 0x13, then never answer anything\n"
    "                        again (the line stays open).\n"
    "  --silent-at N         receive record N but never answer it or anything after.\n"
    "  --ignored N:BYTES     answer record N with BYTES (literal characters, e.g. AK;\n"
    "                        the host ignores A..H, K, X) and no acceptance; record\n"
    "                        N+1 comes next.\n"
    "  --ignored-then-ack N:BYTES\n"
    "                        answer record N with BYTES followed by 0x06, one burst.\n"
    "  --double-ack N        answer record N with 0x06 0x06 in one burst.\n"
    "  --hangup-at N         when record N has arrived, close the master (the host\n"
    "                        sees a hang-up) without answering, and end.\n"
    "  --hangup-within N:K   once K bytes of record N's first transmission have\n"
    "                        arrived, close the master at once, leaving the record\n"
    "                        unfinished, and end.\n"
    "  --pause-hangup N      answer record N with 0x13, then close the master\n"
    "                        --pause-ms later, and end.\n"
    "  --answer-delay N:MS   hold every answer to record N back by MS.\n"
    "  Each option naming a record may be given several times, for different records.\n"
    "\n"
    "Timing:\n"
    "  --bitrate B           pace the line at B bit/s, 10 bits a byte: bytes sent\n"
    "                        leave one at a time, at least 10/B s apart (also within\n"
    "                        a multi-byte answer), and a record counts as whole at\n"
    "                        max(arrival of its last byte, arrival of its first byte\n"
    "                        + (SIZE-1)*10/B); its answer leaves then. Without it\n"
    "                        nothing is paced and answers leave at once.\n"
    "  --spin-us US          busy-wait the last US microseconds before a timed send\n"
    "                        instead of sleeping, for accuracy (default 100).\n"
    "  --time-limit SECONDS  end after this long (default 120; 0: no limit).\n"
    "  --help                show this text.\n"
    "\n"
    "Chaos (answers drawn from a seed):\n"
    "  --chaos SEED          draw the sync reply and the answer to every record\n"
    "                        transmission from a PRNG seeded with SEED (0 to\n"
    "                        2^64-1): the same seed and the same host behaviour\n"
    "                        give the same exchange. The sync reply is \"dsc01\",\n"
    "                        sometimes after noise bytes (in a burst of their own\n"
    "                        or the same one) and split in two. A transmission\n"
    "                        gets one of: 0x06; 1..5 rejections in one burst;\n"
    "                        rejections then 0x06; 0x06 then rejections;\n"
    "                        rejections around a 0x06; a random mix; pauses then\n"
    "                        an answer; pauses then silence; ignored bytes alone\n"
    "                        or with 0x06; 0x06 twice; a mix split into bursts at\n"
    "                        random points; 0x06 0x13 then more; silence (nothing\n"
    "                        is answered again); a hang-up. Gaps stay under the\n"
    "                        host's 2000 ms wait; after a burst that leaves the\n"
    "                        host no longer paused, the next one waits at least\n"
    "                        400 ms from when that burst left, and is dropped if\n"
    "                        the next transmission begins first. A transmission\n"
    "                        is a resend of record N when a rejection byte came\n"
    "                        before the first burst that left the host unpaused.\n"
    "                        Excludes the options that script answers or the\n"
    "                        sync reply (--reject to --answer-delay above,\n"
    "                        --silent-sync, --split-sync, --sync-extra,\n"
    "                        --sync-delay, --sync-echo, --hangup-sync) and\n"
    "                        --bitrate.\n"
    "  --chaos-rate PERCENT  transmissions answered otherwise than with a single\n"
    "                        0x06, in percent (default 60).\n"
    "  --chaos-max-gap MS    longest gap before or between bursts, 400 to 1900\n"
    "                        (default 1700).\n"
    "  --chaos-burst-max N   longest burst, 1 to 64 bytes (default 5); longer\n"
    "                        answers go in several bursts. Keep it at or below\n"
    "                        what the host's port reads at once (bitrate/1800\n"
    "                        for quorvane) so that no burst reaches the host in\n"
    "                        two pieces.\n"
    "Values may also be given as --option=VALUE.\n";

// How a record is answered once its rejections are used up.
enum class Final {
    Ack, DoubleAck, Ignored, IgnoredThenAck, PauseAck, PauseSilent, PauseHangup, Silent, Hangup
};

struct Plan {
    long burst = 0;    // rejection bytes answering the first transmission
    long rejects = 0;  // single rejections for the transmissions after that
    Final final = Final::Ack;
    std::string final_option;  // which option chose final, for conflict messages
    std::string ignored;
    Nanos delay = 0;
    std::size_t hangup_within = 0;  // hang up once this many bytes of it have arrived (0: never)
};

struct Options {
    std::string record_log;
    std::string event_log;
    Nanos time_limit = 120000 * MS;
    std::map<long, Plan> plans;
    Nanos pause = 300 * MS;
    Nanos split = 2500 * MS;
    Nanos ready_delay = 20 * MS;
    Nanos sync_delay = 0;
    bool silent_sync = false;
    bool hangup_sync = false;
    Nanos sync_echo = -1;  // --sync-echo delay; negative: none
    bool split_sync = false;
    bool sync_extra = false;
    bool no_ready = false;
    unsigned char ready_byte = 'F';
    long bitrate = 0;
    Nanos spin = 100000;
    bool chaos = false;
    unsigned long long chaos_seed = 0;
    int chaos_rate = 60;
    long chaos_max_gap = 1700;
    long chaos_burst_max = 5;
    std::string scripted;  // the first option that scripts what --chaos would draw
};

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "quorvane-sim: %s\nTry 'quorvane-sim --help'.\n", message.c_str());
    std::exit(2);
}

[[noreturn]] void system_error(const char* what) {
    std::fprintf(stderr, "quorvane-sim: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

long parse_number(const std::string& option, const std::string& text, long min, long max) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max)
        usage_error(option + ": '" + text + "' is not a number from " + std::to_string(min) +
                    " to " + std::to_string(max));
    return value;
}

long parse_record(const std::string& option, const std::string& text) {
    return parse_number(option, text, 1, 1000000000L);
}

// "N:REST" -> N, REST
std::pair<long, std::string> parse_pair(const std::string& option, const std::string& text) {
    std::string::size_type colon = text.find(':');
    if (colon == std::string::npos) usage_error(option + ": expected N:VALUE, got '" + text + "'");
    return {parse_record(option, text.substr(0, colon)), text.substr(colon + 1)};
}

Nanos parse_ms(const std::string& option, const std::string& text) {
    return parse_number(option, text, 0, 3600000L) * MS;
}

void set_final(Plan& plan, long record, Final final, const std::string& option) {
    if (!plan.final_option.empty())
        usage_error(option + " and " + plan.final_option + " both name record " +
                    std::to_string(record));
    plan.final = final;
    plan.final_option = option;
}

Options parse_options(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool has_value = false;
        std::string::size_type eq = name.find('=');
        if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            has_value = true;
        }
        auto arg = [&]() -> std::string {
            if (has_value) return value;
            if (i + 1 >= argc) usage_error(name + " needs a value");
            return argv[++i];
        };
        auto flag = [&]() {
            if (has_value) usage_error(name + " takes no value");
        };
        static const char* const scripting[] = {
            "--reject", "--reject-burst", "--pause-ack", "--pause-silent", "--silent-at",
            "--ignored", "--ignored-then-ack", "--double-ack", "--hangup-at", "--answer-delay",
            "--hangup-within", "--pause-hangup", "--silent-sync", "--split-sync", "--sync-extra",
            "--sync-delay", "--sync-echo", "--hangup-sync", "--bitrate"};
        for (const char* option : scripting)
            if (name == option && opt.scripted.empty()) opt.scripted = name;
        if (name == "--help" || name == "-h") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else if (name == "--record-log") {
            opt.record_log = arg();
        } else if (name == "--event-log") {
            opt.event_log = arg();
        } else if (name == "--time-limit") {
            std::string text = arg();
            char* end = nullptr;
            double seconds = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(seconds >= 0) || seconds > 1e6)
                usage_error("--time-limit: '" + text + "' is not a number of seconds");
            opt.time_limit = seconds == 0 ? NEVER : static_cast<Nanos>(seconds * 1e9);
        } else if (name == "--reject" || name == "--reject-burst") {
            auto pair = parse_pair(name, arg());
            long count = parse_number(name, pair.second, 1, 1000000);
            Plan& plan = opt.plans[pair.first];
            long& field = name == "--reject" ? plan.rejects : plan.burst;
            if (field != 0)
                usage_error(name + " names record " + std::to_string(pair.first) + " twice");
            field = count;
        } else if (name == "--pause-ack") {
            long n = parse_record(name, arg());
            set_final(opt.plans[n], n, Final::PauseAck, name);
        } else if (name == "--pause-silent") {
            long n = parse_record(name, arg());
            set_final(opt.plans[n], n, Final::PauseSilent, name);
        } else if (name == "--silent-at") {
            long n = parse_record(name, arg());
            set_final(opt.plans[n], n, Final::Silent, name);
        } else if (name == "--double-ack") {
            long n = parse_record(name, arg());
            set_final(opt.plans[n], n, Final::DoubleAck, name);
        } else if (name == "--hangup-at") {
            long n = parse_record(name, arg());
            set_final(opt.plans[n], n, Final::Hangup, name);
        } else if (name == "--pause-hangup") {
            long n = parse_record(name, arg());
            set_final(opt.plans[n], n, Final::PauseHangup, name);
        } else if (name == "--hangup-within") {
            auto pair = parse_pair(name, arg());
            opt.plans[pair.first].hangup_within =
                static_cast<std::size_t>(parse_number(name, pair.second, 1, 65537));
        } else if (name == "--ignored" || name == "--ignored-then-ack") {
            auto pair = parse_pair(name, arg());
            if (pair.second.empty() || pair.second.size() > 64)
                usage_error(name + ": give 1 to 64 bytes after the colon");
            Plan& plan = opt.plans[pair.first];
            Final final = name == "--ignored" ? Final::Ignored : Final::IgnoredThenAck;
            set_final(plan, pair.first, final, name);
            plan.ignored = pair.second;
        } else if (name == "--answer-delay") {
            auto pair = parse_pair(name, arg());
            opt.plans[pair.first].delay = parse_ms(name, pair.second);
        } else if (name == "--pause-ms") {
            opt.pause = parse_ms(name, arg());
        } else if (name == "--split-ms") {
            opt.split = parse_ms(name, arg());
        } else if (name == "--ready-delay") {
            opt.ready_delay = parse_ms(name, arg());
        } else if (name == "--sync-delay") {
            opt.sync_delay = parse_ms(name, arg());
        } else if (name == "--silent-sync") {
            flag();
            opt.silent_sync = true;
        } else if (name == "--sync-echo") {
            opt.sync_echo = parse_ms(name, arg());
        } else if (name == "--hangup-sync") {
            flag();
            opt.hangup_sync = true;
        } else if (name == "--split-sync") {
            flag();
            opt.split_sync = true;
        } else if (name == "--sync-extra") {
            flag();
            opt.sync_extra = true;
        } else if (name == "--no-ready") {
            flag();
            opt.no_ready = true;
        } else if (name == "--wrong-ready") {
            flag();
            opt.ready_byte = 'E';
        } else if (name == "--ready-byte") {
            std::string text = arg();
            if (text.size() == 1) {
                opt.ready_byte = static_cast<unsigned char>(text[0]);
            } else if (text.size() == 4 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
                char* end = nullptr;
                long byte = std::strtol(text.c_str() + 2, &end, 16);
                if (*end != '\0') usage_error("--ready-byte: '" + text + "' is not 0xHH");
                opt.ready_byte = static_cast<unsigned char>(byte);
            } else {
                usage_error("--ready-byte: give one character or 0xHH, not '" + text + "'");
            }
        } else if (name == "--bitrate") {
            opt.bitrate = parse_number(name, arg(), 1, 100000000L);
        } else if (name == "--spin-us") {
            opt.spin = parse_number(name, arg(), 0, 100000) * 1000;
        } else if (name == "--chaos") {
            std::string text = arg();
            char* end = nullptr;
            errno = 0;
            opt.chaos_seed = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0)
                usage_error("--chaos: '" + text + "' is not a seed from 0 to 2^64-1");
            opt.chaos = true;
        } else if (name == "--chaos-rate") {
            opt.chaos_rate = static_cast<int>(parse_number(name, arg(), 0, 100));
        } else if (name == "--chaos-max-gap") {
            opt.chaos_max_gap = parse_number(name, arg(), CHAOS_HOST_MOVES_ON_MS, CHAOS_MAX_GAP_LIMIT);
        } else if (name == "--chaos-burst-max") {
            opt.chaos_burst_max = parse_number(name, arg(), 1, 64);
        } else {
            usage_error("unknown option '" + std::string(argv[i]) + "'");
        }
    }
    int sync_modes =
        opt.silent_sync + opt.split_sync + opt.sync_extra + opt.hangup_sync + (opt.sync_echo >= 0);
    if (sync_modes > 1)
        usage_error("--silent-sync, --split-sync, --sync-extra, --hangup-sync and --sync-echo "
                    "exclude each other");
    if (opt.chaos && !opt.scripted.empty()) usage_error("--chaos excludes " + opt.scripted);
    return opt;
}

Nanos now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

timespec to_timespec(Nanos t) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(t / 1000000000LL);
    ts.tv_nsec = static_cast<long>(t % 1000000000LL);
    return ts;
}

// Waits for t: short sleeps on absolute deadlines up to shortly before it, then a spin for the
// rest. A long sleep wakes late far more often than a short one, and every late wake-up would
// show as a slow target.
void wait_until(Nanos t, Nanos spin) {
    const Nanos step = 200000;
    for (Nanos left = t - now(); left > spin; left = t - now()) {
        timespec ts = to_timespec(t - std::max(spin, left - step));
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    while (now() < t) {
    }
}

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig) { stop_signal = sig; }

class LineFile {
public:
    void open(const std::string& path) {
        if (path.empty()) return;
        file_ = std::fopen(path.c_str(), "w");
        if (!file_) system_error(path.c_str());
    }
    bool enabled() const { return file_ != nullptr; }
    void line(const std::string& text) {
        if (!file_) return;
        std::fwrite(text.data(), 1, text.size(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }
private:
    std::FILE* file_ = nullptr;
};

// One burst of bytes the target sends, or the hang-up, queued in the order it was decided.
struct TxItem {
    std::string bytes;  // empty for the hang-up
    bool hangup = false;
    bool sync = false;      // part of the sync exchange: dropped once the start command arrives
    bool answer = false;    // answers the latest transmission: dropped once the next one begins
    bool relative = false;  // due counts from when the previous item's last byte left
    bool from_written = false;  // relative to when that byte was written, not when it was due
    Nanos due = 0;
    Nanos delay = 0;
    std::string event;  // logged when the first byte leaves
    std::size_t sent = 0;
    // What its sending sets off.
    enum class Tag { None, SyncExtra, SplitTail, AnswerBurst } tag = Tag::None;
};

class Target {
public:
    Target(const Options& opt, int master, int slave) : opt_(opt), master_(master), slave_(slave) {
        byte_time_ = opt.bitrate > 0 ? 10000000000LL / opt.bitrate : 0;
        records_.open(opt.record_log);
        events_.open(opt.event_log);
        if (opt.chaos)
            chaos_.reset(new Chaos(opt.chaos_seed, opt.chaos_rate, opt.chaos_max_gap,
                                   static_cast<std::size_t>(opt.chaos_burst_max)));
    }

    int run(const std::string& device, const sigset_t& wait_mask);

private:
    enum class Phase { Sync, Records };

    void event(Nanos t, const char* format, ...) __attribute__((format(printf, 3, 4)));
    Nanos pace_bytes(Nanos first, std::size_t count) const;
    void receive(const unsigned char* data, std::size_t size, Nanos t);
    void receive_sync_byte(unsigned char byte, Nanos t);
    void receive_record_bytes(const unsigned char* data, std::size_t size, Nanos t);
    void record_complete(Nanos t);
    void answer(Nanos due, std::string bytes, std::string event_text);
    Nanos send_due(Nanos t);
    void queue(TxItem item) { tx_.push_back(std::move(item)); }
    void finish_partial(Nanos t);
    std::size_t hangup_point() const;
    TxItem& queue_hangup(Nanos due, const std::string& event_text);
    void queue_plan(const ChaosPlan& plan, Nanos t, bool sync, const std::string& event_prefix);
    void chaos_sync(Nanos t);
    void chaos_answer(long n, long tn, Nanos t);
    void chaos_next_transmission(Nanos t);

    const Options& opt_;
    int master_;
    int slave_;  // held until the host shows up, so that the master does not hang up before
    LineFile records_;
    LineFile events_;
    Nanos byte_time_;  // 0: no pacing

    bool host_seen_ = false;
    bool master_closed_ = false;
    bool host_closed_ = false;
    bool write_blocked_ = false;  // the slave's input is full: wait for POLLOUT

    // Sync phase.
    Phase phase_ = Phase::Sync;
    bool at_seen_ = false;
    int sync_requests_ = 0;
    bool split_pending_ = false;
    Nanos repeat_at_ = NEVER;  // next spontaneous sync reply (--sync-extra)

    // Receiving: the earliest time the last byte could have arrived at the line's pace.
    Nanos rx_paced_ = -NEVER;

    // Records.
    long record_ = 1;       // number of the record being received
    long transmission_ = 0; // transmissions of it so far, including the one being received
    std::vector<unsigned char> buffer_;
    std::size_t need_ = 2;
    Nanos first_paced_ = 0;
    bool silent_ = false;

    // Sending.
    std::deque<TxItem> tx_;
    Nanos tx_free_ = -NEVER;      // earliest time the next byte may leave
    Nanos last_item_end_ = 0;     // when the previous item's last byte left (ideal time)
    Nanos last_item_written_ = 0; // when it was actually written

    // Chaos.
    std::unique_ptr<Chaos> chaos_;
    bool answering_ = false;                // the latest transmission has a drawn answer
    std::vector<std::string> answer_sent_;  // the bursts of that answer that have left
};

void Target::event(Nanos t, const char* format, ...) {
    if (!events_.enabled()) return;
    char text[512];
    int used = std::snprintf(text, sizeof text, "%lld ", t / 1000);
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + used, sizeof text - static_cast<std::size_t>(used), format, args);
    va_end(args);
    events_.line(text);
}

// When the last of count bytes, the first of which arrived at first, counts as arrived.
Nanos Target::pace_bytes(Nanos first, std::size_t count) const {
    return first + static_cast<Nanos>(count - 1) * 10000000000LL / std::max(opt_.bitrate, 1L);
}

void Target::receive(const unsigned char* data, std::size_t size, Nanos t) {
    std::size_t i = 0;
    while (i < size && phase_ == Phase::Sync) receive_sync_byte(data[i++], t);
    if (i < size) receive_record_bytes(data + i, size - i, t);
}

void Target::receive_sync_byte(unsigned char byte, Nanos t) {
    if (byte_time_) {
        rx_paced_ = std::max(t, rx_paced_ + byte_time_);
        t = rx_paced_;
    }
    if (byte == '#' && at_seen_) {
        event(t, "rx-start");
        phase_ = Phase::Records;
        repeat_at_ = NEVER;
        // The host has its reply: whatever is left of the sync exchange would only confuse it.
        for (auto it = tx_.begin(); it != tx_.end();) {
            if (it->sync && it->sent == 0) it = tx_.erase(it); else ++it;
        }
        split_pending_ = false;
        if (opt_.no_ready) {
            event(t, "no-ready");
            return;
        }
        TxItem ready;
        ready.bytes.assign(1, static_cast<char>(opt_.ready_byte));
        ready.due = t + opt_.ready_delay;
        char text[32];
        std::snprintf(text, sizeof text, "tx-ready %02X", opt_.ready_byte);
        ready.event = text;
        queue(ready);
        return;
    }
    at_seen_ = byte == '@';
    if (byte == '@') return;
    if (byte != SYNC_REQUEST) {
        event(t, "rx-other %02X", byte);
        return;
    }
    event(t, "rx-sync");
    ++sync_requests_;
    if (opt_.silent_sync) return;
    if (opt_.hangup_sync) {
        if (sync_requests_ == 1) queue_hangup(t + opt_.sync_delay, "hangup-sync");
        return;
    }
    if (chaos_) {
        chaos_sync(t);
        return;
    }
    TxItem reply;
    reply.sync = true;
    reply.due = t + opt_.sync_delay;
    if (opt_.split_sync && sync_requests_ == 1) {
        reply.bytes = "dsc";
        reply.event = "tx-sync-reply-head";
        queue(reply);
        TxItem tail;
        tail.sync = true;
        tail.relative = true;
        tail.delay = opt_.split;
        tail.bytes = "01";
        tail.event = "tx-sync-reply-tail";
        tail.tag = TxItem::Tag::SplitTail;
        queue(tail);
        split_pending_ = true;
        return;
    }
    if (split_pending_) return;
    if (opt_.sync_extra) {
        if (sync_requests_ > 1) return;  // the spontaneous replies take over
        reply.bytes = std::string(SYNC_REPLY) + "?";
        reply.event = "tx-sync-reply-extra";
        reply.tag = TxItem::Tag::SyncExtra;  // arms the spontaneous replies once it has left
        queue(reply);
        return;
    }
    reply.bytes = SYNC_REPLY;
    reply.event = "tx-sync-reply";
    queue(reply);
    if (opt_.sync_echo >= 0 && sync_requests_ == 1) {
        TxItem echo = reply;
        echo.relative = true;
        echo.delay = opt_.sync_echo;
        echo.event = "tx-sync-echo";
        queue(echo);
    }
}

void Target::receive_record_bytes(const unsigned char* data, std::size_t size, Nanos t) {
    while (size > 0) {
        if (buffer_.empty()) {
            if (chaos_) chaos_next_transmission(t);
            ++transmission_;
            first_paced_ = byte_time_ ? std::max(t, rx_paced_ + byte_time_) : t;
            event(t, "record-first-byte %ld %ld", record_, transmission_);
        }
        std::size_t take = std::min(size, need_ - buffer_.size());
        std::size_t cut = hangup_point();
        if (cut > buffer_.size()) take = std::min(take, cut - buffer_.size());
        buffer_.insert(buffer_.end(), data, data + take);
        data += take;
        size -= take;
        if (buffer_.size() == 2 && need_ == 2)
            need_ = 2 + (static_cast<std::size_t>(buffer_[0]) << 8 | buffer_[1]);
        if (buffer_.size() == need_) {
            record_complete(t);
        } else if (cut != 0 && buffer_.size() == cut) {
            // Whatever else the host sent is lost with the line.
            queue_hangup(t, "hangup " + std::to_string(record_));
            silent_ = true;
            return;
        }
    }
}

// How many bytes of the current transmission arrive before the line is cut; 0: all of them.
std::size_t Target::hangup_point() const {
    if (transmission_ != 1 || silent_) return 0;
    auto found = opt_.plans.find(record_);
    return found == opt_.plans.end() ? 0 : found->second.hangup_within;
}

TxItem& Target::queue_hangup(Nanos due, const std::string& event_text) {
    TxItem hangup;
    hangup.hangup = true;
    hangup.due = due;
    hangup.event = event_text;
    queue(std::move(hangup));
    return tx_.back();
}

void Target::record_complete(Nanos t) {
    std::size_t size = buffer_.size();
    Nanos due = t;
    if (byte_time_) {
        due = std::max(t, pace_bytes(first_paced_, size));
        rx_paced_ = due;
    }
    records_.line(hex(buffer_.data(), size));
    event(t, "record-complete %ld %ld %zu %lld", record_, transmission_, size, due / 1000);
    buffer_.clear();
    need_ = 2;

    const long n = record_;
    const long tn = transmission_;
    if (silent_) return;
    if (chaos_) {
        chaos_answer(n, tn, due);
        return;
    }
    Plan plan;
    auto found = opt_.plans.find(n);
    if (found != opt_.plans.end()) plan = found->second;
    due += plan.delay;

    long rejections = (plan.burst > 0 ? 1 : 0) + plan.rejects;
    if (tn <= rejections) {
        long k = plan.burst > 0 && tn == 1 ? plan.burst : 1;
        char text[64];
        std::snprintf(text, sizeof text, "tx-reject %ld %ld", n, k);
        answer(due, std::string(static_cast<std::size_t>(k), static_cast<char>(REJECT)), text);
        return;
    }

    char text[200];
    switch (plan.final) {
    case Final::Ack:
        std::snprintf(text, sizeof text, "tx-ack %ld", n);
        answer(due, std::string(1, static_cast<char>(ACK)), text);
        break;
    case Final::DoubleAck:
        std::snprintf(text, sizeof text, "tx-double-ack %ld", n);
        answer(due, std::string(2, static_cast<char>(ACK)), text);
        break;
    case Final::Ignored:
        std::snprintf(text, sizeof text, "tx-ignored %ld %s", n, hex(plan.ignored).c_str());
        answer(due, plan.ignored, text);
        break;
    case Final::IgnoredThenAck:
        std::snprintf(text, sizeof text, "tx-ignored-then-ack %ld %s", n,
                      hex(plan.ignored).c_str());
        answer(due, plan.ignored + static_cast<char>(ACK), text);
        break;
    case Final::PauseAck: {
        std::snprintf(text, sizeof text, "tx-pause %ld", n);
        answer(due, std::string(1, static_cast<char>(PAUSE)), text);
        TxItem ack;
        ack.bytes.assign(1, static_cast<char>(ACK));
        ack.relative = true;
        ack.delay = opt_.pause;
        std::snprintf(text, sizeof text, "tx-ack %ld", n);
        ack.event = text;
        queue(ack);
        break;
    }
    case Final::PauseSilent:
        std::snprintf(text, sizeof text, "tx-pause %ld", n);
        answer(due, std::string(1, static_cast<char>(PAUSE)), text);
        silent_ = true;
        event(t, "silent %ld", n);
        return;
    case Final::PauseHangup: {
        std::snprintf(text, sizeof text, "tx-pause %ld", n);
        answer(due, std::string(1, static_cast<char>(PAUSE)), text);
        TxItem& hangup = queue_hangup(0, "hangup " + std::to_string(n));
        hangup.relative = true;  // --pause-ms after the pause byte left
        hangup.delay = opt_.pause;
        silent_ = true;
        return;
    }
    case Final::Silent:
        silent_ = true;
        event(t, "silent %ld", n);
        return;
    case Final::Hangup:
        queue_hangup(due, "hangup " + std::to_string(n));
        silent_ = true;
        return;
    }
    ++record_;
    transmission_ = 0;
}

// Queues the bursts of a drawn plan: the first gap counts from t, each later one from when the
// burst before it was written, which is when the host starts waiting for the next.
void Target::queue_plan(const ChaosPlan& plan, Nanos t, bool sync, const std::string& event_prefix) {
    for (std::size_t i = 0; i < plan.bursts.size(); ++i) {
        TxItem item;
        item.bytes = plan.bursts[i].bytes;
        item.sync = sync;
        item.answer = !sync;
        item.tag = sync ? TxItem::Tag::None : TxItem::Tag::AnswerBurst;
        if (i == 0) {
            item.due = t + plan.bursts[i].gap_ms * MS;
        } else {
            item.relative = true;
            item.from_written = true;
            item.delay = plan.bursts[i].gap_ms * MS;
        }
        item.event = event_prefix + hex(item.bytes);
        queue(std::move(item));
    }
}

void Target::chaos_sync(Nanos t) {
    ChaosPlan plan = chaos_->sync_reply();
    event(t, "chaos-sync %s %s", plan.kind, plan.describe().c_str());
    queue_plan(plan, t, true, "tx-sync-burst ");
}

void Target::chaos_answer(long n, long tn, Nanos t) {
    ChaosPlan plan = chaos_->answer();
    event(t, "chaos-answer %ld %ld %s %s", n, tn, plan.kind, plan.describe().c_str());
    answering_ = true;
    answer_sent_.clear();
    queue_plan(plan, t, false, "tx-burst " + std::to_string(n) + " " + std::to_string(tn) + " ");
    if (plan.end == ChaosPlan::End::Silence) {
        silent_ = true;
        event(t, "silent %ld", n);
    } else if (plan.end == ChaosPlan::End::Hangup) {
        queue_hangup(t + plan.hangup_ms * MS, "hangup " + std::to_string(n)).answer = true;
        silent_ = true;
    }
}

// The host has begun its next transmission, so it has read all it will of the previous answer:
// the rest is dropped, and the numbering follows what the host read.
void Target::chaos_next_transmission(Nanos t) {
    if (!answering_) return;
    answering_ = false;
    std::size_t dropped = 0;
    for (auto it = tx_.begin(); it != tx_.end();) {
        if (it->answer && it->sent == 0) {
            it = tx_.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    if (dropped > 0) event(t, "cut %ld %ld %zu", record_, transmission_, dropped);
    if (!host_reading(answer_sent_).resend) {
        ++record_;
        transmission_ = 0;
    }
}

void Target::answer(Nanos due, std::string bytes, std::string event_text) {
    TxItem item;
    item.bytes = std::move(bytes);
    item.due = due;
    item.event = std::move(event_text);
    queue(std::move(item));
}

// Sends whatever is due at t; returns when the next byte is due (NEVER: nothing queued).
Nanos Target::send_due(Nanos t) {
    while (!tx_.empty() && !master_closed_ && !host_closed_) {
        TxItem& item = tx_.front();
        if (item.relative) {
            item.due = (item.from_written ? last_item_written_ : last_item_end_) + item.delay;
            item.relative = false;
        }
        if (item.hangup) {
            if (item.due > t) return item.due;
            event(now(), "%s", item.event.c_str());
            close(master_);
            master_closed_ = true;
            tx_.pop_front();
            return NEVER;
        }
        Nanos leave = byte_time_ ? std::max(item.due, tx_free_) : item.due;
        if (leave > t) return leave;
        std::size_t left = item.bytes.size() - item.sent;
        std::size_t count = left;
        if (byte_time_) {
            // Late bytes go together; the others wait for their own time.
            Nanos due_now = (t - leave) / byte_time_ + 1;
            count = static_cast<std::size_t>(std::min(static_cast<Nanos>(left), due_now));
        }
        Nanos write_time = now();
        ssize_t written = write(master_, item.bytes.data() + item.sent, count);
        if (written < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                write_blocked_ = true;
                return NEVER;
            }
            if (errno == EINTR) continue;
            host_closed_ = true;  // EIO: the host has gone
            return NEVER;
        }
        if (item.sent == 0) {
            event(write_time, "%s", item.event.c_str());
            if (item.tag == TxItem::Tag::AnswerBurst) answer_sent_.push_back(item.bytes);
            if (item.tag == TxItem::Tag::SyncExtra)
                repeat_at_ = std::max(item.due, write_time) + 1000 * MS;
        }
        std::size_t done = static_cast<std::size_t>(written);
        Nanos last = byte_time_ ? leave + static_cast<Nanos>(done - 1) * byte_time_ : leave;
        tx_free_ = last + byte_time_;
        item.sent += done;
        if (item.sent == item.bytes.size()) {
            if (item.tag == TxItem::Tag::SplitTail) split_pending_ = false;
            last_item_end_ = last;
            last_item_written_ = write_time;
            tx_.pop_front();
        }
    }
    return NEVER;
}

void Target::finish_partial(Nanos t) {
    if (!buffer_.empty())
        event(t, "record-partial %ld %ld %zu %zu", record_, transmission_, buffer_.size(),
              need_ == 2 && buffer_.size() < 2 ? std::size_t{0} : need_);
}

int Target::run(const std::string& device, const sigset_t& wait_mask) {
    const Nanos start = now();
    const Nanos limit = opt_.time_limit == NEVER ? NEVER : start + opt_.time_limit;
    // Closer than this to a deadline, stop polling and wait on the clock alone.
    const Nanos near = 2 * MS;
    event(start, "device %s", device.c_str());
    if (chaos_)
        event(start, "chaos %llu %d %ld %ld", opt_.chaos_seed, opt_.chaos_rate, opt_.chaos_max_gap,
              opt_.chaos_burst_max);

    std::vector<unsigned char> chunk(65536);
    for (;;) {
        if (stop_signal) {
            event(now(), "signal %s", stop_signal == SIGINT ? "SIGINT" : "SIGTERM");
            break;
        }
        Nanos t = now();
        if (t >= limit) {
            event(t, "time-limit");
            break;
        }
        if (t >= repeat_at_ && phase_ == Phase::Sync) {
            TxItem reply;
            reply.sync = true;
            reply.due = repeat_at_;
            reply.bytes = SYNC_REPLY;
            reply.event = "tx-sync-reply";
            queue(reply);
            repeat_at_ += 1000 * MS;
        }
        Nanos next = write_blocked_ ? NEVER : send_due(t);
        if (master_closed_) break;
        if (host_closed_) {
            event(now(), "host-closed");
            break;
        }
        next = std::min({next, repeat_at_, limit});

        if (next != NEVER && next - t <= near) {
            wait_until(next, opt_.spin);
            // Stop signals are only taken inside ppoll; a long run of timed sends never gets
            // there, so look for one here.
            sigset_t pending;
            if (sigpending(&pending) == 0 &&
                (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1)) {
                bool interrupt = sigismember(&pending, SIGINT) == 1;
                event(now(), "signal %s", interrupt ? "SIGINT" : "SIGTERM");
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
        if (fd.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t got = read(master_, chunk.data(), chunk.size());
            Nanos arrived = now();
            if (got > 0) {
                if (!host_seen_) {
                    host_seen_ = true;
                    event(arrived, "host-seen");
                    // From now on the host's close is what hangs the master up.
                    if (slave_ >= 0) close(slave_);
                    slave_ = -1;
                }
                receive(chunk.data(), static_cast<std::size_t>(got), arrived);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) {
                event(arrived, "host-closed");
                if (!host_seen_) {
                    std::fputs("quorvane-sim: the pty hung up before the host was seen\n", stderr);
                    finish_partial(arrived);
                    return 1;
                }
                break;
            }
        }
    }
    finish_partial(now());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt = parse_options(argc, argv);

    // Stop signals stay blocked except inside ppoll, so one can never slip in between the
    // check of the flag and the wait.
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

#ifdef __linux__
    // The default 50 us timer slack would add straight to every timed answer.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif

    termios raw;
    std::memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    raw.c_cflag |= CREAD | CLOCAL;
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) system_error("openpty");
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) system_error("fcntl");
    // Raw on the master too, for systems where it has a mode of its own (on Linux this lands
    // on the slave, which openpty has already made raw).
    tcsetattr(master, TCSANOW, &raw);

    const char* name = ttyname(slave);
    if (!name) system_error("ttyname");
    std::string device = name;

    Target target(opt, master, slave);
    std::printf("device: %s\n", device.c_str());
    std::fflush(stdout);
    return target.run(device, wait_mask);
}
