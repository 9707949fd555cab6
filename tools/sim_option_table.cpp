// The option table and the reading of the command line through it.
#include "sim_option_table.h"

#include "sim_chaos.h"
#include "sim_usage.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "quorvane-sim: %s\nTry 'quorvane-sim --help'.\n", message.c_str());
    std::exit(2);
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

Nanos parse_ms(const std::string& option, const std::string& text) {
    return parse_number(option, text, 0, 3600000L) * MS;
}

// --- what the rows do ---

void show_help(SimOptions&, const OptionValue&) {
    std::fputs(SIM_USAGE, stdout);
    std::exit(0);
}

template <bool SimOptions::*field>
void set_flag(SimOptions& opt, const OptionValue&) { opt.*field = true; }

template <std::string SimOptions::*field>
void set_text(SimOptions& opt, const OptionValue& v) { opt.*field = v.text; }

template <Nanos SimOptions::*field>
void set_ms(SimOptions& opt, const OptionValue& v) { opt.*field = parse_ms(v.name, v.text); }

template <FinalAnswer final>
void set_final(SimOptions& opt, const OptionValue& v) {
    RecordScript& script = opt.scripts[v.record];
    if (!script.final_option.empty())
        usage_error(v.name + " and " + script.final_option + " both name record " +
                    std::to_string(v.record));
    script.final = final;
    script.final_option = v.name;
}

template <FinalAnswer final>
void set_final_with_bytes(SimOptions& opt, const OptionValue& v) {
    if (v.text.empty() || v.text.size() > 64) usage_error(v.name + ": give 1 to 64 bytes after the colon");
    set_final<final>(opt, v);
    opt.scripts[v.record].ignored = v.text;
}

template <long RecordScript::*field>
void set_rejections(SimOptions& opt, const OptionValue& v) {
    long count = parse_number(v.name, v.text, 1, 1000000);
    long& rejections = opt.scripts[v.record].*field;
    if (rejections != 0) usage_error(v.name + " names record " + std::to_string(v.record) + " twice");
    rejections = count;
}

void set_hangup_within(SimOptions& opt, const OptionValue& v) {
    opt.scripts[v.record].hangup_within = static_cast<std::size_t>(parse_number(v.name, v.text, 1, 65537));
}

void set_answer_delay(SimOptions& opt, const OptionValue& v) {
    opt.scripts[v.record].delay = parse_ms(v.name, v.text);
}

void set_time_limit(SimOptions& opt, const OptionValue& v) {
    char* end = nullptr;
    double seconds = std::strtod(v.text.c_str(), &end);
    if (v.text.empty() || *end != '\0' || !(seconds >= 0) || seconds > 1e6)
        usage_error("--time-limit: '" + v.text + "' is not a number of seconds");
    opt.time_limit = seconds == 0 ? NEVER : static_cast<Nanos>(seconds * 1e9);
}

void set_wrong_ready(SimOptions& opt, const OptionValue&) { opt.ready_byte = 'E'; }

void set_ready_byte(SimOptions& opt, const OptionValue& v) {
    const std::string& text = v.text;
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
}

void set_bitrate(SimOptions& opt, const OptionValue& v) { opt.bitrate = parse_number(v.name, v.text, 1, 100000000L); }

void set_spin(SimOptions& opt, const OptionValue& v) { opt.spin = parse_number(v.name, v.text, 0, 100000) * 1000; }

void set_chaos(SimOptions& opt, const OptionValue& v) {
    char* end = nullptr;
    errno = 0;
    opt.chaos_seed = std::strtoull(v.text.c_str(), &end, 10);
    if (v.text.empty() || v.text[0] == '-' || *end != '\0' || errno != 0)
        usage_error("--chaos: '" + v.text + "' is not a seed from 0 to 2^64-1");
    opt.chaos = true;
}

void set_chaos_rate(SimOptions& opt, const OptionValue& v) {
    opt.chaos_rate = static_cast<int>(parse_number(v.name, v.text, 0, 100));
}

void set_chaos_max_gap(SimOptions& opt, const OptionValue& v) {
    opt.chaos_max_gap = parse_number(v.name, v.text, CHAOS_HOST_MOVES_ON_MS, CHAOS_MAX_GAP_LIMIT);
}

void set_chaos_burst_max(SimOptions& opt, const OptionValue& v) {
    opt.chaos_burst_max = parse_number(v.name, v.text, 1, 64);
}

// --- reading the command line ---

const OptionRow* find_row(const std::string& name) {
    for (const OptionRow& row : OPTION_TABLE)
        if (name == row.name) return &row;
    return nullptr;
}

// "N:REST" -> N, REST
void split_record_value(OptionValue& v) {
    std::string::size_type colon = v.text.find(':');
    if (colon == std::string::npos) usage_error(v.name + ": expected N:VALUE, got '" + v.text + "'");
    v.record = parse_record(v.name, v.text.substr(0, colon));
    v.text = v.text.substr(colon + 1);
}

