// The instance guard: the named semaphore SEM_NAME, created exclusively.
//
// A package with settings chooses its guard: the machine's one semaphore, a
// semaphore of its own named after the package, or none. Its launchers also
// hold a liveness mark beside the semaphore: an exclusive flock on
// /dev/shm/NAME.lock, taken before the semaphore is created and dropped by
// the kernel when the holder dies, with the holder's process number inside
// while it holds the guard. A launcher that finds the semaphore taken, can
// lock the mark and finds a number in it knows the holder is gone and takes
// the guard over; an empty mark means the semaphore was made by a launcher
// without settings, which is honoured as ever.
#include "instance_guard.h"

#include "launch_settings.h"
#include "osspecific.h"
#include "record_text.h"
#include "run_state.h"
#include "signal_block.h"
#include "terminal_text.h"
#include "textbuf.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Set once this process holds the instance guard: only then may it release
// it, or it would release another instance's guard. The handler reads it.
volatile sig_atomic_t guardHeld = 0;

// The liveness mark, open and locked for the whole run; -1 without one.
volatile sig_atomic_t markFd = -1;

constexpr int MARK_PATH_SIZE = SEM_NAME_SIZE + 16;
char markPath[MARK_PATH_SIZE];

// Where glibc keeps the named semaphores.
const char *const SEMAPHORE_DIR = "/dev/shm/";

// Opens the mark as a regular file, never through a link, writable by every
// user so that any user's launcher can note itself in it.
int openMark()
{
    textFormat(markPath, sizeof markPath, "%s%s.lock", SEMAPHORE_DIR, SEM_NAME);
    int fd = open(markPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        fd = open(markPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return -1;
    }
    if (fd >= 0 && st.st_uid == geteuid())
        fchmod(fd, 0666);
    return fd;
}

// Locks the mark without waiting: the descriptor, or -1 when a live
// launcher holds it (*busy) or there is no mark to be had. A launcher that
// releases the guard empties and removes the mark before its lock goes, so
// a lock taken on a file that the path no longer names is dropped and the
// mark opened again.
int lockMark(bool *busy)
{
    *busy = false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = openMark();
        if (fd < 0)
            return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *busy = errno == EWOULDBLOCK;
            close(fd);
            return -1;
        }
        struct stat held, named;
        if (fstat(fd, &held) == 0 && lstat(markPath, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return fd;
        close(fd);
    }
    return -1;
}

// Empties and removes the mark while its lock is still held: only the
// holder does this, and nobody can mistake it for a dead holder's after.
// Async-signal-safe.
void dropMark(int fd)
{
    if (ftruncate(fd, 0) == 0)
        unlink(markPath);
}

// The process number that the mark holds, or 0 when it is empty.
long markHolder(int fd)
{
    char text[24] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? std::strtol(text, nullptr, 10) : 0;
}

void writeMark(int fd)
{
    char text[24];
    int length = std::snprintf(text, sizeof text, "%ld\n", long(getpid()));
    if (ftruncate(fd, 0) == 0 && pwrite(fd, text, size_t(length), 0) != length)
        ftruncate(fd, 0);
}

// The user who made the semaphore, or -1 when it cannot be seen.
long semaphoreOwner()
{
    char path[MARK_PATH_SIZE];
    textFormat(path, sizeof path, "%ssem.%s", SEMAPHORE_DIR, SEM_NAME);
    struct stat st;
    return lstat(path, &st) == 0 ? long(st.st_uid) : -1;
}

void refuse(const char *program)
{
    std::fputs("Two program instances cannot be run at the same time.\n"
               "You can use \"<program> -semdestroy\" to release the existing semaphore.\n"
               "Exiting from the current instance.\n",
               stderr);
    if (!launchHasSettings)
        return;
    long owner = semaphoreOwner();
    std::fprintf(stderr, "The program is %s", terminalText(program).c_str());
    if (owner >= 0 && owner != long(geteuid()))
        std::fprintf(stderr, "; the semaphore belongs to user %ld", owner);
    std::fputs(".\n", stderr);
}

} // namespace

void chooseInstanceGuard()
{
    if (!launchHasSettings || launchSettings.guard != GUARD_PACKAGE)
        return;
    unsigned char sha[SHA256_DIGEST_SIZE];
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, std::strlen(launchSettings.name), reinterpret_cast<const uint8_t *>(launchSettings.name));
    sha256_digest(&ctx, sizeof sha, sha);
    textFormat(inst, sizeof inst, "QUARNTELV.%02x%02x%02x%02x%02x%02x%02x%02x", sha[0], sha[1], sha[2], sha[3], sha[4],
               sha[5], sha[6], sha[7]);
}

bool usesInstanceGuard()
{
    return !launchHasSettings || launchSettings.guard != GUARD_NONE;
}

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

void clearDeadHolderMark()
{
    if (!launchHasSettings)
        return;
    bool busy = false;
    int mark = lockMark(&busy);
    if (mark >= 0) {
        dropMark(mark);
        close(mark);
    }
}

int takeInstanceGuard(const char *program)
{
    if (!usesInstanceGuard())
        return 0;
    // A signal between creating the guard and noting it would leave a guard
    // that nobody releases.
    sigset_t old;
    blockHandledSignals(&old);
    bool busy = false;
    int mark = launchHasSettings ? lockMark(&busy) : -1;
    sem_t *guard = busy ? SEM_FAILED : sem_open(SEM_NAME, O_CREAT | O_EXCL, 0644, 0);
    int openError = busy ? EEXIST : errno;
    long goneHolder = 0;
    // Any other failure leaves the run unguarded; the handle stays open to
    // the end of the process.
    if (guard != SEM_FAILED) {
        guardHeld = 1;
    } else if (openError == EEXIST && mark >= 0 && (goneHolder = markHolder(mark)) != 0) {
        guardHeld = 1;
    }
    if (mark >= 0 && guardHeld) {
        writeMark(mark);
        markFd = mark;
    } else if (mark >= 0) {
        dropMark(mark);
        close(mark);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (goneHolder != 0)
        std::fprintf(stderr, "Taking over the instance guard %s: the launcher that held it (process %ld) is gone.\n",
                     SEM_NAME, goneHolder);
    if (!guardHeld && openError == EEXIST) {
        refuse(program);
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
    if (markFd >= 0) {
        dropMark(markFd);
        close(markFd);
        markFd = -1;
    }
}

void releaseInstanceGuardFromHandler()
{
    if (guardHeld)
        sem_unlink(SEM_NAME);
    if (markFd >= 0)
        dropMark(markFd);
}
