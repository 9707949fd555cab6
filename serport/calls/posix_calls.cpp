#include "posix_calls.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int real_open(const char* path, int flags) { return ::open(path, flags); }
int real_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
int real_fcntl(int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); }
int real_eventfd(unsigned initial, int flags) { return ::eventfd(initial, flags); }

}  // namespace

PosixCalls posix_real_calls() {
    PosixCalls calls;
    calls.open = real_open;
    calls.close = ::close;
    calls.flock = ::flock;
    calls.ioctl = real_ioctl;
    calls.fcntl = real_fcntl;
    calls.isatty = ::isatty;
    calls.tcgetattr = ::tcgetattr;
    calls.tcsetattr = ::tcsetattr;
    calls.tcflush = ::tcflush;
    calls.tcdrain = ::tcdrain;
    calls.read = ::read;
    calls.write = ::write;
    calls.poll = ::poll;
    calls.eventfd = real_eventfd;
    calls.pthread_create = ::pthread_create;
    calls.pthread_clockjoin_np = ::pthread_clockjoin_np;
    return calls;
}

PosixCalls posix_calls = posix_real_calls();
