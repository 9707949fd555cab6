// A fixture for the port library on a real driver: the device under test, a SerPort, and a second
// descriptor (the watcher) through which the test looks at the device as another program would.
// The watcher keeps the device open throughout, so no Close in a test is the device's last.
#ifndef QUORVANE_VM_REAL_PORT_H
#define QUORVANE_VM_REAL_PORT_H

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "device_state.h"
#include "rig_channel.h"
#include "serport.h"

const int BOTH_OUTPUTS = TIOCM_DTR | TIOCM_RTS;

inline int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until condition() holds, for at most limitMs; returns whether it came.
template <typename Condition>
bool wait_until(Condition condition, int limitMs) {
    for (int64_t deadline = now_ms() + limitMs; !condition();) {
        if (now_ms() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class RealPort : public ::testing::Test {
protected:
    const char* device = device_under_test();
    int watcher = -1;
    SerPort port;

    void SetUp() override {
        watcher = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(watcher, 0) << device << ": " << std::strerror(errno);
    }

    void TearDown() override {
        port.Close();
        if (watcher >= 0) close(watcher);
    }

    void openPort(int bitrate = 115200) {
        ASSERT_EQ(port.Open(device, bitrate, "8N1", 32), 0) << device << ": " << std::strerror(errno);
    }

    DeviceState state() {
        DeviceState now;
        std::string failed;
        EXPECT_TRUE(read_device_state(watcher, device, now, failed)) << failed << ": " << std::strerror(errno);
        return now;
    }

    int modemLines() {
        int lines = 0;
        EXPECT_EQ(ioctl(watcher, TIOCMGET, &lines), 0) << std::strerror(errno);
        return lines;
    }

    int driverFlags() { return state().driverFlags; }

    bool isUart16550() {
        struct serial_struct serial;
        return ioctl(watcher, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_16550A;
    }

    void leaveDeviceAsAnotherProgramWould() {
        std::string failed;
        ASSERT_TRUE(leave_as_another_program_would(watcher, device, failed))
            << failed << ": " << std::strerror(errno);
    }
};

#endif
