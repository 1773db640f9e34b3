// paths.cpp - files by name: whether one exists, and removing one only when it is there.
#include <unistd.h>

#include "internal.h"

bool PathExists(const char *path) { return access(path, F_OK) == 0; }

int RemoveIfExists(const char *path)
{
    if (!PathExists(path))
        return -1;
    return unlink(path);
}
