// Port benchmark on a pseudo-terminal: throughput with an echoing far side, the latency from a
// byte written on the far side to WaitForReads returning, and how often the worker of an idle
// open port wakes and how much processor time it uses.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "serport.h"
#include "task_stats.h"

namespace {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The far side sends back whatever it receives until told to stop.
void echo(const PtyPair& pty, const std::atomic<bool>& stop) {
    uint8_t buf[4096];
    while (!stop) {
        struct pollfd fd = {pty.master(), POLLIN, 0};
        if (poll(&fd, 1, 20) <= 0) continue;
        ssize_t n = read(pty.master(), buf, sizeof buf);
        if (n > 0) pty.send(std::vector<uint8_t>(buf, buf + n));
    }
}

void throughput() {
    PtyPair pty;
    SerPort port;
    if (port.Open(pty.path(), 460800, "8N1", 32) != 0) { std::puts("open failed"); return; }
    std::atomic<bool> stop{false};
    std::thread far(echo, std::cref(pty), std::cref(stop));
    const size_t total = 8 << 20;
    std::vector<uint8_t> block = pattern(4096);
    std::vector<uint8_t> in(4096);
    size_t sent = 0, received = 0;
    auto start = Clock::now();
    while (received < total) {
        if (sent < total) {
            int n = port.Write(block.data(), (unsigned)std::min(block.size(), total - sent));
            if (n > 0) sent += (size_t)n;
        }
        if (port.WaitForReads(1) > 0) {
            int n = port.Read(in.data(), (unsigned)in.size());
            if (n > 0) received += (size_t)n;
        }
    }
    double elapsed = seconds_since(start);
    stop = true;
    far.join();
    std::printf("throughput: %zu bytes out and back in %.2f s: %.1f MB/s each way\n", total, elapsed,
                total / elapsed / 1e6);
}

void latency() {
    PtyPair pty;
    SerPort port;
    if (port.Open(pty.path(), 115200, "8N1", 32) != 0) { std::puts("open failed"); return; }
    std::vector<double> us;
    uint8_t byte;
    for (int i = 0; i < 2000; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(500 + (i % 7) * 300));  // idle between bytes
        auto start = Clock::now();
        pty.send({(uint8_t)i});
        int waiting = port.WaitForReads(1000);
        us.push_back(seconds_since(start) * 1e6);
        if (waiting <= 0 || port.Read(&byte, 1) != 1) { std::puts("lost a byte"); return; }
    }
    std::sort(us.begin(), us.end());
    std::printf("latency far side -> WaitForReads: median %.0f us, p99 %.0f us, max %.0f us (2000 bytes)\n",
                us[us.size() / 2], us[us.size() * 99 / 100], us.back());
}

// The worker is the task Open adds; nothing else runs while the port stands idle.
void idle_port() {
    PtyPair pty;
    SerPort port;
    std::vector<int> before = task_ids();
    if (port.Open(pty.path(), 115200, "8N1", 32) != 0) { std::puts("open failed"); return; }
    int worker = new_task(before, task_ids());
    if (worker < 0) { std::puts("cannot tell the worker's task"); return; }
    // Count from the worker's first wait, not from its start signal just before it.
    for (int i = 0; i < 1000 && task_state(worker) != 'S'; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    long switches = context_switches(worker);
    double cpu = task_cpu_seconds(worker);
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    double elapsed = seconds_since(start);
    double wakeUps = (double)(context_switches(worker) - switches);
    double used = task_cpu_seconds(worker) - cpu;
    std::printf("idle open port, worker over %.1f s: %.1f wake-ups/s (%ld in all), %.4f s processor time: %.3f%% of one core\n",
                elapsed, wakeUps / elapsed, (long)wakeUps, used, used / elapsed * 100);
}

}  // namespace

int main() {
    throughput();
    latency();
    idle_port();
}
