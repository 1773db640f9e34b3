// caseconv.cpp - ASCII case conversion into mTmpOut, a ring of ten 200-byte slots.
#include <cstdint>
#include <cstring>

#include "qmveskar.h"

extern "C" {
char mTmpOut[2000];
}

namespace {
constexpr size_t kSlotSize = 200;
constexpr uint8_t kSlots = 10;
uint8_t slotIndex = 0;
} // namespace

// A text of 200 characters or more is cut to its first 199, so the slot stays terminated.
extern "C" char *strmklu(const char *text, int upper)
{
    const bool toUpper = (upper & 0xFF) != 0;
    size_t length = text ? strlen(text) : 0;
    if (length > kSlotSize - 1)
        length = kSlotSize - 1;
    if (slotIndex >= kSlots)
        slotIndex = 0;
    char *slot = mTmpOut + kSlotSize * slotIndex;
    memset(slot, 0, kSlotSize);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (toUpper && c >= 'a' && c <= 'z')
            c = static_cast<unsigned char>(c - 0x20);
        else if (!toUpper && c >= 'A' && c <= 'Z')
            c = static_cast<unsigned char>(c + 0x20);
        slot[i] = static_cast<char>(c);
    }
    ++slotIndex;
    return slot;
}

extern "C" char *strlwr(const char *text) { return strmklu(text, 0); }
extern "C" char *strupr(const char *text) { return strmklu(text, 1); }
