// quordb.cpp - line database on SQLite (placeholder until the layer is written).
#include "quordb.h"

extern "C" int LinkDb(const char *, int) { return 0; }
extern "C" LineRecord *GetRecordData(int, int, int, int) { return nullptr; }
extern "C" void FreeFields(LineRecord *) {}
