// decimal.cpp - the decimal reading shared by the library and the command: leading white
// space and a sign accepted, stopping at the first non-digit, no digits giving 0, and the
// value held to the signed 32-bit range, the same on every build.
#include <cstdint>
#include <cstdlib>

#include "internal.h"

int32_t Decimal32(const char *text)
{
    if (!text)
        return 0;
    long long v = strtoll(text, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return int32_t(v);
}
