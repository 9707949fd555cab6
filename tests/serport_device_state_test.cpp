// The device as the port found it: whatever way Open ends, Close puts back exactly what the port
// changed (line settings, modem lines, the driver's low-latency flag, the tty's exclusive mode)
// and nothing else, and a port that did not get the device leaves another holder's session
// alone. A pty keeps no modem lines or driver flags and refuses parity, so a model driver behind
// the platform-call table answers those; the descriptor, the worker's I/O and exclusive mode are
// the real pty's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

#include "posix_calls.h"
#include "pty_pair.h"
#include "serport.h"

namespace {

// The model driver: the line settings in force, the modem control lines and the driver flags,
// and which of the port's calls fail. Only the application thread reaches it.
struct ModelDriver {
    struct termios settings{};
    int lines = 0;
    int flags = 0;
    int descriptor = -1;  // the port's device descriptor, once opened
    const char* failing = "";
    unsigned long failingRequest = 0;
    int failingUse = 1;
    int uses = 0;
    bool rewritesSpeed = false;  // as a UART whose clock makes 115200 bit/s at most
};

ModelDriver g_driver;
PosixCalls g_real = posix_real_calls();
clockid_t g_joinClock = -1;
struct timespec g_joinDeadline{};

bool fails(const char* call, unsigned long request = 0) {
    if (std::strcmp(g_driver.failing, call) != 0 || request != g_driver.failingRequest) return false;
    if (++g_driver.uses != g_driver.failingUse) return false;
    errno = EIO;
    return true;
}

int model_open(const char* path, int flags) {
    if (fails("open")) return -1;
    int fd = g_real.open(path, flags);
    g_driver.descriptor = fd;
    return fd;
}

int model_fcntl(int fd, int cmd, int arg) { return fails("fcntl") ? -1 : g_real.fcntl(fd, cmd, arg); }

int model_tcgetattr(int fd, struct termios* tio) {
    if (fd != g_driver.descriptor) return g_real.tcgetattr(fd, tio);
    if (fails("tcgetattr")) return -1;
    *tio = g_driver.settings;
    return 0;
}

int model_tcsetattr(int fd, int when, const struct termios* tio) {
    if (fd != g_driver.descriptor) return g_real.tcsetattr(fd, when, tio);
    if (fails("tcsetattr")) return -1;
    g_driver.settings = *tio;
    speed_t asked = cfgetospeed(tio);
    if (g_driver.rewritesSpeed && (asked == B230400 || asked == B460800)) {
        cfsetispeed(&g_driver.settings, B115200);
        cfsetospeed(&g_driver.settings, B115200);
    }
    return 0;
}

int model_ioctl(int fd, unsigned long request, void* arg) {
    if (fd != g_driver.descriptor) return g_real.ioctl(fd, request, arg);
    if (fails("ioctl", request)) return -1;
    switch (request) {
    case TIOCMGET: *static_cast<int*>(arg) = g_driver.lines; return 0;
    case TIOCMSET: g_driver.lines = *static_cast<int*>(arg); return 0;
    case TIOCMBIS: g_driver.lines |= *static_cast<int*>(arg); return 0;
    case TIOCMBIC: g_driver.lines &= ~*static_cast<int*>(arg); return 0;
    case TIOCGSERIAL: {
        struct serial_struct serial{};
        serial.flags = g_driver.flags;
        *static_cast<struct serial_struct*>(arg) = serial;
        return 0;
    }
    case TIOCSSERIAL: g_driver.flags = static_cast<struct serial_struct*>(arg)->flags; return 0;
    default: return g_real.ioctl(fd, request, arg);  // exclusive mode, queues: the pty's own
    }
}

int model_eventfd(unsigned initial, int flags) { return fails("eventfd") ? -1 : g_real.eventfd(initial, flags); }

int model_thread(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*), void* arg) {
    if (fails("pthread_create")) return EAGAIN;
    return g_real.pthread_create(thread, attr, entry, arg);
}

int recording_join(pthread_t thread, void** result, clockid_t clock, const struct timespec* deadline) {
    g_joinClock = clock;
    g_joinDeadline = *deadline;
    return g_real.pthread_clockjoin_np(thread, result, clock, deadline);
}

