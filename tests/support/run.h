// run.h - running programs from a test: the built executables (under the emulator in the
// 32-bit build) with their output captured, or started in the background.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace qmtest {

struct ProcResult {
    int status = -1;     // exit status, or 128 + signal number
    std::string out;     // standard output
    std::string err;     // standard error
};

// Runs argv[0] (a path) with the rest as arguments, the emulator prepended when the
// build has one, with extra "NAME=value" environment entries and the given input.
// Waits at most timeoutSeconds, then kills it (status -1).
ProcResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
               const std::string &input = "", int timeoutSeconds = 120);
// Runs the built qmveskar with the given arguments.
ProcResult RunQmveskar(const std::vector<std::string> &args,
                       const std::vector<std::string> &env = {}, int timeoutSeconds = 120);
// Starts a program in the background, its output into the given files (the emulator
// prepended in the 32-bit build when emulated is true).
pid_t Spawn(const std::vector<std::string> &argv, bool emulated = true,
            const std::string &outFile = "/dev/null", const std::string &errFile = "/dev/null",
            const std::vector<std::string> &env = {});
// Waits at most timeoutSeconds for the child pid, then kills it: its exit status, 128 +
// signal number, or -1 when it was killed here.
int WaitExit(pid_t pid, int timeoutSeconds);
// Kills the child pid and reaps it.
void KillChild(pid_t pid);
// A waitpid status as exit status, or 128 + signal number.
int ExitStatus(int waitStatus);

} // namespace qmtest
