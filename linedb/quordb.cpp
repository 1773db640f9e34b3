// quordb.cpp - the unit's line database (libquordb.so) on SQLite: LinkDb opens a database
// read-only, GetRecordData reads one line's row of table `lines` as a record of field texts,
// FreeFields releases it. Schema: linedb/lines.sql.
#include "quordb.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sqlite3.h>

// The scan driver reads the field array as the record's third 32-bit word.
static_assert(offsetof(LineRecord, fields) == 8, "fields must start at the third 32-bit word");

namespace
{

const char kDbRoot[] = "/etc/quor/db/";
const int kFieldCount = 12;
const char kLineQuery[] = "SELECT id, tty, speed, parity, data_bits, stop_bits, dtr_lead_ms, "
                          "dtr_tail_ms, rx_timeout_ms, reserved, post_rx_ms, pre_tx_ms "
                          "FROM lines WHERE id = ?1";
const int kMaxHandles = 16;

// Open databases; handle k is slot k - 1. Guarded by gLock.
struct OpenDb {
    sqlite3 *db;
    sqlite3_stmt *lineQuery;
};
OpenDb gDbs[kMaxHandles];
pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;

struct Guard {
    Guard() { pthread_mutex_lock(&gLock); }
    ~Guard() { pthread_mutex_unlock(&gLock); }
};

char *Dup(const char *text)
{
    size_t n = strlen(text);
    char *copy = static_cast<char *>(malloc(n + 1));
    if (copy)
        memcpy(copy, text, n + 1);
    return copy;
}

// The database's path: an absolute name as it is, any other below kDbRoot (malloc'ed).
char *DbPath(const char *name)
{
    size_t root = name[0] == '/' ? 0 : sizeof kDbRoot - 1;
    size_t n = strlen(name);
    char *path = static_cast<char *>(malloc(root + n + 1));
    if (path) {
        memcpy(path, kDbRoot, root);
        memcpy(path + root, name, n + 1);
    }
    return path;
}

} // namespace

extern "C" int LinkDb(const char *name, int mode)
{
    (void)mode; // the unit opens its line database for reading only
    if (!name || !*name)
        return 0;
    char *path = DbPath(name);
    if (!path)
        return 0;
    sqlite3 *db = nullptr;
    int opened = sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    free(path);
    if (opened != SQLITE_OK) {
        sqlite3_close(db);
        return 0;
    }
    sqlite3_busy_timeout(db, 2000);
    // Not a database, or no table of lines with the expected columns: not a line database.
    sqlite3_stmt *query = nullptr;
    if (sqlite3_prepare_v2(db, kLineQuery, -1, &query, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return 0;
    }
    Guard guard;
    for (int i = 0; i < kMaxHandles; ++i) {
        if (!gDbs[i].db) {
            gDbs[i] = {db, query};
            return i + 1;
        }
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return 0;
}

extern "C" LineRecord *GetRecordData(int handle, int table, int id, int flags)
{
    (void)flags;
    if (table != 0 || handle < 1 || handle > kMaxHandles)
        return nullptr;
    Guard guard;
    OpenDb &d = gDbs[handle - 1];
    if (!d.db)
        return nullptr;
    sqlite3_stmt *q = d.lineQuery;
    sqlite3_reset(q);
    sqlite3_bind_int(q, 1, id);
    LineRecord *record = nullptr;
    if (sqlite3_step(q) == SQLITE_ROW) {
        record = static_cast<LineRecord *>(calloc(1, sizeof(LineRecord)));
        char **fields = static_cast<char **>(calloc(kFieldCount + 1, sizeof(char *)));
        bool ok = record && fields;
        for (int k = 0; ok && k < kFieldCount; ++k) {
            const unsigned char *text = sqlite3_column_text(q, k);
            fields[k] = Dup(text ? reinterpret_cast<const char *>(text) : "");
            ok = fields[k] != nullptr;
        }
        if (ok) {
            record->id = id;
            record->fieldCount = kFieldCount;
            record->fields = fields;
        } else {
            for (int k = 0; fields && k < kFieldCount; ++k)
                free(fields[k]);
            free(fields);
            free(record);
            record = nullptr;
        }
    }
    sqlite3_reset(q);
    return record;
}

extern "C" void FreeFields(LineRecord *record)
{
    if (!record)
        return;
    if (record->fields)
        for (int k = 0; k < record->fieldCount; ++k)
            free(record->fields[k]);
    free(record->fields);
    free(record);
}
