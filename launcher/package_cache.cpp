#include "package_cache.h"

#include "command_runner.h"
#include "command_selection.h"
#include "file_identity.h"
#include "launch_settings.h"
#include "options.h"
#include "package_cache_entry.h"
#include "package_cache_fill.h"
#include "package_cache_place.h"
#include "package_cache_tidy.h"
#include "package_reader.h"
#include "run_state.h"
#include "signature_policy.h"
#include "terminal_text.h"
#include "tree_listing.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Tries before a launch gives up on an entry that others keep removing and
// filling under its feet.
constexpr int ENTRY_ATTEMPTS = 3;
constexpr useconds_t BUSY_WAIT_US = 20000;

bool readOwnRecord(int fd, DigestRecord *record, struct stat *st)
{
    PackageRecordKind kind = PACKAGE_RECORD_NONE;
    return fstat(fd, st) == 0 && readPackageRecord(fd, uint64_t(st->st_size), &kind, record) &&
           kind == PACKAGE_RECORD_VALID && record->algorithm == DIGEST_SHA256_V2;
}

void notUsed(const std::string &path, const std::string &why)
{
    std::fprintf(stderr, "The package cache%s%s is not used: %s; unpacking into a fresh working directory\n",
                 path.empty() ? "" : " ", terminalText(path).c_str(), terminalText(why).c_str());
}

// Finds the entry, filling it when there is none or it is damaged: Ready
// with *entry locked, Interrupted, or Failed with *why.
FillResult readyEntry(int cacheFd, const std::string &path, const std::string &name, const PackageDirectory *dir,
                      int fd, const DigestRecord &record, CacheEntry *entry, std::string *why)
{
    // Root passes every mode: a tool of root's may have changed the tree,
    // so root compares it with the marker on every start.
    bool compare = geteuid() == 0;
    for (int attempt = 0; attempt < ENTRY_ATTEMPTS; ++attempt) {
        switch (openEntry(cacheFd, name, compare, entry)) {
        case EntryState::Ready: return FillResult::Filled;
        case EntryState::Busy:
            // Another launch is taking the entry away: let it finish.
            closeEntry(entry);
            usleep(BUSY_WAIT_US);
            continue;
        case EntryState::Damaged: {
            bool removed = removeUnheld(cacheFd, name, entry->entryFd);
            closeEntry(entry);
            if (!removed) {
                *why = "its entry for this package is damaged and in use by another launch";
                return FillResult::Failed;
            }
            continue;
        }
        case EntryState::Absent: break;
        }
        FillResult filled = fillEntry(cacheFd, path, name, dir, fd, record, entry, why);
        if (filled != FillResult::Raced)
            return filled;
    }
    *why = "its entry for this package keeps changing";
    return FillResult::Failed;
}

} // namespace

bool launchFromCache(PackageDirectory *dir, int fd, char line[COMMAND_LINE_SIZE], std::size_t recordEnd,
                     int callerDirFd, int *result)
{
    DigestRecord record;
    struct stat st;
    if (!cacheWanted() || !readOwnRecord(fd, &record, &st))
        return false;
    if (chooseImageVariant(dir) != 0) {
        *result = 1;
        return true;
    }
    std::string path, why;
    int cacheFd = openCacheDirectory(true, &path, &why);
    if (cacheFd < 0) {
        notUsed(path, why);
        return false;
    }
    std::string name = entryName(record.sha256, whichImg);
    CacheEntry entry;
    switch (readyEntry(cacheFd, path, name, dir, fd, record, &entry, &why)) {
    case FillResult::Interrupted: *result = 1; return true;
    case FillResult::Failed:
    case FillResult::Raced:
        close(cacheFd);
        notUsed(path, why);
        return false;
    case FillResult::Filled: break;
    }
    // A copy of the package that the signature policy has just checked in
    // full becomes the file the entry names, so that its next start skips
    // that pass as the original's would.
    std::string identity = fileIdentity(st);
    if (entry.identity != identity && digestMatchedThisLaunch(identity))
        refreshMarkerIdentity(entry.entryFd, identity);
    // The marker's time is the entry's last use, for housekeeping.
    utimensat(entry.entryFd, MARKER_NAME, nullptr, AT_SYMLINK_NOFOLLOW);
    if (fchdir(entry.treeFd) != 0) {
        std::fprintf(stderr, "Failed changing to directory %s/%s/%s\n", terminalText(path).c_str(), name.c_str(),
                     TREE_NAME);
        *result = 1;
        return true;
    }
    *result = runCommandInTree(line, recordEnd, fd, callerDirFd);
    // The entry stays locked until the launcher ends, so that nobody's
    // housekeeping removes it while the tool runs.
    tidyCache(cacheFd, name);
    return true;
}

