// The bench line in one call (benchline library and qmbenchline command) and the peers that
// nobody here wrote: mbpoll as the line's master against the simulator, and the pymodbus and
// libmodbus slaves standing in for the simulator behind its relay.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "benchline.h"
#include "benchmaster.h"
#include "quordb.h"
#include "testsupport.h"

using namespace benchmaster;

namespace
{

const char kReference[] = "device 17\n"
                          "reg 0 0x0123\n"
                          "reg 1 0x4142 0x1EE3\n"
                          "reg 6 0x0107\n";
const char kReferenceLine[] = "00000000001,017,0001,0023,XAB123C,0107,[ 41 42 1e e3 ]\n";

std::vector<std::string> Record(int id)
{
    std::vector<std::string> v;
    int h = LinkDb("sysconfig/quorLan.db", 0);
    LineRecord *r = h ? GetRecordData(h, 0, id, 0) : nullptr;
    for (int k = 0; r && k < r->fieldCount; ++k)
        v.push_back(r->fields[k]);
    FreeFields(r);
    return v;
}

bool Alive(pid_t pid)
{
    return pid > 0 && kill(pid, 0) == 0;
}

// A host program run with the shell (mbpoll is a host program also in the 32-bit build).
struct HostResult {
    int status;
    std::string out;
};
HostResult Host(const std::string &command)
{
    HostResult r{-1, ""};
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        r.out.append(buf, n);
    int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

qmtest::ProcResult Qmveskar(const benchline::Line &line, const std::vector<std::string> &args)
{
    std::vector<std::string> argv{qmtest::BinDir() + "/qmveskar"};
    argv.insert(argv.end(), args.begin(), args.end());
    return qmtest::Run(argv, benchline::Env(line), "", 120);
}

} // namespace

TEST(BenchLine, UpWritesTheRecordAndDownRemovesEverything)
{
    QM_REQUIRE_SANDBOX();
    benchline::Config c;
    c.description = kReference;
    c.lineId = 7;
    c.speed = 19200;
    c.parity = 2;
    c.dtrLeadMs = 1;
    c.dtrTailMs = 2;
    c.rxTimeoutMs = 150;
    c.postRxMs = 3;
    c.preTxMs = 4;
    c.fieldText[9] = "x";
    benchline::Line line;
    std::string error;
    ASSERT_TRUE(benchline::Up(line, c, error)) << error;
    EXPECT_EQ(line.ttyPath.rfind("/dev/pts/", 0), 0u) << line.ttyPath;
    EXPECT_EQ("/dev/" + line.ttyName, line.ttyPath);
    EXPECT_TRUE(qmtest::Exists(line.ttyPath));
    EXPECT_TRUE(Alive(line.simPid));
    // The device side never waits behind the master's real-time exchanges (where granted).
    sched_param probe = {sched_get_priority_max(SCHED_FIFO)};
    if (sched_setscheduler(0, SCHED_FIFO, &probe) == 0) {
        probe.sched_priority = 0;
        sched_setscheduler(0, SCHED_OTHER, &probe);
        EXPECT_EQ(sched_getscheduler(line.simPid), SCHED_FIFO);
    }
    EXPECT_EQ(Record(7), (std::vector<std::string>{"7", line.ttyName, "19200", "2", "8", "1", "1",
                                                   "2", "150", "x", "3", "4"}));
    std::string dir = line.dir, tty = line.ttyPath;
    pid_t sim = line.simPid;
    benchline::Down(line);
    EXPECT_EQ(line.simExit, 0);
    EXPECT_FALSE(Alive(sim));
    EXPECT_TRUE(Record(7).empty());
    EXPECT_FALSE(qmtest::Exists(dir));
    EXPECT_FALSE(qmtest::Exists(tty)); // the pty pair is gone with the simulator
}

TEST(BenchLine, TwoLinesALinkAndTheSandboxGuard)
{
    QM_REQUIRE_SANDBOX();
    benchline::Config a, b;
    a.description = kReference;
    b.description = "device 5\nreg 0 9\n";
    b.lineId = 2;
    b.link = "/dev/ttyBENCH2";
    benchline::Line la, lb;
    std::string error;
    ASSERT_TRUE(benchline::Up(la, a, error)) << error;
    ASSERT_TRUE(benchline::Up(lb, b, error)) << error;
    EXPECT_NE(la.ttyPath, lb.ttyPath);
    EXPECT_EQ(lb.ttyName, "ttyBENCH2");
    EXPECT_EQ(Record(2).at(1), "ttyBENCH2");
    EXPECT_EQ(Record(1).at(1), la.ttyName);
    {
        Master m1(la.ttyPath), m2(lb.ttyPath);
        EXPECT_EQ(m1.Ask(ReadRegs(17, 0, 1)).bytes, Frame({0x11, 0x03, 0x02, 0x01, 0x23}));
        EXPECT_TRUE(m1.Ask(ReadRegs(5, 0, 1)).bytes.empty());
        EXPECT_EQ(m2.Ask(ReadRegs(5, 0, 1)).bytes, Frame({0x05, 0x03, 0x02, 0x00, 0x09}));
    }
    benchline::Down(lb);
    EXPECT_FALSE(qmtest::Exists("/dev/ttyBENCH2"));
    EXPECT_EQ(Record(1).at(1), la.ttyName); // the other line's record stays
    benchline::Down(la);

    // Outside the sandbox the unit's line database is not touched.
    unsetenv("QM_SANDBOX");
    benchline::Line lc;
    bool up = benchline::Up(lc, a, error);
    setenv("QM_SANDBOX", "1", 1);
    EXPECT_FALSE(up);
    EXPECT_NE(error.find("sandbox"), std::string::npos) << error;
}

TEST(BenchLine, QmveskarScansTheLineWithTheEmulation)
{
    QM_REQUIRE_SANDBOX();
    benchline::Config c;
    c.description = std::string(kReference) + "device 18\nfault silent\n"
                                              "device 19\nreg 0 0x0203\nanswers 1\nlinetest\n";
    benchline::Line line;
    std::string error;
    ASSERT_TRUE(benchline::Up(line, c, error)) << error;
    auto r = Qmveskar(line, {"1", "16", "19"});
    EXPECT_EQ(r.out, std::string("00000000001,016\n") + kReferenceLine +
                         "00000000001,018\n00000000001,019\n");
    EXPECT_EQ(r.status, 0) << r.err;
    // The program went through the emulation (its trace shows the frames it wrote), and the
    // simulator saw the three questions to 17.
    std::string trace = qmtest::ReadFile(line.trace);
    EXPECT_NE(trace.find(" write "), std::string::npos) << trace.substr(0, 400);
    std::string log = qmtest::ReadFile(line.simLog);
    EXPECT_NE(log.find("rx 11 03 00 00 00 01 86 9A reply"), std::string::npos) << log;
    EXPECT_NE(log.find("rx 11 03 00 01 00 02 97 5B reply"), std::string::npos) << log;
    EXPECT_NE(log.find("rx 11 03 00 06 00 01 66 9B reply"), std::string::npos) << log;
    benchline::Down(line);
}

TEST(BenchLine, CommandRunsAProgramOnTheDemonstrationLine)
{
    QM_REQUIRE_SANDBOX();
    auto r = qmtest::Run({qmtest::BinDir() + "/qmbenchline", "--", "qmveskar", "1", "17", "20"}, {},
                         "", 180);
    EXPECT_EQ(r.out,
              std::string(kReferenceLine) + "00000000001,018\n00000000001,019\n00000000001,020\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("qmbenchline: line 1 on /dev/pts/"), std::string::npos) << r.err;
    EXPECT_TRUE(Record(1).empty()); // torn down
    // The command's exit status is passed on; a shell sees the line's environment.
    r = qmtest::Run({qmtest::BinDir() + "/qmbenchline", "-i", "4", "--", "/bin/sh", "-c",
                     "test \"$QM_BENCH_LINE\" = 4 && test -e /dev/$QM_BENCH_TTY && exit 3"});
    EXPECT_EQ(r.status, 3) << r.err;
    r = qmtest::Run({qmtest::BinDir() + "/qmbenchline", "--", "qmveskar"}, {"QM_SANDBOX="});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("outside the test sandbox"), std::string::npos) << r.err;
    EXPECT_EQ(qmtest::Run({qmtest::BinDir() + "/qmbenchline"}).status, 2); // usage
}

TEST(Peers, MbpollReadsTheDescribedRegisters)
{
    QM_REQUIRE_SANDBOX();
    benchline::Config c;
    c.description = std::string(kReference) + "device 18\nreg 0 1 2 3 0xFFFF\n";
    c.writeRecord = false;
    c.emulation = false;
    benchline::Line line;
    std::string error;
    ASSERT_TRUE(benchline::Up(line, c, error)) << error;
    std::string base = "mbpoll -m rtu -b 9600 -P none -1 -0 -t 4:hex -o 1 ";
    HostResult r = Host(base + "-a 17 -r 0 -c 7 " + line.ttyPath);
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char *v :
         {"[0]: \t0x0123", "[1]: \t0x4142", "[2]: \t0x1EE3", "[3]: \t0x0000", "[6]: \t0x0107"})
        EXPECT_NE(r.out.find(v), std::string::npos) << v << "\n" << r.out;
    r = Host(base + "-a 18 -r 1 -c 3 " + line.ttyPath);
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char *v : {"[1]: \t0x0002", "[2]: \t0x0003", "[3]: \t0xFFFF"})
        EXPECT_NE(r.out.find(v), std::string::npos) << v << "\n" << r.out;
    // An absent address: mbpoll times out and fails.
    r = Host(base + "-a 30 -r 0 -c 1 " + line.ttyPath);
    EXPECT_NE(r.status, 0) << r.out;
    benchline::Down(line);
}

