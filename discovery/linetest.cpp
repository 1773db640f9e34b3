// linetest.cpp - the line self-test (plan slot 255): UART loopback ten times, then ten
// polls of the test address 249, framed by two calls of the unit's status tool.
#include <cstdio>
#include <cstdlib>

#include "discovery.h"

namespace {

constexpr uint8_t kTestAddress = 249;
constexpr int kRuns = 10;

// The tool's output and error output both go to /dev/null: neither the tool's messages nor
// the shell's own "not found" may reach our standard output, where the caller parses report
// lines.
void RunStatusTool(const char *arguments)
{
    char command[128];
    snprintf(command, sizeof command, "/usr/bin/qmstat %s > /dev/null 2>&1", arguments);
    fflush(stdout);
    if (system(command) == -1) {
        // The tool's result is not used; a shell that cannot start changes nothing.
    }
}

} // namespace

void RunLineTest()
{
    RunStatusTool("8 60000 qmacq");

    int loopbackPassed = 0;
    for (int i = 0; i < kRuns; ++i)
        if (TestUartLoopback(LineFd) == 1)
            ++loopbackPassed;
    printf("%02d%02d", kRuns, loopbackPassed);

    int pollsAnswered = 0;
    for (int i = 0; i < kRuns; ++i) {
        CurrentRequest = FreeRtuFrame(CurrentRequest);
        CurrentRequest = MakeRtuFrame(kTestAddress, IdentQuery[3].payload, IdentQuery[3].length);
        if (CurrentRequest && SendRtuFrame(CurrentRequest, LineFd) != 0 &&
            ReceiveRtuFrame(LineFd, kTestAddress))
            ++pollsAnswered;
    }
    printf("%02d%02d\n", kRuns, pollsAnswered);
    fflush(stdout);

    RunStatusTool("8 0 qmacq");
}
