// The working directory of a launch: where it is made, whether there is room
// for the package there, and making and entering it.
#include "working_directory.h"

#include "osspecific.h"
#include "package_reader.h"
#include "signal_block.h"
#include "terminal_text.h"
#include "textbuf.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int openTempDirectory(char parent[WRK_DIR_SIZE])
{
    char refused[1024];
    int parentFd = openWorkParent(parent, WRK_DIR_SIZE, refused, sizeof refused);
    if (refused[0] != '\0')
        std::fprintf(stderr, "TMPDIR %s is not used: %s; using /tmp\n", terminalText(getenv("TMPDIR")).c_str(),
                     terminalText(refused).c_str());
    if (parentFd < 0 && (makePrivateDir(parent) < 0 || (parentFd = fd_open(parent)) < 0)) {
        std::fprintf(stderr, "Failed creating %s\n", terminalText(parent).c_str());
        return -1;
    }
    return parentFd;
}

bool enoughRoom(const PackageDirectory *dir, int fd, int parentFd, const char *parent, const char *extractTarget)
{
    uint64_t tree = 0;
    if (!imageUnpackedSize(dir, fd, &tree))
        tree = 0;
    bool extracting = extractTarget != nullptr;
    uint64_t files = uint64_t(dir->elementSize[PKG_UNZIP]) + dir->elementSize[PKG_IMAGE];
    uint64_t needed = files + (extracting ? 0 : tree);
    int64_t available = fd_freeSpace(parentFd);
    if (available >= 0 && needed > uint64_t(available)) {
        std::fprintf(stderr,
                     "Not enough room in %s: the package needs %llu bytes there (the unzip utility, the image%s), "
                     "%lld are available; set TMPDIR to a directory with more room.\n",
                     terminalText(parent).c_str(), (unsigned long long)needed,
                     extracting ? "" : " and the unpacked tree", (long long)available);
        return false;
    }
    available = extracting ? freeSpace(extractTarget) : -1;
    if (available >= 0 && tree > uint64_t(available)) {
        std::fprintf(stderr, "Not enough room in %s: the image unpacks to %llu bytes, %lld are available.\n",
                     terminalText(extractTarget).c_str(), (unsigned long long)tree, (long long)available);
        return false;
    }
    return true;
}

int makeWorkingDirectory(int parentFd, const char *parent)
{
    // The directory is made, entered and later removed through the parent's
    // descriptor, so nobody can slip another directory in between, and no
    // path is looked up again. Its name is published only once it exists,
    // with signals held back, so the handler never sees a half-written name
    // or misses a directory that needs removing.
    workParentFd = parentFd;
    for (uint32_t counter = 0;; ++counter) {
        char name[WRK_NAME_SIZE];
        textFormat(name, sizeof name, "portable_install_%08x", counter);
        char candidate[WRK_DIR_SIZE];
        textFormat(candidate, sizeof candidate, "%s%c%s", parent, FILE_SEPARATOR, name);
        sigset_t old;
        blockHandledSignals(&old);
        int made = makePrivateDirAt(parentFd, name);
        if (made == 0) {
            textCopy(wrkName, sizeof wrkName, name);
            textCopy(wrkDir, sizeof wrkDir, candidate);
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (made == 0) {
            if (changeDirAt(parentFd, name) != 0) {
                std::fprintf(stderr, "Failed changing to directory %s\n", terminalText(wrkDir).c_str());
                return 1;
            }
            return 0;
        }
        if (made < 0 || counter == UINT32_MAX) {
            int error = made < 0 ? errno : EEXIST;
            std::fprintf(stderr, "Failed creating %s\n", terminalText(candidate).c_str());
            // Read-only, full or not ours: another temporary directory helps.
            std::fprintf(stderr, "%s cannot hold the working directory: %s; set TMPDIR to a directory %s.\n",
                         terminalText(parent).c_str(), std::strerror(error),
                         error == ENOSPC || error == EDQUOT ? "with more room" : "where you may write");
            return 1;
        }
    }
}

bool tempDirectoryRunsPrograms(int parentFd, const char *parent)
{
    if (!fd_isNoExecFileSystem(parentFd))
        return true;
    std::fprintf(stderr,
                 "%s is on a file system mounted noexec: programs cannot run there; "
                 "set TMPDIR to a directory where they can.\n",
                 terminalText(parent).c_str());
    return false;
}

int enterNewWorkingDirectory()
{
    char parent[WRK_DIR_SIZE];
    int parentFd = openTempDirectory(parent);
    return parentFd < 0 ? 1 : makeWorkingDirectory(parentFd, parent);
}
