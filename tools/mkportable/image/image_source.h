// Turns the --image argument into the bytes of the package's image element.
#ifndef MKPORTABLE_IMAGE_SOURCE_H
#define MKPORTABLE_IMAGE_SOURCE_H

#include "external_links.h"
#include "mkportable/package/command_program_check.h"
#include "mkportable/package/input_file.h"
#include "tree_zipper.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
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
    // How many names of a directory image the exclude patterns left out.
    std::size_t excluded = 0;
};

// How a directory image becomes a zip, beyond the compression.
struct ImageRules {
    // Programs and shared objects (paths inside the image) to bundle with
    // their libraries (library_bundle.h); with bundleAll, every ELF file of
    // the image that names libraries.
    std::vector<std::string> bundle;
    bool bundleAll = false;
    // fnmatch patterns for names to leave out (ScanFilter).
    std::vector<std::string> exclude;
    // Called with what the image will hold (a directory image's files
    // naming their source), before a directory is zipped; throws to stop
    // the build. May be empty.
    std::function<void(const std::vector<ImageFile> &)> checkFiles;
    // What to do with links that miniunz would refuse; its notes stream
    // also gets a line for each set-user-ID or set-group-ID bit dropped.
    LinkPolicy links;
};

// When `image` is a directory, zips it with zipTree, time stamp
// `dosDateTime` and `settings`, into a temporary file beside `output` that
// is unlinked at once: memory stays bounded however big the tree, and
// nothing is left behind however the run ends; no entry keeps a
// set-user-ID or set-group-ID bit. When `image` is a file, it must be a zip
// archive that miniunz unpacks (ZipRegion::check, data included); it is
// packed verbatim, and `rules` can neither bundle nor exclude anything in
// it. Throws PackError.
PreparedImage prepareImage(const std::filesystem::path &image, const std::filesystem::path &output,
                           std::uint32_t dosDateTime, const ZipSettings &settings = {}, const ImageRules &rules = {});

} // namespace mkportable

#endif
