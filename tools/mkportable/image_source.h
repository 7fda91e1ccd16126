// Turns the --image argument into the bytes of the package's image element.
#ifndef MKPORTABLE_IMAGE_SOURCE_H
#define MKPORTABLE_IMAGE_SOURCE_H

#include "input_file.h"
#include "tree_zipper.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace mkportable {

// A prepared image: the zip to pack and, for a zipped directory, how many
// entries it holds.
struct PreparedImage {
    InputFile zip;
    std::optional<std::size_t> zippedEntries;
};

// When `image` is a directory, zips it with zipTree, time stamp
// `dosDateTime` and `settings`, into a temporary file beside `output` that
// is unlinked at once: memory stays bounded however big the tree, and
// nothing is left behind however the run ends. When `image` is a file, it
// must be a zip archive that miniunz unpacks (ZipRegion::check, data
// included); it is packed
// verbatim. Throws PackError.
PreparedImage prepareImage(const std::filesystem::path &image,
                           const std::filesystem::path &output, std::uint32_t dosDateTime,
                           const ZipSettings &settings = {});

} // namespace mkportable

#endif
