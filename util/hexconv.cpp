// hexconv.cpp - hexadecimal text to bytes (two digits a byte) and bytes to blank-separated
// hex text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {
char *lastHexText = nullptr;  // the text BytesToHex returned last; the library owns it
} // namespace

// A buffer of count + 1 zero bytes holding the first min(count, strlen/2) decoded pairs.
// A count below 0 is taken as 0: the result is a single zero byte.
unsigned char *HexToBytes(const char *hex, signed char count)
{
    const int wanted = count < 0 ? 0 : count;
    unsigned char *bytes = static_cast<unsigned char *>(calloc(static_cast<size_t>(wanted) + 1, 1));
    if (!bytes)
        return nullptr;
    const size_t pairs = hex ? strlen(hex) / 2 : 0;
    const size_t decode = pairs < static_cast<size_t>(wanted) ? pairs : static_cast<size_t>(wanted);
    HexPairsToBytes(hex, decode, bytes);
    return bytes;
}

void HexPairsToBytes(const char *hex, size_t pairs, uint8_t *out)
{
    for (size_t i = 0; i < pairs; ++i) {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
        out[i] = static_cast<uint8_t>(strtoul(pair, nullptr, 16));
    }
}

// "01 ab ff": two lower-case digits per byte, one blank between neighbours. The previous
// text is released on every call; a count of 0 or less gives none.
char *BytesToHex(const unsigned char *bytes, int count)
{
    free(lastHexText);
    lastHexText = nullptr;
    if (count <= 0 || !bytes)
        return nullptr;
    const size_t n = static_cast<size_t>(count);
    if (n > SIZE_MAX / 3)
        return nullptr;
    char *text = static_cast<char *>(calloc(n, 3));
    if (!text)
        return nullptr;
    char *p = text;
    for (size_t i = 0; i < n; ++i) {
        if (i > 0)
            *p++ = ' ';
        snprintf(p, 3, "%02x", bytes[i]);
        p += 2;
    }
    lastHexText = text;
    return text;
}
