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
struct ReceiveBuffer {
    void *payload;
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
    WriteBusMessage(answer);
    CancelOff();
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
    // Only what is pending is taken: a payload that has not arrived by the end of the
    // wait for the whole message is a failed receive, never a wait without limit that
    // would then take the next message's bytes as payload.
    CancelOn();
    got = recv(fd, buffer->payload, record->PayloadLen, MSG_DONTWAIT);
    CancelOff();
    if (got != ssize_t(record->PayloadLen)) {
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

// With a whole header pending: waits (bounded) until its payload is pending too.
void WaitForWholeMessage(int fd, int pending)
{
    uint8_t header[BusHeaderSize];
    if (recv(fd, header, sizeof header, MSG_PEEK | MSG_DONTWAIT) != ssize_t(sizeof header))
        return;
    int whole = BusHeaderSize + Get16(header + BusOffPayloadLen);
    for (int waited = 0; pending >= 0 && pending < whole && waited < BusWholeMessageWaitMs;
         waited += 5) {
        pollfd more = {fd, POLLIN, 0};
        CancelOn();
        usleep(5000);
        CancelOff();
        if (poll(&more, 1, 0) < 0 && errno != EINTR)
            return;
        pending = PendingBytes(fd);
    }
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
        WaitForWholeMessage(fd, pending);
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

// How long the reader waits for the rest of a message whose header is already there. TCP
// may deliver a header and its payload apart (a busy sender, a full buffer); reading the
// payload before it is all there would drop the message and, with the pending bytes thrown
// away, put every later message out of step. A payload that does not come whole within
// this time is a failed receive.
int BusWholeMessageWaitMs = 100;

void *BusReader(void *)
{
    CancelOff();
    const int fd = BusSocket;  // fixed for the life of this reader
    ReceiveBuffer buffer = {nullptr};
    pthread_cleanup_push(ReleaseReceive, &buffer);
    for (;;)
        ReadPass(fd, &buffer);
    pthread_cleanup_pop(1);
    return nullptr;
}
