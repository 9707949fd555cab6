// quorvane-sim's option table: every option has its help, and --chaos refuses every option
// that scripts what it would draw.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim_option_table.h"
#include "sim_usage.h"

namespace {

TEST(OptionTable, EveryOptionIsDescribedInTheHelp) {
    const std::string usage = SIM_USAGE;
    for (const OptionRow& row : OPTION_TABLE) {
        std::string name = row.name;
        if (name == "-h") continue;  // the short form of --help
        EXPECT_NE(usage.find("\n  " + name + " "), std::string::npos) << name;
    }
}

// A value each kind of option takes.
std::vector<std::string> with_value(const OptionRow& row) {
    switch (row.kind) {
    case OptionKind::Flag: return {row.name};
    case OptionKind::Value: return {row.name, "1"};
    case OptionKind::Record: return {row.name, "1"};
    case OptionKind::RecordValue: return {row.name, "1:1"};
    }
    return {};
}

TEST(OptionTable, ChaosExcludesWhatScriptsAnswersTheSyncOrThePace) {
    std::vector<std::string> scripting;
    for (const OptionRow& row : OPTION_TABLE) {
        if (!row.scripts) continue;
        scripting.push_back(row.name);
        std::vector<std::string> args = with_value(row);
        args.insert(args.end(), {"--chaos", "5"});
        EXPECT_EXIT(parse_options(args), testing::ExitedWithCode(2),
                    "quorvane-sim: --chaos excludes " + std::string(row.name) + "\n")
            << row.name;
    }
    for (const char* name : {"--reject", "--answer-delay", "--silent-sync", "--sync-delay", "--hangup-sync", "--bitrate"})
        EXPECT_NE(std::find(scripting.begin(), scripting.end(), name), scripting.end()) << name;
    SimOptions chaos = parse_options({"--chaos", "5", "--chaos-rate", "30", "--pause-ms", "5", "--ready-delay", "5"});
    EXPECT_TRUE(chaos.chaos);
    EXPECT_EQ(chaos.chaos_seed, 5u);
}

}  // namespace
