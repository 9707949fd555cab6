// A drawn chaos plan as items for the send queue.
#pragma once

#include "sim_chaos.h"
#include "sim_send_queue.h"

#include <string>
#include <vector>

// The plan's bursts: the first gap counts from t, each later one from when the burst before it
// was written, which is when the host starts waiting for the next. Each logs event_prefix and
// its bytes in hex when it leaves.
std::vector<TxItem> chaos_items(const ChaosPlan& plan, Nanos t, bool sync, const std::string& event_prefix);
