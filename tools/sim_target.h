// The target's side of the protocol, as a state machine.
//
// It is fed the host's bytes with their arrival times and decides the answers: they go into
// its send queue with their due times, and what happens goes to its logs. It has no line and
// no clock of its own: whoever drives it writes what next_send() asks for, says so with sent(),
// and closes the line when it asks for the hang-up.
#pragma once

#include "sim_chaos.h"
#include "sim_options.h"
#include "sim_record_framer.h"
#include "sim_send_queue.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// One line of the event log at time t; empty when there is no event log.
using EventLog = std::function<void(Nanos t, const std::string& text)>;

struct TargetLogs {
    EventLog event;  // empty: events are not made
    std::function<void(const std::string& hex)> record;           // every whole record received
};

class SimTarget {
public:
    SimTarget(const SimOptions& opt, TargetLogs logs);

    void start(Nanos t);
    void receive(const unsigned char* data, std::size_t size, Nanos t);

    // Sends the target makes on its own (--sync-extra): queues those due by t.
    void tick(Nanos t);
    Nanos next_tick() const { return repeat_at_; }

    SendStep next_send(Nanos t) { return queue_.next(t); }
    void sent(const SendStep& step, std::size_t count, Nanos write_time);
    // The hang-up next_send() asked for is happening at t.
    void hanging_up(Nanos t);

    // Logs the record left unfinished, if any.
    void finish(Nanos t);

private:
    enum class Phase { Sync, Records };

    void event(Nanos t, const char* format, ...) __attribute__((format(printf, 3, 4)));
    Nanos pace_bytes(Nanos first, std::size_t count) const;
    void receive_sync_byte(unsigned char byte, Nanos t);
    void start_command(Nanos t);
    void sync_request(Nanos t);
    void receive_record_bytes(const unsigned char* data, std::size_t size, Nanos t);
    void begin_transmission(Nanos t);
    std::size_t hangup_point() const;
    void record_complete(Nanos t);
    void scripted(long n, long tn, Nanos t, Nanos due);
    TxItem& queue_hangup(Nanos due, const std::string& event_text);
    void queue_all(std::vector<TxItem> items);
    void chaos_sync(Nanos t);
    void chaos_answer(long n, long tn, Nanos t);
    void chaos_next_transmission(Nanos t);

    const SimOptions opt_;
    TargetLogs logs_;
    Nanos byte_time_;  // 0: no pacing
    SendQueue queue_;

    // Sync phase.
    Phase phase_ = Phase::Sync;
    bool at_seen_ = false;
    int sync_requests_ = 0;
    bool split_pending_ = false;
    Nanos repeat_at_ = NEVER;  // next spontaneous sync reply (--sync-extra)

    // Receiving: the earliest time the last byte could have arrived at the line's pace.
    Nanos rx_paced_ = -NEVER;

    // Records.
    long record_ = 1;        // number of the record being received
    long transmission_ = 0;  // transmissions of it so far, including the one being received
    RecordFramer framer_;
    Nanos first_paced_ = 0;
    bool silent_ = false;

    // Chaos.
    std::unique_ptr<Chaos> chaos_;
    bool answering_ = false;                // the latest transmission has a drawn answer
    std::vector<std::string> answer_sent_;  // the bursts of that answer that have left
};
