// child.h - a test body run in a forked child, so that process-wide changes stay there.
#pragma once

#include <functional>
#include <string>

namespace qmtest {

struct ChildResult {
    int status = -1;   // exit status, or 128 + signal number
    std::string err;   // what the child wrote on standard error
};

// Runs body in a forked child with its standard error captured; body's return value is
// the exit status. Killed (SIGKILL) after timeoutSeconds.
ChildResult InChild(const std::function<int()> &body, int timeoutSeconds = 60);

} // namespace qmtest
