// Message-bus client, sending side: the 68-byte wire image, posting, registration,
// connecting and closing, against the loopback test server.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

#include "busclient.h"
#include "internal.h"
#include "msgbus_internal.h"
#include "qmveskar.h"
#include "testsupport.h"

// Every write on the bus connection, as the client issued it (this program is linked
// with --wrap=write).
namespace {
std::mutex writesLock;
std::vector<std::string> busWrites;
} // namespace

extern "C" ssize_t __real_write(int fd, const void *buffer, size_t count);
extern "C" ssize_t __wrap_write(int fd, const void *buffer, size_t count)
{
    if (fd >= 0 && fd == BusSocket) {
        std::lock_guard<std::mutex> guard(writesLock);
        busWrites.emplace_back(static_cast<const char *>(buffer), count);
    }
    return __real_write(fd, buffer, count);
}

namespace {

std::vector<std::string> BusWrites()
{
    std::lock_guard<std::mutex> guard(writesLock);
    return busWrites;
}

void ClearBusWrites()
{
    std::lock_guard<std::mutex> guard(writesLock);
    busWrites.clear();
}

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(char(v));
    return s;
}

// A record with every field set to a value whose bytes show their order.
MessageRecord SampleRecord()
{
    MessageRecord r;
    memset(&r, 0, sizeof r);
    r.Type = 0x1234;
    r.Tag = 0xAB;
    strcpy(r.SenderName, "alpha");
    r.SenderPid = -2;
    r.DestPid = 0x01020304;
    strcpy(r.DestName, "beta");
    r.PayloadLen = 5;
    r.RequestId = 0x11223344;
    r.ReplyTo = -1;
    r.Payload = &r;  // any reference: it never reaches the wire
    return r;
}

// The same record on the wire, byte by byte.
std::string SampleWire()
{
    std::string w;
    w += Bytes({0x34, 0x12, 0xAB});
    w += std::string("alpha") + std::string(16, '\0');          // 3..23
    w += Bytes({0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01});  // 24..31
    w += std::string("beta") + std::string(18, '\0');           // 32..53
    w += Bytes({0x05, 0x00, 0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
    return w;
}

} // namespace

TEST(BusWireImage, GoldenHeaderOnEveryBuild)
{
    std::string golden = SampleWire();
    ASSERT_EQ(golden.size(), 68u);
    uint8_t out[BusHeaderSize];
    memset(out, 0x5A, sizeof out);
    EncodeBusHeader(SampleRecord(), out);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), sizeof out), golden);

    MessageRecord back;
    memset(&back, 0x5A, sizeof back);
    DecodeBusHeader(reinterpret_cast<const uint8_t *>(golden.data()), &back);
    MessageRecord want = SampleRecord();
    want.Payload = nullptr;
    EXPECT_EQ(back.Type, want.Type);
    EXPECT_EQ(back.Tag, want.Tag);
    EXPECT_STREQ(back.SenderName, "alpha");
    EXPECT_EQ(back.SenderPid, -2);
    EXPECT_EQ(back.DestPid, 0x01020304);
    EXPECT_STREQ(back.DestName, "beta");
    EXPECT_EQ(back.PayloadLen, 5);
    EXPECT_EQ(back.RequestId, 0x11223344);
    EXPECT_EQ(back.ReplyTo, -1);
    EXPECT_EQ(back.Payload, nullptr);
    if (sizeof(void *) == 4) {  // on the unit the natural layout is the wire image itself
        EXPECT_EQ(sizeof(MessageRecord), 68u);
    }
}

TEST(BusWireImage, ReceivedNamesAlwaysEndInsideTheirFields)
{
    std::string wire = SampleWire();
    wire.replace(3, 21, std::string(21, 'S'));
    wire.replace(32, 22, std::string(22, 'D'));
    MessageRecord r;
    DecodeBusHeader(reinterpret_cast<const uint8_t *>(wire.data()), &r);
    EXPECT_EQ(std::string(r.SenderName), std::string(20, 'S'));
    EXPECT_EQ(std::string(r.DestName), std::string(21, 'D'));
    EXPECT_EQ(r.SenderPid, -2);  // neighbours untouched
}

TEST(BusWireImage, ServerAddressDefaultsToPort10000)
{
    sockaddr_in a = BusServerAddress(0, 0x0100007F);
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_EQ(a.sin_port, htons(10000));
    EXPECT_EQ(a.sin_addr.s_addr, 0x0100007Fu);
    EXPECT_EQ(BusServerAddress(4711, 0x0100007F).sin_port, htons(4711));
}

class BusPost : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(qmtest::StartBus(server, 0));
        ClearBusWrites();
    }
    void TearDown() override { qmtest::StopBus(server); }
    // The messages the server has after count of them arrived.
    std::vector<busserver::Received> Arrived(size_t count)
    {
        EXPECT_TRUE(busserver::WaitForCount(server, count, 10000));
        return busserver::Messages(server);
    }
    busserver::Server *server = nullptr;
};

