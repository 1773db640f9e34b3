// ioiface.cpp - the I/O interface request record /dev/shm/ves_iface (10 bytes, 16-bit
// fields little-endian), read and rewritten under the lock file /dev/shm/ves_iface.lok
// (the holder's id, "%d", no newline), and the process-wide change marker over the
// record's modification time.
//
// The lock has one holder at a time. A caller waits while a lock file is there, sleeping
// 500 ms at a time; a lock file that stays unchanged through four sleeps (about 2 s) is
// taken over. Every look at the lock file and every change to it is made under the guard
// of /dev/shm (TakeDirGuard; a caller that cannot have it in time goes on without it), so
// of the waiters that reach the bound together exactly one takes the lock over, and the
// others see a new holder and wait for it in turn. A lock is made from an unnamed file
// that holds the caller's id before it is linked to the lock name, so it never appears
// empty and a taker killed on the way leaves nothing; where the file system refuses, the
// name is created exclusively. A release removes the lock only while the name still
// refers to the file that the caller made, unchanged since (a taker's lock after a
// take-over stays). A stale lock file that cannot be removed (another user's, in the
// sticky /dev/shm) is overwritten in place, and its release empties it: an empty lock
// file of another user is free. One that can be neither removed nor written cannot hold
// anyone's id: after the bound the caller does its work holding the guard of /dev/shm
// instead, so callers of this library still take turns, each after the 2 s wait. Anything
// but a regular file at the lock name is never taken over (the call answers 0).
//
// The record is rewritten in place; a write that did not go in whole is undone (a record
// file that the call created is removed, an old one gets its bytes back) and answered 0.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"

