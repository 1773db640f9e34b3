// signalclock_test.cpp - the test bench's clock reads survive a storm of signals. Under
// qemu-i386 the emulator's signal delivery wipes the x87 registers; the test code keeps its
// doubles out of them (SSE math, inlined clock reads), and this checks that it still does.
#include <csignal>
#include <cstring>
#include <sys/time.h>

#include "testsupport.h"

namespace {

void Ignore(int) {}

TEST(SignalClock, ReadsStayMonotonicUnderASignalStorm)
{
    struct sigaction action = {};
    action.sa_handler = Ignore;
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, nullptr);
    itimerval storm = {{0, 50}, {0, 50}};  // a signal every 50 us
    setitimer(ITIMER_REAL, &storm, nullptr);
    long reads = 0, wrong = 0;
    double start = qmtest::NowSeconds(), last = start;
    while (last - start < 1.0 && reads < 100000000) {
        double now = qmtest::NowSeconds();
        double twice = now * 2.0 + 1.0;
        for (int i = 0; i < 50; ++i)
            asm volatile("");  // a moment for a signal to land while the values are live
        wrong += now < last || now - last > 0.5 || twice != now * 2.0 + 1.0;
        last = now;
        ++reads;
    }
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    signal(SIGALRM, SIG_DFL);
    EXPECT_EQ(wrong, 0) << "of " << reads << " clock reads";
}

} // namespace
