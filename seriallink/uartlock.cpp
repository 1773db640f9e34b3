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

// 1 taken, 0 not writable, -1 a lock appeared meanwhile (the caller looks again).
int CreateLock()
{
    LockMade made = MakeLockFile(kLockDir, kLockPath, nullptr);
    return made == LockMade::Taken ? 1 : made == LockMade::Exists ? -1 : 0;
}

// A stale or unreadable lock file in the way: removed and made anew where the caller may
// remove it, else (the folder is sticky: a stale lock of another user) overwritten in place
// when its mode allows. Under the guard the next taker then reads our id, except from a
// file that it can neither read nor remove: only such a file can give two winners in turn,
// since no taker can read what the other wrote.
int ReplaceSeen(const struct stat &seen)
{
    switch (RemoveSeen(seen)) {
    case Removal::Gone:
        return CreateLock();
    case Removal::Replaced:
        return -1;
    case Removal::Kept:
        break;
    }
    return OverwriteLockFile(kLockPath, seen, nullptr);
}

// A file that cannot be read counts as free, when it can be written.
bool Writable()
{
    int fd = OpenStateFile(kLockPath, O_WRONLY);
    FdCloser closer{fd};
    return fd >= 0;
}

int TakeLock()
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        Lock lock = LookAtLock();
        int result = 0;
        switch (lock.state) {
        case Lock::Live:
            return 0;  // this process included: not re-entrant
        case Lock::Unreadable:
            result = Writable() ? ReplaceSeen(lock.seen) : 0;
            break;
        case Lock::Stale:
            result = ReplaceSeen(lock.seen);
            break;
        case Lock::Absent:
            result = CreateLock();
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
    int result = take ? TakeLock() : ReleaseLock(own);
    DropDirGuard(guard);
    return result;
}
