// Signing keys in minisign's file formats, and signatures made with them.
//
// A public key file (NAME.pub) is package_signature.h's. A secret key file
// (NAME.key) is an untrusted-comment line, then base64 of 158 bytes:
//
//   offset  size  content
//        0     2  signature algorithm "Ed"
//        2     2  key derivation: two zero bytes (none: the key is stored
//                 in the clear), or "Sc" (scrypt: a password protects it)
//        4     2  checksum algorithm "B2"
//        6    32  key derivation salt (zero when there is none)
//       38     8  key derivation operations limit, little-endian
//       46     8  key derivation memory limit, little-endian
//       54     8  key ID
//       62    64  Ed25519 secret key (seed, then the public key)
//      126    32  BLAKE2b-256 of "Ed", the key ID and the secret key
//
// `minisign -G -W` leaves the checksum zero; a key stored in the clear is
// checked instead by deriving its public half again from the seed.
#ifndef MKPORTABLE_SIGNING_KEY_H
#define MKPORTABLE_SIGNING_KEY_H

#include "package_digest.h"
#include "package_signature.h"

#include <array>
#include <filesystem>
#include <string>

namespace mkportable {

constexpr int SECRET_KEY_SIZE = 64;

// A secret key and its public half; wiped when it goes.
struct SigningKey {
    PublicKey publicKey;
    unsigned char secret[SECRET_KEY_SIZE] = {};

    SigningKey() = default;
    SigningKey(const SigningKey &other) = default;
    SigningKey &operator=(const SigningKey &other) = default;
    ~SigningKey();
};

// A new key pair with a random key ID.
SigningKey generateSigningKey();

// The text of NAME.pub and of NAME.key for `key`.
std::string publicKeyFileText(const PublicKey &key);
std::string secretKeyFileText(const SigningKey &key);

// Reads a secret key from `text`; `file` names it in messages. Throws
// PackError for anything but an intact "Ed" key stored in the clear; an
// encrypted one is refused with the way to decrypt it.
SigningKey parseSigningKey(const std::string &text, const std::string &file);

// Reads a key file: NAME.key, or a public key NAME.pub. Throw PackError
// naming the file when it cannot be read or holds no such key.
SigningKey readSigningKey(const std::filesystem::path &path);
PublicKey readPublicKey(const std::filesystem::path &path);

// The signature of a package whose sha256-v2 digest is `digest`.
PackageSignature signPackageDigest(const SigningKey &key, const Sha256 &digest);

// The key ID as minisign shows it.
std::string keyIdString(const unsigned char keyId[KEY_ID_SIZE]);

// BLAKE2b-512 of a whole file, which minisign's prehashed signatures sign.
using FileHash = std::array<unsigned char, 64>;
// Hashes the file open as `fd` from its start; `what` names it in messages.
FileHash fileHash(int fd, const std::string &what);

// The text of a minisign signature file (NAME.minisig) for a file whose
// BLAKE2b-512 is `hash`: the prehashed signature "ED", the trusted comment
// (no line ends) and the global signature over both.
std::string minisignSignatureText(const SigningKey &key, const FileHash &hash, const std::string &trustedComment);

} // namespace mkportable

#endif
