// testenv.h - the test run's environment: the build's folders, its emulator and sanitizer,
// and whether the program runs inside the sandbox.
#pragma once

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace qmtest {

// The environment variable name, or fallback when it is not set.
inline std::string Env(const char *name, const char *fallback = "")
{
    const char *v = getenv(name);
    return v ? v : fallback;
}
// Directory of the build outputs (qmveskar, libqmveskar.so, ...).
inline std::string BinDir() { return Env("QM_BIN_DIR", "."); }
// The source tree.
inline std::string SourceDir() { return Env("QM_SOURCE_DIR", ".."); }
// The emulator prefix of the 32-bit build ("" on x86-64).
inline std::string Emulator() { return Env("QM_EMULATOR"); }
// True in a sanitizer build.
inline bool Sanitized() { return !Env("QM_SANITIZE").empty(); }
// True inside the sandbox's private mount namespace.
inline bool InSandbox() { return Env("QM_SANDBOX") == "1"; }

} // namespace qmtest

// Tests that touch the unit's system paths run only inside the sandbox.
#define QM_REQUIRE_SANDBOX()                                                                  \
    do {                                                                                      \
        if (!qmtest::InSandbox())                                                             \
            GTEST_SKIP() << "not inside the private mount namespace (run through ctest)";     \
    } while (0)
