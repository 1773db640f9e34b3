// busreader.cpp - the reader thread of the bus connection: waits for messages, answers
// pings, and hands every other message to the waiting request or to the handler.
//
// The reader can be cancelled only while it waits for input, reads, sleeps or writes a
// ping answer; the handler and the hand-over to a request always run to their end. When
// the connection has ended (the server closed it, or the socket reports an error) and no
// whole header is left to read, the reader stops reading and sleeps until it is
// cancelled, instead of waking up again and again on the ended connection.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "internal.h"
#include "msgbus_internal.h"

namespace {

// Pause before looking again when part of a header is pending and the rest has not come.
constexpr useconds_t PartialHeaderPauseUs = 2000;

void CancelOn()
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    pthread_testcancel();
}

void CancelOff()
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
}

// The receive payload buffer, released also when the reader is cancelled inside a read.
// volatile: without exceptions pthread_cleanup_push is a setjmp point, and the cleanup that
// runs on cancellation sees a local changed after it only if that is volatile (the
// compiler took the payload for the null it was at the push, and a cancelled read leaked it).
struct ReceiveBuffer {
    void *volatile payload;
};

void ReleaseReceive(void *arg)
{
    auto *buffer = static_cast<ReceiveBuffer *>(arg);
    free(buffer->payload);
    buffer->payload = nullptr;
}

int PendingBytes(int fd)
{
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) != 0)
        return -1;
    return pending;
}

// After a failed receive: throws away the bytes pending at this moment, never waiting
// for more.
void DropPending(int fd)
{
    int pending = PendingBytes(fd);
    uint8_t scrap[256];
    while (pending > 0) {
        size_t chunk = pending < int(sizeof scrap) ? size_t(pending) : sizeof scrap;
        ssize_t got = recv(fd, scrap, chunk, MSG_DONTWAIT);
        if (got <= 0)
            break;
        pending -= int(got);
    }
}

[[noreturn]] void WaitForCancel()
{
    CancelOn();
    for (;;)
        poll(nullptr, 0, -1);
}

// True when the peer has closed its side: a read would return end of file.
bool AtEndOfStream(int fd)
{
    uint8_t probe;
    return recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void AnswerPing(const MessageRecord &ping)
{
    MessageRecord answer;
    memset(&answer, 0, sizeof answer);
    answer.Type = BusTypePing;
    answer.SenderPid = OwnPid;  // 0 when the program has not set it
    answer.DestPid = ping.SenderPid;
    CancelOn();
    WriteBusRecord(answer, true);  // never SIGPIPE: the program did not write this one
    CancelOff();
}

// Reads size payload bytes as they come, in as many pieces as the connection gives: a
// message larger than the receive window is never all pending at once. False when the
// connection ends first, or when nothing arrives for BusWholeMessageWaitMs (counted afresh
// after each piece; signals neither shorten nor stretch it).
bool ReadPayload(int fd, uint8_t *into, size_t size)
{
    size_t got = 0;
    int64_t deadline = MonotonicNs() + int64_t(BusWholeMessageWaitMs) * 1000000;
    while (got < size) {
        ssize_t n = recv(fd, into + got, size - got, MSG_DONTWAIT);
        if (n > 0) {
            got += size_t(n);
            deadline = MonotonicNs() + int64_t(BusWholeMessageWaitMs) * 1000000;
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return false;
        int64_t left = deadline - MonotonicNs();
        if (left <= 0)
            return false;
        pollfd more = {fd, POLLIN, 0};
        CancelOn();
        int ready = poll(&more, 1, int((left + 999999) / 1000000));
        CancelOff();
        if (ready < 0 && errno != EINTR)
            return false;
    }
    return true;
}

// Reads one message of which at least a whole header is pending; false on a failed
// receive. On success the payload, if any, is in buffer->payload.
bool ReceiveMessage(int fd, MessageRecord *record, ReceiveBuffer *buffer)
{
    uint8_t header[BusHeaderSize];
    memset(header, 0, sizeof header);
    CancelOn();
    ssize_t got = read(fd, header, sizeof header);
    CancelOff();
    if (got != BusHeaderSize)
        return false;
    DecodeBusHeader(header, record);
    if (record->PayloadLen == 0)
        return true;
    buffer->payload = malloc(record->PayloadLen);
    if (!buffer->payload)
        return false;
    if (!ReadPayload(fd, static_cast<uint8_t *>(buffer->payload), record->PayloadLen)) {
        ReleaseReceive(buffer);
        return false;
    }
    record->Payload = buffer->payload;
    return true;
}

// Delivers a received message that is not a ping. The delivered copy takes over the
// receive buffer (it is the reader's own fresh copy of the received bytes).
void Deliver(const MessageRecord &received, ReceiveBuffer *buffer)
{
    if (!BusHandler)
        return;  // dropped
    auto *copy = static_cast<MessageRecord *>(malloc(sizeof(MessageRecord)));
    if (!copy)
        return;  // dropped
    *copy = received;
    void *payload = buffer->payload;
    buffer->payload = nullptr;
    copy->Payload = payload;
    DispatchBusMessage(copy);
    free(payload);  // the reader's own reference, whatever the handler did to the record
    free(copy);
}

void ReadPass(int fd, ReceiveBuffer *buffer)
{
    pollfd wait = {fd, POLLIN | POLLPRI | POLLERR | POLLHUP | POLLRDHUP, 0};
    CancelOn();
    int ready = poll(&wait, 1, -1);
    CancelOff();
    if (ready < 0) {
        if (errno == EINTR)
            return;
        WaitForCancel();
    }
    if (wait.revents & POLLNVAL)
        WaitForCancel();
    if (wait.revents & POLLPRI) {  // urgent byte: not part of the framing; thrown away
        uint8_t urgent;
        recv(fd, &urgent, 1, MSG_OOB | MSG_DONTWAIT);
    }

    int pending = PendingBytes(fd);
    if (pending < 0)
        WaitForCancel();
    if (pending >= BusHeaderSize) {
        MessageRecord received;
        if (!ReceiveMessage(fd, &received, buffer)) {
            DropPending(fd);  // failed receive: message dropped, pending bytes thrown away
            return;
        }
        if (received.Type == BusTypePing)
            AnswerPing(received);
        else
            Deliver(received, buffer);
        ReleaseReceive(buffer);
        return;
    }
    // No whole header. With the connection ended nothing more can come.
    if ((wait.revents & (POLLERR | POLLHUP | POLLRDHUP)) || AtEndOfStream(fd))
        WaitForCancel();
    CancelOn();
    usleep(PartialHeaderPauseUs);
    CancelOff();
}

} // namespace

// How long the reader waits for more of a payload when none comes. TCP delivers a message
// in pieces (a busy sender, a full buffer, a message larger than the receive window), so
// the payload is read piece by piece as it arrives; a payload that stops coming for this
// long is a failed receive, and what is pending then is thrown away.
int BusWholeMessageWaitMs = 100;

// The reader's loop, ended only by cancellation. The buffer is the caller's: a local of the
// function that holds the cleanup's setjmp point would count as one a longjmp may clobber.
[[noreturn, gnu::noinline]] void ReadUntilCancelled(int fd, ReceiveBuffer *buffer)
{
    pthread_cleanup_push(ReleaseReceive, buffer);
    for (;;)
        ReadPass(fd, buffer);
    pthread_cleanup_pop(1);
}

void *BusReader(void *)
{
    CancelOff();
    ReceiveBuffer buffer = {nullptr};
    ReadUntilCancelled(BusSocket, &buffer);  // the socket is fixed for the life of this reader
}
