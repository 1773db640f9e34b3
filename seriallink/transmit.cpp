// transmit.cpp - SendRtuFrame: one request frame on the RS-485 line, with DTR as the
// transmit enable, framed by the line's delays, at the highest real-time priority.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "seriallink.h"

namespace {

void SetModemBits(int fd, unsigned long request, int bits)
{
    ioctl(fd, request, &bits);
}

void WaitIfPositive(int32_t ms)
{
    if (ms > 0)
        DelayMs(uint32_t(ms));
}

// The sleep after the write: 800 us per byte, which leaves the last fifth of a frame at
// 9600 bit/s to the status polls. At higher speeds that fixed figure outlasts the frame on
// the wire (8 bytes at 115200 bit/s take 0.7 ms, the sleep 6.4 ms), and DTR would keep the
// bus driven into the window in which the device starts its reply. So the sleep also ends
// 1 ms before the frame's wire time at the port's speed and framing is over (the wake-up
// of a sleeping thread may come that late); whichever is shorter. At 9600 bit/s 8N1 and
// slower the 800 us per byte stand; a frame shorter than 1 ms on the wire is not slept on.
useconds_t SleepAfterWrite(int fd, uint16_t length)
{
    useconds_t fixed = useconds_t(length) * 800;
    termios mode {};
    if (tcgetattr(fd, &mode) != 0)
        return fixed;
    unsigned bps = LineSpeedBits(cfgetospeed(&mode));
    if (bps == 0)
        return fixed;
    unsigned bits = 1 + 1 + CharacterSizeBits(mode.c_cflag);  // start, data, first stop
    bits += (mode.c_cflag & PARENB) ? 1 : 0;
    bits += (mode.c_cflag & CSTOPB) ? 1 : 0;
    int64_t wireUs = int64_t(length) * bits * 1000000 / bps;
    int64_t scaled = wireUs - 1000;
    if (scaled < 0)
        scaled = 0;
    return scaled < int64_t(fixed) ? useconds_t(scaled) : fixed;
}

} // namespace

int SendRtuFrame(const RtuFrame *frame, int fd)
{
    FlushLineQueues(fd);
    if (!frame || frame->length == 0 || !frame->data)
        return 0;

    const useconds_t sleepUs = SleepAfterWrite(fd, frame->length);
    RtPriorityRaise();
    WaitIfPositive(PreTxDelay);
    FlushLineQueues(fd);
    SetModemBits(fd, TIOCMBIS, TIOCM_DTR);
    WaitIfPositive(DtrLeadDelay);
    ssize_t written = write(fd, frame->data, frame->length);
    if (sleepUs > 0)
        usleep(sleepUs);  // most of the wire time, asleep
    if (written != ssize_t(frame->length) || !WaitTransmitterEmpty(fd, frame->length)) {
        FlushLineQueues(fd);
        SetModemBits(fd, TIOCMBIC, TIOCM_DTR);
        RtPriorityDrop();
        return 0;
    }
    WaitIfPositive(DtrTailDelay);
    SetModemBits(fd, TIOCMBIC, TIOCM_DTR);
    FlushLineQueues(fd);  // what the port heard of its own transmission is discarded
    RtPriorityDrop();
    return 1;
}
