// cmdline.cpp - the command line: version block, argument errors, the scan plan and the
// hand-over to the scan driver. Error codes go to standard output, where the caller reads.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "discovery.h"
#include "internal.h"

uint16_t ScanPlan[256];
int32_t PlannedTotal = 0;
int32_t DoneCount = 0;
bool DebugFlag = false;

namespace {

constexpr const char *kBanner = "QMVESKAR V4.0.0";
constexpr const char *kBuildDate = "Oct  2 2014";

void IgnoreSignal(int) {}

int Fail(const char *code)
{
    printf("%s\n", code);
    fflush(stdout);
    return 1;
}

// The do-nothing handler keeps these signals from ending a scan once it has started.
// SIGSEGV keeps its default: returning from a handler would only repeat the fault.
bool InstallCatchAll()
{
    const int signals[] = {SIGPIPE, SIGINT, SIGTERM, SIGIO, SIGABRT};
    struct sigaction action = {};
    action.sa_handler = IgnoreSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : signals)
        if (sigaction(sig, &action, nullptr) != 0)
            return false;
    return true;
}

} // namespace

int ParseArguments(int argc, char **argv, StrArray **linesOut)
{
    *linesOut = nullptr;
    OwnPid = int32_t(getpid());
    PlannedTotal = 0;
    DoneCount = 0;

    if (argc == 2) {
        if (strcmp(argv[1], "-r") == 0) {
            printf("%s\n%s\n", kBanner, kBuildDate);
            fflush(stdout);
        }
        return 0;
    }
    for (uint16_t &slot : ScanPlan)
        slot = kNotPlanned;
    if (argc < 2)
        return Fail("-1");

    StrArray *lines = Explode(argv[1], ',');
    if (!lines)
        return Fail("-2");

    DebugFlag = false;
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "-d") == 0)
            DebugFlag = true;

    StrArray *addresses = Explode(argv[2], ',');
    if (!addresses) {
        ArrayFree(lines);
        return Fail("-4");
    }
    if (!InstallCatchAll()) {
        ArrayFree(addresses);
        ArrayFree(lines);
        return Fail("-5");
    }

    int count = StrArrayGetCount(addresses);
    if (count >= 2) {
        PlannedTotal += count;
        for (int i = 0; i < count; ++i) {
            const char *element = StrArrayGetAtElement(addresses, i);
            int value = Decimal32(element);
            if (value >= 1 && value <= 255)
                ScanPlan[value] = uint16_t(value);
        }
        ArrayFree(addresses);
    } else {
        ArrayFree(addresses);
        if (argc == 3) {
            ArrayFree(lines);
            return Fail("-5");
        }
        int first = Decimal32(argv[2]);
        int last = Decimal32(argv[3]);
        if (first < 1 || first > 255 || last < 1 || last > 255 || first > last) {
            ArrayFree(lines);
            return Fail("-6");
        }
        for (int a = first; a <= last; ++a)
            ScanPlan[a] = uint16_t(a);
        PlannedTotal += last - first + 1;
    }
    *linesOut = lines;
    return kHandOver;
}

int DiscoveryMain(int argc, char **argv)
{
    StrArray *lines = nullptr;
    int status = ParseArguments(argc, argv, &lines);
    return status == kHandOver ? RunScan(lines) : status;
}
