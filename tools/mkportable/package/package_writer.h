// Assembles a package file from its elements.
#ifndef MKPORTABLE_PACKAGE_WRITER_H
#define MKPORTABLE_PACKAGE_WRITER_H

#include "command_entry.h"
#include "input_file.h"
#include "package_format.h"
#include "package_settings.h"
#include "signing_key.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace mkportable {

// Everything a package is made of. GlobalInfo's commandCount is not given
// here: it is always the number of `commands`, so that the two can never
// disagree.
struct PackageContents {
    InputFile launcher;
    InputFile unzip;
    bool strictPlatformMatch = false;
    std::vector<CommandEntry> commands;
    // One zip image; or two (the Intel 32-bit variant first, then the Intel
    // 64-bit one), which are stored back to back and recorded in imageSize.
    std::vector<InputFile> images;
    // Stored in the digest record, which the digest then covers.
    PackageSettings settings;
    // Signs the package when not null (package_signing.h).
    const SigningKey *signingKey = nullptr;
};

// The planned layout of a package.
struct PackageLayout {
    PackageDirectory directory{};
    GlobalInfo globalInfo{};
    std::uint64_t fileSize = 0;
};

// Checks everything that can be checked before a byte is written and plans
// the layout. Throws PackError naming the problem when: there is no command
// record, a record fails validateCommand, there are not one or two images,
// an input element is empty, or the package would reach PKG_MAX_FILE_SIZE.
PackageLayout planPackage(const PackageContents &contents);

// Writes the package to `output` atomically, mode 0777 less the umask:
// plans it first (planPackage), refuses an output that is a directory or one
// of the input files, then writes a temporary file beside `output`, stamps
// the digest into its directory (package_digest.h), signs it when asked
// and renames it into
// place. On any failure it throws PackError; the temporary file is then gone
// and an existing `output` is unchanged. Returns the layout written.
PackageLayout writePackage(const PackageContents &contents, const std::filesystem::path &output);

} // namespace mkportable

#endif
