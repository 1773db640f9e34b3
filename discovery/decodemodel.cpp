// decodemodel.cpp - model code decoding: the 4-byte model code of identification query 2
// turned into the model text of the report line, with suffix names from decode.models.
#include <cstdio>
#include <cstring>

#include "discovery.h"
#include "internal.h"

namespace {

const char *const DecodeModelsFile = "/etc/quor/db/devices/decode.models";

// The result of the last DecodeModelCode call. The longest text is 11 characters
// ("X", b0, five digits, a four-character name); every append is bounded by the size.
char ModelText[16];

// Appends text after the visible part of ModelText, cutting what does not fit.
void AppendText(const char *text)
{
    size_t used = strlen(ModelText);
    snprintf(ModelText + used, sizeof ModelText - used, "%s", text);
}

// Appends one character; a zero byte adds nothing, so what follows it is appended
// directly after the visible text.
void AppendChar(uint8_t c)
{
    char one[2] = {static_cast<char>(c), '\0'};
    AppendText(one);
}

bool IsUpper(uint8_t c) { return c >= 'A' && c <= 'Z'; }
bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Hexadecimal value of the leading hex digits of text (0 when there are none).
long LeadingHex(const char *text)
{
    long value = 0;
    for (; *text; ++text) {
        int d = HexValue(*text);
        if (d < 0)
            break;
        value = value * 16 + d;
    }
    return value;
}

} // namespace

int LookupDecodeModel(int code, char *out5)
{
    FILE *f = fopen(DecodeModelsFile, "re");
    if (!f) {
        if (code == 0x21) {
            memcpy(out5, "CX", 3);
            return 1;
        }
        return 0;
    }
    FileCloser closer{f};

    // Lines are read in pieces of at most 19 characters; each piece counts as a line.
    char line[20];
    for (;;) {
        memset(line, 0, sizeof line);
        if (!fgets(line, sizeof line, f))
            return 0;
        size_t len = StripLineEnd(line);
        // The name starts at the sixth character; the code is the first four.
        char name[5] = {0};
        if (len > 5)
            memcpy(name, line + 5, strnlen(line + 5, 4));
        line[4] = '\0';
        if (LeadingHex(line) == code) {
            memcpy(out5, name, sizeof name);
            return 1;
        }
    }
}

const char *DecodeModelCode(const uint8_t *bytes, int length)
{
    ModelText[0] = '\0';
    if (!bytes || length <= 3)
        return ModelText;
    uint8_t b0 = bytes[0], b1 = bytes[1], b2 = bytes[2], b3 = bytes[3];
    if (!(b0 == 0x00 || b0 == ' ' || IsUpper(b0) || IsDigit(b0)))
        return ModelText;

    unsigned v = ((b2 * 256u) + b3) >> 6;  // 0..1023
    char number[16];
    if (b1 == 0x00 || b1 == ' ' || IsUpper(b1)) {
        AppendChar('X');
        AppendChar(b0);
        if (b0 != 0x00)  // a zero b0 ends the visible text: b1 is lost
            AppendChar(b1);
        if (v <= 999) {
            snprintf(number, sizeof number, "%02u", v);
            AppendText(number);
        }
    } else if (IsDigit(b1)) {
        AppendChar('X');
        AppendChar(b0);
        snprintf(number, sizeof number, "%u", v + (b1 - '0') * 1000u);
        AppendText(number);
    } else {
        return ModelText;
    }

    char suffix = static_cast<char>((b3 & 0x3F) + 0x20);  // blank .. '_'
    if (IsUpper(static_cast<uint8_t>(suffix))) {
        AppendChar(static_cast<uint8_t>(suffix));
    } else {
        char name[5] = {0};
        if (LookupDecodeModel(suffix, name)) {
            name[4] = '\0';
            AppendText(name);
        }
    }
    return ModelText;
}
