// The discovery command end to end on the virtual field line: the unmodified qmveskar
// binary with the UART emulation, against simulated controllers on a paced pty line.
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "discoverybench.h"
#include "uartemu_trace.h"

using namespace disc;

namespace {

std::string Device(int address, const std::string &body = kReferenceDevice)
{
    return "device " + std::to_string(address) + "\n" + body;
}

// Reads the progress file until the command ends; returns the distinct values in order,
// and whether the file was gone at the end.
struct Progress {
    std::vector<int> values;
    bool removed = false;
};

Progress FollowProgress(Started &run, qmtest::ProcResult *result)
{
    Progress p;
    for (;;) {
        bool exists = false;
        std::string text = qmtest::ReadFile("/dev/shm/discovery_perc", &exists);
        if (exists && !text.empty()) {
            int v = std::stoi(text);
            if (p.values.empty() || p.values.back() != v)
                p.values.push_back(v);
        }
        siginfo_t info{};
        if (waitid(P_PID, run.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == run.pid)
            break;
        usleep(1000);
    }
    *result = Wait(run);
    p.removed = !qmtest::Exists("/dev/shm/discovery_perc");
    return p;
}

// The file holds "0" only for the moment between its creation and the first address, which
// polling rarely sees; ProgressFileIsCreatedWithZero proves that moment on its own.
void ExpectProgress(std::vector<int> got, const std::vector<int> &want)
{
    if (!got.empty() && got.front() != 0)
        got.insert(got.begin(), 0);
    EXPECT_EQ(got, want);
}

class Discovery : public testing::Test {
protected:
    void SetUp() override { QM_REQUIRE_SANDBOX(); }
    void TearDown() override
    {
        for (auto &s : sims)
            StopSim(s);
        unlink("/etc/quor/db/sysconfig/quorLan.db");
        unlink("/etc/quor/db/devices/decode.models");
        unlink("/etc/quor/db/devices/transtable.models");
        unlink("/tmp/qmstat.calls");
    }
    // A simulator with the description and a line record for it.
    Sim &Line(int id, const std::string &description, LineRow row = {})
    {
        row.id = id;
        sims.push_back(StartSim("line 9600 8N1\n" + description, row));
        return sims.back();
    }
    std::vector<Sim> sims;
};

} // namespace

TEST_F(Discovery, ReferenceControllerReportLine)
{
    Line(1, Device(17));
    auto r = RunQmveskarOnBench({"1", "17", "17"});
    EXPECT_EQ(r.out, ReferenceLine(1, 17) + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(qmtest::Exists("/dev/shm/uart_lck"));
    EXPECT_FALSE(qmtest::Exists("/dev/shm/discovery_perc"));
}

// The status tool, run through the shell during the line test, inherits nothing of the
// command's own (the field port above all): every descriptor it opens is close-on-exec.
TEST_F(Discovery, ThreeSlotRunWithLineTest)
{
    Line(3, Device(1) + "linetest\n");
    Started run = StartQmveskar({"3", "1,2,255"}, "", "", {"QMSTAT_FDS=/tmp/qmstat.fds"});
    qmtest::ProcResult r;
    Progress p = FollowProgress(run, &r);
    EXPECT_EQ(r.out, ReferenceLine(3, 1) + "\n00000000003,002\n10101010\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    ExpectProgress(p.values, {0, 33, 66});
    EXPECT_TRUE(p.removed);
    EXPECT_EQ(qmtest::ReadFile("/tmp/qmstat.calls"), "8 60000 qmacq\n8 0 qmacq\n");
    EXPECT_EQ(qmtest::ReadFile("/tmp/qmstat.fds"), "");
}

TEST_F(Discovery, ProgressFileIsCreatedWithZero)
{
    // Standard error is a pipe with room for "Locking uart..\n" only: the command blocks on
    // the next trace, which follows the creation of the progress file.
    Line(1, Device(1));
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    int capacity = fcntl(err[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    std::string fill(size_t(capacity) - 15 - 4, 'x');
    ASSERT_EQ(write(err[1], fill.data(), fill.size()), ssize_t(fill.size()));
    std::vector<std::string> argv{qmtest::BinDir() + "/qmveskar", "1", "1,2", "-d"};
    std::vector<std::string> env;
    uartemu::PreloadCommand(argv, env);
    pid_t pid = Spawn(argv, true, "/dev/null", "/proc/self/fd/" + std::to_string(err[1]), env);
    close(err[1]);
    std::string seen;
    for (int i = 0; i < 2000 && seen.empty(); ++i) {
        usleep(5000);
        seen = qmtest::ReadFile("/dev/shm/discovery_perc");
    }
    EXPECT_EQ(seen, "0");
    usleep(200000);
    EXPECT_EQ(qmtest::ReadFile("/dev/shm/discovery_perc"), "0");  // still blocked there
    std::string trace;
    char buf[4096];
    ssize_t n;
    while ((n = read(err[0], buf, sizeof buf)) > 0)
        trace.append(buf, size_t(n));
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(trace.substr(fill.size(), 36), "Locking uart..\nReading uart setup..\n");
    EXPECT_FALSE(qmtest::Exists("/dev/shm/discovery_perc"));
}

TEST_F(Discovery, LineTestOnly)
{
    Line(1, "linetest\n");
    Started run = StartQmveskar({"1", "255", "255"});
    qmtest::ProcResult r;
    Progress p = FollowProgress(run, &r);
    EXPECT_EQ(r.out, "10101010\n");
    EXPECT_EQ(p.values, (std::vector<int>{0}));
    EXPECT_TRUE(p.removed);
}

// An 8250 port hands the looped-back frame over in two batches (16 bytes, then 4), each
// with SIGIO: the line test still counts the whole frame.
TEST_F(Discovery, LineTestOnAPortThatLoopsBackInBatches)
{
    Line(1, "linetest\n");
    qmtest::WriteFile("/tmp/ctl-fifo", "loop_fifo=1\n");
    auto r = RunQmveskarOnBench({"1", "255", "255"}, "", "/tmp/ctl-fifo");
    EXPECT_EQ(r.out, "10101010\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Discovery, LineTestCountsFailures)
{
    // Loopback returns nothing (-3 each time), and nobody answers address 249.
    Line(1, Device(5));
    qmtest::WriteFile("/tmp/ctl-silent", "loop=silent\n");
    auto r = RunQmveskarOnBench({"1", "255", "255"}, "", "/tmp/ctl-silent");
    EXPECT_EQ(r.out, "10001000\n");
    // One corrupted byte (-5 each time) while the test address answers every poll.
    Line(2, "linetest\n");
    qmtest::WriteFile("/tmp/ctl-corrupt", "loop=corrupt\n");
    r = RunQmveskarOnBench({"2", "255", "255"}, "", "/tmp/ctl-corrupt");
    EXPECT_EQ(r.out, "10001010\n");
    EXPECT_EQ(qmtest::ReadFile("/tmp/qmstat.calls"),
              "8 60000 qmacq\n8 0 qmacq\n8 60000 qmacq\n8 0 qmacq\n");
}

TEST_F(Discovery, StatusToolOutputNeverReachesTheReport)
{
    Line(1, "linetest\n");
    auto r = RunQmveskarOnBench({"1", "255", "255"}, "", "", {"QMSTAT_NOISE=qmstat: busy"});
    EXPECT_EQ(r.out, "10101010\n");
    unlink("/usr/bin/qmstat");  // a missing tool: the shell's message must not show either
    r = RunQmveskarOnBench({"1", "255", "255"});
    EXPECT_EQ(r.out, "10101010\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Discovery, ShortLinesForSilentAndPartlyAnsweringDevices)
{
    Line(1, Device(4, std::string(kReferenceDevice) + "answers 1\n") +  // query 1 only
                Device(6, std::string(kReferenceDevice) + "fault badcrc\n") +
                Device(7, std::string(kReferenceDevice) + "answers 2\n"));  // not query 3
    auto r = RunQmveskarOnBench({"1", "4", "7"});
    EXPECT_EQ(r.out, "00000000001,004\n00000000001,005\n00000000001,006\n00000000001,007\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Discovery, TranslationRuleReplacesModelAndWords)
{
    WriteModelFile("transtable.models",
                   "# model bytes, match words, model, output words\n"
                   "41421ee3 * * * abc12x 00fe * 0200\n"
                   "41421ee3 * * * never * * *\n");
    Line(1, Device(17));
    auto r = RunQmveskarOnBench({"1", "17", "17"});
    EXPECT_EQ(r.out, "00000000001,017,00FE,0023,ABC12X,0200,[ 41 42 1e e3 ]\n");
}

TEST_F(Discovery, ModelNamesFromDecodeModels)
{
    // Digit form with suffix code 0x21: the name comes from decode.models ("CX" without it).
    std::string regs = "reg 0 0x0205\nreg 1 0x4335 0x0041\nreg 6 0x0100\n";
    Line(1, Device(9, regs));
    auto r = RunQmveskarOnBench({"1", "9", "9"});
    EXPECT_EQ(r.out, "00000000001,009,0002,0005,XC5001CX,0100,[ 43 35 00 41 ]\n");
    WriteModelFile("decode.models", "0021 plus\r\n0021 other\r\n");
    r = RunQmveskarOnBench({"1", "9", "9"});
    EXPECT_EQ(r.out, "00000000001,009,0002,0005,XC5001PLUS,0100,[ 43 35 00 41 ]\n");
}

TEST_F(Discovery, ReportBytesCarryOverFromThePreviousDevice)
{
    // Device 18 answers every read with two data bytes 55 66.
    Line(1, Device(17) + Device(18, "reply 03 02 55 66\n"));
    auto r = RunQmveskarOnBench({"1", "17,18"});
    EXPECT_EQ(r.out, ReferenceLine(1, 17) + "\n00000000001,018,0055,0066,,5566,[ 55 66 1e e3 ]\n");
    r = RunQmveskarOnBench({"1", "18", "18"});  // a fresh process: zeros after the two bytes
    EXPECT_EQ(r.out, "00000000001,018,0055,0066,,5566,[ 55 66 00 00 ]\n");
}

TEST_F(Discovery, TwoLinesShareOneProgress)
{
    Line(1, Device(2));
    Line(2, Device(3));
    Started run = StartQmveskar({"1,2", "1", "4"});
    qmtest::ProcResult r;
    Progress p = FollowProgress(run, &r);
    ExpectProgress(p.values, {0, 12, 25, 37, 50, 62, 75, 87, 100});
    EXPECT_TRUE(p.removed);
    EXPECT_EQ(r.out, "00000000001,001\n" + ReferenceLine(1, 2) +
                         "\n00000000001,003\n00000000001,004\n"
                         "00000000002,001\n00000000002,002\n" +
                         ReferenceLine(2, 3) + "\n00000000002,004\n");
}

namespace {

// The traces of the slot walk of one line: the query traces after the given slots.
std::string SlotTraces(const std::vector<std::pair<int, std::string>> &queries)
{
    std::string traces;
    for (int slot = 0; slot < 256; ++slot) {
        traces += "\t[ Grant? ]\n";
        for (const auto &[address, text] : queries)
            if (address == slot)
                traces += text;
    }
    return traces;
}

} // namespace

// Nothing on standard output for a skipped line; with -d one trace names the reason.
TEST_F(Discovery, LinesWithoutRecordOrPortAreSkipped)
{
    Line(1, Device(17));
    LineRow gone;
    gone.id = 2;
    gone.tty = "pts/9999";
    AddLine(gone);
    LineRow longName;
    longName.id = 4;
    longName.tty = std::string(40, 'x');  // does not fit the 28-byte tty buffer
    AddLine(longName);
    const std::string setting = "Reading uart setup..\nSetting uart: 9600,0,8,1\n";
    const std::string traces =
        "Locking uart..\nReading uart setup..\nSkipping line 7: no uart setup\n" + setting +
        "Skipping line 2: cannot open uart /dev/pts/9999\nReading uart setup..\n"
        "Skipping line 4: uart name over 27 characters\n" + setting +
        SlotTraces({{17, "Query_1=[01 23]\nQuery_2=[XAB123C]\nQuery_3=[0107]\n"}});
    for (bool debug : {false, true}) {
        std::vector<std::string> args{"7,2,4,1", "17", "17"};
        if (debug)
            args.push_back("-d");
        Started run = StartQmveskar(args);
        qmtest::ProcResult r;
        Progress p = FollowProgress(run, &r);
        EXPECT_EQ(r.out, ReferenceLine(1, 17) + "\n");
        EXPECT_EQ(r.err, debug ? traces : "");
        EXPECT_EQ(r.status, 0);
        ExpectProgress(p.values, {0, 25});  // skipped lines never count as done
    }
}

// Each answer on a trace line of its own, the model before translation; an address that
// answers the first question only still traces it.
TEST_F(Discovery, DebugTraces)
{
    WriteModelFile("transtable.models", "41421ee3 * * * renamed * * *\n");
    Line(1, Device(17) + Device(19, std::string(kReferenceDevice) + "answers 1\n"));
    auto r = RunQmveskarOnBench({"1", "17,19", "-d"});
    EXPECT_EQ(r.err, "Locking uart..\nReading uart setup..\nSetting uart: 9600,0,8,1\n" +
                         SlotTraces({{17, "Query_1=[01 23]\nQuery_2=[XAB123C]\nQuery_3=[0107]\n"},
                                     {19, "Query_1=[01 23]\n"}}));
    EXPECT_EQ(r.out, "00000000001,017,0001,0023,RENAMED,0107,[ 41 42 1e e3 ]\n00000000001,019\n");
}

// Numbers are read by their leading digits: 1.5 is line 1, 19x address 19, x15 and the
// empty element after a comma read as 0 and are skipped (and counted: 2 of 4 polled).
TEST_F(Discovery, NumbersAreReadByTheirLeadingDigits)
{
    Line(1, Device(15) + Device(19));
    Started run = StartQmveskar({"1.5", "15,x15,19x,"});
    qmtest::ProcResult r;
    Progress p = FollowProgress(run, &r);
    EXPECT_EQ(r.out, ReferenceLine(1, 15) + "\n" + ReferenceLine(1, 19) + "\n");
    ExpectProgress(p.values, {0, 25, 50});
    r = RunQmveskarOnBench({"1", "15,"});  // a list, not a range start: no -5
    EXPECT_EQ(r.out, ReferenceLine(1, 15) + "\n");
}

TEST_F(Discovery, InterruptAndTerminateDoNotEndTheScan)
{
    Line(1, Device(17));
    Started run = StartQmveskar({"1", "10", "25"});
    usleep(800000);
    kill(run.pid, SIGINT);
    usleep(100000);
    kill(run.pid, SIGTERM);
    auto r = Wait(run);
    EXPECT_EQ(r.status, 0);
    std::string want;
    for (int a = 10; a <= 25; ++a)
        want += a == 17 ? ReferenceLine(1, 17) + "\n" : "00000000001,0" + std::to_string(a) + "\n";
    EXPECT_EQ(r.out, want);
}

TEST_F(Discovery, DatabaseMissing)
{
    auto r = RunQmveskarOnBench({"1", "17", "17"});
    EXPECT_EQ(r.out, "-7\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(qmtest::Exists("/dev/shm/uart_lck"));
}
