// delay.cpp - DelayMs, the wait used for the line's timing. All but its last 2 ms are slept
// (a thread at the top real-time priority must not hold a core for a long delay from the
// line database); the last 2 ms are a busy wait, which keeps the end of the delay exact.
#include <cerrno>
#include <ctime>

#include "internal.h"
#include "seriallink.h"

namespace {
constexpr int64_t kSpinNs = 2000000;
} // namespace

// Measured on the monotonic clock in 64-bit nanoseconds: a step of the wall clock, a signal,
// a long preemption or a delay above 71 minutes cannot shorten or stretch it.
void DelayMs(uint32_t ms)
{
    const int64_t target = int64_t(ms) * 1000000;
    const int64_t start = MonotonicNs();
    if (target == 0)
        return;
    const int64_t end = start + target;
    if (target > kSpinNs) {
        const int64_t wake = end - kSpinNs;
        timespec at = {time_t(wake / 1000000000), long(wake % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
    while (MonotonicNs() < end) {
    }
}
