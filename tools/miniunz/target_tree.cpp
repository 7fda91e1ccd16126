#include "target_tree.h"

#include <algorithm>
#include <cinttypes>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace {

constexpr mode_t kWorkingDirMode = 0700; // usable while entries are written
constexpr mode_t kDefaultDirMode = 0755;
// Open directories kept for reuse, at most; fewer when the descriptor limit
// is low, so that the cache never starves the files being written.
constexpr size_t kMaxCachedDirs = 256;

std::vector<std::string> splitPath(const std::string &path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        parts.push_back(path.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::string joinPath(const std::vector<std::string> &parts, size_t count)
{
    std::string path;
    for (size_t i = 0; i < count; i++) {
        if (i)
            path += '/';
        path += parts[i];
    }
    return path;
}

size_t cacheLimit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kMaxCachedDirs;
    return std::min<size_t>(kMaxCachedDirs, limit.rlim_cur / 4);
}

// mkdir -p for the operator's target path. Returns false after complaining.
bool makeParents(const std::string &path)
{
    for (size_t pos = 1; pos <= path.size(); pos++) {
        if (pos < path.size() && path[pos] != '/')
            continue;
        std::string prefix = path.substr(0, pos);
        struct stat st;
        if (stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        if (mkdir(prefix.c_str(), kDefaultDirMode) != 0 && errno != EEXIST) {
            complain("%s: mkdir: %s", printableName(prefix).c_str(), strerror(errno));
            return false;
        }
    }
    return true;
}

} // namespace

bool TargetTree::open(const std::string &path)
{
    if (!path.empty() && !makeParents(path))
        return false;
    const char *dir = path.empty() ? "." : path.c_str();
    auto root = std::make_shared<portable::UniqueFd>(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root->valid()) {
        complain("%s: open target directory: %s", printableName(dir).c_str(), strerror(errno));
        return false;
    }
    root_ = std::move(root);
    shownTarget_ = printableName(dir);
    return true;
}

bool TargetTree::checkSpace(uint64_t needed)
{
    needed_ = needed;
    struct statvfs fs;
    if (fstatvfs(root_->get(), &fs) != 0)
        return true;
    uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    uint64_t free = (uint64_t)fs.f_bavail > UINT64_MAX / unit ? UINT64_MAX : fs.f_bavail * unit;
    if (needed <= free)
        return true;
    complain("%s: not enough space: the archive needs %" PRIu64 " bytes, %" PRIu64 " bytes are free",
             shownTarget_.c_str(), needed, free);
    return false;
}

void TargetTree::writeFailed(const std::string &shown, int err)
{
    if (stopped_.exchange(true))
        return;
    complain("%s: write: %s; unpacking stops: %s needs %" PRIu64 " bytes for the whole archive", shown.c_str(),
             strerror(err), shownTarget_.c_str(), needed_);
}

int TargetTree::makeDirectory(int parentFd, const std::string &name, const std::string &path, const std::string &shown)
{
    // EEXIST: made meanwhile by someone else; it is then opened like any other.
    bool madeNow = mkdirat(parentFd, name.c_str(), kWorkingDirMode) == 0;
    if (!madeNow && errno != EEXIST) {
        complain("%s: mkdirat '%s': %s", shown.c_str(), printableName(path).c_str(), strerror(errno));
        return -1;
    }
    int fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        complain("%s: openat '%s': %s", shown.c_str(), printableName(path).c_str(), strerror(errno));
        return -1;
    }
    if (madeNow) {
        // The umask may have taken owner bits; entries must still go in.
        if (fchmod(fd, kWorkingDirMode) != 0) {
            complain("%s: fchmod '%s': %s", shown.c_str(), printableName(path).c_str(), strerror(errno));
            ::close(fd);
            return -1;
        }
        created_.emplace(path, kDefaultDirMode);
    }
    return fd;
}

DirHandle TargetTree::cached(const std::string &path)
{
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto it = cache_.find(path);
    return it == cache_.end() ? nullptr : it->second;
}

