#include "sim_target.h"

#include "hex_text.h"
#include "sim_chaos_items.h"
#include "sim_scripted_answer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

const char SYNC_REQUEST = 'x';
const char SYNC_REPLY[] = "dsc01";

TxItem sync_reply(Nanos due, std::string bytes, const char* event) {
    TxItem reply;
    reply.sync = true;
    reply.due = due;
    reply.bytes = std::move(bytes);
    reply.event = event;
    return reply;
}

}  // namespace

SimTarget::SimTarget(const SimOptions& opt, TargetLogs logs)
    : opt_(opt), logs_(std::move(logs)), byte_time_(opt.bitrate > 0 ? 10000000000LL / opt.bitrate : 0),
      queue_(byte_time_) {
    if (opt.chaos)
        chaos_.reset(new Chaos(opt.chaos_seed, opt.chaos_rate, opt.chaos_max_gap,
                               static_cast<std::size_t>(opt.chaos_burst_max)));
}

void SimTarget::event(Nanos t, const char* format, ...) {
    if (!logs_.event) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    logs_.event(t, text);
}

void SimTarget::start(Nanos t) {
    if (chaos_)
        event(t, "chaos %llu %d %ld %ld", opt_.chaos_seed, opt_.chaos_rate, opt_.chaos_max_gap,
              opt_.chaos_burst_max);
}

// When the last of count bytes, the first of which arrived at first, counts as arrived.
Nanos SimTarget::pace_bytes(Nanos first, std::size_t count) const {
    return first + static_cast<Nanos>(count - 1) * 10000000000LL / std::max(opt_.bitrate, 1L);
}

void SimTarget::receive(const unsigned char* data, std::size_t size, Nanos t) {
    std::size_t i = 0;
    while (i < size && phase_ == Phase::Sync) receive_sync_byte(data[i++], t);
    if (i < size) receive_record_bytes(data + i, size - i, t);
}

void SimTarget::receive_sync_byte(unsigned char byte, Nanos t) {
    if (byte_time_) {
        rx_paced_ = std::max(t, rx_paced_ + byte_time_);
        t = rx_paced_;
    }
    if (byte == '#' && at_seen_) return start_command(t);
    at_seen_ = byte == '@';
    if (byte == '@') return;
    if (byte != SYNC_REQUEST) return event(t, "rx-other %02X", byte);
    sync_request(t);
}

void SimTarget::start_command(Nanos t) {
    event(t, "rx-start");
    phase_ = Phase::Records;
    repeat_at_ = NEVER;
    // The host has its reply: whatever is left of the sync exchange would only confuse it.
    queue_.drop_unsent(&TxItem::sync);
    split_pending_ = false;
    if (opt_.no_ready) return event(t, "no-ready");
    TxItem ready;
    ready.bytes.assign(1, static_cast<char>(opt_.ready_byte));
    ready.due = t + opt_.ready_delay;
    char text[32];
    std::snprintf(text, sizeof text, "tx-ready %02X", opt_.ready_byte);
    ready.event = text;
    queue_.push(ready);
}

void SimTarget::sync_request(Nanos t) {
    event(t, "rx-sync");
    ++sync_requests_;
    const bool first = sync_requests_ == 1;
    const Nanos due = t + opt_.sync_delay;
    if (opt_.silent_sync) return;
    if (opt_.hangup_sync) {
        if (first) queue_hangup(due, "hangup-sync");
        return;
    }
    if (chaos_) return chaos_sync(t);
    if (opt_.split_sync && first) {
        queue_.push(sync_reply(due, "dsc", "tx-sync-reply-head"));
        TxItem tail = sync_reply(0, "01", "tx-sync-reply-tail");
        tail.relative = true;
        tail.delay = opt_.split;
        tail.tag = TxItem::Tag::SplitTail;
        queue_.push(tail);
        split_pending_ = true;
        return;
    }
    if (split_pending_) return;
    if (opt_.sync_extra) {
        if (!first) return;  // the spontaneous replies take over
        TxItem reply = sync_reply(due, std::string(SYNC_REPLY) + "?", "tx-sync-reply-extra");
        reply.tag = TxItem::Tag::SyncExtra;  // arms the spontaneous replies once it has left
        queue_.push(reply);
        return;
    }
    queue_.push(sync_reply(due, SYNC_REPLY, "tx-sync-reply"));
    if (opt_.sync_echo >= 0 && first) {
        TxItem echo = sync_reply(0, SYNC_REPLY, "tx-sync-echo");
        echo.relative = true;
        echo.delay = opt_.sync_echo;
        queue_.push(echo);
    }
}

void SimTarget::tick(Nanos t) {
    if (t < repeat_at_ || phase_ != Phase::Sync) return;
    queue_.push(sync_reply(repeat_at_, SYNC_REPLY, "tx-sync-reply"));
    repeat_at_ += 1000 * MS;
}

