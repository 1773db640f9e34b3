// serial_testkit.cpp - forked children, capabilities, scheduling checks and the directory
// entry and file write hook for the serial-link tests.
#include "serial_testkit.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/capability.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace serialtest {

ChildResult InChild(const std::function<int()> &body, int timeoutSeconds)
{
    ChildResult result;
    int errPipe[2];
    if (pipe(errPipe) != 0)
        return result;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(errPipe[0]);
        dup2(errPipe[1], 2);
        close(errPipe[1]);
        int status = body();
        fflush(nullptr);
        _exit(status);
    }
    close(errPipe[1]);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pollfd p = {errPipe[0], POLLIN, 0};
        int ready = poll(&p, 1, 200);
        if (ready > 0) {
            char buf[1024];
            ssize_t n = read(errPipe[0], buf, sizeof buf);
            if (n <= 0)
                break;
            result.err.append(buf, size_t(n));
        } else if (ready < 0 && errno != EINTR) {
            break;
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > timeoutSeconds) {
            kill(pid, SIGKILL);
            break;
        }
    }
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    return result;
}

bool DropCapabilities(std::initializer_list<int> caps)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : caps) {
        uint32_t bit = 1u << (cap % 32);
        data[cap / 32].effective &= ~bit;
        data[cap / 32].permitted &= ~bit;
        data[cap / 32].inheritable &= ~bit;
    }
    return syscall(SYS_capset, &header, data) == 0;
}

namespace {
void Ignore(int) {}
} // namespace

void CatchSigio()
{
    struct sigaction action = {};
    action.sa_handler = Ignore;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGIO, &action, nullptr);
}

int CurrentPolicy(int *priority)
{
    int policy = -1;
    sched_param param = {};
    pthread_getschedparam(pthread_self(), &policy, &param);
    if (priority)
        *priority = param.sched_priority;
    return policy;
}

const char *HookedName = nullptr;
int (*EntryHook)(const char *call) = nullptr;

} // namespace serialtest

namespace {

// False (errno set) when the hook fails the call on name.
bool PassesHook(const char *call, const char *name)
{
    using serialtest::EntryHook, serialtest::HookedName;
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

extern "C" ssize_t __real_pwrite(int, const void *, size_t, off_t) __attribute__((weak));

// Runs the hook before a write to the file of that name (read from /proc/self/fd).
extern "C" ssize_t __wrap_pwrite(int fd, const void *data, size_t size, off_t offset)
{
    char link[32], name[256] = {};
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (serialtest::EntryHook && readlink(link, name, sizeof name - 1) > 0 &&
        !PassesHook("pwrite", name))
        return -1;
    return __real_pwrite(fd, data, size, offset);
}
