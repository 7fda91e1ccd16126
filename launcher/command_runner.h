// Running the tool's command line at the end of a launch.
#ifndef LAUNCHER_COMMAND_RUNNER_H
#define LAUNCHER_COMMAND_RUNNER_H

#include "command_line.h"

#include <cstddef>

// For a package whose tool starts in the caller's directory: that
// directory, held open from the start of the launch; -1 for every other
// package.
int openCallerDirectory();

// Closes the package, runs "chmod 777 *", exports the tree as
// QUARN_PORTABLE_DIR, follows the line's leading directory change and runs
// the rest with the handler only recording signals: the tool's exit code.
// With callerDirFd (openCallerDirectory) the line's program is named by its
// path in the tree and the tool starts in that directory instead.
int runSelectedCommand(char line[COMMAND_LINE_SIZE], std::size_t recordEnd, int packageFd, int callerDirFd);

// The same without "chmod 777 *", for a tree that is ready as it stands
// (a cache entry): the current directory is the tree.
int runCommandInTree(char line[COMMAND_LINE_SIZE], std::size_t recordEnd, int packageFd, int callerDirFd);

#endif
