// transmit.cpp - SendRtuFrame: one request frame on the RS-485 line, with DTR as the
// transmit enable, framed by the line's delays, at the highest real-time priority.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "seriallink.h"

namespace {

void FlushQueues(int fd)
{
    ioctl(fd, TCFLSH, TCIOFLUSH);
}

void SetModemBits(int fd, unsigned long request, int bits)
{
    ioctl(fd, request, &bits);
}

void WaitIfPositive(int32_t ms)
{
    if (ms > 0)
        DelayMs(uint32_t(ms));
}

} // namespace

int SendRtuFrame(const RtuFrame *frame, int fd)
{
    FlushQueues(fd);
    if (!frame || frame->length == 0 || !frame->data)
        return 0;

    RtPriorityRaise();
    WaitIfPositive(PreTxDelay);
    FlushQueues(fd);
    SetModemBits(fd, TIOCMBIS, TIOCM_DTR);
    WaitIfPositive(DtrLeadDelay);
    ssize_t written = write(fd, frame->data, frame->length);
    usleep(useconds_t(frame->length) * 800);  // most of the wire time, asleep
    if (written != ssize_t(frame->length) || !WaitTransmitterEmpty(fd, frame->length)) {
        FlushQueues(fd);
        SetModemBits(fd, TIOCMBIC, TIOCM_DTR);
        RtPriorityDrop();
        return 0;
    }
    WaitIfPositive(DtrTailDelay);
    SetModemBits(fd, TIOCMBIC, TIOCM_DTR);
    FlushQueues(fd);  // what the port heard of its own transmission is discarded
    RtPriorityDrop();
    return 1;
}
