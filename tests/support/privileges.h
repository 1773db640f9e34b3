// privileges.h - the test process's rights: capabilities taken away, for the paths that run
// without one, and the scheduling policy a thread runs under.
#pragma once

#include <initializer_list>

namespace qmtest {

// Clears the given capabilities (CAP_* numbers) from the calling process's effective,
// permitted and inheritable sets. False when the kernel refuses.
bool DropCapabilities(std::initializer_list<int> caps);
// Takes real-time scheduling out of the calling process's reach (RLIMIT_RTPRIO 0, no
// CAP_SYS_NICE). False when the kernel refuses.
bool RefuseRealTime();
// The calling thread's policy (SCHED_*) and priority.
int CurrentPolicy(int *priority = nullptr);

} // namespace qmtest
