// What a package is to be made of, as the user describes it (command line
// or manifest), before any input is opened.
#ifndef MKPORTABLE_PACKAGE_PLAN_H
#define MKPORTABLE_PACKAGE_PLAN_H

#include "command_entry.h"
#include "entry_compressor.h"
#include "package_settings_text.h"

#include <filesystem>
#include <ostream>
#include <string>
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
    // Empty: the program installed or built beside mkportable for the
    // machines the package is made for (wants32BitPrograms).
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

// True when the package must carry the 32-bit launcher and unzip utility:
// it has two image variants, or a record names Intel 32-bit machines. The
// 32-bit programs run on 64-bit machines too; the 64-bit ones do not start
// on 32-bit machines, so a package with an i386 record among x86_64 ones
// needs them as much as one with i386 records only.
bool wants32BitPrograms(const PackagePlan &plan);

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
