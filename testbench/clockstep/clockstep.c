/* clockstep.c - libclockstep.so: preloaded (LD_PRELOAD) into a program, it steps the
 * program's real-time clock (clock_gettime with CLOCK_REALTIME or CLOCK_REALTIME_COARSE,
 * gettimeofday, time) by CLOCKSTEP_BY_S seconds once CLOCKSTEP_AFTER_MS milliseconds have
 * passed on the monotonic clock since the library was loaded; the monotonic clock is left
 * alone. With CLOCKSTEP_LOG set, the library appends "loaded <pid>\n" to that file when
 * it is loaded, so that a test can tell it was in the process. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "../preload/preload_scrub.h"

#define CS_EXPORT __attribute__((visibility("default")))

static int (*real_clock_gettime)(clockid_t, struct timespec *);
static int64_t step_at_ns = INT64_MAX; /* monotonic moment of the step */
static int64_t step_by_ns;

static int64_t monotonic_ns(void)
{
    struct timespec ts;
    real_clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}


__attribute__((constructor)) static void clockstep_init(void)
{
    real_clock_gettime = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    const char *after = getenv("CLOCKSTEP_AFTER_MS"), *by = getenv("CLOCKSTEP_BY_S");
    if (after && by) {
        step_at_ns = monotonic_ns() + strtoll(after, NULL, 10) * 1000000;
        step_by_ns = strtoll(by, NULL, 10) * 1000000000;
    }
    const char *log = getenv("CLOCKSTEP_LOG");
    if (log) {
        int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char line[48];
            int n = snprintf(line, sizeof line, "loaded %d\n", (int)getpid());
            if (write(fd, line, (size_t)n) != n) {
            }
            close(fd);
        }
    }
#if defined(__i386__)
    preload_scrub("libclockstep.so");
#endif
}

static int64_t realtime_ns(void)
{
    struct timespec ts;
    real_clock_gettime(CLOCK_REALTIME, &ts);
    int64_t t = (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
    return monotonic_ns() >= step_at_ns ? t + step_by_ns : t;
}

CS_EXPORT int clock_gettime(clockid_t clock, struct timespec *ts)
{
    if (clock != CLOCK_REALTIME && clock != CLOCK_REALTIME_COARSE)
        return real_clock_gettime(clock, ts);
    int64_t t = realtime_ns();
    ts->tv_sec = (time_t)(t / 1000000000);
    ts->tv_nsec = (long)(t % 1000000000);
    return 0;
}

CS_EXPORT int gettimeofday(struct timeval *tv, void *zone)
{
    (void)zone;
    int64_t t = realtime_ns();
    tv->tv_sec = (time_t)(t / 1000000000);
    tv->tv_usec = (suseconds_t)(t % 1000000000 / 1000);
    return 0;
}

CS_EXPORT time_t time(time_t *out)
{
    time_t t = (time_t)(realtime_ns() / 1000000000);
    if (out)
        *out = t;
    return t;
}
