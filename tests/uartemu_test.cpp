// UART emulation of the virtual field line: this program runs with libuartemu.so preloaded
// (qm_uartemu_preload), opens pty pairs and drives the slave side as the line's master
// does; the pty master stands for the RS-485 line. Checks wire timing of the transmitter
// empty flag, DTR as transmit enable, echo, the internal loopback modes, injected line
// status, the trace and its SVG view, and a separate program started with the emulation.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "ptypair.h"
#include "testsupport.h"
#include "uartemu_control.h"
#include "uartemu_selftest.h"
#include "uartemu_trace.h"

namespace {

constexpr int kLoop = 0x8000;  // TIOCM_LOOP
const char kTestFrame[] = "*****TestFrame******";

using qmtest::UartemuControlPath, qmtest::UartemuTracePath;
const auto Control = qmtest::SetUartemuControl;

// A pty pair with its slave, the emulated port, open.
struct Line : qmtest::PtyPair {
    int port = -1;
    const std::string &path = slave;
    Line() : PtyPair(O_NONBLOCK)
    {
        if (!slave.empty())
            port = open(slave.c_str(), O_RDWR | O_NOCTTY);
    }
    ~Line()
    {
        if (port >= 0)
            close(port);
    }
};

// The raw mode of the line master: speed, parity (0 none, 1 odd, 2 even), data and stop bits.
int SetMode(int fd, speed_t speed, int parity, int data, int stop)
{
    termios t{};
    t.c_iflag = IGNBRK | (parity ? INPCK : 0);
    t.c_cflag = CREAD | CLOCAL | (data == 5 ? CS5 : data == 6 ? CS6 : data == 7 ? CS7 : CS8) |
                (stop == 2 ? CSTOPB : 0) | (parity ? PARENB : 0) | (parity == 1 ? PARODD : 0);
    t.c_cc[VMIN] = 1;
    cfsetospeed(&t, speed);
    return tcsetattr(fd, TCSANOW, &t);
}

void SetLine(int fd, int bit, bool on) { ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit); }

int Modem(int fd)
{
    int v = -1;
    EXPECT_EQ(ioctl(fd, TIOCMGET, &v), 0);
    return v;
}

// Polls the line status without pause until TEMT; the moment it showed (µs).
int64_t WaitTemt(int fd, int limitMs = 5000)
{
    int64_t limit = uartemu::NowUs() + int64_t(limitMs) * 1000;
    for (;;) {
        int lsr = 0;
        if (ioctl(fd, TIOCSERGETLSR, &lsr) != 0)
            return -1;
        int64_t now = uartemu::NowUs();
        if (lsr & TIOCSER_TEMT)
            return now;
        if (now > limit)
            return -2;
    }
}

int Lsr(int fd)
{
    int v = -1;
    return ioctl(fd, TIOCSERGETLSR, &v) == 0 ? v : -1;
}

int Pending(int fd)
{
    int n = -1;
    EXPECT_EQ(ioctl(fd, FIONREAD, &n), 0);
    return n;
}

// What the line carried (qmtest::Drain), as text.
std::string Drain(int master, int quietMs = 60)
{
    std::vector<uint8_t> got = qmtest::Drain(master, quietMs);
    return std::string(got.begin(), got.end());
}

// The trace records of this process from t0 on.
std::vector<uartemu::Record> TraceSince(int64_t t0, const std::string &event = "")
{
    std::vector<uartemu::Record> out;
    for (auto &r : uartemu::Select(uartemu::ReadTrace(UartemuTracePath()), event, getpid()))
        if (r.t >= t0)
            out.push_back(r);
    return out;
}

