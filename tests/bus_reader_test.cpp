// Message-bus client, receiving side: the reader thread (pings, handler, broken and ended
// connections, a second connect) and the synchronous request with its reply matching,
// against the loopback test server.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <thread>
#include <unistd.h>

#include "busclient.h"
#include "internal.h"
#include "msgbus_internal.h"
#include "qmveskar.h"
#include "testsupport.h"

namespace {

using busserver::Outgoing;
using busserver::Received;

constexpr int Wait = 10000;          // ms: upper bound of every wait for something expected
constexpr uint16_t RequestType = 9;  // what the tests send as requests

Outgoing Message(uint16_t type, const std::string &sender = "peer", int32_t pid = 600)
{
    Outgoing m;
    m.type = type;
    m.senderName = sender;
    m.senderPid = pid;
    m.destName = "tester";
    return m;
}

Outgoing Reply(uint16_t type = 10, const std::string &sender = "peer", int32_t pid = 600)
{
    Outgoing m = Message(type, sender, pid);
    m.replyToTrigger = true;
    return m;
}

size_t CountType(const std::vector<Received> &got, uint16_t type)
{
    size_t n = 0;
    for (const auto &m : got)
        n += m.type == type;
    return n;
}

class BusReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(qmtest::StartBus(server, 5150));
    }
    void TearDown() override { qmtest::StopBus(server); }
    int Request(uint32_t timeoutMs, MessageRecord *reply = nullptr, uint8_t copyPayload = 0,
                int32_t expectedPid = 0, const char *expectedName = nullptr)
    {
        return SendBusRequest(RequestType, "tester", "busserver", 0, "ask", 3, 7, expectedPid,
                              expectedName, timeoutMs, reply, copyPayload);
    }
    // Sends a ping and waits for its answer: once it is back, everything sent before the
    // ping has been read by the client.
    bool Settle(int32_t pid = 999)
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            size_t before = CountType(busserver::Messages(server), 2);
            busserver::SendPing(server, pid);
            if (busserver::WaitFor(
                    server,
                    [&](const std::vector<Received> &got) { return CountType(got, 2) > before; },
                    500))
                return true;
        }
        return false;
    }
    busserver::Server *server = nullptr;
};

TEST_F(BusReaderTest, PingIsAnsweredByTheReaderAndNeverReachesTheHandler)
{
    ASSERT_TRUE(busserver::SendPing(server, 812));
    ASSERT_TRUE(busserver::WaitForCount(server, 1, Wait));
    auto got = busserver::Messages(server);
    ASSERT_EQ(got.size(), 1u);
    std::string want(68, '\0');
    want[0] = 2;
    want.replace(24, 4, std::string("\x1E\x14\0\0", 4));  // SenderPid 5150
    want.replace(28, 4, std::string("\x2C\x03\0\0", 4));  // DestPid 812
    EXPECT_EQ(got[0].header, want);
    EXPECT_TRUE(got[0].payload.empty());
    EXPECT_EQ(buskit::InboxCount(), 0u);
}

TEST_F(BusReaderTest, PingAnswerCarriesZeroWithoutOwnPid)
{
    CloseBus();
    OwnPid = 0;
    ASSERT_NE(buskit::ConnectTo(server), 0);
    busserver::ClearMessages(server);
    busserver::SendPing(server, 17);
    ASSERT_TRUE(busserver::WaitForCount(server, 1, Wait));
    auto got = busserver::Messages(server);
    EXPECT_EQ(got[0].senderPid, 0);  // not -1, unlike posted messages
    EXPECT_EQ(got[0].destPid, 17);
}

TEST_F(BusReaderTest, MessageWithoutWaitingRequestGoesToTheHandlerWhateverItsReplyTo)
{
    Outgoing m = Message(40);
    m.replyTo = 12345;
    m.tag = 0x5C;
    m.payload = std::string("pay\0load", 8);
    busserver::Send(server, m);
    busserver::Send(server, Message(41));
    ASSERT_TRUE(buskit::WaitForInbox(2, Wait));
    auto in = buskit::Inbox();
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(in[0].header.Type, 40);
    EXPECT_EQ(in[0].header.Tag, 0x5C);
    EXPECT_EQ(in[0].header.ReplyTo, 12345);
    EXPECT_STREQ(in[0].header.SenderName, "peer");
    EXPECT_EQ(in[0].header.SenderPid, 600);
    EXPECT_EQ(in[0].header.PayloadLen, 8);
    EXPECT_EQ(in[0].payload, std::string("pay\0load", 8));
    EXPECT_EQ(in[1].header.Type, 41);
    EXPECT_FALSE(in[1].payloadPresent);
    EXPECT_EQ(in[1].header.PayloadLen, 0);
    EXPECT_FALSE(pthread_equal(in[0].thread, pthread_self()));  // on the reader
}