TEST_F(BusPost, WithoutAddresseeNothingIsSent)
{
    EXPECT_EQ(PostBusMessage(20, "me", "", 0, "x", 1, 0, 0), 0);
    EXPECT_EQ(PostBusMessage(20, "me", nullptr, 0, nullptr, 0, 0, 0), 0);
    EXPECT_NE(PostBusMessage(21, "me", "peer", 0, nullptr, 0, 0, 0), 0);  // name alone is enough
    EXPECT_NE(PostBusMessage(22, "me", nullptr, 77, nullptr, 0, 0, 0), 0);  // pid alone too
    auto got = Arrived(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].type, 21);
    EXPECT_EQ(got[0].destName, "peer");
    EXPECT_EQ(got[1].type, 22);
    EXPECT_EQ(got[1].destPid, 77);
    EXPECT_EQ(BusWrites().size(), 2u);
}

TEST_F(BusPost, PayloadTravelsInTheSameWriteAsTheHeader)
{
    int id = PostBusMessage(0x10030, "me", "peer", 5, "hello", 5, 0x1FE, 99);
    ASSERT_NE(id, 0);
    auto writes = BusWrites();
    ASSERT_EQ(writes.size(), 1u);
    ASSERT_EQ(writes[0].size(), 73u);
    EXPECT_EQ(writes[0][54], 5);
    EXPECT_EQ(writes[0][55], 0);
    EXPECT_EQ(writes[0].substr(68), "hello");
    EXPECT_EQ(writes[0].substr(64, 4), std::string(4, '\0'));  // no reference on the wire

    auto got = Arrived(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, 0x30);  // low 16 bits
    EXPECT_EQ(got[0].tag, 0xFE);   // low 8 bits
    EXPECT_EQ(got[0].senderName, "me");
    EXPECT_EQ(got[0].destPid, 5);
    EXPECT_EQ(got[0].replyTo, 99);
    EXPECT_EQ(got[0].payload, "hello");
    EXPECT_EQ(id, got[0].requestId ? got[0].requestId : 1);
}

TEST_F(BusPost, NoPayloadMeansABare68ByteHeader)
{
    ASSERT_NE(PostBusMessage(30, "me", "peer", 0, nullptr, 0, 0, 0), 0);
    ASSERT_NE(PostBusMessage(31, "me", "peer", 0, "data", 0, 0, 0), 0);   // length 0
    ASSERT_NE(PostBusMessage(32, "me", "peer", 0, "data", -4, 0, 0), 0);  // negative length
    auto writes = BusWrites();
    ASSERT_EQ(writes.size(), 3u);
    for (const auto &w : writes) {
        EXPECT_EQ(w.size(), 68u);
        EXPECT_EQ(w.substr(54, 2), std::string(2, '\0'));
        EXPECT_EQ(w.substr(64, 4), std::string(4, '\0'));
    }
    auto got = Arrived(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].type, 32);
}

TEST_F(BusPost, SenderPidIsOwnPidOrMinusOne)
{
    ASSERT_NE(PostBusMessage(40, "me", "peer", 0, nullptr, 0, 0, 0), 0);
    OwnPid = 4321;
    ASSERT_NE(PostBusMessage(41, "me", "peer", 0, nullptr, 0, 0, 0), 0);
    auto got = Arrived(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].senderPid, -1);
    EXPECT_EQ(got[1].senderPid, 4321);
}

TEST_F(BusPost, ResultIsTheRequestIdOnTheWire)
{
    std::vector<int> ids;
    for (int i = 0; i < 20; ++i)
        ids.push_back(PostBusMessage(50, "me", "peer", 0, nullptr, 0, i, 0));
    auto got = Arrived(20);
    ASSERT_EQ(got.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(ids[size_t(i)], got[size_t(i)].requestId ? got[size_t(i)].requestId : 1);
        EXPECT_GE(got[size_t(i)].requestId, 0);  // random() yields 0 .. 2^31-1
    }
}

TEST_F(BusPost, NamesAndPayloadsThatDoNotFitAreRefused)
{
    std::string sender20(20, 's'), dest21(21, 'd');
    EXPECT_EQ(PostBusMessage(60, (sender20 + "x").c_str(), "peer", 0, nullptr, 0, 0, 0), 0);
    EXPECT_EQ(PostBusMessage(60, "me", (dest21 + "x").c_str(), 0, nullptr, 0, 0, 0), 0);
    std::string big(65536, 'p');
    EXPECT_EQ(PostBusMessage(60, "me", "peer", 0, big.data(), int(big.size()), 0, 0), 0);
    EXPECT_TRUE(BusWrites().empty());

    EXPECT_NE(PostBusMessage(61, sender20.c_str(), dest21.c_str(), 0, big.data(), 65535, 0, 0), 0);
    auto got = Arrived(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, 61);
    EXPECT_EQ(got[0].senderName, sender20);
    EXPECT_EQ(got[0].destName, dest21);
    EXPECT_EQ(got[0].header[3 + 20], '\0');
    EXPECT_EQ(got[0].header[32 + 21], '\0');
    EXPECT_EQ(got[0].payload, big.substr(0, 65535));
}