class UartEmu : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
        if (UartemuTracePath().empty() || UartemuControlPath().empty())
            GTEST_SKIP() << "UARTEMU_TRACE / UARTEMU_CTL not set (run through ctest)";
        Control("");
        ASSERT_GE(line.port, 0) << "no pty pair";
        int dtr = 0;
        ASSERT_EQ(ioctl(line.port, TIOCMGET, &dtr), 0) << "the emulation is not preloaded";
        t0 = uartemu::NowUs();
    }
    void TearDown() override
    {
        if (!IsSkipped())
            Control("");
    }
    Line line;
    int64_t t0 = 0;
};

struct WireCase {
    speed_t speed;
    unsigned bps;
    int parity, data, stop;
    int bytes;
};

} // namespace

TEST_F(UartEmu, TransmitterEmptyFollowsTheWireTimeOfTheFrame)
{
    const WireCase cases[] = {
        {B9600, 9600, 0, 8, 1, 20},     // 10 bits: 20.8 ms
        {B115200, 115200, 0, 8, 1, 64}, // 10 bits: 5.6 ms
        {B115200, 115200, 2, 8, 1, 64}, // 8E1, 11 bits: 6.1 ms
        {B9600, 9600, 1, 7, 2, 10},     // 7O2, 11 bits: 11.5 ms
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.bps << " bit/s, " << c.data << " data bits, parity "
                                        << c.parity << ", " << c.stop << " stop bits");
        ASSERT_EQ(SetMode(line.port, c.speed, c.parity, c.data, c.stop), 0);
        SetLine(line.port, TIOCM_DTR, true);
        int bits = 1 + c.data + (c.parity ? 1 : 0) + c.stop;
        double wireUs = 1e6 * bits * c.bytes / c.bps;
        std::string frame(size_t(c.bytes), 'U');
        int64_t before = uartemu::NowUs();
        ASSERT_EQ(write(line.port, frame.data(), frame.size()), ssize_t(frame.size()));
        EXPECT_EQ(Lsr(line.port) & TIOCSER_TEMT, 0) << "transmitter empty right after the write";
        int64_t temt = WaitTemt(line.port);
        ASSERT_GT(temt, 0);
        SetLine(line.port, TIOCM_DTR, false);
        EXPECT_EQ(Drain(line.master), frame) << "the line carries the frame";

        auto writes = TraceSince(before, "write");
        ASSERT_EQ(writes.size(), 1u);
        const auto &w = writes[0];
        // The computed moments: start at the write (the transmitter was idle), the last stop
        // bit one frame time later.
        EXPECT_NEAR(double(w.Int("end") - w.Int("start")), wireUs, 0.001 * wireUs + 2);
        EXPECT_NEAR(double(w.Int("end") - w.t), wireUs, 0.1 * wireUs);
        // TEMT never before the wire time, and at the first poll after it: the poll before
        // the one that showed it came before the end, on the emulation's own clock. How late
        // that poll comes is the scheduler's; only a TEMT that never comes is a fault.
        EXPECT_GE(temt, w.Int("end"));
        EXPECT_GE(double(temt - before), wireUs);
        EXPECT_LE(double(temt - w.Int("end")), 0.1 * wireUs + 500000);
        auto waits = TraceSince(before, "lsr");
        ASSERT_FALSE(waits.empty());
        const auto &last = waits.back();
        EXPECT_EQ(last.Int("v") & 1, 1);
        EXPECT_GE(last.Int("last"), w.Int("end"));
        if (last.t < w.Int("end")) {  // a first poll before the end cannot be the last
            EXPECT_GT(last.Int("polls"), 1);
        }
        EXPECT_LE(last.Int("prev"), w.Int("end"));  // microseconds: the same one at most
    }
}

