// statefile.cpp - opening the state files that lie in world-writable folders (/dev/shm,
// /tmp), where any process can plant a link or a FIFO at a well-known name.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"

// A link at the name is never followed (O_NOFOLLOW), and the open never waits (O_NONBLOCK):
// a FIFO or a device there is refused after the open instead of blocking the caller. The
// descriptor that is returned is blocking again, as the state-file code expects.
int OpenStateFile(const char *path, int flags, mode_t mode)
{
    int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

FILE *OpenStateStream(const char *path, int flags, mode_t mode, const char *fdopenMode)
{
    int fd = OpenStateFile(path, flags, mode);
    if (fd < 0)
        return nullptr;
    FILE *file = fdopen(fd, fdopenMode);
    if (!file)
        close(fd);
    return file;
}
