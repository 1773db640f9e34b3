// statefiles_fuzz.cpp - the state files on arbitrary content, the first byte choosing the
// file: the acquisition speed file (entries 0..20, end above start, code2 never 0, flags
// only of lists), the temperature history trailer (record count = data size / length),
// the I/O request record (fields read back from the content, a rewrite read back, the
// port byte driven and reported) and a runtime table (a slot reads back what was written).
// Runs inside the sandbox only.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qmveskar.h"

namespace {

void Put(const char *path, const uint8_t *data, size_t size)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 || write(fd, data, size) != ssize_t(size))
        abort();
    close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!getenv("QM_SANDBOX"))
        abort();  // the unit's fixed paths are written inside the sandbox only
    if (size < 1)
        return 0;
    const uint8_t pick = data[0];
    ++data, --size;
    switch (pick % 4) {
    case 0: {
        static long stamp = 1000;  // a new mtime each time: the file counts as changed
        Put("/dev/shm/acqspeed.conf", data, size);
        struct timespec times[2] = {{++stamp, 0}, {stamp, 0}};
        utimensat(AT_FDCWD, "/dev/shm/acqspeed.conf", times, 0);
        AcqSpeedSetup *s = static_cast<AcqSpeedSetup *>(malloc(sizeof(AcqSpeedSetup)));
        int r = GetAcqSpeedSetup(s);
        if (r == 1 && (s->count < 1 || s->count > 20 || s->end <= s->start))
            abort();
        for (int i = 0; r == 1 && i < s->count; ++i)
            if (s->code2[i] == 0 || s->flags[i] == 0 || (s->flags[i] & ~0x3D))
                abort();
        if (r == 1 && GetAcqSpeedSetup(s) != 2)
            abort();
        free(s);
        break;
    }
    case 1: {
        size_t half = size / 2;
        Put("/var/log/temp_isto/00000000007.tempisto", data, half);
        Put("/var/log/temp_isto/00000000007.temphid", data + half, size - half);
        TempFileInfo info;
        int r = GetTempFileInfo(7, &info);
        if (r != (size - half >= 85 ? 1 : 0) || strnlen(info.text, sizeof info.text) >= 152)
            abort();
        if (r == 1 && info.recordLength != 0 &&
            info.recordCount != uint32_t(half / uint32_t(info.recordLength)))
            abort();
        break;
    }
    case 2: {
        Put("/dev/shm/ves_iface", data, size);
        uint8_t record[10] = {}, at5 = 0, at4 = 0, want[10] = {};
        uint16_t at6 = 0;
        memcpy(want, data, size < 10 ? size : 10);
        if (GetIoInterfaceRequest(&at5, &at6, &at4, record) != 1 || memcmp(record, want, 10) ||
            at5 != want[5] || at4 != want[4] || at6 != (want[6] | want[7] << 8))
            abort();
        const uint8_t b[6] = {uint8_t(pick * 7), uint8_t(pick * 11), uint8_t(pick * 13), 255,
                              uint8_t(pick * 17), uint8_t(pick * 19)};
        const uint16_t w8 = uint16_t(pick * 257), w6 = uint16_t(pick % 3 ? 0x00FF : pick);
        if (SetIoInterfaceRequest(b[0], b[1], b[2], b[3], b[4], w8, w6, b[5], pick & 4) != 1)
            abort();
        const int at[6] = {0, 1, 2, 3, 5, 4};
        for (int i = 0; i < 6; ++i)
            if (b[i] != 255)
                want[at[i]] = b[i];
        if (w8 != 0x00FF)
            want[8] = uint8_t(w8), want[9] = uint8_t(w8 >> 8);
        if (w6 != 0x00FF)
            want[6] = uint8_t(w6), want[7] = uint8_t(w6 >> 8);
        if (GetIoInterfaceRequest(nullptr, nullptr, nullptr, record) != 1 ||
            memcmp(record, want, 10))
            abort();
        struct stat st;
        if (stat("/dev/shm/ves_iface", &st) != 0 || size_t(st.st_size) != (size > 10 ? size : 10))
            abort();
        // The port byte: bits 0x08 and 0x04 driven, the others kept, 0x80 and 0x40 reported.
        int port = open("/dev/port", O_RDWR);
        uint8_t byte = size ? data[0] : 0;
        if (port < 0 || pwrite(port, &byte, 1, 2049) != 1 || SetDiStatus(pick) != pick)
            abort();
        uint8_t now = 0;
        if (pread(port, &now, 1, 2049) != 1 ||
            now != ((byte & ~0x0C) | (pick & 1 ? 0x08 : 0) | (pick & 2 ? 0x04 : 0)) ||
            GetDiStatus() != ((now & 0x80) ? 0 : 1) + ((now & 0x40) ? 0 : 2))
            abort();
        close(port);
        break;
    }
    default: {
        Put("/dev/shm/sh_9.share", data, size);
        const uint8_t slot = size ? data[0] : 0;
        uint8_t *buffer = static_cast<uint8_t *>(malloc(904));
        uint8_t want[904] = {};
        const size_t at = size_t(slot) * 904;
        if (at < size)
            memcpy(want, data + at, size - at < 904 ? size - at : 904);
        if (GetShRuntime(9, slot, buffer) != (at + 904 <= size ? 1 : 0) ||
            memcmp(buffer, want, 904))
            abort();
        memset(buffer, pick, 904);
        if (size >= 8)
            memcpy(buffer, data + size - 8, 8);
        memcpy(want, buffer, 904);
        if (SetShRuntime(9, slot, buffer) != 1 || GetShRuntime(9, slot, buffer) != 1 ||
            memcmp(buffer, want, 904))
            abort();
        free(buffer);
        break;
    }
    }
    return 0;
}
