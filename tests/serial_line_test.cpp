// Line configuration on a bench port (a pty slave with the UART emulation preloaded into
// this program): the terminal mode read back with tcgetattr for the settings tables,
// DTR and blocking mode after the open, the hand-over and the restore at the end.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "ptyline.h"
#include "testsupport.h"

namespace {

using qmtest::PtyPair, qmtest::Settings;

constexpr tcflag_t kCflagChecked =
    CBAUD | CBAUDEX | CSIZE | CSTOPB | CREAD | PARENB | PARODD | HUPCL | CLOCAL | CRTSCTS;

bool DtrHigh(int fd)
{
    int bits = 0;
    ioctl(fd, TIOCMGET, &bits);
    return (bits & TIOCM_DTR) != 0;
}

class LineConfig : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!getenv("LD_PRELOAD") && !getenv("QEMU_SET_ENV"))
            GTEST_SKIP() << "needs the UART emulation preloaded (run through ctest)";
        ASSERT_FALSE(pty.slave.empty());
    }
    void TearDown() override { CloseLine(); }
    PtyPair pty;
};

} // namespace

TEST_F(LineConfig, ModeFollowsTheSettingsTables)
{
    struct Case {
        int32_t speed, parity, dataBits, stopBits;
        tcflag_t cflag, iflag;
        speed_t ospeed;
    } cases[] = {
        {9600, 0, 8, 1, B9600 | CS8 | CREAD | CLOCAL, IGNBRK, B9600},
        {19200, 1, 7, 2, B19200 | CS7 | CSTOPB | CREAD | CLOCAL | PARENB | PARODD,
         IGNBRK | INPCK, B19200},
        {4800, 2, 6, 1, B4800 | CS6 | CREAD | CLOCAL | PARENB, IGNBRK | INPCK, B4800},
        {38400, -1, 5, 2, B38400 | CS5 | CSTOPB | CREAD | CLOCAL | PARENB, IGNBRK | INPCK,
         B38400},
        {57600, 0, 9, 0, B57600 | CS8 | CREAD | CLOCAL, IGNBRK, B57600},
        {115200, 0, 0, 3, B115200 | CS8 | CREAD | CLOCAL, IGNBRK, B115200},
        {2400, 0, 8, 1, B9600 | CS8 | CREAD | CLOCAL, IGNBRK, B9600},  // not in the table
        {0, 0, 8, 1, B9600 | CS8 | CREAD | CLOCAL, IGNBRK, B9600},     // a text, read as 0
        {-5, 7, 7, 1, B9600 | CS7 | CREAD | CLOCAL | PARENB, IGNBRK | INPCK, B9600},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.speed << " " << c.parity << " " << c.dataBits
                                        << " " << c.stopBits);
        ASSERT_TRUE(OpenLine(Settings(pty.Tty(), c.speed, c.parity, c.dataBits, c.stopBits)));
        EXPECT_EQ(std::string(LinePath), pty.slave);
        termios mode {};
        ASSERT_EQ(tcgetattr(LineFd, &mode), 0);
        EXPECT_EQ(mode.c_cflag & kCflagChecked, c.cflag);
        EXPECT_EQ(mode.c_iflag, c.iflag);
        EXPECT_EQ(mode.c_oflag, 0u);
        EXPECT_EQ(mode.c_lflag, 0u);
        EXPECT_EQ(mode.c_cc[VMIN], 1);
        EXPECT_EQ(mode.c_cc[VTIME], 0);
        EXPECT_EQ(cfgetospeed(&mode), c.ospeed);
        // The input speed is left to follow the output speed.
        speed_t in = cfgetispeed(&mode);
        EXPECT_TRUE(in == 0 || in == c.ospeed) << in;
        // The built mode itself: every other field zero.
        EXPECT_EQ(LineMode.c_oflag, 0u);
        EXPECT_EQ(LineMode.c_lflag, 0u);
        EXPECT_EQ(LineMode.c_line, 0);
        EXPECT_EQ(LineMode.c_cflag & CIBAUD, 0u);  // no input speed of its own
#ifdef _HAVE_STRUCT_TERMIOS_C_ISPEED
        EXPECT_EQ(LineMode.c_ispeed, 0u);
#endif
        for (int i = 0; i < NCCS; ++i) {
            if (i != VMIN) {
                EXPECT_EQ(LineMode.c_cc[i], 0) << "c_cc[" << i << "]";
            }
        }
        EXPECT_EQ(LineMode.c_cflag & ~kCflagChecked, 0u);
        CloseLine();
        EXPECT_EQ(LineFd, -1);
    }
}

