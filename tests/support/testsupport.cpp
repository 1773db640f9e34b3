// testsupport.cpp - process runner and file helpers for the test programs.
#include "testsupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace qmtest {

namespace {
std::string Env(const char *name, const char *fallback = "")
{
    const char *v = getenv(name);
    return v ? v : fallback;
}
} // namespace

std::string BinDir() { return Env("QM_BIN_DIR", "."); }
std::string SourceDir() { return Env("QM_SOURCE_DIR", ".."); }
std::string Emulator() { return Env("QM_EMULATOR"); }
bool Sanitized() { return !Env("QM_SANITIZE").empty(); }
bool InSandbox() { return Env("QM_SANDBOX") == "1"; }

ProcResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
               const std::string &input, int timeoutSeconds)
{
    ProcResult result;
    std::vector<std::string> args;
    if (!Emulator().empty())
        args.push_back(Emulator());
    args.insert(args.end(), argv.begin(), argv.end());

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
        for (const auto &e : env)
            putenv(strdup(e.c_str()));
        std::vector<char *> cargs;
        for (auto &a : args)
            cargs.push_back(const_cast<char *>(a.c_str()));
        cargs.push_back(nullptr);
        execvp(cargs[0], cargs.data());
        _exit(127);
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
    if (killed)
        result.status = -1;
    else if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    return result;
}

ProcResult RunQmveskar(const std::vector<std::string> &args, const std::vector<std::string> &env,
                       int timeoutSeconds)
{
    std::vector<std::string> argv{BinDir() + "/qmveskar"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, env, "", timeoutSeconds);
}

std::string ReadFile(const std::string &path, bool *exists)
{
    std::ifstream in(path, std::ios::binary);
    if (exists)
        *exists = bool(in);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> DirEntries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::set<int> OpenDescriptors()
{
    std::set<int> fds;
    if (DIR *dir = opendir("/proc/self/fd")) {
        int own = dirfd(dir);
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.' && atoi(entry->d_name) != own)
                fds.insert(atoi(entry->d_name));
        closedir(dir);
    }
    return fds;
}

bool MountSmallTmpfs(const std::string &dir, int kib)
{
    std::string options = "size=" + std::to_string(kib) + "k,mode=1777";
    return InSandbox() && mount("qmfull", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

void Unmount(const std::string &dir) { umount2(dir.c_str(), MNT_DETACH); }

std::string FillUp(const std::string &dir)
{
    std::string path = dir + "/.filler";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    static const char block[4096] = {};
    for (size_t size = sizeof block; fd >= 0 && size > 0; size /= 2)
        while (write(fd, block, size) == ssize_t(size)) {
        }
    if (fd >= 0)
        close(fd);
    return path;
}

} // namespace qmtest
