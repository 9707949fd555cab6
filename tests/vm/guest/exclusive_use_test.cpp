// Exclusive use on a real driver: an ordinary user's open is refused by the kernel while the port is
// open, root's second Open by the lock, and neither refusal disturbs the session that holds it.
#include <grp.h>
#include <sys/wait.h>
#include <vector>

#include "real_port.h"

namespace {

const uid_t NOBODY = 65534;

// Runs probe(device) in a child that has become the ordinary user; returns what it returned.
// Only calls that are safe in the child of a threaded process run there.
int as_ordinary_user(const char* device, int (*probe)(const char*)) {
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(250);
        _exit(probe(device));
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 251;
}

// 0 when the device opens, else the open's error.
int open_error(const char* device) {
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

int check_verdict(const char* device) {
    SerPort probe;
    return probe.Check(device);
}

class ExclusiveUse : public RealPort {};

TEST_F(ExclusiveUse, AnOrdinaryUserIsRefusedWhileThePortIsOpen) {
    ASSERT_EQ(as_ordinary_user(device, open_error), 0) << "the device must be open to everyone while free";
    openPort();
    EXPECT_EQ(as_ordinary_user(device, open_error), EBUSY);
    EXPECT_EQ(as_ordinary_user(device, check_verdict), SERPORT_CHECK_ACCESS_DENIED);
    port.Close();
    EXPECT_EQ(as_ordinary_user(device, open_error), 0) << "Close gives the device back";
}

// The rig sends more than the receive ring takes, so bytes also wait in the driver: a refused Open
// that flushed the device, or took its exclusive flag away, would show here.
TEST_F(ExclusiveUse, ASecondOpenIsRefusedAndTheFirstSessionGoesOn) {
    const unsigned SENT = 6000;
    openPort();
    ASSERT_TRUE(ask_rig("send " + device_short_name() + " " + std::to_string(SENT)));
    int waiting = 0;
    // The ring is too full for the worker to read on (it stops once less than a chunk, 64 bytes
    // at 115200, is free) and the driver holds the rest, or the most of it that has come so far.
    ASSERT_TRUE(wait_until([&] { return ioctl(watcher, FIONREAD, &waiting) == 0 && waiting > 1000 &&
                                        port.PendingReads() >= (int)SERPORT_RING_SIZE - 64; }, 5000))
        << "the ring holds " << port.PendingReads() << ", the driver " << waiting;
    std::string before = describe(state());

    SerPort second;
    EXPECT_EQ(second.Open(device, 115200, "8N1", 32), SERPORT_E_CREATEFILE);
    EXPECT_EQ(errno, EBUSY);
    second.Close();

    EXPECT_EQ(describe(state()), before);
    int stillWaiting = 0;
    EXPECT_EQ(ioctl(watcher, FIONREAD, &stillWaiting), 0);
    EXPECT_GE(stillWaiting, waiting) << "the bytes waiting in the driver were flushed";
    EXPECT_EQ(as_ordinary_user(device, open_error), EBUSY) << "the first session lost its exclusive use";

    std::vector<char> got;
    wait_until([&] {
        char chunk[512];
        int n = port.Read(chunk, sizeof chunk);
        got.insert(got.end(), chunk, chunk + (n > 0 ? n : 0));
        return got.size() >= SENT || (n == 0 && port.WaitForReads(500) <= 0);
    }, 10000);
    ASSERT_EQ(got.size(), SENT);
    for (unsigned i = 0; i < SENT; ++i)
        ASSERT_EQ(got[i], pattern_byte(i)) << "byte " << i;
}

}  // namespace
