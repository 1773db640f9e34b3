// delay.cpp - DelayMs, the busy wait used for the line's timing: it never sleeps or
// yields, so a thread at real-time priority keeps its core for the whole delay.
#include "internal.h"
#include "seriallink.h"

// The delay is measured on the monotonic clock in 64-bit nanoseconds: a step of the
// wall clock, a long preemption or a delay above 71 minutes cannot shorten or stretch it.
void DelayMs(uint32_t ms)
{
    const int64_t target = int64_t(ms) * 1000000;
    const int64_t start = MonotonicNs();
    if (target == 0)
        return;
    while (MonotonicNs() - start < target) {
    }
}
