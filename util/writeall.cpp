// writeall.cpp - writing a whole buffer to a descriptor: the state files of the unit, and
// the bus connection.
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include "internal.h"

bool WriteAll(int fd, const void *data, size_t size, bool quiet)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = quiet ? send(fd, p, size, MSG_NOSIGNAL) : write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}
