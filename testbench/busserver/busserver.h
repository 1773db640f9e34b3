// busserver.h - a small message-bus server on 127.0.0.1 for the tests, the benchmark and the
// qmbusserver command: it accepts clients on a port of its own (an ephemeral one for the
// tests), records every message it receives (header bytes and payload), and on command
// sends crafted messages to the latest client: pings, replies, messages for the handler,
// broken messages, a close.
// It frames and encodes the 68-byte header by its own byte offsets, independently of the
// client's code.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace busserver {

constexpr int HeaderSize = 68;

// One message as the server received it.
struct Received {
    int connection = 0;   // 1 for the first accepted client, 2 for the next, ...
    std::string header;   // the 68 header bytes as they came
    std::string payload;  // the PayloadLen bytes that followed
    // Fields of the header, decoded.
    uint16_t type = 0;
    uint8_t tag = 0;
    std::string senderName;
    int32_t senderPid = 0;
    int32_t destPid = 0;
    std::string destName;
    uint16_t payloadLen = 0;
    int32_t requestId = 0;
    int32_t replyTo = 0;
};

// A message that the server sends.
struct Outgoing {
    uint16_t type = 0;
    uint8_t tag = 0;
    std::string senderName;  // cut to the field (21 bytes), not necessarily terminated
    int32_t senderPid = 0;
    int32_t destPid = 0;
    std::string destName;    // cut to the field (22 bytes)
    int32_t requestId = 0;
    int32_t replyTo = 0;
    std::string payload;
    int announcedLen = -1;        // PayloadLen put in the header; -1: the payload's size
    bool replyToTrigger = false;  // answers: ReplyTo := RequestId of the triggering message
    int delayMs = 0;              // answers: pause after the trigger before sending
};

struct Server;

// How the server reads its clients, to put a client's sending side under pressure.
struct ReadMode {
    int chunk = 0;              // bytes taken per read; 0: whatever is there (up to 64 KiB)
    int pauseMs = 0;            // pause after each read
    bool pingEachRead = false;  // a ping (sender pid PressurePingPid) before each read
};
constexpr int32_t PressurePingPid = 0x50494E47;

// Listens on 127.0.0.1 and an ephemeral port; null when that fails. A receiveBuffer other
// than 0 is the accepted sockets' SO_RCVBUF, set before the connection so that the
// window is that small from the start.
Server *Start(int receiveBuffer = 0);
// The same on a given port (host byte order; 0: an ephemeral one).
Server *StartOn(uint16_t port, int receiveBuffer = 0);
void Stop(Server *server);
uint16_t Port(const Server *server);        // host byte order
uint32_t LoopbackAddress();                  // 127.0.0.1 in network byte order

std::string Encode(const Outgoing &message);  // 68-byte header + payload
Received Decode(const std::string &header);   // fields of a 68-byte header

int Connections(Server *server);  // clients accepted so far
// Waits until pred(messages received so far) holds; false after timeoutMs.
bool WaitFor(Server *server, const std::function<bool(const std::vector<Received> &)> &pred,
             int timeoutMs);
bool WaitForClients(Server *server, int count, int timeoutMs);
bool WaitForCount(Server *server, size_t count, int timeoutMs);
std::vector<Received> Messages(Server *server);
void ClearMessages(Server *server);
// Switches the recording of payloads and headers on or off (counting goes on).
void SetRecording(Server *server, bool on);
size_t Count(Server *server);
// Called for every message received, on the receiving thread with the server's lock held
// (keep it short); none: nothing called.
void SetInspector(Server *server, std::function<void(const Received &)> inspector);
void SetReadMode(Server *server, const ReadMode &mode);
// Reads nothing from the clients for ms from now (accepting and sending go on).
void HoldReading(Server *server, int ms);
size_t PressurePings(Server *server);  // pings sent before reads so far

// To the latest client; each call is one whole message (or the given bytes), sent in one
// piece and never interleaved with another send. False when there is no client.
bool Send(Server *server, const Outgoing &message);
bool SendRaw(Server *server, const std::string &bytes);
bool SendPing(Server *server, int32_t senderPid);
void CloseClient(Server *server);

// Answers every further message of type trigger (once, or always) with the steps, in
// order, each after its delayMs from the trigger's arrival. Steps with no delay go out
// at once from the receiving thread.
void Respond(Server *server, uint16_t trigger, const std::vector<Outgoing> &steps, bool always);
void StopResponding(Server *server);

} // namespace busserver
