// ptypair.h - a pty pair: the slave stands for the unit's serial port, the master for the
// RS-485 line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmtest {

// A pty pair, the master opened with O_RDWR | O_NOCTTY | masterFlags; both closed at the
// end of its scope.
struct PtyPair {
    explicit PtyPair(int masterFlags = 0);
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;
    // The slave's name without "/dev/" ("pts/N"), as a line record names it.
    std::string Tty() const;
    int master = -1;
    std::string slave;  // "/dev/pts/N", "" when the pair could not be made
};

// What fd has to read until quietMs pass without a byte.
std::vector<uint8_t> Drain(int fd, int quietMs = 50);

} // namespace qmtest
