#include "rig_channel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

bool ask_rig(const std::string& what) {
    static std::mutex asking;
    static unsigned asked = 0;
    std::lock_guard<std::mutex> one_at_a_time(asking);
    std::string id = "p" + std::to_string(getpid()) + "-" + std::to_string(++asked);
    std::printf("@@RIG ask %s %s\n", id.c_str(), what.c_str());
    std::fflush(stdout);
    std::string done = "@@ok " + id, failed = "@@fail " + id;
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        if (done == line) return true;
        if (failed == line) return false;
    }
    return false;
}

const char* device_under_test() {
    const char* device = std::getenv("QUORVANE_VM_DEVICE");
    return device != nullptr ? device : "/dev/ttyS1";
}

std::string device_short_name() {
    const char* base = std::strrchr(device_under_test(), '/');
    return base != nullptr ? base + 1 : device_under_test();
}
