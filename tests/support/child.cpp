// child.cpp - a test body run in a forked child (see child.h).
#include "child.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run.h"
#include "testsupport.h"

namespace qmtest {

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
    const double deadline = NowSeconds() + timeoutSeconds;
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
        if (NowSeconds() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
    }
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = ExitStatus(status);
    return result;
}

} // namespace qmtest