class PeerSlave : public ::testing::TestWithParam<const char *>
{
};

TEST_P(PeerSlave, StandsInForTheSimulator)
{
    QM_REQUIRE_SANDBOX();
    std::string peer = GetParam();
    if (peer == "libmodbus" && !qmtest::Exists(qmtest::BinDir() + "/qmmodbusslave"))
        GTEST_SKIP() << "qmmodbusslave is not built here: libmodbus is installed for the "
                        "host's architecture only (the i386 build goes without it)";
    benchline::Config c;
    c.peer = peer;
    c.peerAddress = 17;
    c.emulation = true;
    benchline::Line line;
    std::string error;
    ASSERT_TRUE(benchline::Up(line, c, error)) << error;
    {
        Master m(line.ttyPath);
        EXPECT_EQ(m.Ask(ReadRegs(17, 0, 1)).bytes, Frame({0x11, 0x03, 0x02, 0x01, 0x23}));
        // A scan over absent addresses and the line-test poll must not put the slave out of
        // step: it still answers every question to its own address afterwards.
        for (uint8_t a = 1; a <= 6; ++a)
            EXPECT_TRUE(m.Ask(ReadRegs(a, 0, 1), 0.15).bytes.empty()) << int(a);
        EXPECT_TRUE(m.Ask(Frame({0xF9, 0xFD, 0x08, 0x00, 0x00, 0x01}), 0.15).bytes.empty());
        EXPECT_EQ(m.Ask(ReadRegs(17, 1, 2)).bytes,
                  Frame({0x11, 0x03, 0x04, 0x41, 0x42, 0x1E, 0xE3}));
        EXPECT_TRUE(m.Ask(ReadRegs(16, 0, 1), 0.15).bytes.empty());
        EXPECT_EQ(m.Ask(ReadRegs(17, 6, 1)).bytes, Frame({0x11, 0x03, 0x02, 0x01, 0x07}));
    }
    // The discovery command identifies it as it does the simulated reference device.
    auto r = Qmveskar(line, {"1", "15", "17"});
    EXPECT_EQ(r.out, std::string("00000000001,015\n00000000001,016\n") + kReferenceLine);
    EXPECT_EQ(r.status, 0) << r.err;
    pid_t pid = line.peerPid;
    std::string err = qmtest::ReadFile(line.simErr);
    benchline::Down(line);
    EXPECT_FALSE(Alive(pid));
    EXPECT_EQ(line.simExit, 0) << err;
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerSlave, ::testing::Values("pymodbus", "libmodbus"));
