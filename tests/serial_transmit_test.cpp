// Transmitter and loopback self-test on a bench port: a pty slave driven through the UART
// emulation preloaded into this program, with the pty master as the RS-485 line. The
// emulation's trace shows the order and timing of flushes, DTR, writes and status polls;
// its control file plays a port that fails.
#include <algorithm>
#include <climits>
#include <cstring>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "privileges.h"
#include "ptyline.h"
#include "testsupport.h"
#include "uartemu_control.h"
#include "uartemu_trace.h"

using uartemu::Record;

namespace {

using qmtest::Drain, qmtest::SetUartemuControl;

const std::vector<uint8_t> kRequest = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};

class BenchPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qmtest::UartemuTracePath().empty() || qmtest::UartemuControlPath().empty())
            GTEST_SKIP() << "needs the UART emulation with trace and control file (ctest)";
        SetUartemuControl("");
        ASSERT_FALSE(pty.slave.empty());
        ASSERT_TRUE(qmtest::OpenTestLine(pty.Tty()));
        PreTxDelay = DtrLeadDelay = DtrTailDelay = 0;
    }
    void TearDown() override
    {
        CloseLine();
        SetUartemuControl("");
        PreTxDelay = DtrLeadDelay = DtrTailDelay = 0;
    }
    // The trace records of our port from now on.
    void Mark() { mark = uartemu::NowUs(); }
    std::vector<Record> Trace() const
    {
        std::vector<Record> mine;
        for (const Record &r : uartemu::ReadTrace(qmtest::UartemuTracePath()))
            if (r.pid == getpid() && r.fd == LineFd && r.t >= mark)
                mine.push_back(r);
        return mine;
    }
    std::string Order() const
    {
        return uartemu::Join(
            uartemu::Sequence(Trace(), {"flush", "dtr", "write", "lsr", "loop"}));
    }
    static const Record *First(const std::vector<Record> &t, const std::string &event, int v = -1)
    {
        for (const Record &r : t)
            if (r.event == event && (v < 0 || r.Int("v") == v))
                return &r;
        return nullptr;
    }
    // Sends the request frame, expecting that result (and the seconds it took): its trace.
    std::vector<Record> Send(int expected = 1, double *took = nullptr)
    {
        RtuFrame *f = MakeRtuFrame(1, kRequest.data() + 1, 5);
        Mark();
        double t0 = qmtest::NowSeconds();
        EXPECT_EQ(SendRtuFrame(f, LineFd), expected);
        if (took)
            *took = qmtest::NowSeconds() - t0;
        FreeRtuFrame(f);
        return Trace();
    }
    qmtest::PtyPair pty;
    int64_t mark = 0;
};

} // namespace

TEST_F(BenchPort, FrameGoesOutBetweenDtrUpAndDown)
{
    auto t = Send();
    EXPECT_EQ(qmtest::CurrentPolicy(), SCHED_OTHER);
    EXPECT_EQ(Order(), "flush flush dtr+ write lsr dtr- flush");
    const Record *write = First(t, "write");
    const Record *down = First(t, "dtr", 0);
    const Record *lsr = First(t, "lsr");
    ASSERT_TRUE(write && down && lsr);
    EXPECT_EQ(write->Str("dest"), "line");
    EXPECT_EQ(write->Bytes(), kRequest);
    EXPECT_EQ(down->Int("cut"), 0);          // nothing was still on its way
    EXPECT_GE(down->t, write->Int("end"));   // DTR stays up until the last stop bit
    EXPECT_LT(down->t, write->Int("end") + 100000);
    EXPECT_EQ(lsr->Int("v") & 1, 1);
    // 8 bytes: 6.4 ms asleep after the write, then polls until the 8.3 ms wire time ends.
    EXPECT_GE(lsr->t - write->t, 6400);
    EXPECT_LT(lsr->t - write->t, 6400 + 100000);
    // A first poll before the last stop bit cannot show TEMT: the wait goes on polling. (A
    // loaded machine may wake the sender after the frame's end: one poll then suffices.)
    if (lsr->t < write->Int("end")) {
        EXPECT_GT(lsr->Int("polls"), 1);
    }
    EXPECT_LE(lsr->Int("prev"), write->Int("end"));
    EXPECT_GE(lsr->Int("last"), write->Int("end"));
    EXPECT_EQ(Drain(pty.master), kRequest);  // the whole frame reached the line
}

