// The simulated target's state machine, on simulated time: what it answers, when, and how it
// numbers what the host sends.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "target_driver.h"

namespace {

const std::string ACK = "\x06";
const std::string PAUSE = "\x13";
const std::string REJECT = "\x15";

template <class Case>
std::string case_name(const testing::TestParamInfo<Case>& tested) {
    return tested.param.name;
}

// The host's bytes at ms after T0.
using HostBytes = std::vector<std::pair<long, std::string>>;

struct ExchangeCase {
    const char* name;
    std::vector<std::string> options;
    HostBytes host;
    long run_ms;
    std::vector<Sent> expected;
};

std::ostream& operator<<(std::ostream& out, const ExchangeCase& c) { return out << c.name; }

std::vector<Sent> exchange(const ExchangeCase& c) {
    TargetDriver target(c.options);
    for (const auto& bytes : c.host) target.host(at_ms(bytes.first), bytes.second);
    target.run_until(at_ms(c.run_ms));
    return target.sent;
}

class SyncAndStart : public testing::TestWithParam<ExchangeCase> {};

TEST_P(SyncAndStart, AnswersWithTheseBytesAtTheseTimes) {
    EXPECT_EQ(exchange(GetParam()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Target, SyncAndStart,
    testing::Values(
        ExchangeCase{"EveryRequest", {}, {{0, "x"}, {2000, "x"}}, 5000, {{0, "dsc01"}, {2000, "dsc01"}}},
        ExchangeCase{"OtherBytesAreNoRequest", {}, {{0, "q?dsc01\xff"}}, 5000, {}},
        ExchangeCase{"Delayed", {"--sync-delay", "13000"}, {{0, "x"}}, 20000, {{13000, "dsc01"}}},
        ExchangeCase{"Silent", {"--silent-sync"}, {{0, "x"}, {2000, "x"}}, 5000, {}},
        // A request in between gets nothing; one after the tail gets the whole reply.
        ExchangeCase{"Split", {"--split-sync"}, {{0, "x"}, {1000, "x"}, {3000, "x"}}, 5000,
                     {{0, "dsc"}, {2500, "01"}, {3000, "dsc01"}}},
        ExchangeCase{"SplitGap", {"--split-sync", "--split-ms", "700"}, {{0, "x"}}, 5000, {{0, "dsc"}, {700, "01"}}},
        // The spontaneous replies count from when the extra one left, and take over from requests.
        ExchangeCase{"Extra", {"--sync-extra", "--sync-delay", "300"}, {{0, "x"}, {500, "x"}}, 3500,
                     {{300, "dsc01?"}, {1300, "dsc01"}, {2300, "dsc01"}, {3300, "dsc01"}}},
        ExchangeCase{"EchoOnceAfterTheFirstReplyLeft", {"--sync-echo", "200", "--sync-delay", "100"},
                     {{0, "x"}, {1000, "x"}}, 3000, {{100, "dsc01"}, {300, "dsc01"}, {1100, "dsc01"}}},
        ExchangeCase{"HangupInsteadOfReply", {"--hangup-sync", "--sync-delay", "50"}, {{0, "x"}}, 1000,
                     {{50, HANGUP}}},
        ExchangeCase{"Ready", {}, {{0, "x"}, {600, "@#"}}, 2000, {{0, "dsc01"}, {620, "F"}}},
        ExchangeCase{"ReadyDelay", {"--ready-delay", "400"}, {{0, "x"}, {600, "@#"}}, 2000,
                     {{0, "dsc01"}, {1000, "F"}}},
        ExchangeCase{"StartInTwoReads", {}, {{0, "x"}, {600, "@"}, {601, "#"}}, 2000, {{0, "dsc01"}, {621, "F"}}},
        ExchangeCase{"StartNeedsAtThenHash", {}, {{0, "@x#"}, {600, "#@"}}, 2000, {{0, "dsc01"}}},
        ExchangeCase{"WrongReady", {"--wrong-ready"}, {{600, "@#"}}, 2000, {{620, "E"}}},
        ExchangeCase{"ReadyByteInHex", {"--ready-byte", "0x13"}, {{600, "@#"}}, 2000, {{620, "\x13"}}},
        ExchangeCase{"NoReady", {"--no-ready"}, {{0, "x"}, {600, "@#"}}, 2000, {{0, "dsc01"}}},
        // The start command drops what is left of the sync exchange.
        ExchangeCase{"StartDropsTheEcho", {"--sync-echo", "1000"}, {{0, "x"}, {600, "@#"}}, 2000,
                     {{0, "dsc01"}, {620, "F"}}},
        ExchangeCase{"StartDropsTheTail", {"--split-sync"}, {{0, "x"}, {600, "@#"}}, 4000, {{0, "dsc"}, {620, "F"}}},
        ExchangeCase{"StartEndsTheSpontaneousReplies", {"--sync-extra"}, {{0, "x"}, {1500, "@#"}}, 4000,
                     {{0, "dsc01?"}, {1000, "dsc01"}, {1520, "F"}}},
        // 10 bits a byte at 10000 bit/s: a millisecond a byte, the record whole 9 bytes after
        // its first one came, its answer then.
        ExchangeCase{"PacedAtTheBitrate", {"--bitrate", "10000", "--double-ack", "1"},
                     {{0, "x"}, {600, "@#"}, {1200, record("12345678")}}, 2000,
                     {{0, "d"}, {1, "s"}, {2, "c"}, {3, "0"}, {4, "1"}, {621, "F"}, {1209, ACK}, {1210, ACK}}}),
    case_name<ExchangeCase>);

// The start command, then records of all sizes: no payload, one byte, a length above 255.
std::string start_and_records() {
    return "@#" + record("") + record("A") + record("12345") + record(std::string(300, '\x5a')) + record("Z");
}

std::vector<std::string> pieces(const std::string& bytes, std::size_t size) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < bytes.size(); at += size) out.push_back(bytes.substr(at, size));
    return out;
}

std::vector<std::string> random_pieces(const std::string& bytes, unsigned seed) {
    std::mt19937 draw(seed);
    std::vector<std::string> out;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t size = 1 + draw() % 9;
        out.push_back(bytes.substr(at, size));
        at += size;
    }
    return out;
}

