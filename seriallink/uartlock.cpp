// uartlock.cpp - the UART lock shared with the unit's other processes: the file
// /dev/shm/uart_lck holds the holder's process id ("%d", no newline); a lock whose
// holder has no /proc entry is stale and is cleared by the next caller.
//
// Every look at the lock file and every change to it is made under the guard of /dev/shm
// (TakeDirGuard; a caller that cannot have it in time goes on without it): two callers
// never act on the same look, so a stale lock that one of them clears is never a fresh
// lock that the other has just made. For programs of the unit that do not take the guard,
// a lock file appears in one step (the id is in it before it has the lock name), and a
// file is removed only while the name still refers to the file that was looked at. The
// lock is made from an unnamed file that gets the name through a hard link, so a taker
// killed on the way leaves nothing behind. A stale lock that cannot be removed (another
// user's, in the sticky /dev/shm) is overwritten in place.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"

namespace {

const char kLockDir[] = "/dev/shm";
const char kLockPath[] = "/dev/shm/uart_lck";

// Closes a descriptor at the end of the scope.
struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

bool HolderAlive(int pid)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/", pid);
    DIR *dir = opendir(path);
    if (!dir)
        return false;
    closedir(dir);
    snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
    return PathExists(path);
}

// Leading decimal integer of the text, as "%d" reads it; 0 for no number or one that
// is no process id.
int ParseHolder(const char *text)
{
    char *end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || value < 1 || value > 0x7FFFFFFFL)
        return 0;
    return int(value);
}

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// What the lock file held when it was looked at.
struct Lock {
    enum State { Absent, Unreadable, Stale, Live } state = Absent;
    int holder = 0;      // Live: the holder's id
    struct stat seen {}; // Unreadable, Stale, Live: the file itself
};

Lock LookAtLock()
{
    Lock lock;
    int fd = OpenStateFile(kLockPath, O_RDONLY);
    if (fd < 0) {
        if (errno != ENOENT)
            lock.state = lstat(kLockPath, &lock.seen) == 0 ? Lock::Unreadable : Lock::Absent;
        return lock;
    }
    FdCloser closer{fd};
    char text[32] = {};
    ssize_t n = read(fd, text, sizeof text - 1);
    if (fstat(fd, &lock.seen) != 0)
        return Lock{Lock::Unreadable};  // cannot be told from a later file: left alone
    lock.holder = n > 0 ? ParseHolder(text) : 0;
    lock.state = lock.holder != 0 && HolderAlive(lock.holder) ? Lock::Live : Lock::Stale;
    return lock;
}

enum class Removal { Gone, Replaced, Kept };

// Removes the file that was looked at, only while the lock name still refers to it: a
// program that does not take the guard may have made a fresh lock meanwhile (Replaced).
// Kept: the caller may not remove it (another user's file in the sticky /dev/shm).
Removal RemoveSeen(const struct stat &seen)
{
    struct stat now;
    if (lstat(kLockPath, &now) != 0)
        return errno == ENOENT ? Removal::Gone : Removal::Kept;
    if (!SameFile(now, seen))
        return Removal::Replaced;
    if (unlink(kLockPath) == 0 || errno == ENOENT)
        return Removal::Gone;
    return Removal::Kept;
}

// Writes our id to a new lock file and closes it; true when both worked.
bool WriteOwnId(int fd, int own)
{
    bool ok = WriteProcessId(fd, own);
    return close(fd) == 0 && ok;
}

// The ways of making the lock file, each in one step for a reader.
enum class Made { Taken, Exists, Refused };

// An unnamed file in /dev/shm, linked to the lock name once it holds our id: the file
// system frees it with its last descriptor, so a taker killed before the link leaves nothing.
Made LinkUnnamedFile(int own)
{
    int fd = open(kLockDir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return Made::Refused;
    FdCloser closer{fd};
    if (!WriteProcessId(fd, own))
        return Made::Refused;
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, path, AT_FDCWD, kLockPath, AT_SYMLINK_FOLLOW) == 0)
        return Made::Taken;
    return errno == EEXIST ? Made::Exists : Made::Refused;
}

