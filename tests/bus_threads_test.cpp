// Message-bus client under real concurrency: a ping storm answered by the reader while the
// caller posts and makes requests, replies that arrive just as their request gives up,
// and CloseBus while the reader is inside the handler (or from the handler itself).
// Every loop is bounded in count, every wait in time.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <unistd.h>

#include "busclient.h"
#include "internal.h"
#include "qmveskar.h"
#include "testsupport.h"

namespace {

using busserver::Outgoing;
using busserver::Received;
using buskit::HeldThread;

constexpr int Wait = 20000;  // ms
constexpr uint16_t RequestType = 9;
constexpr uint16_t ReplyType = 10;

Outgoing Reply(const std::string &payload, int delayMs = 0)
{
    Outgoing m;
    m.type = ReplyType;
    m.senderName = "busserver";
    m.senderPid = 1;
    m.replyToTrigger = true;
    m.payload = payload;
    m.delayMs = delayMs;
    return m;
}

std::string PostPayload(int k)
{
    std::string p(100, '\0');
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = char((k * 31 + int(i)) & 0xFF);
    return p;
}

class BusThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(qmtest::StartBus(server, 77, false));
    }
    void TearDown() override { qmtest::StopBus(server); }
    busserver::Server *server = nullptr;
};

TEST_F(BusThreads, PingStormWhilePostingAndRequesting)
{
    const int pings = 3000, posts = 1000, everyRequest = 10;
    HeldThread storm([&] {
        // A storm, but paced a little: thousands of back-to-back 68-byte segments can fill
        // the receive buffer's memory on a loaded machine, and the kernel's zero-window
        // probes then back off for seconds; that is TCP's behaviour, not the client's.
        for (int i = 0; i < pings; ++i) {
            busserver::SendPing(server, 100000 + i);
            if (i % 20 == 19)
                usleep(1000);
        }
    });
    ASSERT_NE(buskit::ConnectTo(server), 0);
    busserver::ClearMessages(server);
    busserver::Respond(server, RequestType, {Reply("pong-payload")}, true);
    storm.Go();
    int requests = 0, answered = 0, posted = 0;
    std::set<int32_t> replyIds;
    for (int k = 0; k < posts; ++k) {
        std::string p = PostPayload(k);
        posted += PostBusMessage(20, "tester", "busserver", 0, p.data(), int(p.size()), k, 0) != 0;
        if (k % everyRequest == 0) {
            MessageRecord reply;
            ++requests;
            if (SendBusRequest(RequestType, "tester", "busserver", 0, "q", 1, 0, 1, "busserver",
                               10000, &reply, 1) == 1) {
                ++answered;
                replyIds.insert(reply.ReplyTo);
                EXPECT_EQ(reply.Type, ReplyType);
                ASSERT_EQ(reply.PayloadLen, 12);
                EXPECT_EQ(std::string(static_cast<char *>(reply.Payload), 12), "pong-payload");
                free(reply.Payload);
            }
        }
    }
    storm.Join();
    EXPECT_EQ(posted, posts);
    EXPECT_EQ(answered, requests);  // no reply lost while it was in time

    size_t total = size_t(pings + posts + requests);
    ASSERT_TRUE(busserver::WaitForCount(server, total, Wait))
        << busserver::Count(server) << " of " << total;
    auto got = busserver::Messages(server);
    ASSERT_EQ(got.size(), total);
    std::set<int32_t> pongs;
    int nextPost = 0;
    std::set<int32_t> requestIds;
    for (const Received &m : got) {
        if (m.type == 2) {
            std::string bare(68, '\0');
            bare[0] = 2;
            bare.replace(24, 4, std::string("\x4D\0\0\0", 4));  // SenderPid 77
            bare.replace(28, 4, m.header.substr(28, 4));
            EXPECT_EQ(m.header, bare);
            pongs.insert(m.destPid);
        } else if (m.type == 20) {
            EXPECT_EQ(m.tag, uint8_t(nextPost));
            EXPECT_EQ(m.payload, PostPayload(nextPost));
            ++nextPost;
        } else if (m.type == RequestType) {
            requestIds.insert(m.requestId);
        } else {
            ADD_FAILURE() << "unexpected message type " << m.type;
        }
    }
    EXPECT_EQ(pongs.size(), size_t(pings));
    EXPECT_EQ(*pongs.begin(), 100000);
    EXPECT_EQ(*pongs.rbegin(), 100000 + pings - 1);
    EXPECT_EQ(nextPost, posts);
    for (int32_t id : replyIds)
        EXPECT_TRUE(requestIds.count(id)) << "reply to an id that was never sent";
    EXPECT_EQ(buskit::InboxCount(), 0u);
}

