/* uartemu_real.c - the next definitions of the calls that libuartemu.so interposes, looked
 * up with dlsym(RTLD_NEXT) on first use, and the emulation's clock. */
#define _GNU_SOURCE
#include "uartemu_real.h"

#include <dlfcn.h>

ssize_t (*ue_real_read)(int, void *, size_t);
ssize_t (*ue_real_write)(int, const void *, size_t);
int (*ue_real_ioctl)(int, unsigned long, void *);
int (*ue_real_poll)(struct pollfd *, nfds_t, int);
int (*ue_real_ppoll)(struct pollfd *, nfds_t, const struct timespec *, const void *);
int (*ue_real_open)(const char *, int, ...);
int (*ue_real_open64)(const char *, int, ...);
int (*ue_real_openat)(int, const char *, int, ...);
int (*ue_real_openat64)(int, const char *, int, ...);
int (*ue_real_close)(int);
int (*ue_real_dup2)(int, int);
int (*ue_real_dup3)(int, int, int);
int (*ue_real_tcgetattr)(int, struct termios *);
int (*ue_real_tcsetattr)(int, int, const struct termios *);
int (*ue_real_tcflush)(int, int);
int (*ue_real_tcdrain)(int);

#define RESOLVE(var, name) (var = (__typeof__(var))dlsym(RTLD_NEXT, name))

void ue_resolve(void)
{
    if (__atomic_load_n(&ue_real_read, __ATOMIC_ACQUIRE))
        return;
    RESOLVE(ue_real_write, "write");
    RESOLVE(ue_real_ioctl, "ioctl");
    RESOLVE(ue_real_poll, "poll");
    RESOLVE(ue_real_ppoll, "ppoll");
    RESOLVE(ue_real_open, "open");
    if (!RESOLVE(ue_real_open64, "open64"))
        ue_real_open64 = ue_real_open;
    RESOLVE(ue_real_openat, "openat");
    if (!RESOLVE(ue_real_openat64, "openat64"))
        ue_real_openat64 = ue_real_openat;
    RESOLVE(ue_real_close, "close");
    RESOLVE(ue_real_dup2, "dup2");
    RESOLVE(ue_real_dup3, "dup3");
    RESOLVE(ue_real_tcgetattr, "tcgetattr");
    RESOLVE(ue_real_tcsetattr, "tcsetattr");
    RESOLVE(ue_real_tcflush, "tcflush");
    RESOLVE(ue_real_tcdrain, "tcdrain");
    __atomic_store_n(&ue_real_read, (__typeof__(ue_real_read))dlsym(RTLD_NEXT, "read"),
                     __ATOMIC_RELEASE);
}

int64_t ue_now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

struct timespec ue_timespec(int64_t ns)
{
    return (struct timespec){(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
}
