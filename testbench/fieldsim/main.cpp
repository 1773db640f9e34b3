// main.cpp - qmfieldsim: plays the described Modbus RTU slaves on the master side of its own
// pty pair, paces every byte at the line's character time, detects frame ends by the
// 3.5-character silence, logs the frames, and optionally relays to a third-party slave on a
// second pty pair. Usage and description format: README.md.
#include "fieldsim.h"
#include "linespeed_table.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <termios.h>
#include <unistd.h>

using namespace fieldsim;

namespace
{

volatile sig_atomic_t gStop = 0;
void OnStop(int)
{
    gStop = 1;
}

double Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Pty {
    int master = -1;
    int slave = -1; // kept open: the line stays up while the master program reopens it
    std::string path;
};

bool OpenPty(Pty &p, const LineConfig &line, std::string &error)
{
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.master < 0 || grantpt(p.master) || unlockpt(p.master)) {
        error = std::string("posix_openpt: ") + strerror(errno);
        return false;
    }
    const char *name = ptsname(p.master);
    if (!name) {
        error = "ptsname failed";
        return false;
    }
    p.path = name;
    p.slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p.slave < 0) {
        error = p.path + ": " + strerror(errno);
        return false;
    }
    // Raw mode, so that a program that does not set a mode neither echoes nor translates.
    termios t{};
    tcgetattr(p.slave, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&t, tb_speed_code(unsigned(line.speed)));
    tcsetattr(p.slave, TCSANOW, &t);
    fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
    return true;
}

bool Publish(const std::string &file, const std::string &text)
{
    std::string tmp = file + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text << "\n";
        if (!out)
            return false;
    }
    return rename(tmp.c_str(), file.c_str()) == 0;
}

std::string Hex(const std::vector<uint8_t> &bytes)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

struct QueuedByte {
    uint8_t byte;
    double due;       // monotonic time at which it is written to the pty
    std::string note; // log line of the run it starts ("" inside a run)
};

struct Sim {
    Description desc;
    double charTime = 0, gap = 0;
    double start = 0;
    FILE *log = nullptr;
    Pty line, peer;
    bool relay = false;
    std::deque<QueuedByte> txq;
    double txEnd = 0; // due time of the last queued byte
    // Frame being received from the master.
    std::vector<uint8_t> rx;
    double rxFirst = 0, rxLast = 0;
    bool byteTimes = false; // log each byte sent with its time (QMFIELDSIM_BYTE_TIMES=1)
    size_t holdLen = 0; // bytes of a bad frame held for joining (0: none)
    double holdUntil = 0;
};

void Log(Sim &s, double when, const std::string &text)
{
    if (!s.log)
        return;
    fprintf(s.log, "%.3f %s\n", when - s.start, text.c_str());
    fflush(s.log);
}

void Schedule(Sim &s, const std::vector<TxRun> &runs, double earliest)
{
    double t = earliest;
    if (!s.txq.empty() || s.txEnd > t - s.gap)
        t = std::max(t, s.txEnd + s.gap); // one transaction at a time
    t = std::max(t, Now());
    for (const auto &run : runs) {
        t += run.silence;
        for (size_t k = 0; k < run.bytes.size(); ++k) {
            if (k)
                t += run.byteGap;
            t += s.charTime;
            s.txq.push_back(
                {run.bytes[k], t, k ? std::string() : "tx " + Hex(run.bytes) + " " + run.note});
        }
    }
    if (!s.txq.empty())
        s.txEnd = s.txq.back().due;
}

// A frame from the master is complete (its end detected at frameEnd).
void ProcessFrame(Sim &s, const std::vector<uint8_t> &f, double first, double frameEnd)
{
    if (s.relay && write(s.peer.master, f.data(), f.size()) < 0) {
    }
    std::string hex = "rx " + Hex(f);
    if (f.size() < 4) {
        Log(s, first, hex + " short");
        return;
    }
    if (!CrcOk(f)) {
        Log(s, first, hex + " badcrc");
        return;
    }
    if (f[0] == 0) {
        ApplyBroadcast(s.desc, f);
        Log(s, first, hex + " broadcast");
        return;
    }
    Device *dev = FindDevice(s.desc, f[0]);
    if (!dev) {
        Log(s, first, hex + " absent");
        return;
    }
    std::string note;
    auto runs = AnswerRequest(*dev, f, s.desc.line, note);
    Log(s, first, hex + " " + note);
    Schedule(s, runs, frameEnd + dev->latencyMs / 1000.0);
}

bool Valid(const std::vector<uint8_t> &f)
{
    return CrcOk(f);
}

