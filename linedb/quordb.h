// quordb.h - interface of the unit's line-database library libquordb.so.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A line record: the third 32-bit word (on i386, the natural layout) points to the field
// texts. Field k is column k of the line's row as text.
typedef struct LineRecord {
    int32_t id;
    int32_t fieldCount;
    char **fields;
} LineRecord;

int LinkDb(const char *name, int mode);
LineRecord *GetRecordData(int handle, int table, int id, int flags);
void FreeFields(LineRecord *record);

#ifdef __cplusplus
}
#endif
