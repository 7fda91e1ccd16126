// Running the assembled command line: the last step of a launch.
#include "command_runner.h"

#include "launch_settings.h"
#include "osspecific.h"
#include "progress.h"
#include "run_state.h"
#include "signal_forward.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

int openCallerDirectory()
{
    if (!launchHasSettings || launchSettings.workingDirectory != WORKDIR_CALLER)
        return -1;
    return open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int runSelectedCommand(char line[COMMAND_LINE_SIZE], std::size_t recordEnd, int packageFd, int callerDirFd)
{
    runShellCommand("chmod 777 *");
    return runCommandInTree(line, recordEnd, packageFd, callerDirFd);
}

int runCommandInTree(char line[COMMAND_LINE_SIZE], std::size_t recordEnd, int packageFd, int callerDirFd)
{
    fd_close(packageFd);

    // The tool finds its unpacked tree here wherever it starts.
    char treeDir[LAUNCH_DIR_SIZE];
    getCurrentDir(treeDir, sizeof treeDir);
    setInheritedEnv("QUARN_PORTABLE_DIR", treeDir);

    char dirName[DIRECTORY_NAME_SIZE];
    if (splitDirectoryChange(line, recordEnd, dirName) && changeDir(dirName) < 0)
        std::fprintf(remarkStream(), "Failed to change to directory %s\n", dirName);

    if (callerDirFd >= 0) {
        // The program is named from the tree, then the tool starts where
        // the operator is, so that relative file arguments mean what they
        // say.
        char commandDir[LAUNCH_DIR_SIZE];
        getCurrentDir(commandDir, sizeof commandDir);
        if (!anchorFirstWord(line, commandDir)) {
            std::fprintf(stderr, "The command line for the tool would exceed %d characters; nothing was run.\n",
                         COMMAND_LINE_SIZE - 1);
            return 1;
        }
        if (fchdir(callerDirFd) != 0) {
            std::fputs("Failed to change back to the directory the launcher was started from\n", stderr);
            return 1;
        }
        fd_close(callerDirFd);
    }

    if (FILE *progress = progressStream())
        std::fputs("Executing...\n\n\n", progress);
    std::fflush(stdout);

    return runTool(line);
}
