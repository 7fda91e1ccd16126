// The launcher's entry point, its options and instance guard, signal
// handling and clean-up, and the launch sequence that unpacks and runs the
// tool.
#include "installer.h"
#include "self_help.h"
#include "textbuf.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

char wrkDir[WRK_DIR_SIZE];
int extract = 0;
char extractFolder[EXTRACT_FOLDER_SIZE];
volatile sig_atomic_t interrupted = 0;
volatile sig_atomic_t ignoreInterrupt = 0;
char inst[SEM_NAME_SIZE] = "QUARNTELV";
const char *SEM_NAME = inst;

namespace {

// Set once this process holds the instance guard: only then may it release
// it, or it would release another instance's guard.
volatile sig_atomic_t guardHeld = 0;

// The current directory is limited to this many bytes when the extract
// target is made absolute.
constexpr int EXTRACT_CWD_SIZE = 260;

const char *const IMAGE_FILE = "image.zip";

// Every signal whose default action would end the launcher without its
// clean-up, except the synchronous faults, which keep their default action:
// after one of those nothing in the process can be trusted any more.
const int HANDLED_SIGNALS[] = {SIGINT,    SIGTERM, SIGQUIT, SIGHUP,  SIGALRM, SIGUSR1,
                               SIGUSR2,   SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,   SIGPWR};

// A reader that went away (`pkg.run | head -1`) or a file size limit
// (`ulimit -f`) turn into failed writes that the launcher reports itself.
const int IGNORED_SIGNALS[] = {SIGPIPE, SIGXFSZ};

// The directory that holds the working directory: clean-up and the handler
// change into it before removing the tree.
char tmpParent[WRK_DIR_SIZE] = "/tmp";

// The --extract directory as the operator gave it.
const char *extractTarget = "";

void blockHandledSignals(sigset_t *old)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : HANDLED_SIGNALS)
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, old);
}

void installHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = interrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : HANDLED_SIGNALS)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : HANDLED_SIGNALS)
        sigaction(sig, &sa, nullptr);
    for (int sig : IGNORED_SIGNALS)
        signal(sig, SIG_IGN);
}

// Opens the temporary directory (TMPDIR or /tmp, see openWorkParent) and
// fills parent with its path: the descriptor, or -1 after a message.
int openTempDirectory(char parent[WRK_DIR_SIZE])
{
    const char *refused = nullptr;
    int parentFd = openWorkParent(parent, WRK_DIR_SIZE, &refused);
    if (refused)
        std::fprintf(stderr, "TMPDIR %s is not used: %s.\n", getenv("TMPDIR"), refused);
    if (parentFd < 0 && (!makeDir(parent) || (parentFd = fd_open(parent)) < 0)) {
        std::fprintf(stderr, "Failed creating %s\n", parent);
        return -1;
    }
    return parentFd;
}

// Before anything is written: the temporary directory must hold the unzip
// utility, the image and (unless another directory is the target) the
// unpacked tree, and an --extract target the tree. Best effort: a file
// system that cannot tell, or an image whose directory cannot be read,
// passes, and the writes report what goes wrong.
bool enoughRoom(const PackageDirectory *dir, int fd, int parentFd, const char *parent)
{
    uint64_t tree = 0;
    if (!imageUnpackedSize(dir, fd, &tree))
        tree = 0;
    uint64_t files = uint64_t(dir->elementSize[PKG_UNZIP]) + dir->elementSize[PKG_IMAGE];
    uint64_t needed = files + (extract ? 0 : tree);
    int64_t available = fd_freeSpace(parentFd);
    if (available >= 0 && needed > uint64_t(available)) {
        std::fprintf(stderr,
                     "Not enough room in %s: the package needs %llu bytes there (the unzip utility, the image%s), "
                     "%lld are available; set TMPDIR to a directory with more room.\n",
                     parent, (unsigned long long)needed, extract ? "" : " and the unpacked tree",
                     (long long)available);
        return false;
    }
    available = extract ? freeSpace(extractTarget) : -1;
    if (available >= 0 && tree > uint64_t(available)) {
        std::fprintf(stderr, "Not enough room in %s: the image unpacks to %llu bytes, %lld are available.\n",
                     extractTarget, (unsigned long long)tree, (long long)available);
        return false;
    }
    return true;
}

