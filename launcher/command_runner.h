// Running the tool's command line at the end of a launch.
#ifndef LAUNCHER_COMMAND_RUNNER_H
#define LAUNCHER_COMMAND_RUNNER_H

#include "command_line.h"

#include <cstddef>

// Closes the package, runs "chmod 777 *", follows the line's leading
// directory change and runs the rest with the handler only recording
// signals: the tool's exit code.
int runSelectedCommand(char line[COMMAND_LINE_SIZE], std::size_t recordEnd, int packageFd);

#endif
