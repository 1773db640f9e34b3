// harness.cpp - bench line for the discovery tests (see harness.h).
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "uartemu_trace.h"

namespace disc {

namespace {
int counter = 0;

std::string Unique(const std::string &stem)
{
    return "/tmp/" + stem + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

void Exec(const char *sql)
{
    sqlite3 *db = nullptr;
    mkdir("/etc/quor/db/sysconfig", 0755);
    ASSERT_EQ(sqlite3_open("/etc/quor/db/sysconfig/quorLan.db", &db), SQLITE_OK);
    char *error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

std::string Quote(const std::string &text)
{
    std::string q = "'";
    for (char c : text)
        q += (c == '\'') ? std::string("''") : std::string(1, c);
    return q + "'";
}
} // namespace

const char *const kReferenceDevice = "reg 0 0x0123\nreg 1 0x4142 0x1EE3\nreg 6 0x0107\n";

std::string ReferenceLine(int lineId, int address)
{
    char text[100];
    snprintf(text, sizeof text, "%011d,%03d,0001,0023,XAB123C,0107,[ 41 42 1e e3 ]", lineId,
             address);
    return text;
}

pid_t Spawn(const std::vector<std::string> &argv, bool emulated, const std::string &outFile,
            const std::string &errFile, const std::vector<std::string> &env)
{
    std::vector<std::string> args;
    if (emulated && !qmtest::Emulator().empty())
        args.push_back(qmtest::Emulator());
    args.insert(args.end(), argv.begin(), argv.end());
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const auto &e : env)
            putenv(strdup(e.c_str()));
        std::vector<char *> c;
        for (auto &a : args)
            c.push_back(const_cast<char *>(a.c_str()));
        c.push_back(nullptr);
        execvp(c[0], c.data());
        _exit(127);
    }
    return pid;
}

bool WaitForFile(const std::string &path, double seconds)
{
    double end = qmtest::NowSeconds() + seconds;
    while (qmtest::NowSeconds() < end) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && st.st_size > 0)
            return true;
        usleep(5000);
    }
    return false;
}

Sim StartSim(const std::string &description, bool relay)
{
    Sim sim;
    std::string base = Unique("sim");
    qmtest::WriteFile(base + ".desc", description);
    sim.log = base + ".log";
    std::vector<std::string> argv{qmtest::BinDir() + "/qmfieldsim", "-q", "-n", base + ".name",
                                  "-l", sim.log};
    if (relay) {
        argv.push_back("-p");
        argv.push_back(base + ".peer");
    }
    argv.push_back(base + ".desc");
    sim.pid = Spawn(argv, true, "/dev/null", base + ".err");
    if (!WaitForFile(base + ".name", 20)) {
        ADD_FAILURE() << "simulator did not start: " << qmtest::ReadFile(base + ".err");
        return sim;
    }
    std::string path = qmtest::ReadFile(base + ".name");
    path = path.substr(0, path.find('\n'));
    sim.tty = path.rfind("/dev/", 0) == 0 ? path.substr(5) : path;
    if (relay && WaitForFile(base + ".peer", 20)) {
        sim.peer = qmtest::ReadFile(base + ".peer");
        sim.peer = sim.peer.substr(0, sim.peer.find('\n'));
    }
    return sim;
}

void StopSim(Sim &sim)
{
    if (sim.pid > 0) {
        kill(sim.pid, SIGTERM);
        waitpid(sim.pid, nullptr, 0);
        sim.pid = -1;
    }
}

void AddLine(const LineRow &r)
{
    Exec("CREATE TABLE IF NOT EXISTS lines (id INTEGER PRIMARY KEY, tty TEXT, speed TEXT, "
         "parity TEXT, data_bits TEXT, stop_bits TEXT, dtr_lead_ms TEXT, dtr_tail_ms TEXT, "
         "rx_timeout_ms TEXT, reserved TEXT, post_rx_ms TEXT, pre_tx_ms TEXT)");
    std::string sql = "INSERT OR REPLACE INTO lines VALUES (" + std::to_string(r.id);
    for (const std::string *v : {&r.tty, &r.speed, &r.parity, &r.dataBits, &r.stopBits,
                                 &r.dtrLead, &r.dtrTail, &r.rxTimeout, &r.reserved, &r.postRx,
                                 &r.preTx})
        sql += ", " + Quote(*v);
    Exec((sql + ")").c_str());
}

void WriteModelFile(const std::string &name, const std::string &content)
{
    qmtest::WriteFile("/etc/quor/db/devices/" + name, content);
}

Started StartQmveskar(const std::vector<std::string> &args, const std::string &trace,
                      const std::string &ctl, const std::vector<std::string> &env)
{
    Started s;
    std::string base = Unique("qmveskar");
    s.outFile = base + ".out";
    s.errFile = base + ".err";
    std::vector<std::string> argv{qmtest::BinDir() + "/qmveskar"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> fullEnv = env;
    if (!trace.empty())
        fullEnv.push_back("UARTEMU_TRACE=" + trace);
    if (!ctl.empty())
        fullEnv.push_back("UARTEMU_CTL=" + ctl);
    uartemu::PreloadCommand(argv, fullEnv);
    s.pid = Spawn(argv, true, s.outFile, s.errFile, fullEnv);
    return s;
}

qmtest::ProcResult Wait(Started &s, int timeoutSeconds)
{
    qmtest::ProcResult r;
    double end = qmtest::NowSeconds() + timeoutSeconds;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(s.pid, &status, WNOHANG)) == 0 && qmtest::NowSeconds() < end)
        usleep(10000);
    if (done == 0) {
        kill(s.pid, SIGKILL);
        waitpid(s.pid, &status, 0);
        r.status = -1;
    } else if (WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.status = 128 + WTERMSIG(status);
    }
    r.out = qmtest::ReadFile(s.outFile);
    r.err = qmtest::ReadFile(s.errFile);
    return r;
}

qmtest::ProcResult RunQmveskarOnBench(const std::vector<std::string> &args,
                                      const std::string &trace, const std::string &ctl,
                                      const std::vector<std::string> &env, int timeoutSeconds)
{
    Started s = StartQmveskar(args, trace, ctl, env);
    return Wait(s, timeoutSeconds);
}

} // namespace disc