TEST(RecordFraming, TheSameWhateverPiecesTheBytesComeIn) {
    const std::string stream = start_and_records();
    TargetDriver whole({});
    whole.host(T0, stream);
    whole.run_until(at_ms(100));
    ASSERT_EQ(whole.records.size(), 5u);
    EXPECT_EQ(whole.records[0], "0000");
    EXPECT_EQ(whole.records[1], "000141");
    EXPECT_EQ(whole.records[3].substr(0, 6), "012C5A");
    EXPECT_EQ(whole.records[3].size(), 2 * 302u);
    EXPECT_EQ(whole.bytes_sent(), "F" + std::string(5, '\x06'));

    std::vector<std::vector<std::string>> splits = {pieces(stream, 1), pieces(stream, 2), pieces(stream, 3),
                                                    random_pieces(stream, 1), random_pieces(stream, 2)};
    for (std::size_t i = 0; i < splits.size(); ++i) {
        SCOPED_TRACE("split " + std::to_string(i));
        TargetDriver split({});
        for (const std::string& piece : splits[i]) split.host(T0, piece);
        split.run_until(at_ms(100));
        EXPECT_EQ(split.records, whole.records);
        EXPECT_EQ(split.events, whole.events);
        EXPECT_EQ(split.sent, whole.sent);
    }
}

TEST(RecordFraming, UnfinishedRecordIsLoggedWithWhatIsKnownOfIt) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string(1, '\0'), "record-partial 1 1 1 0"},  // the length not yet known
        {record("123").substr(0, 4), "record-partial 1 1 4 5"},
    };
    for (const auto& c : cases) {
        TargetDriver target({});
        target.host(T0, "@#" + c.first);
        target.finish();
        EXPECT_EQ(target.events_named("record-partial"), std::vector<std::string>{c.second});
    }
}