// Each reply must be seen exactly once: by its request (result 1) or, when it came after
// the request gave up, by the handler.
TEST_F(BusThreads, ReplyArrivingJustAsTheRequestTimesOut)
{
    ASSERT_NE(buskit::ConnectTo(server), 0);
    busserver::ClearMessages(server);
    const int rounds = 60;
    const uint32_t timeoutMs = 25;
    std::set<int32_t> taken;
    for (int i = 0; i < rounds; ++i) {
        busserver::Respond(server, RequestType, {Reply("late", 15 + (i % 11) * 2)}, false);
        MessageRecord reply;
        int result = SendBusRequest(RequestType, "tester", "busserver", 0, nullptr, 0, 0, 0,
                                    nullptr, timeoutMs, &reply, uint8_t(i & 1));
        if (result == 1) {
            EXPECT_TRUE(taken.insert(reply.ReplyTo).second);
            if (i & 1) {
                ASSERT_EQ(reply.PayloadLen, 4);
                EXPECT_EQ(std::string(static_cast<char *>(reply.Payload), 4), "late");
            }
            free(reply.Payload);
        }
        // The server answers one request per Respond: let it take this round's request
        // before the next round arms it again (a busy machine can delay it past the time-out).
        double until = buskit::NowSeconds() + 5;
        auto requestsSeen = [&] {
            size_t n = 0;
            for (const auto &m : busserver::Messages(server))
                n += m.type == RequestType;
            return n;
        };
        while (requestsSeen() < size_t(i + 1) && buskit::NowSeconds() < until)
            usleep(1000);
    }
    // Every late reply reaches the handler.
    auto accounted = [&] {
        size_t late = 0;
        for (const auto &d : buskit::Inbox())
            late += d.header.Type == ReplyType;
        return taken.size() + late;
    };
    double deadline = buskit::NowSeconds() + Wait / 1000.0;
    while (accounted() < size_t(rounds) && buskit::NowSeconds() < deadline)
        usleep(10000);
    usleep(100000);
    EXPECT_EQ(accounted(), size_t(rounds));

    std::set<int32_t> sent;
    for (const auto &m : busserver::Messages(server))
        if (m.type == RequestType)
            sent.insert(m.requestId);
    std::multiset<int32_t> seen(taken.begin(), taken.end());
    for (const auto &d : buskit::Inbox())
        seen.insert(d.header.ReplyTo);
    for (int32_t id : sent)
        EXPECT_EQ(seen.count(id), 1u) << "reply to " << id;
    // Whatever happened at the edge, the next request still works.
    busserver::Respond(server, RequestType, {Reply("now")}, false);
    EXPECT_EQ(SendBusRequest(RequestType, "tester", "busserver", 0, nullptr, 0, 0, 0, nullptr,
                             10000, nullptr, 0),
              1);
}

std::atomic<bool> entered{false};
std::atomic<bool> finished{false};
std::atomic<bool> closed{false};
std::atomic<int> afterClose{0};
std::atomic<int> closeResult{-1};

TEST_F(BusThreads, CloseWaitsForTheHandlerToReturn)
{
    for (int round = 0; round < 3; ++round) {
        entered = finished = closed = false;
        afterClose = 0;
        ASSERT_NE(buskit::ConnectTo(server), 0);
        buskit::SetHook([](MessageRecord *) {
            if (closed)
                ++afterClose;
            entered = true;
            usleep(200000);
            finished = true;
        });
        Outgoing m;
        m.type = 30;
        for (int i = 0; i < 5; ++i)
            busserver::Send(server, m);
        double deadline = buskit::NowSeconds() + Wait / 1000.0;
        while (!entered && buskit::NowSeconds() < deadline)
            usleep(1000);
        ASSERT_TRUE(entered);
        EXPECT_EQ(CloseBus(), 1);
        closed = true;
        EXPECT_TRUE(finished) << "CloseBus returned while the handler still ran";
        usleep(300000);
        EXPECT_EQ(afterClose, 0);
        buskit::SetHook(nullptr);
    }
}

TEST_F(BusThreads, CloseAtAnyMomentOfAFlood)
{
    for (int round = 0; round < 10; ++round) {
        closed = false;
        afterClose = 0;
        buskit::ClearInbox();
        HeldThread flood([&] {
            Outgoing m;
            m.type = 31;
            m.payload = std::string(64, 'f');
            for (int i = 0; i < 300; ++i) {
                if (!busserver::Send(server, m))
                    break;
                if (i % 20 == 0)
                    busserver::SendPing(server, i);
            }
        });
        ASSERT_NE(buskit::ConnectTo(server), 0);
        buskit::SetHook([](MessageRecord *) {
            if (closed)
                ++afterClose;
            usleep(500);
        });
        flood.Go();
        usleep(useconds_t(2000 * round));
        EXPECT_EQ(CloseBus(), 1);
        closed = true;
        flood.Join();
        usleep(50000);
        EXPECT_EQ(afterClose, 0);
        buskit::SetHook(nullptr);
    }
}

TEST_F(BusThreads, CloseFromInsideTheHandler)
{
    int base = buskit::ThreadCount();
    ASSERT_NE(buskit::ConnectTo(server), 0);
    closeResult = -1;
    finished = false;
    buskit::SetHook([](MessageRecord *) {
        closeResult = CloseBus();
        finished = true;
    });
    Outgoing m;
    m.type = 32;
    busserver::Send(server, m);
    busserver::Send(server, m);  // never handled: the connection is closed by then
    double deadline = buskit::NowSeconds() + Wait / 1000.0;
    while (!finished && buskit::NowSeconds() < deadline)
        usleep(1000);
    ASSERT_TRUE(finished);
    EXPECT_EQ(closeResult, 1);
    EXPECT_EQ(buskit::SettledThreadCount(base, Wait), base);  // the reader has ended on its own
    EXPECT_EQ(buskit::InboxCount(), 1u);
    EXPECT_EQ(CloseBus(), 0);

    buskit::SetHook(nullptr);
    ASSERT_NE(buskit::ConnectTo(server), 0);
    busserver::Send(server, m);
    EXPECT_TRUE(buskit::WaitForInbox(2, Wait));
}

} // namespace
