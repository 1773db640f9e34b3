// pidfile.cpp - lock and marker files that hold the id of the process that made them, as
// the unit's programs write them: the decimal id, no newline.
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "internal.h"

bool WriteProcessId(int fd, int pid)
{
    char text[24];
    int len = snprintf(text, sizeof text, "%d", pid);
    return WriteAll(fd, text, size_t(len));
}

int WritePidFile(const char *path)
{
    int fd = OpenStateFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        return 0;
    bool written = WriteProcessId(fd, int(getpid()));
    int closed = close(fd);
    if (!written) {
        unlink(path);  // an empty file would stand for a holder that does not exist
        return 0;
    }
    return closed == 0 ? 1 : -1;
}
