// dtr_bench.cpp - DTR timing of the transmitter on a bench line (a pty pair with the UART
// emulation preloaded): for 9600 and 115200 bit/s, idle and with both cores loaded by CPU
// hogs, the gap between the moment the last stop bit left the wire and DTR down
// (DtrTailDelay 0), and the accuracy of a 2 ms DtrLeadDelay and a 1 ms DtrTailDelay,
// measured from the emulation's trace, and for a 20 ms DtrLeadDelay its accuracy and the
// CPU time that the delay costs. Prints figures; not a test.
//
//   dtr_bench [frames per run, default 1000]
//
// The program starts itself again with the emulation preloaded and its trace in an
// anonymous memory file, so it needs no other set-up (real-time priority needs root).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "seriallink.h"
#include "uartemu_trace.h"

namespace {

const char kInner[] = "DTR_BENCH_INNER";

std::string EnvOr(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

// Outer run: start this program again under the emulation, with a trace file to read.
int Relaunch(char **argv)
{
    int trace = memfd_create("dtr_bench.trace", 0);
    if (trace < 0) {
        perror("dtr_bench: memfd_create");
        return 1;
    }
    std::string lib = EnvOr("QM_UARTEMU", QM_BENCH_UARTEMU);
    std::string tracePath = "UARTEMU_TRACE=/proc/self/fd/" + std::to_string(trace);
    std::string self = EnvOr("QM_BENCH_SELF", "/proc/self/exe");
    char resolved[4096];
    ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
    if (n > 0) {
        resolved[n] = 0;
        self = resolved;
    }
    std::vector<std::string> args;
    std::string emulator = QM_BENCH_EMULATOR;
    if (!emulator.empty()) {
        args = {emulator, "-E", "LD_PRELOAD=" + lib, "-E", tracePath, "-E",
                std::string(kInner) + "=1", argv[0]};
    } else {
        setenv("LD_PRELOAD", lib.c_str(), 1);
        setenv("UARTEMU_TRACE", tracePath.c_str() + strlen("UARTEMU_TRACE="), 1);
        setenv(kInner, "1", 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
        args = {self};
    }
    for (int i = 1; argv[i]; ++i)
        args.push_back(argv[i]);
    std::vector<char *> c;
    for (auto &a : args)
        c.push_back(const_cast<char *>(a.c_str()));
    c.push_back(nullptr);
    execvp(c[0], c.data());
    perror("dtr_bench: exec");
    return 1;
}

int TraceFd()
{
    std::string path = EnvOr("UARTEMU_TRACE", "");
    const char prefix[] = "/proc/self/fd/";
    if (path.rfind(prefix, 0) != 0)
        return -1;
    return atoi(path.c_str() + strlen(prefix));
}

std::string ReadAll(int fd)
{
    std::string text;
    char buf[65536];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n <= 0)
            break;
        text.append(buf, size_t(n));
        at += n;
    }
    return text;
}

// The far end of the line: whatever reaches it is read and dropped, until the end of the
// program. It looks every 2 ms instead of waiting in poll, so that the emulation's delivery
// of a frame's last byte wakes no reader inside the measured gap.
std::atomic<bool> Stopping {false};

void *DrainLine(void *arg)
{
    int master = *static_cast<int *>(arg);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    char buf[4096];
    while (!Stopping) {
        while (read(master, buf, sizeof buf) > 0) {
        }
        usleep(2000);
    }
    return nullptr;
}

struct Stats {
    double median = 0, p99 = 0, max = 0;
    size_t count = 0;
};

Stats Summarise(std::vector<double> v)
{
    Stats s;
    s.count = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, (v.size() * 99 + 99) / 100 - 1)];
    s.max = v.back();
    return s;
}

struct RunResult {
    std::vector<double> gap, lead, tail;  // microseconds
    std::vector<double> pollGap;          // gap of the frames whose polls began in time
    std::vector<double> detect, drop;     // end to the poll that saw TEMT; that poll to DTR down
    int late = 0;                         // first status poll after the last stop bit
    int failed = 0;
};