TEST_F(LineConfig, OpenLeavesDtrLowAndTheDescriptorBlocking)
{
    ASSERT_TRUE(OpenLine(Settings(pty.Tty(), 9600, 0, 8, 1)));
    EXPECT_FALSE(DtrHigh(LineFd));
    int flags = fcntl(LineFd, F_GETFL);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
    EXPECT_NE(flags & O_ASYNC, 0);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
}

// Between the first OpenLine and the last CloseLine the port is handed over twice; every
// reopen comes back in the same mode with DTR low, and the end restores the mode the tty
// had before. A second descriptor keeps the pty's mode alive across the closes.
TEST_F(LineConfig, HandOverKeepsTheModeAndTheEndRestoresTheOldOne)
{
    int keeper = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(keeper, 0);
    termios before {};
    ASSERT_EQ(tcgetattr(keeper, &before), 0);
    before.c_iflag = ICRNL | IXON;
    before.c_oflag = OPOST | ONLCR;
    before.c_lflag = ICANON | ECHO | ISIG;
    before.c_cflag = CS8 | CREAD | HUPCL;
    before.c_cc[VMIN] = 0;
    before.c_cc[VTIME] = 5;
    cfsetospeed(&before, B4800);
    cfsetispeed(&before, B4800);
    ASSERT_EQ(tcsetattr(keeper, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(keeper, &before), 0);

    ASSERT_TRUE(OpenLine(Settings(pty.Tty(), 19200, 1, 7, 2)));
    termios first {};
    ASSERT_EQ(tcgetattr(LineFd, &first), 0);
    EXPECT_EQ(memcmp(&SavedMode.c_cc, &before.c_cc, sizeof before.c_cc), 0);
    EXPECT_EQ(SavedMode.c_lflag, before.c_lflag);

    for (int handOver = 0; handOver < 2; ++handOver) {
        int bits = TIOCM_DTR;
        ioctl(LineFd, TIOCMBIS, &bits);  // as if the transmitter were interrupted
        CloseLine();
        termios between {};
        ASSERT_EQ(tcgetattr(keeper, &between), 0);
        EXPECT_EQ(between.c_lflag, before.c_lflag);  // restored for the other processes
        ReopenLine();
        ASSERT_GE(LineFd, 0);
        EXPECT_FALSE(DtrHigh(LineFd));
        EXPECT_EQ(fcntl(LineFd, F_GETFL) & O_NONBLOCK, 0);
        termios again {};
        ASSERT_EQ(tcgetattr(LineFd, &again), 0);
        EXPECT_EQ(again.c_cflag & kCflagChecked, first.c_cflag & kCflagChecked);
        EXPECT_EQ(again.c_iflag, first.c_iflag);
        EXPECT_EQ(again.c_lflag, 0u);
        EXPECT_EQ(again.c_oflag, 0u);
        EXPECT_EQ(again.c_cc[VMIN], 1);
        EXPECT_EQ(again.c_cc[VTIME], 0);
        EXPECT_EQ(cfgetospeed(&again), B19200);
    }
    CloseLine();
    termios after {};
    ASSERT_EQ(tcgetattr(keeper, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag & kCflagChecked, before.c_cflag & kCflagChecked);
    EXPECT_EQ(after.c_cc[VMIN], 0);
    EXPECT_EQ(after.c_cc[VTIME], 5);
    EXPECT_EQ(cfgetospeed(&after), B4800);
    close(keeper);
}

TEST_F(LineConfig, FailedOpenLeavesNothingOpen)
{
    auto fds = qmtest::OpenDescriptors();
    EXPECT_FALSE(OpenLine(Settings("pts/9999", 9600, 0, 8, 1)));
    EXPECT_EQ(std::string(LinePath), "/dev/pts/9999");
    EXPECT_FALSE(OpenLine(Settings("null", 9600, 0, 8, 1)));  // opens, but is no terminal
    EXPECT_EQ(qmtest::OpenDescriptors(), fds);
    EXPECT_EQ(LineFd, -1);

    // A name that fills the field without a terminator is cut at 27 characters.
    LineSettings s = Settings("", 9600, 0, 8, 1);
    memset(s.tty, 'x', sizeof s.tty);
    EXPECT_FALSE(OpenLine(s));
    EXPECT_EQ(std::string(LinePath), "/dev/" + std::string(27, 'x'));
    CloseLine();  // nothing open: does nothing
}
