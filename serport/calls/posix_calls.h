// The platform calls of the POSIX back end, reached through one table so that a test can make
// any of them fail with a chosen errno. The back end never calls these functions directly.
#ifndef QUORVANE_POSIX_CALLS_H
#define QUORVANE_POSIX_CALLS_H

#include <poll.h>
#include <pthread.h>
#include <sys/types.h>
#include <termios.h>

struct PosixCalls {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*flock)(int fd, int operation);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    int (*fcntl)(int fd, int cmd, int arg);
    int (*isatty)(int fd);
    int (*tcgetattr)(int fd, struct termios* settings);
    int (*tcsetattr)(int fd, int when, const struct termios* settings);
    int (*tcflush)(int fd, int queue);
    int (*tcdrain)(int fd);
    ssize_t (*read)(int fd, void* buf, size_t len);
    ssize_t (*write)(int fd, const void* buf, size_t len);
    int (*poll)(struct pollfd* fds, nfds_t count, int timeoutMs);
    int (*eventfd)(unsigned initial, int flags);
    int (*pthread_create)(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                          void* arg);
    int (*pthread_clockjoin_np)(pthread_t thread, void** result, clockid_t clock,
                                const struct timespec* deadline);
};

// The table in use; a test may replace entries and put back posix_real_calls() afterwards.
extern PosixCalls posix_calls;
PosixCalls posix_real_calls();

#endif
