// The signals that the launcher's handler takes, and holding them back
// while a step must not be cut in two.
#ifndef LAUNCHER_SIGNAL_BLOCK_H
#define LAUNCHER_SIGNAL_BLOCK_H

#include <csignal>

// Fills set with the handled signals: every signal whose default action
// ends the process, the real-time range SIGRTMIN..SIGRTMAX included (the C
// library keeps the two below SIGRTMIN for itself), but SIGPIPE and
// SIGXFSZ, which the launcher ignores and reports as failed writes, and
// SIGKILL, which nobody can catch.
void handledSignals(sigset_t *set);

// True for the signals that the kernel raises on a fault of the process
// itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS): raised
// so, they keep their default action; sent by another process, they end
// the launcher like SIGTERM.
bool isFaultSignal(int sig);

// Holds back the handled signals; *old receives the mask to restore with
// sigprocmask(SIG_SETMASK, old, nullptr).
void blockHandledSignals(sigset_t *old);

#endif
