// vm_devstate DEVICE -- COMMAND...: runs COMMAND while holding DEVICE open, as another program that
// uses the line would, and reports the device's state around it:
//   @@RIG state before <state>      as found, once this holder has left it as another program may
//                                   (leave_as_another_program_would)
//   @@RIG state during low_latency=1,1,0 latency=1,1,16
//                                   looked at as each of the command's progress lines came: the
//                                   driver's low-latency flag and the latency timer, line by line
//   @@RIG state after <state>       once the command has ended
// The command's output passes through line by line; the exit status is the command's.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device_state.h"

namespace {

int fail(const std::string& what) {
    std::printf("@@RIG fail devstate: %s: %s\n", what.c_str(), std::strerror(errno));
    return 125;
}

void print_state(const char* phase, int fd, const char* device) {
    DeviceState state;
    std::string error;
    if (read_device_state(fd, device, state, error))
        std::printf("@@RIG state %s %s\n", phase, describe(state).c_str());
    else
        std::printf("@@RIG state %s unreadable: %s failed: %s\n", phase, error.c_str(), std::strerror(errno));
    std::fflush(stdout);
}

struct DuringRun {
    std::string lowLatency, latencies;

    void look(int fd, const char* device) {
        struct serial_struct serial;
        bool on = ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY);
        append(lowLatency, on ? "1" : "0");
        append(latencies, std::to_string(read_latency_ms(device)));
    }

    static void append(std::string& list, const std::string& value) {
        list += (list.empty() ? "" : ",") + value;
    }

    std::string text() const {
        return "low_latency=" + (lowLatency.empty() ? "none" : lowLatency) +
               " latency=" + (latencies.empty() ? "none" : latencies);
    }
};

pid_t start(char** command, int& output) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execv(command[0], command);
        _exit(127);
    }
    close(pipeFds[1]);
    output = pipeFds[0];
    return child;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: vm_devstate DEVICE -- COMMAND...\n");
        return 2;
    }
    const char* device = argv[1];
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return fail(std::string("open ") + device);
    std::string failed;
    if (!leave_as_another_program_would(fd, device, failed)) return fail(failed);
    print_state("before", fd, device);

    int output;
    pid_t child = start(argv + 3, output);
    if (child < 0) return fail("fork");
    FILE* text = fdopen(output, "r");
    DuringRun during;
    char line[4096];
    while (std::fgets(line, sizeof line, text) != nullptr) {
        if (std::strncmp(line, "Transferring... ", 16) == 0) during.look(fd, device);
        std::fputs(line, stdout);
        std::fflush(stdout);
    }
    std::fclose(text);
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    std::printf("@@RIG state during %s\n", during.text().c_str());
    print_state("after", fd, device);
    close(fd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
