// littleendian.cpp - 16- and 32-bit fields stored low byte first, as the unit's records and
// the message bus's wire image hold them, whatever the build's own byte order.
#include "internal.h"

void Put16(uint8_t *at, uint16_t value)
{
    at[0] = uint8_t(value & 0xFF);
    at[1] = uint8_t(value >> 8);
}

uint16_t Get16(const uint8_t *at) { return uint16_t(at[0] | (at[1] << 8)); }

void Put32(uint8_t *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = uint8_t(value >> (8 * i));
}

uint32_t Get32(const uint8_t *at)
{
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}
