// benchline.cpp - bringing a bench line up and down: simulator and peer processes, the line
// record in the SQLite line database, and running a program on the line.
#include "benchline.h"
#include "clockread.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace benchline
{

namespace
{

std::string Env(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

[[gnu::always_inline]] inline double Now() { return qmclock::Monotonic(); }

bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string Slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string FirstLine(const std::string &path)
{
    std::string s = Slurp(path);
    size_t nl = s.find('\n');
    return nl == std::string::npos ? s : s.substr(0, nl);
}

bool WriteText(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return bool(out);
}

// True for a 32-bit ELF file (a program that needs the emulator on this host).
bool Is32BitElf(const std::string &path)
{
    unsigned char head[5] = {0};
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, head, sizeof head);
    close(fd);
    return n == 5 &&
           memcmp(head,
                  "\x7f"
                  "ELF",
                  4) == 0 &&
           head[4] == 1;
}

std::string FindProgram(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    std::string local = BinDir() + "/" + name;
    if (access(local.c_str(), X_OK) == 0)
        return local;
    std::stringstream path(Env("PATH", "/usr/bin:/bin"));
    for (std::string dir; std::getline(path, dir, ':');) {
        std::string p = dir + "/" + name;
        if (!dir.empty() && access(p.c_str(), X_OK) == 0)
            return p;
    }
    return name;
}

// argv with the emulator in front when the program is a 32-bit one and the build has one.
std::vector<std::string> WithEmulator(std::vector<std::string> argv)
{
    argv[0] = FindProgram(argv[0]);
    if (!Emulator().empty() && Is32BitElf(argv[0]))
        argv.insert(argv.begin(), Emulator());
    return argv;
}

// In a child process: becomes argv's program, or ends with status 127.
[[noreturn]] void Run(const std::vector<std::string> &argv)
{
    std::vector<char *> c;
    for (const auto &a : argv)
        c.push_back(const_cast<char *>(a.c_str()));
    c.push_back(nullptr);
    execvp(c[0], c.data());
    fprintf(stderr, "cannot run %s: %s\n", c[0], strerror(errno));
    _exit(127);
}

// Starts a helper process of the line in its own process group (terminal signals meant for
// the program on the line do not reach it), without the emulation, with its standard output
// and error in outFile.
//
// The helpers stand for field devices, which have a processor of their own, so they run at
// the highest real-time priority where that is granted, as the master does around its
// exchanges. Otherwise, after any stall of a loaded machine the master runs first, finds
// its reply time-out over and sends the next request before the device has read the last
// one: the device then sees two requests as one frame.
pid_t Spawn(const std::vector<std::string> &argv, const std::string &outFile)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    setpgid(0, 0);
    sched_param device = {};
    device.sched_priority = sched_get_priority_max(SCHED_FIFO);
    sched_setscheduler(0, SCHED_FIFO, &device);  // refused: the helper runs as it is
    unsetenv("LD_PRELOAD");
    unsetenv("QEMU_SET_ENV");
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
        close(out);
    }
    if (in >= 0) {
        dup2(in, 0);
        close(in);
    }
    Run(argv);
}

// Waits until path exists (the process publishes it when ready) or the process ends.
bool WaitReady(const std::string &path, pid_t pid, double seconds)
{
    double deadline = Now() + seconds;
    while (Now() < deadline) {
        if (Exists(path))
            return true;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return false;
        usleep(10000);
    }
    return false;
}

