// The launcher's own options: "-semdestroy" and "--extract DIR".
#include "options.h"

#include "cleanup.h"
#include "command_line.h"
#include "instance_guard.h"
#include "osspecific.h"
#include "package_reader.h"
#include "progress.h"
#include "run_state.h"
#include "terminal_text.h"
#include "textbuf.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The current directory is limited to this many bytes when the extract
// target is made absolute.
constexpr int EXTRACT_CWD_SIZE = 260;

// Fills extractFolder with the absolute, shell-quoted target directory.
bool buildExtractFolder(const char *dir)
{
    // Only extractFolder limits the target: the absolute path may be as long
    // as the launcher's own.
    char absolute[OWN_PATH_SIZE];
    if (isAbsolutePath(dir)) {
        if (!textCopy(absolute, sizeof absolute, dir))
            return false;
    } else {
        char cwd[EXTRACT_CWD_SIZE];
        getCurrentDir(cwd, sizeof cwd);
        if (cwd[0] == '\0')
            return false;
        char sep = cwd[0] == '/' ? '/' : '\\';
        if (!textFormat(absolute, sizeof absolute, "%s%c%s", cwd, sep, dir))
            return false;
    }
    // The quoted form is what messages show and bounds the target; the
    // unzip utility gets the path itself, through no shell.
    return quoteShellWord(absolute, extractFolder, sizeof extractFolder) &&
           textCopy(extractPath, sizeof extractPath, absolute);
}

} // namespace

bool semDestroyRequested(int argc, char **argv)
{
    return argc == 2 && std::strcmp(argv[1], "-semdestroy") == 0;
}

int semDestroy()
{
    if (!usesInstanceGuard()) {
        std::fputs("This package uses no instance guard: there is no semaphore to release.\n", stderr);
        return 0;
    }
    if (sem_dest() != 0) {
        std::fprintf(stderr, "Failed releasing the existing semaphore %s: %s\n", SEM_NAME, std::strerror(errno));
        return 1;
    }
    clearDeadHolderMark();
    std::fputs("Existing Semaphore released.\n", stderr);
    return 0;
}

const char *extractRequested(int argc, char **argv)
{
    return argc == 3 && std::strcmp(argv[1], "--extract") == 0 ? argv[2] : nullptr;
}

int prepareExtract(const char *dir)
{
    // The quoted target is what messages show, so a name with blanks or
    // shell syntax stays a name; one that does not fit is refused before
    // anything is made. The directories are made through no shell, so no
    // mkdir speaks: one line of the launcher's own says why.
    const char *why = nullptr;
    if (!buildExtractFolder(dir))
        why = "its absolute path, quoted, is longer than 259 characters";
    else if (!dirExists(dir) && !makeDirs(extractPath))
        why = std::strerror(errno);
    if (why) {
        std::fprintf(remarkStream(),
                     "Failed to create directory: %s\n"
                     "Please check if you specify a correct path to extract.\n",
                     terminalText(dir).c_str());
        std::fflush(remarkStream());
        std::fprintf(stderr, "%s cannot be made: %s\n", terminalText(dir).c_str(), why);
        cleanup();
        return -1;
    }
    extract = 1;
    return 0;
}
