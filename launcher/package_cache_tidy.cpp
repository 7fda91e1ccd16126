#include "package_cache_tidy.h"

#include "package_cache_entry.h"
#include "package_cache_place.h"
#include "tree_listing.h"

#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Used {
    std::string name;
    time_t lastUse;
};

bool startsWith(const std::string &name, const char *prefix)
{
    return name.rfind(prefix, 0) == 0;
}

} // namespace

void tidyCache(int cacheFd, const std::string &keep)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TIDY_BUDGET_MS);
    uint64_t limit = cacheSizeLimit();
    std::vector<std::string> names;
    if (!directoryNames(cacheFd, &names))
        return;
    time_t now = std::time(nullptr);
    std::string victim;
    std::vector<Used> used;
    uint64_t total = 0;
    bool complete = true;
    for (const std::string &name : names) {
        if (std::chrono::steady_clock::now() > deadline) {
            complete = false;
            break;
        }
        struct stat st;
        if (name == keep || fstatat(cacheFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
            continue;
        bool old = now - st.st_mtime > STALE_SECONDS;
        if (startsWith(name, TEMPORARY_PREFIX) || startsWith(name, DOOMED_PREFIX)) {
            if (old && victim.empty())
                victim = name;
            continue;
        }
        if (!startsWith(name, ENTRY_PREFIX))
            continue;
        int fd = openat(cacheFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        std::string identity;
        uint64_t bytes = 0;
        struct stat marker;
        bool marked = fd >= 0 && readMarkerHeader(fd, &identity, &bytes, &marker);
        if (fd >= 0)
            close(fd);
        if (!marked) {
            if (old && victim.empty())
                victim = name;
            continue;
        }
        total += bytes;
        if (now - marker.st_mtime > time_t(CACHE_UNUSED_DAYS) * 86400 && victim.empty())
            victim = name;
        used.push_back({name, marker.st_mtime});
    }
    // This launch's entry counts towards the total too.
    int keepFd = openat(cacheFd, keep.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (keepFd >= 0) {
        std::string identity;
        uint64_t bytes = 0;
        struct stat marker;
        if (readMarkerHeader(keepFd, &identity, &bytes, &marker))
            total += bytes;
        close(keepFd);
    }
    if (victim.empty() && complete && total > limit && !used.empty()) {
        const Used *oldest = &used[0];
        for (const Used &u : used)
            if (u.lastUse < oldest->lastUse)
                oldest = &u;
        victim = oldest->name;
    }
    if (!victim.empty())
        removeUnheld(cacheFd, victim);
}
