// Leaving cleanly on every way out: the signal handler and the removal of
// the working directory.
#ifndef LAUNCHER_CLEANUP_H
#define LAUNCHER_CLEANUP_H

#include <csignal>

// Installs interrupt for SIGINT, SIGTERM, SIGQUIT, SIGHUP and the other
// signals whose default action ends the process (SIGALRM, SIGUSR1, SIGUSR2,
// SIGVTALRM, SIGPROF, SIGXCPU, SIGIO, SIGPWR), and ignores SIGPIPE and
// SIGXFSZ, whose failed writes the launcher reports itself.
void installHandlers();

// Removes the working directory and releases the instance guard.
void cleanup();

// The handler: records the signal; outside a child it also removes the
// working directory, releases the guard and exits with status 1.
void interrupt(int sig);

#endif
