// linerecord_fuzz.cpp - the scan driver's reading of a line record: up to twelve field texts
// split from the input at NUL bytes (fields not given are null texts), each in a buffer of
// its own size. A tty name of 28 characters or more rejects the record and leaves settings
// and timing alone; otherwise the name is kept whole and every numeric field equals a
// strtoll reference held to the signed 32-bit range.
#include <cstdlib>
#include <cstring>

#include "discovery.h"
#include "quordb.h"
#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr int kFields = 12;
    char **fields = static_cast<char **>(calloc(kFields, sizeof(char *)));
    size_t at = 0;
    for (int k = 0; k < kFields && at < size; ++k) {
        const uint8_t *end = static_cast<const uint8_t *>(memchr(data + at, 0, size - at));
        size_t len = end ? size_t(end - (data + at)) : size - at;
        fields[k] = static_cast<char *>(malloc(len + 1));
        memcpy(fields[k], data + at, len);
        fields[k][len] = '\0';
        at += len + 1;
    }
    LineRecord record = {1, kFields, fields};
    int32_t *timing[] = {&DtrLeadDelay, &DtrTailDelay, &RxTimeout, &PostRxDelay, &PreTxDelay};
    const int timingField[] = {6, 7, 8, 10, 11};
    for (int32_t *t : timing)
        *t = 0x5A5A5A5A;
    LineSettings settings, untouched;
    memset(&settings, 0x5A, sizeof settings);
    untouched = settings;

    const char *tty = fields[1] ? fields[1] : "";
    bool ok = ReadLineRecord(&record, &settings);
    Require(ok == (strlen(tty) < 28));
    if (!ok) {
        Require(memcmp(&settings, &untouched, sizeof settings) == 0);
        for (int32_t *t : timing)
            Require(*t == 0x5A5A5A5A);
    } else {
        Require(strcmp(settings.tty, tty) == 0);
        for (int i = 0; i < 5; ++i)
            Require(*timing[i] == ReferenceInt32(fields[timingField[i]]));
        Require(settings.speed == ReferenceInt32(fields[2]) && settings.parity == ReferenceInt32(fields[3]));
        Require(settings.dataBits == ReferenceInt32(fields[4]) &&
                settings.stopBits == ReferenceInt32(fields[5]));
    }
    for (int k = 0; k < kFields; ++k)
        free(fields[k]);
    free(fields);
    PostRxDelay = 0;
    return 0;
}
