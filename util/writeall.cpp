// writeall.cpp - writing a whole buffer to a descriptor, for the state files of the unit.
#include <cerrno>
#include <unistd.h>

#include "internal.h"

bool WriteAll(int fd, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}
