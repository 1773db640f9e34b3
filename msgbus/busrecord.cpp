// busrecord.cpp - the message record on the bus: its 68-byte wire image, building an
// outgoing record, and the sending side (WriteBusMessage, PostBusMessage): every message
// goes out whole, one writer at a time.
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include "internal.h"
#include "msgbus_internal.h"

namespace {

// Length of text when it fits max characters, else -1; absent counts as empty.
int FittingLength(const char *text, int max)
{
    if (!text)
        return 0;
    size_t n = strnlen(text, size_t(max) + 1);
    return n > size_t(max) ? -1 : int(n);
}

} // namespace

void EncodeBusHeader(const MessageRecord &record, uint8_t *out)
{
    memset(out, 0, BusHeaderSize);
    Put16(out + BusOffType, record.Type);
    out[BusOffTag] = record.Tag;
    memcpy(out + BusOffSenderName, record.SenderName, sizeof record.SenderName);
    Put32(out + BusOffSenderPid, uint32_t(record.SenderPid));
    Put32(out + BusOffDestPid, uint32_t(record.DestPid));
    memcpy(out + BusOffDestName, record.DestName, sizeof record.DestName);
    Put16(out + BusOffPayloadLen, record.PayloadLen);
    Put32(out + BusOffRequestId, uint32_t(record.RequestId));
    Put32(out + BusOffReplyTo, uint32_t(record.ReplyTo));
    // out[64..68) stays zero.
}

void DecodeBusHeader(const uint8_t *in, MessageRecord *record)
{
    memset(record, 0, sizeof *record);
    record->Type = Get16(in + BusOffType);
    record->Tag = in[BusOffTag];
    memcpy(record->SenderName, in + BusOffSenderName, sizeof record->SenderName);
    record->SenderName[sizeof record->SenderName - 1] = '\0';
    record->SenderPid = int32_t(Get32(in + BusOffSenderPid));
    record->DestPid = int32_t(Get32(in + BusOffDestPid));
    memcpy(record->DestName, in + BusOffDestName, sizeof record->DestName);
    record->DestName[sizeof record->DestName - 1] = '\0';
    record->PayloadLen = Get16(in + BusOffPayloadLen);
    record->RequestId = int32_t(Get32(in + BusOffRequestId));
    record->ReplyTo = int32_t(Get32(in + BusOffReplyTo));
    record->Payload = nullptr;
}

sockaddr_in BusServerAddress(uint16_t port, uint32_t serverAddr)
{
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port ? port : BusDefaultPort);
    address.sin_addr.s_addr = serverAddr;
    return address;
}

bool BuildBusRecord(MessageRecord *record, int type, const char *senderName,
                    const char *destName, int32_t destPid, const void *payload,
                    int payloadLen, int tag, int32_t replyTo)
{
    memset(record, 0, sizeof *record);
    if (destPid == 0 && (!destName || destName[0] == '\0'))
        return false;
    // Names and payloads that do not fit are refused rather than cut: a cut name could
    // address another client, a cut payload would arrive as different data.
    int senderLen = FittingLength(senderName, BusSenderNameMax);
    int destLen = FittingLength(destName, BusDestNameMax);
    bool withPayload = payload && payloadLen > 0;
    if (senderLen < 0 || destLen < 0 || (withPayload && payloadLen > BusPayloadMax))
        return false;

    timeval now;
    if (gettimeofday(&now, nullptr) == 0) {
        srandom(unsigned(now.tv_usec));
        record->RequestId = int32_t(random());
    }
    record->Type = uint16_t(type);
    record->Tag = uint8_t(tag);
    record->ReplyTo = replyTo;
    record->DestPid = destPid;
    record->SenderPid = OwnPid ? OwnPid : -1;
    if (senderLen > 0)
        memcpy(record->SenderName, senderName, size_t(senderLen));
    if (destLen > 0)
        memcpy(record->DestName, destName, size_t(destLen));
    if (withPayload) {
        void *copy = malloc(size_t(payloadLen));
        if (!copy)
            return false;
        memcpy(copy, payload, size_t(payloadLen));
        record->Payload = copy;
        record->PayloadLen = uint16_t(payloadLen);
    }
    return true;
}

void FreeBusPayload(MessageRecord *record)
{
    free(record->Payload);
    record->Payload = nullptr;
}

namespace {

// The writers' turn on the connection: one message at a time goes out, from its first
// byte to its last. A write on a full send buffer takes part of a message, and a signal
// can end it there; without the turn, the reader's ping answer or another caller's post
// would land inside the rest. Waiting for the turn is a cancellation point (a condition
// wait), so a reader waiting behind a blocked caller can still be ended by CloseBus.
pthread_mutex_t WriteGuard = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t WriteFree = PTHREAD_COND_INITIALIZER;
bool Writing = false;

void UnlockGuard(void *) { pthread_mutex_unlock(&WriteGuard); }

void TakeWriteTurn()
{
    pthread_mutex_lock(&WriteGuard);
    pthread_cleanup_push(UnlockGuard, nullptr);
    while (Writing)
        pthread_cond_wait(&WriteFree, &WriteGuard);
    Writing = true;
    pthread_cleanup_pop(1);
}

void GiveWriteTurn(void *)
{
    pthread_mutex_lock(&WriteGuard);
    Writing = false;
    pthread_cond_signal(&WriteFree);
    pthread_mutex_unlock(&WriteGuard);
}

} // namespace

int WriteBusRecord(const MessageRecord &record, bool quiet)
{
    // A header that promises payload bytes which do not follow would put the server's
    // framing of every later message out of step: refused, nothing sent.
    if (record.PayloadLen != 0 && !record.Payload)
        return 0;
    const size_t size = BusHeaderSize + (record.PayloadLen != 0 ? size_t(record.PayloadLen) : 0);
    uint8_t *bytes = static_cast<uint8_t *>(calloc(size, 1));
    if (!bytes)
        return 0;
    EncodeBusHeader(record, bytes);
    if (size > size_t(BusHeaderSize))
        memcpy(bytes + BusHeaderSize, record.Payload, record.PayloadLen);
    bool whole;
    // The reader answers pings with cancellation enabled: a cancel while it waits for the
    // turn or inside the write must neither leak the buffer nor keep the turn. Each
    // cleanup's argument is fixed when it is pushed: without exceptions a push is a setjmp
    // point, and a local changed after it is not to be relied on in the cleanup.
    pthread_cleanup_push(free, bytes);
    TakeWriteTurn();
    pthread_cleanup_push(GiveWriteTurn, nullptr);
    whole = WriteAll(BusSocket, bytes, size, quiet);
    pthread_cleanup_pop(1);
    pthread_cleanup_pop(1);
    return whole ? 1 : 0;
}

extern "C" int WriteBusMessage(MessageRecord record) { return WriteBusRecord(record, false); }

extern "C" int PostBusMessage(int type, const char *senderName, const char *destName,
                              int32_t destPid, const void *payload, int payloadLen, int tag,
                              int32_t replyTo)
{
    MessageRecord record;
    if (!BuildBusRecord(&record, type, senderName, destName, destPid, payload, payloadLen,
                        tag, replyTo))
        return 0;
    int written = WriteBusMessage(record);
    FreeBusPayload(&record);
    if (!written)
        return 0;
    return record.RequestId ? record.RequestId : 1;
}