// One run of frames on the open line; the trace gives, per frame, DTR up, the write
// (with its computed end on the wire) and DTR down.
RunResult Run(int traceFd, int frames, int32_t lead, int32_t tail)
{
    RunResult r;
    if (ftruncate(traceFd, 0) != 0)
        perror("dtr_bench: ftruncate");
    DtrLeadDelay = lead;
    DtrTailDelay = tail;
    PreTxDelay = 0;
    const uint8_t payload[5] = {0x03, 0x00, 0x00, 0x00, 0x01};
    RtuFrame *frame = MakeRtuFrame(1, payload, 5);
    for (int i = 0; i < frames; ++i) {
        if (SendRtuFrame(frame, LineFd) != 1)
            ++r.failed;
        usleep(500);
    }
    FreeRtuFrame(frame);

    auto trace = uartemu::Parse(ReadAll(traceFd));
    int64_t up = -1, write = -1, end = -1, poll = -1, lastPoll = -1;
    for (const auto &rec : trace) {
        if (rec.pid != getpid() || rec.fd != LineFd)
            continue;
        if (rec.event == "dtr" && rec.Int("v") == 1) {
            up = rec.t;
            write = end = -1;
        } else if (rec.event == "write" && up >= 0) {
            write = rec.t;
            end = rec.Int("end");
            poll = -1;
        } else if (rec.event == "lsr" && end >= 0) {
            if (poll < 0)
                poll = rec.t;
            lastPoll = rec.Int("last");
        } else if (rec.event == "dtr" && rec.Int("v") == 0 && up >= 0 && end >= 0) {
            r.gap.push_back(double(rec.t - end));
            r.lead.push_back(double(write - up) - lead * 1000.0);
            r.tail.push_back(double(rec.t - end) - tail * 1000.0);
            if (poll > end)
                ++r.late;
            else
                r.pollGap.push_back(double(rec.t - end));
            if (lastPoll >= end) {
                r.detect.push_back(double(lastPoll - end));
                r.drop.push_back(double(rec.t - lastPoll));
            }
            up = -1;
        }
    }
    return r;
}

std::vector<pid_t> StartHogs(int count)
{
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the bench
            volatile unsigned long spin = 0;
            for (;;)
                spin = spin + 1;
        }
        if (pid > 0)
            pids.push_back(pid);
    }
    return pids;
}

void StopHogs(const std::vector<pid_t> &pids)
{
    for (pid_t pid : pids) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

double CpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Print(const char *label, const Stats &s)
{
    printf("  %-28s median %7.1f   p99 %7.1f   max %8.1f us  (%zu frames)\n", label, s.median,
           s.p99, s.max, s.count);
}

} // namespace

int main(int argc, char **argv)
{
    if (!getenv(kInner))
        return Relaunch(argv);
    int frames = argc > 1 ? atoi(argv[1]) : 1000;
    if (frames < 1)
        frames = 1000;
    int traceFd = TraceFd();
    if (traceFd < 0) {
        fprintf(stderr, "dtr_bench: no trace file\n");
        return 1;
    }
    signal(SIGIO, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("dtr_bench: pty");
        return 1;
    }
    pthread_t drain;
    pthread_create(&drain, nullptr, DrainLine, &master);

    printf("DTR timing of SendRtuFrame on a bench line (UART emulation), %d frames of 8 bytes"
           " per run\n", frames);
    printf("gap: last stop bit on the wire to DTR down with DtrTailDelay 0 (goal: p99 < 50 us)\n"
           "lead/tail: measured minus nominal (DtrLeadDelay 2 ms or 20 ms, DtrTailDelay 1 ms)\n\n");
    bool goalMet = true;
    for (int speed : {9600, 115200}) {
        LineSettings s {};
        snprintf(s.tty, sizeof s.tty, "%s", ptsname(master) + 5);
        s.speed = speed;
        s.dataBits = 8;
        s.stopBits = 1;
        if (!OpenLine(s)) {
            fprintf(stderr, "dtr_bench: cannot open %s\n", ptsname(master));
            return 1;
        }
        for (bool loaded : {false, true}) {
            std::vector<pid_t> hogs;
            if (loaded)
                hogs = StartHogs(2);
            RunResult a = Run(traceFd, frames, 2, 0);
            RunResult b = Run(traceFd, frames, 0, 1);
            const int longFrames = std::min(frames, 100);
            double cpu = CpuSeconds();
            RunResult c = Run(traceFd, longFrames, 20, 0);
            cpu = CpuSeconds() - cpu;
            StopHogs(hogs);
            Stats gap = Summarise(a.gap);
            printf("%6d bit/s, %s:\n", speed, loaded ? "both cores loaded by CPU hogs" : "idle");
            Print("gap (tail 0)", gap);
            Print("  of it, polls began in time", Summarise(a.pollGap));
            printf("  %-28s %d of %d frames\n", "  sleep past the last bit", a.late, frames);
            Print("  end to TEMT seen", Summarise(a.detect));
            Print("  TEMT seen to DTR down", Summarise(a.drop));
            Print("lead error (2 ms)", Summarise(a.lead));
            Print("tail error (1 ms)", Summarise(b.tail));
            Print("lead error (20 ms)", Summarise(c.lead));
            printf("  %-28s %7.2f ms per frame\n", "CPU time, 20 ms lead", cpu * 1000.0 / longFrames);
            if (a.failed + b.failed + c.failed)
                printf("  %d frames not sent\n", a.failed + b.failed + c.failed);
            goalMet = goalMet && gap.count > 0 && gap.p99 < 50.0;
        }
        CloseLine();
    }
    printf("\ngoal p99 gap < 50 us: %s\n", goalMet ? "met" : "NOT met");
    Stopping = true;
    pthread_join(drain, nullptr);
    close(master);
    return 0;
}
