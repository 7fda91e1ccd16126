// The handled signals, and holding them back.
#include "signal_block.h"

namespace {

// The signals below the real-time range whose default action ends the
// process and that mean "stop" when somebody sends them.
const int ENDING_SIGNALS[] = {SIGHUP,    SIGINT,  SIGQUIT,   SIGUSR1, SIGUSR2, SIGALRM, SIGTERM,
                              SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};

const int FAULT_SIGNALS[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};

} // namespace

void handledSignals(sigset_t *set)
{
    sigemptyset(set);
    for (int sig : ENDING_SIGNALS)
        sigaddset(set, sig);
    for (int sig : FAULT_SIGNALS)
        sigaddset(set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(set, sig);
}

bool isFaultSignal(int sig)
{
    for (int fault : FAULT_SIGNALS)
        if (sig == fault)
            return true;
    return false;
}

void blockHandledSignals(sigset_t *old)
{
    sigset_t set;
    handledSignals(&set);
    sigprocmask(SIG_BLOCK, &set, old);
}
