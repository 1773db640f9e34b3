// serial_testkit.h - helpers of the serial-link tests: a forked child with its standard
// error captured, dropping capabilities in it, and the scheduling policy of a thread.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>

namespace serialtest {

struct ChildResult {
    int status = -1;   // exit status, or 128 + signal number
    std::string err;   // what the child wrote on standard error
};

// Runs body in a forked child; its return value is the exit status.
ChildResult InChild(const std::function<int()> &body, int timeoutSeconds = 60);

// Clears the given capabilities (CAP_* numbers) from the calling process's effective,
// permitted and inheritable sets. False when the kernel refuses.
bool DropCapabilities(std::initializer_list<int> caps);

// A do-nothing SIGIO handler (SA_RESTART), as the command installs: the open line raises
// SIGIO on input, which must only cut sleeps and waits short.
void CatchSigio();

// The calling thread's policy and priority.
int CurrentPolicy(int *priority = nullptr);

} // namespace serialtest