// Stops a helper by its process id; returns its exit status (128 + signal when killed).
int Stop(pid_t &pid)
{
    if (pid <= 0)
        return -1;
    kill(pid, SIGTERM);
    double deadline = Now() + 5;
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid, &status, WNOHANG)) == 0) {
        if (Now() > deadline) {
            kill(pid, SIGKILL);
            r = waitpid(pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    pid = -1;
    if (r < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Framing(const Config &c)
{
    int data = c.dataBits >= 5 && c.dataBits <= 7 ? c.dataBits : 8;
    char parity = c.parity == 0 ? 'N' : c.parity == 1 ? 'O' : 'E';
    return std::to_string(data) + parity + (c.stopBits == 2 ? '2' : '1');
}

bool MakeDirs(const std::string &path)
{
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) {
        std::string part = path.substr(0, at);
        if (!part.empty() && mkdir(part.c_str(), 0755) && errno != EEXIST)
            return false;
    }
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool SystemPath(const std::string &path)
{
    return path.rfind("/etc/quor", 0) == 0;
}

// The table as linedb/lines.sql defines it (CREATE TABLE IF NOT EXISTS), read from the
// source tree so that the schema is written in one place.
std::string Schema()
{
    std::ifstream in(SourceDir() + "/linedb/lines.sql");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The steps of bringing a line up (Up): each returns "", else why the line cannot come up.

std::string CheckPlaces(Line &line)
{
    const Config &config = line.config;
    bool sandbox = Env("QM_SANDBOX", "") == "1";
    if (config.writeRecord && SystemPath(config.dbPath) && !sandbox && !config.allowSystemPaths)
        return "refusing to write " + config.dbPath +
               " outside the test sandbox (run under testbench/sandbox/qmsandbox)";
    if (!config.link.empty() && config.link.rfind("/dev/", 0) != 0)
        return "the tty link must be under /dev/ (the line record names /dev/<tty>)";
    return "";
}

std::string MakeLineDir(Line &line)
{
    if (line.config.dir.empty()) {
        char tmpl[] = "/tmp/benchline-XXXXXX";
        if (!mkdtemp(tmpl))
            return std::string("mkdtemp: ") + strerror(errno);
        line.dir = tmpl;
        line.ownDir = true;
    } else {
        line.dir = line.config.dir;
        if (!MakeDirs(line.dir))
            return "cannot make " + line.dir;
    }
    return "";
}

std::string WriteLineFiles(Line &line)
{
    line.simLog = line.dir + "/sim.log";
    line.simErr = line.dir + "/sim.err";
    line.trace = line.dir + "/uart.trace";
    line.ctl = line.dir + "/uart.ctl";
    unlink((line.dir + "/tty").c_str());
    unlink((line.dir + "/peer.tty").c_str());
    if (!WriteText(line.dir + "/line.desc", line.config.description))
        return "cannot write " + line.dir + "/line.desc";
    if (!line.config.uartCtl.empty() && !WriteText(line.ctl, line.config.uartCtl))
        return "cannot write " + line.ctl;
    return "";
}

std::string StartSimulator(Line &line)
{
    const Config &config = line.config;
    std::string nameFile = line.dir + "/tty";
    std::vector<std::string> sim = {
        BinDir() + "/qmfieldsim",     "-q", "-n",           nameFile, "-l", line.simLog, "-b",
        std::to_string(config.speed), "-f", Framing(config)};
    if (!config.peer.empty())
        sim.insert(sim.end(), {"-p", line.dir + "/peer.tty"});
    if (!config.link.empty())
        sim.insert(sim.end(), {"-L", config.link});
    sim.push_back(line.dir + "/line.desc");
    line.simPid = Spawn(WithEmulator(sim), line.simErr);
    if (line.simPid < 0 || !WaitReady(nameFile, line.simPid, 30))
        return "the simulator did not come up: " + Slurp(line.simErr);
    line.ttyPath = config.link.empty() ? FirstLine(nameFile) : config.link;
    line.ttyName = line.ttyPath.substr(5); // without "/dev/"
    return "";
}

std::string StartPeer(Line &line)
{
    const Config &config = line.config;
    if (config.peer.empty())
        return "";
    line.peerPath = FirstLine(line.dir + "/peer.tty");
    line.peerLog = line.dir + "/peer.log";
    std::string ready = line.dir + "/peer.ready", address = std::to_string(config.peerAddress);
    unlink(ready.c_str());
    std::vector<std::string> argv;
    if (config.peer == "pymodbus") {
        argv = {"/usr/bin/python3", SourceDir() + "/testbench/peers/pymodbus_slave.py",
                line.peerPath,      address,
                "--baud",           std::to_string(config.speed),
                "--ready",          ready};
    } else if (config.peer == "libmodbus") {
        std::string prog = BinDir() + "/qmmodbusslave";
        if (access(prog.c_str(), X_OK) != 0)
            return "qmmodbusslave is not built here (no libmodbus for this architecture)";
        argv =
            WithEmulator({prog, line.peerPath, address, std::to_string(config.speed), "-R", ready});
    } else {
        return "unknown peer '" + config.peer + "' (pymodbus or libmodbus)";
    }
    line.peerPid = Spawn(argv, line.peerLog);
    if (line.peerPid < 0 || !WaitReady(ready, line.peerPid, 60))
        return "the " + config.peer + " slave did not come up: " + Slurp(line.peerLog);
    return "";
}

std::string WriteLineRecord(Line &line)
{
    const Config &c = line.config;
    std::string error;
    if (c.writeRecord && !WriteRecord(c.dbPath, c.lineId, RecordFields(line), error))
        return error;
    line.recordWritten = c.writeRecord;
    return "";
}

} // namespace

std::string BinDir()
{
    return Env("QM_BIN_DIR", QM_BENCH_BIN_DIR);
}
std::string SourceDir()
{
    return Env("QM_SOURCE_DIR", QM_BENCH_SOURCE_DIR);
}
std::string Emulator()
{
    const char *v = getenv("QM_EMULATOR");
    return v ? v : QM_BENCH_EMULATOR;
}
std::string UartEmuLibrary()
{
    return Env("QM_UARTEMU", (BinDir() + "/libuartemu.so").c_str());
}

bool WriteRecord(const std::string &dbPath, int id, const std::vector<std::string> &fields,
                 std::string &error)
{
    size_t slash = dbPath.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(dbPath.substr(0, slash))) {
        error = "cannot make the directory of " + dbPath;
        return false;
    }
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(dbPath.c_str(), &db) == SQLITE_OK;
    sqlite3_busy_timeout(db, 5000);
    std::string schema = Schema();
    if (ok && schema.empty()) {
        error = "cannot read " + SourceDir() + "/linedb/lines.sql";
        sqlite3_close(db);
        return false;
    }
    ok = ok && sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_stmt *q = nullptr;
    ok = ok && sqlite3_prepare_v2(db,
                                  "INSERT OR REPLACE INTO lines VALUES "
                                  "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)",
                                  -1, &q, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_bind_int(q, 1, id);
        // Numbers are stored as integers (as a person's sqlite3 INSERT would), other texts
        // as given, so that a record can also hold a field that is not a number.
        for (size_t k = 0; k < 11; ++k) {
            std::string v = k < fields.size() ? fields[k] : "";
            char *end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (k > 0 && !v.empty() && !*end)
                sqlite3_bind_int64(q, int(k) + 2, n);
            else
                sqlite3_bind_text(q, int(k) + 2, v.c_str(), -1, SQLITE_TRANSIENT);
        }
        ok = sqlite3_step(q) == SQLITE_DONE;
    }
    if (!ok)
        error = dbPath + ": " + (db ? sqlite3_errmsg(db) : "cannot open");
    sqlite3_finalize(q);
    sqlite3_close(db);
    return ok;
}

bool DeleteRecord(const std::string &dbPath, int id)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    std::string sql = "DELETE FROM lines WHERE id = " + std::to_string(id);
    ok = ok && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

std::vector<std::string> RecordFields(const Line &line)
{
    const Config &c = line.config;
    std::vector<std::string> f = {line.ttyName,
                                  std::to_string(c.speed),
                                  std::to_string(c.parity),
                                  std::to_string(c.dataBits),
                                  std::to_string(c.stopBits),
                                  std::to_string(c.dtrLeadMs),
                                  std::to_string(c.dtrTailMs),
                                  std::to_string(c.rxTimeoutMs),
                                  std::to_string(c.reserved),
                                  std::to_string(c.postRxMs),
                                  std::to_string(c.preTxMs)};
    for (const auto &[index, text] : c.fieldText)
        if (index >= 1 && index <= 11)
            f[size_t(index) - 1] = text;
    return f;
}

bool Up(Line &line, const Config &config, std::string &error)
{
    line = Line{};
    line.config = config;
    for (auto step :
         {CheckPlaces, MakeLineDir, WriteLineFiles, StartSimulator, StartPeer, WriteLineRecord}) {
        error = step(line);
        if (!error.empty()) {
            Down(line);
            return false;
        }
    }
    return true;
}

void Down(Line &line)
{
    if (line.peerPid > 0)
        line.peerExit = Stop(line.peerPid);
    if (line.simPid > 0)
        line.simExit = Stop(line.simPid);
    if (line.recordWritten)
        DeleteRecord(line.config.dbPath, line.config.lineId);
    line.recordWritten = false;
    if (line.ownDir && !line.config.keepFiles) {
        for (const char *f : {"line.desc", "tty", "peer.tty", "sim.log", "sim.err", "uart.trace",
                              "uart.ctl", "peer.log", "peer.ready"})
            unlink((line.dir + "/" + f).c_str());
        rmdir(line.dir.c_str());
        line.ownDir = false;
    }
}

std::vector<std::string> Env(const Line &line)
{
    std::vector<std::string> env = {"QM_BENCH_TTY=" + line.ttyName,
                                    "QM_BENCH_LINE=" + std::to_string(line.config.lineId),
                                    "QM_BENCH_DIR=" + line.dir, "QM_BENCH_SIMLOG=" + line.simLog};
    if (!line.config.emulation)
        return env;
    env.push_back("UARTEMU_TRACE=" + line.trace);
    env.push_back("UARTEMU_CTL=" + line.ctl);
    if (line.config.echo)
        env.push_back("UARTEMU_ECHO=1");
    std::string lib = UartEmuLibrary();
    if (Emulator().empty()) {
        env.push_back("LD_PRELOAD=" + lib);
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    } else {
        env.push_back("QEMU_SET_ENV=LD_PRELOAD=" + lib);
    }
    return env;
}

int Exec(const Line &line, const std::vector<std::string> &argv, int timeoutSeconds)
{
    if (argv.empty())
        return -1;
    std::vector<std::string> args = WithEmulator(argv);
    bool emulated = args.size() > argv.size();
    std::vector<std::string> env = Env(line);
    pid_t pid = fork();
    if (pid == 0) {
        for (const auto &e : env) {
            size_t eq = e.find('=');
            std::string name = e.substr(0, eq), value = e.substr(eq + 1);
            // A 32-bit library cannot be preloaded into a 64-bit program and the other way
            // round: the emulation goes only where it fits.
            if (name == "LD_PRELOAD" && !Emulator().empty())
                continue;
            if (name == "QEMU_SET_ENV" && !emulated)
                continue;
            setenv(name.c_str(), value.c_str(), 1);
        }
        Run(args);
    }
    if (pid < 0)
        return -1;
    double deadline = timeoutSeconds > 0 ? Now() + timeoutSeconds : 0;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, deadline > 0 ? WNOHANG : 0);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            return -1;
        if (deadline > 0 && Now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        if (deadline > 0)
            usleep(20000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace benchline
