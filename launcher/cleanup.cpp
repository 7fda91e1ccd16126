// The signal handler and clean-up: the working directory goes, and the
// instance guard is released, however the launcher ends.
#include "cleanup.h"

#include "instance_guard.h"
#include "osspecific.h"
#include "run_state.h"
#include "signal_block.h"

#include <unistd.h>

namespace {

// A reader that went away (`pkg.run | head -1`) or a file size limit
// (`ulimit -f`) turn into failed writes that the launcher reports itself.
const int IGNORED_SIGNALS[] = {SIGPIPE, SIGXFSZ};

// The directory that holds the working directory, taken from wrkDir: the
// tree is removed from there, never from inside. Only a loop over the text,
// so the handler may call it. False when wrkDir names no parent.
bool workingDirectoryParent(char parent[WRK_DIR_SIZE])
{
    int cut = -1;
    for (int i = 0; i < WRK_DIR_SIZE && wrkDir[i] != '\0'; ++i) {
        parent[i] = wrkDir[i];
        if (wrkDir[i] == FILE_SEPARATOR)
            cut = i;
    }
    if (cut < 0)
        return false;
    // The working directory of "/" is "/portable_install_...".
    parent[cut == 0 ? 1 : cut] = '\0';
    return true;
}

} // namespace

void installHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = interrupt;
    handledSignals(&sa.sa_mask);
    for (int sig : HANDLED_SIGNALS)
        sigaction(sig, &sa, nullptr);
    for (int sig : IGNORED_SIGNALS)
        signal(sig, SIG_IGN);
}

void cleanup()
{
    // Once clean-up has begun a signal must not run it a second time.
    sigset_t old;
    blockHandledSignals(&old);
    char parent[WRK_DIR_SIZE];
    if (wrkDir[0] != '\0' && dirExists(wrkDir)) {
        if (workingDirectoryParent(parent))
            changeDir(parent);
        if (removeTreeSignalSafe(wrkDir) != 0)
            deleteTree(wrkDir);
    }
    wrkDir[0] = '\0';
    releaseInstanceGuard();
}

void interrupt(int)
{
    interrupted = 1;
    if (ignoreInterrupt)
        return;
    // Only async-signal-safe work from here on: the main flow may have been
    // stopped anywhere, even inside malloc or stdio.
    char parent[WRK_DIR_SIZE];
    if (wrkDir[0] != '\0') {
        if (workingDirectoryParent(parent))
            chdir(parent);
        removeTreeSignalSafe(wrkDir);
    }
    releaseInstanceGuardFromHandler();
    _exit(1);
}
