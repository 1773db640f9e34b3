/* uartemu_probe.c - a small serial program for the emulation's tests, run as a separate
 * process (the way qmveskar runs): it opens a tty as the line's master does, then either
 * runs the UART loopback self-test or sends one frame with DTR as transmit enable and
 * collects the answer byte by byte. Prints one result line on standard output.
 *
 *   uartemu_probe TTY SPEED loop           -> "loop <code>"  (1, -1 .. -5)
 *   uartemu_probe TTY SPEED send HEXFRAME  -> "sent <1|0> polls=<n> rx=<hex>"  */
#define _GNU_SOURCE
#include "uartemu_selftest.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int open_line(const char *path, int speed)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || fcntl(fd, F_SETFL, 0) != 0)
        return -1;
    int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIC, &dtr);
    struct termios t;
    memset(&t, 0, sizeof t);
    t.c_iflag = IGNBRK;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    cfsetospeed(&t, speed == 115200 ? B115200 : speed == 19200 ? B19200 : B9600);
    return tcsetattr(fd, TCSANOW, &t) == 0 ? fd : -1;
}

static int send_and_collect(int fd, const char *hex, char *rx, size_t rxsize, long *polls)
{
    unsigned char frame[256];
    size_t len = 0;
    for (; hex[0] && hex[1] && len < sizeof frame; hex += 2) {
        unsigned v;
        if (sscanf(hex, "%2x", &v) != 1)
            break;
        frame[len++] = (unsigned char)v;
    }
    int dtr = TIOCM_DTR, ok = 1;
    tcflush(fd, TCIOFLUSH);
    ioctl(fd, TIOCMBIS, &dtr);
    if (write(fd, frame, len) != (ssize_t)len || (*polls = ue_wait_temt(fd)) < 0)
        ok = 0;
    ioctl(fd, TIOCMBIC, &dtr);
    tcflush(fd, TCIOFLUSH);
    /* Reply: poll + FIONREAD + one byte per read, until 100 ms of silence; the first byte
     * is awaited for up to 2 s (the device side is another process on a busy machine). */
    size_t pos = 0;
    rx[0] = 0;
    for (;;) {
        struct pollfd p = {fd, POLLIN | POLLPRI, 0};
        int n = 0;
        if (poll(&p, 1, pos == 0 ? 2000 : 100) <= 0 || ioctl(fd, FIONREAD, &n) != 0 || n <= 0)
            break;
        unsigned char b;
        if (read(fd, &b, 1) != 1)
            break;
        if (pos + 3 < rxsize)
            pos += (size_t)snprintf(rx + pos, rxsize - pos, "%02x", b);
    }
    return ok;
}

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    int fd = open_line(argv[1], atoi(argv[2]));
    if (fd < 0) {
        printf("open failed: %s\n", strerror(errno));
        return 1;
    }
    if (!strcmp(argv[3], "loop")) {
        printf("loop %d\n", ue_loopback_selftest(fd));
    } else if (!strcmp(argv[3], "send") && argc > 4) {
        char rx[1024];
        long polls = 0;
        int ok = send_and_collect(fd, argv[4], rx, sizeof rx, &polls);
        printf("sent %d polls=%ld rx=%s\n", ok, polls, rx);
    } else {
        return 2;
    }
    tcdrain(fd);
    close(fd);
    return 0;
}
