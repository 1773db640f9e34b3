// qmbusserver.cpp - the test bench's message-bus server as a command, to try a client of
// the unit's bus against: it listens on 127.0.0.1, writes a line for every message it
// receives, and on request pings its latest client at an interval, answers requests of a
// given type with a reply of type 253, and reads slowly. Runs until SIGINT or SIGTERM.
//
//   qmbusserver [-p PORT] [-l LOG] [-i PING_MS] [-r TYPE] [-s PAUSE_MS]
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

#include "busserver.h"

namespace {

std::atomic<bool> Stopping{false};
void Stop(int) { Stopping = true; }

struct Options {
    int port = 10000;
    const char *log = nullptr;  // standard output
    int pingMs = 0;
    int replyType = -1;
    int pauseMs = -1;
};

bool Parse(int argc, char **argv, Options *o)
{
    for (int c; (c = getopt(argc, argv, "p:l:i:r:s:")) != -1;) {
        switch (c) {
        case 'p': o->port = atoi(optarg); break;
        case 'l': o->log = optarg; break;
        case 'i': o->pingMs = atoi(optarg); break;
        case 'r': o->replyType = atoi(optarg); break;
        case 's': o->pauseMs = atoi(optarg); break;
        default: return false;
        }
    }
    return optind == argc && o->port >= 0 && o->port < 65536;
}

// A name field as text, without what follows its NUL.
std::string Quoted(const std::string &name)
{
    std::string out = "\"";
    for (unsigned char c : name)
        out += isprint(c) && c != '"' ? std::string(1, char(c)) : "?";
    return out + "\"";
}

// One line a message: when, from which connection, every header field, the payload's
// first 32 bytes in hexadecimal.
void Log(FILE *out, const busserver::Received &m)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    fprintf(out, "%ld.%03ld #%d type %u tag %u sender %s pid %d dest %s pid %d len %u id %d reply-to %d",
            long(now.tv_sec), now.tv_nsec / 1000000, m.connection, m.type, m.tag,
            Quoted(m.senderName).c_str(), m.senderPid, Quoted(m.destName).c_str(), m.destPid,
            m.payloadLen, m.requestId, m.replyTo);
    for (size_t i = 0; i < m.payload.size() && i < 32; ++i)
        fprintf(out, "%s%02x", i ? " " : " payload ", unsigned(uint8_t(m.payload[i])));
    fprintf(out, "%s\n", m.payload.size() > 32 ? " ..." : "");
    fflush(out);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!Parse(argc, argv, &o)) {
        fprintf(stderr, "usage: qmbusserver [-p PORT] [-l LOG] [-i PING_MS] [-r TYPE] [-s PAUSE_MS]\n");
        return 2;
    }
    FILE *out = o.log ? fopen(o.log, "ae") : stdout;
    if (!out) {
        perror(o.log);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, Stop);
    signal(SIGTERM, Stop);
    busserver::Server *server = busserver::StartOn(uint16_t(o.port));
    if (!server) {
        fprintf(stderr, "qmbusserver: cannot listen on 127.0.0.1:%d\n", o.port);
        return 1;
    }
    busserver::SetRecording(server, false);
    busserver::SetInspector(server, [out](const busserver::Received &m) { Log(out, m); });
    if (o.replyType >= 0) {
        busserver::Outgoing reply;
        reply.type = 253;
        reply.senderName = "qmbusserver";
        reply.senderPid = int32_t(getpid());
        reply.replyToTrigger = true;
        busserver::Respond(server, uint16_t(o.replyType), {reply}, true);
    }
    if (o.pauseMs >= 0) {
        busserver::ReadMode slow;
        slow.chunk = 4096;
        slow.pauseMs = o.pauseMs;
        busserver::SetReadMode(server, slow);
    }
    fprintf(stderr, "qmbusserver: listening on 127.0.0.1:%u\n", busserver::Port(server));
    for (int waited = 0; !Stopping; waited += 10) {
        usleep(10000);
        if (o.pingMs > 0 && waited % o.pingMs < 10)
            busserver::SendPing(server, int32_t(getpid()));
    }
    busserver::Stop(server);
    return 0;
}
