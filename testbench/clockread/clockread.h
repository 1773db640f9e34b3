// clockread.h - a clock read as seconds, for the test bench, the tests and the benchmarks.
// Always inlined: on the i386 build, under qemu-i386, a double returned from a call travels
// in the x87 register st(0), and the emulator's signal delivery can wipe the x87 registers
// (a SIGIO between the return and its use made a receive take -23785 s). Inlined into code
// built with SSE math (CMakeLists.txt), the value never passes through an x87 register.
#pragma once

#include <time.h>

namespace qmclock {

[[gnu::always_inline]] inline double Seconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

[[gnu::always_inline]] inline double Monotonic() { return Seconds(CLOCK_MONOTONIC); }

} // namespace qmclock
