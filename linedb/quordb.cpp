// quordb.cpp - the unit's line database (libquordb.so) on SQLite: LinkDb checks that a file is
// a line database (it opens read-only and has a table `lines` with the line columns),
// GetRecordData reads one line's row of that table as a record of field texts, FreeFields
// releases it. Schema: linedb/lines.sql.
//
// Every look into the database is made by a child process of its own: it opens the database,
// runs the query, writes the answer to a pipe and ends. An open and a first query run through
// about 1.2 MiB of SQLite's code and data (its start-up registers the built-in functions and
// the extensions of the system's build, the first query parses the schema); made in the
// caller's process, all of it would stay resident for the rest of a scan, more than the
// command needs for the scan itself. The child's pages go with it. Each call reads the
// database as it is at that moment. Where no child can be made, the look runs in the caller.
#include "quordb.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

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
const char kDone = 'y';  // the last byte of a child's answer when its look succeeded

// The paths of the linked databases; handle k is slot k - 1. Guarded by gLock.
char *gPaths[kMaxHandles];
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

// The bytes of a look's answer (malloc'ed).
struct Answer {
    char *bytes;
    size_t size;
};

bool Append(Answer *answer, const char *bytes, size_t n)
{
    char *grown = static_cast<char *>(realloc(answer->bytes, answer->size + n));
    if (!grown)
        return false;
    memcpy(grown + answer->size, bytes, n);
    answer->bytes = grown;
    answer->size += n;
    return true;
}

// Opens the database at path read-only and prepares the line query: a line database. With
// a record asked for, appends the texts of the row of line id to the answer, each ended by
// a NUL; false when there is no such row.
bool Look(const char *path, bool record, int id, Answer *answer)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 2000);
    // Not a database, or no table of lines with the expected columns: not a line database.
    sqlite3_stmt *query = nullptr;
    bool ok = sqlite3_prepare_v2(db, kLineQuery, -1, &query, nullptr) == SQLITE_OK;
    if (ok && record) {
        sqlite3_bind_int(query, 1, id);
        ok = sqlite3_step(query) == SQLITE_ROW;
        for (int k = 0; ok && k < kFieldCount; ++k) {
            const unsigned char *text = sqlite3_column_text(query, k);
            const char *field = text ? reinterpret_cast<const char *>(text) : "";
            ok = Append(answer, field, strlen(field) + 1);
        }
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return ok;
}

bool WriteWhole(int fd, const char *bytes, size_t n)
{
    while (n > 0) {
        ssize_t done = write(fd, bytes, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        bytes += done;
        n -= size_t(done);
    }
    return true;
}

// Reads fd to its end into the answer.
bool ReadToEnd(int fd, Answer *answer)
{
    char chunk[512];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!Append(answer, chunk, size_t(got)))
            return false;
    }
}

// Look() in a child process: the child sends its answer and kDone after it; the answer
// counts only with kDone at its end (a child that died on the way sent none).
bool LookInChild(const char *path, bool record, int id, Answer *answer)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return Look(path, record, id, answer);
    pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        return Look(path, record, id, answer);
    }
    if (child == 0) {
        close(ends[0]);
        Answer mine = {nullptr, 0};
        bool sent = Look(path, record, id, &mine) && Append(&mine, &kDone, 1) &&
                    WriteWhole(ends[1], mine.bytes, mine.size);
        _exit(sent ? 0 : 1);  // nothing of the caller's (stdio buffers, exit handlers) runs
    }
    close(ends[1]);
    bool received = ReadToEnd(ends[0], answer);
    close(ends[0]);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (!received || answer->size == 0 || answer->bytes[answer->size - 1] != kDone)
        return false;
    answer->size -= 1;
    return true;
}

// The record of line id from an answer of kFieldCount NUL-ended texts.
LineRecord *MakeRecord(int id, const Answer &answer)
{
    LineRecord *record = static_cast<LineRecord *>(calloc(1, sizeof(LineRecord)));
    char **fields = static_cast<char **>(calloc(kFieldCount + 1, sizeof(char *)));
    bool ok = record && fields;
    size_t at = 0;
    for (int k = 0; ok && k < kFieldCount; ++k) {
        const char *text = answer.bytes + at;
        const char *end = at < answer.size
                              ? static_cast<const char *>(memchr(text, '\0', answer.size - at))
                              : nullptr;
        fields[k] = end ? Dup(text) : nullptr;
        ok = fields[k] != nullptr;
        if (ok)
            at += size_t(end - text) + 1;
    }
    if (ok && at == answer.size) {
        record->id = id;
        record->fieldCount = kFieldCount;
        record->fields = fields;
        return record;
    }
    for (int k = 0; fields && k < kFieldCount; ++k)
        free(fields[k]);
    free(fields);
    free(record);
    return nullptr;
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
    Answer answer = {nullptr, 0};
    bool isLineDb = LookInChild(path, false, 0, &answer);
    free(answer.bytes);
    if (isLineDb) {
        Guard guard;
        for (int i = 0; i < kMaxHandles; ++i) {
            if (!gPaths[i]) {
                gPaths[i] = path;
                return i + 1;
            }
        }
    }
    free(path);
    return 0;
}

extern "C" LineRecord *GetRecordData(int handle, int table, int id, int flags)
{
    (void)flags;
    if (table != 0 || handle < 1 || handle > kMaxHandles)
        return nullptr;
    char *path = nullptr;
    {
        Guard guard;
        if (gPaths[handle - 1])
            path = Dup(gPaths[handle - 1]);
    }
    if (!path)
        return nullptr;
    Answer answer = {nullptr, 0};
    LineRecord *record = nullptr;
    if (LookInChild(path, true, id, &answer))
        record = MakeRecord(id, answer);
    free(answer.bytes);
    free(path);
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
