// The directory an archive unpacks into, reached only through descriptors:
// every entry's place is walked from the target directory one component at a
// time with O_NOFOLLOW, so no symbolic link, whether planted before the run or
// unpacked by it, is ever followed to reach a place to write.
//
// Several threads may use one tree at once. Directories reached by a walk are
// kept open in a bounded cache and reused for the next entries: a directory
// stays what it was when it was opened, because nothing in a run removes a
// directory (the -o rule removes only non-directories).
#pragma once

#include "common/fd_io.h"
#include "diag.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

// An open directory below the target, shared with the cache.
using DirHandle = std::shared_ptr<const portable::UniqueFd>;

class TargetTree {
public:
    // `overwrite` is the -o rule: an existing name at an entry's place is
    // removed and created anew instead of failing the entry.
    explicit TargetTree(bool overwrite) : overwrite_(overwrite) {}

    // Opens the target directory `path` ("" is the current directory), first
    // creating it and its missing parents (mode 0755 less the umask). Links in
    // `path` itself are followed: it is the operator's choice. Returns false
    // after complaining. Called once, before any other use.
    bool open(const std::string &path);

    // Returns the directory named by parts[0..count), below the target
    // directory, creating the missing ones (mode 0700 while the run lasts,
    // 0755 at its end unless setFinalMode says otherwise). A symbolic link or
    // other non-directory on the way fails the entry, except that with
    // `replaceLast` and -o a non-directory as the last component is removed and
    // replaced by a directory. With count 0 it is the target directory itself.
    // Returns null after complaining, naming `shown`.
    DirHandle openDirectory(const std::vector<std::string> &parts, size_t count, bool replaceLast,
                            const std::string &shown);

    // Applies the -o rule after creating `leaf` in `dirFd` failed with EEXIST:
    // without -o complains and returns false; with -o removes the old name
    // (unlinkat, so a link is removed, never followed; a directory is not
    // removed) and returns true so that the caller tries once more.
    bool makeRoom(int dirFd, const std::string &leaf, const std::string &shown) const;

    // Creates `leaf` in `dirFd` with `attempt` (a descriptor or 0 on success,
    // -1 with errno), applying the -o rule when the name exists. Returns the
    // result of the successful attempt, or -1 after complaining with `call`.
    template <class Attempt>
    int createLeaf(int dirFd, const std::string &leaf, const std::string &shown, const char *call,
                   Attempt attempt) const
    {
        int result = attempt();
        if (result < 0 && errno == EEXIST) {
            if (!makeRoom(dirFd, leaf, shown))
                return -1;
            result = attempt();
        }
        if (result < 0)
            complain("%s: %s: %s", shown.c_str(), call, strerror(errno));
        return result;
    }

    // Compares `needed` bytes (the archive's recorded uncompressed sizes) with
    // the space the file system holding the target gives this user (statvfs
    // f_bavail). Returns false after complaining with both figures when they
    // cannot fit; when the space cannot be learnt, the unpacking goes on. A
    // best-effort check: with -o, replaced files free space as they go.
    // Called after open().
    bool checkSpace(uint64_t needed);

    // The first failed write of a file stops the run: on a full disk every
    // later entry would fail the same way. Reports the failure of `shown`
    // (errno value `err`) once, naming the target and the space the archive
    // needs; later failures are quiet.
    void writeFailed(const std::string &shown, int err);
    // True once a write failed: no further entry is started.
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

    // Sets the mode that directory `parts` gets when the run ends, if this run
    // created it; directories that existed before keep their mode.
    void setFinalMode(const std::vector<std::string> &parts, mode_t perms);

    // Gives every directory this run created its final mode, deepest first so
    // that a parent without search or write permission is changed last.
    // Returns false if any failed, after complaining. Called once, when no
    // other thread uses the tree any more.
    bool applyFinalModes();

private:
    // Walks parts[from..count) from `start` (parts[0..from) already open),
    // creating missing directories only when `create`. Every directory it
    // opens goes into the cache when `cache`. Called with walkMutex_ held.
    DirHandle walk(DirHandle start, const std::vector<std::string> &parts, size_t from, size_t count, bool create,
                   bool replaceLast, bool cache, const std::string &shown);
    int makeDirectory(int parentFd, const std::string &name, const std::string &path, const std::string &shown);
    DirHandle cached(const std::string &path);
    void remember(const std::string &path, const DirHandle &dir);

    bool overwrite_;
    DirHandle root_;
    std::string shownTarget_; // the target as messages show it
    uint64_t needed_ = 0;
    std::atomic<bool> stopped_{false};
    // Held by walks, which create directories and record them in created_.
    std::mutex walkMutex_;
    // Directories created by this run: path below the target -> final mode.
    std::map<std::string, mode_t> created_;
    // Guards cache_ only, briefly.
    std::mutex cacheMutex_;
    std::unordered_map<std::string, DirHandle> cache_;
};
