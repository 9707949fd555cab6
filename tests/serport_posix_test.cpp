// The port on a pseudo-terminal: probing, opening and closing with the device's settings put
// back, bytes through both rings, the waits and the purges, and a far side that hangs up.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "open_refusals.h"
#include "pty_pair.h"
#include "serport.h"

namespace {

bool same_settings(const struct termios& a, const struct termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

class PortOnPty : public testing::Test {
protected:
    void openPort(int bitrate = 115200, const char* format = "8N1") {
        ASSERT_EQ(port.Open(pty.path(), bitrate, format, 32), 0);
    }

    // Queues bytes and waits until the worker has handed them all to the device.
    void sendThroughPort(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(port.Write(bytes.data(), (unsigned)bytes.size()), (int)bytes.size());
        ASSERT_EQ(port.WaitForWrites(), 0);
    }

    // Takes count bytes out of the receive ring as they arrive.
    std::vector<uint8_t> receiveThroughPort(size_t count) {
        std::vector<uint8_t> got(count);
        size_t done = 0;
        auto start = Clock::now();
        while (done < count && ms_since(start) < 3000) {
            if (port.WaitForReads(100) <= 0) continue;
            int n = port.Read(got.data() + done, (unsigned)(count - done));
            if (n > 0) done += (size_t)n;
        }
        got.resize(done);
        return got;
    }

    PtyPair pty;
    SerPort port;
};

TEST_F(PortOnPty, OpenSetsARawLineAndCloseRestoresTheDevice) {
    struct termios before, during, after;
    ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
    openPort(9600);
    ASSERT_EQ(tcgetattr(pty.slave(), &during), 0);
    EXPECT_EQ(cfgetospeed(&during), B9600);
    EXPECT_EQ(during.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(during.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(during.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
    EXPECT_EQ(during.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(during.c_oflag & OPOST, 0u);
    EXPECT_EQ(during.c_cc[VMIN], 0);
    EXPECT_EQ(during.c_cc[VTIME], 0);
    EXPECT_TRUE(port.isOpen());
    port.Close();
    EXPECT_FALSE(port.isOpen());
    ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
    EXPECT_TRUE(same_settings(before, after));
}

TEST_F(PortOnPty, DestructorClosesAndRestores) {
    struct termios before, after;
    ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
    int descriptors = open_descriptor_count();
    {
        SerPort scoped;
        ASSERT_EQ(scoped.Open(pty.path(), 57600, "8N1", 32), 0);
    }
    ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
    EXPECT_TRUE(same_settings(before, after));
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

class OpenRefusal : public PortOnPty, public testing::WithParamInterface<BadOpen> {};

TEST_P(OpenRefusal, InvalidArgumentAtItsStep) {
    const BadOpen& c = GetParam();
    int descriptors = open_descriptor_count();
    EXPECT_EQ(port.Open(c.nullDevice ? nullptr : pty.path(), c.bitrate, c.format, c.queueKiB),
              SERPORT_E_INVALID_ARG);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(open_descriptor_count(), descriptors + (c.deviceOpened ? 1 : 0));
    port.Close();
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Arguments, OpenRefusal, testing::ValuesIn(BAD_OPENS), bad_open_name);

TEST_F(PortOnPty, HeldDeviceIsReleasedByTheNextCheckOrOpen) {
    int descriptors = open_descriptor_count();
    ASSERT_EQ(port.Open(pty.path(), 14400, "8N1", 32), SERPORT_E_INVALID_ARG);
    EXPECT_EQ(port.Check(pty.path()), SERPORT_CHECK_USABLE);  // its own hold no longer counts
    EXPECT_EQ(open_descriptor_count(), descriptors);
    ASSERT_EQ(port.Open(pty.path(), 14400, "8N1", 32), SERPORT_E_INVALID_ARG);
    openPort();
    EXPECT_EQ(open_descriptor_count(), descriptors + 4);  // device, three events
}

TEST_F(PortOnPty, OpenPortRefusesCheckAndOpen) {
    openPort();
    EXPECT_EQ(port.Open(pty.path(), 9600, "8N1", 32), SERPORT_E_ALREADY_OPEN);
    EXPECT_EQ(port.Check(pty.path()), SERPORT_E_ALREADY_OPEN);
    EXPECT_TRUE(port.isOpen());
}

TEST_F(PortOnPty, EveryRateAndFormatCharacterIsAccepted) {
    for (int rate : {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800}) {
        ASSERT_EQ(port.Open(pty.path(), rate, "8n1", 4), 0) << rate;
        port.Close();
    }
    // A pty keeps 8 data bits and no parity whatever it is asked: the read-back refuses that.
    EXPECT_EQ(port.Open(pty.path(), 9600, "7e2", 32), SERPORT_E_SETCOMMSTATE);
}

TEST_F(PortOnPty, ClosedPortRefusesEveryTransfer) {
    uint8_t byte = 0;
    EXPECT_EQ(port.Write(&byte, 1), SERPORT_E_NOT_OPEN);
    EXPECT_EQ(port.Write(nullptr, 0), SERPORT_E_NOT_OPEN);
    EXPECT_EQ(port.Read(&byte, 1), SERPORT_E_NOT_OPEN);
    EXPECT_EQ(port.Read(nullptr, 0), SERPORT_E_NOT_OPEN);
    EXPECT_EQ(port.WaitForWrites(), SERPORT_E_NOT_OPEN);
    EXPECT_EQ(port.WaitForReads(0), SERPORT_E_NOT_OPEN);
    EXPECT_EQ(port.PendingReads(), SERPORT_E_NOT_OPEN);
    EXPECT_EQ(port.PurgeWrites(), SERPORT_E_NOT_OPEN);
    EXPECT_EQ(port.PurgeReads(), SERPORT_E_NOT_OPEN);
    EXPECT_EQ(port.PurgeAll(), SERPORT_E_NOT_OPEN);
    port.Close();  // harmless on a closed port
}

TEST_F(PortOnPty, ArgumentsAreTestedBeforeLengths) {
    openPort();
    uint8_t byte = 0;
    EXPECT_EQ(port.Write(nullptr, 0), SERPORT_E_INVALID_ARG);
    EXPECT_EQ(port.Read(nullptr, 0), SERPORT_E_INVALID_ARG);
    EXPECT_EQ(port.Write(&byte, 0), 0);
    EXPECT_EQ(port.Read(&byte, 0), 0);
    EXPECT_EQ(port.Read(&byte, 1), 0);  // nothing waiting: at once
    EXPECT_EQ(port.WaitForReads(0), SERPORT_E_INVALID_ARG);
    EXPECT_EQ(port.WaitForReads(-1), SERPORT_E_INVALID_ARG);
}

TEST_F(PortOnPty, BytesCrossInBothDirectionsIncludingFlowControlCharacters) {
    openPort();
    std::vector<uint8_t> out = pattern(1000);
    out[10] = 0x11;
    out[11] = 0x13;
    sendThroughPort(out);
    EXPECT_EQ(pty.receive(out.size()), out);

    std::vector<uint8_t> in = pattern(1500, 3);
    in[0] = 0x13;
    in[1] = 0x11;
    in[2] = '\r';
    pty.send(in);
    EXPECT_EQ(receiveThroughPort(in.size()), in);
}

TEST_F(PortOnPty, TransmitRingTakesAtMostItsSizeAndWrapsAround) {
    openPort();
    std::vector<uint8_t> big = pattern(5000);
    ASSERT_EQ(port.Write(big.data(), 5000), 4096);
    ASSERT_EQ(port.WaitForWrites(), 0);
    EXPECT_EQ(pty.receive(5000, 1000), std::vector<uint8_t>(big.begin(), big.begin() + 4096));
    // The ring's head is at slot 0 again after exactly 4096: offset it so the next run wraps.
    sendThroughPort(pattern(4000, 1));
    pty.receive(4000);
    std::vector<uint8_t> wrapping = pattern(300, 2);
    sendThroughPort(wrapping);
    EXPECT_EQ(pty.receive(300), wrapping);
}

TEST_F(PortOnPty, ReceiveRingStopsShortOfFullAndWrapsAround) {
    openPort(115200);  // 64-byte chunks: reading stops once 4032 bytes wait
    std::vector<uint8_t> flood = pattern(6000, 5);
    pty.send(flood);
    ASSERT_TRUE(eventually([&] { return port.PendingReads() >= 4032; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a wrong extra read
    int pending = port.PendingReads();
    EXPECT_GE(pending, 4032);
    EXPECT_LE(pending, 4095);
    EXPECT_EQ(receiveThroughPort(flood.size()), flood);  // the rest waited in the driver
}

TEST_F(PortOnPty, WaitForReadsReturnsAtOnceOnArrivalOrAfterItsTimeOut) {
    openPort();
    auto start = Clock::now();
    EXPECT_EQ(port.WaitForReads(200), 0);
    EXPECT_GE(ms_since(start), 195);

    std::thread farSide([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.send({'a', 'b', 'c'});
    });
    start = Clock::now();
    int got = port.WaitForReads(2000);
    long waited = ms_since(start);
    farSide.join();
    EXPECT_GE(got, 1);
    EXPECT_LT(waited, 1000);

    ASSERT_TRUE(eventually([&] { return port.PendingReads() == 3; }));
    start = Clock::now();
    EXPECT_EQ(port.WaitForReads(2000), 3);
    EXPECT_LT(ms_since(start), 100);
    uint8_t bytes[10];
    EXPECT_EQ(port.Read(bytes, 10), 3);
    EXPECT_EQ(port.PendingReads(), 0);
}

TEST_F(PortOnPty, PurgeReadsDiscardsTheRingAndTheDriverQueue) {
    openPort(115200);
    pty.send(pattern(6000));  // fills the ring; the rest stays in the driver
    ASSERT_TRUE(eventually([&] { return port.PendingReads() >= 4032; }));
    EXPECT_EQ(port.PurgeReads(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(port.PendingReads(), 0);
    pty.send({0x42});
    EXPECT_EQ(receiveThroughPort(1), std::vector<uint8_t>{0x42});
}

TEST_F(PortOnPty, PurgeAllLeavesBothDirectionsEmptyAndUsable) {
    openPort();
    pty.send({1, 2, 3});
    ASSERT_TRUE(eventually([&] { return port.PendingReads() == 3; }));
    EXPECT_EQ(port.PurgeAll(), 0);
    EXPECT_EQ(port.PendingReads(), 0);
    EXPECT_EQ(port.PurgeWrites(), 0);
    sendThroughPort({9, 8, 7});
    EXPECT_EQ(pty.receive(3), (std::vector<uint8_t>{9, 8, 7}));
}

TEST_F(PortOnPty, FarSideHangingUpEndsTheWorkerAndBothWaitsSaySo) {
    openPort(1200);  // one byte a call: the ring stays full long enough to see
    pty.closeMaster();
    std::vector<uint8_t> bytes = pattern(2000);
    port.Write(bytes.data(), (unsigned)bytes.size());
    auto start = Clock::now();
    EXPECT_EQ(port.WaitForWrites(), SERPORT_E_FLUSHFILEBUFFERS);
    EXPECT_LT(ms_since(start), 2000);
    int rc = port.WaitForReads(2000);
    EXPECT_EQ(rc, SERPORT_E_WAITFORSINGLEOBJECT);
    EXPECT_EQ(SerPort_Exception(SERPORT_ID_WAITFORREADS, rc).what(),
              std::string("WaitForReads(): WIN32 WaitForSingleObject() failed: ") + std::strerror(EIO));
    EXPECT_LT(ms_since(start), 2000) << "reported at once, not after the wait";
    EXPECT_TRUE(port.isOpen());
}

class CheckVerdicts : public PortOnPty {
protected:
    std::string tempFile() {
        char name[] = "/tmp/quorvane-check-XXXXXX";
        int fd = mkstemp(name);
        ::close(fd);
        files.push_back(name);
        return name;
    }
    void TearDown() override {
        for (const std::string& f : files) std::remove(f.c_str());
    }
    std::vector<std::string> files;
};

TEST_F(CheckVerdicts, TellDevicesFilesAndMissingPathsApart) {
    EXPECT_EQ(port.Check(pty.path()), SERPORT_CHECK_USABLE);
    EXPECT_EQ(port.Check(tempFile().c_str()), SERPORT_CHECK_NOT_TTY);
    EXPECT_EQ(port.Check("/dev/null"), SERPORT_CHECK_NOT_TTY);
    EXPECT_EQ(port.Check("/dev/quorvane-no-such-device"), SERPORT_CHECK_NOT_FOUND);
    EXPECT_EQ(port.Check((tempFile() + "/below-a-file").c_str()), SERPORT_CHECK_OTHER_ERROR);
    EXPECT_EQ(port.Check(nullptr), SERPORT_E_INVALID_ARG);
    EXPECT_FALSE(port.isOpen());
}

TEST_F(CheckVerdicts, DeviceHeldByAnotherPortIsInUseEvenForRoot) {
    SerPort holder;
    ASSERT_EQ(holder.Open(pty.path(), 9600, "8N1", 32), 0);
    EXPECT_EQ(port.Check(pty.path()), SERPORT_CHECK_ACCESS_DENIED);
    EXPECT_EQ(port.Open(pty.path(), 9600, "8N1", 32), SERPORT_E_CREATEFILE);
    holder.Close();
    EXPECT_EQ(port.Check(pty.path()), SERPORT_CHECK_USABLE);
}

TEST_F(CheckVerdicts, DeviceLockedByAnotherProgramIsInUse) {
    int other = ::open(pty.path(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(port.Check(pty.path()), SERPORT_CHECK_ACCESS_DENIED);
    ::close(other);
}

TEST_F(CheckVerdicts, AccessDeniedForAnUnprivilegedUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    std::string file = tempFile();
    chmod(file.c_str(), 0600);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        SerPort probe;
        _exit(probe.Check(file.c_str()) == SERPORT_CHECK_ACCESS_DENIED ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(MilliSleep, SleepsAtLeastTheTimeAndNothingForNonPositive) {
    auto start = Clock::now();
    MilliSleep(0);
    MilliSleep(-5);
    EXPECT_LT(ms_since(start), 5);
    start = Clock::now();
    MilliSleep(30);
    EXPECT_GE(ms_since(start), 30);
}

}  // namespace
