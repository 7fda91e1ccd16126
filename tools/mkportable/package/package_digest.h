// The SHA-256 digest over a whole package, stored in the two variant fields
// of the package directory (format/digest_record.h has the record).
#ifndef MKPORTABLE_PACKAGE_DIGEST_H
#define MKPORTABLE_PACKAGE_DIGEST_H

#include "digest_record.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace mkportable {

using Sha256 = std::array<unsigned char, DIGEST_SHA256_SIZE>;

// SHA-256 of the `fileSize`-byte package open as `fd`, with the bytes of
// its variant fields that `algorithm` leaves out taken as zero. Throws
// PackError naming `what` when a read fails or the file ends early.
Sha256 packageSha256(int fd, std::uint64_t fileSize, DigestAlgorithm algorithm, const std::string &what);

// Writes the digest record of the package open read-write as `fd`, with
// `settings`, into both variant fields (sha256-v2, which covers the
// settings). The package must be complete. Returns the digest.
Sha256 stampPackageDigest(int fd, std::uint64_t fileSize, const PackageSettings &settings, const std::string &what);

// What the two variant fields of a package hold.
struct StoredDigest {
    enum Kind { NONE, PRESENT, DAMAGED } kind = NONE;
    Sha256 sha256{};                                     // PRESENT: the recorded digest
    DigestAlgorithm algorithm = DIGEST_SHA256;           // PRESENT: how it was computed
    bool hasSettings = false;                            // PRESENT: a sha256-v2 record carries settings
    PackageSettings settings;                            // PRESENT with settings
    unsigned char signature[DIGEST_SIGNATURE_SIZE] = {}; // PRESENT with settings: the signature area
    std::vector<std::string> problems;                   // DAMAGED: what is wrong, one sentence each
};
StoredDigest readStoredDigest(int fd, std::uint64_t fileSize, const std::string &what);

// For info and verify: the settings that the package's digest record
// carries; none for a package without them or with a damaged record.
std::optional<PackageSettings> storedSettings(const std::filesystem::path &path, std::uint64_t fileSize);

// For `verify`: checks the digest of the package at `path` (whose layout is
// sound) and appends what is wrong to `problems`. Returns the words for the
// verdict: "SHA-256 digest matches" or "no digest".
std::string checkPackageDigest(const std::filesystem::path &path, std::uint64_t fileSize,
                               std::vector<std::string> &problems);

// For `info`: the words "SHA-256 <hex>", "none" or "damaged", and the hex
// digest alone (empty unless one is recorded); appends the damage to
// `problems`. The digest is shown, not checked.
struct DigestDescription {
    std::string text;
    std::string hex;
};
DigestDescription describePackageDigest(const std::filesystem::path &path, std::uint64_t fileSize,
                                        std::vector<std::string> &problems);

} // namespace mkportable

#endif
