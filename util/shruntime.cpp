// shruntime.cpp - shared runtime slots: tables of 255 opaque 904-byte slots in
// /dev/shm/sh_<id>.share, created, read, overwritten and removed slot by slot.
// No lock: every access is one open, one seek, one read or write and one close.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"

namespace {

constexpr size_t kSlotSize = 904;
constexpr int kSlotCount = 255;

struct SlotPath {
    char text[64];
};

SlotPath PathFor(int32_t id)
{
    SlotPath p;
    snprintf(p.text, sizeof p.text, "/dev/shm/sh_%ld.share", long(id));
    return p;
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

} // namespace

extern "C" int InitShareRuntime(int32_t id)
{
    SlotPath path = PathFor(id);
    int fd = OpenStateFile(path.text, O_RDWR | O_CREAT | O_TRUNC, 0777);
    if (fd < 0)
        return -1;
    static const unsigned char zeros[kSlotSize] = {};
    for (int i = 0; i < kSlotCount; ++i) {
        // One write per slot; a failing write is not reported to the caller.
        if (write(fd, zeros, sizeof zeros) < 0) {
        }
    }
    return close(fd);
}

extern "C" int UnInitShareRuntime(int32_t id)
{
    return RemoveIfExists(PathFor(id).text);
}

extern "C" int GetShRuntime(int32_t id, uint8_t slot, void *buffer904)
{
    if (!buffer904)
        return 0;
    int fd = OpenAtSlot(id, slot, O_RDONLY);
    if (fd < 0)
        return 0;
    memset(buffer904, 0, kSlotSize);
    ssize_t got = read(fd, buffer904, kSlotSize);
    close(fd);
    return got == ssize_t(kSlotSize) ? 1 : 0;
}

extern "C" int SetShRuntime(int32_t id, uint8_t slot, const void *buffer904)
{
    if (!buffer904)
        return 0;
    int fd = OpenAtSlot(id, slot, O_WRONLY);
    if (fd < 0)
        return 0;
    // The write's result is not part of the answer: the slot counts as written.
    if (write(fd, buffer904, kSlotSize) < 0) {
    }
    close(fd);
    return 1;
}
