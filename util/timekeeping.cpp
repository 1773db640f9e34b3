// timekeeping.cpp - the clocks of the library and the programs built on it: the monotonic
// clock, millisecond stamps of the real-time clock with their stopwatch, and whole sleeps.
#include <cerrno>
#include <ctime>

#include "internal.h"

int64_t MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

TimeStamp NowStamp()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    TimeStamp stamp;
    stamp.sec = int32_t(ts.tv_sec);
    stamp.ms = uint16_t(ts.tv_nsec / 1000000);
    return stamp;
}

uint32_t ElapsedMs(TimeStamp stamp)
{
    TimeStamp now = NowStamp();
    int64_t then = int64_t(stamp.sec) * 1000 + stamp.ms;
    int64_t current = int64_t(now.sec) * 1000 + now.ms;
    if (then < current)
        return uint32_t(current - then);
    return 0;
}

void SleepFully(time_t seconds, long nanoseconds)
{
    timespec left = {seconds, nanoseconds};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
