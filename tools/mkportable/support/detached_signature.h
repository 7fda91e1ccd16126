// PACKAGE.minisig: a signature of the whole package file in minisign's own
// form, for operators who check files with `minisign -V`.
#ifndef MKPORTABLE_DETACHED_SIGNATURE_H
#define MKPORTABLE_DETACHED_SIGNATURE_H

#include "mkportable/package/signing_key.h"

#include <filesystem>
#include <optional>
#include <ostream>

namespace mkportable {

// The BLAKE2b-512 of `package` as it is before a build or a signing
// replaces it, when a PACKAGE.minisig lies beside it; none otherwise.
std::optional<FileHash> hashBeforeReplacing(const std::filesystem::path &package);

// After `package` was written or signed: with a `key`, writes
// PACKAGE.minisig for its bytes atomically (a prehashed signature whose
// trusted comment names the file); without one, removes a PACKAGE.minisig
// that was made for other bytes than the package now holds (`before`, from
// hashBeforeReplacing). Says so on `out` unless quiet.
void settleDetachedSignature(const std::filesystem::path &package, const SigningKey *key,
                             const std::optional<FileHash> &before, bool quiet, std::ostream &out);

} // namespace mkportable

#endif
