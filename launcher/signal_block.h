// The signals that the launcher's handler takes, and holding them back
// while a step must not be cut in two.
#ifndef LAUNCHER_SIGNAL_BLOCK_H
#define LAUNCHER_SIGNAL_BLOCK_H

#include <csignal>

// Every signal whose default action would end the launcher without its
// clean-up, except the synchronous faults, which keep their default action:
// after one of those nothing in the process can be trusted any more.
constexpr int HANDLED_SIGNALS[] = {SIGINT,  SIGTERM,   SIGQUIT, SIGHUP,  SIGALRM, SIGUSR1,
                                   SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,   SIGPWR};

// Fills set with the handled signals.
void handledSignals(sigset_t *set);

// Holds back the handled signals; *old receives the mask to restore with
// sigprocmask(SIG_SETMASK, old, nullptr).
void blockHandledSignals(sigset_t *old);

#endif
