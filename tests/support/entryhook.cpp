// entryhook.cpp - the hook on directory entry calls and named-file writes (see entryhook.h).
#include "entryhook.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/types.h>
#include <unistd.h>

namespace qmtest {

const char *HookedName = nullptr;
int (*EntryHook)(const char *call) = nullptr;

} // namespace qmtest

namespace {

// False (errno set) when the hook fails the call on name.
bool PassesHook(const char *call, const char *name)
{
    using qmtest::EntryHook, qmtest::HookedName;
    if (!EntryHook || !HookedName || strcmp(name, HookedName) != 0)
        return true;
    if (int err = EntryHook(call)) {
        errno = err;
        return false;
    }
    return true;
}

} // namespace

// Weak: a program without the --wrap options neither resolves nor calls them.
extern "C" int __real_unlink(const char *) __attribute__((weak));
extern "C" int __real_link(const char *, const char *) __attribute__((weak));
extern "C" int __real_linkat(int, const char *, int, const char *, int) __attribute__((weak));
extern "C" ssize_t __real_pwrite(int, const void *, size_t, off_t) __attribute__((weak));

extern "C" int __wrap_unlink(const char *path)
{
    return PassesHook("unlink", path) ? __real_unlink(path) : -1;
}

extern "C" int __wrap_link(const char *from, const char *to)
{
    return PassesHook("link", to) ? __real_link(from, to) : -1;
}

extern "C" int __wrap_linkat(int fromDir, const char *from, int toDir, const char *to, int flags)
{
    return PassesHook("linkat", to) ? __real_linkat(fromDir, from, toDir, to, flags) : -1;
}

// Runs the hook before a write to the file of that name (read from /proc/self/fd).
extern "C" ssize_t __wrap_pwrite(int fd, const void *data, size_t size, off_t offset)
{
    char link[32], name[256] = {};
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (qmtest::EntryHook && readlink(link, name, sizeof name - 1) > 0 &&
        !PassesHook("pwrite", name))
        return -1;
    return __real_pwrite(fd, data, size, offset);
}