void SimTarget::receive_record_bytes(const unsigned char* data, std::size_t size, Nanos t) {
    while (size > 0) {
        if (framer_.empty()) begin_transmission(t);
        std::size_t cut = hangup_point();
        std::size_t most = cut > framer_.size() ? cut - framer_.size() : size;
        std::size_t taken = framer_.take(data, size, most);
        data += taken;
        size -= taken;
        if (framer_.complete()) {
            record_complete(t);
        } else if (cut != 0 && framer_.size() == cut) {
            // Whatever else the host sent is lost with the line.
            queue_hangup(t, "hangup " + std::to_string(record_));
            silent_ = true;
            return;
        }
    }
}

void SimTarget::begin_transmission(Nanos t) {
    if (chaos_) chaos_next_transmission(t);
    ++transmission_;
    first_paced_ = byte_time_ ? std::max(t, rx_paced_ + byte_time_) : t;
    event(t, "record-first-byte %ld %ld", record_, transmission_);
}

// How many bytes of the current transmission arrive before the line is cut; 0: all of them.
std::size_t SimTarget::hangup_point() const {
    if (transmission_ != 1 || silent_) return 0;
    auto found = opt_.scripts.find(record_);
    return found == opt_.scripts.end() ? 0 : found->second.hangup_within;
}

void SimTarget::record_complete(Nanos t) {
    std::size_t size = framer_.size();
    Nanos due = t;
    if (byte_time_) {
        due = std::max(t, pace_bytes(first_paced_, size));
        rx_paced_ = due;
    }
    if (logs_.record) logs_.record(hex(framer_.bytes().data(), size));
    event(t, "record-complete %ld %ld %zu %lld", record_, transmission_, size, due / 1000);
    framer_.start_next();
    if (silent_) return;
    if (chaos_) return chaos_answer(record_, transmission_, due);
    scripted(record_, transmission_, t, due);
}

void SimTarget::scripted(long n, long tn, Nanos t, Nanos due) {
    ScriptedAnswer answer = scripted_answer(opt_, n, tn, due);
    queue_all(std::move(answer.items));
    switch (answer.then) {
    case ScriptedAnswer::Then::NextRecord:
        ++record_;
        transmission_ = 0;
        break;
    case ScriptedAnswer::Then::SameRecord:
        break;
    case ScriptedAnswer::Then::Silent:
        silent_ = true;
        event(t, "silent %ld", n);
        break;
    case ScriptedAnswer::Then::HangUp:
        silent_ = true;
        break;
    }
}

TxItem& SimTarget::queue_hangup(Nanos due, const std::string& event_text) {
    TxItem hangup;
    hangup.hangup = true;
    hangup.due = due;
    hangup.event = event_text;
    queue_.push(std::move(hangup));
    return queue_.back();
}

void SimTarget::queue_all(std::vector<TxItem> items) {
    for (TxItem& item : items) queue_.push(std::move(item));
}

void SimTarget::chaos_sync(Nanos t) {
    ChaosPlan plan = chaos_->sync_reply();
    event(t, "chaos-sync %s %s", plan.kind, plan.describe().c_str());
    queue_all(chaos_items(plan, t, true, "tx-sync-burst "));
}

void SimTarget::chaos_answer(long n, long tn, Nanos t) {
    ChaosPlan plan = chaos_->answer();
    event(t, "chaos-answer %ld %ld %s %s", n, tn, plan.kind, plan.describe().c_str());
    answering_ = true;
    answer_sent_.clear();
    queue_all(chaos_items(plan, t, false, "tx-burst " + std::to_string(n) + " " + std::to_string(tn) + " "));
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
void SimTarget::chaos_next_transmission(Nanos t) {
    if (!answering_) return;
    answering_ = false;
    std::size_t dropped = queue_.drop_unsent(&TxItem::answer);
    if (dropped > 0) event(t, "cut %ld %ld %zu", record_, transmission_, dropped);
    if (!host_reading(answer_sent_).resend) {
        ++record_;
        transmission_ = 0;
    }
}

void SimTarget::sent(const SendStep& step, std::size_t count, Nanos write_time) {
    TxItem& item = queue_.front();
    if (item.sent == 0) {
        event(write_time, "%s", item.event.c_str());
        if (item.tag == TxItem::Tag::AnswerBurst) answer_sent_.push_back(item.bytes);
        if (item.tag == TxItem::Tag::SyncExtra) repeat_at_ = std::max(item.due, write_time) + 1000 * MS;
    }
    TxItem::Tag tag = item.tag;
    if (queue_.wrote(step, count, write_time) && tag == TxItem::Tag::SplitTail) split_pending_ = false;
}

void SimTarget::hanging_up(Nanos t) {
    event(t, "%s", queue_.front().event.c_str());
    queue_.pop_hangup();
}

void SimTarget::finish(Nanos t) {
    if (!framer_.empty())
        event(t, "record-partial %ld %ld %zu %zu", record_, transmission_, framer_.size(), framer_.expected());
}
