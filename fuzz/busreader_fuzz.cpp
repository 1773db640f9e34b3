// busreader_fuzz.cpp - the bus reader thread on a stream from "the server" (one end of a
// socketpair): well-formed messages, pings, headers whose payload length overstates what
// follows, and stray bytes, all pending when the reader starts. The stream is framed here
// as the wire layout says (68-byte header, PayloadLen bytes of payload); every message the
// handler gets must be the next whole message of that framing, with exactly its payload
// bytes; every ping gets one answer addressed to its sender; a message whose payload never
// comes whole is dropped with what is pending. When the stream ends on a message boundary
// or with such a drop (part of the payload there), a well-formed message sent afterwards
// must still be delivered.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "internal.h"
#include "msgbus_internal.h"

namespace {

struct Seen {
    MessageRecord header;
    std::vector<uint8_t> payload;
    bool payloadPresent;
};
std::mutex SeenGuard;
std::vector<Seen> SeenMessages;
std::atomic<int> SeenCount{0};

void Handler(MessageRecord *message)
{
    Seen seen{*message, {}, message->Payload != nullptr};
    if (message->Payload)
        seen.payload.assign(static_cast<uint8_t *>(message->Payload),
                            static_cast<uint8_t *>(message->Payload) + message->PayloadLen);
    std::lock_guard<std::mutex> hold(SeenGuard);
    SeenMessages.push_back(seen);
    SeenCount = int(SeenMessages.size());
}

void Fail(const char *what)
{
    fprintf(stderr, "busreader_fuzz: %s (seen %d)\n", what, int(SeenCount));
    abort();
}

int Pending(int fd)
{
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return n;
}

// Waits (5 s at most: the reader has everything at once) for the reader to reach a state.
template <typename Done> void Await(Done done, const char *what)
{
    int64_t end = MonotonicNs() + 5000000000;
    for (int spins = 0; !done() && MonotonicNs() < end; ++spins)
        spins < 200 ? sched_yield() : usleep(10);
    if (!done())
        Fail(what);
}

// True when a thread of this process is blocked in poll() on one descriptor: the reader
// waiting for input (libFuzzer's own threads sleep, they do not poll).
bool ReaderPolls()
{
    DIR *tasks = opendir("/proc/self/task");
    if (!tasks)
        return false;
    bool polls = false;
    while (dirent *task = readdir(tasks)) {
        char path[64], line[256] = {};
        snprintf(path, sizeof path, "/proc/self/task/%s/syscall", task->d_name);
        FILE *file = task->d_name[0] != '.' ? fopen(path, "r") : nullptr;
        if (!file)
            continue;
        long number = -1;
        unsigned long fds = 0, count = 0;
        if (fgets(line, sizeof line, file) && sscanf(line, "%ld %lx %lx", &number, &fds, &count) == 3)
            polls = polls || (number == SYS_poll && count == 1);
        fclose(file);
    }
    closedir(tasks);
    return polls;
}

// After a dropped message the reader throws away what is pending at that moment; a ping
// shows when it is past that point and reading in step again. The ping is written only once
// the reader waits in poll(): the reader's receive of the cut payload asks for the whole
// payload, and a ping written while that receive is still in the kernel (the cut bytes
// already taken, nothing pending any more) is taken into it, a stream that no reader could
// frame. A ping that came while the reader was still throwing away goes with the rest (no
// answer once the line is quiet for 20 ms): it is sent again.
void AwaitPastDrop(const int *sv)
{
    uint8_t ping[BusHeaderSize] = {BusTypePing};
    Put32(ping + BusOffSenderPid, 0x7E7E7E7E);
    for (int attempt = 0; attempt < 5; ++attempt) {
        int64_t waitEnd = MonotonicNs() + 5000000000;
        while (!ReaderPolls() && MonotonicNs() < waitEnd)
            usleep(50);  // no spinning: the reader needs the processor to get there
        if (!ReaderPolls())
            Fail("the reader does not wait for input after a drop");
        if (write(sv[1], ping, sizeof ping) != ssize_t(sizeof ping))
            Fail("ping not written");
        int64_t end = MonotonicNs() + 1000000000, quietSince = 0;
        while (MonotonicNs() < end) {
            if (Pending(sv[1]) >= BusHeaderSize) {
                uint8_t answer[BusHeaderSize];
                if (read(sv[1], answer, sizeof answer) != ssize_t(sizeof answer) ||
                    Get32(answer + BusOffDestPid) != 0x7E7E7E7E)
                    Fail("a ping after a dropped message is not answered in step");
                return;
            }
            if (Pending(sv[0]) != 0)
                quietSince = 0;
            else if (!quietSince)
                quietSince = MonotonicNs();
            else if (MonotonicNs() - quietSince > 20000000) {
                break;
            }
            usleep(10);
        }
    }
    Fail("no ping after a dropped message is answered");
}

void PutHeader(std::vector<uint8_t> &out, FuzzedDataProvider &in, uint16_t type, uint16_t length)
{
    std::vector<uint8_t> header = in.ConsumeBytes<uint8_t>(BusHeaderSize);
    header.resize(BusHeaderSize);
    header[0] = uint8_t(type), header[1] = uint8_t(type >> 8);
    header[BusOffPayloadLen] = uint8_t(length), header[BusOffPayloadLen + 1] = uint8_t(length >> 8);
    out.insert(out.end(), header.begin(), header.end());
}

// The stream: a mix of messages (pings among them) and stray bytes.
std::vector<uint8_t> MakeStream(FuzzedDataProvider &in)
{
    std::vector<uint8_t> stream;
    while (in.remaining_bytes() > 0 && stream.size() < 16384) {
        int kind = in.ConsumeIntegralInRange(0, 7);
        if (kind <= 4) {  // a whole message; 0 a ping
            uint16_t length = in.ConsumeIntegralInRange<uint16_t>(0, kind == 4 ? 4096 : 64);
            PutHeader(stream, in, kind == 0 ? BusTypePing : in.ConsumeIntegral<uint16_t>(), length);
            std::vector<uint8_t> payload = in.ConsumeBytes<uint8_t>(length);
            payload.resize(length, 0xA5);
            stream.insert(stream.end(), payload.begin(), payload.end());
        } else if (kind == 5) {  // a header alone, its length as fuzzed
            PutHeader(stream, in, in.ConsumeIntegral<uint16_t>(), in.ConsumeIntegral<uint16_t>());
        } else {  // stray bytes
            std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 80));
            stream.insert(stream.end(), bytes.begin(), bytes.end());
        }
    }
    return stream;
}

