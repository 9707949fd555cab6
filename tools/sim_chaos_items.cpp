#include "sim_chaos_items.h"

#include "hex_text.h"

std::vector<TxItem> chaos_items(const ChaosPlan& plan, Nanos t, bool sync, const std::string& event_prefix) {
    std::vector<TxItem> items;
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
        items.push_back(std::move(item));
    }
    return items;
}
