// What only the 16550 can show: inputs wired to outputs in loopback, a break from the host counted
// by the driver, and a clock that cannot make every rate the port library offers.
#include "real_port.h"

namespace {

// The serial core's extra modem bits (the kernel's asm/termios.h, which cannot be included beside
// the C library's termios.h).
const int TIOCM_OUT1 = 0x2000;
const int TIOCM_OUT2 = 0x4000;
const int TIOCM_LOOP = 0x8000;

class Uart16550 : public RealPort {
protected:
    void SetUp() override {
        RealPort::SetUp();
        ASSERT_TRUE(isUart16550()) << device << " is not a 16550: these cases are for /dev/ttyS1";
    }
};

// In loopback the 16550 wires its outputs to its inputs: DTR to DSR, RTS to CTS, OUT1 to RI and
// OUT2 (which the driver keeps raised for its interrupts) to DCD. So every input bit can be set
// from here, one at a time, and the line state read through the real driver.
TEST_F(Uart16550, LineStateFollowsTheLoopedBackOutputs) {
    openPort();
    int loop = TIOCM_LOOP;
    ASSERT_EQ(ioctl(watcher, TIOCMBIS, &loop), 0) << std::strerror(errno);
    const struct { const char* outputs; int set; int lineState; } cases[] = {
        {"none", 0, SERPORT_LINE_DCD},
        {"DTR", TIOCM_DTR, SERPORT_LINE_DCD | SERPORT_LINE_DSR},
        {"RTS", TIOCM_RTS, SERPORT_LINE_DCD | SERPORT_LINE_CTS},
        {"OUT1", TIOCM_OUT1, SERPORT_LINE_DCD | SERPORT_LINE_RI},
        {"all", BOTH_OUTPUTS | TIOCM_OUT1, 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outputs);
        int lines = TIOCM_LOOP | TIOCM_OUT2 | c.set;
        ASSERT_EQ(ioctl(watcher, TIOCMSET, &lines), 0) << std::strerror(errno);
        EXPECT_EQ(port.GetLineState(), c.lineState);
    }
    int plain = TIOCM_OUT2 | BOTH_OUTPUTS;
    ASSERT_EQ(ioctl(watcher, TIOCMSET, &plain), 0) << std::strerror(errno);
}

// With a 115200 baud base the driver cannot make 460800: it puts another rate in the settings, the
// read-back differs, and Open refuses. The device must be left exactly as it was found.
TEST_F(Uart16550, OpenAtARateItsClockCannotMakeIsRefusedAndLeavesTheDevice) {
    leaveDeviceAsAnotherProgramWould();
    std::string found = describe(state());
    EXPECT_EQ(port.Open(device, 460800, "8N1", 32), SERPORT_E_SETCOMMSTATE);
    EXPECT_FALSE(port.isOpen());
    port.Close();
    EXPECT_EQ(describe(state()), found);
}

bool break_counted(int watcher, int before) {
    struct serial_icounter_struct counts;
    return ioctl(watcher, TIOCGICOUNT, &counts) == 0 && counts.brk > before;
}

// The adapter's emulation reports a break in a packet without data, which ftdi_sio does not count
// (a real FT232 sends a NUL with it): the 16550 alone counts a break the host sends.
TEST_F(Uart16550, ComStatusReportsAReceivedBreakOnce) {
    openPort();
    SerPort_INFO info;
    ASSERT_EQ(port.GetComStatus(&info), 0) << std::strerror(errno);
    EXPECT_TRUE(info.valid);
    EXPECT_FALSE(info.anyError) << "nothing has happened on the line since Open";

    struct serial_icounter_struct counts;
    ASSERT_EQ(ioctl(watcher, TIOCGICOUNT, &counts), 0) << std::strerror(errno);
    ASSERT_TRUE(ask_rig("break " + device_short_name()));
    ASSERT_TRUE(wait_until([&] { return break_counted(watcher, counts.brk); }, 3000)) << "no break arrived";

    ASSERT_EQ(port.GetComStatus(&info), 0) << std::strerror(errno);
    EXPECT_TRUE(info.breakSeen);
    EXPECT_TRUE(info.anyError);
    EXPECT_FALSE(info.parityError || info.framingError || info.overrunError || info.rxOverflow);
    ASSERT_EQ(port.GetComStatus(&info), 0) << std::strerror(errno);
    EXPECT_FALSE(info.anyError || info.breakSeen) << "a break is reported once";
    EXPECT_TRUE(info.valid);
}

}  // namespace
