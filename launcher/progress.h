// Where the launcher speaks: its progress lines, and the remarks that
// launchers have always printed on standard output.
#ifndef LAUNCHER_PROGRESS_H
#define LAUNCHER_PROGRESS_H

#include <cstdio>

// True when QUARN_PORTABLE_QUIET is set (even empty): the progress lines
// ("Extracting...", "Executing...") are left out, failures still speak.
bool quietProgress();

// Where "Extracting..." and "Executing..." go: standard output, standard
// error (progress "stderr"), or nowhere (null: progress "none", or
// QUARN_PORTABLE_QUIET).
FILE *progressStream();

// Where the launcher's remarks that are no failure of its own go ("Failed to
// change to directory", the --extract failure lines): standard output as
// always, standard error when the package keeps standard output for the
// tool (progress "stderr" or "none").
FILE *remarkStream();

#endif
