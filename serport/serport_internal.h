// Inside the port library: the link the worker shares with its port, the ring work and the port
// logic both back ends share (serport_core.cpp), and the small platform primitives that logic
// rests on. Each back end defines every primitive declared here, and nothing else is declared
// here.
#ifndef QUORVANE_SERPORT_INTERNAL_H
#define QUORVANE_SERPORT_INTERNAL_H

#include <atomic>
#include <cstdint>

#include "serport.h"

#ifdef _WIN32
typedef HANDLE SerPort_Event;
typedef CRITICAL_SECTION SerPort_Lock;
const SerPort_Event SERPORT_NO_EVENT = NULL;
#else
typedef int SerPort_Event;  // an eventfd, -1 when not created
typedef pthread_mutex_t SerPort_Lock;
const SerPort_Event SERPORT_NO_EVENT = -1;
#endif

// Everything the worker touches besides the port's flags: the rings, their locks and counters,
// the events and the device descriptor. Held by the port from Open to Close and by the worker
// while it runs; the last of the two to let go releases it.
struct SerPort_Link {
    SerPort_Handle device;
    SerPort_Event evStarted, evTxKick, evRxData;  // manual-reset events
    SerPort_Lock txLock, rxLock;
    std::atomic<bool> stopWorker;   // set by Close; the worker ends at its next look
    std::atomic<bool> workerEnded;  // set by the worker as it ends, for whatever reason
    std::atomic<int> workerError;   // the system error that ended the worker, 0 if none
    std::atomic<int> holders;       // the port and, while it runs, the worker
    bool ownsDevice;                // the device was left to a worker that outlived Close
    uint32_t ioChunk;               // most bytes in one device read or write (1..256)
    uint32_t txPurges;              // counts transmit-ring purges, so the worker never
                                    // commits a chunk copied before a purge
    uint8_t txBuf[SERPORT_RING_SIZE];
    uint8_t rxBuf[SERPORT_RING_SIZE];
    std::atomic<uint32_t> txCount, rxCount;
    uint32_t txTail, rxTail, txHead, rxHead;
};

// ---- The worker's side of the rings (serport_core.cpp) ----

// Copies up to ioChunk bytes from the transmit ring without taking them out, and remembers the
// purge count they were copied under.
uint32_t ring_copy_chunk(SerPort_Link& link, uint8_t* chunk, uint32_t& purgeMark);
// Takes out the sent bytes, unless the ring was purged since they were copied.
void ring_commit_sent(SerPort_Link& link, uint32_t sent, uint32_t purgeMark);
// Room for one more chunk in the receive ring. It never fills up completely.
bool ring_has_room(const SerPort_Link& link);
void ring_store_received(SerPort_Link& link, const uint8_t* bytes, uint32_t count);
// Ends the worker on a failed device call, keeping the cause for the waits to report.
void worker_failed(SerPort_Link& link, int error);

// The bit rates Open offers.
bool offered_bitrate(int bitrate);

// ---- Platform primitives (each back end defines these) ----

extern const SerPort_Handle SERPORT_NO_HANDLE;
// The system error a worker that ended without one of its own reports.
extern const int SERPORT_WORKER_GONE_ERROR;
// Makes error the calling thread's last system error (errno, or the Windows last error).
void set_system_error(int error);

void lock_init(SerPort_Lock& lock);
void lock_take(SerPort_Lock& lock);
void lock_give(SerPort_Lock& lock);
void lock_destroy(SerPort_Lock& lock);

// Manual reset, not set, unnamed; false with the system error set when it cannot be made.
bool event_create(SerPort_Event& event);
void event_set(SerPort_Event event);
void event_reset(SerPort_Event event);
// 1 when the event is set, 0 on time-out, -1 (system error set) when the wait failed.
int event_wait(SerPort_Event event, int timeoutMs);
void event_close(SerPort_Event event);

// Wakes a worker that waits with no time-out of its own, for what it would not see in its wait:
// stopWorker set, or room made in a receive ring that had too little to read into.
void worker_wake(SerPort_Link& link);

// Starts txrx_thread_start on link; false with the system error set when it cannot.
bool thread_start(SerPort_Thread& thread, SerPort_Link* link);
// Waits for the thread to end and lets go of it; false when it still runs after timeoutMs.
bool thread_join(SerPort_Thread thread, int timeoutMs);

// Check's verdict on the device name.
int device_probe(const char* name);
void device_close(SerPort_Handle device);
// Until what the worker has handed to the driver is on the line.
bool device_flush(SerPort_Handle device);
enum SerPort_Queue { SERPORT_QUEUE_TX = 1, SERPORT_QUEUE_RX = 2, SERPORT_QUEUE_BOTH = 3 };
bool device_purge(SerPort_Handle device, SerPort_Queue queues);

// ---- Line control primitives (each back end defines these) ----

enum SerPort_Output { SERPORT_OUTPUT_RTS, SERPORT_OUTPUT_DTR };
bool device_set_output(SerPort_Handle device, SerPort_Output line, bool raised);
// The input lines as GetLineState's SERPORT_LINE_* bits.
bool device_line_state(SerPort_Handle device, int& lines);
// Starts a break, with unsentBytes still in the transmit ring; the back end's state carries
// what it needs to bound a wait for them.
bool device_start_break(SerPort_Handle device, const SerPort_BackEndState& state, uint32_t unsentBytes);
bool device_end_break(SerPort_Handle device);
// How long SendBreak holds the break.
void break_hold();
// Puts the flow-control bits of mode into settings; every other bit stays.
void settings_set_flow(SerPort_Settings& settings, int mode);
// Writes the whole settings record; false with the system error set unless the device took it.
bool settings_write(SerPort_Handle device, const SerPort_Settings& settings);

// The line errors seen since the last look, as SERPORT_LINE_ERROR_* bits.
enum {
    SERPORT_LINE_ERROR_BREAK = 1,
    SERPORT_LINE_ERROR_PARITY = 2,
    SERPORT_LINE_ERROR_FRAME = 4,
    SERPORT_LINE_ERROR_OVERRUN = 8,
    SERPORT_LINE_ERROR_RX_OVERFLOW = 16,
};
bool device_line_errors(SerPort_Handle device, SerPort_BackEndState& state, unsigned& errors);

#endif
