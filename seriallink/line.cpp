// line.cpp - the serial port of the line being scanned: the raw terminal mode built from
// the line's settings, OpenLine / ReopenLine / CloseLine around each hand-over, and the
// flush of the port's queues.
// DTR is the line's transmit enable; it is held low here and raised only by the
// transmitter.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "seriallink.h"

int LineFd = -1;
char LinePath[40] = "";
struct termios SavedMode;
struct termios LineMode;

namespace {

// The status flags of the open line: O_ASYNC alone, which also clears O_NONBLOCK so that
// reads and writes block.
int SetLineStatusFlags(int fd)
{
    return fcntl(fd, F_SETFL, O_ASYNC);
}

// Close-on-exec: a program that the command or a caller of the library starts (the status
// tool of the line test, through the shell) must not keep the field port open.
int OpenPort(const char *path)
{
    return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void DropDtr(int fd)
{
    int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIC, &dtr);
}

} // namespace

bool OpenLine(const LineSettings &settings)
{
    // The name is at most 27 characters; a record without its terminator is cut there.
    snprintf(LinePath, sizeof LinePath, "/dev/%.*s", int(sizeof settings.tty - 1),
             settings.tty);
    int fd = OpenPort(LinePath);
    if (fd == -1)
        return false;
    if (SetLineStatusFlags(fd) != 0) {
        close(fd);
        return false;
    }
    tcgetattr(fd, &SavedMode);
    DropDtr(fd);

    memset(&LineMode, 0, sizeof LineMode);
    LineMode.c_iflag = IGNBRK;
    LineMode.c_cflag = CharacterSizeFlag(settings.dataBits) | CREAD | CLOCAL;
    if (settings.stopBits == 2)
        LineMode.c_cflag |= CSTOPB;
    if (settings.parity == 1) {
        LineMode.c_cflag |= PARENB | PARODD;
        LineMode.c_iflag |= INPCK;
    } else if (settings.parity != 0) {
        LineMode.c_cflag |= PARENB;
        LineMode.c_iflag |= INPCK;
    }
    LineMode.c_cc[VTIME] = 0;
    LineMode.c_cc[VMIN] = 1;
    cfsetospeed(&LineMode, LineSpeedCode(settings.speed));

    if (tcsetattr(fd, TCSANOW, &LineMode) != 0) {
        close(fd);
        return false;
    }
    LineFd = fd;
    return true;
}

void ReopenLine()
{
    if (LineFd >= 0)  // a hand-over always closes first; never leak a descriptor
        close(LineFd);
    LineFd = OpenPort(LinePath);
    SetLineStatusFlags(LineFd);
    DropDtr(LineFd);
    tcsetattr(LineFd, TCSANOW, &LineMode);
}

void FlushLineQueues(int fd) { ioctl(fd, TCFLSH, TCIOFLUSH); }

void SetLineBlocking(int fd, bool blocking)
{
    fcntl(fd, F_SETFL, blocking ? O_ASYNC : O_ASYNC | O_NONBLOCK);
}

void CloseLine()
{
    if (LineFd < 0)
        return;
    tcdrain(LineFd);
    tcsetattr(LineFd, TCSANOW, &SavedMode);
    close(LineFd);
    LineFd = -1;
}
