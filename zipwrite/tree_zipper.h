// Zips a directory tree into a reproducible image.
#ifndef ZIPWRITE_TREE_ZIPPER_H
#define ZIPWRITE_TREE_ZIPPER_H

#include "entry_compressor.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace mkportable {

// Entries up to this size are read and deflated whole, with libdeflate;
// larger ones in pieces of ZIP_PIECE_BYTES, with zlib, so that one large
// entry keeps every worker busy. Memory stays bounded whatever the tree:
// read data that is not yet written stays within ZIP_IN_FLIGHT_BYTES, its
// compressed form within about as much again, plus each worker's
// compressors and a 1 MiB write buffer.
constexpr std::size_t ZIP_WHOLE_ENTRY_BYTES = std::size_t(8) << 20;
constexpr std::size_t ZIP_PIECE_BYTES = std::size_t(1) << 20;
constexpr std::size_t ZIP_IN_FLIGHT_BYTES = std::size_t(32) << 20;

struct TreeEntry;

// `progress`, when set, is told how many of the bytes of regular files and
// link targets are in the archive: first (0, total), then after every entry
// or piece, from the calling thread.
using ZipProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

struct ZipSettings {
    int level = ZIP_LEVEL_DEFAULT; // ZIP_LEVEL_STORED to ZIP_LEVEL_MAX
    unsigned workers = 0;          // compressing threads; 0: one per usable processor
    ZipProgress progress;
};

// Writes a zip archive of everything below `root` to `fd` (from its current
// position; the caller keeps the descriptor, a regular file). Entries come
// in scanTree order (byte order of their paths); directories are entries
// ending in '/', regular files are deflated at `settings.level` (stored
// when that would not make them smaller), symbolic links are stored as
// links (mode S_IFLNK, data = the link's target text) and never followed.
// Every entry keeps its st_mode and carries `dosDateTime`. The same tree,
// time stamp and level always give the same bytes, whatever the number of
// workers. `name` names the archive in messages; the archive may not grow
// beyond `sizeLimit` bytes. Returns the number of entries. Throws PackError
// naming the failing call or path, also for a file that changes size while
// it is read.
std::size_t zipTree(const std::filesystem::path &root, int fd, const std::string &name, std::uint32_t dosDateTime,
                    std::uint64_t sizeLimit, const ZipSettings &settings = {});

// The same for a listing made by scanTree (or changed after it), in the
// order given; each entry is read from its `source`.
std::size_t zipEntries(const std::vector<TreeEntry> &entries, int fd, const std::string &name,
                       std::uint32_t dosDateTime, std::uint64_t sizeLimit, const ZipSettings &settings = {});

} // namespace mkportable

#endif
