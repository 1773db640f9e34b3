// ptypair.cpp - a pty pair (see ptypair.h).
#include "ptypair.h"

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qmtest {

PtyPair::PtyPair(int masterFlags)
{
    master = posix_openpt(O_RDWR | O_NOCTTY | masterFlags);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
        slave = ptsname(master);
}

PtyPair::~PtyPair()
{
    if (master >= 0)
        close(master);
}

std::string PtyPair::Tty() const { return slave.empty() ? "" : slave.substr(5); }

std::vector<uint8_t> Drain(int fd, int quietMs)
{
    std::vector<uint8_t> out;
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0)
            break;
        uint8_t buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

} // namespace qmtest
