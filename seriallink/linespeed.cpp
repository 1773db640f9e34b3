// linespeed.cpp - the termios speed codes (linespeeds.def) and character sizes of the line,
// in one table each, read in both directions: from a line record's settings to the port's mode when the
// line is opened, and from the port's mode back to bit/s and bits when a frame is timed.
#include "seriallink.h"

namespace {

struct SpeedEntry {
    unsigned bitsPerSecond;
    speed_t code;
    bool inLineTable;  // a speed a line record may ask for; the others are only recognised
};

const SpeedEntry kSpeeds[] = {
#define QM_LINE_SPEED(bps, code, lineTable) {bps, code, lineTable != 0},
#include "linespeeds.def"
#undef QM_LINE_SPEED
};

struct SizeEntry {
    unsigned dataBits;
    tcflag_t flag;
};

const SizeEntry kSizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

} // namespace

speed_t LineSpeedCode(int32_t bitsPerSecond)
{
    for (const SpeedEntry &e : kSpeeds)
        if (e.inLineTable && int64_t(e.bitsPerSecond) == bitsPerSecond)
            return e.code;
    return B9600;
}

unsigned LineSpeedBits(speed_t code)
{
    for (const SpeedEntry &e : kSpeeds)
        if (e.code == code)
            return e.bitsPerSecond;
    return 0;
}

tcflag_t CharacterSizeFlag(int32_t dataBits)
{
    for (const SizeEntry &e : kSizes)
        if (int64_t(e.dataBits) == dataBits)
            return e.flag;
    return CS8;
}

unsigned CharacterSizeBits(tcflag_t cflag)
{
    for (const SizeEntry &e : kSizes)
        if (e.flag == (cflag & CSIZE))
            return e.dataBits;
    return 8;
}
