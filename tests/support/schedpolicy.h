// schedpolicy.h - the scheduling policy a thread runs under.
#pragma once

namespace qmtest {

// The calling thread's policy (SCHED_*) and priority.
int CurrentPolicy(int *priority = nullptr);

} // namespace qmtest
