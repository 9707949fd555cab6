// What the target has decided to send, in order, and when each byte may leave.
//
// Items leave one after the other. With a byte time (--bitrate) bytes leave one at a time at
// least a byte time apart, also within an item; without one an item leaves whole when due.
#pragma once

#include "sim_clock.h"

#include <cstddef>
#include <deque>
#include <string>

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

// What the front of the queue asks for at a given time.
struct SendStep {
    enum class What { Idle, Wait, Write, Hangup } what = What::Idle;
    Nanos at = NEVER;  // Wait: when to look again; Write: when its first byte leaves at the pace
    const char* data = nullptr;  // Write: the bytes due now
    std::size_t count = 0;
};

class SendQueue {
public:
    explicit SendQueue(Nanos byte_time) : byte_time_(byte_time) {}

    void push(TxItem item) { items_.push_back(std::move(item)); }
    TxItem& back() { return items_.back(); }
    TxItem& front() { return items_.front(); }
    bool empty() const { return items_.empty(); }
    // Drops the items marked `kind` (&TxItem::sync, &TxItem::answer) that have not begun to
    // leave; returns how many.
    std::size_t drop_unsent(bool TxItem::*kind);

    SendStep next(Nanos t);
    // count bytes of the step's item were written at write_time; true when that finished it.
    bool wrote(const SendStep& step, std::size_t count, Nanos write_time);
    void pop_hangup() { items_.pop_front(); }

private:
    std::deque<TxItem> items_;
    Nanos byte_time_;  // 0: no pacing
    Nanos free_ = -NEVER;       // earliest time the next byte may leave
    Nanos last_end_ = 0;        // when the previous item's last byte left (ideal time)
    Nanos last_written_ = 0;    // when it was actually written
};
