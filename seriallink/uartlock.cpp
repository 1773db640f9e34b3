// uartlock.cpp - the UART lock shared with the unit's other processes: the file
// /dev/shm/uart_lck holds the holder's process id ("%d", no newline); a lock whose
// holder has no /proc entry is stale and is cleared by the next caller.
//
// The lock file appears in one step: the id is written to a private file first, which is
// then hard-linked to the lock name, so no other process ever sees a half-written lock,
// and two processes that take the lock at the same moment cannot both succeed.
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

enum class LockState { Absent, Unreadable, Read };

// Reads the holder of an existing lock file; a stale lock is removed on the way (only
// when the name still refers to the file that was read) and reported as Absent.
LockState ReadHolder(int *holder)
{
    *holder = 0;
    if (!PathExists(kLockPath))
        return LockState::Absent;
    int fd = OpenStateFile(kLockPath, O_RDONLY);
    if (fd < 0)
        return LockState::Unreadable;
    char text[32] = {};
    ssize_t n = read(fd, text, sizeof text - 1);
    struct stat seen {};
    bool haveStat = fstat(fd, &seen) == 0;
    close(fd);
    if (n > 0)
        *holder = ParseHolder(text);
    if (*holder != 0 && HolderAlive(*holder))
        return LockState::Read;
    struct stat now {};
    if (haveStat && lstat(kLockPath, &now) == 0 && now.st_dev == seen.st_dev &&
        now.st_ino == seen.st_ino)
        unlink(kLockPath);
    *holder = 0;
    return LockState::Absent;
}

// Writes our id into the new lock file and closes it; true when both worked.
bool WriteOwnId(int fd, int own)
{
    bool ok = WriteProcessId(fd, own);
    return close(fd) == 0 && ok;
}

// Creates the lock file with our id in one step. 1 taken, 0 held by someone else or not
// writable, -1 lost a race (the caller looks at the new holder again).
int CreateLock(int own)
{
    char temp[48];
    snprintf(temp, sizeof temp, "%s.%d", kLockPath, own);
    unlink(temp);
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        if (!WriteOwnId(fd, own)) {
            unlink(temp);
            return 0;
        }
        int linked = link(temp, kLockPath);
        int err = errno;
        unlink(temp);
        if (linked == 0)
            return 1;
        if (err == EEXIST)
            return -1;
    }
    // No hard links here: create exclusively and write; the window is a few bytes long.
    fd = open(kLockPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno == EEXIST ? -1 : 0;
    if (!WriteOwnId(fd, own)) {
        unlink(kLockPath);
        return 0;
    }
    return 1;
}

// A lock file that cannot be read counts as free: it is overwritten when it can be.
int OverwriteLock(int own)
{
    int fd = OpenStateFile(kLockPath, O_WRONLY | O_TRUNC);
    if (fd < 0)
        return 0;
    return WriteOwnId(fd, own) ? 1 : 0;
}

} // namespace

extern "C" int MakeLockUart(int take)
{
    int own = int(getpid());
    int holder = 0;
    LockState state = ReadHolder(&holder);
    if (!take) {
        if (state == LockState::Read && holder == own) {
            unlink(kLockPath);
            return 1;
        }
        return 0;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (state == LockState::Read)
            return 0;  // a live holder, this process included
        if (state == LockState::Unreadable)
            return OverwriteLock(own);
        int result = CreateLock(own);
        if (result >= 0)
            return result;
        state = ReadHolder(&holder);  // someone else created it meanwhile
    }
    return 0;
}
