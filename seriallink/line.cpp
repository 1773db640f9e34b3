// line.cpp - the serial port of the line being scanned: the raw terminal mode built from
// the line's settings, and OpenLine / ReopenLine / CloseLine around each hand-over.
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

speed_t SpeedConstant(int32_t speed)
{
    switch (speed) {
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;  // 9600 and every speed the table does not list
    }
}

tcflag_t CharacterSize(int32_t dataBits)
{
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

// The status flags of the open line: O_ASYNC alone, which also clears O_NONBLOCK so that
// reads and writes block.
int SetLineStatusFlags(int fd)
{
    return fcntl(fd, F_SETFL, O_ASYNC);
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
    int fd = open(LinePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
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
    LineMode.c_cflag = CharacterSize(settings.dataBits) | CREAD | CLOCAL;
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
    cfsetospeed(&LineMode, SpeedConstant(settings.speed));

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
    LineFd = open(LinePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
    SetLineStatusFlags(LineFd);
    DropDtr(LineFd);
    tcsetattr(LineFd, TCSANOW, &LineMode);
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
