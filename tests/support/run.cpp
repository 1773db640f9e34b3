// run.cpp - running programs from a test (see run.h).
#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testenv.h"
#include "testsupport.h"

namespace qmtest {

namespace {

// In a forked child: the extra environment entries set, then argv executed (the emulator
// prepended when emulated and the build has one).
[[noreturn]] void Exec(const std::vector<std::string> &argv, bool emulated,
                       const std::vector<std::string> &env)
{
    std::vector<std::string> args;
    if (emulated && !Emulator().empty())
        args.push_back(Emulator());
    args.insert(args.end(), argv.begin(), argv.end());
    for (const auto &e : env)
        putenv(strdup(e.c_str()));
    std::vector<char *> cargs;
    for (auto &a : args)
        cargs.push_back(const_cast<char *>(a.c_str()));
    cargs.push_back(nullptr);
    execvp(cargs[0], cargs.data());
    _exit(127);
}

} // namespace

int ExitStatus(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    return WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : -1;
}

int WaitExit(pid_t pid, int timeoutSeconds)
{
    double end = NowSeconds() + timeoutSeconds;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && NowSeconds() < end)
        usleep(10000);
    if (done != 0)
        return ExitStatus(status);
    KillChild(pid);
    return -1;
}

void KillChild(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

ProcResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
               const std::string &input, int timeoutSeconds)
{
    ProcResult result;
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe(inPipe) || pipe(outPipe) || pipe(errPipe))
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        Exec(argv, true, env);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (!input.empty() && write(inPipe[1], input.data(), input.size()) < 0) {
    }
    close(inPipe[1]);

    double deadline = NowSeconds() + timeoutSeconds;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        int remaining = int((deadline - NowSeconds()) * 1000);
        if (remaining <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, remaining) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buf, size_t(n));
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = killed ? -1 : ExitStatus(status);
    return result;
}

ProcResult RunQmveskar(const std::vector<std::string> &args, const std::vector<std::string> &env,
                       int timeoutSeconds)
{
    std::vector<std::string> argv{BinDir() + "/qmveskar"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, env, "", timeoutSeconds);
}

pid_t Spawn(const std::vector<std::string> &argv, bool emulated, const std::string &outFile,
            const std::string &errFile, const std::vector<std::string> &env)
{
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        Exec(argv, emulated, env);
    }
    return pid;
}

} // namespace qmtest
