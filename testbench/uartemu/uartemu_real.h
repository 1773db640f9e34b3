/* uartemu_real.h - the lowest layer of libuartemu.so: the next definitions (the C library,
 * or a sanitizer's interceptor) of the calls the library interposes, which every other file
 * uses to reach the real descriptor, and the emulation's clock. */
#ifndef UARTEMU_REAL_H
#define UARTEMU_REAL_H

#include <poll.h>
#include <stdint.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#define UE_HIDDEN __attribute__((visibility("hidden")))

UE_HIDDEN extern ssize_t (*ue_real_read)(int, void *, size_t);
UE_HIDDEN extern ssize_t (*ue_real_write)(int, const void *, size_t);
UE_HIDDEN extern int (*ue_real_ioctl)(int, unsigned long, void *);
UE_HIDDEN extern int (*ue_real_poll)(struct pollfd *, nfds_t, int);
UE_HIDDEN extern int (*ue_real_ppoll)(struct pollfd *, nfds_t, const struct timespec *,
                                      const void *);
/* open64 and openat64 are open and openat where the C library has no separate ones. */
UE_HIDDEN extern int (*ue_real_open)(const char *, int, ...);
UE_HIDDEN extern int (*ue_real_open64)(const char *, int, ...);
UE_HIDDEN extern int (*ue_real_openat)(int, const char *, int, ...);
UE_HIDDEN extern int (*ue_real_openat64)(int, const char *, int, ...);
UE_HIDDEN extern int (*ue_real_close)(int);
UE_HIDDEN extern int (*ue_real_dup2)(int, int);
UE_HIDDEN extern int (*ue_real_dup3)(int, int, int);
UE_HIDDEN extern int (*ue_real_tcgetattr)(int, struct termios *);
UE_HIDDEN extern int (*ue_real_tcsetattr)(int, int, const struct termios *);
UE_HIDDEN extern int (*ue_real_tcflush)(int, int);
UE_HIDDEN extern int (*ue_real_tcdrain)(int);
/* Looks the functions up once; every interposed call makes sure of them first (it may come
 * before the library's constructor has run). */
UE_HIDDEN void ue_resolve(void);

/* CLOCK_MONOTONIC in nanoseconds: the time of the emulated wire and of the trace. */
UE_HIDDEN int64_t ue_now_ns(void);
UE_HIDDEN struct timespec ue_timespec(int64_t ns); /* a moment or a span of it */

#endif
