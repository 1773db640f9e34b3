// buspressure.cpp - the pressure conditions of the bus client (see buspressure.h).
#include "buspressure.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include "buskit.h"
#include "busserver.h"
#include "internal.h"
#include "msgbus_internal.h"
#include "qmveskar.h"

// The client's socket buffers, applied to the sockets made while they are not 0 (the
// executables that use this file are linked with --wrap=socket): ConnectBus then gets a
// window that small from the first segment on, as on a unit whose tcp_rmem is low, or a
// send buffer that a maximal message does not fit, so that every post waits in its write.
static std::atomic<int> ClientReceiveBuffer{0}, ClientSendBuffer{0};
extern "C" int __real_socket(int domain, int type, int protocol);
extern "C" int __wrap_socket(int domain, int type, int protocol)
{
    int fd = __real_socket(domain, type, protocol);
    int receive = ClientReceiveBuffer, send = ClientSendBuffer;
    if (fd >= 0 && receive > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive, sizeof receive);
    if (fd >= 0 && send > 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send, sizeof send);
    return fd;
}

namespace buspressure {

namespace {

using busserver::Received;
using busserver::Server;

constexpr int Maximal = BusPayloadMax;
constexpr uint16_t PostType = 40;      // + the poster's number
constexpr uint16_t IncomingType = 50;  // server to client
constexpr int WaitMs = 60000;          // for everything sent to arrive

// The payload of message seq from source: both numbers, then bytes that depend on them and
// on their place, so that a byte out of place or from another message shows.
std::string Pattern(uint32_t source, uint32_t seq, int size = Maximal)
{
    std::string p(size_t(size), '\0');
    Put32(reinterpret_cast<uint8_t *>(&p[0]), source);
    Put32(reinterpret_cast<uint8_t *>(&p[4]), seq);
    for (size_t i = 8; i < p.size(); ++i)
        p[i] = char((i * 7 + seq * 13 + source * 101) & 0xFF);
    return p;
}

bool IsPattern(const std::string &payload, uint32_t source, uint32_t *seq)
{
    if (payload.size() != size_t(Maximal))
        return false;
    const auto *bytes = reinterpret_cast<const uint8_t *>(payload.data());
    *seq = Get32(bytes + 4);
    return Get32(bytes) == source && payload == Pattern(source, *seq);
}

// What the server counts of what the client sends. next: the sequence number expected
// from each poster (touched by the server's receiving thread only).
struct Tally {
    std::atomic<long> posts{0}, answers{0}, corrupted{0};
    uint32_t next[2] = {0, 0};
};

long Lost(const Figures &f) { return std::max(0L, f.sent - f.checked - f.corrupted); }

bool IsPingAnswer(const Received &m)
{
    std::string bare(BusHeaderSize, '\0');
    auto *b = reinterpret_cast<uint8_t *>(&bare[0]);
    Put16(b + BusOffType, BusTypePing);
    Put32(b + BusOffSenderPid, uint32_t(OwnPid));
    Put32(b + BusOffDestPid, uint32_t(busserver::PressurePingPid));
    return m.header == bare && m.payload.empty();
}

void Inspect(Tally *tally, const Received &m)
{
    uint32_t seq = 0;
    if (m.type == BusTypeRegister)
        return;
    if (m.type == BusTypePing)
        ++(IsPingAnswer(m) ? tally->answers : tally->corrupted);
    else if ((m.type == PostType || m.type == PostType + 1) && m.senderName == "poster" &&
             IsPattern(m.payload, m.type - PostType, &seq) && m.tag == uint8_t(seq) &&
             seq == tally->next[m.type - PostType]++)
        ++tally->posts;
    else
        ++tally->corrupted;
}

template <typename Done> bool WaitUntil(Done done, int ms)
{
    double end = buskit::NowSeconds() + ms / 1000.0;
    while (!done() && buskit::NowSeconds() < end)
        usleep(2000);
    return done();
}

// A do-nothing SIGALRM, restarting what it interrupts where the kernel restarts it: a
// blocking write that has sent part of its bytes returns that count instead.
void Tick(int) {}
struct RestartingAlarm {
    struct sigaction old {};
    RestartingAlarm()
    {
        struct sigaction action {};
        action.sa_handler = Tick;
        action.sa_flags = SA_RESTART;
        sigaction(SIGALRM, &action, &old);
    }
    ~RestartingAlarm() { sigaction(SIGALRM, &old, nullptr); }
};

// A SIGALRM every millisecond to the calling thread alone (a process-wide timer would be
// taken by whichever thread the kernel picks, most often one that is not writing).
struct ThreadTicker {
    timer_t id {};
    bool on;
    explicit ThreadTicker(bool wanted) : on(wanted)
    {
        sigevent event {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGALRM;
        event._sigev_un._tid = gettid();
        on = on && timer_create(CLOCK_MONOTONIC, &event, &id) == 0;
        itimerspec every = {{0, 1000000}, {0, 1000000}};
        if (on)
            timer_settime(id, 0, &every, nullptr);
    }
    ~ThreadTicker()
    {
        if (on)
            timer_delete(id);
    }
};

// Two threads post maximal messages while `during` runs on this thread (it returns once
// the posters are done); the server checks every message and every ping answer.
template <typename During>
Figures Posts(const char *condition, Server *server, const Scale &scale, During during)
{
    Figures f;
    f.condition = condition;
    Tally tally;
    busserver::SetRecording(server, false);
    busserver::SetInspector(server, [&tally](const Received &m) { Inspect(&tally, m); });
    std::atomic<long> posted{0}, failed{0};
    std::atomic<int> running{2};
    RestartingAlarm alarm;
    auto poster = [&](uint32_t source) {
        ThreadTicker ticker(scale.timer);
        for (int seq = 0; seq < scale.postsPerThread; ++seq) {
            std::string p = Pattern(source, uint32_t(seq));
            int ok = PostBusMessage(PostType + int(source), "poster", "busserver", 0, p.data(),
                                    Maximal, seq, 0);
            ++(ok ? posted : failed);
        }
        --running;
    };
    buskit::HeldThread first([&] { poster(0); }), second([&] { poster(1); });
    OwnPid = int32_t(getpid());
    ClientSendBuffer = scale.sendBuffer;
    int connected = buskit::ConnectTo(server, "poster");
    ClientSendBuffer = 0;
    if (!connected) {
        f.problem = "no connection";
        return f;
    }
    first.Go();
    second.Go();
    while (running > 0)
        during();
    first.Join();
    second.Join();
    busserver::SetReadMode(server, {});
    usleep(50000);  // the last pings queued are on their way
    long pings = long(busserver::PressurePings(server));
    long total = 2L * scale.postsPerThread;
    WaitUntil([&] { return tally.posts + tally.corrupted >= posted && tally.answers >= pings; },
              WaitMs);
    CloseBus();
    busserver::SetInspector(server, nullptr);
    f.sent = total + pings;
    f.checked = tally.posts + tally.answers;
    f.corrupted = tally.corrupted;
    f.lost = Lost(f);
    if (failed)
        f.problem = std::to_string(failed) + " posts answered 0";
    return f;
}

// The reader's wait for the rest of a message, set for one condition.
struct ReaderWait {
    int old = BusWholeMessageWaitMs;
    explicit ReaderWait(int ms) { BusWholeMessageWaitMs = ms; }
    ~ReaderWait() { BusWholeMessageWaitMs = old; }
};

} // namespace

Figures PostsToSlowServer(const Scale &scale)
{
    Server *server = busserver::Start(4096);
    busserver::ReadMode slow;
    slow.chunk = 4096;
    slow.pauseMs = 1;
    slow.pingEachRead = true;
    busserver::SetReadMode(server, slow);
    Figures f = Posts("posts to a slow server (4 KiB buffer, ping before each read)", server,
                      scale, [] { usleep(10000); });
    busserver::Stop(server);
    return f;
}

Figures PostsToStalledServer(const Scale &scale)
{
    Server *server = busserver::Start(16384);
    Scale small = scale;
    small.sendBuffer = 16384;
    Figures f = Posts("posts to a server that stops reading 200 ms at a time, 16 KiB buffers",
                      server, small,
                      [server] {
                          busserver::HoldReading(server, 200);
                          usleep(250000);
                      });
    busserver::Stop(server);
    return f;
}

Figures LargeMessagesToSmallWindow(const Scale &scale)
{
    Figures f;
    f.condition = "maximal messages in, client window 4 KiB, a ping after each";
    Server *server = busserver::Start();
    Tally tally;
    busserver::SetInspector(server, [&tally](const Received &m) { Inspect(&tally, m); });
    buskit::ClearInbox();
    OwnPid = int32_t(getpid());
    ClientReceiveBuffer = 4096;
    int connected = buskit::ConnectTo(server);
    ClientReceiveBuffer = 0;
    if (!connected) {
        f.problem = "no connection";
        busserver::Stop(server);
        return f;
    }
    for (int seq = 0; seq < scale.incoming; ++seq) {
        busserver::Outgoing m;
        m.type = IncomingType;
        m.senderName = "busserver";
        m.payload = Pattern(2, uint32_t(seq));
        busserver::Send(server, m);
        busserver::SendPing(server, busserver::PressurePingPid);
    }
    WaitUntil([&] { return long(buskit::InboxCount()) >= scale.incoming &&
                           tally.answers >= scale.incoming; },
              WaitMs);
    usleep(100000);  // anything more would show now
    CloseBus();
    uint32_t next = 0, seq = 0;
    for (const buskit::Delivered &d : buskit::Inbox()) {
        bool whole = d.header.Type == IncomingType && d.payloadPresent &&
                     IsPattern(d.payload, 2, &seq) && seq == next;
        ++(whole ? f.checked : f.corrupted);
        next += whole;
    }
    f.checked += tally.answers;
    f.corrupted += tally.corrupted;
    f.sent = 2L * scale.incoming;
    f.lost = Lost(f);
    busserver::Stop(server);
    return f;
}

// A message cut at each of these bytes: within the header, at its end, within the payload
// and one byte short of the end. Cut headers are followed by the server's close (no reader
// could frame what comes after them); cut payloads by a close, or, after a pause longer
// than the reader's wait, by a whole message that must arrive as sent.
Figures CutMessages()
{
    Figures f;
    f.condition = "messages cut at a header or payload byte, then a close or a whole one";
    ReaderWait wait(50);
    Server *server = busserver::Start();
    OwnPid = int32_t(getpid());
    const int cuts[] = {1, 34, 67, BusHeaderSize, BusHeaderSize + 1, 4096, BusHeaderSize + Maximal - 1};
    for (int cut : cuts) {
        for (bool thenClose : {true, false}) {
            if (cut <= BusHeaderSize && !thenClose)
                continue;
            buskit::ClearInbox();
            if (!buskit::ConnectTo(server)) {
                f.problem = "no connection";
                break;
            }
            busserver::Outgoing m;
            m.type = IncomingType;
            m.payload = Pattern(3, uint32_t(cut));
            busserver::SendRaw(server, busserver::Encode(m).substr(0, size_t(cut)));
            busserver::Outgoing whole;
            whole.type = IncomingType + 1;
            whole.payload = "after the cut at " + std::to_string(cut);
            usleep(600000);  // the reader gives up on the cut message and waits again
            if (thenClose) {
                busserver::CloseClient(server);
                usleep(200000);
            } else {
                ++f.sent;
                busserver::Send(server, whole);
                buskit::WaitForInbox(1, 5000);
                usleep(100000);
            }
            for (const buskit::Delivered &d : buskit::Inbox())
                ++(!thenClose && d.header.Type == whole.type && d.payload == whole.payload ? f.checked
                                                                                            : f.corrupted);
            CloseBus();
        }
    }
    f.lost = Lost(f);
    busserver::Stop(server);
    return f;
}

// In a child process with SIGPIPE at its default disposition, as in a program that
// installs nothing: the server pings and goes away. The reader's answers must not end
// the program; the caller's own posts to the closed connection still raise SIGPIPE, seen
// here as pending while this thread blocks it (no handler runs: under qemu-i386 a thread
// that handles a signal goes on with the newest thread's descriptor).
namespace {
int GoneServerChild()
{
    signal(SIGPIPE, SIG_DFL);
    Server *server = busserver::Start();
    OwnPid = int32_t(getpid());
    if (!buskit::ConnectTo(server))
        return 2;
    for (int i = 0; i < 20; ++i)
        busserver::SendPing(server, busserver::PressurePingPid);
    busserver::CloseClient(server);
    usleep(500000);  // the reader answers into the closed connection
    sigset_t pipe, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (int i = 0; i < 3; ++i)
        PostBusMessage(20, "tester", "busserver", 0, "x", 1, 0, 0);
    sigpending(&pending);
    int result = sigismember(&pending, SIGPIPE) ? 0 : 3;
    timespec now = {0, 0};
    sigtimedwait(&pipe, nullptr, &now);
    CloseBus();
    busserver::Stop(server);
    return result;
}
} // namespace

Figures ServerGoneWhileReaderAnswers()
{
    Figures f;
    f.condition = "server gone while the reader answers its pings (SIGPIPE default)";
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0)
        _exit(GoneServerChild());
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status))
        f.problem = std::string("the program was ended by signal ") + strsignal(WTERMSIG(status));
    else if (WEXITSTATUS(status) == 3)
        f.problem = "the caller's post to the closed connection raised no SIGPIPE";
    else if (WEXITSTATUS(status) != 0)
        f.problem = "exit status " + std::to_string(WEXITSTATUS(status));
    return f;
}

std::vector<Figures> RunAll(const Scale &scale)
{
    return {PostsToSlowServer(scale), PostsToStalledServer(scale),
            LargeMessagesToSmallWindow(scale), CutMessages(), ServerGoneWhileReaderAnswers()};
}

std::string Heading()
{
    char line[200];
    snprintf(line, sizeof line, "%-72s %6s %8s %9s %5s  %s", "condition", "sent", "checked",
             "corrupted", "lost", "problem");
    return line;
}

std::string Row(const Figures &f)
{
    char line[400];
    snprintf(line, sizeof line, "%-72s %6ld %8ld %9ld %5ld  %s", f.condition.c_str(), f.sent,
             f.checked, f.corrupted, f.lost, f.problem.empty() ? "-" : f.problem.c_str());
    return line;
}

} // namespace buspressure
