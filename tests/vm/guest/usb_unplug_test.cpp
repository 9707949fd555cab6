// An adapter unplugged under an open, idle port: the wait for bytes reports the device's failure
// at once, Close still ends, and an adapter plugged in afterwards opens again.
#include "real_port.h"

namespace {

class UsbUnplug : public RealPort {
protected:
    void SetUp() override {
        RealPort::SetUp();
        // A descriptor held across the unplug keeps the old device's number, and the new adapter
        // would get another name.
        close(watcher);
        watcher = -1;
    }
};

TEST_F(UsbUnplug, AnUnpluggedAdapterEndsTheWaitAtOnce) {
    openPort();
    ASSERT_TRUE(ask_rig("unplug"));
    int64_t unplugged = now_ms();
    int result = port.WaitForReads(2000);
    int error = errno;
    int64_t took = now_ms() - unplugged;
    EXPECT_EQ(result, SERPORT_E_WAITFORSINGLEOBJECT) << "after " << took << " ms";
    EXPECT_EQ(error, EIO) << std::strerror(error);
    EXPECT_LT(took, 1000);

    int64_t closing = now_ms();
    port.Close();
    EXPECT_LT(now_ms() - closing, 1000) << "Close on an unplugged adapter";
    ASSERT_TRUE(ask_rig("plug"));
    ASSERT_TRUE(wait_until([&] { return access(device, F_OK) == 0; }, 10000)) << "no new " << device;
    openPort();
}

}  // namespace
