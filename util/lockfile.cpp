// lockfile.cpp - files of the unit's shared folders that appear whole: unnamed files that
// get their name once complete (a writer killed on the way leaves nothing behind), and
// lock files holding the maker's process id ("%d", no newline), made in one step for
// their readers or overwritten in place where they cannot be removed.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "internal.h"

FdCloser::~FdCloser()
{
    if (fd >= 0)
        close(fd);
}

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int OpenUnnamedFile(const char *dir, int flags, mode_t mode)
{
    if (!PathExists("/proc/self/fd"))
        return -1;
    return open(dir, O_TMPFILE | O_CLOEXEC | flags, mode);
}

int NameUnnamedFile(int fd, const char *path)
{
    char self[32];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW);
}

namespace {

// The id of this process in the file, and the file as it is then.
bool WriteOwnId(int fd, struct stat *made)
{
    return WriteProcessId(fd, int(getpid())) && (!made || fstat(fd, made) == 0);
}

LockMade LinkUnnamedLock(const char *dir, const char *path, struct stat *made)
{
    int fd = OpenUnnamedFile(dir, O_WRONLY, 0666);
    if (fd < 0)
        return LockMade::Refused;
    FdCloser closer{fd};
    if (!WriteProcessId(fd, int(getpid())))
        return LockMade::Refused;
    if (NameUnnamedFile(fd, path) != 0)
        return errno == EEXIST ? LockMade::Exists : LockMade::Refused;
    return !made || fstat(fd, made) == 0 ? LockMade::Taken : LockMade::Refused;
}

// A private file "<path>.<pid>", linked to path once it holds the id, then unnamed again.
LockMade LinkNamedLock(const char *path, struct stat *made)
{
    char temp[64];
    snprintf(temp, sizeof temp, "%s.%d", path, int(getpid()));
    unlink(temp);
    int fd = OpenStateFile(temp, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0)
        return LockMade::Refused;
    FdCloser closer{fd};
    bool written = WriteProcessId(fd, int(getpid()));
    int linked = written ? link(temp, path) : -1;
    int err = errno;
    unlink(temp);
    if (linked != 0)
        return written && err == EEXIST ? LockMade::Exists : LockMade::Refused;
    return !made || fstat(fd, made) == 0 ? LockMade::Taken : LockMade::Refused;
}

// A reader may find this one empty for the few bytes' time.
LockMade CreateExclusiveLock(const char *path, struct stat *made)
{
    int fd = OpenStateFile(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0)
        return errno == EEXIST ? LockMade::Exists : LockMade::Refused;
    FdCloser closer{fd};
    if (WriteOwnId(fd, made))
        return LockMade::Taken;
    unlink(path);  // an empty file would stand for a holder that does not exist
    return LockMade::Refused;
}

} // namespace

LockMade MakeLockFile(const char *dir, const char *path, struct stat *made)
{
    LockMade result = LinkUnnamedLock(dir, path, made);
    if (result == LockMade::Refused)
        result = LinkNamedLock(path, made);
    if (result == LockMade::Refused)
        result = CreateExclusiveLock(path, made);
    return result;
}

int OverwriteLockFile(const char *path, const struct stat &seen, struct stat *made)
{
    int fd = OpenStateFile(path, O_WRONLY);
    if (fd < 0)
        return 0;
    FdCloser closer{fd};
    struct stat now;
    if (fstat(fd, &now) != 0 || !SameFile(now, seen))
        return -1;
    return ftruncate(fd, 0) == 0 && WriteOwnId(fd, made) ? 1 : 0;
}
