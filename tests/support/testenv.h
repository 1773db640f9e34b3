// testenv.h - the test run's environment: the build's folders, its emulator and sanitizer,
// and whether the program runs inside the sandbox.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace qmtest {

// The environment variable name, or fallback when it is not set.
std::string Env(const char *name, const char *fallback = "");
// Directory of the build outputs (qmveskar, libqmveskar.so, ...).
std::string BinDir();
// The source tree.
std::string SourceDir();
// The emulator prefix of the 32-bit build ("" on x86-64).
std::string Emulator();
// True in a sanitizer build.
bool Sanitized();
// True inside the sandbox's private mount namespace.
bool InSandbox();

} // namespace qmtest

// Tests that touch the unit's system paths run only inside the sandbox.
#define QM_REQUIRE_SANDBOX()                                                                  \
    do {                                                                                      \
        if (!qmtest::InSandbox())                                                             \
            GTEST_SKIP() << "not inside the private mount namespace (run through ctest)";     \
    } while (0)