void CheckMessage(const Seen &seen, const uint8_t *wire)
{
    MessageRecord expected;
    DecodeBusHeader(wire, &expected);
    const MessageRecord &got = seen.header;
    if (got.Type != expected.Type || got.Tag != expected.Tag ||
        got.SenderPid != expected.SenderPid || got.DestPid != expected.DestPid ||
        got.PayloadLen != expected.PayloadLen || got.RequestId != expected.RequestId ||
        got.ReplyTo != expected.ReplyTo || strcmp(got.SenderName, expected.SenderName) != 0 ||
        strcmp(got.DestName, expected.DestName) != 0)
        Fail("a delivered header is not the next message of the stream");
    if (seen.payloadPresent != (got.PayloadLen > 0) ||
        (got.PayloadLen > 0 && memcmp(seen.payload.data(), wire + BusHeaderSize, got.PayloadLen) != 0))
        Fail("a delivered payload is not the bytes that follow its header");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::vector<uint8_t> stream = MakeStream(in);

    // The stream framed by the wire layout.
    std::vector<size_t> messages, pings;
    size_t at = 0, left = 0;
    bool inStep = true, dropped = false;
    while (at < stream.size()) {
        size_t rest = stream.size() - at;
        if (rest < size_t(BusHeaderSize)) {
            left = rest, inStep = false;  // part of a header stays pending
            break;
        }
        size_t whole = BusHeaderSize + Get16(&stream[at + BusOffPayloadLen]);
        if (rest < whole) {
            // Dropped with everything pending. A header with none of its payload is not
            // known to be cut short: what comes next is its payload.
            dropped = rest > size_t(BusHeaderSize);
            inStep = dropped;
            break;
        }
        (Get16(&stream[at]) == BusTypePing ? pings : messages).push_back(at);
        at += whole;
    }

    signal(SIGPIPE, SIG_IGN);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return 0;
    int buffer = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (!stream.empty() && write(sv[1], stream.data(), stream.size()) != ssize_t(stream.size()))
        Fail("stream not written whole");
    SeenMessages.clear();
    SeenCount = 0;
    BusWholeMessageWaitMs = 0;  // everything is pending from the start
    BusSocket = sv[0];
    BusHandler = Handler;
    if (pthread_create(&BusReaderThread, nullptr, BusReader, nullptr) != 0)
        Fail("no reader thread");
    BusReaderHeld = true;

    const int answerBytes = int(pings.size()) * BusHeaderSize;
    Await([&] { return SeenCount == int(messages.size()) && Pending(sv[0]) == int(left) &&
                       Pending(sv[1]) >= answerBytes; },
          "the reader did not take the stream as framed");
    if (Pending(sv[1]) != answerBytes)
        Fail("more ping answers than pings");
    for (size_t i = 0; i < messages.size(); ++i)
        CheckMessage(SeenMessages[i], &stream[messages[i]]);
    for (size_t ping : pings) {
        uint8_t answer[BusHeaderSize];
        if (read(sv[1], answer, sizeof answer) != ssize_t(sizeof answer) ||
            Get16(answer) != BusTypePing ||
            Get32(answer + BusOffDestPid) != Get32(&stream[ping + BusOffSenderPid]) ||
            Get16(answer + BusOffPayloadLen) != 0)
            Fail("a ping answer is not addressed to its ping");
    }

    if (dropped)
        AwaitPastDrop(sv);
    if (inStep) {  // a well-formed message after the stream is read in step
        uint8_t next[BusHeaderSize + 3] = {0x5A, 0x5A};
        next[BusOffPayloadLen] = 3;
        memcpy(next + BusHeaderSize, "end", 3);
        if (write(sv[1], next, sizeof next) != ssize_t(sizeof next))
            Fail("message after the stream not written");
        Await([&] { return SeenCount == int(messages.size()) + 1; },
              "a well-formed message after the stream was lost");
        CheckMessage(SeenMessages.back(), next);
    }
    CloseBus();
    close(sv[1]);
    return 0;
}