TEST_F(BusPost, WriteBusMessageSendsTheRecordAsItStands)
{
    MessageRecord r = SampleRecord();
    char payload[] = "12345";
    r.Payload = payload;
    EXPECT_EQ(WriteBusMessage(r), 1);
    // A header that announces payload bytes which do not follow would put the server's
    // framing of every later message off: refused, nothing sent.
    r.Payload = nullptr;
    EXPECT_EQ(WriteBusMessage(r), 0);
    r.PayloadLen = 0;  // no payload announced: the header alone goes out
    EXPECT_EQ(WriteBusMessage(r), 1);
    auto writes = BusWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], SampleWire() + "12345");
    EXPECT_EQ(writes[1].size(), SampleWire().size());
}

class BusConnection : public ::testing::Test {
protected:
    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        server = busserver::Start();
        ASSERT_NE(server, nullptr);
    }
    void TearDown() override
    {
        CloseBus();
        busserver::Stop(server);
    }
    busserver::Server *server = nullptr;
};

TEST_F(BusConnection, RegistersWithTheClientNameRightAfterConnecting)
{
    int id = ConnectBus("acquisition", busserver::Port(server), busserver::LoopbackAddress(), 1,
                        "supervisor", buskit::RecordingHandler);
    ASSERT_NE(id, 0);
    ASSERT_TRUE(busserver::WaitForCount(server, 1, 10000));
    auto got = busserver::Messages(server);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, 3);
    EXPECT_EQ(got[0].tag, 0);
    EXPECT_EQ(got[0].senderName, "acquisition");
    EXPECT_EQ(got[0].destName, "supervisor");
    EXPECT_EQ(got[0].destPid, 1);
    EXPECT_EQ(got[0].replyTo, 0);
    EXPECT_EQ(got[0].payloadLen, 0);
    EXPECT_EQ(id, got[0].requestId ? got[0].requestId : 1);

    linger l;
    socklen_t size = sizeof l;
    ASSERT_EQ(getsockopt(BusSocket, SOL_SOCKET, SO_LINGER, &l, &size), 0);
    EXPECT_NE(l.l_onoff, 0);
    EXPECT_EQ(l.l_linger, 1);
    EXPECT_TRUE(fcntl(BusSocket, F_GETFD) & FD_CLOEXEC);
}

TEST_F(BusConnection, WithoutAddresseeTheConnectionStaysOpenButReportsZero)
{
    int before = busserver::Connections(server);
    EXPECT_EQ(ConnectBus("quiet", busserver::Port(server), busserver::LoopbackAddress(), 0, "",
                         buskit::RecordingHandler),
              0);
    EXPECT_TRUE(busserver::WaitForClients(server, before + 1, 10000));
    EXPECT_NE(BusSocket, -1);
    EXPECT_EQ(CloseBus(), 1);
    EXPECT_EQ(BusSocket, -1);
}

TEST_F(BusConnection, RefusedConnectLeavesItClosed)
{
    // A port that nothing listens on: bound, then released.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = BusServerAddress(0, busserver::LoopbackAddress());
    a.sin_port = 0;
    socklen_t size = sizeof a;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&a), &size), 0);
    close(probe);
    int threads = buskit::ThreadCount();
    EXPECT_EQ(ConnectBus("x", ntohs(a.sin_port), busserver::LoopbackAddress(), 1, "y",
                         buskit::RecordingHandler),
              0);
    EXPECT_EQ(BusSocket, -1);
    EXPECT_EQ(buskit::ThreadCount(), threads);  // no reader started
    EXPECT_EQ(CloseBus(), 0);
}

TEST_F(BusConnection, CloseReportsWhetherAConnectionWasOpen)
{
    EXPECT_EQ(CloseBus(), 0);
    ASSERT_NE(buskit::ConnectTo(server), 0);
    EXPECT_EQ(CloseBus(), 1);
    EXPECT_EQ(CloseBus(), 0);
}

extern "C" void CountSignal(int) {}

TEST_F(BusConnection, CloseLeavesSigpipeAndSigioAtTheirDefaults)
{
    ASSERT_NE(buskit::ConnectTo(server), 0);
    signal(SIGPIPE, CountSignal);
    signal(SIGIO, CountSignal);
    EXPECT_EQ(CloseBus(), 1);
    struct sigaction now;
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    sigaction(SIGIO, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
}

TEST_F(BusConnection, PostAfterCloseFails)
{
    ASSERT_NE(buskit::ConnectTo(server), 0);
    ASSERT_EQ(CloseBus(), 1);
    EXPECT_EQ(PostBusMessage(70, "me", "peer", 0, nullptr, 0, 0, 0), 0);
    MessageRecord r = SampleRecord();
    r.Payload = nullptr;
    EXPECT_EQ(WriteBusMessage(r), 0);
}