TEST_F(BusReaderTest, OverlongNamesReachTheHandlerTerminated)
{
    Outgoing m = Message(42, std::string(21, 'N'));
    m.destName = std::string(22, 'D');
    busserver::Send(server, m);
    ASSERT_TRUE(buskit::WaitForInbox(1, Wait));
    auto in = buskit::Inbox();
    EXPECT_EQ(std::string(in[0].header.SenderName), std::string(20, 'N'));
    EXPECT_EQ(std::string(in[0].header.DestName), std::string(21, 'D'));
}

// A header whose payload comes short (or never comes) is dropped once the wait for the whole
// message is over; the reader goes on: pings answered, the next message read whole.
class BusReaderShortPayload : public BusReaderTest,
                              public ::testing::WithParamInterface<const char *> {};
INSTANTIATE_TEST_SUITE_P(Payloads, BusReaderShortPayload, ::testing::Values("four", ""));

TEST_P(BusReaderShortPayload, IsDroppedWithWhatIsPendingAndTheNextMessageIsHandled)
{
    Outgoing broken = Message(50);
    broken.announcedLen = 10;
    broken.payload = GetParam();
    ASSERT_TRUE(busserver::Send(server, broken));
    // Anything sent before the client has read the short payload would be taken as its
    // missing bytes: give the reader time to get there first.
    usleep(300000);
    ASSERT_TRUE(Settle());
    Outgoing good = Message(51);
    good.payload = "0123456789";
    busserver::Send(server, good);
    ASSERT_TRUE(buskit::WaitForInbox(1, Wait));
    ASSERT_TRUE(Settle());
    auto in = buskit::Inbox();
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].header.Type, 51);
    EXPECT_EQ(in[0].payload, "0123456789");
}

TEST_F(BusReaderTest, HeaderArrivingInPiecesIsReadWhenWhole)
{
    Outgoing m = Message(52);
    m.payload = "tail";
    std::string bytes = busserver::Encode(m);
    busserver::SendRaw(server, bytes.substr(0, 30));
    usleep(300000);
    EXPECT_EQ(buskit::InboxCount(), 0u);
    busserver::SendRaw(server, bytes.substr(30));
    ASSERT_TRUE(buskit::WaitForInbox(1, Wait));
    EXPECT_EQ(buskit::Inbox()[0].header.Type, 52);
    EXPECT_EQ(buskit::Inbox()[0].payload, "tail");
}

TEST_F(BusReaderTest, ReplyByReplyToEndsTheRequestAndSkipsTheHandler)
{
    Outgoing wrong = Message(60);
    wrong.replyTo = 1;  // not the request's id
    busserver::Respond(server, RequestType, {wrong, Reply(61)}, false);
    MessageRecord reply;
    ASSERT_EQ(Request(Wait, &reply), 1);
    EXPECT_EQ(reply.Type, 61);
    EXPECT_STREQ(reply.SenderName, "peer");
    auto sent = busserver::Messages(server);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, RequestType);
    EXPECT_EQ(sent[0].tag, 7);
    EXPECT_EQ(sent[0].payload, "ask");
    EXPECT_EQ(sent[0].replyTo, 0);  // a request answers nothing
    EXPECT_EQ(reply.ReplyTo, sent[0].requestId);
    ASSERT_TRUE(Settle());
    auto in = buskit::Inbox();
    ASSERT_EQ(in.size(), 1u);  // only the message with the other ReplyTo
    EXPECT_EQ(in[0].header.Type, 60);
}

TEST_F(BusReaderTest, Type253EndsTheRequestWhateverItsFields)
{
    Outgoing done = Message(253, "stranger", 4444);
    done.replyTo = 31337;
    busserver::Respond(server, RequestType, {done}, false);
    MessageRecord reply;
    ASSERT_EQ(Request(Wait, &reply, 0, 600, "peer"), 1);
    EXPECT_EQ(reply.Type, 253);
    EXPECT_EQ(reply.ReplyTo, 31337);
    ASSERT_TRUE(Settle());
    EXPECT_EQ(buskit::InboxCount(), 0u);
}

