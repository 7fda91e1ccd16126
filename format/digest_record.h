// The digest record that mkportable stores in the package directory's two
// variant fields, so that a changed byte anywhere in a package is found.
//
// Both 260-byte variant fields (directory offsets 20 and 284) hold the same
// record; no launcher reads those fields for anything else.
//
//   offset  size  content
//        0    16  magic "portable-digest" and one NUL byte
//       16    16  algorithm, NUL-padded: "sha256" or "sha256-v2"
//       32    32  SHA-256 of the whole package file, computed with some
//                 bytes of both variant fields taken as zero:
//                   sha256     all 520 bytes
//                   sha256-v2  bytes 32-63 and 184-259 of each field
//       64   120  sha256: zero; sha256-v2: the package settings
//                 (package_settings.h), covered by the digest
//      184    76  sha256: zero; sha256-v2: kept for a signature, not
//                 covered by the digest
//
// A package whose fields both lack the magic has no digest (an older or
// hand-made package). Plain C++ without allocation, so that the static
// launcher can check the record too.
#ifndef FORMAT_DIGEST_RECORD_H
#define FORMAT_DIGEST_RECORD_H

#include "package_format.h"
#include "package_settings.h"

#include <cstdint>

constexpr int DIGEST_MAGIC_SIZE = 16;
constexpr int DIGEST_ALGORITHM_SIZE = 16;
constexpr int DIGEST_SHA256_SIZE = 32;
constexpr int DIGEST_RECORD_USED = DIGEST_MAGIC_SIZE + DIGEST_ALGORITHM_SIZE + DIGEST_SHA256_SIZE;
constexpr char DIGEST_MAGIC[DIGEST_MAGIC_SIZE] = "portable-digest";
constexpr char DIGEST_ALGORITHM_SHA256[] = "sha256";
constexpr char DIGEST_ALGORITHM_SHA256_V2[] = "sha256-v2";
constexpr int DIGEST_SIGNATURE_OFFSET = SETTINGS_OFFSET + SETTINGS_SIZE; // 184
constexpr int DIGEST_SIGNATURE_SIZE = PKG_VARIANT_FIELD_SIZE - DIGEST_SIGNATURE_OFFSET;

enum DigestAlgorithm {
    DIGEST_SHA256,   // the digest alone; the rest of the field is zero
    DIGEST_SHA256_V2 // the digest, the package settings and room for a signature
};

// One variant field, decoded.
struct DigestRecord {
    DigestAlgorithm algorithm = DIGEST_SHA256;
    unsigned char sha256[DIGEST_SHA256_SIZE] = {};
    PackageSettings settings;                            // sha256-v2 only
    unsigned char signature[DIGEST_SIGNATURE_SIZE] = {}; // sha256-v2 only
};

// Where the two variant fields start inside the package directory.
constexpr int PKG_VARIANT_FIELD_OFFSET[2] = {4 * PKG_ELEMENT_COUNT, 4 * PKG_ELEMENT_COUNT + PKG_VARIANT_FIELD_SIZE + 4};

enum DigestFieldKind {
    DIGEST_FIELD_ABSENT,   // the field does not begin with the magic
    DIGEST_FIELD_VALID,    // a whole record in the form above
    DIGEST_FIELD_MALFORMED // the magic, then something else than that form
};

// The digest in 64 lower-case hexadecimal digits and a NUL, as sha256sum
// prints it.
constexpr int DIGEST_HEX_TEXT_SIZE = 2 * DIGEST_SHA256_SIZE + 1;
void digestHexText(const unsigned char sha256[DIGEST_SHA256_SIZE], char text[DIGEST_HEX_TEXT_SIZE]);

// Fills one variant field with `record` in the form its algorithm gives.
void encodeDigestField(const DigestRecord &record, unsigned char field[PKG_VARIANT_FIELD_SIZE]);

// Classifies one variant field; for a valid record also decodes it. A
// record with the magic and an algorithm, a settings value or a padding byte
// that this code does not know is malformed (damaged, or made by a newer
// mkportable).
DigestFieldKind decodeDigestField(const unsigned char field[PKG_VARIANT_FIELD_SIZE], DigestRecord *out);

// What the two variant fields of a package say together.
enum PackageRecordKind {
    PACKAGE_RECORD_NONE,   // neither field holds a record: no digest, no settings
    PACKAGE_RECORD_VALID,  // both hold the same valid record
    PACKAGE_RECORD_DAMAGED // one lacks it, one is malformed, or they differ
};
PackageRecordKind decodePackageRecord(const unsigned char field0[PKG_VARIANT_FIELD_SIZE],
                                      const unsigned char field1[PKG_VARIANT_FIELD_SIZE], DigestRecord *out);

// Reads both variant fields of the `fileSize`-byte package open on fd and
// says what they hold together: false when they cannot be read.
bool readPackageRecord(int fd, uint64_t fileSize, PackageRecordKind *kind, DigestRecord *record);

// SHA-256 of the `fileSize`-byte package open on fd, read with pread, with
// the bytes that `algorithm` leaves out taken as zero: false when a read
// fails or the file is shorter than a package directory.
bool packageSha256(int fd, uint64_t fileSize, DigestAlgorithm algorithm, unsigned char sha256[DIGEST_SHA256_SIZE]);

// File offset of variant field `which` (0 or 1) of a `fileSize`-byte package.
uint64_t variantFieldOffset(uint64_t fileSize, int which);

#endif
