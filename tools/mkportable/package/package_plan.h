// What a package is to be made of, as the user describes it (command line
// or manifest), before any input is opened.
#ifndef MKPORTABLE_PACKAGE_PLAN_H
#define MKPORTABLE_PACKAGE_PLAN_H

#include "command_entry.h"
#include "entry_compressor.h"
#include "osspecific.h"
#include "package_settings_text.h"

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace mkportable {

struct PackagePlan {
    std::filesystem::path output;
    // One image; or two, the Intel 32-bit variant first, for a dual-image
    // package. Each is a directory to zip or a ready zip archive.
    std::vector<std::filesystem::path> images;
    // Where each image was named, for messages ("tool.toml:3:9"); empty
    // for images given on the command line.
    std::vector<std::string> imageOrigins;
    std::vector<CommandEntry> commands;
    bool strictPlatformMatch = false;
    // How the launcher behaves and what the package calls itself; stored in
    // the digest record (package_settings_text.h).
    PackageSettings settings = defaultPackageSettings();
    // The processor family that a package whose records are all for any
    // architecture is made for (manifest key target, --target): PFM_ANY
    // for Intel, or one of the codes that packageMachine returns.
    std::int32_t target = PFM_ANY;
    // Empty: the program installed or built beside mkportable for the
    // machines the package is made for (packageMachine).
    std::filesystem::path launcher;
    std::filesystem::path unzip;
    // Compression level of images zipped from a directory.
    int level = ZIP_LEVEL_DEFAULT;
    // Programs and shared objects of the image (paths inside it) to bundle
    // with their shared libraries (library_bundle.h), in every image; with
    // bundleAll, every ELF file of the image that names libraries.
    std::vector<std::string> bundle;
    bool bundleAll = false;
    // fnmatch patterns of names to leave out of directory images.
    std::vector<std::string> exclude;
    // Pack what a link that miniunz would refuse points to, instead of
    // failing (external_links.h).
    bool copyExternalLinks = false;
    // The secret key (signing_key.h) that signs the package; empty: unsigned,
    // unless MKPORTABLE_SIGNING_KEY names one.
    std::filesystem::path signingKey;
    // The manifest the plan was read from; empty when made from options.
    std::filesystem::path manifest;
};

// The machines whose launcher and unzip utility the package carries:
// PFM_ARCH_ARM64 when its records are for 64-bit ARM (or all for any
// architecture, with the target arm64); else PFM_ARCH_INTEL32 when it has
// two image variants, a record for Intel 32-bit machines or the target
// i386 (the 32-bit programs run on 64-bit machines too; the 64-bit ones do
// not start on 32-bit machines, so an i386 record among x86_64 ones needs
// them as much as i386 records alone); else PFM_ARCH_INTEL64. A launcher
// is machine code for one processor family: records for ARM and for Intel
// in one package, or beside a target of the other family, are a PackError.
std::int32_t packageMachine(const PackagePlan &plan);

// Parses a target: i386, x86_64, arm64 or aarch64 (case-insensitive), or
// any; nullopt for anything else.
std::optional<std::int32_t> parseTarget(std::string_view text);

// Checks the records of `plan` beyond what each holds alone: there is at
// least one, each passes validateCommand, no record repeats the platform of
// an earlier one (it could never be selected), and a strict package has at
// least one record that a machine can match. Throws PackError. Records that
// no machine can match are legal (record 0 still runs after the mismatch
// warning) but surprising: each gets a line on `warnings`.
void checkRecords(const PackagePlan &plan, std::ostream &warnings);

// Checks an exclude pattern: not empty, and without '/' (it is matched
// against one name of a path at a time). Throws PackError naming `origin`.
void checkExcludePattern(const std::string &pattern, const std::string &origin);

} // namespace mkportable

#endif
