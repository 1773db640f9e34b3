// encoders.cpp - base64 (RFC 4648) of one 3-byte group and of a whole file to a descriptor.
#include <cstdio>

#include "qmveskar.h"

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kGroupsPerLine = 19;  // 76 characters
} // namespace

// Bytes of the group beyond the count must be 0: byte 2 enters character 2 even when the
// count is 1.
extern "C" void encodeblock(const unsigned char *in, unsigned char *out, int count)
{
    out[0] = static_cast<unsigned char>(kAlphabet[in[0] >> 2]);
    out[1] = static_cast<unsigned char>(kAlphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)]);
    if (count <= 1) {
        out[2] = '=';
        out[3] = '=';
        return;
    }
    out[2] = static_cast<unsigned char>(kAlphabet[((in[1] & 0x0F) << 2) | (in[2] >> 6)]);
    out[3] = count == 2 ? '=' : static_cast<unsigned char>(kAlphabet[in[2] & 0x3F]);
}

// Lines of 76 characters, each ended by a newline; an empty file writes nothing.
// A read error (a directory, an I/O error) ends the encoding like the end of the file: the
// group read so far is written and the line ended, and the result is 1, as the file could
// not be encoded in full.
extern "C" int base64(const char *path, int fd)
{
    if (!path)
        return 1;
    FILE *file = fopen(path, "re");
    if (!file)
        return 1;
    int groupsInLine = 0;
    bool atEnd = false;
    while (!atEnd) {
        unsigned char in[3] = {0, 0, 0};
        int count = 0;
        for (int i = 0; i < 3; ++i) {
            int c = fgetc(file);
            if (c == EOF) {
                atEnd = true;  // end of file or read error: either way nothing more comes
                break;
            }
            in[i] = static_cast<unsigned char>(c);
            ++count;
        }
        if (count == 0)
            break;
        unsigned char out[4];
        encodeblock(in, out, count);
        for (unsigned char c : out)
            dprintf(fd, "%c", c);
        if (++groupsInLine == kGroupsPerLine) {
            dprintf(fd, "\n");
            groupsInLine = 0;
        }
    }
    if (groupsInLine > 0)
        dprintf(fd, "\n");
    const bool failed = ferror(file) != 0;
    fclose(file);
    return failed ? 1 : 0;
}
