#include "package_cache_fill.h"

#include "file_identity.h"
#include "osspecific.h"
#include "package_cache_place.h"
#include "package_reader.h"
#include "progress.h"
#include "run_state.h"
#include "signal_block.h"
#include "signature_policy.h"
#include "textbuf.h"
#include "tree_listing.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Names the temporary as the launch's working directory, or no longer:
// with signals held back, so the handler never sees half a name.
void publishTemporary(int cacheFd, const std::string &cachePath, const char *name)
{
    sigset_t old;
    blockHandledSignals(&old);
    if (name != nullptr) {
        workParentFd = cacheFd;
        textCopy(wrkName, sizeof wrkName, name);
        textFormat(wrkDir, sizeof wrkDir, "%s/%s", cachePath.c_str(), name);
    } else {
        wrkName[0] = '\0';
        wrkDir[0] = '\0';
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Writes the unzip utility and the image into the temporary (the current
// directory) and unpacks the image into its "tree".
FillResult unpack(int tempFd, const PackageDirectory *dir, int fd, std::string *why)
{
    if (extractPkgElementFile(PKG_IMAGE, "image.zip", dir, fd) != 0 || makeFileReadable("image.zip") != 0 ||
        extractPkgElementFile(PKG_UNZIP, "miniunz", dir, fd) != 0 || makeFileExecutable("miniunz") != 0) {
        *why = std::string("the package cannot be written there: ") + std::strerror(errno);
        return FillResult::Failed;
    }
    if (mkdirat(tempFd, TREE_NAME, 0700) != 0 || changeDirAt(tempFd, TREE_NAME) != 0) {
        *why = std::string("the tree cannot be made there: ") + std::strerror(errno);
        return FillResult::Failed;
    }
    char unzip[] = "../miniunz", image[] = "../image.zip";
    char *args[] = {unzip, image, nullptr};
    ignoreInterrupt = 1;
    int status = runProgramQuietly(unzip, args);
    ignoreInterrupt = 0;
    if (interrupted)
        return FillResult::Interrupted;
    if (status != 0) {
        *why = "the image could not be unpacked there";
        return FillResult::Failed;
    }
    unlinkat(tempFd, "image.zip", 0);
    unlinkat(tempFd, "miniunz", 0);
    // What a fresh working directory gets, once: the tool's top-level files
    // as every launcher has left them.
    runShellCommand("chmod 777 *");
    return FillResult::Filled;
}

FillResult fillTemporary(int cacheFd, int tempFd, const std::string &name, const std::string &temp,
                         const PackageDirectory *dir, int fd, const std::string &identity, CacheEntry *entry,
                         std::string *why)
{
    if (fchdir(tempFd) != 0) {
        *why = std::string("it cannot be entered: ") + std::strerror(errno);
        return FillResult::Failed;
    }
    FillResult unpacked = unpack(tempFd, dir, fd, why);
    if (unpacked != FillResult::Filled)
        return unpacked;
    int treeFd = openat(tempFd, TREE_NAME, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::string listing;
    uint64_t bytes = 0;
    // Read-only from here: a user's tool cannot change its own cached tree.
    if (treeFd < 0 || !listTree(treeFd, true, &listing, &bytes) || fchmodat(tempFd, TREE_NAME, 0555, 0) != 0) {
        *why = "the unpacked tree cannot be made read-only";
        if (treeFd >= 0)
            close(treeFd);
        return FillResult::Failed;
    }
    // The marker comes last: an entry without one was never finished.
    if (!writeMarkerFile(tempFd, MARKER_NAME, markerText(identity, bytes, listing))) {
        *why = std::string("its marker cannot be written: ") + std::strerror(errno);
        close(treeFd);
        return FillResult::Failed;
    }
    // Held for use from here on, so housekeeping never takes the entry
    // from under the tool.
    flock(tempFd, LOCK_SH);
    if (renameat(cacheFd, temp.c_str(), cacheFd, name.c_str()) != 0) {
        int error = errno;
        close(treeFd);
        if (error == EEXIST || error == ENOTEMPTY)
            return FillResult::Raced;
        *why = std::string("the entry cannot be put in place: ") + std::strerror(error);
        return FillResult::Failed;
    }
    entry->treeFd = treeFd;
    entry->identity = identity;
    entry->bytes = bytes;
    return FillResult::Filled;
}

} // namespace

FillResult fillEntry(int cacheFd, const std::string &cachePath, const std::string &name, const PackageDirectory *dir,
                     int fd, const DigestRecord &record, CacheEntry *entry, std::string *why)
{
    // Nothing unverified goes into a tree that later launches trust. The
    // signature policy may have just read this very file for the same
    // answer.
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = "the package cannot be read";
        return FillResult::Failed;
    }
    const std::string identity = fileIdentity(st);
    if (!digestMatchedThisLaunch(identity)) {
        unsigned char actual[DIGEST_SHA256_SIZE];
        if (!packageSha256(fd, uint64_t(st.st_size), DIGEST_SHA256_V2, actual)) {
            *why = "the package cannot be read";
            return FillResult::Failed;
        }
        if (std::memcmp(actual, record.sha256, DIGEST_SHA256_SIZE) != 0) {
            *why = "the package does not match its digest";
            return FillResult::Failed;
        }
    }
    uint64_t tree = 0;
    if (!imageUnpackedSize(dir, fd, &tree))
        tree = 0;
    uint64_t needed = tree + dir->elementSize[PKG_UNZIP] + dir->elementSize[PKG_IMAGE];
    int64_t available = fd_freeSpace(cacheFd);
    if (available >= 0 && needed > uint64_t(available)) {
        *why = "not enough room (" + std::to_string(needed) + " bytes needed, " + std::to_string(available) +
               " available)";
        return FillResult::Failed;
    }

    // Short enough for the working directory's name: the digest's first
    // 16 digits and the filler's process number tell temporaries apart.
    std::string temp = TEMPORARY_PREFIX + name.substr(4, 16) + "-" + std::to_string(getpid());
    static_assert(WRK_NAME_SIZE > 4 + 16 + 1 + 10);
    if (mkdirat(cacheFd, temp.c_str(), 0700) != 0) {
        *why = std::string("it cannot be written: ") + std::strerror(errno);
        return FillResult::Failed;
    }
    int tempFd = openat(cacheFd, temp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (tempFd < 0 || flock(tempFd, LOCK_EX) != 0) {
        *why = std::string("it cannot be written: ") + std::strerror(errno);
        if (tempFd >= 0)
            close(tempFd);
        unlinkat(cacheFd, temp.c_str(), AT_REMOVEDIR);
        return FillResult::Failed;
    }
    publishTemporary(cacheFd, cachePath, temp.c_str());
    if (FILE *progress = progressStream())
        std::fputs("Extracting...\n", progress);
    std::fflush(stdout);
    FillResult result = fillTemporary(cacheFd, tempFd, name, temp, dir, fd, identity, entry, why);
    if (result == FillResult::Interrupted)
        return result; // clean-up removes the temporary
    if (result == FillResult::Filled) {
        entry->entryFd = tempFd;
    } else {
        removeTreeAt(cacheFd, temp.c_str());
        close(tempFd);
    }
    publishTemporary(cacheFd, cachePath, nullptr);
    return result;
}
