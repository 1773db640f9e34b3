// testsupport.h - helpers shared by the test programs: running the built executables
// (under the emulator in the 32-bit build), files, and the sandbox check.
#pragma once

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "clockread.h"

namespace qmtest {

struct ProcResult {
    int status = -1;     // exit status, or 128 + signal number
    std::string out;     // standard output
    std::string err;     // standard error
};

// Directory of the build outputs (qmveskar, libqmveskar.so, ...).
std::string BinDir();
std::string SourceDir();
// The emulator prefix of the 32-bit build ("" on x86-64).
std::string Emulator();
bool Sanitized();

// Runs argv[0] (a path) with the rest as arguments, the emulator prepended when the
// build has one, with extra "NAME=value" environment entries and the given input.
// Waits at most timeoutSeconds, then kills it (status -1).
ProcResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
               const std::string &input = "", int timeoutSeconds = 120);
// Runs the built qmveskar with the given arguments.
ProcResult RunQmveskar(const std::vector<std::string> &args,
                       const std::vector<std::string> &env = {}, int timeoutSeconds = 120);

bool InSandbox();
std::string ReadFile(const std::string &path, bool *exists = nullptr);
void WriteFile(const std::string &path, const std::string &content);
bool Exists(const std::string &path);
// The names in a folder, without "." and "..", sorted.
std::vector<std::string> DirEntries(const std::string &dir);
// The descriptors open in this process (/proc/self/fd), without the one that lists them.
std::set<int> OpenDescriptors();

// A disk that is full, for the writers' failure paths: a tmpfs of kib KiB mounted over
// dir (in the sandbox's own mount namespace; false when it cannot be mounted), and a
// filler file that takes every byte left in the file system that holds dir (its path).
bool MountSmallTmpfs(const std::string &dir, int kib);
void Unmount(const std::string &dir);
std::string FillUp(const std::string &dir);
[[gnu::always_inline]] inline double NowSeconds() { return qmclock::Monotonic(); }  // see clockread.h

} // namespace qmtest

// Tests that touch the unit's system paths run only inside the sandbox.
#define QM_REQUIRE_SANDBOX()                                                                  \
    do {                                                                                      \
        if (!qmtest::InSandbox())                                                             \
            GTEST_SKIP() << "not inside the private mount namespace (run through ctest)";     \
    } while (0)
