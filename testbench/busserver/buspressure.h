// buspressure.h - the bus client under the conditions of a busy unit, each run against the
// loopback test server with every message checked byte for byte at the other end:
// maximal posts from two threads to a server that reads slowly (pinging before each read)
// or stops reading for a while, with a 1 ms timer interrupting the writers; maximal
// messages into a receive window smaller than one message; messages cut short at a byte
// of their header or payload, then the connection closed or a whole message sent; a
// server that goes away while the reader answers its pings. Shared by the adversity test
// and the pressure figures of bus_bench.
#pragma once

#include <string>
#include <vector>

namespace buspressure {

struct Figures {
    std::string condition;
    long sent = 0;       // messages meant to arrive (posts, ping answers, messages in)
    long checked = 0;    // arrived whole, byte for byte as sent
    long corrupted = 0;  // arrived but not as sent, or arrived although never sent whole
    long lost = 0;       // meant to arrive, never did
    std::string problem; // anything else that went wrong (a signal, a call that failed)
};

struct Scale {
    int postsPerThread = 24;  // maximal posts of each of the two poster threads
    int incoming = 24;        // maximal messages from the server to the client
    bool timer = true;        // a 1 ms SA_RESTART timer in each poster thread
    int sendBuffer = 0;       // the client's SO_SNDBUF for the posts; 0: the system's
};

Figures PostsToSlowServer(const Scale &scale);
Figures PostsToStalledServer(const Scale &scale);
Figures LargeMessagesToSmallWindow(const Scale &scale);
Figures CutMessages();
Figures ServerGoneWhileReaderAnswers();

// Every condition above, in that order.
std::vector<Figures> RunAll(const Scale &scale);
// "condition  sent  checked  corrupted  lost  problem", aligned for a table.
std::string Row(const Figures &figures);
std::string Heading();

} // namespace buspressure
