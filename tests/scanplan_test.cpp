// The scan plan built from the command line: planned slots, scan order, planned total,
// debug flag and line list, as the scan driver receives them.
#include <csignal>
#include <cstring>

#include "discovery.h"
#include "testsupport.h"

namespace {

struct Parsed {
    int status;
    std::vector<int> planned;  // slot indexes in scan order
    int total;
    bool debug;
    std::vector<std::string> lines;
};

Parsed Parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "qmveskar");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    StrArray *lines = nullptr;
    testing::internal::CaptureStdout();
    Parsed p{ParseArguments(int(args.size()), argv.data(), &lines), {}, 0, false, {}};
    testing::internal::GetCapturedStdout();
    for (int slot = 0; slot < 256; ++slot) {
        if (ScanPlan[slot] != kNotPlanned) {
            EXPECT_EQ(ScanPlan[slot], slot) << "a planned slot holds its own index";
            p.planned.push_back(slot);
        }
    }
    p.total = PlannedTotal;
    p.debug = DebugFlag;
    for (int i = 0; i < StrArrayGetCount(lines); ++i)
        p.lines.push_back(StrArrayGetAtElement(lines, i));
    ArrayFree(lines);
    return p;
}

using V = std::vector<int>;

} // namespace

TEST(ScanPlan, ListModeSkipsBadElementsButCountsThem)
{
    auto p = Parse({"1", "3,300,0,7"});
    EXPECT_EQ(p.status, kHandOver);
    EXPECT_EQ(p.planned, (V{3, 7}));
    EXPECT_EQ(p.total, 4);
    p = Parse({"1", "7,3,3"});
    EXPECT_EQ(p.planned, (V{3, 7}));  // ascending, whatever the command line's order
    EXPECT_EQ(p.total, 3);
    p = Parse({"1", "x,-2,255,4,"});
    EXPECT_EQ(p.planned, (V{4, 255}));  // 255 is the line test
    EXPECT_EQ(p.total, 5);
}

TEST(ScanPlan, AddressesBeyondThe32BitRangeAreNoAddresses)
{
    // Held to int32 on every build, not cut to their low 32 bits (2^32 + 5 is not 5).
    auto p = Parse({"1", "4294967301,7,4294967551"});
    EXPECT_EQ(p.status, kHandOver);
    EXPECT_EQ(p.planned, (V{7}));
    EXPECT_EQ(p.total, 3);
    p = Parse({"1", "4294967297", "4294967300"});
    EXPECT_EQ(p.status, 1);
    EXPECT_TRUE(p.planned.empty());
}

TEST(ScanPlan, RangeMode)
{
    auto p = Parse({"1", "5", "5"});
    EXPECT_EQ(p.status, kHandOver);
    EXPECT_EQ(p.planned, (V{5}));
    EXPECT_EQ(p.total, 1);
    p = Parse({"1", "250", "255"});
    EXPECT_EQ(p.planned, (V{250, 251, 252, 253, 254, 255}));
    EXPECT_EQ(p.total, 6);
    p = Parse({"1", "1", "255"});
    EXPECT_EQ(p.planned.size(), 255u);
    EXPECT_EQ(p.total, 255);
}

TEST(ScanPlan, DebugFlagAnywhereAfterTheProgramName)
{
    EXPECT_TRUE(Parse({"1", "5", "9", "-d"}).debug);
    EXPECT_TRUE(Parse({"1", "5,6", "-d"}).debug);
    EXPECT_FALSE(Parse({"1", "5", "9"}).debug);
    EXPECT_FALSE(Parse({"1", "5", "9", "-dd"}).debug);
    auto p = Parse({"-d", "5", "9"});  // "-d" as the line list is a line list too
    EXPECT_TRUE(p.debug);
    EXPECT_EQ(p.lines, (std::vector<std::string>{"-d"}));
}

TEST(ScanPlan, LineListKeepsEveryElement)
{
    auto p = Parse({"1,3,,x", "5", "6"});
    EXPECT_EQ(p.lines, (std::vector<std::string>{"1", "3", "", "x"}));
}

TEST(ScanPlan, ErrorsLeaveNoPlanBehind)
{
    EXPECT_EQ(Parse({"1", "10", "5"}).status, 1);
    EXPECT_EQ(Parse({"1", "10", "5"}).planned, V{});
    EXPECT_EQ(Parse({"1", "5"}).status, 1);
    EXPECT_EQ(Parse({}).status, 1);
    EXPECT_EQ(Parse({"-r"}).status, 0);
}

TEST(ScanPlan, CatchAllHandlersInstalled)
{
    Parse({"1", "5", "6"});
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGIO, SIGABRT}) {
        struct sigaction now;
        sigaction(sig, nullptr, &now);
        EXPECT_NE(now.sa_handler, SIG_DFL) << sig;
        EXPECT_NE(now.sa_handler, SIG_IGN) << sig;
    }
    if (qmtest::Sanitized())
        return;  // the sanitizer runtime owns SIGSEGV
    struct sigaction segv;
    sigaction(SIGSEGV, nullptr, &segv);
    EXPECT_EQ(segv.sa_handler, SIG_DFL);  // a memory fault still ends the process
}

// Every total ends a completed scan at 100 and stays below it before the last address,
// the same on every build; the thirds and the half come out as before.
TEST(Progress, CompletedScanEndsAt100ForEveryTotal)
{
    for (int64_t total = 1; total <= 200; ++total) {
        EXPECT_EQ(ProgressPercent(total, total), 100) << total;
        EXPECT_LT(ProgressPercent(total - 1, total), 100) << total;
    }
    EXPECT_EQ(ProgressPercent(1, 3), 33);
    EXPECT_EQ(ProgressPercent(2, 3), 66);
    EXPECT_EQ(ProgressPercent(4, 8), 50);
}

TEST(Progress, HugeLineListNeitherOverflowsNorStops)
{
    const int64_t total = ScanTotalFor(256, INT32_MAX);
    EXPECT_EQ(total, int64_t(256) * INT32_MAX);
    EXPECT_EQ(ProgressPercent(total / 2, total), 50);
    EXPECT_EQ(ProgressPercent(total, total), 100);
}
