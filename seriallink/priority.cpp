// priority.cpp - the real-time priority window around every transmission and reception:
// the calling thread runs at the highest SCHED_FIFO priority and returns to SCHED_OTHER.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sched.h>

#include "seriallink.h"

namespace {
// One set of scheduling parameters for the process; the transmitter, the loopback test
// and the receiver never overlap.
struct sched_param SchedParam;
} // namespace

void RtPriorityRaise()
{
    SchedParam.sched_priority = sched_get_priority_max(SCHED_FIFO);
    int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &SchedParam);
    if (rc != 0) {
        errno = rc;  // pthread calls return the error instead of setting errno
        perror("errore scheduler (entrata)");
    }
}

void RtPriorityDrop()
{
    SchedParam.sched_priority = 0;
    int rc = pthread_setschedparam(pthread_self(), SCHED_OTHER, &SchedParam);
    if (rc != 0) {
        errno = rc;
        perror("errore scheduler (uscita)");
    }
}
