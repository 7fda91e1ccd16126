// Lists a directory tree in the order its image stores it.
#ifndef ZIPWRITE_TREE_SCAN_H
#define ZIPWRITE_TREE_SCAN_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mkportable {

enum class EntryKind { Directory, File, Symlink };

// One file system object below the scanned root.
struct TreeEntry {
    // Path relative to the root with '/' separators; directories end in '/'.
    std::string name;
    // Where to read it (root joined with the relative path).
    std::filesystem::path source;
    EntryKind kind = EntryKind::File;
    // st_mode as lstat reports it: type bits and permissions.
    mode_t mode = 0;
    // Bytes of a regular file or of a link's target text.
    std::uint64_t size = 0;
};

// Names to leave out of a scan: fnmatch patterns, each matched against
// every name along a path, so that a matching directory leaves out all it
// holds.
struct ScanFilter {
    std::vector<std::string> exclude;
    std::size_t *excludedCount = nullptr; // counts the names that matched, when not null
};

// Lists every directory, regular file and symbolic link below `root` (not
// the root itself), without following links, sorted by `name` in byte
// order, so that a directory comes before its contents and the same tree
// always gives the same list. Throws PackError when `root` is no directory,
// when a directory cannot be read, and for objects an image cannot hold
// (devices, FIFOs, sockets) that `filter` does not leave out, naming the
// path.
std::vector<TreeEntry> scanTree(const std::filesystem::path &root, const ScanFilter &filter = {});

} // namespace mkportable

#endif