// Above 9600 bit/s the 800 us per byte would outlast the frame on the wire and keep DTR up
// into the device's reply; the sleep then ends 1 ms before the frame's wire time does.
TEST_F(BenchPort, FasterLinesSleepOnlyThroughTheFrame)
{
    struct {
        int32_t speed;
        int64_t sleepUs;  // 8 bytes 8N1
        int64_t wireUs;
    } cases[] = {{19200, 3167, 4167}, {38400, 1083, 2083}, {115200, 0, 694}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.speed);
        CloseLine();
        ASSERT_TRUE(OpenLine(qmtest::Settings(pty.Tty(), c.speed, 0, 0, 0)));
        // A loaded machine may wake the sender late, never early: DTR's drop is judged by
        // the earliest of up to five sends (the fixed sleep would drop it 2.2 to 5.7 ms late).
        int64_t late = INT64_MAX;
        for (int send = 0; send < 5 && late >= 2000; ++send) {
            auto t = Send();
            const Record *write = First(t, "write");
            const Record *lsr = First(t, "lsr");
            const Record *down = First(t, "dtr", 0);
            ASSERT_TRUE(write && lsr && down);
            EXPECT_NEAR(double(write->Int("end") - write->Int("start")), double(c.wireUs), 5.0);
            EXPECT_GE(lsr->t - write->t, c.sleepUs);
            EXPECT_GE(down->t, write->Int("end"));
            EXPECT_EQ(down->Int("cut"), 0);
            EXPECT_EQ(Drain(pty.master), kRequest);
            late = std::min(late, down->t - write->Int("end"));
        }
        EXPECT_LT(late, 2000);
    }
}

TEST_F(BenchPort, DelaysFrameTheTransmission)
{
    PreTxDelay = 5;
    DtrLeadDelay = 2;
    DtrTailDelay = 1;
    auto t = Send();
    const Record *flush = First(t, "flush");
    const Record *up = First(t, "dtr", 1);
    const Record *write = First(t, "write");
    const Record *down = First(t, "dtr", 0);
    ASSERT_TRUE(flush && up && write && down);
    // Scheduling and, in the 32-bit build, the emulator, on a loaded machine: the upper
    // bounds only catch a delay taken in the wrong unit or by the wrong field.
    const int64_t slack = 100000;
    EXPECT_GE(up->t - flush->t, 5000);
    EXPECT_LT(up->t - flush->t, 5000 + slack);
    EXPECT_GE(write->t - up->t, 2000);
    EXPECT_LT(write->t - up->t, 2000 + slack);
    EXPECT_GE(down->t - write->Int("end"), 1000);
    EXPECT_LT(down->t - write->Int("end"), 1000 + slack);
    EXPECT_EQ(Drain(pty.master), kRequest);

    // Negative delays are no delays.
    PreTxDelay = DtrLeadDelay = DtrTailDelay = -20;
    t = Send();
    up = First(t, "dtr", 1);
    write = First(t, "write");
    down = First(t, "dtr", 0);
    ASSERT_TRUE(up && write && down);
    EXPECT_LT(write->t - up->t, 1000 + slack);
    EXPECT_LT(down->t - write->Int("end"), slack);
}