namespace {

const char kShmDir[] = "/dev/shm";
const char kRecordPath[] = "/dev/shm/ves_iface";
const char kLockPath[] = "/dev/shm/ves_iface.lok";
constexpr size_t kRecordSize = 10;
constexpr unsigned kKeep = 255;          // field argument that leaves the stored value
constexpr int kLockSleeps = 4;           // at most four sleeps of 500 ms per holder
constexpr long kLockSleepNs = 500000000L;

// Modification time (whole seconds) of the record as last seen by GetVesIfaceSetStatus.
time_t ChangeMarker = 0;

// The same file, not written, truncated, linked or given to anyone since.
bool Unchanged(const struct stat &a, const struct stat &b)
{
    return SameFile(a, b) && a.st_size == b.st_size && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// What a release leaves where the lock cannot be removed: no holder's id in it.
bool ReleasedInPlace(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_size == 0 && st.st_uid != geteuid();
}

// Whether a lock is held: a lock file that is not an emptied one of another user.
bool LockPresent()
{
    struct stat st;
    return lstat(kLockPath, &st) == 0 && !ReleasedInPlace(st);
}

// GetVesIfaceSetStatus's wait: while a lock is held, at most four sleeps; then it goes on.
void WaitForLock()
{
    for (int i = 0; i < kLockSleeps && LockPresent(); ++i)
        SleepFully(0, kLockSleepNs);
}

// Reads up to size bytes from the descriptor's position; returns the count read.
size_t ReadUpTo(int fd, void *data, size_t size)
{
    char *p = static_cast<char *>(data);
    size_t total = 0;
    while (total < size) {
        ssize_t n = read(fd, p + total, size - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += size_t(n);
    }
    return total;
}

// Writes all size bytes at offset; false when not all of them went in.
bool WriteAt(int fd, const void *data, size_t size, off_t offset)
{
    ssize_t n;
    do
        n = pwrite(fd, data, size, offset);
    while (n < 0 && errno == EINTR);
    return n == ssize_t(size);
}

// ---- The lock file ------------------------------------------------------------------

// The lock as this caller holds it.
struct Hold {
    struct stat made {};  // the lock file holding our id, as we left it
    int guard = -1;       // >= 0: no lock file could be ours; the work runs under the guard
};

enum class Take { Taken, Wait, Failed };

// Takes the place of the lock file that was looked at: removed (only while the name still
// refers to it) and made anew, else overwritten in place, else, where allowed, the work is
// done under the guard.
Take TakeOver(const struct stat &seen, int guard, bool underGuard, Hold &hold)
{
    if (!S_ISREG(seen.st_mode))
        return Take::Failed;
    struct stat now;
    if (lstat(kLockPath, &now) != 0 || !Unchanged(now, seen))
        return Take::Wait;  // gone or replaced since the look: look again
    if (unlink(kLockPath) == 0) {
        LockMade made = MakeLockFile(kShmDir, kLockPath, &hold.made);
        return made == LockMade::Taken ? Take::Taken
                                       : made == LockMade::Exists ? Take::Wait : Take::Failed;
    }
    int written = OverwriteLockFile(kLockPath, seen, &hold.made);
    if (written != 0)
        return written > 0 ? Take::Taken : Take::Wait;
    if (!underGuard || guard < 0)
        return Take::Failed;
    hold.guard = guard;
    return Take::Taken;
}

// The lock file a waiter watches, and the sleeps it has spent on it.
struct Watch {
    bool watching = false;
    struct stat seen {};
    int sleeps = 0;
};

// One look at the lock under the guard: taken, free of a lock that another caller made
// meanwhile (look again after a sleep), or failed.
Take LookOnce(int guard, Watch &watch, Hold &hold)
{
    struct stat now;
    for (int look = 0; look < 2; ++look) {
        if (lstat(kLockPath, &now) != 0) {
            if (errno != ENOENT)
                return Take::Failed;
            LockMade made = MakeLockFile(kShmDir, kLockPath, &hold.made);
            if (made != LockMade::Exists)
                return made == LockMade::Taken ? Take::Taken : Take::Failed;
            continue;  // made by a caller without the guard just now
        }
        if (ReleasedInPlace(now) && TakeOver(now, guard, false, hold) == Take::Taken)
            return Take::Taken;
        if (!watch.watching || !Unchanged(now, watch.seen)) {
            watch = {true, now, 0};  // a new holder: a wait of its own
            return Take::Wait;
        }
        if (watch.sleeps < kLockSleeps)
            return Take::Wait;
        Take taken = TakeOver(now, guard, true, hold);
        if (taken != Take::Wait)
            return taken;
    }
    return Take::Wait;
}

bool TakeLock(Hold &hold)
{
    for (Watch watch;; ++watch.sleeps) {
        int guard = TakeDirGuard(kShmDir);  // -1: unguarded, as best we can
        Take taken = LookOnce(guard, watch, hold);
        if (hold.guard != guard)
            DropDirGuard(guard);
        if (taken != Take::Wait)
            return taken == Take::Taken;
        SleepFully(0, kLockSleepNs);
    }
}

// Whether the lock file holds our id; true also when it cannot be read (it is unchanged
// since we wrote it).
bool HoldsOwnId()
{
    int fd = OpenStateFile(kLockPath, O_RDONLY);
    if (fd < 0)
        return errno == EACCES;
    FdCloser closer{fd};
    char text[24] = {}, own[24];
    ReadUpTo(fd, text, sizeof text - 1);
    snprintf(own, sizeof own, "%d", int(getpid()));
    return strcmp(text, own) == 0;
}

// Empties our lock file where it cannot be removed; true when it is empty now.
bool EmptyInPlace(const struct stat &made)
{
    int fd = OpenStateFile(kLockPath, O_WRONLY);
    FdCloser closer{fd};
    struct stat now;
    return fd >= 0 && fstat(fd, &now) == 0 && SameFile(now, made) && ftruncate(fd, 0) == 0;
}

// Removes our lock file, or empties it where it cannot be removed; a lock that is no
// longer the one we made stays. A failed removal is not reported.
void ReleaseLock(const Hold &hold)
{
    if (hold.guard >= 0) {
        DropDirGuard(hold.guard);
        return;
    }
    int guard = TakeDirGuard(kShmDir);
    struct stat now;
    if (lstat(kLockPath, &now) == 0 && Unchanged(now, hold.made) && HoldsOwnId() &&
        unlink(kLockPath) != 0 && errno != ENOENT)
        EmptyInPlace(hold.made);
    DropDirGuard(guard);
}

// ---- The record -----------------------------------------------------------------------

// Opens the record for reading and writing, creating it when it is missing (*created).
int OpenRecord(bool *created)
{
    *created = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = OpenStateFile(kRecordPath, O_RDWR);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = OpenStateFile(kRecordPath, O_RDWR | O_CREAT | O_EXCL);
        if (fd >= 0 || errno != EEXIST) {
            *created = fd >= 0;
            return fd;
        }
    }
    return -1;
}

// Puts the record file back as it was before a write that did not go in whole: one that
// this call created is removed, an old one gets its bytes and its length back. True when
// that worked.
bool UndoWrite(int fd, bool created, const uint8_t *old, size_t had, off_t size)
{
    struct stat mine, now;
    if (created)
        return fstat(fd, &mine) == 0 && lstat(kRecordPath, &now) == 0 && SameFile(mine, now) &&
               unlink(kRecordPath) == 0;
    return (had == 0 || WriteAt(fd, old, had, 0)) &&
           (size >= off_t(kRecordSize) || ftruncate(fd, size) == 0);
}

// Reads the record, applies the fields that are not 255 and writes it back at the start:
// 1 written, 0 not (the file is then as it was).
int RewriteRecord(const uint8_t *bytes, const bool *use, const uint16_t *words,
                  const bool *useWord)
{
    bool created;
    int fd = OpenRecord(&created);
    if (fd < 0)
        return 0;
    FdCloser closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    uint8_t old[kRecordSize] = {};
    size_t had = ReadUpTo(fd, old, sizeof old);
    uint8_t record[kRecordSize];
    memcpy(record, old, sizeof record);
    static const int byteOffset[6] = {0, 1, 2, 3, 5, 4};
    for (int i = 0; i < 6; ++i)
        if (use[i])
            record[byteOffset[i]] = bytes[i];
    if (useWord[0])
        Put16(record + 8, words[0]);
    if (useWord[1])
        Put16(record + 6, words[1]);
    if (WriteAt(fd, record, sizeof record, 0))
        return 1;
    UndoWrite(fd, created, old, had, st.st_size);
    return 0;
}

} // namespace

extern "C" int GetVesIfaceSetStatus(uint8_t *record10)
{
    if (!PathExists(kRecordPath))
        return 0;
    WaitForLock();
    struct stat st;
    if (lstat(kRecordPath, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;  // a link or a FIFO at the name is no record
    if (st.st_mtime == ChangeMarker)
        return 0;
    ChangeMarker = st.st_mtime;
    if (record10) {
        int fd = OpenStateFile(kRecordPath, O_RDONLY);
        if (fd >= 0) {
            ReadUpTo(fd, record10, kRecordSize);
            close(fd);
        }
    }
    return 1;
}

extern "C" int SetIoInterfaceRequest(uint8_t at0, uint8_t at1, uint8_t at2, uint8_t at3,
                                     uint8_t at5, uint16_t at8, uint16_t at6, uint8_t at4,
                                     uint8_t notify)
{
    Hold hold;
    if (!TakeLock(hold))
        return 0;
    const uint8_t bytes[6] = {at0, at1, at2, at3, at5, at4};
    bool use[6];
    for (int i = 0; i < 6; ++i)
        use[i] = bytes[i] != kKeep;
    const uint16_t words[2] = {at8, at6};
    const bool useWord[2] = {at8 != kKeep, at6 != kKeep};
    int result = RewriteRecord(bytes, use, words, useWord);
    ReleaseLock(hold);
    if (notify)
        GetVesIfaceSetStatus(nullptr);
    return result;
}

extern "C" int GetIoInterfaceRequest(uint8_t *at5, uint16_t *at6, uint8_t *at4,
                                     uint8_t *record10)
{
    Hold hold;
    if (!TakeLock(hold))
        return 0;
    int result = 0;
    int fd = PathExists(kRecordPath) ? OpenStateFile(kRecordPath, O_RDONLY) : -1;
    if (fd >= 0) {
        uint8_t record[kRecordSize] = {};
        ReadUpTo(fd, record, sizeof record);
        close(fd);
        if (record10)
            memcpy(record10, record, sizeof record);
        if (at5)
            *at5 = record[5];
        if (at6)
            *at6 = Get16(record + 6);
        if (at4)
            *at4 = record[4];
        result = 1;
    }
    ReleaseLock(hold);
    return result;
}
