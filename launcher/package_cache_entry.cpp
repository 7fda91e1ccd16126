#include "package_cache_entry.h"

#include "common/fd_io.h"
#include "osspecific.h"
#include "package_cache_place.h"
#include "tree_listing.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr std::size_t MARKER_LIMIT = std::size_t(256) << 20;

bool sameObject(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

std::string markerText(const std::string &identity, uint64_t bytes, const std::string &listing)
{
    return std::string(MARKER_MAGIC) + "\npackage " + identity + "\nbytes " + std::to_string(bytes) + "\n" + listing;
}

bool parseMarkerHeader(const std::string &text, std::string *identity, uint64_t *bytes, std::size_t *listingAt)
{
    std::size_t first = text.find('\n');
    if (first == std::string::npos || text.compare(0, first, MARKER_MAGIC) != 0)
        return false;
    std::size_t second = text.find('\n', first + 1);
    if (second == std::string::npos || text.compare(first + 1, 8, "package ") != 0)
        return false;
    *identity = text.substr(first + 9, second - first - 9);
    std::size_t third = text.find('\n', second + 1);
    if (third == std::string::npos || text.compare(second + 1, 6, "bytes ") != 0)
        return false;
    char *end = nullptr;
    std::string number = text.substr(second + 7, third - second - 7);
    errno = 0;
    *bytes = std::strtoull(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || errno != 0)
        return false;
    *listingAt = third + 1;
    return true;
}

bool readMarker(int entryFd, std::string *text)
{
    int fd = openat(entryFd, MARKER_NAME, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0)
        return false;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        std::size_t(st.st_size) > MARKER_LIMIT) {
        close(fd);
        return false;
    }
    text->assign(std::size_t(st.st_size), '\0');
    const portable::IoResult read = portable::readAllAt(fd, text->data(), text->size(), 0);
    close(fd);
    return read.done == text->size();
}

bool writeMarkerFile(int dirFd, const char *name, const std::string &text)
{
    int fd = openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444);
    if (fd < 0)
        return false;
    const portable::IoResult result = portable::writeAll(fd, text.data(), text.size());
    bool written = result.done == text.size();
    if (!written && result.error != 0)
        errno = result.error;
    if (close(fd) != 0)
        written = false;
    if (!written) {
        int error = errno;
        unlinkat(dirFd, name, 0);
        errno = error;
    }
    return written;
}

bool refreshMarkerIdentity(int entryFd, const std::string &identity)
{
    std::string marker, old;
    uint64_t bytes = 0;
    std::size_t listingAt = 0;
    if (!readMarker(entryFd, &marker) || !parseMarkerHeader(marker, &old, &bytes, &listingAt))
        return false;
    const std::string temp = std::string(MARKER_NAME) + ".new-" + std::to_string(getpid());
    unlinkat(entryFd, temp.c_str(), 0);
    if (!writeMarkerFile(entryFd, temp.c_str(), markerText(identity, bytes, marker.substr(listingAt))))
        return false;
    if (renameat(entryFd, temp.c_str(), entryFd, MARKER_NAME) != 0) {
        unlinkat(entryFd, temp.c_str(), 0);
        return false;
    }
    return true;
}

bool readMarkerHeader(int entryFd, std::string *identity, uint64_t *bytes, struct stat *st)
{
    int fd = openat(entryFd, MARKER_NAME, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    char head[512];
    ssize_t n = fstat(fd, st) == 0 && S_ISREG(st->st_mode) ? pread(fd, head, sizeof head, 0) : -1;
    close(fd);
    std::size_t listingAt = 0;
    return n > 0 && parseMarkerHeader(std::string(head, std::size_t(n)), identity, bytes, &listingAt);
}

EntryState openEntry(int cacheFd, const std::string &name, bool compareTree, CacheEntry *entry)
{
    int fd = openat(cacheFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? EntryState::Absent : EntryState::Damaged;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        close(fd);
        return EntryState::Busy;
    }
    // A remover may have taken the name away between the open and the
    // lock: only the directory that still stands under the name counts.
    struct stat held, named;
    if (fstat(fd, &held) != 0 || fstatat(cacheFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameObject(held, named)) {
        close(fd);
        return EntryState::Busy;
    }
    entry->entryFd = fd;
    // The whole list is read only to compare the tree with it.
    std::string marker;
    std::size_t listingAt = 0;
    struct stat markerStat;
    bool marked = compareTree ? readMarker(fd, &marker) &&
                                    parseMarkerHeader(marker, &entry->identity, &entry->bytes, &listingAt)
                              : readMarkerHeader(fd, &entry->identity, &entry->bytes, &markerStat);
    if (held.st_uid != geteuid() || !marked)
        return EntryState::Damaged;
    entry->treeFd = openat(fd, TREE_NAME, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (entry->treeFd < 0)
        return EntryState::Damaged;
    if (compareTree) {
        std::string listing;
        uint64_t bytes = 0;
        if (!listTree(entry->treeFd, false, &listing, &bytes) ||
            marker.compare(listingAt, std::string::npos, listing) != 0)
            return EntryState::Damaged;
    }
    return EntryState::Ready;
}

void closeEntry(CacheEntry *entry)
{
    if (entry->treeFd >= 0)
        close(entry->treeFd);
    if (entry->entryFd >= 0)
        close(entry->entryFd);
    *entry = CacheEntry();
}

bool removeUnheld(int cacheFd, const std::string &name, int heldFd)
{
    int fd = heldFd >= 0 ? heldFd : openat(cacheFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    struct stat held, named;
    bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 &&
              fstatat(cacheFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameObject(held, named);
    if (ok) {
        // Out of the way under its own name first, so that no launch finds
        // a half-removed entry; the lock goes with the directory.
        std::string doomed = name;
        if (doomed.rfind(DOOMED_PREFIX, 0) != 0)
            doomed = DOOMED_PREFIX + name.substr(4) + "-" + std::to_string(getpid());
        ok = (doomed == name || renameat(cacheFd, name.c_str(), cacheFd, doomed.c_str()) == 0) &&
             removeTreeAt(cacheFd, doomed.c_str()) == 0;
    }
    if (heldFd < 0)
        close(fd);
    return ok;
}
