// The digest record that mkportable stores in the package directory's two
// variant fields, so that a changed byte anywhere in a package is found.
//
// Both 260-byte variant fields (directory offsets 20 and 284) hold the same
// record; no launcher reads those fields for anything else.
//
//   offset  size  content
//        0    16  magic "portable-digest" and one NUL byte
//       16    16  algorithm "sha256", NUL-padded
//       32    32  SHA-256 of the whole package file, computed with all 520
//                 bytes of both variant fields taken as zero
//       64   196  zero
//
// A package whose fields both lack the magic has no digest (an older or
// hand-made package). Plain C++ without allocation, so that the static
// launcher can check the record too.
#ifndef FORMAT_DIGEST_RECORD_H
#define FORMAT_DIGEST_RECORD_H

#include "package_format.h"

#include <cstdint>

constexpr int DIGEST_MAGIC_SIZE = 16;
constexpr int DIGEST_ALGORITHM_SIZE = 16;
constexpr int DIGEST_SHA256_SIZE = 32;
constexpr int DIGEST_RECORD_USED = DIGEST_MAGIC_SIZE + DIGEST_ALGORITHM_SIZE + DIGEST_SHA256_SIZE;
constexpr char DIGEST_MAGIC[DIGEST_MAGIC_SIZE] = "portable-digest";
constexpr char DIGEST_ALGORITHM_SHA256[] = "sha256";

// Where the two variant fields start inside the package directory.
constexpr int PKG_VARIANT_FIELD_OFFSET[2] = {4 * PKG_ELEMENT_COUNT, 4 * PKG_ELEMENT_COUNT + PKG_VARIANT_FIELD_SIZE + 4};

enum DigestFieldKind {
    DIGEST_FIELD_ABSENT,   // the field does not begin with the magic
    DIGEST_FIELD_VALID,    // a whole record in the form above
    DIGEST_FIELD_MALFORMED // the magic, then something else than that form
};

// Fills one variant field with the record for `sha256`.
void encodeDigestRecord(const unsigned char sha256[DIGEST_SHA256_SIZE], unsigned char field[PKG_VARIANT_FIELD_SIZE]);

// Classifies one variant field; for a valid record also copies its SHA-256
// to `sha256`.
DigestFieldKind decodeDigestRecord(const unsigned char field[PKG_VARIANT_FIELD_SIZE],
                                   unsigned char sha256[DIGEST_SHA256_SIZE]);

// SHA-256 of the `fileSize`-byte package open on fd, read with pread, with
// both variant fields taken as zero bytes: false when a read fails or the
// file is shorter than a package directory.
bool packageSha256(int fd, uint64_t fileSize, unsigned char sha256[DIGEST_SHA256_SIZE]);

// File offset of variant field `which` (0 or 1) of a `fileSize`-byte package.
uint64_t variantFieldOffset(uint64_t fileSize, int which);

#endif
