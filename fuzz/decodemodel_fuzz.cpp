// decodemodel_fuzz.cpp - model decoding with an arbitrary decode.models file: the result
// is always a short terminated text and the name lookup never writes past its 5 bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    if (FILE *f = fopen("/etc/quor/db/devices/decode.models", "wb")) {
        fwrite(data + 5, 1, size - 5, f);
        fclose(f);
    }
    const char *text = DecodeModelCode(data, int(data[4] % 8));
    if (strlen(text) > 16)
        abort();
    char name[8];
    memset(name, 0x7e, sizeof name);
    memset(name, 0, 5);
    LookupDecodeModel(data[0], name);
    if (name[5] != 0x7e || name[4] != 0)
        abort();
    return 0;
}