int enforceSignaturePolicyForLaunch(int argc, char **argv)
{
    // Without a policy file or the variable nothing is checked at all.
    bool mayRequire = access(POLICY_FILE, F_OK) == 0 || std::getenv(REQUIRE_SIGNATURE_VARIABLE) != nullptr;
    if (!mayRequire || !cacheWanted() || extractRequested(argc, argv))
        return enforceSignaturePolicy(argc, argv);
    int fd = openOwnFileQuietly(argc, argv);
    DigestRecord record;
    struct stat st;
    bool known = false;
    if (fd >= 0 && readOwnRecord(fd, &record, &st)) {
        std::string path, why;
        int cacheFd = openCacheDirectory(false, &path, &why);
        std::string identity = fileIdentity(st);
        for (int variant = -1; cacheFd >= 0 && variant <= 1 && !known; ++variant) {
            int entryFd = openat(cacheFd, entryName(record.sha256, variant).c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            std::string filledBy;
            uint64_t bytes = 0;
            struct stat marker;
            known = entryFd >= 0 && readMarkerHeader(entryFd, &filledBy, &bytes, &marker) && filledBy == identity;
            if (entryFd >= 0)
                close(entryFd);
        }
        if (cacheFd >= 0)
            close(cacheFd);
    }
    if (fd >= 0)
        close(fd);
    if (!known)
        return enforceSignaturePolicy(argc, argv);
    // The file is the one whose digest was checked when the entry was
    // filled: only the signature remains to be judged.
    SignaturePolicy policy = readSignaturePolicy(false);
    if (!policy.broken && !policy.required)
        return 0;
    char keyId[KEY_ID_TEXT_SIZE];
    if (!policy.broken && judgeSignature(PACKAGE_RECORD_VALID, record, policy, keyId) == VERDICT_TRUSTED)
        return 0;
    return enforceSignaturePolicy(argc, argv);
}

int runCacheRequest(int argc, char **argv)
{
    if (argc != 2 || !launchHasSettings || !launchSettings.cache)
        return -1;
    bool show = std::strcmp(argv[1], PORTABLE_CACHE_OPTION) == 0;
    if (!show && std::strcmp(argv[1], PORTABLE_CACHE_CLEAR_OPTION) != 0)
        return -1;
    int fd = openOwnFile(argc, argv);
    if (fd < 0)
        return 1;
    DigestRecord record;
    struct stat st;
    bool readable = readOwnRecord(fd, &record, &st);
    close(fd);
    if (!readable) {
        std::fputs("The package's record cannot be read\n", stderr);
        return 1;
    }
    std::string path, why;
    int cacheFd = openCacheDirectory(false, &path, &why);
    std::vector<std::string> names;
    if (cacheFd < 0 || !directoryNames(cacheFd, &names)) {
        if (cacheFd >= 0 || dirExists(path.c_str())) {
            std::fprintf(stderr, "The package cache %s cannot be used: %s\n", terminalText(path).c_str(),
                         terminalText(why).c_str());
            return 1;
        }
        std::printf("No cache entry for this package\nCache %s: 0 bytes in 0 entries\n", terminalText(path).c_str());
        return 0;
    }
    std::string stem = entryStem(record.sha256);
    int status = 0, mine = 0, entries = 0;
    uint64_t total = 0;
    for (const std::string &name : names) {
        if (name.rfind(ENTRY_PREFIX, 0) != 0)
            continue;
        std::string shown = terminalText(path + "/" + name);
        CacheEntry entry;
        EntryState state = openEntry(cacheFd, name, false, &entry);
        bool ours = name.rfind(stem, 0) == 0;
        if (state == EntryState::Ready) {
            ++entries;
            total += entry.bytes;
        }
        if (ours && show && state == EntryState::Ready)
            std::printf("%s: %llu bytes\n", shown.c_str(), (unsigned long long)entry.bytes);
        else if (ours && show)
            std::printf("%s: damaged or being removed\n", shown.c_str());
        closeEntry(&entry);
        if (ours && !show) {
            if (removeUnheld(cacheFd, name)) {
                std::printf("Removed %s\n", shown.c_str());
            } else {
                std::fprintf(stderr, "%s is in use: not removed\n", shown.c_str());
                status = 1;
            }
        }
        mine += ours ? 1 : 0;
    }
    close(cacheFd);
    if (mine == 0)
        std::puts("No cache entry for this package");
    if (show)
        std::printf("Cache %s: %llu bytes in %d entr%s\n", terminalText(path).c_str(), (unsigned long long)total,
                    entries, entries == 1 ? "y" : "ies");
    return status;
}
