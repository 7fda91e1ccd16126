#include "package_signing.h"

#include "input_file.h"
#include "pack_error.h"
#include "package_digest.h"
#include "package_settings_text.h"

#include <algorithm>
#include <optional>

namespace mkportable {

namespace {

const char MALFORMED[] = "the signature area of the digest record is malformed: it holds neither an Ed25519 "
                         "signature nor zeros";

bool fieldsAreZero(int fd, std::uint64_t fileSize, const std::string &what)
{
    for (int which = 0; which < 2; ++which) {
        unsigned char field[PKG_VARIANT_FIELD_SIZE];
        readAllAt(fd, field, sizeof field, variantFieldOffset(fileSize, which), what);
        if (std::any_of(std::begin(field), std::end(field), [](unsigned char b) { return b != 0; }))
            return false;
    }
    return true;
}

// The signature area of the package at `path`: ABSENT also for a package
// whose record has none (no record, an older one); none for a damaged
// record, which the digest check reports.
std::optional<SignatureAreaKind> readSignature(const std::filesystem::path &path, std::uint64_t fileSize,
                                               PackageSignature *signature, Sha256 *digest)
{
    const InputFile file = InputFile::open(path, "package");
    const StoredDigest stored = readStoredDigest(file.fd(), fileSize, file.name());
    if (stored.kind == StoredDigest::DAMAGED)
        return std::nullopt;
    if (stored.kind != StoredDigest::PRESENT || !stored.hasSettings)
        return SIGNATURE_ABSENT;
    *digest = stored.sha256;
    return decodeSignatureArea(stored.signature, signature);
}

} // namespace

void storeSignature(int fd, std::uint64_t fileSize, const SigningKey &key, const Sha256 &digest,
                    const std::string &what)
{
    unsigned char area[DIGEST_SIGNATURE_SIZE];
    encodeSignatureArea(signPackageDigest(key, digest), area);
    for (int which = 0; which < 2; ++which)
        writeAllAt(fd, area, sizeof area, variantFieldOffset(fileSize, which) + DIGEST_SIGNATURE_OFFSET, what);
}

void signPackage(int fd, std::uint64_t fileSize, const SigningKey &key, bool stampIfBare, const std::string &what)
{
    if (stampIfBare && fileSize > PKG_DIRECTORY_SIZE && fieldsAreZero(fd, fileSize, what))
        stampPackageDigest(fd, fileSize, defaultPackageSettings(), what);
    const StoredDigest stored = readStoredDigest(fd, fileSize, what);
    if (stored.kind == StoredDigest::DAMAGED)
        throw PackError(what + ": " + stored.problems.front() + "; rebuild the package");
    if (stored.kind != StoredDigest::PRESENT || stored.algorithm != DIGEST_SHA256_V2)
        throw PackError(what + " cannot be signed: its variant fields hold " +
                        (stored.kind == StoredDigest::NONE ? "neither zeros nor a digest record"
                                                           : "an older digest record, without room for a signature") +
                        "; rebuild it with this mkportable");
    if (packageSha256(fd, fileSize, DIGEST_SHA256_V2, what) != stored.sha256)
        throw PackError(what + " cannot be signed: it was changed after it was built, its SHA-256 digest does not "
                               "match the one recorded");
    storeSignature(fd, fileSize, key, stored.sha256, what);
}

std::string checkPackageSignature(const std::filesystem::path &path, std::uint64_t fileSize,
                                  const std::vector<PublicKey> &keys, std::vector<std::string> &problems)
{
    PackageSignature signature;
    Sha256 digest{};
    const std::optional<SignatureAreaKind> kind = readSignature(path, fileSize, &signature, &digest);
    if (!kind)
        return {};
    if (kind == SIGNATURE_MALFORMED) {
        problems.push_back(MALFORMED);
        return {};
    }
    if (kind == SIGNATURE_ABSENT) {
        if (!keys.empty())
            problems.push_back("the package is not signed, and --key asks for a signature");
        return {};
    }
    const std::string signer = "signed by " + keyIdString(signature.keyId);
    if (keys.empty())
        return signer;
    const auto byKey = std::find_if(keys.begin(), keys.end(), [&](const PublicKey &key) {
        return std::equal(std::begin(key.keyId), std::end(key.keyId), signature.keyId);
    });
    if (byKey == keys.end())
        problems.push_back(signer + ", which is none of the keys given");
    else if (!signatureMatches(signature, *byKey, digest.data()))
        problems.push_back("the signature by " + keyIdString(signature.keyId) + " does not match the package");
    return signer + " (signature matches)";
}

std::string describePackageSignature(const std::filesystem::path &path, std::uint64_t fileSize,
                                     std::vector<std::string> &problems)
{
    PackageSignature signature;
    Sha256 digest{};
    const std::optional<SignatureAreaKind> kind = readSignature(path, fileSize, &signature, &digest);
    if (kind == SIGNATURE_MALFORMED)
        problems.push_back(MALFORMED);
    return kind == SIGNATURE_PRESENT ? keyIdString(signature.keyId) : std::string();
}

} // namespace mkportable
