// What every port test needs whatever the platform: a byte pattern, a wait on a condition, and
// the time since a moment.
#ifndef QUORVANE_TESTS_SUPPORT_TEST_SUPPORT_H
#define QUORVANE_TESTS_SUPPORT_TEST_SUPPORT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

// Bytes that differ from their neighbours and from one 256-byte block to the next, so that a
// lost, doubled or reordered byte shows.
inline std::vector<uint8_t> pattern(size_t count, unsigned seed = 0) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = (uint8_t)(i * 7 + seed + i / 256);
    return bytes;
}

// Waits until condition holds or timeoutMs has passed; returns whether it holds.
inline bool eventually(const std::function<bool()>& condition, int timeoutMs = 5000) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Milliseconds from one moment to another (by default, to now).
inline long ms_since(Clock::time_point from, Clock::time_point to = Clock::now()) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

#endif
