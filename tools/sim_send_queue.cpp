#include "sim_send_queue.h"

#include <algorithm>

std::size_t SendQueue::drop_unsent(bool TxItem::*kind) {
    std::size_t dropped = 0;
    for (auto it = items_.begin(); it != items_.end();) {
        if ((*it).*kind && it->sent == 0) {
            it = items_.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

SendStep SendQueue::next(Nanos t) {
    SendStep step;
    if (items_.empty()) return step;
    TxItem& item = items_.front();
    if (item.relative) {
        item.due = (item.from_written ? last_written_ : last_end_) + item.delay;
        item.relative = false;
    }
    step.what = SendStep::What::Wait;
    if (item.hangup) {
        step.at = item.due;
        if (item.due <= t) step.what = SendStep::What::Hangup;
        return step;
    }
    step.at = byte_time_ ? std::max(item.due, free_) : item.due;
    if (step.at > t) return step;
    std::size_t left = item.bytes.size() - item.sent;
    step.what = SendStep::What::Write;
    step.data = item.bytes.data() + item.sent;
    step.count = left;
    if (byte_time_) {
        // Late bytes go together; the others wait for their own time.
        Nanos due_now = (t - step.at) / byte_time_ + 1;
        step.count = static_cast<std::size_t>(std::min(static_cast<Nanos>(left), due_now));
    }
    return step;
}

bool SendQueue::wrote(const SendStep& step, std::size_t count, Nanos write_time) {
    TxItem& item = items_.front();
    Nanos last = byte_time_ ? step.at + static_cast<Nanos>(count - 1) * byte_time_ : step.at;
    free_ = last + byte_time_;
    item.sent += count;
    if (item.sent < item.bytes.size()) return false;
    last_end_ = last;
    last_written_ = write_time;
    items_.pop_front();
    return true;
}
