// bus_bench.cpp - figures of the message-bus client against the loopback test server:
// round-trip time of SendBusRequest when the server answers at once (median, p99), and
// posts per second of PostBusMessage with a 100-byte payload; with "pressure", the table of
// the pressure conditions (messages sent, checked, corrupted and lost in each), exit status
// 1 when any message was corrupted or lost. Prints figures; not a test.
//
//   bus_bench [requests] [posts]
//   bus_bench pressure [maximal posts per thread] [timer: 1 on, 0 off]
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <cstring>

#include "buskit.h"
#include "buspressure.h"
#include "busserver.h"
#include "qmveskar.h"

namespace {

int Pressure(int argc, char **argv)
{
    buspressure::Scale scale;
    if (argc > 2)
        scale.postsPerThread = scale.incoming = atoi(argv[2]);
    if (argc > 3)
        scale.timer = atoi(argv[3]) != 0;
    printf("%s\n", buspressure::Heading().c_str());
    bool whole = true;
    for (const buspressure::Figures &f : buspressure::RunAll(scale)) {
        printf("%s\n", buspressure::Row(f).c_str());
        whole = whole && f.corrupted == 0 && f.lost == 0 && f.problem.empty();
    }
    return whole ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "pressure") == 0)
        return Pressure(argc, argv);
    int requests = argc > 1 ? atoi(argv[1]) : 300;
    int posts = argc > 2 ? atoi(argv[2]) : 20000;
    signal(SIGPIPE, SIG_IGN);
    busserver::Server *server = busserver::Start();
    if (!server || !buskit::ConnectTo(server)) {
        fprintf(stderr, "bus_bench: no loopback server\n");
        return 1;
    }
    busserver::SetRecording(server, false);

    busserver::Outgoing reply;
    reply.type = 10;
    reply.senderName = "busserver";
    reply.replyToTrigger = true;
    busserver::Respond(server, 9, {reply}, true);
    std::vector<double> rtt;
    int failed = 0;
    for (int i = 0; i < requests; ++i) {
        double start = buskit::NowSeconds();
        int ok = SendBusRequest(9, "bench", "busserver", 0, "x", 1, 0, 0, nullptr, 5000,
                                nullptr, 0);
        rtt.push_back((buskit::NowSeconds() - start) * 1000.0);
        failed += !ok;
    }
    std::sort(rtt.begin(), rtt.end());
    if (!rtt.empty())
        printf("SendBusRequest round trip, %d requests: median %.2f ms, p99 %.2f ms, "
               "min %.2f ms, max %.2f ms, failed %d\n",
               requests, rtt[rtt.size() / 2], rtt[std::min(rtt.size() - 1, rtt.size() * 99 / 100)],
               rtt.front(), rtt.back(), failed);

    char payload[100];
    for (int i = 0; i < 100; ++i)
        payload[i] = char(i);
    size_t before = busserver::Count(server);
    double start = buskit::NowSeconds();
    int sent = 0;
    for (int i = 0; i < posts; ++i)
        sent += PostBusMessage(20, "bench", "busserver", 0, payload, 100, 0, 0) != 0;
    double posting = buskit::NowSeconds() - start;
    bool all = busserver::WaitForCount(server, before + size_t(posts), 60000);
    double received = buskit::NowSeconds() - start;
    printf("PostBusMessage, 100-byte payload, %d posts: %.0f posts/s written, "
           "%.0f posts/s received by the server%s\n",
           sent, sent / posting, sent / received, all ? "" : " (not all arrived)");

    CloseBus();
    busserver::Stop(server);
    return 0;
}
