// dirguard.cpp - the guard of the lock files in a shared folder (/dev/shm): an exclusive
// flock() on the folder itself, held by a process of the unit while it decides on one of
// its lock files there, so that no two such decisions interleave. The kernel drops the
// flock of a process that ends, killed or not: the guard never goes stale.
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "internal.h"

namespace {

constexpr int64_t kGuardWaitNs = 1500000000;  // then the caller goes on unguarded
constexpr long kGuardPollNs = 1000000;

} // namespace

int TakeDirGuard(const char *dir)
{
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int64_t end = MonotonicNs() + kGuardWaitNs;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if ((errno != EWOULDBLOCK && errno != EINTR) || MonotonicNs() >= end)
            break;
        timespec pause = {0, kGuardPollNs};
        nanosleep(&pause, nullptr);  // a signal only brings the next try forward
    }
    close(fd);
    return -1;
}

void DropDirGuard(int fd)
{
    if (fd < 0)
        return;
    flock(fd, LOCK_UN);  // also for a child forked meanwhile, which shares the open file
    close(fd);
}
