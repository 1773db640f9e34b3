// shruntime.cpp - shared runtime slots: tables of 255 opaque 904-byte slots in
// /dev/shm/sh_<id>.share, created, read, overwritten and removed slot by slot.
//
// Between callers of the library a slot is read and written whole: a read holds a shared,
// a write an exclusive byte-range lock on the slot's 904 bytes, a reset an exclusive lock
// on the whole table. They are open-file-description locks, which the threads of one
// process feel as well and which no close of another descriptor undoes; the file's layout
// knows nothing of them, and programs that take no lock read and write it as before. A new
// table is written unnamed and linked to its name complete; a reset writes the zeros in
// place and then sets the size, so a table never has the wrong size. Room on the disk is
// reserved before a write, so that a full disk fails the call before anything changes.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"

namespace {

constexpr size_t kSlotSize = 904;
constexpr int kSlotCount = 255;
constexpr off_t kTableSize = off_t(kSlotCount) * off_t(kSlotSize);
constexpr int kZeroSlots = 15;  // slots per write of a reset (255 = 17 * 15)

struct SlotPath {
    char text[64];
};

SlotPath PathFor(int32_t id)
{
    SlotPath p;
    snprintf(p.text, sizeof p.text, "/dev/shm/sh_%ld.share", long(id));
    return p;
}

// Where the kernel has no open-file-description locks (before Linux 3.15), process-owned
// record locks take their place, and the calls of this process take turns on ClassicTurn:
// such locks neither keep out the other threads of the process nor outlive the close of
// any descriptor of the file in it.
std::atomic<bool> OfdLocks{true};
pthread_mutex_t ClassicTurn = PTHREAD_MUTEX_INITIALIZER;

// A table opened for one call, with the lock it holds. The end of the scope lets the lock
// go explicitly (a child forked meanwhile shares the open file) and closes the file.
struct TableAccess {
    int fd;
    int unlock = 0;     // the fcntl() command that lets the lock go; 0: none held
    bool turn = false;  // holds ClassicTurn
    int Close()
    {
        if (unlock) {
            struct flock all = {};
            all.l_type = F_UNLCK;
            all.l_whence = SEEK_SET;
            fcntl(fd, unlock, &all);
            unlock = 0;
        }
        int result = fd >= 0 ? close(fd) : -1;
        fd = -1;
        if (turn)
            pthread_mutex_unlock(&ClassicTurn);
        turn = false;
        return result;
    }
    ~TableAccess() { Close(); }
};

// Waits for a lock of type (F_RDLCK, F_WRLCK) on length bytes from start (0: up to the
// end of the file and beyond). Where the file system has no record locks the call goes
// on unlocked, as every call did before there were locks.
void Lock(TableAccess &access, short type, off_t start, off_t length)
{
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = length;
    if (OfdLocks.load(std::memory_order_relaxed)) {
        int r;
        while ((r = fcntl(access.fd, F_OFD_SETLKW, &range)) != 0 && errno == EINTR) {
        }
        if (r == 0)
            access.unlock = F_OFD_SETLK;
        if (r == 0 || errno != EINVAL)
            return;
        OfdLocks = false;
    }
    pthread_mutex_lock(&ClassicTurn);
    access.turn = true;
    int r;
    while ((r = fcntl(access.fd, F_SETLKW, &range)) != 0 && errno == EINTR) {
    }
    if (r == 0)
        access.unlock = F_SETLK;
}

// Reserves room for length bytes from start, so that a write there cannot stop half-way
// for want of space. False only when the file system has no room; where it cannot
// reserve, the write takes its chances.
bool Reserve(int fd, off_t start, off_t length)
{
    return fallocate(fd, FALLOC_FL_KEEP_SIZE, start, length) == 0 ||
           (errno != ENOSPC && errno != EDQUOT);
}

// The existing table of id opened with flags and positioned at the slot; -1 when the table
// is missing, cannot be opened or the slot cannot be reached.
int OpenAtSlot(int32_t id, uint8_t slot, int flags)
{
    SlotPath path = PathFor(id);
    if (!PathExists(path.text))
        return -1;
    int fd = OpenStateFile(path.text, flags);
    if (fd < 0)
        return -1;
    off_t offset = off_t(slot) * off_t(kSlotSize);
    if (lseek(fd, offset, SEEK_SET) != offset) {
        close(fd);
        return -1;
    }
    return fd;
}

// Writes the 255 zero slots from the start of the file (fd at offset 0).
bool WriteZeros(int fd)
{
    static const unsigned char zeros[kZeroSlots * kSlotSize] = {};
    for (int i = 0; i < kSlotCount / kZeroSlots; ++i)
        if (!WriteAll(fd, zeros, sizeof zeros))
            return false;
    return true;
}

// Where unnamed files are refused: the table created exclusively under its name and
// removed again when it cannot be written whole. 1 when a file is there already.
int MakeNamedTable(const char *path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0777);
    if (fd < 0)
        return errno == EEXIST ? 1 : -1;
    bool ok = WriteZeros(fd);
    if (close(fd) == 0 && ok)
        return 0;
    unlink(path);
    return -1;
}

// The table of a new id: an unnamed file in /dev/shm that gets its name once it holds the
// 255 zero slots, so that a caller killed on the way, or a full disk, leaves no file.
// 0 made, -1 not made, 1 a file is at the name already (the caller resets it).
int MakeTable(const char *path)
{
    if (PathExists(path))
        return 1;
    int fd = OpenUnnamedFile("/dev/shm", O_RDWR, 0777);
    if (fd < 0)
        return MakeNamedTable(path);
    TableAccess access{fd};
    if (!WriteZeros(fd))
        return -1;
    if (NameUnnamedFile(fd, path) == 0)
        return access.Close() == 0 ? 0 : -1;
    return errno == EEXIST ? 1 : -1;
}

} // namespace

extern "C" int InitShareRuntime(int32_t id)
{
    SlotPath path = PathFor(id);
    int made = MakeTable(path.text);
    if (made <= 0)
        return made;
    TableAccess access{OpenStateFile(path.text, O_RDWR)};
    if (access.fd < 0)
        return -1;
    Lock(access, F_WRLCK, 0, 0);
    if (!Reserve(access.fd, 0, kTableSize) || !WriteZeros(access.fd) ||
        ftruncate(access.fd, kTableSize) != 0)
        return -1;
    return access.Close();
}

extern "C" int UnInitShareRuntime(int32_t id)
{
    return RemoveIfExists(PathFor(id).text);
}

extern "C" int GetShRuntime(int32_t id, uint8_t slot, void *buffer904)
{
    if (!buffer904)
        return 0;
    TableAccess access{OpenAtSlot(id, slot, O_RDONLY)};
    if (access.fd < 0)
        return 0;
    Lock(access, F_RDLCK, off_t(slot) * off_t(kSlotSize), off_t(kSlotSize));
    memset(buffer904, 0, kSlotSize);
    ssize_t got = read(access.fd, buffer904, kSlotSize);
    return got == ssize_t(kSlotSize) ? 1 : 0;
}

extern "C" int SetShRuntime(int32_t id, uint8_t slot, const void *buffer904)
{
    if (!buffer904)
        return 0;
    TableAccess access{OpenAtSlot(id, slot, O_WRONLY)};
    if (access.fd < 0)
        return 0;
    off_t start = off_t(slot) * off_t(kSlotSize);
    Lock(access, F_WRLCK, start, off_t(kSlotSize));
    if (!Reserve(access.fd, start, off_t(kSlotSize)))
        return 0;
    return WriteAll(access.fd, buffer904, kSlotSize) ? 1 : 0;
}
