// acqspeed.cpp - the acquisition speed setup: /dev/shm/acqspeed.conf parsed into the
// caller's AcqSpeedSetup (fixed header columns, entry lines of six '|' fields with up to
// five number lists), change detection over the file's modification time, and the end of
// a setup (the speed file and its companion /etc/quor/fsmdevextra removed).
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"

// The record is part of the exported interface: one layout on i386 and x86-64.
static_assert(sizeof(AcqSpeedSetup) == 11032, "AcqSpeedSetup size");
static_assert(offsetof(AcqSpeedSetup, start) == 4 && offsetof(AcqSpeedSetup, end) == 8 &&
                  offsetof(AcqSpeedSetup, id) == 12 && offsetof(AcqSpeedSetup, code1) == 92 &&
                  offsetof(AcqSpeedSetup, code2) == 112 && offsetof(AcqSpeedSetup, listA) == 132 &&
                  offsetof(AcqSpeedSetup, listB) == 772 &&
                  offsetof(AcqSpeedSetup, listC) == 3332 &&
                  offsetof(AcqSpeedSetup, listD) == 5892 &&
                  offsetof(AcqSpeedSetup, listE) == 8452 &&
                  offsetof(AcqSpeedSetup, flags) == 11012,
              "AcqSpeedSetup layout");

namespace {

const char kSpeedPath[] = "/dev/shm/acqspeed.conf";
const char kCompanionPath[] = "/etc/quor/fsmdevextra";
constexpr int kEntries = 20;
constexpr int kLineRead = 1024;  // fgets size: up to 1023 characters per read
constexpr size_t kMinEntryLine = 17;

// Modification time (whole seconds) of the speed file as seen by the last call.
time_t ChangeMarker = 0;

// The number in columns first..last (counted from 1) of line; a line that ends earlier
// gives what stands in its columns.
int32_t ParseColumns(const char *line, size_t first, size_t last)
{
    char field[16] = {};
    size_t len = strlen(line);
    size_t from = first - 1;
    if (from < len) {
        size_t n = last - from;
        if (n > len - from)
            n = len - from;
        memcpy(field, line + from, n);
    }
    return Decimal32(field);
}

struct ListTarget {
    uint8_t *places;
    size_t capacity;
    uint8_t flag;
};

// Fields 2..6 of an entry line, in line order, and the list each one fills.
ListTarget TargetOf(AcqSpeedSetup *s, int n, int field)
{
    switch (field) {
    case 2:
        return {s->listA[n], sizeof s->listA[n], 0x01};
    case 3:
        return {s->listB[n], sizeof s->listB[n], 0x04};
    case 4:
        return {s->listD[n], sizeof s->listD[n], 0x10};
    case 5:
        return {s->listE[n], sizeof s->listE[n], 0x20};
    default:
        return {s->listC[n], sizeof s->listC[n], 0x08};
    }
}

// Stores the comma-separated numbers of one field into its list; true when the field
// gave a list. The field is used whole, whatever its length: numbers past the list's
// capacity are ignored.
bool FillList(const char *field, const ListTarget &target)
{
    if (field[0] == '\0' || field[0] == '-')
        return false;
    StrArray *numbers = Explode(field, ',');
    if (!numbers)
        return false;
    size_t count = size_t(StrArrayGetCount(numbers));
    for (size_t i = 0; i < count && i < target.capacity; ++i)
        target.places[i] = uint8_t(Decimal32(StrArrayGetAtElement(numbers, int(i))));
    ArrayFree(numbers);
    return true;
}

// Parses one entry line into entry n; true when the entry counts.
bool ParseEntry(char *line, AcqSpeedSetup *s, int n)
{
    if (StripTrailing(line, "\r\n|") < kMinEntryLine)
        return false;
    s->id[n] = ParseColumns(line, 1, 11);
    s->code1[n] = uint8_t(ParseColumns(line, 12, 14));
    s->code2[n] = uint8_t(ParseColumns(line, 15, 17));
    memset(s->listA[n], 0xFF, sizeof s->listA[n]);
    memset(s->listB[n], 0xFF, sizeof s->listB[n]);
    memset(s->listC[n], 0xFF, sizeof s->listC[n]);
    memset(s->listD[n], 0xFF, sizeof s->listD[n]);
    memset(s->listE[n], 0xFF, sizeof s->listE[n]);
    StrArray *fields = Explode(line, '|');
    if (!fields)
        return false;
    if (StrArrayGetCount(fields) != 6) {
        ArrayFree(fields);
        return false;
    }
    for (int field = 2; field <= 6; ++field) {
        ListTarget target = TargetOf(s, n, field);
        if (FillList(StrArrayGetAtElement(fields, field - 1), target))
            s->flags[n] |= target.flag;
    }
    ArrayFree(fields);
    if (s->code2[n] == 0)
        s->code2[n] = 1;
    return s->flags[n] != 0;
}

} // namespace

extern "C" int GetAcqSpeedSetup(AcqSpeedSetup *setup)
{
    // A link or a FIFO planted at the name is no speed file, as if it were missing.
    struct stat st;
    if (access(kSpeedPath, R_OK) != 0 || lstat(kSpeedPath, &st) != 0 || !S_ISREG(st.st_mode)) {
        RemoveIfExists(kCompanionPath);
        ChangeMarker = 0;
        return 0;
    }
    if (!setup)
        return 0;
    if (st.st_mtime == ChangeMarker)
        return 2;
    ChangeMarker = st.st_mtime;
    FILE *f = OpenStateStream(kSpeedPath, O_RDONLY, 0, "r");
    if (!f)
        return 0;
    memset(setup, 0, sizeof *setup);
    char line[kLineRead];
    if (!fgets(line, sizeof line, f)) {
        fclose(f);
        return 0;
    }
    setup->start = ParseColumns(line, 1, 11);
    setup->end = ParseColumns(line, 12, 22);
    if (setup->end <= setup->start) {
        fclose(f);
        return 0;
    }
    // The record holds 20 entries; acceptable lines after the twentieth are ignored.
    while (setup->count < kEntries && fgets(line, sizeof line, f)) {
        if (ParseEntry(line, setup, setup->count))
            ++setup->count;
    }
    fclose(f);
    return setup->count != 0 ? 1 : 0;
}

extern "C" int ExitAcqSpeed(void)
{
    RemoveIfExists(kSpeedPath);
    return RemoveIfExists(kCompanionPath);
}
