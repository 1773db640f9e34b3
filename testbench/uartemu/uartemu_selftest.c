/* uartemu_selftest.c - the line master's side of the emulation's tests (uartemu_selftest.h). */
#define _GNU_SOURCE
#include "uartemu_selftest.h"

#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define TIOCM_LOOP_BIT 0x8000

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

long ue_wait_temt(int fd)
{
    double limit = now_s() + 5.0;
    for (long polls = 1;; ++polls) {
        int lsr = 0;
        if (ioctl(fd, TIOCSERGETLSR, &lsr) != 0)
            return -1;
        if (lsr & TIOCSER_TEMT)
            return polls;
        if (now_s() > limit)
            return -1;
    }
}

int ue_loopback_selftest(int fd)
{
    static const char frame[] = "*****TestFrame******";
    int loop = TIOCM_LOOP_BIT, code = 1, n = 0;
    char buf[21] = {0};
    tcflush(fd, TCIOFLUSH);
    ioctl(fd, TIOCMBIS, &loop);
    if (write(fd, frame, 20) != 20)
        code = -1;
    else if (ue_wait_temt(fd) < 0)
        code = -2;
    else if (usleep(200000), ioctl(fd, FIONREAD, &n) != 0 || n != 20)
        code = -3;
    else if (read(fd, buf, 20) != 20)
        code = -4;
    else if (memcmp(buf, frame, 20) != 0)
        code = -5;
    ioctl(fd, TIOCMBIC, &loop);
    tcflush(fd, TCIOFLUSH);
    return code;
}
