// vesconf.cpp - the configuration store /tmp/.vesconf_file: key="value" lines, read by key,
// rewritten whole through a private temporary file renamed over the store.
//
// Writers take turns on the guard of /tmp (TakeDirGuard: an flock on the folder, waited for
// at most about 1.5 s), held from the read of the store to the rename, so that no writer
// renames a copy made before another writer's rename: no entry is lost. Readers take no
// turn; the rename gives them the whole old or the whole new store. The new content is
// written to an unnamed file, which is given its temporary name only for the rename; the
// name holds the writer's process id, and a writer removes the temporary files of writers
// that died, so a killed writer leaves nothing that outlives the next write.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"

namespace {

constexpr char kStoreDir[] = "/tmp";
constexpr char kStorePath[] = "/tmp/.vesconf_file";
// The temporary file lives beside the store (so the rename stays in one file system) under
// the name .vesconf_file_tmp.<pid>.<8 hex digits>, new to the folder when it is made or
// linked: a name planted in /tmp (a link, a file) is never opened, followed or written.
constexpr char kTempPrefix[] = ".vesconf_file_tmp.";
constexpr int kNameAttempts = 8;
constexpr mode_t kStoreMode = 0664;

constexpr int kLineField = 200;   // a read piece holds at most 198 characters
constexpr int kKeyField = 50;     // a key has at most 49 characters
constexpr int kValueField = 150;  // a raw value has at most 149 characters
constexpr int kWriteField = 512;  // a written line has at most 511 characters

// Opens the store for reading. Only a regular file counts as the store: a FIFO or a device
// planted at its name must not block or feed a reader, and a symbolic link is no store for
// the readers and the writer alike (the writer replaces the link, never its target).
// Returns null with errno set; a store that is not a regular file gives ENOENT (as missing).
FILE *OpenStore()
{
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
    int fd = open(kStorePath, flags);
    if (fd < 0) {
        if (errno == ELOOP)
            errno = ENOENT;
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = ENOENT;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *file = fdopen(fd, "r");
    if (!file)
        close(fd);
    return file;
}

struct Entry {
    char key[kKeyField];
    char value[kValueField];  // the raw value without any double quote
};

// Reads the next entry line of the store: pieces of at most 198 characters, trailing line
// feeds and carriage returns removed, empty lines and lines without "=" skipped. A line
// whose key is longer than 49 characters is skipped (it cannot be the key of any entry the
// library reads); a raw value longer than 149 characters is cut to its first 149.
bool NextEntry(FILE *file, Entry *entry)
{
    char line[kLineField];
    for (;;) {
        memset(line, 0, sizeof line);
        if (!fgets(line, kLineField - 1, file))
            return false;
        size_t len = StripLineEnd(line);
        if (len == 0)
            continue;
        char *eq = strchr(line, '=');
        if (!eq)
            continue;
        const size_t keyLen = static_cast<size_t>(eq - line);
        if (keyLen >= kKeyField)
            continue;
        memset(entry, 0, sizeof *entry);
        memcpy(entry->key, line, keyLen);
        char raw[kValueField] = {};
        strncpy(raw, eq + 1, kValueField - 1);
        size_t out = 0;
        for (const char *p = raw; *p; ++p)
            if (*p != '"')
                entry->value[out++] = *p;
        return true;
    }
}

// Writes the whole text; false on any error.
bool PutText(FILE *file, const char *text) { return fputs(text, file) >= 0; }

// Reads the next piece as fgets(piece, size, file) does (up to size - 1 characters, up to
// and with a line feed) and gives its real length: a zero byte inside a line is kept with
// the rest of the piece. 0 at the end of the file.
size_t ReadPiece(FILE *file, char *piece, size_t size)
{
    size_t len = 0;
    int c;
    while (len + 1 < size && (c = getc(file)) != EOF) {
        piece[len++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    piece[len] = '\0';
    return len;
}

// The new content of the store on its way: an unnamed file (named false) until it is
// given its temporary name at path.
struct NewStore {
    int fd = -1;
    bool named = false;
    char path[64] = {};
};

// A fresh temporary name for this process; one that another file has is tried again.
void TempName(char *path, size_t size)
{
    static std::atomic<unsigned> Count{0};
    unsigned mix = unsigned(MonotonicNs()) ^ (Count.fetch_add(1) * 2654435761u);
    snprintf(path, size, "%s/%s%d.%08x", kStoreDir, kTempPrefix, int(getpid()), mix);
}

// Opens the file of the new content: unnamed where the file system allows (and /proc lets
// it be linked later), else created exclusively under a temporary name.
NewStore CreateNewStore()
{
    NewStore temp;
    temp.fd = OpenUnnamedFile(kStoreDir, O_WRONLY, kStoreMode);
    if (temp.fd >= 0)
        return temp;
    for (int attempt = 0; attempt < kNameAttempts && temp.fd < 0; ++attempt) {
        TempName(temp.path, sizeof temp.path);
        temp.fd = open(temp.path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kStoreMode);
        if (temp.fd < 0 && errno != EEXIST)
            break;
    }
    temp.named = temp.fd >= 0;
    return temp;
}

// Gives the unnamed file its temporary name, for the rename (linkat cannot replace the
// store). True when the file has a name.
bool NameNewStore(NewStore &temp)
{
    for (int attempt = 0; attempt < kNameAttempts && !temp.named; ++attempt) {
        TempName(temp.path, sizeof temp.path);
        if (NameUnnamedFile(temp.fd, temp.path) == 0)
            temp.named = true;
        else if (errno != EEXIST)
            break;
    }
    return temp.named;
}

// Removes the temporary files of writers that are gone: killed between the link and the
// rename, or while writing where the file was named from the start. A name whose process
// lives (or cannot be told) is left alone.
void SweepDeadWriters()
{
    DIR *dir = opendir(kStoreDir);
    if (!dir)
        return;
    const size_t prefix = sizeof kTempPrefix - 1;
    while (dirent *entry = readdir(dir)) {
        const char *id = entry->d_name + prefix;
        if (strncmp(entry->d_name, kTempPrefix, prefix) != 0 || !isdigit((unsigned char)*id))
            continue;
        char *end = nullptr;
        long pid = strtol(id, &end, 10);
        if (*end != '.' || pid < 1 || pid > INT_MAX)
            continue;
        if (kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

// Copies every piece of the store that does not begin with the key's characters to out.
// True unless reading or writing failed.
bool CopyOthers(FILE *store, const char *key, FILE *out)
{
    const size_t keyLen = strlen(key);
    bool atLineStart = true;
    char piece[kWriteField];
    size_t len;
    while ((len = ReadPiece(store, piece, sizeof piece)) > 0) {
        if (strncmp(piece, key, keyLen) == 0)
            continue;
        // Copied whole, zero bytes included: a piece cut at its first zero byte would lose
        // its line feed and join the next line (another key's entry) to it.
        if (fwrite(piece, 1, len, out) != len)
            return false;
        atLineStart = piece[len - 1] == '\n';
    }
    // A store whose last line has no line feed still gets the new entry on its own line.
    return !ferror(store) && (atLineStart || PutText(out, "\n"));
}

// Writes the store without the key's lines and with newLine at the end to a new file, and
// renames that over the store. True when the store was replaced; on false the store is as
// it was and the new file is gone.
bool Rewrite(const char *key, const char *newLine)
{
    FileCloser store{OpenStore()};
    if (!store.file && errno != ENOENT)
        return false;  // a store that exists but cannot be read must not be wiped
    NewStore temp = CreateNewStore();
    if (temp.fd < 0)
        return false;
    FILE *out = fdopen(temp.fd, "w");
    bool ok = out && fchmod(temp.fd, kStoreMode) == 0;
    if (ok && store.file)
        ok = CopyOthers(store.file, key, out);
    ok = ok && PutText(out, newLine) && fflush(out) == 0 && (temp.named || NameNewStore(temp));
    if (out ? fclose(out) != 0 : close(temp.fd) != 0)
        ok = false;
    if (ok && rename(temp.path, kStorePath) != 0)
        ok = false;
    if (!ok && temp.named)
        unlink(temp.path);
    return ok;
}

} // namespace

// The value of the first line of the key, copied into out (at least 150 bytes). Returns 0
// when the store cannot be opened (out untouched), else the length of the text in out,
// which keeps what it held when the key is missing.
extern "C" int GetVesconfEntry(const char *key, char *out)
{
    if (!key || !out)
        return 0;
    FileCloser store{OpenStore()};
    if (!store.file)
        return 0;
    Entry entry;
    while (NextEntry(store.file, &entry)) {
        if (strcmp(entry.key, key) == 0) {
            strcpy(out, entry.value);
            break;
        }
    }
    return static_cast<int>(strlen(out));
}

// 1 when the first "FRMDATE" entry's value is exactly "us".
extern "C" int GetTimeDateFormat(void)
{
    FileCloser store{OpenStore()};
    if (!store.file)
        return 0;
    Entry entry;
    while (NextEntry(store.file, &entry))
        if (strcmp(entry.key, "FRMDATE") == 0)
            return strcmp(entry.value, "us") == 0 ? 1 : 0;
    return 0;
}

// Rewrites the store with every piece that does not begin with the key's characters, then
// the new line key="value" at the end. The store is replaced only when the new content was
// written in full: on any failure the temporary file is removed, the store stays as it was
// and the result is 0. The new store always has permission bits 0664.
extern "C" int SetVesconfEntry(const char *key, const char *value)
{
    if (!key || !value)
        return 0;
    char newLine[kWriteField];
    snprintf(newLine, sizeof newLine, "%s=\"%s\"\n", key, value);
    int guard = TakeDirGuard(kStoreDir);  // -1: not free in time, the writer goes on alone
    SweepDeadWriters();
    bool replaced = Rewrite(key, newLine);
    DropDirGuard(guard);
    return replaced ? 1 : 0;
}
