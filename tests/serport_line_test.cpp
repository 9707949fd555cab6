// The port's line control and status: the modem lines, flow-control modes, breaks, the modem
// input lines and the line-error counts. A pty has no modem lines and no error counters, so a
// fake device behind the platform-call table answers those ioctls; the rest is the real pty.
#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "posix_calls.h"
#include "pty_pair.h"
#include "serport.h"

namespace {

// One port operation, as the tables name it.
struct LineOp {
    const char* name;
    int (*run)(SerPort& port);
    int member;
};

SerPort_INFO g_info;

const LineOp kSetRTS = {"SetRTS", [](SerPort& p) { return p.SetRTS(); }, SERPORT_ID_SETRTS};
const LineOp kClearRTS = {"ClearRTS", [](SerPort& p) { return p.ClearRTS(); }, SERPORT_ID_CLEARRTS};
const LineOp kSetDTR = {"SetDTR", [](SerPort& p) { return p.SetDTR(); }, SERPORT_ID_SETDTR};
const LineOp kClearDTR = {"ClearDTR", [](SerPort& p) { return p.ClearDTR(); }, SERPORT_ID_CLEARDTR};
const LineOp kSetFlowOff = {"SetFlowOff", [](SerPort& p) { return p.SetFlowOff(); }, SERPORT_ID_SETFLOWOFF};
const LineOp kSetFlowXonXoff = {"SetFlowXonXoff", [](SerPort& p) { return p.SetFlowXonXoff(); },
                                SERPORT_ID_SETFLOWXONXOFF};
const LineOp kSetFlowRtsCts = {"SetFlowRtsCts", [](SerPort& p) { return p.SetFlowRtsCts(); },
                               SERPORT_ID_SETFLOWRTSCTS};
const LineOp kSendBreak = {"SendBreak", [](SerPort& p) { return p.SendBreak(); }, SERPORT_ID_SENDBREAK};
const LineOp kGetLineState = {"GetLineState", [](SerPort& p) { return p.GetLineState(); },
                              SERPORT_ID_GETLINESTATE};
const LineOp kGetComStatus = {"GetComStatus", [](SerPort& p) { return p.GetComStatus(&g_info); },
                              SERPORT_ID_GETCOMSTATUS};
const LineOp kGetComStatusNull = {"GetComStatusNull", [](SerPort& p) { return p.GetComStatus(nullptr); },
                                  SERPORT_ID_GETCOMSTATUS};

// The fake device: what its driver answers and every line call the port made. Only the
// application thread reaches it (the worker makes no ioctl or termios calls).
struct LineCall {
    unsigned long request;
    int bits;  // the lines asked for by TIOCMBIS / TIOCMBIC
    Clock::time_point at;
};

struct FakeDevice {
    int modemBits = 0;                        // what TIOCMGET reports
    struct serial_icounter_struct counts{};  // what TIOCGICOUNT reports
    unsigned long failRequest = 0;            // this ioctl fails...
    int failError = 0;                        // ...with this errno
    int setattrError = 0;                     // tcsetattr fails with this errno when not 0
    tcflag_t droppedOnReadBack = 0;           // c_cflag bits the driver quietly leaves out
    int queuedOutput = 0;                     // what TIOCOUTQ reports...
    int drainedPerLook = 0;                   // ...less this much at each look
    int interruptedBreaks = 0;                // TIOCSBRK calls a signal interrupts
    std::vector<LineCall> lineCalls;
    std::vector<struct termios> written;      // every termios handed to tcsetattr
};

FakeDevice g_device;
PosixCalls g_real = posix_real_calls();

bool is_line_request(unsigned long request) {
    return request == TIOCMBIS || request == TIOCMBIC || request == TIOCMGET || request == TIOCSBRK ||
           request == TIOCCBRK || request == TIOCGICOUNT;
}

int fake_ioctl(int fd, unsigned long request, void* arg) {
    if (request == TIOCOUTQ) {
        *static_cast<int*>(arg) = g_device.queuedOutput;
        g_device.queuedOutput -= std::min(g_device.queuedOutput, g_device.drainedPerLook);
        return 0;
    }
    if (!is_line_request(request)) return g_real.ioctl(fd, request, arg);
    bool setsLines = request == TIOCMBIS || request == TIOCMBIC;
    g_device.lineCalls.push_back({request, setsLines ? *static_cast<int*>(arg) : 0, Clock::now()});
    if (request == g_device.failRequest) { errno = g_device.failError; return -1; }
    if (request == TIOCSBRK && g_device.interruptedBreaks > 0) {
        --g_device.interruptedBreaks;
        errno = EINTR;
        return -1;
    }
    if (request == TIOCMGET) *static_cast<int*>(arg) = g_device.modemBits;
    if (request == TIOCGICOUNT) *static_cast<struct serial_icounter_struct*>(arg) = g_device.counts;
    return 0;
}

int fake_tcsetattr(int fd, int when, const struct termios* tio) {
    g_device.written.push_back(*tio);
    if (g_device.setattrError != 0) { errno = g_device.setattrError; return -1; }
    return g_real.tcsetattr(fd, when, tio);
}

int fake_tcgetattr(int fd, struct termios* tio) {
    int rc = g_real.tcgetattr(fd, tio);
    tio->c_cflag &= ~g_device.droppedOnReadBack;
    return rc;
}

std::string flow_bits(const struct termios& tio) {
    return std::string("crtscts=") + ((tio.c_cflag & CRTSCTS) ? "1" : "0") +
           " ixon=" + ((tio.c_iflag & IXON) ? "1" : "0") + " ixoff=" + ((tio.c_iflag & IXOFF) ? "1" : "0") +
           " ixany=" + ((tio.c_iflag & IXANY) ? "1" : "0");
}

// Everything but the flow-control bits.
bool same_other_settings(const struct termios& a, const struct termios& b) {
    const tcflag_t inputFlow = IXON | IXOFF | IXANY;
    return (a.c_iflag & ~inputFlow) == (b.c_iflag & ~inputFlow) && a.c_oflag == b.c_oflag &&
           (a.c_cflag & ~CRTSCTS) == (b.c_cflag & ~CRTSCTS) && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

std::string describe(const SerPort_INFO& info) {
    std::string text;
    const std::pair<const char*, bool> fields[] = {
        {"break", info.breakSeen},     {"parity", info.parityError}, {"framing", info.framingError},
        {"overrun", info.overrunError}, {"rxOverflow", info.rxOverflow}, {"any", info.anyError},
        {"valid", info.valid}};
    for (const auto& field : fields)
        if (field.second) text += std::string(text.empty() ? "" : " ") + field.first;
    return text.empty() ? "none" : text;
}

// Test names from the cases' own names.
template <typename Case>
std::string named(const testing::TestParamInfo<Case>& p) { return p.param.name; }
template <typename Case>
std::string op_named(const testing::TestParamInfo<Case>& p) { return p.param.op.name; }

std::string message(int member, int code) { return SerPort_Exception(member, code).what(); }

std::string failure_text(int error) { return std::string("failed: ") + std::strerror(error); }

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class LineOnFakeDevice : public testing::Test {
protected:
    void SetUp() override {
        g_device = FakeDevice();
        // Errors the line saw before the port was opened: none of them is the port's to report.
        g_device.counts.brk = 3;
        g_device.counts.parity = 5;
        g_device.counts.frame = 7;
        g_device.counts.overrun = 11;
        g_device.counts.buf_overrun = 13;
        posix_calls.ioctl = fake_ioctl;
        posix_calls.tcsetattr = fake_tcsetattr;
        posix_calls.tcgetattr = fake_tcgetattr;
        openPort();
    }
    void TearDown() override {
        port.Close();  // the worker has ended before the table is put back
        posix_calls = posix_real_calls();
    }

    void openPort() {
        ASSERT_EQ(port.Open(pty.path(), 9600, "8N1", 32), 0);
        ASSERT_FALSE(g_device.written.empty());
        openSettings = g_device.written.back();
        forgetCalls();
    }

    void forgetCalls() {
        g_device.lineCalls.clear();
        g_device.written.clear();
    }

    void failIoctl(unsigned long request, int error) {
        g_device.failRequest = request;
        g_device.failError = error;
    }

    PtyPair pty;
    SerPort port;
    struct termios openSettings;
};

// Each operation and the platform call behind it, when that call fails.
struct PlatformFailure {
    LineOp op;
    unsigned long failingIoctl;  // 0: tcsetattr fails instead
    int error;
    int code;
};

void PrintTo(const PlatformFailure& c, std::ostream* out) { *out << c.op.name; }

class LinePlatformFailures : public LineOnFakeDevice, public testing::WithParamInterface<PlatformFailure> {};

TEST_P(LinePlatformFailures, ReturnTheirCodeWithTheSystemText) {
    const PlatformFailure& c = GetParam();
    if (c.failingIoctl != 0) failIoctl(c.failingIoctl, c.error);
    else g_device.setattrError = c.error;
    int rc = c.op.run(port);
    std::string text = message(c.op.member, rc);
    EXPECT_EQ(rc, c.code);
    EXPECT_TRUE(ends_with(text, failure_text(c.error))) << text;
    EXPECT_TRUE(port.isOpen());
}

INSTANTIATE_TEST_SUITE_P(
    EachCall, LinePlatformFailures,
    testing::Values(PlatformFailure{kSetRTS, TIOCMBIS, EIO, SERPORT_E_ESCAPECOMMFUNCTION},
                    PlatformFailure{kClearRTS, TIOCMBIC, ENODEV, SERPORT_E_ESCAPECOMMFUNCTION},
                    PlatformFailure{kSetDTR, TIOCMBIS, EPERM, SERPORT_E_ESCAPECOMMFUNCTION},
                    PlatformFailure{kClearDTR, TIOCMBIC, ENXIO, SERPORT_E_ESCAPECOMMFUNCTION},
                    PlatformFailure{kSetFlowOff, 0, EIO, SERPORT_E_SETCOMMSTATE},
                    PlatformFailure{kSetFlowXonXoff, 0, EINVAL, SERPORT_E_SETCOMMSTATE},
                    PlatformFailure{kSetFlowRtsCts, 0, ENODEV, SERPORT_E_SETCOMMSTATE},
                    PlatformFailure{kSendBreak, TIOCSBRK, EIO, SERPORT_E_SETCOMMBREAK},
                    PlatformFailure{kSendBreak, TIOCCBRK, ENXIO, SERPORT_E_CLEARCOMMBREAK},
                    PlatformFailure{kGetLineState, TIOCMGET, EBADF, SERPORT_E_GETCOMMMODEMSTATUS},
                    PlatformFailure{kGetComStatus, TIOCGICOUNT, EINVAL, SERPORT_E_CLEARCOMMERROR}),
    [](const testing::TestParamInfo<PlatformFailure>& p) {
        return std::string(p.param.op.name) + (p.param.code == SERPORT_E_CLEARCOMMBREAK ? "Clear" : "");
    });

// The modem outputs: which request, for which line.
struct LineDrive {
    LineOp op;
    unsigned long request;
    int line;
};

void PrintTo(const LineDrive& c, std::ostream* out) { *out << c.op.name; }

class LineDrives : public LineOnFakeDevice, public testing::WithParamInterface<LineDrive> {};

TEST_P(LineDrives, MoveExactlyTheirLine) {
    const LineDrive& c = GetParam();
    EXPECT_EQ(c.op.run(port), 0);
    ASSERT_EQ(g_device.lineCalls.size(), 1u);
    EXPECT_EQ(g_device.lineCalls[0].request, c.request);
    EXPECT_EQ(g_device.lineCalls[0].bits, c.line);
}

INSTANTIATE_TEST_SUITE_P(EachLine, LineDrives,
                         testing::Values(LineDrive{kSetRTS, TIOCMBIS, TIOCM_RTS},
                                         LineDrive{kClearRTS, TIOCMBIC, TIOCM_RTS},
                                         LineDrive{kSetDTR, TIOCMBIS, TIOCM_DTR},
                                         LineDrive{kClearDTR, TIOCMBIC, TIOCM_DTR}),
                         op_named<LineDrive>);

// A flow mode: how to ask for it, the bits it must leave in force, and whether RTS stays the
// application's to drive.
struct FlowMode {
    LineOp set;
    const char* bits;
    bool rtsFree;
};

const FlowMode kFlowModes[] = {
    {kSetFlowOff, "crtscts=0 ixon=0 ixoff=0 ixany=0", true},
    {kSetFlowXonXoff, "crtscts=0 ixon=1 ixoff=1 ixany=0", true},
    {kSetFlowRtsCts, "crtscts=1 ixon=0 ixoff=0 ixany=0", false},
};

void PrintTo(const FlowMode& c, std::ostream* out) { *out << c.set.name; }

using FlowChange = std::tuple<FlowMode, FlowMode>;

class LineFlowChanges : public LineOnFakeDevice, public testing::WithParamInterface<FlowChange> {
protected:
    void SetUp() override {
        LineOnFakeDevice::SetUp();
        ASSERT_EQ(std::get<0>(GetParam()).set.run(port), 0);
        forgetCalls();
    }
};

// Whatever mode came before, and also when the mode asked for is already in force.
TEST_P(LineFlowChanges, WriteTheirFlowBitsAndKeepEverythingElseOpenSet) {
    const FlowMode& to = std::get<1>(GetParam());
    ASSERT_EQ(to.set.run(port), 0);
    ASSERT_EQ(g_device.written.size(), 1u);
    EXPECT_EQ(flow_bits(g_device.written[0]), to.bits);
    EXPECT_TRUE(same_other_settings(g_device.written[0], openSettings));
    struct termios device;
    ASSERT_EQ(tcgetattr(pty.slave(), &device), 0);
    EXPECT_EQ(flow_bits(device), to.bits) << "the device holds what was written";
}

TEST_P(LineFlowChanges, LeaveRtsToTheDriverOnlyUnderHardwareFlow) {
    const FlowMode& to = std::get<1>(GetParam());
    ASSERT_EQ(to.set.run(port), 0);
    forgetCalls();
    int refused = to.rtsFree ? 0 : SERPORT_E_HW_FLOW;
    EXPECT_EQ(port.SetRTS(), refused);
    EXPECT_EQ(port.ClearRTS(), refused);
    EXPECT_EQ(g_device.lineCalls.size(), to.rtsFree ? 2u : 0u) << "a refused call leaves the line alone";
    forgetCalls();
    EXPECT_EQ(port.SetDTR(), 0);
    EXPECT_EQ(port.ClearDTR(), 0);
    EXPECT_EQ(g_device.lineCalls.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(EveryPair, LineFlowChanges,
                         testing::Combine(testing::ValuesIn(kFlowModes), testing::ValuesIn(kFlowModes)),
                         [](const testing::TestParamInfo<FlowChange>& p) {
                             return std::string("From") + (std::get<0>(p.param).set.name + 7) + "To" +
                                    (std::get<1>(p.param).set.name + 7);
                         });

// A device that will not take hardware flow control: refused outright, or quietly left out.
struct FlowRefusal {
    const char* name;
    int setattrError;
    tcflag_t dropped;
    int error;  // what the system text reports
};

void PrintTo(const FlowRefusal& c, std::ostream* out) { *out << c.name; }

class LineFlowRefusals : public LineOnFakeDevice, public testing::WithParamInterface<FlowRefusal> {};

TEST_P(LineFlowRefusals, KeepTheOldModeAndTheNewBitsInTheWorkingCopy) {
    const FlowRefusal& c = GetParam();
    g_device.setattrError = c.setattrError;
    g_device.droppedOnReadBack = c.dropped;
    int rc = port.SetFlowRtsCts();
    std::string text = message(SERPORT_ID_SETFLOWRTSCTS, rc);
    EXPECT_EQ(rc, SERPORT_E_SETCOMMSTATE);
    EXPECT_TRUE(ends_with(text, failure_text(c.error))) << text;
    // The working copy is what the port hands to tcsetattr: it has the RTS/CTS bits.
    ASSERT_EQ(g_device.written.size(), 1u);
    EXPECT_EQ(flow_bits(g_device.written[0]), "crtscts=1 ixon=0 ixoff=0 ixany=0");
    EXPECT_TRUE(same_other_settings(g_device.written[0], openSettings));
    g_device.setattrError = 0;
    g_device.droppedOnReadBack = 0;
    forgetCalls();
    EXPECT_EQ(port.SetRTS(), 0) << "still no flow control";
    EXPECT_EQ(g_device.lineCalls.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(HardwareFlow, LineFlowRefusals,
                         testing::Values(FlowRefusal{"Refused", EIO, 0, EIO},
                                         FlowRefusal{"QuietlyLeftOut", 0, CRTSCTS, EINVAL}),
                         named<FlowRefusal>);

TEST_F(LineOnFakeDevice, BreakIsHeldForAQuarterSecond) {
    EXPECT_EQ(port.SendBreak(), 0);
    ASSERT_EQ(g_device.lineCalls.size(), 2u);
    EXPECT_EQ(g_device.lineCalls[0].request, (unsigned long)TIOCSBRK);
    EXPECT_EQ(g_device.lineCalls[1].request, (unsigned long)TIOCCBRK);
    EXPECT_GE(ms_since(g_device.lineCalls[0].at, g_device.lineCalls[1].at), 250);
}

// The kernel starts a break only on an empty output queue: the port waits for the bytes queued
// before it, and gives up rather than wait on a line that does not move.
TEST_F(LineOnFakeDevice, BreakFollowsTheBytesAlreadyQueued) {
    g_device.queuedOutput = 64;
    g_device.drainedPerLook = 8;
    EXPECT_EQ(port.SendBreak(), 0);
    EXPECT_EQ(g_device.queuedOutput, 0) << "started before the queue had drained";
    ASSERT_EQ(g_device.lineCalls.size(), 2u);
    EXPECT_EQ(g_device.lineCalls[0].request, (unsigned long)TIOCSBRK);
}

TEST_F(LineOnFakeDevice, BreakOnAHeldOffLineGivesUpWithoutABreak) {
    g_device.queuedOutput = 96;  // 100 ms of line time at 9600 bit/s, and flow control holds it
    auto start = Clock::now();
    int rc = port.SendBreak();
    EXPECT_EQ(rc, SERPORT_E_SETCOMMBREAK);
    EXPECT_TRUE(ends_with(message(SERPORT_ID_SENDBREAK, rc), failure_text(EBUSY)));
    EXPECT_GE(ms_since(start), 100) << "gave up before the queued bytes had had their time";
    EXPECT_TRUE(g_device.lineCalls.empty()) << "no break was started";
}

TEST_F(LineOnFakeDevice, BreakInterruptedByASignalIsStartedAgain) {
    g_device.interruptedBreaks = 1;
    EXPECT_EQ(port.SendBreak(), 0);
    ASSERT_EQ(g_device.lineCalls.size(), 3u);
    EXPECT_EQ(g_device.lineCalls[1].request, (unsigned long)TIOCSBRK);
    EXPECT_EQ(g_device.lineCalls[2].request, (unsigned long)TIOCCBRK);
}

TEST_F(LineOnFakeDevice, BreakThatCannotStartReturnsAtOnceAndClearsNothing) {
    failIoctl(TIOCSBRK, EIO);
    auto start = Clock::now();
    EXPECT_EQ(port.SendBreak(), SERPORT_E_SETCOMMBREAK);
    EXPECT_LT(ms_since(start), 100);
    EXPECT_EQ(g_device.lineCalls.size(), 1u);
}

TEST_F(LineOnFakeDevice, BreakThatCannotEndIsNotClearedTwice) {
    failIoctl(TIOCCBRK, EIO);
    EXPECT_EQ(port.SendBreak(), SERPORT_E_CLEARCOMMBREAK);
    ASSERT_EQ(g_device.lineCalls.size(), 2u);
    EXPECT_EQ(g_device.lineCalls[1].request, (unsigned long)TIOCCBRK);
}

// The modem status bits and the line-state mask they give.
struct ModemInputs {
    const char* name;
    int modemBits;
    int mask;
};

void PrintTo(const ModemInputs& c, std::ostream* out) { *out << c.name; }

class LineStates : public LineOnFakeDevice, public testing::WithParamInterface<ModemInputs> {};

TEST_P(LineStates, MapEachInputToItsBit) {
    g_device.modemBits = GetParam().modemBits;
    EXPECT_EQ(port.GetLineState(), GetParam().mask);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, LineStates,
    testing::Values(ModemInputs{"CtsAndDcd", TIOCM_CTS | TIOCM_CAR, 5}, ModemInputs{"RiAlone", TIOCM_RNG, 8},
                    ModemInputs{"DcdAlone", TIOCM_CAR, 4}, ModemInputs{"DsrAlone", TIOCM_DSR, 2},
                    ModemInputs{"CtsAlone", TIOCM_CTS, 1}, ModemInputs{"EveryBit", ~0, 15},
                    ModemInputs{"EveryOtherBit", ~(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG), 0}),
    named<ModemInputs>);

// Counters that move between two looks, and what the port reports for them.
struct CounterGrowth {
    const char* name;
    void (*grow)(struct serial_icounter_struct& counts);
    const char* reported;
};

void PrintTo(const CounterGrowth& c, std::ostream* out) { *out << c.name; }

class LineErrorCounts : public LineOnFakeDevice, public testing::WithParamInterface<CounterGrowth> {};

TEST_P(LineErrorCounts, ReportEachErrorOnce) {
    GetParam().grow(g_device.counts);
    ASSERT_EQ(port.GetComStatus(&g_info), 0);
    EXPECT_EQ(describe(g_info), GetParam().reported);
    ASSERT_EQ(port.GetComStatus(&g_info), 0);
    EXPECT_EQ(describe(g_info), "valid") << "already reported";
}

INSTANTIATE_TEST_SUITE_P(
    Counters, LineErrorCounts,
    testing::Values(
        CounterGrowth{"NoneSinceOpen", [](struct serial_icounter_struct&) {}, "valid"},
        CounterGrowth{"Break", [](struct serial_icounter_struct& c) { c.brk++; }, "break any valid"},
        CounterGrowth{"Parity", [](struct serial_icounter_struct& c) { c.parity += 2; }, "parity any valid"},
        CounterGrowth{"Framing", [](struct serial_icounter_struct& c) { c.frame++; }, "framing any valid"},
        CounterGrowth{"Overrun", [](struct serial_icounter_struct& c) { c.overrun++; }, "overrun any valid"},
        CounterGrowth{"DriverBufferOverrun", [](struct serial_icounter_struct& c) { c.buf_overrun++; },
                      "rxOverflow any valid"},
        CounterGrowth{"FramingAndOverrun", [](struct serial_icounter_struct& c) { c.frame++; c.overrun++; },
                      "framing overrun any valid"},
        CounterGrowth{"TrafficAndModemLines",
                      [](struct serial_icounter_struct& c) {
                          c.rx += 9; c.tx += 4; c.cts++; c.dsr++; c.rng++; c.dcd++;
                      },
                      "valid"}),
    named<CounterGrowth>);

TEST_F(LineOnFakeDevice, ErrorCountsStartAtTheFirstGoodLookWhenOpenCouldNotReadThem) {
    port.Close();
    failIoctl(TIOCGICOUNT, EIO);
    openPort();
    failIoctl(0, 0);
    ASSERT_EQ(port.GetComStatus(&g_info), 0);
    EXPECT_EQ(describe(g_info), "valid") << "the errors from before Open are not the port's";
    g_device.counts.brk++;
    ASSERT_EQ(port.GetComStatus(&g_info), 0);
    EXPECT_EQ(describe(g_info), "break any valid");
}

TEST_F(LineOnFakeDevice, FailedStatusWritesNothingAndLosesNoError) {
    failIoctl(TIOCGICOUNT, EIO);
    SerPort_INFO untouched;
    std::memset(&untouched, 0x5a, sizeof untouched);
    SerPort_INFO info = untouched;
    g_device.counts.parity++;
    EXPECT_EQ(port.GetComStatus(&info), SERPORT_E_CLEARCOMMERROR);
    EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
    failIoctl(0, 0);
    ASSERT_EQ(port.GetComStatus(&info), 0);
    EXPECT_EQ(describe(info), "parity any valid");
}

TEST_F(LineOnFakeDevice, NullStatusRecordIsRefusedBeforeTheDriverIsAsked) {
    EXPECT_EQ(port.GetComStatus(nullptr), SERPORT_E_INVALID_ARG);
    EXPECT_TRUE(g_device.lineCalls.empty());
}

class LineOnClosedPort : public LineOnFakeDevice, public testing::WithParamInterface<LineOp> {};

void PrintTo(const LineOp& c, std::ostream* out) { *out << c.name; }

// Closed after hardware flow was in force: "not open" comes before every other answer.
TEST_P(LineOnClosedPort, RefusesBeforeTouchingTheDevice) {
    ASSERT_EQ(port.SetFlowRtsCts(), 0);
    port.Close();
    forgetCalls();
    EXPECT_EQ(GetParam().run(port), SERPORT_E_NOT_OPEN);
    EXPECT_TRUE(g_device.lineCalls.empty());
    EXPECT_TRUE(g_device.written.empty());
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, LineOnClosedPort,
                         testing::Values(kSetRTS, kClearRTS, kSetDTR, kClearDTR, kSetFlowOff, kSetFlowXonXoff,
                                         kSetFlowRtsCts, kSendBreak, kGetLineState, kGetComStatus,
                                         kGetComStatusNull),
                         named<LineOp>);

class LineOnPty : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(port.Open(pty.path(), 9600, "8N1", 32), 0); }

    PtyPair pty;
    SerPort port;
};

// What a real pty answers. Linux 6.18 gives ENOTTY for every modem-line and counter request
// (the tty core has no such driver hooks for a pty); older kernels answer some with EINVAL.
// A pty takes a break as a no-op, and keeps every flow-control bit it is given.
struct PtyAnswer {
    LineOp op;
    int code;
};

void PrintTo(const PtyAnswer& c, std::ostream* out) { *out << c.op.name; }

class LinePtyAnswers : public LineOnPty, public testing::WithParamInterface<PtyAnswer> {};

TEST_P(LinePtyAnswers, AreThoseOfADeviceWithoutModemLines) {
    const PtyAnswer& c = GetParam();
    int rc = c.op.run(port);
    int error = errno;
    std::string text = message(c.op.member, rc);
    EXPECT_EQ(rc, c.code);
    if (c.code < 0) {
        EXPECT_TRUE(error == ENOTTY || error == EINVAL) << std::strerror(error);
        EXPECT_TRUE(ends_with(text, failure_text(error))) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachOperation, LinePtyAnswers,
    testing::Values(PtyAnswer{kSetRTS, SERPORT_E_ESCAPECOMMFUNCTION},
                    PtyAnswer{kClearRTS, SERPORT_E_ESCAPECOMMFUNCTION},
                    PtyAnswer{kSetDTR, SERPORT_E_ESCAPECOMMFUNCTION},
                    PtyAnswer{kClearDTR, SERPORT_E_ESCAPECOMMFUNCTION},
                    PtyAnswer{kGetLineState, SERPORT_E_GETCOMMMODEMSTATUS},
                    PtyAnswer{kGetComStatus, SERPORT_E_CLEARCOMMERROR}, PtyAnswer{kSendBreak, 0},
                    PtyAnswer{kSetFlowOff, 0}, PtyAnswer{kSetFlowXonXoff, 0}, PtyAnswer{kSetFlowRtsCts, 0}),
    op_named<PtyAnswer>);

TEST_F(LineOnPty, BreakHoldsTheCallerForAQuarterSecond) {
    auto start = Clock::now();
    EXPECT_EQ(port.SendBreak(), 0);
    EXPECT_GE(ms_since(start), 250);
}

// The line operations share the device with a running worker and leave its rings alone.
TEST_F(LineOnPty, BytesFlowBothWaysWhileTheLineIsDriven) {
    std::vector<uint8_t> out = pattern(2000, 1), in = pattern(2000, 2);
    for (uint8_t& byte : in)
        if (byte == 0x11 || byte == 0x13) byte = 0x20;  // no XON/XOFF bytes, whatever the mode
    ASSERT_EQ(port.Write(out.data(), (unsigned)out.size()), (int)out.size());
    pty.send(in);
    for (const LineOp& op : {kSetFlowRtsCts, kSetFlowXonXoff, kSetFlowOff, kSetDTR, kGetLineState,
                             kGetComStatus, kSendBreak, kSetFlowOff})
        op.run(port);
    EXPECT_EQ(pty.receive(out.size()), out);
    ASSERT_TRUE(eventually([&] { return port.PendingReads() == (int)in.size(); }));
    std::vector<uint8_t> got(in.size());
    EXPECT_EQ(port.Read(got.data(), (unsigned)got.size()), (int)in.size());
    EXPECT_EQ(got, in);
}

}  // namespace
