#include "digest_record.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nettle/sha2.h>
#include <unistd.h>

static_assert(DIGEST_RECORD_USED <= PKG_VARIANT_FIELD_SIZE);
static_assert(PKG_VARIANT_FIELD_OFFSET[1] + PKG_VARIANT_FIELD_SIZE + 4 == PKG_DIRECTORY_SIZE);

void encodeDigestRecord(const unsigned char sha256[DIGEST_SHA256_SIZE], unsigned char field[PKG_VARIANT_FIELD_SIZE])
{
    std::memset(field, 0, PKG_VARIANT_FIELD_SIZE);
    std::memcpy(field, DIGEST_MAGIC, DIGEST_MAGIC_SIZE);
    std::memcpy(field + DIGEST_MAGIC_SIZE, DIGEST_ALGORITHM_SHA256, sizeof DIGEST_ALGORITHM_SHA256);
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

uint64_t variantFieldOffset(uint64_t fileSize, int which)
{
    return fileSize - (PKG_DIRECTORY_SIZE + 1) + uint64_t(PKG_VARIANT_FIELD_OFFSET[which]);
}

bool packageSha256(int fd, uint64_t fileSize, unsigned char sha256[DIGEST_SHA256_SIZE])
{
    if (fileSize < uint64_t(PKG_DIRECTORY_SIZE + 1))
        return false;
    sha256_ctx ctx;
    sha256_init(&ctx);
    // One buffer for the whole file: the static launcher reads it in the
    // same 128 KiB chunks as it copies elements.
    static unsigned char chunk[128 * 1024];
    for (uint64_t at = 0; at < fileSize;) {
        std::size_t want = std::size_t(std::min<uint64_t>(sizeof chunk, fileSize - at));
        ssize_t n = pread(fd, chunk, want, off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        for (int which = 0; which < 2; ++which) {
            uint64_t field = variantFieldOffset(fileSize, which);
            uint64_t from = std::max(at, field);
            uint64_t to = std::min(at + uint64_t(n), field + PKG_VARIANT_FIELD_SIZE);
            if (from < to)
                std::memset(chunk + (from - at), 0, std::size_t(to - from));
        }
        sha256_update(&ctx, std::size_t(n), chunk);
        at += uint64_t(n);
    }
    sha256_digest(&ctx, DIGEST_SHA256_SIZE, sha256);
    return true;
}
