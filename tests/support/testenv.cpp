// testenv.cpp - the test run's environment (see testenv.h).
#include "testenv.h"

#include <cstdlib>

namespace qmtest {

std::string Env(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v ? v : fallback;
}

std::string BinDir() { return Env("QM_BIN_DIR", "."); }
std::string SourceDir() { return Env("QM_SOURCE_DIR", ".."); }
std::string Emulator() { return Env("QM_EMULATOR"); }
bool Sanitized() { return !Env("QM_SANITIZE").empty(); }
bool InSandbox() { return Env("QM_SANDBOX") == "1"; }

} // namespace qmtest
