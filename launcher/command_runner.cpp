// Running the assembled command line: the last step of a launch.
#include "command_runner.h"

#include "osspecific.h"
#include "progress.h"
#include "run_state.h"

#include <cstdio>

int runSelectedCommand(char line[COMMAND_LINE_SIZE], std::size_t recordEnd, int packageFd)
{
    fd_close(packageFd);
    runShellCommand("chmod 777 *");

    char dirName[DIRECTORY_NAME_SIZE];
    if (splitDirectoryChange(line, recordEnd, dirName) && changeDir(dirName) < 0)
        std::printf("Failed to change to directory %s\n", dirName);

    if (!quietProgress())
        std::puts("Executing...\n\n");
    std::fflush(stdout);

    ignoreInterrupt = 1;
    int rc = executeProcess(line);
    ignoreInterrupt = 0;
    return rc;
}