// Frame-end detection: called when the line has been silent for the frame gap after the
// last byte, or when a held bad frame's joining time is over.
void FrameEnd(Sim &s, double now)
{
    double end = s.rxLast + s.gap;
    if (s.holdLen == 0) {
        if (Valid(s.rx)) {
            ProcessFrame(s, s.rx, s.rxFirst, end);
            s.rx.clear();
        } else {
            s.holdLen = s.rx.size();
            s.holdUntil = s.rxLast + 0.050;
        }
        return;
    }
    if (s.rx.size() > s.holdLen) {
        std::vector<uint8_t> tail(s.rx.begin() + long(s.holdLen), s.rx.end());
        if (Valid(s.rx)) {
            ProcessFrame(s, s.rx, s.rxFirst, end);
        } else if (Valid(tail)) {
            std::vector<uint8_t> head(s.rx.begin(), s.rx.begin() + long(s.holdLen));
            ProcessFrame(s, head, s.rxFirst, end);
            ProcessFrame(s, tail, s.rxFirst, end);
        } else if (s.rx.size() < 512) {
            s.holdLen = s.rx.size();
            s.holdUntil = s.rxLast + 0.050;
            return;
        } else {
            ProcessFrame(s, s.rx, s.rxFirst, end);
        }
    } else if (now >= s.holdUntil) {
        ProcessFrame(s, s.rx, s.rxFirst, end);
    } else {
        return;
    }
    s.rx.clear();
    s.holdLen = 0;
}

// Seconds until the next thing to do, or -1 for "wait for input".
double NextDeadline(const Sim &s, double now)
{
    double next = -1;
    auto take = [&](double t) {
        double d = std::max(0.0, t - now);
        if (next < 0 || d < next)
            next = d;
    };
    if (!s.txq.empty())
        take(s.txq.front().due);
    if (!s.rx.empty())
        take(s.holdLen && s.rx.size() == s.holdLen ? s.holdUntil : s.rxLast + s.gap);
    return next;
}

// Hands each piece waiting on fd to take, until nothing is left.
template <typename Take> void Drain(int fd, Take take)
{
    uint8_t buf[512];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        take(buf, size_t(n));
}

void ReadLine(Sim &s)
{
    Drain(s.line.master, [&](const uint8_t *buf, size_t n) {
        double now = Now();
        if (s.rx.empty())
            s.rxFirst = now;
        s.rx.insert(s.rx.end(), buf, buf + n);
        s.rxLast = now;
    });
}

void ReadPeer(Sim &s)
{
    Drain(s.peer.master, [&](const uint8_t *buf, size_t n) {
        TxRun run;
        run.bytes.assign(buf, buf + n);
        run.note = "peer";
        Schedule(s, {run}, Now());
    });
}

void Transmit(Sim &s, double now)
{
    while (!s.txq.empty() && s.txq.front().due <= now) {
        QueuedByte &q = s.txq.front();
        // Running late (a busy machine), the simulator keeps the byte spacing and the
        // silences it planned: everything still queued moves by the delay, as a device on a
        // wire would send it, instead of catching up with bytes back to back.
        double late = now - q.due;
        if (late > s.charTime / 4) {
            for (QueuedByte &b : s.txq)
                b.due += late;
            s.txEnd += late;
        }
        if (!q.note.empty())
            Log(s, now, q.note);
        if (s.byteTimes) {
            char text[16];
            snprintf(text, sizeof text, "byte %02X", q.byte);
            Log(s, now, text);
        }
        if (write(s.line.master, &q.byte, 1) < 0) {
            // The slave's input queue is full (nobody reads): the byte is lost, as on a wire.
        }
        s.txq.pop_front();
    }
}

int Usage()
{
    fprintf(stderr, "usage: qmfieldsim [-n NAMEFILE] [-L LINK] [-l LOGFILE] [-p PEERFILE] "
                    "[-b SPEED] [-f FRAMING] [-q] DESCRIPTION\n");
    return 2;
}

struct Options {
    std::string nameFile, link, logFile, peerFile, framing, descName;
    long speed = 0;
    bool quiet = false;
};

// The command line; false for a wrong one.
bool ParseOptions(int argc, char **argv, Options &o)
{
    // -n, -L, -l, -p and -f: a text each.
    const std::pair<int, std::string *> texts[] = {{'n', &o.nameFile},
                                                   {'L', &o.link},
                                                   {'l', &o.logFile},
                                                   {'p', &o.peerFile},
                                                   {'f', &o.framing}};
    for (int opt; (opt = getopt(argc, argv, "n:L:l:p:b:f:q")) != -1;) {
        auto text = std::find_if(std::begin(texts), std::end(texts),
                                 [&](const auto &t) { return t.first == opt; });
        if (text != std::end(texts))
            *text->second = optarg;
        else if (opt == 'b')
            o.speed = strtol(optarg, nullptr, 10);
        else if (opt == 'q')
            o.quiet = true;
        else
            return false;
    }
    if (optind + 1 != argc)
        return false;
    o.descName = argv[optind];
    return true;
}

