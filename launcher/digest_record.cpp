#include "digest_record.h"

#include <cstring>

static_assert(DIGEST_RECORD_USED <= PKG_VARIANT_FIELD_SIZE);
static_assert(PKG_VARIANT_FIELD_OFFSET[1] + PKG_VARIANT_FIELD_SIZE + 4 == PKG_DIRECTORY_SIZE);

void encodeDigestRecord(const unsigned char sha256[DIGEST_SHA256_SIZE],
                        unsigned char field[PKG_VARIANT_FIELD_SIZE])
{
    std::memset(field, 0, PKG_VARIANT_FIELD_SIZE);
    std::memcpy(field, DIGEST_MAGIC, DIGEST_MAGIC_SIZE);
    std::memcpy(field + DIGEST_MAGIC_SIZE, DIGEST_ALGORITHM_SHA256,
                sizeof DIGEST_ALGORITHM_SHA256);
    std::memcpy(field + DIGEST_MAGIC_SIZE + DIGEST_ALGORITHM_SIZE, sha256, DIGEST_SHA256_SIZE);
}

DigestFieldKind decodeDigestRecord(const unsigned char field[PKG_VARIANT_FIELD_SIZE],
                                   unsigned char sha256[DIGEST_SHA256_SIZE])
{
    if (std::memcmp(field, DIGEST_MAGIC, DIGEST_MAGIC_SIZE) != 0)
        return DIGEST_FIELD_ABSENT;
    // Rebuilding the record from its hash and comparing all 260 bytes checks
    // the algorithm name and every padding byte at once.
    unsigned char expected[PKG_VARIANT_FIELD_SIZE];
    encodeDigestRecord(field + DIGEST_MAGIC_SIZE + DIGEST_ALGORITHM_SIZE, expected);
    if (std::memcmp(field, expected, PKG_VARIANT_FIELD_SIZE) != 0)
        return DIGEST_FIELD_MALFORMED;
    std::memcpy(sha256, field + DIGEST_MAGIC_SIZE + DIGEST_ALGORITHM_SIZE, DIGEST_SHA256_SIZE);
    return DIGEST_FIELD_VALID;
}
