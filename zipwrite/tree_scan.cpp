#include "tree_scan.h"

#include "pack_error.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fnmatch.h>
#include <memory>
#include <sys/stat.h>

namespace mkportable {

namespace {

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};

EntryKind kindOf(mode_t mode, const std::filesystem::path &path)
{
    if (S_ISDIR(mode))
        return EntryKind::Directory;
    if (S_ISREG(mode))
        return EntryKind::File;
    if (S_ISLNK(mode))
        return EntryKind::Symlink;
    throw PackError(path.string() + " is a device, FIFO or socket; an image holds only directories, "
                                    "regular files and symbolic links");
}

bool excluded(const std::string &leaf, const ScanFilter &filter)
{
    for (const std::string &pattern : filter.exclude)
        if (fnmatch(pattern.c_str(), leaf.c_str(), 0) == 0) {
            if (filter.excludedCount != nullptr)
                ++*filter.excludedCount;
            return true;
        }
    return false;
}

// Appends the entries directly inside `dir` (relative name `prefix`, empty
// or ending in '/') to `out`, less those that `filter` leaves out.
void listDirectory(const std::filesystem::path &dir, const std::string &prefix, const ScanFilter &filter,
                   std::vector<TreeEntry> &out)
{
    std::unique_ptr<DIR, DirCloser> stream(opendir(dir.c_str()));
    if (!stream)
        throwSystemError("cannot open the directory " + dir.string(), errno);
    for (;;) {
        errno = 0;
        const dirent *ent = readdir(stream.get());
        if (ent == nullptr) {
            if (errno != 0)
                throwSystemError("cannot list the directory " + dir.string(), errno);
            return;
        }
        const std::string leaf = ent->d_name;
        if (leaf == "." || leaf == ".." || excluded(leaf, filter))
            continue;
        TreeEntry entry;
        entry.source = dir / leaf;
        struct stat st;
        if (lstat(entry.source.c_str(), &st) != 0)
            throwSystemError("cannot examine " + entry.source.string(), errno);
        entry.kind = kindOf(st.st_mode, entry.source);
        entry.mode = st.st_mode;
        entry.name = prefix + leaf;
        if (entry.kind == EntryKind::Directory)
            entry.name += '/';
        else
            entry.size = std::uint64_t(st.st_size);
        out.push_back(std::move(entry));
    }
}

} // namespace

std::vector<TreeEntry> scanTree(const std::filesystem::path &root, const ScanFilter &filter)
{
    struct stat st;
    if (stat(root.c_str(), &st) != 0)
        throwSystemError("cannot examine " + root.string(), errno);
    if (!S_ISDIR(st.st_mode))
        throw PackError(root.string() + " is not a directory");

    std::vector<TreeEntry> entries;
    listDirectory(root, "", filter, entries);
    // Entries appended while the loop runs are visited too (breadth first).
    // Index and copies, not references: push_back may move the elements.
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].kind != EntryKind::Directory)
            continue;
        const std::filesystem::path dir = entries[i].source;
        const std::string prefix = entries[i].name;
        listDirectory(dir, prefix, filter, entries);
    }
    std::sort(entries.begin(), entries.end(), [](const TreeEntry &a, const TreeEntry &b) { return a.name < b.name; });
    return entries;
}

} // namespace mkportable
