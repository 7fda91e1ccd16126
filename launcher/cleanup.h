// Leaving cleanly on every way out: the signal handler and the removal of
// the working directory.
#ifndef LAUNCHER_CLEANUP_H
#define LAUNCHER_CLEANUP_H

#include <csignal>

// Installs interrupt for every handled signal (see handledSignals), and
// ignores SIGPIPE and SIGXFSZ, whose failed writes the launcher reports
// itself.
void installHandlers();

// Removes the working directory, through the descriptor of the directory
// that holds it, and releases the instance guard.
void cleanup();

// The handler. A fault signal that the launcher raised itself (or the
// kernel raised for it) takes its default action. Any other handled signal
// is recorded; outside a child it also removes the working directory,
// releases the guard and exits with status 1.
void interrupt(int sig, siginfo_t *info, void *context);

#endif
