// msgbus_internal.h - state and helpers shared by the files of the message-bus client:
// the wire image of the header, the connection, the reader and the synchronous request.
// Internal to the library; the exported calls are declared in qmveskar.h.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <pthread.h>
#include <semaphore.h>

#include "qmveskar.h"

// ---- Wire image of MessageRecord (little-endian, fixed offsets) --------------------
constexpr int BusHeaderSize = 68;
constexpr int BusOffType = 0;
constexpr int BusOffTag = 2;
constexpr int BusOffSenderName = 3;
constexpr int BusOffSenderPid = 24;
constexpr int BusOffDestPid = 28;
constexpr int BusOffDestName = 32;
constexpr int BusOffPayloadLen = 54;
constexpr int BusOffRequestId = 56;
constexpr int BusOffReplyTo = 60;
constexpr int BusOffPayload = 64;

constexpr int BusSenderNameMax = 20;  // characters that fit SenderName with its NUL
constexpr int BusDestNameMax = 21;    // characters that fit DestName with its NUL
constexpr int BusPayloadMax = 65535;

constexpr uint16_t BusDefaultPort = 10000;
constexpr uint16_t BusTypePing = 2;
constexpr uint16_t BusTypeRegister = 3;
constexpr uint16_t BusTypeReply = 253;

// Puts the header fields of record into out[0..68). Bytes 64..67 are always zero: the
// sender's payload reference carries no information for a receiver.
void EncodeBusHeader(const MessageRecord &record, uint8_t *out);
// Fills record from a received wire header; Payload is none. Both names are forced to
// end within their fields, so that a malformed header never yields an unterminated text.
void DecodeBusHeader(const uint8_t *in, MessageRecord *record);

// Socket address of the server: port in network byte order (0 means 10000), the IPv4
// address as given (already in network byte order).
sockaddr_in BusServerAddress(uint16_t port, uint32_t serverAddr);

// Builds an outgoing record as a post does: addressee check, RequestId, SenderPid, names
// and a private heap copy of the payload (released with FreeBusPayload). Returns false,
// with nothing allocated, when the message cannot be sent: no addressee, a name longer
// than its field, a payload longer than 65535 bytes, or no memory for the copy.
bool BuildBusRecord(MessageRecord *record, int type, const char *senderName,
                    const char *destName, int32_t destPid, const void *payload,
                    int payloadLen, int tag, int32_t replyTo);
void FreeBusPayload(MessageRecord *record);
// Writes record (and its payload) to BusSocket whole, in the writers' turn: 1 when every
// byte went out, 0 on an error (or a header that promises a missing payload). quiet: no
// SIGPIPE when the server has closed (the reader's own writes); WriteBusMessage is the
// caller's, not quiet.
int WriteBusRecord(const MessageRecord &record, bool quiet);

// ---- Connection (process-wide; ConnectBus and CloseBus run on one controlling thread) -
extern int BusSocket;              // -1 when no connection is open
extern pthread_t BusReaderThread;  // valid while BusReaderHeld
extern bool BusReaderHeld;
extern BusHandlerFn BusHandler;

// Body of the reader thread; arg is unused (the reader reads BusSocket, which does not
// change while the reader runs).
void *BusReader(void *arg);
// How long the reader waits for the payload of a message whose header it has (100 ms).
extern int BusWholeMessageWaitMs;

// ---- Synchronous request (shared between the requester and the reader) ---------------
struct ReplyFilterRecord {
    char senderName[50];  // expected SenderName; empty: no name condition
    int32_t senderPid;    // expected SenderPid; 0: no pid condition
    int32_t replyTo;      // expected ReplyTo (the request's RequestId); 0: no id condition
    uint8_t copyPayload;  // non-zero: the slot takes a copy of the reply's payload
};

// ReplyGuard serialises every access to ReplyWaiting, ReplyFilter, ReplySlot and the
// reader's operations on ReplyLock; it is held only for short, non-blocking steps.
// ReplyLock itself stays the one-shot signal from the reader to the waiting request.
extern pthread_mutex_t ReplyGuard;
extern uint8_t ReplyWaiting;
extern sem_t ReplyLock;
extern MessageRecord ReplySlot;
extern ReplyFilterRecord ReplyFilter;

// Hands one delivered copy to the waiting request and/or to BusHandler (the reader).
// The copy stays the caller's.
void DispatchBusMessage(MessageRecord *copy);
