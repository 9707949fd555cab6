// quorvane-sim's options, one row each: how the option reads its value, what it sets, and
// whether it scripts what --chaos would draw.
#pragma once

#include "sim_options.h"

#include <string>
#include <vector>

enum class OptionKind {
    Flag,         // --name
    Value,        // --name VALUE
    Record,       // --name N (a record number)
    RecordValue,  // --name N:VALUE
};

// An option as read from the command line.
struct OptionValue {
    std::string name;
    long record = 0;   // Record and RecordValue
    std::string text;  // Value: the value; RecordValue: what follows the colon
};

struct OptionRow {
    const char* name;
    OptionKind kind;
    void (*apply)(SimOptions&, const OptionValue&);
    bool scripts;  // scripts an answer, the sync reply or the line's pace: --chaos excludes it
};

extern const std::vector<OptionRow> OPTION_TABLE;