// Creates a fresh working directory portable_install_XXXXXXXX with the first
// free counter in the temporary directory open on parentFd (closed here) and
// changes into it. It is made and entered through the parent's descriptor,
// so nobody can slip another directory in between. The name is published in
// wrkDir only once the directory exists, with signals held back, so the
// handler never sees a half-written name or misses a directory that needs
// removing.
int makeWorkingDirectory(int parentFd, const char *parent)
{
    textCopy(tmpParent, sizeof tmpParent, parent);
    for (uint32_t counter = 0;; ++counter) {
        char name[32];
        textFormat(name, sizeof name, "portable_install_%08x", counter);
        char candidate[WRK_DIR_SIZE];
        textFormat(candidate, sizeof candidate, "%s%c%s", parent, FILE_SEPARATOR, name);
        sigset_t old;
        blockHandledSignals(&old);
        int made = makePrivateDirAt(parentFd, name);
        if (made == 0)
            textCopy(wrkDir, sizeof wrkDir, candidate);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (made == 0) {
            int entered = changeDirAt(parentFd, name);
            fd_close(parentFd);
            if (entered != 0) {
                std::fprintf(stderr, "Failed changing to directory %s\n", wrkDir);
                return 1;
            }
            return 0;
        }
        if (made < 0 || counter == UINT32_MAX) {
            std::fprintf(stderr, "Failed creating %s\n", candidate);
            fd_close(parentFd);
            return 1;
        }
    }
}

} // namespace

int enterNewWorkingDirectory()
{
    char parent[WRK_DIR_SIZE];
    int parentFd = openTempDirectory(parent);
    return parentFd < 0 ? 1 : makeWorkingDirectory(parentFd, parent);
}