TEST_F(UartEmu, AnyFramingIsAcceptedKeptAndTimed)
{
    // On a bare pty, 8E1 after 8E1 at the same speed fails: the kernel forced CS8 without
    // parity the first time. The emulation keeps the requested mode.
    ASSERT_EQ(SetMode(line.port, B19200, 2, 8, 1), 0);
    ASSERT_EQ(SetMode(line.port, B19200, 2, 8, 1), 0);
    ASSERT_EQ(SetMode(line.port, B19200, 1, 7, 2), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(line.port, &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS7));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB), tcflag_t(PARENB | PARODD | CSTOPB));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B19200));
    ASSERT_EQ(SetMode(line.port, B4800, 0, 5, 1), 0);
    auto modes = TraceSince(t0, "mode");
    ASSERT_GE(modes.size(), 4u);
    EXPECT_EQ(modes[2].Str("parity"), "O");
    EXPECT_EQ(modes[2].Int("bits"), 11);
    EXPECT_NEAR(modes[2].Real("char_us"), 11e6 / 19200, 0.01);
    EXPECT_EQ(modes.back().Int("bits"), 7);
    EXPECT_EQ(modes.back().Int("speed"), 4800);
    for (const auto &m : modes)
        EXPECT_EQ(m.Int("rc"), 0);
}

TEST_F(UartEmu, DtrIsTheTransmitEnable)
{
    ASSERT_EQ(SetMode(line.port, B9600, 0, 8, 1), 0);
    // Raised at open, as Linux's serial core does, until the program clears it.
    EXPECT_EQ(Modem(line.port) & TIOCM_DTR, TIOCM_DTR) << "DTR starts high";
    SetLine(line.port, TIOCM_DTR, false);
    // DTR low: the UART sends, nothing reaches the line.
    ASSERT_EQ(write(line.port, "\x01\x03\x00\x00", 4), 4);
    EXPECT_GT(WaitTemt(line.port), 0);
    EXPECT_EQ(Drain(line.master), "");
    // DTR high: the frame reaches the line.
    SetLine(line.port, TIOCM_DTR, true);
    ASSERT_EQ(write(line.port, "\x01\x03\x00\x01", 4), 4);
    EXPECT_GT(WaitTemt(line.port), 0);
    EXPECT_EQ(Drain(line.master), std::string("\x01\x03\x00\x01", 4));
    // DTR dropped 10 ms into a 520 ms frame: the rest never gets onto the line. (The
    // frame is long so that a test held up by a loaded machine still drops DTR in it.)
    std::string frame(500, 'x');
    ASSERT_EQ(write(line.port, frame.data(), frame.size()), 500);
    usleep(10000);
    SetLine(line.port, TIOCM_DTR, false);
    std::string got = Drain(line.master, 100);
    EXPECT_GE(got.size(), 5u);
    EXPECT_LT(got.size(), frame.size());
    auto writes = TraceSince(t0, "write");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].Str("dest"), "lost");
    EXPECT_EQ(writes[1].Str("dest"), "line");
    EXPECT_EQ(writes[0].Bytes(), (std::vector<uint8_t>{1, 3, 0, 0}));
    auto dtr = TraceSince(t0, "dtr");
    ASSERT_EQ(dtr.size(), 3u) << "only changes are traced";
    EXPECT_EQ(dtr[2].Int("v"), 0);
    EXPECT_EQ(size_t(dtr[2].Int("cut")) + got.size(), frame.size());
}

