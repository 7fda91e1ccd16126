// The instance guard: the named semaphore SEM_NAME, created exclusively.
#include "instance_guard.h"

#include "osspecific.h"
#include "run_state.h"
#include "signal_block.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <semaphore.h>

namespace {

// Set once this process holds the instance guard: only then may it release
// it, or it would release another instance's guard. The handler reads it.
volatile sig_atomic_t guardHeld = 0;

} // namespace

int sem_dest()
{
    sem_t *sem = sem_open(SEM_NAME, O_CREAT | O_EXCL, 0644, 0);
    if (sem == SEM_FAILED) {
        if (errno == EEXIST && sem_unlink(SEM_NAME) != 0 && errno != ENOENT)
            return -1;
        return 0;
    }
    sem_close(sem);
    sem_unlink(SEM_NAME);
    return 0;
}

int takeInstanceGuard()
{
    // A signal between creating the guard and noting it would leave a guard
    // that nobody releases.
    sigset_t old;
    blockHandledSignals(&old);
    sem_t *guard = sem_open(SEM_NAME, O_CREAT | O_EXCL, 0644, 0);
    int openError = errno;
    // Any other failure leaves the run unguarded; the handle stays open to
    // the end of the process.
    if (guard != SEM_FAILED)
        guardHeld = 1;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (guard == SEM_FAILED && openError == EEXIST) {
        std::fputs("Two program instances cannot be run at the same time.\n"
                   "You can use \"<program> -semdestroy\" to release the existing semaphore.\n"
                   "Exiting from the current instance.\n",
                   stderr);
        return 1;
    }
    return 0;
}

void releaseInstanceGuard()
{
    if (guardHeld) {
        sem_dest();
        guardHeld = 0;
    }
}

void releaseInstanceGuardFromHandler()
{
    if (guardHeld)
        sem_unlink(SEM_NAME);
}
