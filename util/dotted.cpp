// dotted.cpp - dotted decimal text to a 32-bit integer, the first number in the lowest byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

constexpr int kParts = 4;  // a fifth part would be shifted by 32 bits: it is ignored

// A part converted as strtol does on the unit, where long has 32 bits (out-of-range values
// saturate): Decimal32 gives the same results on the 64-bit build.
uint32_t PartValue(const char *part) { return static_cast<uint32_t>(Decimal32(part)); }

} // namespace

// Parts are not limited to 0..255: a larger value reaches into the next byte. On the unit
// (little-endian) "a.b.c.d" gives the IPv4 address in network byte order. Parts after the
// fourth are ignored.
uint32_t DottedToInt(const char *text)
{
    if (!text || !*text)
        return 0;
    char *copy = strdup(text);
    if (!copy)
        return 0;
    uint32_t result = 0;
    char *part = copy;
    for (int k = 0; k < kParts && part; ++k) {
        char *dot = strchr(part, '.');
        if (dot)
            *dot = '\0';
        result |= PartValue(part) << (8 * k);
        part = dot ? dot + 1 : nullptr;
    }
    free(copy);
    return result;
}
