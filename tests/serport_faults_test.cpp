// Failures a pseudo-terminal cannot produce, reached by making one platform call fail with a
// chosen errno: each failure code, its system text, and no descriptor left behind.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "posix_calls.h"
#include "pty_pair.h"
#include "serport.h"

namespace {

// Which call fails, on which of its uses, with which errno.
struct Fault {
    const char* call = "";
    int nth = 1;
    int error = 0;
    unsigned long request = 0;  // for ioctl: only this request fails
};

// The worker reads the fault while a test installs the next one: each one gets its own slot,
// published whole.
Fault g_slots[64];
std::atomic<int> g_nextSlot{0};
std::atomic<const Fault*> g_current{&g_slots[0]};
void inject(const Fault& fault) {
    Fault& slot = g_slots[++g_nextSlot % 64];
    slot = fault;
    g_current = &slot;
}
const Fault& current() { return *g_current; }
std::atomic<int> g_uses{0};
std::atomic<int> g_deviceFd{-1};
std::atomic<bool> g_failEventWaits{false};  // the application thread's single-descriptor waits
std::atomic<bool> g_deviceWritesBlocked{false};
std::atomic<int> g_blockedWrites{0};
std::atomic<bool> g_deviceWritesStall{false};  // the driver's queue stays full
std::atomic<bool> g_eventsLate{false};  // events are set 50 ms after the bytes they announce
std::atomic<bool> g_inEventWait{false};  // the application thread waits on an event
PosixCalls g_real = posix_real_calls();

bool fails(const char* call) {
    const Fault& fault = current();
    if (std::strcmp(fault.call, call) != 0) return false;
    if (++g_uses != fault.nth) return false;
    errno = fault.error;
    return true;
}

int fake_open(const char* path, int flags) {
    if (fails("open")) return -1;
    int fd = g_real.open(path, flags);
    g_deviceFd = fd;
    return fd;
}
int fake_flock(int fd, int op) { return fails("flock") ? -1 : g_real.flock(fd, op); }
int fake_ioctl(int fd, unsigned long request, void* arg) {
    if (request == current().request && fails("ioctl")) return -1;
    return g_real.ioctl(fd, request, arg);
}
int fake_fcntl(int fd, int cmd, int arg) { return fails("fcntl") ? -1 : g_real.fcntl(fd, cmd, arg); }
int fake_tcgetattr(int fd, struct termios* tio) {
    if (fails("tcgetattr")) return -1;
    int rc = g_real.tcgetattr(fd, tio);
    if (std::strcmp(current().call, "readback") == 0 && ++g_uses == current().nth) tio->c_cflag ^= CSTOPB;
    return rc;
}
int fake_tcsetattr(int fd, int when, const struct termios* tio) {
    return fails("tcsetattr") ? -1 : g_real.tcsetattr(fd, when, tio);
}
int fake_tcflush(int fd, int queue) { return fails("tcflush") ? -1 : g_real.tcflush(fd, queue); }
int fake_tcdrain(int fd) { return fails("tcdrain") ? -1 : g_real.tcdrain(fd); }
int fake_eventfd(unsigned initial, int flags) { return fails("eventfd") ? -1 : g_real.eventfd(initial, flags); }
int fake_poll(struct pollfd* fds, nfds_t count, int ms) {
    if (count == 1 && g_failEventWaits) { errno = EINVAL; return -1; }
    if (count == 1) g_inEventWait = true;
    return g_real.poll(fds, count, ms);
}
ssize_t fake_read(int fd, void* buf, size_t len) {
    if (fd == g_deviceFd && fails("read")) return -1;
    return g_real.read(fd, buf, len);
}
ssize_t fake_write(int fd, const void* buf, size_t len) {
    if (fd != g_deviceFd && g_eventsLate) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (fd == g_deviceFd) {
        if (g_deviceWritesStall) { errno = EAGAIN; return -1; }
        if (g_deviceWritesBlocked) {
            ++g_blockedWrites;
            while (g_deviceWritesBlocked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return g_real.write(fd, buf, len);
}

// Starts the worker only after the port has given up waiting for it.
void* (*g_entry)(void*);
int late_thread(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*), void* arg) {
    if (fails("pthread_create")) return current().error;
    if (std::strcmp(current().call, "late") != 0) return g_real.pthread_create(thread, attr, entry, arg);
    g_entry = entry;
    return g_real.pthread_create(thread, attr, [](void* a) -> void* {
        std::this_thread::sleep_for(std::chrono::milliseconds(2300));
        return g_entry(a);
    }, arg);
}

class PortFaults : public testing::Test {
protected:
    void SetUp() override {
        inject(Fault());
        g_uses = 0;
        g_failEventWaits = false;
        g_deviceWritesBlocked = false;
        g_deviceWritesStall = false;
        g_eventsLate = false;
        g_inEventWait = false;
        g_blockedWrites = 0;
        posix_calls.open = fake_open;
        posix_calls.flock = fake_flock;
        posix_calls.ioctl = fake_ioctl;
        posix_calls.fcntl = fake_fcntl;
        posix_calls.tcgetattr = fake_tcgetattr;
        posix_calls.tcsetattr = fake_tcsetattr;
        posix_calls.tcflush = fake_tcflush;
        posix_calls.tcdrain = fake_tcdrain;
        posix_calls.eventfd = fake_eventfd;
        posix_calls.poll = fake_poll;
        posix_calls.read = fake_read;
        posix_calls.write = fake_write;
        posix_calls.pthread_create = late_thread;
        descriptors = open_descriptor_count();
    }
    void TearDown() override {
        g_deviceWritesBlocked = false;
        g_deviceWritesStall = false;
        port.Close();
        posix_calls = posix_real_calls();
    }

    int openPort() { return port.Open(pty.path(), 115200, "8N1", 32); }

    std::string text(int member, int code) { return SerPort_Exception(member, code).what(); }

    PtyPair pty;
    SerPort port;
    int descriptors = 0;
};

struct OpenFault {
    const char* name;
    Fault fault;
    int code;
    bool leftOpen;  // failed after the line settings were in force
};

void PrintTo(const OpenFault& c, std::ostream* out) { *out << c.name; }

class OpenFaults : public PortFaults, public testing::WithParamInterface<OpenFault> {};

TEST_P(OpenFaults, ReturnTheirCodeWithTheSystemTextAndLeakNothing) {
    const OpenFault& c = GetParam();
    inject(c.fault);
    int rc = openPort();
    std::string message = text(SERPORT_ID_OPEN, rc);
    EXPECT_EQ(rc, c.code);
    EXPECT_EQ(port.isOpen(), c.leftOpen);
    int error = c.fault.error;
    if (std::strcmp(c.fault.call, "flock") == 0) error = EBUSY;
    if (std::strcmp(c.fault.call, "readback") == 0) error = EINVAL;
    if (std::strcmp(c.fault.call, "late") == 0) error = ETIMEDOUT;
    EXPECT_NE(message.find(std::string("failed: ") + std::strerror(error)), std::string::npos) << message;
    port.Close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(open_descriptor_count(), descriptors);
    inject(Fault());
    EXPECT_EQ(openPort(), 0) << "the device is usable again";
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, OpenFaults,
    testing::Values(
        OpenFault{"DeviceOpen", {"open", 1, EACCES, 0}, SERPORT_E_CREATEFILE, false},
        OpenFault{"ExclusiveLock", {"flock", 1, EWOULDBLOCK, 0}, SERPORT_E_CREATEFILE, false},
        OpenFault{"ExclusiveTerminal", {"ioctl", 1, ENOTTY, TIOCEXCL}, SERPORT_E_SETUPCOMM, false},
        OpenFault{"NonBlockingMode", {"fcntl", 1, EBADF, 0}, SERPORT_E_SETCOMMTIMEOUTS, false},
        OpenFault{"ReadSettings", {"tcgetattr", 1, EIO, 0}, SERPORT_E_GETCOMMSTATE, false},
        OpenFault{"WriteSettings", {"tcsetattr", 1, EINVAL, 0}, SERPORT_E_SETCOMMSTATE, false},
        OpenFault{"SettingsReadBackDiffer", {"readback", 2, 0, 0}, SERPORT_E_SETCOMMSTATE, false},
        OpenFault{"FirstEvent", {"eventfd", 1, EMFILE, 0}, SERPORT_E_CREATEEVENT, true},
        OpenFault{"SecondEvent", {"eventfd", 2, EMFILE, 0}, SERPORT_E_CREATEEVENT, true},
        OpenFault{"ThirdEvent", {"eventfd", 3, ENFILE, 0}, SERPORT_E_CREATEEVENT, true},
        OpenFault{"Thread", {"pthread_create", 1, EAGAIN, 0}, SERPORT_E_CREATETHREAD, true},
        OpenFault{"StartSignalLate", {"late", 1, 0, 0}, SERPORT_E_WAITFORSINGLEOBJECT, true}),
    [](const testing::TestParamInfo<OpenFault>& p) { return std::string(p.param.name); });

TEST_F(PortFaults, FailedOpenKeepsTheDeviceSettings) {
    struct termios before, after;
    ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
    inject(Fault{"eventfd", 2, EMFILE, 0});
    ASSERT_EQ(openPort(), SERPORT_E_CREATEEVENT);
    port.Close();
    ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
}

TEST_F(PortFaults, FailedDrainIsAFailedFlush) {
    ASSERT_EQ(openPort(), 0);
    inject(Fault{"tcdrain", 1, EIO, 0});
    int rc = port.WaitForWrites();
    EXPECT_EQ(rc, SERPORT_E_FLUSHFILEBUFFERS);
    EXPECT_EQ(text(SERPORT_ID_WAITFORWRITES, rc),
              std::string("WaitForWrites(): WIN32 FlushFileBuffers() failed: ") + std::strerror(EIO));
}

TEST_F(PortFaults, FailedWaitIsReported) {
    ASSERT_EQ(openPort(), 0);
    g_failEventWaits = true;
    int rc = port.WaitForReads(100);
    EXPECT_EQ(rc, SERPORT_E_WAITFORSINGLEOBJECT);
    EXPECT_NE(text(SERPORT_ID_WAITFORREADS, rc).find(std::strerror(EINVAL)), std::string::npos);
}

TEST_F(PortFaults, FailedDevicePurgeEmptiesTheTransmitRingButKeepsTheReceiveRing) {
    ASSERT_EQ(openPort(), 0);
    pty.send({1, 2, 3});
    ASSERT_TRUE(eventually([&] { return port.PendingReads() == 3; }));
    g_deviceWritesStall = true;  // what is written stays in the transmit ring
    uint8_t bytes[100] = {};
    ASSERT_EQ(port.Write(bytes, sizeof bytes), 100);

    g_uses = 0;
    inject(Fault{"tcflush", 1, EIO, 0});
    EXPECT_EQ(port.PurgeReads(), SERPORT_E_PURGECOMM);
    EXPECT_EQ(port.PendingReads(), 3);  // untouched
    g_uses = 0;
    EXPECT_EQ(port.PurgeAll(), SERPORT_E_PURGECOMM);
    EXPECT_EQ(port.PendingReads(), 3);  // untouched
    EXPECT_EQ(port.WaitForWrites(), 0);  // yet the transmit ring is empty: nothing is left to wait for

    ASSERT_EQ(port.Write(bytes, sizeof bytes), 100);
    g_uses = 0;
    int rc = port.PurgeWrites();
    EXPECT_EQ(rc, SERPORT_E_PURGECOMM);
    EXPECT_EQ(text(SERPORT_ID_PURGEWRITES, rc),
              std::string("PurgeWrites(): WIN32 PurgeComm() failed: ") + std::strerror(EIO));
    EXPECT_EQ(port.WaitForWrites(), 0);
}

TEST_F(PortFaults, LateEventForBytesAlreadyTakenIsNoAnswer) {
    ASSERT_EQ(openPort(), 0);
    g_eventsLate = true;
    pty.send({0x06});
    ASSERT_TRUE(eventually([&] { return port.PendingReads() == 1; }));
    uint8_t byte;
    ASSERT_EQ(port.Read(&byte, 1), 1);  // taken before the event announcing it is set
    auto start = Clock::now();
    EXPECT_EQ(port.WaitForReads(300), 0);
    EXPECT_GE(ms_since(start), 290)
        << "a stale event ended the wait as if nothing would come";
}

TEST_F(PortFaults, FullTransmitRingTakesNothingMore) {
    ASSERT_EQ(openPort(), 0);
    g_deviceWritesStall = true;
    std::vector<uint8_t> bytes = pattern(4096);
    EXPECT_EQ(port.Write(bytes.data(), 4096), 4096);
    EXPECT_EQ(port.Write(bytes.data(), 1), 0);
    g_deviceWritesStall = false;
    EXPECT_EQ(port.Write(bytes.data(), 1), 0) << "still full until the worker is woken";
    EXPECT_EQ(port.WaitForWrites(), 0) << "the write above kicked the worker";
    EXPECT_EQ(pty.receive(4096), bytes);
}

TEST_F(PortFaults, FailedDeviceReadEndsTheWorkerAndItsCauseReachesWaitForWrites) {
    inject(Fault{"read", 1, ENXIO, 0});
    ASSERT_EQ(openPort(), 0);
    pty.send({1});  // the worker reads once the device is readable
    ASSERT_TRUE(eventually([&] { return g_uses >= 1; }));
    g_deviceWritesStall = true;
    uint8_t byte = 'x';
    ASSERT_EQ(port.Write(&byte, 1), 1);
    int rc = port.WaitForWrites();
    EXPECT_EQ(rc, SERPORT_E_FLUSHFILEBUFFERS);
    EXPECT_NE(text(SERPORT_ID_WAITFORWRITES, rc).find(std::strerror(ENXIO)), std::string::npos);
}

// A device that fails (an adapter unplugged) while the application waits for an answer: the
// wait ends at once with the device's error, after whatever had arrived before it.
TEST_F(PortFaults, DeviceFailureEndsAWaitForReadsWithItsError) {
    ASSERT_EQ(openPort(), 0);
    pty.send({0x06});
    ASSERT_TRUE(eventually([&] { return port.PendingReads() == 1; }));
    inject(Fault{"read", 1, ENXIO, 0});
    EXPECT_EQ(port.WaitForReads(2000), 1) << "the bytes that came before the failure first";
    uint8_t byte;
    ASSERT_EQ(port.Read(&byte, 1), 1);
    g_inEventWait = false;
    std::thread unplug([&] {
        if (eventually([] { return g_inEventWait.load(); })) pty.send({0x15});  // the worker reads, and fails
    });
    auto start = Clock::now();
    int rc = port.WaitForReads(2000);
    long waited = ms_since(start);
    unplug.join();
    EXPECT_EQ(rc, SERPORT_E_WAITFORSINGLEOBJECT);
    EXPECT_EQ(text(SERPORT_ID_WAITFORREADS, rc),
              std::string("WaitForReads(): WIN32 WaitForSingleObject() failed: ") + std::strerror(ENXIO));
    EXPECT_LT(waited, 1000);
    EXPECT_EQ(port.WaitForReads(2000), SERPORT_E_WAITFORSINGLEOBJECT) << "and every wait after it";
}

TEST_F(PortFaults, BytesWrittenAfterAPurgeDuringAChunkWriteAreAllSent) {
    ASSERT_EQ(openPort(), 0);
    g_deviceWritesBlocked = true;
    std::vector<uint8_t> before = pattern(50, 1);
    ASSERT_EQ(port.Write(before.data(), 50), 50);
    ASSERT_TRUE(eventually([] { return g_blockedWrites == 1; }));  // the worker holds a chunk
    ASSERT_EQ(port.PurgeWrites(), 0);
    std::vector<uint8_t> after = pattern(50, 2);
    ASSERT_EQ(port.Write(after.data(), 50), 50);
    g_deviceWritesBlocked = false;  // the old chunk now reaches the device
    ASSERT_EQ(port.WaitForWrites(), 0);
    std::vector<uint8_t> expected = before;
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(pty.receive(100), expected);
}

TEST_F(PortFaults, WorkerThatWillNotEndIsLeftRunningOnValidMemory) {
    auto* doomed = new SerPort;
    ASSERT_EQ(doomed->Open(pty.path(), 115200, "8N1", 32), 0);
    g_deviceWritesBlocked = true;
    uint8_t bytes[10] = {};
    ASSERT_EQ(doomed->Write(bytes, sizeof bytes), 10);
    ASSERT_TRUE(eventually([] { return g_blockedWrites == 1; }));
    auto start = Clock::now();
    delete doomed;  // Close gives up after its wait, and the port's memory is gone
    EXPECT_GE(ms_since(start), 4900);
    EXPECT_GT(open_descriptor_count(), descriptors) << "the worker still holds its device";
    g_deviceWritesBlocked = false;  // the worker finishes its write on its own link, then ends
    EXPECT_TRUE(eventually([&] { return open_descriptor_count() == descriptors; }, 2000));
}

}  // namespace