// One transmission of record `record`, then what it was answered with.
struct Answered {
    int record;
    std::string answer;
};

struct AnswerCase {
    const char* name;
    std::vector<std::string> options;
    std::vector<Answered> exchange;
};

std::ostream& operator<<(std::ostream& out, const AnswerCase& c) { return out << c.name; }

class Answers : public testing::TestWithParam<AnswerCase> {};

// The host sends each record as the case says, each after the answer to the one before; the
// target's numbering (record, transmission) must follow: a rejection keeps the number, an
// acceptance or ignored bytes move it on.
TEST_P(Answers, FollowTheScriptAndNumberTheResends) {
    const std::vector<std::string> image = {record("one"), record("two"), record("three")};
    TargetDriver target(GetParam().options);
    target.host(T0, "@#");
    target.run_until(at_ms(1000));
    std::map<int, int> transmissions;
    long ms = 1000;
    for (const Answered& step : GetParam().exchange) {
        SCOPED_TRACE("record " + std::to_string(step.record) + " at " + std::to_string(ms) + " ms");
        std::size_t before = target.sent.size();
        target.host(at_ms(ms), image[static_cast<std::size_t>(step.record - 1)]);
        target.run_until(at_ms(ms += 1000));
        EXPECT_EQ(target.bytes_sent(before), step.answer);
        std::string complete = target.events_named("record-complete").back();
        EXPECT_EQ(complete.substr(0, complete.rfind(' ', complete.rfind(' ') - 1)),  // less SIZE and DUE
                  "record-complete " + std::to_string(step.record) + " " +
                      std::to_string(++transmissions[step.record]));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Target, Answers,
    testing::Values(
        AnswerCase{"Acks", {}, {{1, ACK}, {2, ACK}, {3, ACK}}},
        AnswerCase{"Rejections", {"--reject", "2:2"}, {{1, ACK}, {2, REJECT}, {2, REJECT}, {2, ACK}, {3, ACK}}},
        AnswerCase{"RejectionBurst", {"--reject-burst", "1:4"}, {{1, REJECT + REJECT + REJECT + REJECT}, {1, ACK}, {2, ACK}}},
        AnswerCase{"BurstThenSingle", {"--reject-burst", "1:3", "--reject", "1:1"},
                   {{1, REJECT + REJECT + REJECT}, {1, REJECT}, {1, ACK}}},
        AnswerCase{"IgnoredMovesOn", {"--ignored", "1:AK"}, {{1, "AK"}, {2, ACK}}},
        AnswerCase{"RejectionsThenIgnored", {"--reject", "1:1", "--ignored", "1:C"}, {{1, REJECT}, {1, "C"}, {2, ACK}}},
        AnswerCase{"IgnoredThenAck", {"--ignored-then-ack", "2:BX"}, {{1, ACK}, {2, "BX" + ACK}, {3, ACK}}},
        AnswerCase{"DoubleAck", {"--double-ack", "1"}, {{1, ACK + ACK}, {2, ACK}}},
        AnswerCase{"PauseAck", {"--pause-ack", "2"}, {{1, ACK}, {2, PAUSE + ACK}, {3, ACK}}},
        AnswerCase{"PauseSilent", {"--pause-silent", "1"}, {{1, PAUSE}, {1, ""}, {1, ""}}},
        AnswerCase{"SilentAt", {"--silent-at", "2"}, {{1, ACK}, {2, ""}, {2, ""}}},
        AnswerCase{"RejectedThenSilent", {"--reject", "2:1", "--silent-at", "2"}, {{1, ACK}, {2, REJECT}, {2, ""}}}),
    case_name<AnswerCase>);

class AnswerTimes : public testing::TestWithParam<ExchangeCase> {};

// The start command, then record 1 at 1000 ms.
TEST_P(AnswerTimes, LeaveWhenDue) {
    ExchangeCase c = GetParam();
    c.host = {{0, "@#"}, {1000, record("one")}};
    c.expected.insert(c.expected.begin(), Sent{20, "F"});
    EXPECT_EQ(exchange(c), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Target, AnswerTimes,
    testing::Values(
        ExchangeCase{"Ack", {}, {}, 5000, {{1000, ACK}}},
        ExchangeCase{"PauseThenAck", {"--pause-ack", "1"}, {}, 5000, {{1000, PAUSE}, {1300, ACK}}},
        ExchangeCase{"PauseMs", {"--pause-ack", "1", "--pause-ms", "50"}, {}, 5000, {{1000, PAUSE}, {1050, ACK}}},
        ExchangeCase{"AnswerDelay", {"--answer-delay", "1:700"}, {}, 5000, {{1700, ACK}}},
        ExchangeCase{"DelayedPause", {"--answer-delay", "1:700", "--pause-ack", "1"}, {}, 5000,
                     {{1700, PAUSE}, {2000, ACK}}},
        ExchangeCase{"DelayedRejection", {"--answer-delay", "1:250", "--reject", "1:1"}, {}, 5000, {{1250, REJECT}}},
        ExchangeCase{"HangupAt", {"--hangup-at", "1"}, {}, 5000, {{1000, HANGUP}}},
        ExchangeCase{"DelayedHangup", {"--hangup-at", "1", "--answer-delay", "1:200"}, {}, 5000, {{1200, HANGUP}}},
        ExchangeCase{"PauseThenHangup", {"--pause-hangup", "1", "--pause-ms", "80"}, {}, 5000,
                     {{1000, PAUSE}, {1080, HANGUP}}},
        // Three bytes in, the line goes: the rest of the record never arrives.
        ExchangeCase{"HangupWithin", {"--hangup-within", "1:3"}, {}, 5000, {{1000, HANGUP}}}),
    case_name<ExchangeCase>);

TEST(Hangups, WithinARecordCutsItThereAndTheRestIsLost) {
    TargetDriver target({"--hangup-within", "2:3"});
    target.host(at_ms(100), "@#");
    target.host(at_ms(1000), record("one") + record("two") + record("three"));
    target.run_until(at_ms(2000));
    target.finish();
    EXPECT_EQ(target.sent, (std::vector<Sent>{{120, "F"}, {1000, ACK}, {1000, HANGUP}}));
    EXPECT_EQ(target.records.size(), 1u);
    EXPECT_EQ(target.events_named("record-partial"), std::vector<std::string>{"record-partial 2 1 3 5"});
    EXPECT_EQ(target.events_named("hangup"), std::vector<std::string>{"hangup 2"});
}

// The host's side of a chaos run, fixed whatever the answers: a sync request, the start
// command, then a record every 4.5 s, past the longest answer.
TargetDriver chaos_run(const std::string& seed) {
    TargetDriver target({"--chaos", seed, "--chaos-rate", "100"});
    target.host(T0, "x");
    target.host(at_ms(3000), "@#");
    for (int i = 0; i < 12; ++i) target.host(at_ms(4000 + 4500 * i), record(std::string(1 + i % 5, 'r')));
    target.run_until(at_ms(60000));
    return target;
}

TEST(Chaos, SameSeedSameAnswersAnotherSeedOthers) {
    TargetDriver first = chaos_run("7");
    TargetDriver again = chaos_run("7");
    EXPECT_EQ(again.sent, first.sent);
    EXPECT_EQ(again.events, first.events);
    EXPECT_EQ(first.events_named("chaos-sync").size(), 1u);
    EXPECT_FALSE(first.events_named("chaos-answer").empty());
    EXPECT_NE(chaos_run("8").events_named("chaos-answer"), first.events_named("chaos-answer"));
}

}  // namespace
