// A package's signature: made over its sha256-v2 digest and stored in the
// signature area of both variant fields (package_signature.h), then shown
// and checked by info and verify.
#ifndef MKPORTABLE_PACKAGE_SIGNING_H
#define MKPORTABLE_PACKAGE_SIGNING_H

#include "package_signature.h"
#include "signing_key.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mkportable {

// Writes `key`'s signature of `digest`, the package's sha256-v2 digest, into
// the signature area of both variant fields of the package open as `fd`.
void storeSignature(int fd, std::uint64_t fileSize, const SigningKey &key, const Sha256 &digest,
                    const std::string &what);

// Signs the complete package open read-write as `fd`, whose variant fields
// hold the same sha256-v2 record: writes `key`'s signature of the recorded
// digest into the signature area of both. When `stampIfBare`, variant fields
// that are all zero get a digest record with the default settings first.
// Throws PackError, naming `what`, for fields that hold anything else (an
// older or damaged record, or bytes of a hand-made package), and for a
// digest that does not match the file: that package was changed since it
// was built, and a signature would vouch for the change.
void signPackage(int fd, std::uint64_t fileSize, const SigningKey &key, bool stampIfBare, const std::string &what);

// For `verify`: the words on the signature of the package at `path`, which
// verify has found sound: "signed by KEYID", or empty when it is not signed.
// With `keys`, a valid signature by one of them is required; what is wrong
// is appended to `problems`, and so is a malformed signature area.
std::string checkPackageSignature(const std::filesystem::path &path, std::uint64_t fileSize,
                                  const std::vector<PublicKey> &keys, std::vector<std::string> &problems);

// For `info`: the signer's key ID, or empty when the package is not signed;
// a malformed signature area goes to `problems`. The signature is shown, not
// checked.
std::string describePackageSignature(const std::filesystem::path &path, std::uint64_t fileSize,
                                     std::vector<std::string> &problems);

} // namespace mkportable

#endif
