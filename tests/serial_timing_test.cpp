// Timing and priority helpers of the serial link: the busy wait DelayMs, the millisecond
// stopwatch ElapsedMs (utility library) that the receiver measures with, and the real-time
// priority window with its two warnings.
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sched.h>
#include <sys/time.h>

#include "internal.h"
#include "privileges.h"
#include "seriallink.h"
#include "testsupport.h"

using qmtest::NowSeconds;

namespace {

[[gnu::always_inline]] inline double ThreadCpuSeconds()
{
    return qmclock::Seconds(CLOCK_THREAD_CPUTIME_ID);
}

bool RealTimeAllowed()
{
    sched_param p = {sched_get_priority_max(SCHED_FIFO)};
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) != 0)
        return false;
    p.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &p);
    return true;
}

} // namespace

TEST(DelayMs, WaitsTheWholeTimeAcrossSecondBoundaries)
{
    double t0 = NowSeconds();
    DelayMs(0);
    EXPECT_LT(NowSeconds() - t0, 0.05);

    // 1.5 s: the clock's sub-second field wraps at least once on the way.
    timeval before;
    gettimeofday(&before, nullptr);
    t0 = NowSeconds();
    DelayMs(1500);
    double took = NowSeconds() - t0;
    timeval after;
    gettimeofday(&after, nullptr);
    EXPECT_GE(took, 1.5);
    EXPECT_LT(took, 3.0);
    EXPECT_GE(after.tv_sec - before.tv_sec, 1);

    for (uint32_t ms : {1u, 7u, 250u}) {
        t0 = NowSeconds();
        DelayMs(ms);
        took = NowSeconds() - t0;
        EXPECT_GE(took, ms / 1000.0) << ms;
        EXPECT_LT(took, ms / 1000.0 + 0.5) << ms;
    }
}

// A long delay from the line database sleeps all but its end: a 3000 ms DTR lead at the top
// real-time priority must not hold a core. The wait is still whole on the monotonic clock.
TEST(DelayMs, SleepsALongDelayAndSpinsOnlyItsEnd)
{
    double cpu = ThreadCpuSeconds();
    double t0 = NowSeconds();
    DelayMs(3000);
    double wall = NowSeconds() - t0;
    cpu = ThreadCpuSeconds() - cpu;
    EXPECT_GE(wall, 3.0);
    EXPECT_LT(cpu, 0.5);
}

TEST(ElapsedMs, CountsFromTheStampOnTheRealTimeClock)
{
    TimeStamp now = NowStamp();
    EXPECT_LT(now.ms, 1000);
    EXPECT_LE(std::abs(int64_t(now.sec) - int64_t(time(nullptr))), 1);
    EXPECT_LT(ElapsedMs(now), 500u);

    TimeStamp future = now;
    future.sec += 5;
    EXPECT_EQ(ElapsedMs(future), 0u);
    future = now;
    future.ms = uint16_t((now.ms + 200) % 1000);
    future.sec += now.ms + 200 >= 1000 ? 1 : 0;
    EXPECT_EQ(ElapsedMs(future), 0u);

    // 1.5 s back, with the borrow from the seconds when the milliseconds underflow.
    TimeStamp past = now;
    int64_t total = int64_t(now.sec) * 1000 + now.ms - 1500;
    past.sec = int32_t(total / 1000);
    past.ms = uint16_t(total % 1000);
    uint32_t e = ElapsedMs(past);
    EXPECT_GE(e, 1500u);
    EXPECT_LT(e, 1600u);

    TimeStamp start = NowStamp();
    DelayMs(120);
    e = ElapsedMs(start);
    EXPECT_GE(e, 115u);  // the clock is read at millisecond resolution
    EXPECT_LT(e, 400u);

    // 5 000 000 s back: 5e9 ms, cut to 32 bits.
    past = now;
    past.sec -= 5000000;
    uint32_t cut = uint32_t(5000000000ull);
    EXPECT_LT(ElapsedMs(past) - cut, 1000u);
}

TEST(RtPriority, RaiseGivesHighestFifoAndDropGivesOther)
{
    if (!RealTimeAllowed())
        GTEST_SKIP() << "real-time scheduling refused here";
    auto child = qmtest::InChild([] {
        RtPriorityRaise();
        int prio = 0;
        if (qmtest::CurrentPolicy(&prio) != SCHED_FIFO ||
            prio != sched_get_priority_max(SCHED_FIFO))
            return 1;
        RtPriorityRaise();  // raising twice is harmless
        RtPriorityDrop();
        if (qmtest::CurrentPolicy(&prio) != SCHED_OTHER || prio != 0)
            return 2;
        RtPriorityDrop();
        return qmtest::CurrentPolicy() == SCHED_OTHER ? 0 : 3;
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.err, "");
}

// Without the right to real-time scheduling the raise prints its warning and the thread
// goes on at its old priority; the drop to SCHED_OTHER is always allowed.
TEST(RtPriority, RefusedRaisePrintsTheWarningAndGoesOn)
{
    auto child = qmtest::InChild([] {
        if (!qmtest::RefuseRealTime())
            return 10;
        RtPriorityRaise();
        if (qmtest::CurrentPolicy() != SCHED_OTHER)
            return 11;
        RtPriorityDrop();
        return qmtest::CurrentPolicy() == SCHED_OTHER ? 0 : 12;
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.err, "errore scheduler (entrata): Operation not permitted\n");
}
