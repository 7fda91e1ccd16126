// Passing a signal on to the tool: what a package whose settings say
// "forward" does with a signal that another process sends to the launcher
// while the tool runs (a service manager's SIGTERM, a scheduler's SIGUSR1).
#ifndef LAUNCHER_SIGNAL_FORWARD_H
#define LAUNCHER_SIGNAL_FORWARD_H

#include <csignal>

// Starts the tool's command line with the handled signals held back until
// its process number is known, so that no signal can arrive before there is
// a process to pass it to; then waits for it. The tool's exit code, as
// executeProcess gives it.
int runTool(const char *line);

// From the handler while the tool runs: passes `sig` on to the tool when
// the package forwards signals, the signal is one of SIGTERM, SIGINT,
// SIGHUP, SIGQUIT, SIGUSR1 and SIGUSR2, and another process sent it
// (SI_USER or SI_QUEUE); a signal from the terminal has reached the tool
// already. True when it was passed on. Async-signal-safe.
bool forwardToTool(int sig, const siginfo_t *info);

// True once a signal was passed on: the tool's status is then the answer,
// and no failure shell opens for it.
bool signalForwarded();

#endif