TEST_F(BusReaderTest, EveryConditionOfTheRequestMustHold)
{
    Outgoing nameOnly = Reply(70, "peer", 601);  // right name and id, wrong pid
    Outgoing noId = Message(71, "peer", 600);     // right name and pid, other ReplyTo
    noId.replyTo = 5;
    Outgoing otherName = Reply(72, "peek", 600);  // wrong name
    Outgoing right = Reply(73, "peer", 600);
    busserver::Respond(server, RequestType, {nameOnly, noId, otherName, right}, false);
    MessageRecord reply;
    ASSERT_EQ(Request(Wait, &reply, 0, 600, "peer"), 1);
    EXPECT_EQ(reply.Type, 73);
    ASSERT_TRUE(buskit::WaitForInbox(3, Wait));
    auto in = buskit::Inbox();
    ASSERT_EQ(in.size(), 3u);
    EXPECT_EQ(in[0].header.Type, 70);
    EXPECT_EQ(in[1].header.Type, 71);
    EXPECT_EQ(in[2].header.Type, 72);
}

TEST_F(BusReaderTest, PingsAreAnsweredWhileARequestWaits)
{
    Outgoing ping = Message(2, "busserver", 812);
    Outgoing late = Reply(80);
    late.delayMs = 200;
    busserver::Respond(server, RequestType, {ping, late}, false);
    MessageRecord reply;
    ASSERT_EQ(Request(Wait, &reply), 1);
    EXPECT_EQ(reply.Type, 80);
    ASSERT_TRUE(busserver::WaitFor(
        server, [](const std::vector<Received> &got) { return CountType(got, 2) == 1; }, Wait));
    auto got = busserver::Messages(server);
    EXPECT_EQ(got[1].destPid, 812);
    EXPECT_EQ(buskit::InboxCount(), 0u);
}

TEST_F(BusReaderTest, RequestWithoutReplyGivesUpAfterItsTimeOut)
{
    MessageRecord reply;
    memset(&reply, 0xA5, sizeof reply);
    MessageRecord untouched = reply;
    double start = buskit::NowSeconds();
    EXPECT_EQ(Request(100, &reply), 0);
    double took = buskit::NowSeconds() - start;
    EXPECT_GE(took, 0.100);
    EXPECT_LT(took, 2.0);  // about 20 ms late at most; generous for loaded machines
    EXPECT_EQ(memcmp(&reply, &untouched, sizeof reply), 0);
    ASSERT_TRUE(busserver::WaitForCount(server, 1, Wait));  // it was sent all the same
}

// A 1 ms interval timer on the calling thread, its handler installed with SA_RESTART: the
// kind of signal load that a program using the bus client may well have.
struct SignalStorm {
    timer_t timer{};
    struct sigaction old{};
    SignalStorm()
    {
        struct sigaction sa{};
        sa.sa_handler = [](int) {};
        sa.sa_flags = SA_RESTART;
        sigaction(SIGALRM, &sa, &old);
        sigevent ev{};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = SIGALRM;
        ev._sigev_un._tid = gettid();
        EXPECT_EQ(timer_create(CLOCK_MONOTONIC, &ev, &timer), 0);
        itimerspec every = {{0, 1000000}, {0, 1000000}};
        EXPECT_EQ(timer_settime(timer, 0, &every, nullptr), 0);
    }
    ~SignalStorm()
    {
        timer_delete(timer);
        sigaction(SIGALRM, &old, nullptr);
    }
};

// The requests and their signals run on a thread created after the reader: under qemu-i386
// a thread that handles a signal takes the descriptor of the thread created last (one TLS
// table for all threads), and the main thread would then cancel itself in CloseBus.
TEST_F(BusReaderTest, SignalsNeitherShortenTheTimeOutNorDelayTheReply)
{
    std::thread caller([this] {
        SignalStorm storm;
        double start = buskit::NowSeconds();
        EXPECT_EQ(Request(1000), 0);
        EXPECT_GE(buskit::NowSeconds() - start, 1.0);

        Outgoing late = Reply(95);
        late.delayMs = 50;
        busserver::Respond(server, RequestType, {late}, false);
        start = buskit::NowSeconds();
        EXPECT_EQ(Request(Wait), 1);
        EXPECT_LT(buskit::NowSeconds() - start, 2.0);  // taken when it came, not at the time-out
    });
    caller.join();
}