// Where unnamed files are refused: a private named file, linked and then removed.
Made LinkNamedFile(int own)
{
    char temp[48];
    snprintf(temp, sizeof temp, "%s.%d", kLockPath, own);
    unlink(temp);
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return Made::Refused;
    if (!WriteOwnId(fd, own)) {
        unlink(temp);
        return Made::Refused;
    }
    int linked = link(temp, kLockPath);
    int err = errno;
    unlink(temp);
    if (linked == 0)
        return Made::Taken;
    return err == EEXIST ? Made::Exists : Made::Refused;
}

// Where there are no hard links: created exclusively and written; a reader may see the
// file empty (stale) for the few bytes' time.
Made CreateExclusive(int own)
{
    int fd = open(kLockPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno == EEXIST ? Made::Exists : Made::Refused;
    if (!WriteOwnId(fd, own)) {
        unlink(kLockPath);
        return Made::Refused;
    }
    return Made::Taken;
}

// 1 taken, 0 not writable, -1 a lock appeared meanwhile (the caller looks again).
int CreateLock(int own)
{
    Made made = LinkUnnamedFile(own);
    if (made == Made::Refused)
        made = LinkNamedFile(own);
    if (made == Made::Refused)
        made = CreateExclusive(own);
    return made == Made::Taken ? 1 : made == Made::Exists ? -1 : 0;
}

// Truncates the file that was looked at and writes our id into it, for a lock file that
// cannot be removed. 1 taken, 0 not writable, -1 the name refers to another file now.
int OverwriteSeen(const struct stat &seen, int own)
{
    int fd = OpenStateFile(kLockPath, O_WRONLY);
    if (fd < 0)
        return 0;
    struct stat now;
    if (fstat(fd, &now) != 0 || !SameFile(now, seen)) {
        close(fd);
        return -1;
    }
    if (ftruncate(fd, 0) != 0) {
        close(fd);
        return 0;
    }
    return WriteOwnId(fd, own) ? 1 : 0;
}

// A stale or unreadable lock file in the way: removed and made anew where the caller may
// remove it, else (the folder is sticky: a stale lock of another user) overwritten in place
// when its mode allows. Under the guard the next taker then reads our id, except from a
// file that it can neither read nor remove: only such a file can give two winners in turn,
// since no taker can read what the other wrote.
int ReplaceSeen(const struct stat &seen, int own)
{
    switch (RemoveSeen(seen)) {
    case Removal::Gone:
        return CreateLock(own);
    case Removal::Replaced:
        return -1;
    case Removal::Kept:
        break;
    }
    return OverwriteSeen(seen, own);
}

// A file that cannot be read counts as free, when it can be written.
bool Writable()
{
    int fd = OpenStateFile(kLockPath, O_WRONLY);
    FdCloser closer{fd};
    return fd >= 0;
}

int TakeLock(int own)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        Lock lock = LookAtLock();
        int result = 0;
        switch (lock.state) {
        case Lock::Live:
            return 0;  // this process included: not re-entrant
        case Lock::Unreadable:
            result = Writable() ? ReplaceSeen(lock.seen, own) : 0;
            break;
        case Lock::Stale:
            result = ReplaceSeen(lock.seen, own);
            break;
        case Lock::Absent:
            result = CreateLock(own);
            break;
        }
        if (result >= 0)
            return result;
    }
    return 0;
}

// A failed removal is not reported.
int ReleaseLock(int own)
{
    Lock lock = LookAtLock();
    if (lock.state == Lock::Stale || (lock.state == Lock::Live && lock.holder == own))
        RemoveSeen(lock.seen);
    return lock.state == Lock::Live && lock.holder == own;
}

} // namespace

extern "C" int MakeLockUart(int take)
{
    int guard = TakeDirGuard(kLockDir);  // -1: unguarded, as best we can
    int own = int(getpid());
    int result = take ? TakeLock(own) : ReleaseLock(own);
    DropDirGuard(guard);
    return result;
}
