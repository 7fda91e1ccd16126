// Turns the --image argument into the bytes of the package's image element.
#ifndef MKPORTABLE_IMAGE_SOURCE_H
#define MKPORTABLE_IMAGE_SOURCE_H

#include "external_links.h"
#include "mkportable/package/input_file.h"
#include "tree_zipper.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace mkportable {

// A prepared image: the zip to pack and, for a zipped directory, how many
// entries it holds.
struct PreparedImage {
    InputFile zip;
    std::optional<std::size_t> zippedEntries;
    // Every file and folder that went into it, for a depfile: the zip, or
    // the directory, its contents and the bundled libraries.
    std::vector<std::filesystem::path> inputs;
};

// When `image` is a directory, zips it with zipTree, time stamp
// `dosDateTime` and `settings`, into a temporary file beside `output` that
// is unlinked at once: memory stays bounded however big the tree, and
// nothing is left behind however the run ends. When `image` is a file, it
// must be a zip archive that miniunz unpacks (ZipRegion::check, data
// included); it is packed verbatim. `bundle` names programs of a directory
// image to bundle with their libraries (library_bundle.h); a zip image
// cannot have any. The links of a directory image pass applyLinkRule with
// `links`. Throws PackError.
PreparedImage prepareImage(const std::filesystem::path &image, const std::filesystem::path &output,
                           std::uint32_t dosDateTime, const ZipSettings &settings = {},
                           const std::vector<std::string> &bundle = {}, const LinkPolicy &links = {});

} // namespace mkportable

#endif
