// txempty.cpp - the wait for transmitter-empty after a write: the line-status word is
// read again and again, without pause, at real-time priority, until TEMT is set.
//
// The wait is bounded, since a UART that never reports empty would otherwise hold a core
// at the highest SCHED_FIFO priority for good. The bound is four times the frame's wire
// time at the slowest speed the line table offers (4800 bit/s) with the widest character
// (start, 8 data, parity, 2 stop = 12 bits, 2.5 ms), plus 100 ms: 10 ms per byte + 100 ms,
// counted from the write (which queues the whole frame). An 8-byte request gets 180 ms,
// the 20-byte loopback frame 300 ms, the longest frame (258 bytes) 2.68 s.
#include <termios.h>
#include <sys/ioctl.h>

#include "internal.h"
#include "seriallink.h"

int WaitTransmitterEmpty(int fd, uint16_t length)
{
    const int64_t boundNs = (int64_t(length) * 10000 + 100000) * 1000;
    const int64_t start = MonotonicNs();
    for (;;) {
        unsigned int status = 0;
        if (ioctl(fd, TIOCSERGETLSR, &status) == -1)
            return 0;
        if (status & TIOCSER_TEMT)
            return 1;
        if (MonotonicNs() - start > boundNs)
            return 0;
    }
}
