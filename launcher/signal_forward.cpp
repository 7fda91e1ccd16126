#include "signal_forward.h"

#include "launch_settings.h"
#include "osspecific.h"
#include "run_state.h"
#include "signal_block.h"

#include <unistd.h>

namespace {

// The tool's process while it runs, else 0. Written with the handled
// signals held back, read by the handler.
volatile sig_atomic_t toolPid = 0;
volatile sig_atomic_t forwarded = 0;

const int FORWARDED_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2};

} // namespace

int runTool(const char *line)
{
    sigset_t old;
    blockHandledSignals(&old);
    ignoreInterrupt = 1;
    int pid = startProcess(line);
    toolPid = pid > 0 ? pid : 0;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    int rc = waitProcess(pid);
    blockHandledSignals(&old);
    toolPid = 0;
    ignoreInterrupt = 0;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

bool forwardToTool(int sig, const siginfo_t *info)
{
    if (!launchHasSettings || launchSettings.signals != SIGNALS_FORWARD || toolPid <= 0 || info == nullptr)
        return false;
    if ((info->si_code != SI_USER && info->si_code != SI_QUEUE) || info->si_pid == getpid())
        return false;
    for (int forwardedSig : FORWARDED_SIGNALS) {
        if (forwardedSig == sig) {
            forwarded = 1;
            kill(pid_t(toolPid), sig);
            return true;
        }
    }
    return false;
}

bool signalForwarded()
{
    return forwarded != 0;
}
