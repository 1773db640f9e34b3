// ioiface.cpp - the I/O interface request record /dev/shm/ves_iface (10 bytes, 16-bit
// fields little-endian), read and rewritten under the advisory lock file
// /dev/shm/ves_iface.lok, and the process-wide change marker over its modification time.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"

namespace {

const char kRecordPath[] = "/dev/shm/ves_iface";
const char kLockPath[] = "/dev/shm/ves_iface.lok";
constexpr size_t kRecordSize = 10;
constexpr unsigned kKeep = 255;          // field argument that leaves the stored value
constexpr int kLockSleeps = 4;           // at most four sleeps of 500 ms
constexpr long kLockSleepNs = 500000000L;

// Modification time (whole seconds) of the record as last seen by GetVesIfaceSetStatus.
time_t ChangeMarker = 0;

// Waits while the lock file exists, at most four sleeps; then the caller goes on.
void WaitForLock()
{
    for (int i = 0; i < kLockSleeps && PathExists(kLockPath); ++i)
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

// Takes the lock after the bounded wait: creates (or truncates) the lock file with the
// process id. The existence test and the creation are separate steps by design of the
// protocol shared with the unit's other programs.
bool TakeLock()
{
    WaitForLock();
    return WritePidFile(kLockPath) != 0;  // a failed close still leaves the lock taken
}

void ReleaseLock() { unlink(kLockPath); }

// Reads the record, applies the fields that are not 255 and writes it back at the start.
// Opening with O_CREAT (no truncation) covers both the existing and the missing file
// without a window in which another writer's record could be cut.
int RewriteRecord(const uint8_t *bytes, const bool *use, const uint16_t *words,
                  const bool *useWord)
{
    int fd = OpenStateFile(kRecordPath, O_RDWR | O_CREAT);
    if (fd < 0)
        return 0;
    uint8_t record[kRecordSize] = {};
    ReadUpTo(fd, record, sizeof record);
    static const int byteOffset[6] = {0, 1, 2, 3, 5, 4};
    for (int i = 0; i < 6; ++i)
        if (use[i])
            record[byteOffset[i]] = bytes[i];
    if (useWord[0])
        Put16(record + 8, words[0]);
    if (useWord[1])
        Put16(record + 6, words[1]);
    // Short writes go unnoticed, as with every writer of this record.
    if (pwrite(fd, record, sizeof record, 0) < 0) {
    }
    close(fd);
    return 1;
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
    if (!TakeLock())
        return 0;
    const uint8_t bytes[6] = {at0, at1, at2, at3, at5, at4};
    bool use[6];
    for (int i = 0; i < 6; ++i)
        use[i] = bytes[i] != kKeep;
    const uint16_t words[2] = {at8, at6};
    const bool useWord[2] = {at8 != kKeep, at6 != kKeep};
    int result = RewriteRecord(bytes, use, words, useWord);
    ReleaseLock();
    if (notify)
        GetVesIfaceSetStatus(nullptr);
    return result;
}

extern "C" int GetIoInterfaceRequest(uint8_t *at5, uint16_t *at6, uint8_t *at4,
                                     uint8_t *record10)
{
    if (!TakeLock())
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
    ReleaseLock();
    return result;
}
