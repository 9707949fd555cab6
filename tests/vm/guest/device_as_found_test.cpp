// Leave the device as found: low latency on while the port is open, and after Close every part of
// the state as it was, whatever was done meanwhile. The modem lines are found raised: the kernel
// raises DTR and RTS at every open of a tty, the port's own included.
#include "real_port.h"

namespace {

class DeviceAsFound : public RealPort {
protected:
    void SetUp() override {
        RealPort::SetUp();
        leaveDeviceAsAnotherProgramWould();
    }
};

TEST_F(DeviceAsFound, LowLatencyIsOnWhileThePortIsOpen) {
    ASSERT_EQ(driverFlags() & ASYNC_LOW_LATENCY, 0) << "the driver starts without low latency";
    openPort();
    EXPECT_NE(driverFlags() & ASYNC_LOW_LATENCY, 0);
    if (read_latency_ms(device) >= 0) {
        EXPECT_EQ(read_latency_ms(device), 1) << "the adapter's latency timer";
    }
}

void lines_down(SerPort& port) {
    ASSERT_EQ(port.ClearDTR(), 0);
    ASSERT_EQ(port.ClearRTS(), 0);
}

void hardware_flow(SerPort& port) { ASSERT_EQ(port.SetFlowRtsCts(), 0); }
void software_flow(SerPort& port) { ASSERT_EQ(port.SetFlowXonXoff(), 0); }
void a_break(SerPort& port) { ASSERT_EQ(port.SendBreak(), 0); }
void nothing(SerPort&) {}

TEST_F(DeviceAsFound, CloseLeavesTheDeviceAsFound) {
    const struct { const char* whileOpen; void (*act)(SerPort&); } cases[] = {
        {"nothing", nothing},
        {"DTR and RTS cleared", lines_down},
        {"RTS/CTS flow", hardware_flow},
        {"XON/XOFF flow", software_flow},
        {"a break", a_break},
    };
    std::string found = describe(state());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.whileOpen);
        openPort();
        c.act(port);
        port.Close();
        EXPECT_EQ(describe(state()), found);
    }
}

}  // namespace
