// Holding back the handled signals.
#include "signal_block.h"

void handledSignals(sigset_t *set)
{
    sigemptyset(set);
    for (int sig : HANDLED_SIGNALS)
        sigaddset(set, sig);
}

void blockHandledSignals(sigset_t *old)
{
    sigset_t set;
    handledSignals(&set);
    sigprocmask(SIG_BLOCK, &set, old);
}
