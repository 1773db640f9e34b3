// busrequest.cpp - the synchronous request: SendBusRequest on the caller's side, and on
// the reader's side the dispatch that recognises the awaited reply and signals it.
//
// Hand-over: the requester arms ReplyFilter, a fresh ReplyLock that it holds, a clear
// ReplySlot and ReplyWaiting, then sends and tries ReplyLock every 10 ms. The reader, on
// a message that fits the filter while the lock is held, fills ReplySlot, clears
// ReplyWaiting and releases ReplyLock. ReplyGuard makes each side's steps atomic for the
// other one: a request that gives up and a reply that arrives at that moment meet under
// the guard, so the reply is either the request's (result 1) or the handler's, never
// written into a slot that the request is clearing.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "internal.h"
#include "msgbus_internal.h"

pthread_mutex_t ReplyGuard = PTHREAD_MUTEX_INITIALIZER;
uint8_t ReplyWaiting = 0;
sem_t ReplyLock;
MessageRecord ReplySlot;
ReplyFilterRecord ReplyFilter;

namespace {

// Set while a request is armed or waiting: a second request (for instance one made by
// the handler while the caller waits) would re-arm the lock under the first one's feet.
bool RequestUnderWay = false;

// Match value of copy against ReplyFilter: -1 when it is not the reply, else the
// condition bits it met (4 for type 253, 0 when the request had no condition).
int MatchReply(const MessageRecord *copy)
{
    if (copy->Type == BusTypeReply)
        return 4;
    int wanted = 0, matched = 0;
    if (ReplyFilter.senderName[0] != '\0') {
        wanted |= 1;
        if (strncmp(ReplyFilter.senderName, copy->SenderName, sizeof copy->SenderName) == 0)
            matched |= 1;
    }
    if (ReplyFilter.senderPid != 0) {
        wanted |= 2;
        if (ReplyFilter.senderPid == copy->SenderPid)
            matched |= 2;
    }
    if (ReplyFilter.replyTo != 0) {
        wanted |= 4;
        if (ReplyFilter.replyTo == copy->ReplyTo)
            matched |= 4;
    }
    return (wanted & ~matched) ? -1 : matched;
}

void FillReplySlot(const MessageRecord *copy)
{
    ReplySlot = *copy;
    ReplySlot.Payload = nullptr;
    ReplySlot.PayloadLen = 0;
    if (ReplyFilter.copyPayload && copy->PayloadLen != 0 && copy->Payload) {
        void *payload = malloc(copy->PayloadLen);
        if (payload) {  // without memory the slot goes on without payload
            memcpy(payload, copy->Payload, copy->PayloadLen);
            ReplySlot.Payload = payload;
            ReplySlot.PayloadLen = copy->PayloadLen;
        }
    }
}

} // namespace

void DispatchBusMessage(MessageRecord *copy)
{
    bool toHandler = true;
    pthread_mutex_lock(&ReplyGuard);
    if (ReplyWaiting) {
        if (sem_trywait(&ReplyLock) == 0) {
            sem_post(&ReplyLock);  // not held by a request: it is giving up
        } else if (errno == EAGAIN) {
            int match = MatchReply(copy);
            if (match >= 0) {
                FillReplySlot(copy);
                ReplyWaiting = 0;
                sem_post(&ReplyLock);  // the signal to the waiting request
                toHandler = (match == 0);
            }
        }
    }
    pthread_mutex_unlock(&ReplyGuard);
    if (toHandler && BusHandler)
        BusHandler(copy);
}

extern "C" int SendBusRequest(int type, const char *senderName, const char *destName,
                              int32_t destPid, const void *payload, int payloadLen, int tag,
                              int32_t expectedPid, const char *expectedName,
                              uint32_t timeoutMs, MessageRecord *reply, uint8_t copyPayload)
{
    MessageRecord request;
    if (!BuildBusRecord(&request, type, senderName, destName, destPid, payload, payloadLen,
                        tag, 0))
        return 0;

    pthread_mutex_lock(&ReplyGuard);
    if (RequestUnderWay) {
        pthread_mutex_unlock(&ReplyGuard);
        FreeBusPayload(&request);
        return 0;
    }
    RequestUnderWay = true;
    memset(&ReplyFilter, 0, sizeof ReplyFilter);
    if (expectedName && expectedName[0] != '\0')
        strncpy(ReplyFilter.senderName, expectedName, sizeof ReplyFilter.senderName - 1);
    ReplyFilter.senderPid = expectedPid;
    ReplyFilter.replyTo = request.RequestId;
    ReplyFilter.copyPayload = copyPayload;
    sem_init(&ReplyLock, 0, 1);
    sem_trywait(&ReplyLock);  // fresh, so it is taken at once
    memset(&ReplySlot, 0, sizeof ReplySlot);
    ReplyWaiting = 1;
    pthread_mutex_unlock(&ReplyGuard);

    WriteBusMessage(request);  // a failed write ends in the time-out
    FreeBusPayload(&request);

    // A timed wait on ReplyLock itself: the reply is taken as soon as the reader releases
    // the lock, and the deadline lies on the monotonic clock, so neither signals (each one
    // only restarts the wait) nor a step of the wall clock end it before the time-out.
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += time_t(timeoutMs / 1000);
    deadline.tv_nsec += long(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int result = 0;
    for (;;) {
        if (sem_clockwait(&ReplyLock, CLOCK_MONOTONIC, &deadline) == 0) {
            result = 1;
            break;
        }
        if (errno != EINTR)
            break;  // ETIMEDOUT: the time-out has passed
    }

    pthread_mutex_lock(&ReplyGuard);
    if (!result && !ReplyWaiting && sem_trywait(&ReplyLock) == 0)
        result = 1;  // delivered between the last try and now: still the request's reply
    ReplyWaiting = 0;  // from here on a late reply goes to the handler
    sem_post(&ReplyLock);
    sem_destroy(&ReplyLock);
    MessageRecord slot = ReplySlot;
    memset(&ReplySlot, 0, sizeof ReplySlot);
    RequestUnderWay = false;
    pthread_mutex_unlock(&ReplyGuard);

    if (result && reply) {
        // The reply record takes over the slot's own payload copy, so no second copy
        // (which could fail) is made.
        *reply = slot;
        reply->Payload = nullptr;
        reply->PayloadLen = 0;
        if (slot.PayloadLen != 0 && slot.Payload && copyPayload) {
            reply->Payload = slot.Payload;
            reply->PayloadLen = slot.PayloadLen;
            slot.Payload = nullptr;
        }
    }
    free(slot.Payload);
    return result;
}
