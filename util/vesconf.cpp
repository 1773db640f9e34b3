// vesconf.cpp - the configuration store /tmp/.vesconf_file: key="value" lines, read by key,
// rewritten whole through a private temporary file renamed over the store.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"

namespace {

constexpr char kStorePath[] = "/tmp/.vesconf_file";
// The temporary file lives beside the store (so the rename stays in one file system) under
// a unique name created exclusively: a name planted in /tmp (a link, a file) is never
// opened, followed or written.
constexpr char kTempTemplate[] = "/tmp/.vesconf_file_tmp.XXXXXX";
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

    FileCloser store{OpenStore()};
    if (!store.file && errno != ENOENT)
        return 0;  // a store that exists but cannot be read must not be wiped

    char tempPath[sizeof kTempTemplate];
    memcpy(tempPath, kTempTemplate, sizeof kTempTemplate);
    int fd = mkostemp(tempPath, O_CLOEXEC);  // O_CREAT | O_EXCL: never follows a link
    if (fd < 0)
        return 0;
    FILE *temp = fdopen(fd, "w");
    if (!temp) {
        close(fd);
        unlink(tempPath);
        return 0;
    }
    bool ok = fchmod(fd, kStoreMode) == 0;

    const size_t keyLen = strlen(key);
    bool atLineStart = true;
    if (store.file) {
        char piece[kWriteField];
        size_t len;
        while (ok && (len = ReadPiece(store.file, piece, sizeof piece)) > 0) {
            if (strncmp(piece, key, keyLen) == 0)
                continue;
            // Copied whole, zero bytes included: a piece cut at its first zero byte would lose
            // its line feed and join the next line (another key's entry) to it.
            ok = fwrite(piece, 1, len, temp) == len;
            atLineStart = piece[len - 1] == '\n';
        }
        if (ferror(store.file))
            ok = false;
    }
    // A store whose last line has no line feed still gets the new entry on its own line.
    if (ok && !atLineStart)
        ok = PutText(temp, "\n");
    if (ok)
        ok = PutText(temp, newLine);
    if (fflush(temp) != 0)
        ok = false;
    if (fclose(temp) != 0)
        ok = false;
    if (ok && rename(tempPath, kStorePath) != 0)
        ok = false;
    if (!ok) {
        unlink(tempPath);
        return 0;
    }
    return 1;
}
