// The signal handler and clean-up: the working directory goes, and the
// instance guard is released, however the launcher ends.
#include "cleanup.h"

#include "instance_guard.h"
#include "osspecific.h"
#include "run_state.h"
#include "signal_block.h"
#include "signal_forward.h"

#include <unistd.h>

namespace {

// A reader that went away (`pkg.run | head -1`) or a file size limit
// (`ulimit -f`) turn into failed writes that the launcher reports itself.
const int IGNORED_SIGNALS[] = {SIGPIPE, SIGXFSZ};

// True when another process sent the signal, as kill(1) does; false when
// the kernel raised it for a fault of the launcher, or the launcher raised
// it itself (abort()).
bool sentFromOutside(const siginfo_t *info)
{
    return info != nullptr && info->si_code <= 0 && info->si_pid != getpid();
}

// Removes the working directory from the directory that holds it, never by
// a path: async-signal-safe, so the handler may call it.
void removeWorkingDirectory()
{
    int parentFd = workParentFd;
    if (wrkName[0] != '\0' && parentFd >= 0)
        removeTreeAt(parentFd, wrkName);
}

} // namespace

void installHandlers()
{
    struct sigaction sa {};
    sa.sa_sigaction = interrupt;
    sa.sa_flags = SA_SIGINFO;
    handledSignals(&sa.sa_mask);
    for (int sig = 1; sig <= SIGRTMAX; ++sig)
        if (sigismember(&sa.sa_mask, sig) == 1)
            sigaction(sig, &sa, nullptr);
    for (int sig : IGNORED_SIGNALS)
        signal(sig, SIG_IGN);
}

void cleanup()
{
    // Once clean-up has begun a signal must not run it a second time.
    sigset_t old;
    blockHandledSignals(&old);
    if (wrkName[0] != '\0' && workParentFd >= 0) {
        // Out of the tree before it goes; the removal itself needs no
        // particular current directory.
        [[maybe_unused]] int moved = fchdir(workParentFd);
        removeWorkingDirectory();
    }
    wrkName[0] = '\0';
    wrkDir[0] = '\0';
    releaseInstanceGuard();
}

void interrupt(int sig, siginfo_t *info, void *)
{
    if (isFaultSignal(sig) && !sentFromOutside(info)) {
        // The default action, once this handler returns: the signal is held
        // back until then.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigaction(sig, &dfl, nullptr);
        raise(sig);
        return;
    }
    interrupted = 1;
    if (ignoreInterrupt) {
        // While the tool runs a package may pass the signal on to it; the
        // tool's own status is then the answer.
        forwardToTool(sig, info);
        return;
    }
    // Only async-signal-safe work from here on: the main flow may have been
    // stopped anywhere, even inside malloc or stdio.
    removeWorkingDirectory();
    releaseInstanceGuardFromHandler();
    _exit(1);
}
