// The signature of a package: who made it, checked before anything of it
// runs. It lies in the signature area of the digest record (bytes 184-259
// of both variant fields, digest_record.h) and signs the sha256-v2 digest,
// which covers everything but the digest and the signature themselves.
//
//   area offset  size  content
//             0     2  "Ed"
//             2     8  key ID
//            10    64  Ed25519 signature of the signed message
//            74     2  zero
//
// The signed message is SIGNED_MESSAGE_PREFIX followed by the 32 bytes of
// the digest. Keys are minisign's: a public key file is an untrusted-comment
// line, then base64 of "Ed", the 8-byte key ID and the 32-byte Ed25519 key.
// Plain C++ without allocation: the static launcher checks signatures too.
#ifndef FORMAT_PACKAGE_SIGNATURE_H
#define FORMAT_PACKAGE_SIGNATURE_H

#include "digest_record.h"

#include <cstddef>
#include <cstdint>

constexpr int KEY_ID_SIZE = 8;
constexpr int PUBLIC_KEY_SIZE = 32;
constexpr int SIGNATURE_SIZE = 64;
constexpr char SIGNED_MESSAGE_PREFIX[] = "quarn-portable signature v1\n";
constexpr int SIGNED_MESSAGE_SIZE = int(sizeof SIGNED_MESSAGE_PREFIX) - 1 + DIGEST_SHA256_SIZE;
// "Ed" and the key ID, as minisign writes them in front of a key.
constexpr int PUBLIC_KEY_BLOB_SIZE = 2 + KEY_ID_SIZE + PUBLIC_KEY_SIZE;
// The key ID as minisign shows it: 16 upper-case hexadecimal digits.
constexpr int KEY_ID_TEXT_SIZE = 2 * KEY_ID_SIZE + 1;

struct PublicKey {
    unsigned char keyId[KEY_ID_SIZE] = {};
    unsigned char key[PUBLIC_KEY_SIZE] = {};
};

struct PackageSignature {
    unsigned char keyId[KEY_ID_SIZE] = {};
    unsigned char signature[SIGNATURE_SIZE] = {};
};

enum SignatureAreaKind {
    SIGNATURE_ABSENT,   // all zero: the package is not signed
    SIGNATURE_PRESENT,  // "Ed", a key ID, a signature, two zero bytes
    SIGNATURE_MALFORMED // anything else
};

void encodeSignatureArea(const PackageSignature &signature, unsigned char area[DIGEST_SIGNATURE_SIZE]);
SignatureAreaKind decodeSignatureArea(const unsigned char area[DIGEST_SIGNATURE_SIZE], PackageSignature *out);

// The message that a package's signature signs, for the digest `sha256`.
void signedMessage(const unsigned char sha256[DIGEST_SHA256_SIZE], unsigned char message[SIGNED_MESSAGE_SIZE]);

// True when `signature` is `key`'s signature of the message for `sha256`
// and names `key`'s ID.
bool signatureMatches(const PackageSignature &signature, const PublicKey &key,
                      const unsigned char sha256[DIGEST_SHA256_SIZE]);

// Reads a minisign public key file's text (the comment line is optional):
// false when it holds no "Ed" key.
bool parsePublicKey(const char *text, std::size_t length, PublicKey *out);

// The key ID as minisign shows it.
void keyIdText(const unsigned char keyId[KEY_ID_SIZE], char text[KEY_ID_TEXT_SIZE]);

#endif
