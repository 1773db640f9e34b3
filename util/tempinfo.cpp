// tempinfo.cpp - summary of one temperature history: the 85-byte trailer at the end of
// /var/log/temp_isto/<id>.temphid, the leading number of the data record it points at in
// <id>.tempisto, and the number of records in that data file.
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "internal.h"
#include "qmveskar.h"

// The record is part of the exported interface: one layout on i386 and x86-64.
static_assert(sizeof(TempFileInfo) == 176, "TempFileInfo size");
static_assert(offsetof(TempFileInfo, indexedValue) == 4 && offsetof(TempFileInfo, second) == 8 &&
                  offsetof(TempFileInfo, recordLength) == 12 &&
                  offsetof(TempFileInfo, fifth) == 16 &&
                  offsetof(TempFileInfo, recordCount) == 20 && offsetof(TempFileInfo, text) == 24,
              "TempFileInfo layout");

namespace {

constexpr long kTrailerSize = 85;
constexpr size_t kTokenBuffer = 512;
constexpr size_t kValueDigits = 11;

// Reads the next white-space separated token into out (at most capacity - 1 characters;
// the rest of a longer token stays unread). False at the end of the file: out untouched.
bool ReadToken(FILE *f, char *out, size_t capacity)
{
    int c;
    do
        c = fgetc(f);
    while (c != EOF && isspace(c));
    if (c == EOF)
        return false;
    size_t n = 0;
    while (c != EOF && !isspace(c) && n + 1 < capacity) {
        out[n++] = char(c);
        c = fgetc(f);
    }
    if (c != EOF && isspace(c))
        ungetc(c, f);
    out[n] = '\0';
    return true;
}

// A number token: a missing one leaves the work buffer as it was, so the value of the last
// number token read comes again (0 when none was).
int32_t ReadNumber(FILE *f, char *work)
{
    ReadToken(f, work, kTokenBuffer);
    return Decimal32(work);
}

struct Files {
    FILE *data = nullptr;
    FILE *trailer = nullptr;
    char *work = nullptr;
    ~Files()
    {
        free(work);
        if (data)
            fclose(data);
        if (trailer)
            fclose(trailer);
    }
};

} // namespace

extern "C" int GetTempFileInfo(int32_t id, TempFileInfo *info)
{
    if (!info)
        return 0;
    memset(info, 0, sizeof *info);
    char dataPath[64], trailerPath[64];
    snprintf(dataPath, sizeof dataPath, "/var/log/temp_isto/%011ld.tempisto", long(id));
    snprintf(trailerPath, sizeof trailerPath, "/var/log/temp_isto/%011ld.temphid", long(id));

    struct stat dataSt, trailerSt;
    if (stat(dataPath, &dataSt) != 0)
        return 0;
    if (stat(trailerPath, &trailerSt) != 0 || trailerSt.st_size < kTrailerSize)
        return 0;

    Files files;
    files.data = fopen(dataPath, "re");
    files.trailer = fopen(trailerPath, "re");
    if (!files.data || !files.trailer)
        return 0;
    files.work = static_cast<char *>(calloc(kTokenBuffer, 1));
    if (!files.work)
        return 0;

    if (fseek(files.trailer, -kTrailerSize, SEEK_END) != 0)
        return 0;
    info->recordIndex = ReadNumber(files.trailer, files.work);
    info->second = ReadNumber(files.trailer, files.work);
    ReadToken(files.trailer, info->text, sizeof info->text);
    info->recordLength = ReadNumber(files.trailer, files.work);
    info->fifth = ReadNumber(files.trailer, files.work);

    // Signed 32-bit product, wrapping as the unit's other readers compute it.
    int32_t offset = int32_t(uint32_t(info->recordIndex) * uint32_t(info->recordLength));
    if (info->recordIndex == -1 || offset <= 0)
        offset = 0;
    if (fseek(files.data, long(offset), SEEK_SET) == 0)
        ReadToken(files.data, files.work, kTokenBuffer);
    files.work[kValueDigits] = '\0';
    info->indexedValue = Decimal32(files.work);

    // A record length of 0 leaves the count at 0: the trailer values are still reported.
    uint32_t length = uint32_t(info->recordLength);
    if (length != 0)
        info->recordCount = uint32_t(uint64_t(dataSt.st_size) / length);
    return 1;
}