// Settings a previous owner left: cooked, 38400 bit/s, 7 data bits with even parity, DTR low,
// RTS high, a driver flag in the top bit.
struct termios leftover_settings() {
    struct termios tio{};
    tio.c_iflag = ICRNL | IXON;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_cflag = CS7 | PARENB | CREAD | HUPCL;
    tio.c_lflag = ICANON | ECHO | ISIG;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VSTART] = 0x11;
    tio.c_cc[VSTOP] = 0x13;
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    return tio;
}

bool same_settings(const struct termios& a, const struct termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

int exclusive_mode(int fd) {
    int on = -1;
    ioctl(fd, TIOCGEXCL, &on);
    return on;
}

class DeviceState : public testing::Test {
protected:
    void SetUp() override {
        g_driver = ModelDriver();
        g_driver.settings = leftover_settings();
        g_driver.lines = TIOCM_RTS;
        g_driver.flags = (int)(0x80000000u | ASYNC_SKIP_TEST);
        posix_calls.open = model_open;
        posix_calls.fcntl = model_fcntl;
        posix_calls.tcgetattr = model_tcgetattr;
        posix_calls.tcsetattr = model_tcsetattr;
        posix_calls.ioctl = model_ioctl;
        posix_calls.eventfd = model_eventfd;
        posix_calls.pthread_create = model_thread;
        posix_calls.pthread_clockjoin_np = recording_join;
        before = g_driver;
    }
    void TearDown() override {
        port.Close();
        posix_calls = posix_real_calls();
    }

    void fail(const char* call, unsigned long request = 0, int use = 1) {
        g_driver.failing = call;
        g_driver.failingRequest = request;
        g_driver.failingUse = use;
    }

    void expectAsFound() {
        EXPECT_TRUE(same_settings(g_driver.settings, before.settings)) << "line settings";
        EXPECT_EQ(g_driver.lines, before.lines) << "modem lines";
        EXPECT_EQ(g_driver.flags, before.flags) << "driver flags";
        EXPECT_EQ(exclusive_mode(pty.slave()), 0) << "exclusive mode";
    }

    PtyPair pty;
    SerPort port;
    ModelDriver before;
};

// Every way an Open can end, and the device after Close.
struct OpenEnd {
    const char* name;
    const char* failing;  // "" for an Open that succeeds
    unsigned long request;
    int use;
    int code;
    bool rewritesSpeed;
    int bitrate;
};

void PrintTo(const OpenEnd& c, std::ostream* out) { *out << c.name; }

class OpenEnds : public DeviceState, public testing::WithParamInterface<OpenEnd> {};

TEST_P(OpenEnds, LeaveTheDeviceAsItWasFound) {
    const OpenEnd& c = GetParam();
    fail(c.failing, c.request, c.use);
    g_driver.rewritesSpeed = c.rewritesSpeed;
    EXPECT_EQ(port.Open(pty.path(), c.bitrate, "8N1", 32), c.code);
    port.Close();
    expectAsFound();
}

INSTANTIATE_TEST_SUITE_P(
    EachWay, OpenEnds,
    testing::Values(
        OpenEnd{"Opened", "", 0, 1, 0, false, 9600},
        OpenEnd{"DeviceOpen", "open", 0, 1, SERPORT_E_CREATEFILE, false, 9600},
        OpenEnd{"ExclusiveMode", "ioctl", TIOCEXCL, 1, SERPORT_E_SETUPCOMM, false, 9600},
        OpenEnd{"NonBlockingMode", "fcntl", 0, 1, SERPORT_E_SETCOMMTIMEOUTS, false, 9600},
        OpenEnd{"ReadSettings", "tcgetattr", 0, 1, SERPORT_E_GETCOMMSTATE, false, 9600},
        OpenEnd{"UnofferedRate", "", 0, 1, SERPORT_E_INVALID_ARG, false, 14400},
        OpenEnd{"WriteSettings", "tcsetattr", 0, 1, SERPORT_E_SETCOMMSTATE, false, 9600},
        OpenEnd{"ReadSettingsBack", "tcgetattr", 0, 2, SERPORT_E_SETCOMMSTATE, false, 9600},
        OpenEnd{"DriverRewritesTheSpeed", "", 0, 1, SERPORT_E_SETCOMMSTATE, true, 460800},
        OpenEnd{"Event", "eventfd", 0, 2, SERPORT_E_CREATEEVENT, false, 9600},
        OpenEnd{"Worker", "pthread_create", 0, 1, SERPORT_E_CREATETHREAD, false, 9600}),
    [](const testing::TestParamInfo<OpenEnd>& p) { return std::string(p.param.name); });

TEST_F(DeviceState, LineOperationsAreUndoneByClose) {
    ASSERT_EQ(port.Open(pty.path(), 9600, "8N1", 32), 0);
    EXPECT_EQ(g_driver.lines & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS) << "raised by Open";
    EXPECT_NE(g_driver.flags & ASYNC_LOW_LATENCY, 0) << "low latency while open";
    ASSERT_EQ(port.ClearRTS(), 0);
    ASSERT_EQ(port.SetFlowRtsCts(), 0);
    port.Close();
    expectAsFound();
}

TEST_F(DeviceState, LowLatencyTheDriverAlreadyHadStaysOn) {
    g_driver.flags |= ASYNC_LOW_LATENCY;
    before = g_driver;
    ASSERT_EQ(port.Open(pty.path(), 9600, "8N1", 32), 0);
    port.Close();
    EXPECT_EQ(g_driver.flags, before.flags);
}

// A line setting a previous owner left, and what Open (and XON/XOFF flow control after it) must
// put in force instead.
struct Leftover {
    const char* name;
    void (*leave)(struct termios& tio);
    const char* format;
    bool (*established)(const struct termios& tio);
};

void PrintTo(const Leftover& c, std::ostream* out) { *out << c.name; }

class LeftoverSettings : public DeviceState, public testing::WithParamInterface<Leftover> {};

TEST_P(LeftoverSettings, GiveWayToWhatOpenAndTheFlowModeEstablish) {
    const Leftover& c = GetParam();
    c.leave(g_driver.settings);
    before = g_driver;
    ASSERT_EQ(port.Open(pty.path(), 9600, c.format, 32), 0);
    EXPECT_TRUE(c.established(g_driver.settings)) << "after Open";
    ASSERT_EQ(port.SetFlowXonXoff(), 0);
    EXPECT_TRUE(c.established(g_driver.settings)) << "under XON/XOFF";
    port.Close();
    expectAsFound();
}

INSTANTIATE_TEST_SUITE_P(
    EachSetting, LeftoverSettings,
    testing::Values(
        Leftover{"SpaceParityBecomesEven", [](struct termios& tio) { tio.c_cflag |= CMSPAR; }, "8E1",
                 [](const struct termios& tio) {
                     return (tio.c_cflag & (PARENB | PARODD | CMSPAR)) == PARENB;
                 }},
        Leftover{"MarkParityBecomesOdd", [](struct termios& tio) { tio.c_cflag |= CMSPAR | PARODD; }, "8O1",
                 [](const struct termios& tio) {
                     return (tio.c_cflag & (PARENB | PARODD | CMSPAR)) == (PARENB | PARODD);
                 }},
        Leftover{"OtherFlowCharacters",
                 [](struct termios& tio) { tio.c_cc[VSTART] = 0x01; tio.c_cc[VSTOP] = 0x02; }, "8N1",
                 [](const struct termios& tio) { return tio.c_cc[VSTART] == 0x11 && tio.c_cc[VSTOP] == 0x13; }},
        Leftover{"HangUpOnCloseOffStaysOff", [](struct termios& tio) { tio.c_cflag &= ~HUPCL; }, "8N1",
                 [](const struct termios& tio) { return (tio.c_cflag & HUPCL) == 0; }},
        Leftover{"HangUpOnCloseOnStaysOn", [](struct termios& tio) { tio.c_cflag |= HUPCL; }, "8N1",
                 [](const struct termios& tio) { return (tio.c_cflag & HUPCL) != 0; }},
        Leftover{"CaseFoldingAndBellOff", [](struct termios& tio) { tio.c_iflag |= IUCLC | IMAXBEL; }, "8N1",
                 [](const struct termios& tio) { return (tio.c_iflag & (IUCLC | IMAXBEL)) == 0; }}),
    [](const testing::TestParamInfo<Leftover>& p) { return std::string(p.param.name); });

// The wait for a worker that will not end follows the monotonic clock, which no one sets.
TEST_F(DeviceState, CloseWaitsForTheWorkerOnTheMonotonicClock) {
    ASSERT_EQ(port.Open(pty.path(), 9600, "8N1", 32), 0);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    port.Close();
    EXPECT_EQ(g_joinClock, CLOCK_MONOTONIC);
    long long ms = (g_joinDeadline.tv_sec - now.tv_sec) * 1000LL + (g_joinDeadline.tv_nsec - now.tv_nsec) / 1000000;
    EXPECT_GE(ms, 4990);
    EXPECT_LE(ms, 5100);
}

// Another program holds the device: its lock (and, for root, its exclusive mode) refuses the
// port, and its queued bytes in both directions and its exclusive mode stay as they were.
class AnotherHolder : public testing::Test {
protected:
    void SetUp() override {
        holder = ::open(pty.path(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    void TearDown() override { ::close(holder); }

    void queueBytesBothWays() {
        ASSERT_EQ(::write(holder, "to-far", 6), 6);  // waits for the far side to read it
        pty.send({'t', 'o', '-', 'h', 'o', 'l', 'd', 'e', 'r'});
        ASSERT_TRUE(eventually([&] {
            int waiting = 0;
            return ioctl(holder, FIONREAD, &waiting) == 0 && waiting == 9;
        }));
    }

    void expectQueuesUntouched() {
        EXPECT_EQ(pty.receive(6, 500), std::vector<uint8_t>({'t', 'o', '-', 'f', 'a', 'r'}));
        char got[16] = {};
        EXPECT_EQ(::read(holder, got, sizeof got), 9);
        EXPECT_STREQ(got, "to-holder");
    }

    PtyPair pty;
    int holder = -1;
};

TEST_F(AnotherHolder, RefusedOpenLetsTheDeviceGoUntouched) {
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(ioctl(holder, TIOCEXCL, nullptr), 0);  // only root gets past it
    }
    queueBytesBothWays();
    {
        SerPort port;
        int rc = port.Open(pty.path(), 9600, "8N1", 32);
        int error = errno;
        EXPECT_EQ(rc, SERPORT_E_CREATEFILE);
        EXPECT_EQ(error, EBUSY);
        EXPECT_FALSE(port.isOpen());
        EXPECT_EQ(port.Check(pty.path()), SERPORT_CHECK_ACCESS_DENIED);  // a later call finds nothing left
        EXPECT_EQ(port.Open(pty.path(), 9600, "8N1", 32), SERPORT_E_CREATEFILE);
        port.Close();
    }  // and the destructor
    expectQueuesUntouched();
    if (root) {
        EXPECT_EQ(exclusive_mode(holder), 1) << "the holder's exclusive mode";
    }
}

// Root gets past exclusive mode alone; the port uses the device and leaves the mode set, as it
// found it.
TEST_F(AnotherHolder, ExclusiveModeSetBeforeTheOpenStaysSet) {
    if (geteuid() != 0) GTEST_SKIP() << "only root opens a device in exclusive mode";
    ASSERT_EQ(flock(holder, LOCK_UN), 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL, nullptr), 0);
    SerPort port;
    ASSERT_EQ(port.Open(pty.path(), 9600, "8N1", 32), 0);
    port.Close();
    EXPECT_EQ(exclusive_mode(holder), 1);
}

// A stop character left as 0x01 made the kernel swallow the target's 0x01 under XON/XOFF.
TEST(LeftoverOnAPty, AStopCharacterLeftBehindSwallowsNoByte) {
    PtyPair pty;
    struct termios tio;
    ASSERT_EQ(tcgetattr(pty.slave(), &tio), 0);
    tio.c_cc[VSTART] = 0x02;
    tio.c_cc[VSTOP] = 0x01;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &tio), 0);
    SerPort port;
    ASSERT_EQ(port.Open(pty.path(), 9600, "8N1", 32), 0);
    ASSERT_EQ(port.SetFlowXonXoff(), 0);
    pty.send({0x01, 0x41, 0x02, 0x42});
    ASSERT_TRUE(eventually([&] { return port.PendingReads() == 4; }, 1000)) << port.PendingReads();
    uint8_t got[4];
    ASSERT_EQ(port.Read(got, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 4), std::vector<uint8_t>({0x01, 0x41, 0x02, 0x42}));
}

}  // namespace
