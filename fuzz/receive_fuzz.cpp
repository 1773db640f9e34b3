// receive_fuzz.cpp - the reply receiver's state machine on an arbitrary byte stream (first
// byte: the expected address; second: bit 0 seals the stream's last two bytes with the CRC
// from the first address byte). A kept reply must be a 03/04/FD reply whose byte count is
// LastResponse's length, whose data LastResponse holds and whose CRC a reference CRC-16
// confirms; the same stream with one CRC bit flipped, and an exception reply with a good
// CRC, must leave no LastResponse.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "reference.h"
#include "seriallink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    PostRxDelay = 0;
    const uint8_t address = data[0], mode = data[1];
    std::vector<uint8_t> s(data + 2, data + size);
    const size_t first = std::find(s.begin(), s.end(), address) - s.begin();
    if ((mode & 1) && first + 3 <= s.size()) {
        uint16_t crc = ReferenceCrc16(&s[first], s.size() - 2 - first);
        s[s.size() - 2] = uint8_t(crc);
        s[s.size() - 1] = uint8_t(crc >> 8);
    }

    size_t used = 0;
    bool ok = ReceiveRtuBytes(s.data(), s.size(), address, &used);
    Require(used <= s.size());
    Require(ok == (LastResponse != nullptr));
    if (ok) {
        const size_t len = LastResponse->length;
        // address, function, count, len data bytes, two CRC bytes, at least
        Require(len > 0 && used >= first + len + 5);
        const size_t count = used - 3 - len;
        Require(s[count] == len);
        Require(s[count - 1] == 0x03 || s[count - 1] == 0x04 || s[count - 1] == 0xFD);
        Require(memcmp(LastResponse->data, &s[count + 1], len) == 0);
        uint16_t crc = ReferenceCrc16(&s[first], used - 2 - first);
        Require(s[used - 2] == uint8_t(crc) && s[used - 1] == uint8_t(crc >> 8));

        std::vector<uint8_t> bad(s.begin(), s.begin() + used);
        bad[used - 2 + ((mode >> 1) & 1)] ^= uint8_t(1u << ((mode >> 2) & 7));
        Require(!ReceiveRtuBytes(bad.data(), bad.size(), address, nullptr));
        Require(LastResponse == nullptr);
    }

    static const uint8_t kExceptions[4] = {0x83, 0x84, 0x86, 0x90};
    uint8_t exception[5] = {address, kExceptions[(mode >> 5) & 3], uint8_t(size), 0, 0};
    uint16_t crc = ReferenceCrc16(exception, 3);
    exception[3] = uint8_t(crc);
    exception[4] = uint8_t(crc >> 8);
    size_t taken = 0;
    Require(!ReceiveRtuBytes(exception, sizeof exception, address, &taken));
    Require(LastResponse == nullptr && taken == sizeof exception);
    return 0;
}
