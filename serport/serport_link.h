// Inside the port library: the ring work both back ends share, and the few platform
// primitives it rests on (each back end defines those).
#ifndef QUORVANE_SERPORT_LINK_H
#define QUORVANE_SERPORT_LINK_H

#include "serport.h"

void lock_take(SerPort_Lock& lock);
void lock_give(SerPort_Lock& lock);
void event_set(SerPort_Event event);

// Worker side: copy up to ioChunk bytes from the transmit ring without taking them out, and
// remember the purge count they were copied under.
uint32_t ring_copy_chunk(SerPort_Link& link, uint8_t* chunk, uint32_t& purgeMark);
// Worker side: take out the sent bytes, unless the ring was purged since they were copied.
void ring_commit_sent(SerPort_Link& link, uint32_t sent, uint32_t purgeMark);
// Worker side: room for one more chunk in the receive ring. It never fills up completely.
bool ring_has_room(const SerPort_Link& link);
void ring_store_received(SerPort_Link& link, const uint8_t* bytes, uint32_t count);

void ring_clear_tx(SerPort_Link& link);
void ring_clear_rx(SerPort_Link& link);

// A new link in its starting state: no events yet, no worker, empty rings, held by the port.
// The back end initialises its locks.
SerPort_Link* link_new(SerPort_Handle device, SerPort_Event noEvent, uint32_t chunk);

// Chunk size for a bit rate: about 5.6 ms of line time, 1..256 bytes.
uint32_t chunk_for_bitrate(int bitrate);

// Writes the line settings and reads them back: -1, with the system error set, unless the device
// took every one of them.
int write_settings(SerPort_Handle device, const SerPort_Settings& settings);

#endif
