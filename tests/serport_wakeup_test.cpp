// The worker of an idle port sleeps until there is work: each thing that must wake it does, and
// nothing is left waiting for a timer. Its task's context-switch count shows when it sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "pty_pair.h"
#include "serport.h"
#include "task_stats.h"

namespace {

class IdleWorker : public testing::Test {
public:
    void SetUp() override {
        descriptors = open_descriptor_count();
        // The thread sanitizer starts a thread of its own with the first one created: let it,
        // so that the worker is the only task Open adds.
        std::thread([] {}).join();
        std::vector<int> before = task_ids();
        ASSERT_EQ(port.Open(pty.path(), 115200, "8N1", 32), 0);  // 64-byte chunks
        worker = new_task(before, task_ids());
        ASSERT_GT(worker, 0) << "cannot tell the worker's task";
    }

    // Until the worker has not been switched in for quietMs: it sleeps in its wait.
    bool workerSleeps(int quietMs = 300) {
        long last = context_switches(worker);
        Clock::time_point since = Clock::now();
        return eventually([&] {
            long now = context_switches(worker);
            if (now != last) {
                last = now;
                since = Clock::now();
            }
            return now >= 0 && ms_since(since) >= quietMs;  // a worker that has ended does not count
        }, quietMs + 5000);
    }

    // Far-side bytes that fill the receive ring (4032 bytes or more), the rest held in the
    // driver while the worker sleeps.
    void fillTheReceiveRing(const std::vector<uint8_t>& flood) {
        pty.send(flood);
        ASSERT_TRUE(eventually([&] { return port.PendingReads() >= 4032; }));
        ASSERT_TRUE(workerSleeps());
    }

    std::vector<uint8_t> receiveThroughPort(size_t count) {
        std::vector<uint8_t> got(count);
        size_t done = 0;
        while (done < count && port.WaitForReads(2000) > 0) done += (size_t)port.Read(got.data() + done, (unsigned)(count - done));
        got.resize(done);
        return got;
    }

protected:
    PtyPair pty;
    SerPort port;
    int worker = -1;
    int descriptors = 0;
};

TEST_F(IdleWorker, SleepsForSecondsAndCloseEndsItAtOnce) {
    ASSERT_TRUE(workerSleeps(2000)) << "the idle worker keeps waking";
    port.Close();
    // A worker Close could not end in its wait would still run, holding the device.
    EXPECT_FALSE(task_exists(worker));
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

// What the port went through before its worker fell asleep.
struct Before {
    const char* name;
    void (*run)(IdleWorker& test, SerPort& port);
};

void PrintTo(const Before& c, std::ostream* out) { *out << c.name; }

class LoneByte : public IdleWorker, public testing::WithParamInterface<Before> {};

TEST_P(LoneByte, ReachesAnAsleepWorker) {
    GetParam().run(*this, port);
    ASSERT_TRUE(workerSleeps());
    pty.send({0x5A});
    ASSERT_EQ(port.WaitForReads(2000), 1) << "the byte was left in the driver";
    uint8_t byte = 0;
    EXPECT_EQ(port.Read(&byte, 1), 1);
    EXPECT_EQ(byte, 0x5A);
}

void nothing(IdleWorker&, SerPort&) {}

void purge_reads(IdleWorker& test, SerPort& port) {
    test.fillTheReceiveRing(pattern(6000));
    EXPECT_EQ(port.PurgeReads(), 0);
}

void purge_all(IdleWorker& test, SerPort& port) {
    test.fillTheReceiveRing(pattern(6000));
    EXPECT_EQ(port.PurgeAll(), 0);
}

// The worker stopped reading at a full ring; taking the bytes out must start it again.
void read_a_full_ring(IdleWorker& test, SerPort&) {
    std::vector<uint8_t> flood = pattern(6000, 4);
    test.fillTheReceiveRing(flood);
    EXPECT_EQ(test.receiveThroughPort(flood.size()), flood);
}

INSTANTIATE_TEST_SUITE_P(
    After, LoneByte,
    testing::Values(Before{"Open", nothing}, Before{"PurgeReadsOfAFullRing", purge_reads},
                    Before{"PurgeAllOfAFullRing", purge_all}, Before{"ReadingAFullRing", read_a_full_ring}),
    [](const testing::TestParamInfo<Before>& p) { return std::string(p.param.name); });

// Lone bytes at random moments, with both processors kept busy, meet the worker in every part
// of its loop: none may wait for anything but the worker's own wait.
TEST_F(IdleWorker, LoneBytesAtRandomMomentsUnderLoadAllArrive) {
    std::atomic<bool> done{false};
    std::vector<std::thread> load;
    for (int i = 0; i < 2; ++i)
        load.emplace_back([&] {
            while (!done) {
            }
        });
    std::vector<uint8_t> bytes = pattern(300, 6);
    std::thread farSide([&] {
        std::mt19937 gaps(6);
        for (uint8_t byte : bytes) {
            std::this_thread::sleep_for(std::chrono::microseconds(gaps() % 2000));
            pty.send({byte});
        }
    });
    std::vector<uint8_t> got = receiveThroughPort(bytes.size());
    farSide.join();
    done = true;
    for (std::thread& t : load) t.join();
    EXPECT_EQ(got, bytes);
}

// The driver's queue toward the far side is full: the worker waits for the device to take more.
TEST_F(IdleWorker, HeldTransmitGoesOnWhenTheFarSideReads) {
    int own = pty.slave();  // a descriptor of the device's own, opened before the port's
    ASSERT_EQ(fcntl(own, F_SETFL, fcntl(own, F_GETFL) | O_NONBLOCK), 0);
    std::vector<uint8_t> fill(1024, 0xEE);
    size_t filled = 0;
    for (ssize_t n; (n = ::write(own, fill.data(), fill.size())) > 0;) filled += (size_t)n;
    std::vector<uint8_t> bytes = pattern(1000, 7);
    ASSERT_EQ(port.Write(bytes.data(), (unsigned)bytes.size()), (int)bytes.size());
    ASSERT_TRUE(workerSleeps()) << "the worker does not wait for the device";
    std::vector<uint8_t> got = pty.receive(filled + bytes.size());
    ASSERT_EQ(got.size(), filled + bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + (long)filled, got.end()), bytes);
    EXPECT_EQ(port.WaitForWrites(), 0);
}

}  // namespace
