#include "package_digest.h"

#include "input_file.h"
#include "pack_error.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mkportable_digest {
using ::packageSha256;
}

namespace mkportable {

namespace {

constexpr std::uint64_t TRAILER_SIZE = PKG_DIRECTORY_SIZE + 1;

// File offsets of the two variant fields.
std::array<std::uint64_t, 2> fieldOffsets(std::uint64_t fileSize)
{
    return {variantFieldOffset(fileSize, 0), variantFieldOffset(fileSize, 1)};
}

const char *FIELD_NAMES[2] = {"at directory offset 20", "at directory offset 284"};

} // namespace

Sha256 packageSha256(int fd, std::uint64_t fileSize, DigestAlgorithm algorithm, const std::string &what)
{
    if (fileSize < TRAILER_SIZE)
        throw PackError(what + " is too short to hold a package directory");
    Sha256 digest;
    if (!mkportable_digest::packageSha256(fd, fileSize, algorithm, digest.data()))
        throwSystemError("cannot read " + what, errno ? errno : EIO);
    return digest;
}

Sha256 stampPackageDigest(int fd, std::uint64_t fileSize, const PackageSettings &settings, const std::string &what)
{
    DigestRecord stamp;
    stamp.algorithm = DIGEST_SHA256_V2;
    stamp.settings = settings;
    // The settings are written before the digest is taken: it covers them.
    unsigned char record[PKG_VARIANT_FIELD_SIZE];
    encodeDigestField(stamp, record);
    for (std::uint64_t at : fieldOffsets(fileSize))
        writeAllAt(fd, record, sizeof record, at, what);
    const Sha256 digest = packageSha256(fd, fileSize, DIGEST_SHA256_V2, what);
    std::copy(digest.begin(), digest.end(), stamp.sha256);
    encodeDigestField(stamp, record);
    for (std::uint64_t at : fieldOffsets(fileSize))
        writeAllAt(fd, record, sizeof record, at, what);
    return digest;
}

StoredDigest readStoredDigest(int fd, std::uint64_t fileSize, const std::string &what)
{
    StoredDigest stored;
    if (fileSize < TRAILER_SIZE)
        return stored;
    const std::array<std::uint64_t, 2> at = fieldOffsets(fileSize);
    unsigned char field[2][PKG_VARIANT_FIELD_SIZE];
    DigestRecord record[2];
    DigestFieldKind kind[2];
    for (int i = 0; i < 2; ++i) {
        readAllAt(fd, field[i], PKG_VARIANT_FIELD_SIZE, at[i], what);
        kind[i] = decodeDigestField(field[i], &record[i]);
    }
    if (kind[0] == DIGEST_FIELD_ABSENT && kind[1] == DIGEST_FIELD_ABSENT)
        return stored;
    stored.kind = StoredDigest::DAMAGED;
    for (int i = 0; i < 2; ++i) {
        if (kind[i] == DIGEST_FIELD_ABSENT)
            stored.problems.push_back(std::string("the digest record ") + FIELD_NAMES[i] +
                                      " is missing, while the other field holds one");
        if (kind[i] == DIGEST_FIELD_MALFORMED)
            stored.problems.push_back(std::string("the digest record ") + FIELD_NAMES[i] +
                                      " is damaged or was written by a newer mkportable");
    }
    if (!stored.problems.empty())
        return stored;
    if (std::memcmp(field[0], field[1], PKG_VARIANT_FIELD_SIZE) != 0) {
        stored.problems.push_back("the two digest records in the package directory differ");
        return stored;
    }
    stored.kind = StoredDigest::PRESENT;
    std::copy(std::begin(record[0].sha256), std::end(record[0].sha256), stored.sha256.begin());
    stored.algorithm = record[0].algorithm;
    stored.hasSettings = record[0].algorithm == DIGEST_SHA256_V2;
    stored.settings = record[0].settings;
    std::copy(std::begin(record[0].signature), std::end(record[0].signature), stored.signature);
    return stored;
}

std::optional<PackageSettings> storedSettings(const std::filesystem::path &path, std::uint64_t fileSize)
{
    const InputFile file = InputFile::open(path, "package");
    const StoredDigest stored = readStoredDigest(file.fd(), fileSize, file.name());
    if (stored.kind != StoredDigest::PRESENT || !stored.hasSettings)
        return std::nullopt;
    return stored.settings;
}

std::string checkPackageDigest(const std::filesystem::path &path, std::uint64_t fileSize,
                               std::vector<std::string> &problems)
{
    const InputFile file = InputFile::open(path, "package");
    const StoredDigest stored = readStoredDigest(file.fd(), fileSize, file.name());
    if (stored.kind == StoredDigest::NONE)
        return "no digest";
    if (stored.kind == StoredDigest::DAMAGED) {
        for (const std::string &problem : stored.problems)
            problems.push_back(problem + ": the package was changed after it was built");
        return "digest damaged";
    }
    if (packageSha256(file.fd(), fileSize, stored.algorithm, file.name()) != stored.sha256) {
        problems.push_back("the package was changed after it was built: its SHA-256 digest "
                           "does not match the one recorded");
        return "digest mismatch";
    }
    return "SHA-256 digest matches";
}

DigestDescription describePackageDigest(const std::filesystem::path &path, std::uint64_t fileSize,
                                        std::vector<std::string> &problems)
{
    const InputFile file = InputFile::open(path, "package");
    const StoredDigest stored = readStoredDigest(file.fd(), fileSize, file.name());
    if (stored.kind == StoredDigest::NONE)
        return {"none", ""};
    if (stored.kind == StoredDigest::DAMAGED) {
        problems.insert(problems.end(), stored.problems.begin(), stored.problems.end());
        return {"damaged", ""};
    }
    char hexDigits[DIGEST_HEX_TEXT_SIZE];
    digestHexText(stored.sha256.data(), hexDigits);
    const std::string hex = hexDigits;
    return {"SHA-256 " + hex, hex};
}

} // namespace mkportable
