// service.cpp - service requests for the unit's system service: request lines appended to
// /etc/quor/service_request (signed with the password tool's output), bounded waits for
// the service to take them, and the advisory marker /etc/quor/service_request.lok.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "qmveskar.h"

namespace {

const char kRequestPath[] = "/etc/quor/service_request";
const char kRequestLockPath[] = "/etc/quor/service_request.lok";
const char kPasswordTool[] = "/usr/bin/qmpasswd";
constexpr size_t kPasswordMax = 20;

// Runs the password tool through the shell and keeps at most its first 20 bytes of output,
// trailing carriage returns and line feeds removed. False when the tool is not there to
// run (the request is then not filed).
bool ReadPassword(char (&out)[kPasswordMax + 1])
{
    out[0] = '\0';
    if (access(kPasswordTool, X_OK) != 0)
        return false;
    FILE *pipe = popen(kPasswordTool, "re");
    if (!pipe)
        return false;
    size_t got = 0;
    while (got < kPasswordMax) {
        size_t n = fread(out + got, 1, kPasswordMax - got, pipe);
        if (n == 0)
            break;
        got += n;
    }
    pclose(pipe);  // the tool's exit status carries nothing for the request
    out[got] = '\0';
    StripLineEnd(out);
    return true;
}

// Writes line at the end of the request file whole or not at all: on a full disk the
// part that went in is cut off again, so that no fragment (with the password token in it)
// stays in the service's command channel and the next request starts a line of its own.
// Appenders of this library take turns (flock, bounded) so that the cut never takes
// another one's line; the service, which only reads and removes the file, is not held up.
bool AppendWhole(int fd, const char *line, size_t size)
{
    bool turn = false;
    for (int tries = 0; tries < 1000 && !turn; ++tries) {
        turn = flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (!turn && errno != EWOULDBLOCK && errno != EINTR)
            break;
        if (!turn)
            usleep(1000);
    }
    struct stat before;
    bool sized = fstat(fd, &before) == 0;
    bool written = WriteAll(fd, line, size);
    if (!written && sized && ftruncate(fd, before.st_size) != 0) {
    }
    if (turn)
        flock(fd, LOCK_UN);
    return written;
}

// Appends one request line on a descriptor opened for appending.
bool AppendRequest(char code, const char *password, const char *text, int number)
{
    if (!text)
        text = "";
    int len = snprintf(nullptr, 0, "%c%03d%s-%s\n", code, number, password, text);
    if (len < 0)
        return false;
    char *line = static_cast<char *>(malloc(size_t(len) + 1));
    if (!line)
        return false;
    snprintf(line, size_t(len) + 1, "%c%03d%s-%s\n", code, number, password, text);
    bool written = false;
    // Never through a link or into a FIFO planted at the name.
    int fd = OpenStateFile(kRequestPath, O_WRONLY | O_APPEND | O_CREAT);
    if (fd >= 0) {
        written = AppendWhole(fd, line, size_t(len));
        if (close(fd) != 0)
            written = false;
    }
    free(line);
    return written;
}

} // namespace

extern "C" int MakeOsServiceRequest(char code, const char *text, int8_t waitSeconds,
                                    int8_t number)
{
    char password[kPasswordMax + 1];
    bool written = ReadPassword(password) && AppendRequest(code, password, text, number);
    if (waitSeconds == 0)
        return written ? 1 : 0;
    for (int tests = 1;; ++tests) {
        if (!PathExists(kRequestPath))
            return written ? 1 : 0;
        if (tests > waitSeconds)
            return written ? 3 : 2;
        SleepFully(1, 0);
    }
}

extern "C" int OsServicePending(uint8_t waitSeconds)
{
    for (unsigned slept = 0;; ++slept) {
        if (!PathExists(kRequestPath))
            return 0;
        if (slept >= waitSeconds)
            return 1;
        SleepFully(1, 0);
    }
}

extern "C" int MakeServiceRequestLock(int set)
{
    if (!set)
        return RemoveIfExists(kRequestLockPath);
    // 0 once the marker holds our id; -1 when it could not be made, written or closed: a
    // marker that is not there (or empty) is not set, whatever the caller is told.
    return WritePidFile(kRequestLockPath) == 1 ? 0 : -1;
}
