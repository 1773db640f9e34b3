// modeflags.cpp - the unit's mode flags from the first line of /etc/quor/quormode:
// the QuorPro model ('1' as first character) and the dew FSM value (between the first
// two vertical bars). Only the first 19 characters of the line are read.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"

namespace {

const char kModePath[] = "/etc/quor/quormode";
constexpr int kLineRead = 20;  // fgets size: at most 19 characters

// Reads the first line (at most 19 characters) into line; false when nothing is read.
bool ReadFirstLine(char (&line)[kLineRead])
{
    if (access(kModePath, R_OK) != 0)
        return false;
    FILE *f = fopen(kModePath, "re");
    if (!f)
        return false;
    bool got = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    return got;
}

} // namespace

extern "C" int IsQuorPro(void)
{
    char line[kLineRead];
    if (!ReadFirstLine(line))
        return 0;
    return line[0] == '1' ? 1 : 0;
}

extern "C" int IsDewFsmActive(void)
{
    char line[kLineRead];
    if (!ReadFirstLine(line))
        return 0;
    char *first = strchr(line, '|');
    if (!first)
        return 0;
    char *second = strchr(first + 1, '|');
    if (!second)
        return 0;
    *second = '\0';
    return Decimal32(first + 1);
}
