// The receiver on a bench line, in what needs a line: the idle and stream limits, the line's
// status, the real-time priority window, SIGIO, and another reader of the port. The
// field-device simulator answers requests sent by this program through the UART emulation
// preloaded into it. Which bytes make a kept reply: serial_parse_test.cpp, in memory.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "benchline.h"
#include "privileges.h"
#include "ptyline.h"
#include "seriallink.h"
#include "testsupport.h"
#include "uartemu_control.h"

using Bytes = std::vector<uint8_t>;

namespace {

const char kDevices[] = R"(line 9600 8N1
device 1
reg 0 0x1234
device 5
fault partial 5
device 8
fault slow 250
reg 0 0x1234
device 9
fault noise 2000
)";

Bytes Response()
{
    if (!LastResponse)
        return {};
    return Bytes(LastResponse->data, LastResponse->data + LastResponse->length);
}

class Receiver : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_SANDBOX();
        if (qmtest::UartemuControlPath().empty())
            GTEST_SKIP() << "needs the UART emulation preloaded (run through ctest)";
        qmtest::SetUartemuControl("");
        benchline::Config c;
        c.description = kDevices;
        c.writeRecord = false;
        c.emulation = false;  // this program carries the emulation itself
        std::string error;
        ASSERT_TRUE(benchline::Up(line, c, error)) << error;
        ASSERT_TRUE(qmtest::OpenTestLine(line.ttyName));
        PreTxDelay = DtrLeadDelay = DtrTailDelay = PostRxDelay = 0;
        RxTimeout = 100;
    }
    void TearDown() override
    {
        CloseLine();
        benchline::Down(line);
        qmtest::SetUartemuControl("");
        LastResponse = FreeRtuFrame(LastResponse);
        RxTimeout = PostRxDelay = 0;
    }
    // Sends the request and collects the reply; seconds the reception took.
    bool Exchange(uint8_t address, const Bytes &payload, double *seconds = nullptr)
    {
        RtuFrame *f = MakeRtuFrame(address, payload.data(), uint8_t(payload.size()));
        EXPECT_EQ(SendRtuFrame(f, LineFd), 1);
        FreeRtuFrame(f);
        double t0 = qmtest::NowSeconds();
        bool ok = ReceiveRtuFrame(LineFd, address);
        if (seconds)
            *seconds = qmtest::NowSeconds() - t0;
        return ok;
    }
    benchline::Line line;
};

const Bytes kReadOne = {0x03, 0x00, 0x00, 0x00, 0x01};

} // namespace

// A reply whose bytes come 250 ms apart is followed while the call is young enough.
TEST_F(Receiver, SlowReplyIsFollowedWhileTheCallIsYoung)
{
    RxTimeout = 2000;
    double took = 0;
    EXPECT_TRUE(Exchange(8, kReadOne, &took));
    EXPECT_EQ(Response(), (Bytes{0x12, 0x34}));
    EXPECT_GT(took, 1.2);
    EXPECT_EQ(qmtest::CurrentPolicy(), SCHED_OTHER);
}

TEST_F(Receiver, SilenceAndCutRepliesEndAtTheIdleLimit)
{
    ASSERT_TRUE(Exchange(1, kReadOne));  // kept, and freed by the next reception
    PostRxDelay = 1000;  // not waited: no reply was complete
    // Nobody plays 50; 5 sends the count and two data bytes of a four-byte reply, then nothing.
    for (uint8_t address : {50, 5}) {
        double took = 0;
        EXPECT_FALSE(Exchange(address, {0x03, 0x00, 0x00, 0x00, 0x02}, &took)) << int(address);
        EXPECT_GE(took, 0.145) << int(address);
        EXPECT_LT(took, 0.6) << int(address);
        EXPECT_EQ(LastResponse, nullptr) << int(address);
    }
    // A negative base is taken as 0: the idle limit is 50 ms, not a wait without end.
    RxTimeout = -100;
    double took = 0;
    EXPECT_FALSE(Exchange(50, kReadOne, &took));
    EXPECT_GE(took, 0.045);
    EXPECT_LT(took, 0.5);
}

// The simulator's noise run (2.1 s) is still streaming when the stream limit comes; the
// call never reads past RxTimeout + 1500 ms. (On a loaded machine a pause of one idle pass
// in the simulator's pacing may end the call earlier, at the idle limit; the exact limit is
// checked against a line that never pauses, below.)
TEST_F(Receiver, StreamingReplyIsNotFollowedPastTheStreamLimit)
{
    RxTimeout = 0;
    double took = 0;
    EXPECT_FALSE(Exchange(9, kReadOne, &took));
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(LastResponse, nullptr);
}

// An overrun, parity or framing error reported while the line is idle ends the call.
TEST_F(Receiver, LineStatusErrorEndsTheReception)
{
    RxTimeout = 3000;
    for (const char *bits : {"0x02", "0x04", "0x08"}) {
        qmtest::SetUartemuControl(std::string("lsr_errors=inject\nlsr=") + bits + "\n");
        double t0 = qmtest::NowSeconds();
        EXPECT_FALSE(ReceiveRtuFrame(LineFd, 50)) << bits;
        EXPECT_LT(qmtest::NowSeconds() - t0, 1.0) << bits;
    }
}

