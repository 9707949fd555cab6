// The answer the options script for one transmission of a record.
#pragma once

#include "sim_options.h"
#include "sim_send_queue.h"

#include <vector>

struct ScriptedAnswer {
    enum class Then {
        NextRecord,  // the record is done: the host's next transmission is the next record
        SameRecord,  // rejected: the next transmission repeats it
        Silent,      // nothing is answered again
        HangUp,      // the items end with the hang-up; nothing is answered again
    } then = Then::NextRecord;
    std::vector<TxItem> items;
};

// Record `record`'s transmission `transmission` (1 = first send) counted as whole at `due`.
ScriptedAnswer scripted_answer(const SimOptions& opt, long record, long transmission, Nanos due);
