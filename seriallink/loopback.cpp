// loopback.cpp - the UART self-test: a fixed frame sent through the UART's internal
// loopback (DTR stays low, nothing reaches the line) must come back unchanged.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "seriallink.h"

const char LoopbackTestFrame[21] = "*****TestFrame******";

namespace {

constexpr int kTestLength = 20;
// Modem-control bit of the UART's internal loopback (asm/termbits.h; not in glibc's set).
constexpr int kTiocmLoop = 0x8000;

void SetLoopback(int fd, unsigned long request)
{
    int bits = kTiocmLoop;
    ioctl(fd, request, &bits);
}

// The wait before the input queue is counted, in full on the monotonic clock. A real
// 8250 port hands the looped-back frame to the input queue in batches (the first 16 bytes
// when its receive FIFO fills, the rest after the FIFO's time-out), each raising SIGIO,
// and a single sleep would end at the first batch: the count would find 16 of 20 bytes.
void WaitForLoopback()
{
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += 200 * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// Steps between switching the loopback on and off; the result code of the test.
int RunLoopback(int fd)
{
    if (DtrLeadDelay > 0)
        DelayMs(uint32_t(DtrLeadDelay));
    if (write(fd, LoopbackTestFrame, kTestLength) != kTestLength)
        return -1;
    if (!WaitTransmitterEmpty(fd, kTestLength))
        return -2;
    WaitForLoopback();
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting != kTestLength)
        return -3;
    char echo[kTestLength] = {};
    SetLineBlocking(fd, false);  // counted, but another reader may take them first
    ssize_t got = read(fd, echo, kTestLength);
    SetLineBlocking(fd, true);
    if (got != kTestLength)
        return -4;
    if (memcmp(echo, LoopbackTestFrame, kTestLength) != 0)
        return -5;
    return 1;
}

} // namespace

int TestUartLoopback(int fd)
{
    FlushLineQueues(fd);
    RtPriorityRaise();
    FlushLineQueues(fd);
    SetLoopback(fd, TIOCMBIS);
    int result = RunLoopback(fd);
    SetLoopback(fd, TIOCMBIC);
    FlushLineQueues(fd);
    RtPriorityDrop();
    return result;
}