// The reception runs at the highest SCHED_FIFO priority; a watcher process sees it.
TEST_F(Receiver, RunsAtRealTimePriority)
{
    sched_param p = {sched_get_priority_max(SCHED_FIFO)};
    if (sched_setscheduler(0, SCHED_FIFO, &p) != 0)
        GTEST_SKIP() << "real-time scheduling refused here";
    p.sched_priority = 0;
    sched_setscheduler(0, SCHED_OTHER, &p);

    // The watcher is a process, not a thread: under qemu-i386 a signal handled after a
    // thread was created leaves the handling thread on that thread's descriptor (the
    // emulator keeps one TLS table for all threads), and the SIGIO of this reception would
    // make the next priority call fail with ESRCH.
    pid_t tid = pid_t(syscall(SYS_gettid));
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t watcher = fork();
    ASSERT_GE(watcher, 0);
    if (watcher == 0) {
        close(report[0]);
        char sawFifo = 0;
        for (int i = 0; i < 2000 && getppid() != 1; ++i) {  // at most ~4 s, never orphaned
            if (sched_getscheduler(tid) == SCHED_FIFO) {
                sawFifo = 1;
                break;
            }
            usleep(2000);
        }
        _exit(write(report[1], &sawFifo, 1) == 1 ? 0 : 1);
    }
    close(report[1]);
    RxTimeout = 300;
    EXPECT_FALSE(ReceiveRtuFrame(LineFd, 50));
    char sawFifo = 0;
    EXPECT_EQ(read(report[0], &sawFifo, 1), 1);
    close(report[0]);
    kill(watcher, SIGKILL);
    waitpid(watcher, nullptr, 0);
    EXPECT_TRUE(sawFifo);
    EXPECT_EQ(sched_getscheduler(tid), SCHED_OTHER);
}

// Another reader of the port (a process that went on without the lock) takes the bytes
// that the receiver's FIONREAD has just counted: the program is linked with
// --wrap=ioctl, and the thief reads with the raw system call, past the emulation.
std::atomic<bool> Thief{false};
extern "C" int __real_ioctl(int fd, unsigned long request, void *arg);
extern "C" int __wrap_ioctl(int fd, unsigned long request, void *arg)
{
    int result = __real_ioctl(fd, request, arg);
    int counted = request == FIONREAD && result == 0 ? *static_cast<int *>(arg) : 0;
    uint8_t scrap[256];
    if (Thief && fd == LineFd && counted > 0)
        syscall(SYS_read, fd, scrap, std::min(size_t(counted), sizeof scrap));
    return result;
}

// The receiver's read of a byte that is gone does not wait for the next one on the wire:
// the reception ends at its idle limit.
TEST_F(Receiver, ByteTakenByAnotherReaderEndsAtTheIdleLimit)
{
    auto child = qmtest::InChild([this] {
        Thief = true;
        double took = 0;
        bool got = Exchange(1, kReadOne, &took);
        return !got && took < 1.0 ? 0 : 1;
    }, 20);
    EXPECT_EQ(child.status, 0) << "the reception blocked or got what was taken";
}

// Without the right to real-time scheduling each raise prints its warning and the
// exchange still completes.
TEST_F(Receiver, RefusedPriorityStillCompletesTheExchange)
{
    auto child = qmtest::InChild([this] {
        if (!qmtest::RefuseRealTime())
            return 10;
        if (!Exchange(1, kReadOne))
            return 11;
        return Response() == Bytes{0x12, 0x34} ? 0 : 12;
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.err, "errore scheduler (entrata): Operation not permitted\n"
                         "errore scheduler (entrata): Operation not permitted\n");
}

// A line on which bytes always wait (the far end keeps the pty's buffer full of noise): the
// call ends at RxTimeout + 1500 ms, measured from the call.
TEST(ReceiverStream, EndsAtTheStreamLimit)
{
    if (qmtest::UartemuControlPath().empty())
        GTEST_SKIP() << "needs the UART emulation preloaded (run through ctest)";
    qmtest::PtyPair pty(O_NONBLOCK);
    ASSERT_FALSE(pty.slave.empty());
    ASSERT_TRUE(qmtest::OpenTestLine(pty.Tty()));
    pid_t farEnd = fork();  // the far end: a process that keeps the buffer full
    if (farEnd == 0) {
        uint8_t noise[256];
        memset(noise, 0x55, sizeof noise);
        for (;;) {
            if (write(pty.master, noise, sizeof noise) < 0)
                usleep(500);  // the buffer is full
        }
    }
    ASSERT_GT(farEnd, 0);
    for (int32_t base : {0, 300}) {
        RxTimeout = base;
        PostRxDelay = 0;
        double t0 = qmtest::NowSeconds();
        EXPECT_FALSE(ReceiveRtuFrame(LineFd, 9)) << base;
        double took = qmtest::NowSeconds() - t0;
        EXPECT_GE(took, (base + 1500) / 1000.0 - 0.01) << base;
        EXPECT_LT(took, (base + 1500) / 1000.0 + 0.5) << base;
    }
    kill(farEnd, SIGKILL);
    waitpid(farEnd, nullptr, 0);
    CloseLine();
    RxTimeout = 0;
}