TEST_F(BusReaderTest, RequestWithoutAddresseeSendsNothing)
{
    double start = buskit::NowSeconds();
    EXPECT_EQ(SendBusRequest(RequestType, "tester", "", 0, nullptr, 0, 0, 0, nullptr, 5000,
                             nullptr, 0),
              0);
    EXPECT_LT(buskit::NowSeconds() - start, 1.0);
    ASSERT_TRUE(Settle());
    EXPECT_EQ(CountType(busserver::Messages(server), RequestType), 0u);
}

TEST_F(BusReaderTest, ReplyPayloadIsCopiedOnlyWhenAskedFor)
{
    Outgoing r = Reply(90);
    r.payload = "twelve bytes";
    busserver::Respond(server, RequestType, {r}, true);
    MessageRecord reply;
    ASSERT_EQ(Request(Wait, &reply, 0), 1);
    EXPECT_EQ(reply.PayloadLen, 0);
    EXPECT_EQ(reply.Payload, nullptr);

    ASSERT_EQ(Request(Wait, &reply, 1), 1);
    ASSERT_EQ(reply.PayloadLen, 12);
    ASSERT_NE(reply.Payload, nullptr);
    EXPECT_EQ(std::string(static_cast<char *>(reply.Payload), 12), "twelve bytes");
    free(reply.Payload);

    EXPECT_EQ(Request(Wait, nullptr, 1), 1);  // no record: the copy is released inside
}

TEST(BusReaderNoHandler, MessagesAreDroppedAndRequestsTimeOut)
{
    signal(SIGPIPE, SIG_IGN);
    busserver::Server *server = busserver::Start();
    ASSERT_NE(server, nullptr);
    ASSERT_NE(buskit::ConnectTo(server, "tester", nullptr), 0);
    busserver::ClearMessages(server);
    busserver::Respond(server, RequestType, {Reply(5)}, false);
    EXPECT_EQ(SendBusRequest(RequestType, "tester", "busserver", 0, nullptr, 0, 0, 0, nullptr,
                             300, nullptr, 0),
              0);
    busserver::SendPing(server, 3);  // pings are still answered
    EXPECT_TRUE(busserver::WaitFor(
        server, [](const std::vector<Received> &got) { return CountType(got, 2) == 1; }, Wait));
    EXPECT_EQ(CloseBus(), 1);
    busserver::Stop(server);
}

// ---- Ended connections ----------------------------------------------------------------

// CPU seconds the process uses over the next window seconds while the test thread sleeps.
[[gnu::always_inline]] inline double CpuOver(double window)
{
    double before = buskit::ProcessCpuSeconds();
    usleep(useconds_t(window * 1e6));
    return buskit::ProcessCpuSeconds() - before;
}

TEST_F(BusReaderTest, ReaderRestsWhenTheServerCloses)
{
    Outgoing last = Message(100);
    busserver::Send(server, last);  // delivered although the close follows at once
    busserver::CloseClient(server);
    ASSERT_TRUE(buskit::WaitForInbox(1, Wait));
    usleep(100000);
    double cpu = CpuOver(0.6);
    EXPECT_LT(cpu, 0.15) << "the reader keeps running on an ended connection";
    double start = buskit::NowSeconds();
    EXPECT_EQ(CloseBus(), 1);
    EXPECT_LT(buskit::NowSeconds() - start, 5.0);
    ASSERT_NE(buskit::ConnectTo(server), 0);  // and the bus can be used again
    busserver::Send(server, Message(101));
    ASSERT_TRUE(buskit::WaitForInbox(2, Wait));
    EXPECT_EQ(buskit::Inbox()[1].header.Type, 101);
}

TEST_F(BusReaderTest, ReaderRestsWhenTheServerClosesInsideAHeader)
{
    busserver::SendRaw(server, std::string(30, '\x01'));
    usleep(100000);
    busserver::CloseClient(server);
    usleep(100000);
    double cpu = CpuOver(0.6);
    EXPECT_LT(cpu, 0.15) << "the reader keeps running on an ended connection";
    EXPECT_EQ(buskit::InboxCount(), 0u);
}

TEST_F(BusReaderTest, PartialHeaderOnAnOpenConnectionCostsLittle)
{
    busserver::SendRaw(server, std::string(30, '\0'));
    usleep(100000);
    double cpu = CpuOver(0.6);
    EXPECT_LT(cpu, 0.3);
}