// The description with the line settings of the command line, and the line's timing.
// Result: 0, else the exit status.
int LoadDescription(const Options &o, Sim &s)
{
    std::stringstream text;
    if (o.descName == "-") {
        text << std::cin.rdbuf();
    } else {
        std::ifstream in(o.descName);
        if (!in) {
            fprintf(stderr, "qmfieldsim: cannot read %s\n", o.descName.c_str());
            return 1;
        }
        text << in.rdbuf();
    }
    std::string error;
    if (!ParseDescription(text.str(), o.descName, s.desc, error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (o.speed > 0)
        s.desc.line.speed = int(o.speed);
    if (!o.framing.empty() && !ParseFraming(o.framing, s.desc.line)) {
        fprintf(stderr, "qmfieldsim: bad framing %s (e.g. 8N1)\n", o.framing.c_str());
        return 2;
    }
    s.charTime = CharTime(s.desc.line);
    const char *byteTimes = getenv("QMFIELDSIM_BYTE_TIMES");
    s.byteTimes = byteTimes && strcmp(byteTimes, "1") == 0;
    s.gap = FrameGap(s.desc.line);
    s.start = Now();
    return 0;
}

// The log, the pty pairs, and the files that tell where they are. Result: 0, else the exit
// status.
int OpenLine(const Options &o, Sim &s, sigset_t &waitMask)
{
    std::string error;
    if (!o.logFile.empty() && !(s.log = fopen(o.logFile.c_str(), "w"))) {
        fprintf(stderr, "qmfieldsim: cannot write %s: %s\n", o.logFile.c_str(), strerror(errno));
        return 1;
    }
    if (!OpenPty(s.line, s.desc.line, error) ||
        (!o.peerFile.empty() && !OpenPty(s.peer, s.desc.line, error))) {
        fprintf(stderr, "qmfieldsim: %s\n", error.c_str());
        return 1;
    }
    s.relay = !o.peerFile.empty();
    // SIGTERM, SIGINT and SIGHUP stop the simulator; they are blocked but while it waits,
    // with the mask it had before (waitMask).
    sigset_t block;
    sigemptyset(&block);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction sa {
        };
        sa.sa_handler = OnStop;
        sigaction(sig, &sa, nullptr);
        sigaddset(&block, sig);
    }
    signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &block, &waitMask);
    if (!o.link.empty()) {
        unlink(o.link.c_str());
        if (symlink(s.line.path.c_str(), o.link.c_str())) {
            fprintf(stderr, "qmfieldsim: cannot link %s: %s\n", o.link.c_str(), strerror(errno));
            return 1;
        }
    }
    for (const auto &[file, path] : {std::pair{o.peerFile, s.peer.path}, {o.nameFile, s.line.path}})
        if (!file.empty() && !Publish(file, path)) {
            fprintf(stderr, "qmfieldsim: cannot write %s\n", file.c_str());
            return 1;
        }
    if (!o.quiet) {
        printf("%s\n", s.line.path.c_str());
        fflush(stdout);
    }
    return 0;
}

// Until a stop signal: sends what is due, ends frames at their silence, waits for input or
// the next deadline.
void Serve(Sim &s, const sigset_t &waitMask)
{
    while (!gStop) {
        double now = Now();
        Transmit(s, now);
        if (!s.rx.empty() && (now >= s.rxLast + s.gap || (s.holdLen && s.rx.size() == s.holdLen)))
            FrameEnd(s, now);
        double wait = NextDeadline(s, Now());
        pollfd fds[2] = {{s.line.master, POLLIN, 0}, {s.peer.master, POLLIN, 0}};
        timespec ts{}, *tsp = nullptr;
        if (wait >= 0) {
            ts.tv_sec = time_t(wait);
            ts.tv_nsec = long((wait - double(ts.tv_sec)) * 1e9);
            tsp = &ts;
        }
        int n = ppoll(fds, s.relay ? 2 : 1, tsp, &waitMask);
        if (n < 0 && errno != EINTR)
            break;
        if (n <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            ReadLine(s);
        if (s.relay && (fds[1].revents & POLLIN))
            ReadPeer(s);
        if ((fds[0].revents | (s.relay ? fds[1].revents : 0)) & (POLLHUP | POLLERR)) {
            // Cannot happen while our own slave descriptors stay open; do not spin if it does.
            usleep(1000);
        }
    }
}

void Shutdown(const Options &o, Sim &s)
{
    if (!o.link.empty())
        unlink(o.link.c_str());
    if (!o.nameFile.empty())
        unlink(o.nameFile.c_str());
    if (s.relay)
        unlink(o.peerFile.c_str());
    if (s.log)
        fclose(s.log);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!ParseOptions(argc, argv, o))
        return Usage();
    Sim s;
    sigset_t waitMask;
    if (int status = LoadDescription(o, s); status != 0)
        return status;
    if (int status = OpenLine(o, s, waitMask); status != 0)
        return status;
    Serve(s, waitMask);
    Shutdown(o, s);
    return 0;
}
