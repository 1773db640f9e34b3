// elapsed.cpp - millisecond time stamps of the real-time clock and the stopwatch that
// the receiver and the bus client measure their time limits with.
#include <ctime>

#include "seriallink.h"

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