TEST_F(UartEmu, ModemControlWordIsPerPortAndDroppedOnClose)
{
    EXPECT_EQ(Modem(line.port), TIOCM_DTR | TIOCM_RTS) << "raised at open";
    int bits = 0;
    ASSERT_EQ(ioctl(line.port, TIOCMSET, &bits), 0);
    bits = TIOCM_DTR | TIOCM_RTS;
    ASSERT_EQ(ioctl(line.port, TIOCMBIS, &bits), 0);
    EXPECT_EQ(Modem(line.port), TIOCM_DTR | TIOCM_RTS);
    bits = TIOCM_RTS;
    ASSERT_EQ(ioctl(line.port, TIOCMBIC, &bits), 0);
    EXPECT_EQ(Modem(line.port), TIOCM_DTR);
    bits = kLoop | TIOCM_RTS;
    ASSERT_EQ(ioctl(line.port, TIOCMSET, &bits), 0);
    EXPECT_EQ(Modem(line.port), kLoop | TIOCM_RTS);
    EXPECT_EQ(uartemu::Join(uartemu::Sequence(TraceSince(t0), {"dtr", "rts", "loop"})),
              "dtr- rts- dtr+ rts+ rts- dtr- rts+ loop+");

    Line other;
    ASSERT_GE(other.port, 0);
    EXPECT_EQ(Modem(other.port), TIOCM_DTR | TIOCM_RTS) << "a second port has its own word";
    int fd = line.port;
    close(line.port);
    line.port = open(line.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(line.port, 0);
    if (line.port == fd || other.port == fd)
        SUCCEED() << "descriptor number reused";
    EXPECT_EQ(Modem(line.port), TIOCM_DTR | TIOCM_RTS)
        << "state of the closed descriptor was dropped";
    Control("open_lines=low\n");
    Line low;
    ASSERT_GE(low.port, 0);
    EXPECT_EQ(Modem(low.port), 0);
}

TEST_F(UartEmu, EchoComesBackAtWireSpeedUntilFlushed)
{
    Control("echo=1\n");
    // The master's open: DTR, raised by the open, cleared.
    SetLine(line.port, TIOCM_DTR, false);
    ASSERT_EQ(SetMode(line.port, B9600, 0, 8, 1), 0);
    const std::string request("\x11\x03\x00\x00\x00\x03\x06\x9b", 8);
    SetLine(line.port, TIOCM_DTR, true);
    int64_t before = uartemu::NowUs();
    ASSERT_EQ(write(line.port, request.data(), request.size()), 8);
    // The first echoed byte arrives one character time (~1 ms) after the write, not at once.
    pollfd p{line.port, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    int64_t first = uartemu::NowUs();
    EXPECT_GE(first - before, 1000);
    EXPECT_LT(first - before, 50000);
    EXPECT_GT(WaitTemt(line.port), 0);
    EXPECT_EQ(Pending(line.port), 8);
    SetLine(line.port, TIOCM_DTR, false);
    EXPECT_EQ(Drain(line.master), request);
    char buf[16] = {};
    ASSERT_EQ(read(line.port, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), request.substr(0, 3));
    EXPECT_EQ(Pending(line.port), 5);
    tcflush(line.port, TCIOFLUSH);
    EXPECT_EQ(Pending(line.port), 0) << "the flush discards the rest of the echo";
    auto flush = TraceSince(before, "flush");
    ASSERT_EQ(flush.size(), 1u);
    EXPECT_EQ(flush[0].Int("in"), 5);

    // Without DTR nothing is sent, so nothing echoes; with echo switched off neither.
    ASSERT_EQ(write(line.port, "ab", 2), 2);
    WaitTemt(line.port);
    EXPECT_EQ(Pending(line.port), 0);
    Control("echo=0\n");
    SetLine(line.port, TIOCM_DTR, true);
    ASSERT_EQ(write(line.port, "cd", 2), 2);
    WaitTemt(line.port);
    EXPECT_EQ(Pending(line.port), 0);
    EXPECT_EQ(Drain(line.master), "cd");
}

TEST_F(UartEmu, ReceiverLoopSeesEchoThenReplyOneByteAtATime)
{
    // A transmitter that forgets the flush after the frame: its receiver reads its own
    // request before the reply.
    Control("echo=1\n");
    ASSERT_EQ(SetMode(line.port, B19200, 0, 8, 1), 0);
    const std::string request("\x01\x03\x00\x00\x00\x01\x84\x0a", 8);
    const std::string reply("\x01\x03\x02\x12\x34\xb5\x33", 7);
    SetLine(line.port, TIOCM_DTR, true);
    ASSERT_EQ(write(line.port, request.data(), request.size()), 8);
    ASSERT_GT(WaitTemt(line.port), 0);
    SetLine(line.port, TIOCM_DTR, false);
    ASSERT_EQ(Drain(line.master, 20), request);
    ASSERT_EQ(write(line.master, reply.data(), reply.size()), 7);
    std::string got;
    for (int idle = 0; idle < 5;) {
        pollfd p{line.port, POLLIN | POLLPRI, 0};
        int n = 0;
        if (poll(&p, 1, 10) <= 0 || ioctl(line.port, FIONREAD, &n) != 0 || n <= 0) {
            ++idle;
            continue;
        }
        char b;
        ASSERT_EQ(read(line.port, &b, 1), 1);
        got += b;
    }
    EXPECT_EQ(got, request + reply);
    auto rx = TraceSince(t0, "rx");
    ASSERT_EQ(rx.size(), 15u);
    EXPECT_EQ(rx.front().Int("inj"), 1);
    EXPECT_EQ(rx.back().Int("inj"), 0);
}

TEST_F(UartEmu, LoopbackModesOfTheSelfTest)
{
    ASSERT_EQ(SetMode(line.port, B9600, 0, 8, 1), 0);
    EXPECT_EQ(ue_loopback_selftest(line.port), 1);
    Control("loop=corrupt\n");
    EXPECT_EQ(ue_loopback_selftest(line.port), -5);
    Control("loop=silent\n");
    EXPECT_EQ(ue_loopback_selftest(line.port), -3);
    Control("[" + line.path + "]\nloop=corrupt\n[/dev/pts/none]\nloop=silent\n");
    EXPECT_EQ(ue_loopback_selftest(line.port), -5) << "a section for this port";
    Control("write=short\n");
    EXPECT_EQ(ue_loopback_selftest(line.port), -1);
    Control("lsr_fail=1\n");
    EXPECT_EQ(ue_loopback_selftest(line.port), -2);
    Control("");
    // The failures above left the byte that was in the shift register to come back, and
    // bytes in the receive FIFO until its time-out.
    WaitTemt(line.port);
    usleep(30000);
    tcflush(line.port, TCIOFLUSH);
    // Looped bytes come back at wire speed, and never reach the line even with DTR high.
    SetLine(line.port, TIOCM_DTR, true);
    SetLine(line.port, kLoop, true);
    ASSERT_EQ(write(line.port, kTestFrame, 20), 20);
    EXPECT_LT(Pending(line.port), 20);
    WaitTemt(line.port);
    usleep(30000);  // the last 4 wait for the receive FIFO's time-out
    EXPECT_EQ(Pending(line.port), 20);
    SetLine(line.port, kLoop, false);
    SetLine(line.port, TIOCM_DTR, false);
    EXPECT_EQ(Drain(line.master), "");
    auto writes = TraceSince(t0, "write");
    ASSERT_GE(writes.size(), 3u);
    EXPECT_EQ(writes[0].Str("dest"), "loop");
    EXPECT_EQ(writes[1].Str("mode"), "corrupt");
    EXPECT_EQ(writes[2].Str("mode"), "silent");
    EXPECT_EQ(writes[1].Bytes(), std::vector<uint8_t>(kTestFrame, kTestFrame + 20))
        << "the trace shows the bytes as written";
}

TEST_F(UartEmu, LineStatusErrorsAreInjected)
{
    EXPECT_EQ(Lsr(line.port), TIOCSER_TEMT);
    // As Linux's serial core: only TEMT, whatever error bits are asked for.
    Control("lsr=0x04\nlsr_once=0x0a\n");
    EXPECT_EQ(Lsr(line.port), TIOCSER_TEMT);
    Control("lsr_errors=inject\nlsr=0x04\n");
    EXPECT_EQ(Lsr(line.port), TIOCSER_TEMT | 0x04);
    EXPECT_EQ(Lsr(line.port), TIOCSER_TEMT | 0x04) << "sticky while the file says so";
    Control("lsr_errors=inject\nlsr_once=0x0a\n");
    EXPECT_EQ(Lsr(line.port), TIOCSER_TEMT | 0x0a);
    EXPECT_EQ(Lsr(line.port), TIOCSER_TEMT) << "once per change of the file";
    Control("lsr_errors=inject\nlsr_once=0x02\nlsr=0x40\n");
    EXPECT_EQ(Lsr(line.port), TIOCSER_TEMT | 0x02) << "only the error bits are injected";
    Control("lsr_fail=1\n");
    int v = 0;
    errno = 0;
    EXPECT_EQ(ioctl(line.port, TIOCSERGETLSR, &v), -1);
    EXPECT_EQ(errno, EIO);
    Control("temt=stuck\n");
    EXPECT_EQ(WaitTemt(line.port, 50), -2) << "a transmitter that never empties";
    Control("");
    EXPECT_EQ(Lsr(line.port), TIOCSER_TEMT);
    auto waits = TraceSince(t0, "lsr");
    ASSERT_GE(waits.size(), 8u);
    EXPECT_EQ(waits[1].Int("v"), 0x01);
    EXPECT_EQ(waits[2].Int("v"), 0x05);
    EXPECT_EQ(waits[4].Int("v"), 0x0b);
    EXPECT_TRUE(waits[7].Has("fail"));
    EXPECT_GE(TraceSince(t0, "ctl").size(), 5u);
}

TEST_F(UartEmu, OutputFlushDiscardsWhatHasNotStarted)
{
    ASSERT_EQ(SetMode(line.port, B9600, 0, 8, 1), 0);
    SetLine(line.port, TIOCM_DTR, true);
    std::string frame(500, 'z');  // 520 ms on the wire
    ASSERT_EQ(write(line.port, frame.data(), frame.size()), 500);
    usleep(20000);
    int64_t flushed = uartemu::NowUs();
    tcflush(line.port, TCOFLUSH);
    int64_t temt = WaitTemt(line.port);
    // 1 ms for the byte in the shift register; the rest of the frame would be 400 ms more.
    EXPECT_LT(temt - flushed, 200000) << "only the byte in the shift register finishes";
    std::string got = Drain(line.master);
    EXPECT_GE(got.size(), 10u);
    EXPECT_LT(got.size(), frame.size());
    auto flush = TraceSince(t0, "flush");
    ASSERT_EQ(flush.size(), 1u);
    EXPECT_EQ(size_t(flush[0].Int("out")) + got.size(), frame.size());
}

TEST_F(UartEmu, TransmitterTraceOrderAndItsTimingDiagram)
{
    // One exchange as the line's master makes it: flush, delay, flush, DTR up, write,
    // transmitter-empty polls, DTR down, flush; then the device's reply.
    // The master's open: DTR, raised by the open, cleared.
    SetLine(line.port, TIOCM_DTR, false);
    ASSERT_EQ(SetMode(line.port, B9600, 0, 8, 1), 0);
    const std::string request("\x11\x03\x00\x00\x00\x03\x06\x9b", 8);
    tcflush(line.port, TCIOFLUSH);
    usleep(5000);
    tcflush(line.port, TCIOFLUSH);
    SetLine(line.port, TIOCM_DTR, true);
    usleep(2000);
    ASSERT_EQ(write(line.port, request.data(), request.size()), 8);
    usleep(8 * 800);
    ASSERT_GT(WaitTemt(line.port), 0);
    SetLine(line.port, TIOCM_DTR, false);
    tcflush(line.port, TCIOFLUSH);
    ASSERT_EQ(Drain(line.master, 20), request);
    ASSERT_EQ(write(line.master, "\x11\x03\x06\x00\x01\x00\x02\x00\x03\x00\x00", 11), 11);
    EXPECT_EQ(Drain(line.port, 200).size(), 11u);

    auto trace = TraceSince(t0);
    EXPECT_EQ(uartemu::Join(uartemu::Sequence(trace, {"flush", "dtr", "write", "lsr"})),
              "dtr- flush flush dtr+ write lsr dtr- flush");
    auto at = [&](const char *event, int nth = 0) {
        for (const auto &r : trace)
            if (r.event == event && nth-- == 0)
                return r;
        return uartemu::Record{};
    };
    EXPECT_GE(at("flush", 1).t - at("flush", 0).t, 5000);
    EXPECT_GE(at("write").t - at("dtr", 1).t, 2000);
    EXPECT_GE(at("lsr").t - at("write").t, 6400) << "the first poll after the sleep";
    EXPECT_GE(at("dtr", 2).t, at("write").Int("end"));

    // The viewer works on the raw trace: give it this exchange's records only.
    std::string svg = qmtest::BinDir() + "/uartemu_test_exchange.svg";
    std::string mine = UartemuTracePath() + ".exchange";
    std::string text = qmtest::ReadFile(UartemuTracePath()), raw;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        std::string l = text.substr(pos, end == std::string::npos ? end : end - pos + 1);
        pos = end == std::string::npos ? text.size() : end + 1;
        auto parsed = uartemu::Parse(l);
        if (!parsed.empty() && parsed[0].pid == getpid() && parsed[0].t >= t0)
            raw += l;
    }
    qmtest::WriteFile(mine, raw);
    std::string cmd = "/usr/bin/python3 " + qmtest::SourceDir() +
                      "/testbench/uartemu/trace2svg.py --check -o " + svg + " " + mine;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::string image = qmtest::ReadFile(svg);
    EXPECT_NE(image.find("<svg"), std::string::npos);
    EXPECT_NE(image.find(">DTR<"), std::string::npos);
    EXPECT_NE(image.find(">11<"), std::string::npos) << "the first request byte is labelled";
}

TEST_F(UartEmu, SeparateProgramRunsWithTheEmulation)
{
    // The way tests run qmveskar: a program of this build, started with the emulation.
    std::vector<std::string> argv{qmtest::BinDir() + "/uartemu_probe", line.path, "9600", "loop"};
    std::vector<std::string> env;
    uartemu::PreloadCommand(argv, env);
    Control("loop=corrupt\n");
    auto r = qmtest::Run(argv, env, "", 60);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "loop -5\n");
    EXPECT_EQ(r.err, "") << "nothing on standard error (no loader complaint)";
    Control("");

    argv = {qmtest::BinDir() + "/uartemu_probe", line.path, "9600", "send", "010300000001840a"};
    env.clear();
    uartemu::PreloadCommand(argv, env);
    auto child = r;
    {
        // Answer the request from the line side while the program waits for it.
        pid_t pid = fork();
        if (pid == 0) {
            std::string got;
            int64_t limit = uartemu::NowUs() + 20000000;
            while (got.size() < 8 && uartemu::NowUs() < limit) {
                pollfd p{line.master, POLLIN, 0};
                if (poll(&p, 1, 100) > 0) {
                    char buf[64];
                    ssize_t n = read(line.master, buf, sizeof buf);
                    if (n > 0)
                        got.append(buf, size_t(n));
                }
            }
            usleep(5000);
            ssize_t w = write(line.master, "\x01\x03\x02\x12\x34\xb5\x33", 7);
            _exit(got == std::string("\x01\x03\x00\x00\x00\x01\x84\x0a", 8) && w == 7 ? 0 : 1);
        }
        child = qmtest::Run(argv, env, "", 60);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "line side saw the request";
    }
    EXPECT_EQ(child.status, 0) << child.err;
    EXPECT_EQ(child.err, "");
    EXPECT_EQ(child.out.rfind("sent 1 polls=", 0), 0u) << child.out;
    EXPECT_NE(child.out.find("rx=010302123" "4b533"), std::string::npos) << child.out;
    int others = 0;
    for (const auto &rec : uartemu::ReadTrace(UartemuTracePath()))
        others += rec.pid != getpid() && rec.t >= t0 && rec.event == "write";
    EXPECT_EQ(others, 2) << "the program wrote its own trace records";
}
