// discoverybench.cpp - bench line for the discovery tests (see discoverybench.h).
#include "discoverybench.h"

#include <cstdio>
#include <unistd.h>

#include "uartemu_trace.h"

namespace disc {

namespace {
int counter = 0;
// The emulation traces of the programs started in the current case, shown when it fails.
std::vector<std::string> traces;

// The last 6000 bytes of a log, for the output of a failed case.
void PrintTail(const char *title, const std::string &path)
{
    std::string log = qmtest::ReadFile(path);
    const size_t keep = 6000;
    if (log.size() > keep)
        log = "...\n" + log.substr(log.size() - keep);
    printf("%s %s:\n%s", title, path.c_str(), log.c_str());
}

std::string Unique(const std::string &stem)
{
    return "/tmp/" + stem + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
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

Sim StartSim(const std::string &description, const LineRow &row, const std::string &peer)
{
    Sim sim;
    benchline::Config config;
    config.description = description;
    config.lineId = row.id;
    config.speed = std::stoi(row.speed);
    config.writeRecord = false;  // written below, with the row's texts as they stand
    config.peer = peer;
    std::string error;
    if (!benchline::Up(sim.line, config, error)) {
        ADD_FAILURE() << "bench line did not come up: " << error;
        return sim;
    }
    sim.tty = sim.line.ttyName;
    sim.log = sim.line.simLog;
    LineRow record = row;
    record.tty = sim.tty;
    AddLine(record);
    return sim;
}

void StopSim(Sim &sim)
{
    // A failed case shows what the device side saw: its frame log's last lines (read before
    // the line is taken down, which removes the file).
    if (testing::Test::HasFailure() && !sim.log.empty())
        PrintTail("simulator log", sim.log);
    // ... and what the master's port did: its writes, the moments the bytes reached the
    // line, its reads. Together the two tell whether a frame was late leaving or arriving.
    for (const auto &t : traces) {
        if (testing::Test::HasFailure())
            PrintTail("master port trace", t);
        unlink(t.c_str());
    }
    traces.clear();
    bool started = sim.line.simPid > 0;
    benchline::Down(sim.line);
    if (started) {
        EXPECT_EQ(sim.line.simExit, 0) << "the simulator did not stop cleanly";
    }
}

void AddLine(const LineRow &r)
{
    std::string error;
    EXPECT_TRUE(benchline::WriteRecord("/etc/quor/db/sysconfig/quorLan.db", r.id,
                                       {r.tty, r.speed, r.parity, r.dataBits, r.stopBits,
                                        r.dtrLead, r.dtrTail, r.rxTimeout, r.reserved, r.postRx,
                                        r.preTx},
                                       error))
        << error;
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
    std::string tracePath = trace;
    if (tracePath.empty()) {
        tracePath = base + ".trace";
        traces.push_back(tracePath);
    }
    fullEnv.push_back("UARTEMU_TRACE=" + tracePath);
    if (!ctl.empty())
        fullEnv.push_back("UARTEMU_CTL=" + ctl);
    uartemu::PreloadCommand(argv, fullEnv);
    s.pid = qmtest::Spawn(argv, true, s.outFile, s.errFile, fullEnv);
    return s;
}

qmtest::ProcResult Wait(Started &s, int timeoutSeconds)
{
    qmtest::ProcResult r;
    r.status = qmtest::WaitExit(s.pid, timeoutSeconds);
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