void TargetTree::remember(const std::string &path, const DirHandle &dir)
{
    static const size_t limit = cacheLimit();
    std::lock_guard<std::mutex> lock(cacheMutex_);
    // Handles still in use stay open until their users drop them.
    if (cache_.size() >= limit)
        cache_.clear();
    cache_.emplace(path, dir);
}

DirHandle TargetTree::openDirectory(const std::vector<std::string> &parts, size_t count, bool replaceLast,
                                    const std::string &shown)
{
    if (count == 0)
        return root_;
    std::string path = joinPath(parts, count);
    if (DirHandle hit = cached(path))
        return hit;
    std::lock_guard<std::mutex> lock(walkMutex_);
    // Another thread may have opened it meanwhile; else the walk goes on from
    // the deepest directory on the way that is open already.
    if (DirHandle hit = cached(path))
        return hit;
    size_t from = count - 1;
    DirHandle start;
    while (from > 0 && !(start = cached(joinPath(parts, from))))
        from--;
    if (!start)
        start = root_;
    return walk(start, parts, from, count, true, replaceLast, true, shown);
}

DirHandle TargetTree::walk(DirHandle start, const std::vector<std::string> &parts, size_t from, size_t count,
                           bool create, bool replaceLast, bool cache, const std::string &shown)
{
    DirHandle current = std::move(start);
    std::string path = joinPath(parts, from);
    for (size_t i = from; i < count; i++) {
        const std::string &name = parts[i];
        if (i)
            path += '/';
        path += name;
        int next = openat(current->get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            next = makeDirectory(current->get(), name, path, shown);
        } else if (next < 0 && (errno == ENOTDIR || errno == ELOOP) && replaceLast && i + 1 == count) {
            if (makeRoom(current->get(), name, shown))
                next = makeDirectory(current->get(), name, path, shown);
        } else if (next < 0 && (errno == ENOTDIR || errno == ELOOP)) {
            complain("%s: '%s' is a symbolic link or not a directory; it is not followed", shown.c_str(),
                     printableName(path).c_str());
        } else if (next < 0) {
            complain("%s: openat '%s': %s", shown.c_str(), printableName(path).c_str(), strerror(errno));
        }
        if (next < 0)
            return nullptr;
        current = std::make_shared<const portable::UniqueFd>(next);
        if (cache)
            remember(path, current);
    }
    return current;
}

bool TargetTree::makeRoom(int dirFd, const std::string &leaf, const std::string &shown) const
{
    if (!overwrite_) {
        complain("%s: already exists; not replaced (use -o to overwrite)", shown.c_str());
        return false;
    }
    if (unlinkat(dirFd, leaf.c_str(), 0) != 0) {
        complain("%s: unlinkat (to replace it): %s", shown.c_str(), strerror(errno));
        return false;
    }
    return true;
}

void TargetTree::setFinalMode(const std::vector<std::string> &parts, mode_t perms)
{
    std::lock_guard<std::mutex> lock(walkMutex_);
    auto it = created_.find(joinPath(parts, parts.size()));
    if (it != created_.end())
        it->second = perms;
}

bool TargetTree::applyFinalModes()
{
    std::lock_guard<std::mutex> lock(walkMutex_);
    struct Pending {
        size_t depth;
        const std::string *path;
        mode_t perms;
    };
    std::vector<Pending> order;
    order.reserve(created_.size());
    for (const auto &[path, perms] : created_)
        order.push_back({(size_t)std::count(path.begin(), path.end(), '/'), &path, perms});
    std::stable_sort(order.begin(), order.end(), [](const Pending &a, const Pending &b) { return a.depth > b.depth; });
    bool ok = true;
    for (const Pending &p : order) {
        std::string shown = printableName(*p.path);
        DirHandle dir = cached(*p.path);
        // Walk without creating: everything on the way was made by this run.
        if (!dir) {
            std::vector<std::string> parts = splitPath(*p.path);
            dir = walk(root_, parts, 0, parts.size(), false, false, false, shown);
        }
        if (!dir) {
            ok = false;
        } else if (fchmod(dir->get(), p.perms) != 0) {
            complain("%s: fchmod: %s", shown.c_str(), strerror(errno));
            ok = false;
        }
    }
    return ok;
}
