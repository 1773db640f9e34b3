// schedpolicy.cpp - the scheduling policy a thread runs under (see schedpolicy.h).
#include "schedpolicy.h"

#include <pthread.h>
#include <sched.h>

namespace qmtest {

int CurrentPolicy(int *priority)
{
    int policy = -1;
    sched_param param = {};
    pthread_getschedparam(pthread_self(), &policy, &param);
    if (priority)
        *priority = param.sched_priority;
    return policy;
}

} // namespace qmtest
