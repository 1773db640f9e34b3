// service.cpp - service requests for the unit's system service: request lines appended to
// /etc/quor/service_request (signed with the password tool's output), bounded waits for
// the service to take them, and the advisory marker /etc/quor/service_request.lok.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

// Appends one request line with a single write on a descriptor opened for appending, so
// that lines of concurrent writers do not interleave.
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
        written = WriteAll(fd, line, size_t(len));
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
    // 0 when the marker was made and also when it could not be opened; -1 a failed close.
    return WritePidFile(kRequestLockPath) < 0 ? -1 : 0;
}
