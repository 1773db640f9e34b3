// signals.cpp - one handler (or SIG_DFL / SIG_IGN) for the unit's fixed set of signals.
#include <csignal>

#include "qmveskar.h"

namespace {
// In this order; every other signal keeps its disposition.
constexpr int kSignals[] = {SIGABRT, SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE, SIGALRM,
                            SIGTERM, SIGUSR1,   SIGUSR2, SIGBUS,  SIGSTKFLT, SIGIO,
                            SIGXCPU, SIGXFSZ,   SIGVTALRM, SIGPROF, SIGPWR,  SIGSEGV};
} // namespace

extern "C" int InstallSignalHangler(void (*handler)(int))
{
    for (int sig : kSignals)
        signal(sig, handler);
    return 1;
}