void check_sync_modes(const SimOptions& opt) {
    int sync_modes = opt.silent_sync + opt.split_sync + opt.sync_extra + opt.hangup_sync + (opt.sync_echo >= 0);
    if (sync_modes > 1)
        usage_error("--silent-sync, --split-sync, --sync-extra, --hangup-sync and --sync-echo "
                    "exclude each other");
}

}  // namespace

const std::vector<OptionRow> OPTION_TABLE = {
    {"--help", OptionKind::Flag, show_help, false},
    {"-h", OptionKind::Flag, show_help, false},
    {"--record-log", OptionKind::Value, set_text<&SimOptions::record_log>, false},
    {"--event-log", OptionKind::Value, set_text<&SimOptions::event_log>, false},
    // Sync and start.
    {"--silent-sync", OptionKind::Flag, set_flag<&SimOptions::silent_sync>, true},
    {"--split-sync", OptionKind::Flag, set_flag<&SimOptions::split_sync>, true},
    {"--split-ms", OptionKind::Value, set_ms<&SimOptions::split>, false},
    {"--sync-extra", OptionKind::Flag, set_flag<&SimOptions::sync_extra>, true},
    {"--sync-delay", OptionKind::Value, set_ms<&SimOptions::sync_delay>, true},
    {"--sync-echo", OptionKind::Value, set_ms<&SimOptions::sync_echo>, true},
    {"--hangup-sync", OptionKind::Flag, set_flag<&SimOptions::hangup_sync>, true},
    {"--ready-delay", OptionKind::Value, set_ms<&SimOptions::ready_delay>, false},
    {"--no-ready", OptionKind::Flag, set_flag<&SimOptions::no_ready>, false},
    {"--wrong-ready", OptionKind::Flag, set_wrong_ready, false},
    {"--ready-byte", OptionKind::Value, set_ready_byte, false},
    // Answers to records.
    {"--reject", OptionKind::RecordValue, set_rejections<&RecordScript::rejects>, true},
    {"--reject-burst", OptionKind::RecordValue, set_rejections<&RecordScript::burst>, true},
    {"--pause-ack", OptionKind::Record, set_final<FinalAnswer::PauseAck>, true},
    {"--pause-ms", OptionKind::Value, set_ms<&SimOptions::pause>, false},
    {"--pause-silent", OptionKind::Record, set_final<FinalAnswer::PauseSilent>, true},
    {"--silent-at", OptionKind::Record, set_final<FinalAnswer::Silent>, true},
    {"--ignored", OptionKind::RecordValue, set_final_with_bytes<FinalAnswer::Ignored>, true},
    {"--ignored-then-ack", OptionKind::RecordValue, set_final_with_bytes<FinalAnswer::IgnoredThenAck>, true},
    {"--double-ack", OptionKind::Record, set_final<FinalAnswer::DoubleAck>, true},
    {"--hangup-at", OptionKind::Record, set_final<FinalAnswer::Hangup>, true},
    {"--hangup-within", OptionKind::RecordValue, set_hangup_within, true},
    {"--pause-hangup", OptionKind::Record, set_final<FinalAnswer::PauseHangup>, true},
    {"--answer-delay", OptionKind::RecordValue, set_answer_delay, true},
    // Timing.
    {"--bitrate", OptionKind::Value, set_bitrate, true},
    {"--spin-us", OptionKind::Value, set_spin, false},
    {"--time-limit", OptionKind::Value, set_time_limit, false},
    // Chaos.
    {"--chaos", OptionKind::Value, set_chaos, false},
    {"--chaos-rate", OptionKind::Value, set_chaos_rate, false},
    {"--chaos-max-gap", OptionKind::Value, set_chaos_max_gap, false},
    {"--chaos-burst-max", OptionKind::Value, set_chaos_burst_max, false},
};

SimOptions parse_options(const std::vector<std::string>& args) {
    SimOptions opt;
    for (std::size_t i = 0; i < args.size(); ++i) {
        OptionValue v;
        v.name = args[i];
        bool has_value = false;
        std::string::size_type eq = v.name.find('=');
        if (v.name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            v.text = v.name.substr(eq + 1);
            v.name = v.name.substr(0, eq);
            has_value = true;
        }
        const OptionRow* row = find_row(v.name);
        if (!row) usage_error("unknown option '" + args[i] + "'");
        if (row->scripts && opt.scripted.empty()) opt.scripted = v.name;
        if (row->kind == OptionKind::Flag) {
            if (has_value) usage_error(v.name + " takes no value");
        } else if (!has_value) {
            if (i + 1 >= args.size()) usage_error(v.name + " needs a value");
            v.text = args[++i];
        }
        if (row->kind == OptionKind::Record) v.record = parse_record(v.name, v.text);
        if (row->kind == OptionKind::RecordValue) split_record_value(v);
        row->apply(opt, v);
    }
    check_sync_modes(opt);
    if (opt.chaos && !opt.scripted.empty()) usage_error("--chaos excludes " + opt.scripted);
    return opt;
}
