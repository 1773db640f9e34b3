// receive.cpp - ReceiveRtuFrame: the reply of the addressed device, byte by byte, through
// a state machine that follows the Modbus RTU reply layout of each function code and
// keeps a running CRC-16. The data bytes of a good reply are left in LastResponse.
#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "internal.h"
#include "seriallink.h"

RtuFrame *LastResponse = nullptr;

namespace {

enum class RxState { AwaitAddress, AwaitFunction, FixedBody, AwaitByteCount, DataBytes, AwaitCrc };

// Line-status bits that end a reception: overrun, parity and framing error.
constexpr unsigned kLineErrors = 0x02 | 0x04 | 0x08;

struct Reception {
    uint8_t address;
    RxState state = RxState::AwaitAddress;
    uint16_t crc = 0xFFFF;
    uint8_t function = 0;
    unsigned left = 0;
    RtuFrame *reply = nullptr;  // data bytes being collected
    unsigned index = 0;
    uint8_t crcLow = 0;
    bool complete = false;
};

void ExpectCrc(Reception &rx)
{
    rx.left = 2;
    rx.state = RxState::AwaitCrc;
}

// A complete reply: a good one that carries data becomes LastResponse. PostRxDelay is
// waited after every complete reply, good or not.
void FinishReply(Reception &rx, uint8_t crcHigh)
{
    bool crcOk = rx.crcLow == uint8_t(rx.crc & 0xFF) && crcHigh == uint8_t(rx.crc >> 8);
    bool normal = rx.function < 0x80 || rx.function == 0xFD || rx.function == 0xFE;
    if (crcOk && normal && rx.reply) {
        LastResponse = rx.reply;
        rx.reply = nullptr;
    } else {
        rx.reply = FreeRtuFrame(rx.reply);
    }
    if (PostRxDelay > 0)
        DelayMs(uint32_t(PostRxDelay));
    rx.complete = true;
}

void FeedByte(Reception &rx, uint8_t b)
{
    switch (rx.state) {
    case RxState::AwaitAddress:
        if (b == rx.address) {
            rx.crc = 0xFFFF;
            Crc16Update(b, &rx.crc);
            rx.state = RxState::AwaitFunction;
        }
        break;
    case RxState::AwaitFunction:
        Crc16Update(b, &rx.crc);
        rx.function = b;
        switch (b) {
        case 0x03: case 0x04: case 0xFD:
            rx.state = RxState::AwaitByteCount;
            break;
        case 0x06: case 0x10: case 0xFE:
            rx.left = 4;
            rx.state = RxState::FixedBody;
            break;
        case 0x83: case 0x84: case 0x86: case 0x90:
            rx.left = 1;
            rx.state = RxState::FixedBody;
            break;
        default:  // no known function code: the next byte is taken as one
            break;
        }
        break;
    case RxState::FixedBody:
        Crc16Update(b, &rx.crc);
        if (--rx.left == 0)
            ExpectCrc(rx);
        break;
    case RxState::AwaitByteCount:
        Crc16Update(b, &rx.crc);
        rx.left = b;
        rx.index = 0;
        // A byte count of 0 has nothing to store: the reply goes straight on to its CRC,
        // is checked and waited for like any complete reply, and leaves no LastResponse.
        if (b == 0) {
            ExpectCrc(rx);
        } else {
            rx.reply = NewRtuFrame(b);  // none on allocation failure: count, don't store
            rx.state = RxState::DataBytes;
        }
        break;
    case RxState::DataBytes:
        if (rx.reply && rx.index < rx.reply->length)
            rx.reply->data[rx.index] = b;
        ++rx.index;
        Crc16Update(b, &rx.crc);
        if (--rx.left == 0)
            ExpectCrc(rx);
        break;
    case RxState::AwaitCrc:
        if (rx.left == 2) {
            rx.crcLow = b;
            rx.left = 1;
        } else {
            FinishReply(rx, b);
        }
        break;
    }
}

int WaitingBytes(int fd)
{
    pollfd p = {fd, POLLIN | POLLPRI, 0};
    if (poll(&p, 1, 10) <= 0)
        return 0;
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0)
        return 0;
    return waiting;
}

bool LineError(int fd)
{
    unsigned int status = 0;
    ioctl(fd, TIOCSERGETLSR, &status);
    return (status & kLineErrors) != 0;
}

// The start and the end of every reception, from a descriptor or from a buffer.
void BeginReception(Reception &rx, uint8_t address)
{
    LastResponse = FreeRtuFrame(LastResponse);
    rx.address = address;
}

bool EndReception(Reception &rx)
{
    rx.reply = FreeRtuFrame(rx.reply);  // a reply cut short never becomes LastResponse
    return LastResponse && LastResponse->length > 0;
}

} // namespace

bool ReceiveRtuBytes(const uint8_t *bytes, size_t size, uint8_t address, size_t *used)
{
    Reception rx;
    BeginReception(rx, address);
    size_t n = 0;
    while (!rx.complete && n < size)
        FeedByte(rx, bytes[n++]);
    if (used)
        *used = n;
    return EndReception(rx);
}

bool ReceiveRtuFrame(int fd, uint8_t address)
{
    RtPriorityRaise();
    // The limits run on the monotonic clock: a step of the wall clock neither stretches a
    // reception by the size of the step nor cuts it short.
    const int64_t start = MonotonicNs();
    auto elapsedMs = [start] { return (MonotonicNs() - start) / 1000000; };
    Reception rx;
    BeginReception(rx, address);

    // A negative base time-out is taken as 0: the limits stay 50 ms and 1500 ms instead
    // of wrapping to a wait without end.
    const uint32_t base = RxTimeout > 0 ? uint32_t(RxTimeout) : 0;
    const int64_t idleLimit = base + 50;
    const int64_t streamLimit = base + 1500;

    SetLineBlocking(fd, false);
    while (!rx.complete) {
        if (WaitingBytes(fd) <= 0) {
            usleep(1000);
            if (LineError(fd) || elapsedMs() >= idleLimit)
                break;
            continue;
        }
        if (elapsedMs() >= streamLimit)
            break;
        uint8_t b = 0;
        ssize_t got = read(fd, &b, 1);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;  // counted but taken by another reader: the limits still hold
        if (got != 1)
            break;
        FeedByte(rx, b);
    }
    SetLineBlocking(fd, true);
    bool good = EndReception(rx);

    FlushLineQueues(fd);
    RtPriorityDrop();
    return good;
}
