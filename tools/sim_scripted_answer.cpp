#include "sim_scripted_answer.h"

#include "hex_text.h"

namespace {

const char ACK = 0x06;
const char PAUSE = 0x13;
const char REJECT = 0x15;

TxItem item(Nanos due, std::string bytes, std::string event) {
    TxItem sent;
    sent.bytes = std::move(bytes);
    sent.due = due;
    sent.event = std::move(event);
    return sent;
}

// delay after the previous item's last byte left.
TxItem after_previous(Nanos delay, std::string bytes, std::string event) {
    TxItem sent = item(0, std::move(bytes), std::move(event));
    sent.relative = true;
    sent.delay = delay;
    return sent;
}

TxItem hangup(TxItem at, long record) {
    at.hangup = true;
    at.event = "hangup " + std::to_string(record);
    return at;
}

std::string numbered(const char* event, long record) { return std::string(event) + " " + std::to_string(record); }

}  // namespace

ScriptedAnswer scripted_answer(const SimOptions& opt, long record, long transmission, Nanos due) {
    RecordScript script;
    auto found = opt.scripts.find(record);
    if (found != opt.scripts.end()) script = found->second;
    due += script.delay;
    ScriptedAnswer answer;
    std::vector<TxItem>& items = answer.items;

    long rejections = (script.burst > 0 ? 1 : 0) + script.rejects;
    if (transmission <= rejections) {
        long count = script.burst > 0 && transmission == 1 ? script.burst : 1;
        items.push_back(item(due, std::string(static_cast<std::size_t>(count), REJECT),
                             numbered("tx-reject", record) + " " + std::to_string(count)));
        answer.then = ScriptedAnswer::Then::SameRecord;
        return answer;
    }

    const std::string pause_event = numbered("tx-pause", record);
    switch (script.final) {
    case FinalAnswer::Ack:
        items.push_back(item(due, std::string(1, ACK), numbered("tx-ack", record)));
        break;
    case FinalAnswer::DoubleAck:
        items.push_back(item(due, std::string(2, ACK), numbered("tx-double-ack", record)));
        break;
    case FinalAnswer::Ignored:
        items.push_back(item(due, script.ignored, numbered("tx-ignored", record) + " " + hex(script.ignored)));
        break;
    case FinalAnswer::IgnoredThenAck:
        items.push_back(item(due, script.ignored + ACK,
                             numbered("tx-ignored-then-ack", record) + " " + hex(script.ignored)));
        break;
    case FinalAnswer::PauseAck:
        items.push_back(item(due, std::string(1, PAUSE), pause_event));
        items.push_back(after_previous(opt.pause, std::string(1, ACK), numbered("tx-ack", record)));
        break;
    case FinalAnswer::PauseSilent:
        items.push_back(item(due, std::string(1, PAUSE), pause_event));
        answer.then = ScriptedAnswer::Then::Silent;
        break;
    case FinalAnswer::PauseHangup:
        items.push_back(item(due, std::string(1, PAUSE), pause_event));
        items.push_back(hangup(after_previous(opt.pause, "", ""), record));  // --pause-ms after the pause left
        answer.then = ScriptedAnswer::Then::HangUp;
        break;
    case FinalAnswer::Silent:
        answer.then = ScriptedAnswer::Then::Silent;
        break;
    case FinalAnswer::Hangup:
        items.push_back(hangup(item(due, "", ""), record));
        answer.then = ScriptedAnswer::Then::HangUp;
        break;
    }
    return answer;
}
