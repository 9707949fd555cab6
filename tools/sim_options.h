// What quorvane-sim's command line asks of the target.
#pragma once

#include "sim_clock.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// How a record is answered once its rejections are used up.
enum class FinalAnswer {
    Ack, DoubleAck, Ignored, IgnoredThenAck, PauseAck, PauseSilent, PauseHangup, Silent, Hangup
};

// What the options say about one record.
struct RecordScript {
    long burst = 0;    // rejection bytes answering the first transmission
    long rejects = 0;  // single rejections for the transmissions after that
    FinalAnswer final = FinalAnswer::Ack;
    std::string final_option;  // which option chose final, for conflict messages
    std::string ignored;
    Nanos delay = 0;
    std::size_t hangup_within = 0;  // hang up once this many bytes of it have arrived (0: never)
};

struct SimOptions {
    std::string record_log;
    std::string event_log;
    Nanos time_limit = 120000 * MS;
    std::map<long, RecordScript> scripts;  // by record number
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

// Reads the options (the command line without the program's name). A bad command line ends
// the program with status 2 and a message on standard error; --help prints the usage text and
// ends it with status 0.
SimOptions parse_options(const std::vector<std::string>& args);