// Ended while it waits for the rest of a payload, the reader frees the part it holds (its
// cleanup once read the buffer as the null it was when the reader started: 60000 bytes lost).
TEST_F(BusReaderTest, ReaderEndedInsideAPayloadFreesIt)
{
    const int savedWait = BusWholeMessageWaitMs;
    BusWholeMessageWaitMs = Wait;
    Outgoing m = Message(60);
    m.payload = std::string(60000, 'p');
    std::string bytes = busserver::Encode(m);
    struct mallinfo2 before = mallinfo2();
    ASSERT_TRUE(busserver::SendRaw(server, bytes.substr(0, bytes.size() - 1)));
    usleep(300000);  // the reader has the payload buffer and waits for its last byte
    EXPECT_EQ(CloseBus(), 1);
    struct mallinfo2 after = mallinfo2();
    BusWholeMessageWaitMs = savedWait;
    EXPECT_LT(after.uordblks + after.hblkhd, before.uordblks + before.hblkhd + 30000);
    EXPECT_EQ(buskit::InboxCount(), 0u);
}

// ---- A second ConnectBus ------------------------------------------------------------------

TEST_F(BusReaderTest, SecondConnectEndsTheEarlierReaderFirst)
{
    int withOne = buskit::ThreadCount();
    ASSERT_NE(buskit::ConnectTo(server), 0);  // while open
    EXPECT_EQ(busserver::Connections(server), 2);
    EXPECT_EQ(buskit::SettledThreadCount(withOne, Wait), withOne);  // the first reader is gone
    const int count = 200;
    for (int i = 0; i < count; ++i) {
        Outgoing m = Message(uint16_t(1000 + i));
        m.payload = std::string(size_t(i % 50), char('a' + i % 26));
        busserver::Send(server, m);
    }
    ASSERT_TRUE(buskit::WaitForInbox(size_t(count), Wait));
    ASSERT_TRUE(Settle());
    auto in = buskit::Inbox();
    ASSERT_EQ(in.size(), size_t(count));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(in[size_t(i)].header.Type, 1000 + i);
        EXPECT_EQ(in[size_t(i)].payload, std::string(size_t(i % 50), char('a' + i % 26)));
        EXPECT_TRUE(pthread_equal(in[size_t(i)].thread, in[0].thread));
    }
    EXPECT_EQ(CloseBus(), 1);
    EXPECT_EQ(buskit::SettledThreadCount(withOne - 1, Wait), withOne - 1);
}

// ---- Requests from the handler ----------------------------------------------------------

// Set by the handler hooks below (on the reader), read by the tests.
std::atomic<int> innerResult{-1};
std::atomic<int> innerMs{-1};

TEST_F(BusReaderTest, RequestFromTheHandlerCannotBeAnswered)
{
    innerResult = -1;
    buskit::SetHook([](MessageRecord *m) {
        if (m->Type != 111)
            return;
        double start = buskit::NowSeconds();
        innerResult = SendBusRequest(RequestType, "tester", "busserver", 0, nullptr, 0, 0, 0,
                                     nullptr, 100, nullptr, 0);
        innerMs = int((buskit::NowSeconds() - start) * 1000);
    });
    busserver::Respond(server, RequestType, {Reply(110)}, false);
    busserver::Send(server, Message(111));
    ASSERT_TRUE(buskit::WaitForInbox(2, Wait));
    ASSERT_TRUE(Settle());
    EXPECT_EQ(innerResult, 0);
    EXPECT_GE(innerMs, 100);
    auto in = buskit::Inbox();
    ASSERT_EQ(in.size(), 2u);  // the reply came after the request gave up: the handler's
    EXPECT_EQ(in[1].header.Type, 110);
}

TEST_F(BusReaderTest, SecondRequestWhileOneWaitsIsRefused)
{
    innerResult = -1;
    buskit::SetHook([](MessageRecord *m) {
        if (m->Type == 120)
            innerResult = SendBusRequest(RequestType + 1, "tester", "busserver", 0, nullptr, 0,
                                         0, 0, nullptr, 100, nullptr, 0);
    });
    Outgoing answer = Reply(121);
    answer.delayMs = 300;
    busserver::Respond(server, RequestType, {Message(120), answer}, false);
    MessageRecord reply;
    ASSERT_EQ(Request(Wait, &reply), 1);
    EXPECT_EQ(reply.Type, 121);
    EXPECT_EQ(innerResult, 0);
    ASSERT_TRUE(Settle());
    EXPECT_EQ(CountType(busserver::Messages(server), RequestType + 1), 0u);
}

} // namespace