// What the port hears of its own transmission (the transceiver's echo) is discarded.
TEST_F(BenchPort, EchoIsFlushedAfterTheFrame)
{
    SetUartemuControl("echo=1\n");
    Send();
    int waiting = -1;
    ASSERT_EQ(ioctl(LineFd, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 0);
}

TEST_F(BenchPort, UnusableFrameOnlyFlushes)
{
    uint8_t byte = 1;
    RtuFrame empty = {0, &byte};
    RtuFrame bufferless = {8, nullptr};
    for (const RtuFrame *f : {static_cast<const RtuFrame *>(nullptr),
                              static_cast<const RtuFrame *>(&empty),
                              static_cast<const RtuFrame *>(&bufferless)}) {
        Mark();
        EXPECT_EQ(SendRtuFrame(f, LineFd), 0);
        EXPECT_EQ(Order(), "flush");
    }
    // No priority change is even tried: a process without the right to real-time
    // scheduling prints no warning.
    auto child = qmtest::InChild([] {
        qmtest::RefuseRealTime();
        return SendRtuFrame(nullptr, LineFd) == 0 ? 0 : 1;
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.err, "");
    EXPECT_EQ(Drain(pty.master), std::vector<uint8_t>{});
}

// A port that fails: the frame is not sent, DTR is dropped without the tail delay, the
// priority is restored.
TEST_F(BenchPort, FailuresDropDtrAndReturnZero)
{
    DtrTailDelay = 200;
    struct {
        const char *control;
        const char *order;
    } cases[] = {
        {"write=short\n", "flush flush dtr+ write flush dtr-"},
        {"write=fail\n", "flush flush dtr+ write flush dtr-"},
        {"lsr_fail=1\n", "flush flush dtr+ write lsr flush dtr-"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.control);
        SetUartemuControl(c.control);
        double took = 0;
        Send(0, &took);
        EXPECT_LT(took, 0.15);  // no 200 ms tail delay
        EXPECT_EQ(Order(), c.order);
        EXPECT_EQ(qmtest::CurrentPolicy(), SCHED_OTHER);
        Drain(pty.master);
    }
}

// A transmitter that never reports empty: the wait at real-time priority gives up after
// its bound (10 ms per byte + 100 ms: 180 ms for 8 bytes) and takes the failure exit.
TEST_F(BenchPort, StuckTransmitterEndsTheWait)
{
    SetUartemuControl("temt=stuck\n");
    double took = 0;
    Send(0, &took);
    EXPECT_GE(took, 0.18);
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(Order(), "flush flush dtr+ write lsr flush dtr-");
    EXPECT_EQ(qmtest::CurrentPolicy(), SCHED_OTHER);
}

TEST_F(BenchPort, LoopbackResultCodes)
{
    struct {
        const char *control;
        int result;
        const char *order;
    } cases[] = {
        {"", 1, "flush flush loop+ write lsr loop- flush"},
        {"loop=silent\n", -3, "flush flush loop+ write lsr loop- flush"},
        {"loop=corrupt\n", -5, "flush flush loop+ write lsr loop- flush"},
        {"write=short\n", -1, "flush flush loop+ write loop- flush"},
        {"lsr_fail=1\n", -2, "flush flush loop+ write lsr loop- flush"},
        {"temt=stuck\n", -2, "flush flush loop+ write lsr loop- flush"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.control);
        SetUartemuControl(c.control);
        Mark();
        EXPECT_EQ(TestUartLoopback(LineFd), c.result);
        EXPECT_EQ(qmtest::CurrentPolicy(), SCHED_OTHER);
        int bits = 0;
        ioctl(LineFd, TIOCMGET, &bits);
        EXPECT_EQ(bits & (0x8000 | TIOCM_DTR), 0);  // loopback off, DTR never raised
        // Input is flushed at the end; after an early exit (-1, a failed status read) the
        // character still in the shift register may come back after that flush, which
        // the next operation's first flush discards.
        int waiting = -1;
        ioctl(LineFd, FIONREAD, &waiting);
        if (c.result != -1 && strcmp(c.control, "lsr_fail=1\n") != 0) {
            EXPECT_EQ(waiting, 0);
        }
        EXPECT_EQ(Order(), c.order);
        auto reads = uartemu::Sequence(Trace(), {"rx"});
        EXPECT_EQ(reads.size(), c.result == -5 || c.result == 1 ? 1u : 0u);
        auto t = Trace();
        const Record *write = First(t, "write");
        ASSERT_NE(write, nullptr);
        if (write->Has("data")) {
            EXPECT_EQ(write->Str("dest"), "loop");
            std::vector<uint8_t> frame(LoopbackTestFrame, LoopbackTestFrame + 20);
            frame.resize(write->Bytes().size());
            EXPECT_EQ(write->Bytes(), frame);
        }
    }
    EXPECT_EQ(Drain(pty.master), std::vector<uint8_t>{});  // nothing reached the line
}

TEST_F(BenchPort, LoopbackWaitsTheLeadDelayAndTheEcho)
{
    DtrLeadDelay = 30;
    Mark();
    double t0 = qmtest::NowSeconds();
    EXPECT_EQ(TestUartLoopback(LineFd), 1);
    double took = qmtest::NowSeconds() - t0;
    EXPECT_GE(took, 0.23);  // 30 ms lead, 20.8 ms on the wire, 200 ms for the echo
    EXPECT_LT(took, 1.5);
    auto t = Trace();
    const Record *on = First(t, "loop", 1);
    const Record *write = First(t, "write");
    ASSERT_TRUE(on && write);
    EXPECT_GE(write->t - on->t, 30000);
    EXPECT_EQ(std::string(LoopbackTestFrame), "*****TestFrame******");
}
