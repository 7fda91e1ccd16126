// Zips a directory tree into a reproducible image.
#ifndef MKPORTABLE_TREE_ZIPPER_H
#define MKPORTABLE_TREE_ZIPPER_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace mkportable {

struct TreeEntry;

// Writes a zip archive of everything below `root` to `fd` (from its current
// position; the caller keeps the descriptor). Entries come in scanTree order
// (byte order of their paths); directories are entries ending in '/',
// regular files are deflated, symbolic links are stored as links (mode
// S_IFLNK, data = the link's target text) and never followed. Every entry
// keeps its st_mode and carries `dosDateTime`. The same tree and time stamp
// always give the same bytes. `name` names the archive in messages; the
// archive may not grow beyond `sizeLimit` bytes. Returns the number of
// entries. Throws PackError naming the failing call or path.
//
// `progress`, when set, is told how many of the bytes of regular files and
// link targets have been read: first (0, total), then after every chunk.
using ZipProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;
std::size_t zipTree(const std::filesystem::path &root, int fd, const std::string &name,
                    std::uint32_t dosDateTime, std::uint64_t sizeLimit,
                    const ZipProgress &progress = {});

// The same for a listing made by scanTree (or changed after it), in the
// order given; each entry is read from its `source`.
std::size_t zipEntries(const std::vector<TreeEntry> &entries, int fd, const std::string &name,
                       std::uint32_t dosDateTime, std::uint64_t sizeLimit,
                       const ZipProgress &progress = {});

} // namespace mkportable

#endif
