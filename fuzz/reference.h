// reference.h - the fuzz targets' own references: a finding is a result that differs from
// these, not only a crash. Written apart from the product's code on purpose: a bitwise
// CRC-16 (polynomial 0xA001, initial 0xFFFF) and a decimal reading held to the signed
// 32-bit range.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// A wrong result is a finding like a crash.
inline void Require(bool ok)
{
    if (!ok)
        abort();
}

inline uint16_t ReferenceCrc16(const uint8_t *p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

// strtoll of a decimal text (null: 0), held to the signed 32-bit range.
inline int32_t ReferenceInt32(const char *text)
{
    if (!text)
        return 0;
    long long v = strtoll(text, nullptr, 10);  // out of range: LLONG_MIN/MAX, held below
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : int32_t(v);
}