namespace {

// Runs a child with the handler only recording signals: the launcher decides
// what an interrupt means once the child has ended.
int runChild(const char *command)
{
    ignoreInterrupt = 1;
    int status = runShellCommand(command);
    ignoreInterrupt = 0;
    return status;
}

// Fills extractFolder with the absolute, shell-quoted target directory.
bool buildExtractFolder(const char *dir)
{
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
    return quoteShellWord(absolute, extractFolder, sizeof extractFolder);
}

// Handles "--extract DIR": 0 to go on, -1 when the directory cannot be had.
int prepareExtract(const char *dir)
{
    // The quoted target goes to both shell commands (mkdir and the unzip
    // utility) as one word, so a name with blanks or shell syntax stays a
    // name; one that does not fit is refused before anything is made.
    if (!buildExtractFolder(dir) || (!dirExists(dir) && !makeDir(extractFolder))) {
        std::printf("Failed to create directory: %s\n"
                    "Please check if you specify a correct path to extract.\n",
                    dir);
        cleanup();
        return -1;
    }
    extract = 1;
    extractTarget = dir;
    return 0;
}

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

void cleanup()
{
    // Once clean-up has begun a signal must not run it a second time.
    sigset_t old;
    blockHandledSignals(&old);
    if (wrkDir[0] != '\0' && dirExists(wrkDir)) {
        changeDir(tmpParent);
        if (removeTreeSignalSafe(wrkDir) != 0)
            deleteTree(wrkDir);
    }
    wrkDir[0] = '\0';
    if (guardHeld) {
        sem_dest();
        guardHeld = 0;
    }
}

void interrupt(int)
{
    interrupted = 1;
    if (ignoreInterrupt)
        return;
    // Only async-signal-safe work from here on: the main flow may have been
    // stopped anywhere, even inside malloc or stdio.
    if (wrkDir[0] != '\0') {
        chdir(tmpParent);
        removeTreeSignalSafe(wrkDir);
    }
    if (guardHeld)
        sem_unlink(SEM_NAME);
    _exit(1);
}

bool quietProgress()
{
    return getenv("QUARN_PORTABLE_QUIET") != nullptr;
}

int startGUI()
{
    if (access("./disk1/skylet.sh", F_OK) != 0) {
        std::puts("\nSkylet not supported, please use pakrel command line instead.");
        return -1;
    }
    std::puts("\nStarting Skylet...");
    runShellCommand("chmod +x disk1/skylet.sh");
    int status = runShellCommand("./disk1/skylet.sh");
    sleepSec(2);
    return status;
}

int extractAndExecute(int argc, char **argv)
{
    char launchDir[LAUNCH_DIR_SIZE];
    getCurrentDir(launchDir, sizeof launchDir);
    setInheritedEnv("QUARN_PORTABLE_EXEC_DIR", launchDir);

    PackageDirectory dir;
    int fd = openPackage(argc, argv, &dir);
    if (fd < 0)
        return 1;

    CommandRecord rec;
    if (selectCommandRecord(&dir, fd, &rec) != 0)
        return 1;

    // The tool's line is complete before anything is unpacked: one that
    // would lose characters (a trailing argument, a closing quote) runs
    // something else than the operator asked for.
    char line[COMMAND_LINE_SIZE];
    std::size_t recordEnd = 0;
    if (!extract && !assembleCommandLine(&rec, argc, argv, line, &recordEnd)) {
        std::fprintf(stderr, "The command line for the tool would exceed %d characters; nothing was run.\n",
                     COMMAND_LINE_SIZE - 1);
        return 1;
    }

    if (!quietProgress())
        std::puts("Extracting...");
    std::fflush(stdout);

    char parent[WRK_DIR_SIZE];
    int parentFd = openTempDirectory(parent);
    if (parentFd < 0)
        return 1;
    if (chooseImageVariant(&dir) != 0 || !enoughRoom(&dir, fd, parentFd, parent)) {
        fd_close(parentFd);
        return 1;
    }
    if (makeWorkingDirectory(parentFd, parent) != 0)
        return 1;
    if (extractPkgElementFile(PKG_IMAGE, IMAGE_FILE, &dir, fd) != 0) {
        std::fputs("Failed extracting portable image\n", stderr);
        return 1;
    }
    if (makeFileReadable(IMAGE_FILE) != 0) {
        std::fputs("Failed making image.zip readable\n", stderr);
        return 1;
    }

    char command[COMMAND_LINE_SIZE];
    textFormat(command, sizeof command, "miniunz%s", EXE_EXT);
    if (extractPkgElementFile(PKG_UNZIP, command, &dir, fd) != 0) {
        std::fputs("Failed extracting unzip\n", stderr);
        return 1;
    }
    if (makeFileExecutable(command) != 0)
        std::fputs("Failed making unzip utility executable\n", stderr);

    if (extract)
        textFormat(command, sizeof command, ".%cminiunz%s -o %s -d %s > %s", FILE_SEPARATOR, EXE_EXT,
                   IMAGE_FILE, extractFolder, DEV_NULL);
    else
        textFormat(command, sizeof command, ".%cminiunz%s %s > %s", FILE_SEPARATOR, EXE_EXT, IMAGE_FILE,
                   DEV_NULL);
    int status = runChild(command);
    if (status != 0) {
        if (!interrupted) {
            std::fprintf(stderr, "\nFailed executing <%s>\n", command);
            if (isNoExecFileSystem(wrkDir))
                std::fprintf(stderr,
                             "%s is on a file system mounted noexec: programs cannot run there; "
                             "set TMPDIR to a directory where they can.\n",
                             wrkDir);
        }
        return 1;
    }
    // An operator who interrupted the unpacking does not want the tool to
    // start once it has finished.
    if (interrupted)
        return 1;
    if (extract)
        return 0;
    return runSelectedCommand(line, recordEnd, fd);
}

int installerMain(int argc, char **argv)
{
    installHandlers();
    setInheritedEnv("SkyletLocale", "en");

    if (argc == 2 && std::strcmp(argv[1], "-semdestroy") == 0) {
        if (sem_dest() != 0) {
            std::fprintf(stderr, "Failed releasing the existing semaphore %s: %s\n", SEM_NAME, std::strerror(errno));
            return 1;
        }
        std::fputs("Existing Semaphore released.\n", stderr);
        return 0;
    }

    // Self-help reads the package and needs no guard: it runs beside a
    // launch, and as any user.
    int selfHelp = runSelfHelp(argc, argv);
    if (selfHelp >= 0)
        return selfHelp;

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

    if (argc == 3 && std::strcmp(argv[1], "--extract") == 0 && prepareExtract(argv[2]) != 0)
        return -1;

    int result = extractAndExecute(argc, argv);

    if (result != 0 && getenv("QUARN_PORTABLE_ERR_SH"))
        runChild("sh");

    cleanup();
    return result;
}
