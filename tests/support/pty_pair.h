// A pseudo-terminal pair standing in for a serial device: the port opens the slave by its path,
// the test plays the far side on the master.
#ifndef QUORVANE_TESTS_SUPPORT_PTY_PAIR_H
#define QUORVANE_TESTS_SUPPORT_PTY_PAIR_H

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

class PtyPair {
public:
    PtyPair() {
        char name[128];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        path_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        struct termios raw;
        tcgetattr(master_, &raw);
        cfmakeraw(&raw);
        tcsetattr(master_, TCSANOW, &raw);
    }
    ~PtyPair() {
        closeMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const char* path() const { return path_.c_str(); }
    int master() const { return master_; }
    // The test's own descriptor to the slave: the device's settings can be read through it.
    int slave() const { return slave_; }

    void closeMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    void send(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += (size_t)n;
            else waitFor(POLLOUT, 1000);
        }
    }

    // Reads from the far side until count bytes have come or timeoutMs has passed.
    std::vector<uint8_t> receive(size_t count, int timeoutMs = 3000) const {
        std::vector<uint8_t> got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            uint8_t buf[4096];
            ssize_t n = ::read(master_, buf, sizeof buf < count - got.size() ? sizeof buf : count - got.size());
            if (n > 0) got.insert(got.end(), buf, buf + n);
            else waitFor(POLLIN, 20);
        }
        return got;
    }

private:
    void waitFor(short events, int ms) const {
        struct pollfd fd = {master_, events, 0};
        poll(&fd, 1, ms);
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Open descriptors of this process, to show that nothing leaks.
inline int open_descriptor_count() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

#endif
