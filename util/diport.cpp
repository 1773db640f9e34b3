// diport.cpp - the digital I/O port byte: I/O port 0x801, offset 2049 of /dev/port.
// Port bits 0x08 and 0x04 are driven from status bits 0 and 1; port bits 0x80 and 0x40
// report status bits 0 and 1, inverted. Read-modify-write without a lock.
#include <fcntl.h>
#include <unistd.h>

#include "qmveskar.h"

namespace {

const char kPortDevice[] = "/dev/port";
constexpr off_t kPortOffset = 2049;
constexpr int kNoDevice = -128;

} // namespace

extern "C" int SetDiStatus(uint8_t status)
{
    int fd = open(kPortDevice, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return kNoDevice;
    unsigned char byte = 0;
    // Without the current byte the six bits of the others are unknown: nothing is written.
    if (lseek(fd, kPortOffset, SEEK_SET) != kPortOffset || read(fd, &byte, 1) != 1) {
        close(fd);
        return kNoDevice;
    }
    byte = static_cast<unsigned char>(byte & ~0x0C);
    if (status & 0x01)
        byte |= 0x08;
    if (status & 0x02)
        byte |= 0x04;
    if (lseek(fd, kPortOffset, SEEK_SET) != kPortOffset || write(fd, &byte, 1) < 0) {
    }
    close(fd);
    return status;
}

extern "C" int GetDiStatus(void)
{
    int fd = open(kPortDevice, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return kNoDevice;
    unsigned char byte = 0;
    if (lseek(fd, kPortOffset, SEEK_SET) != kPortOffset || read(fd, &byte, 1) < 0) {
    }
    close(fd);
    return ((byte & 0x80) ? 0 : 1) + ((byte & 0x40) ? 0 : 2);
}
