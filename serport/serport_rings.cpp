// The transmit and receive rings: the buffered operations and the worker's side of the rings,
// the same on every platform.
#include "serport_link.h"

namespace {

uint32_t wrap(uint32_t slot) { return slot >= SERPORT_RING_SIZE ? slot - SERPORT_RING_SIZE : slot; }

}  // namespace

SerPort_Link* link_new(SerPort_Handle device, SerPort_Event noEvent, uint32_t chunk) {
    SerPort_Link* link = new SerPort_Link;
    link->device = device;
    link->evStarted = link->evTxKick = link->evRxData = noEvent;
    link->stopWorker = false;
    link->workerEnded = true;  // until a worker runs
    link->workerError = 0;
    link->holders = 1;
    link->ownsDevice = false;
    link->ioChunk = chunk;
    link->txPurges = 0;
    link->txCount = link->rxCount = 0;
    link->txTail = link->rxTail = link->txHead = link->rxHead = 0;
    return link;
}

uint32_t chunk_for_bitrate(int bitrate) {
    uint32_t chunk = (uint32_t)bitrate / 1800;
    if (chunk == 0) return 1;
    return chunk > SERPORT_MAX_CHUNK ? SERPORT_MAX_CHUNK : chunk;
}

int SerPort::Write(const void* src, unsigned len) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (src == nullptr) return SERPORT_E_INVALID_ARG;
    if (len == 0) return 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(src);
    unsigned stored = 0;
    lock_take(link->txLock);
    uint32_t count = link->txCount.load();
    while (stored < len && count < SERPORT_RING_SIZE) {
        link->txBuf[link->txHead] = bytes[stored++];
        link->txHead = wrap(link->txHead + 1);
        ++count;
    }
    link->txCount.store(count);
    lock_give(link->txLock);
    event_set(link->evTxKick);
    return (int)stored;
}

int SerPort::Read(void* dst, unsigned len) {
    if (!opened) return SERPORT_E_NOT_OPEN;
    if (dst == nullptr) return SERPORT_E_INVALID_ARG;
    if (len == 0) return 0;
    uint8_t* bytes = static_cast<uint8_t*>(dst);
    unsigned copied = 0;
    lock_take(link->rxLock);
    uint32_t count = link->rxCount.load();
    while (copied < len && count > 0) {
        bytes[copied++] = link->rxBuf[link->rxTail];
        link->rxTail = wrap(link->rxTail + 1);
        --count;
    }
    link->rxCount.store(count);
    lock_give(link->rxLock);
    return (int)copied;
}

int SerPort::PendingReads() {
    if (!opened) return SERPORT_E_NOT_OPEN;
    return (int)link->rxCount.load();
}

uint32_t ring_copy_chunk(SerPort_Link& link, uint8_t* chunk, uint32_t& purgeMark) {
    lock_take(link.txLock);
    uint32_t count = link.txCount.load();
    uint32_t n = count < link.ioChunk ? count : link.ioChunk;
    for (uint32_t i = 0, slot = link.txTail; i < n; ++i, slot = wrap(slot + 1)) chunk[i] = link.txBuf[slot];
    purgeMark = link.txPurges;
    lock_give(link.txLock);
    return n;
}

void ring_commit_sent(SerPort_Link& link, uint32_t sent, uint32_t purgeMark) {
    lock_take(link.txLock);
    if (link.txPurges == purgeMark && link.txCount.load() >= sent) {
        link.txTail = wrap(link.txTail + sent);
        link.txCount.fetch_sub(sent);
    }
    lock_give(link.txLock);
}

bool ring_has_room(const SerPort_Link& link) {
    return link.rxCount.load() < SERPORT_RING_SIZE - link.ioChunk;
}

void ring_store_received(SerPort_Link& link, const uint8_t* bytes, uint32_t count) {
    lock_take(link.rxLock);
    for (uint32_t i = 0; i < count; ++i) {
        link.rxBuf[link.rxHead] = bytes[i];
        link.rxHead = wrap(link.rxHead + 1);
    }
    link.rxCount.fetch_add(count);
    lock_give(link.rxLock);
}

void ring_clear_tx(SerPort_Link& link) {
    lock_take(link.txLock);
    link.txHead = link.txTail = 0;
    link.txCount.store(0);
    ++link.txPurges;
    lock_give(link.txLock);
}

void ring_clear_rx(SerPort_Link& link) {
    lock_take(link.rxLock);
    link.rxHead = link.rxTail = 0;
    link.rxCount.store(0);
    lock_give(link.rxLock);
}
