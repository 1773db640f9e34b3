// serial_testkit.h - helpers of the serial-link tests: a forked child with its standard
// error captured, dropping capabilities in it, the scheduling policy of a thread, and a
// hook on the calls that add or remove a directory entry or write to a named file.
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

// A program linked with -Wl,--wrap=unlink,--wrap=link,--wrap=linkat (the UART lock test)
// runs EntryHook (when set) before every such call whose removed or new name is HookedName;
// a non-zero return fails the call with that errno instead. The call names "unlink", "link"
// and "linkat"; with --wrap=pwrite also "pwrite", for a write to an open file of that name.
// Without the --wrap options, setting them has no effect.
extern const char *HookedName;
extern int (*EntryHook)(const char *call);

} // namespace serialtest
