#include "digest_record.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nettle/sha2.h>
#include <unistd.h>

static_assert(DIGEST_RECORD_USED <= PKG_VARIANT_FIELD_SIZE);
static_assert(PKG_VARIANT_FIELD_OFFSET[1] + PKG_VARIANT_FIELD_SIZE + 4 == PKG_DIRECTORY_SIZE);

namespace {

constexpr int DIGEST_SHA256_OFFSET = DIGEST_MAGIC_SIZE + DIGEST_ALGORITHM_SIZE;

// The bytes of each variant field that an algorithm's digest does not cover:
// the digest itself, and under sha256-v2 the signature, which signs the
// digest. Under sha256-v2 the settings are covered.
struct ZeroSpan {
    uint64_t offset;
    uint64_t size;
};
const ZeroSpan ZERO_SPANS[2][2] = {
    {{0, PKG_VARIANT_FIELD_SIZE}, {0, 0}},
    {{DIGEST_SHA256_OFFSET, DIGEST_SHA256_SIZE}, {DIGEST_SIGNATURE_OFFSET, DIGEST_SIGNATURE_SIZE}},
};

// The name is compared with its NUL padding, so "sha256x" or a stray byte
// after the name is as unknown as any other name.
bool algorithmIs(const unsigned char name[DIGEST_ALGORITHM_SIZE], const char *text)
{
    char padded[DIGEST_ALGORITHM_SIZE] = {};
    std::memcpy(padded, text, std::strlen(text));
    return std::memcmp(name, padded, DIGEST_ALGORITHM_SIZE) == 0;
}

bool isAllZero(const unsigned char *bytes, int size)
{
    for (int i = 0; i < size; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

} // namespace

void encodeDigestField(const DigestRecord &record, unsigned char field[PKG_VARIANT_FIELD_SIZE])
{
    std::memset(field, 0, PKG_VARIANT_FIELD_SIZE);
    std::memcpy(field, DIGEST_MAGIC, DIGEST_MAGIC_SIZE);
    if (record.algorithm == DIGEST_SHA256) {
        std::memcpy(field + DIGEST_MAGIC_SIZE, DIGEST_ALGORITHM_SHA256, sizeof DIGEST_ALGORITHM_SHA256);
    } else {
        std::memcpy(field + DIGEST_MAGIC_SIZE, DIGEST_ALGORITHM_SHA256_V2, sizeof DIGEST_ALGORITHM_SHA256_V2);
        encodePackageSettings(record.settings, field + SETTINGS_OFFSET);
        std::memcpy(field + DIGEST_SIGNATURE_OFFSET, record.signature, DIGEST_SIGNATURE_SIZE);
    }
    std::memcpy(field + DIGEST_SHA256_OFFSET, record.sha256, DIGEST_SHA256_SIZE);
}

void digestHexText(const unsigned char sha256[DIGEST_SHA256_SIZE], char text[DIGEST_HEX_TEXT_SIZE])
{
    for (int i = 0; i < DIGEST_SHA256_SIZE; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", sha256[i]);
}

DigestFieldKind decodeDigestField(const unsigned char field[PKG_VARIANT_FIELD_SIZE], DigestRecord *out)
{
    if (std::memcmp(field, DIGEST_MAGIC, DIGEST_MAGIC_SIZE) != 0)
        return DIGEST_FIELD_ABSENT;
    DigestRecord record;
    const unsigned char *name = field + DIGEST_MAGIC_SIZE;
    if (algorithmIs(name, DIGEST_ALGORITHM_SHA256)) {
        record.algorithm = DIGEST_SHA256;
        if (!isAllZero(field + SETTINGS_OFFSET, PKG_VARIANT_FIELD_SIZE - SETTINGS_OFFSET))
            return DIGEST_FIELD_MALFORMED;
    } else if (algorithmIs(name, DIGEST_ALGORITHM_SHA256_V2)) {
        record.algorithm = DIGEST_SHA256_V2;
        if (!decodePackageSettings(field + SETTINGS_OFFSET, &record.settings))
            return DIGEST_FIELD_MALFORMED;
        std::memcpy(record.signature, field + DIGEST_SIGNATURE_OFFSET, DIGEST_SIGNATURE_SIZE);
    } else {
        return DIGEST_FIELD_MALFORMED;
    }
    std::memcpy(record.sha256, field + DIGEST_SHA256_OFFSET, DIGEST_SHA256_SIZE);
    *out = record;
    return DIGEST_FIELD_VALID;
}

PackageRecordKind decodePackageRecord(const unsigned char field0[PKG_VARIANT_FIELD_SIZE],
                                      const unsigned char field1[PKG_VARIANT_FIELD_SIZE], DigestRecord *out)
{
    DigestRecord first, second;
    DigestFieldKind kind0 = decodeDigestField(field0, &first);
    DigestFieldKind kind1 = decodeDigestField(field1, &second);
    if (kind0 == DIGEST_FIELD_ABSENT && kind1 == DIGEST_FIELD_ABSENT)
        return PACKAGE_RECORD_NONE;
    if (kind0 != DIGEST_FIELD_VALID || kind1 != DIGEST_FIELD_VALID ||
        std::memcmp(field0, field1, PKG_VARIANT_FIELD_SIZE) != 0)
        return PACKAGE_RECORD_DAMAGED;
    *out = first;
    return PACKAGE_RECORD_VALID;
}

bool readPackageRecord(int fd, uint64_t fileSize, PackageRecordKind *kind, DigestRecord *record)
{
    unsigned char field[2][PKG_VARIANT_FIELD_SIZE];
    for (int i = 0; i < 2; ++i)
        if (fileSize < uint64_t(PKG_DIRECTORY_SIZE + 1) ||
            pread(fd, field[i], sizeof field[i], off_t(variantFieldOffset(fileSize, i))) != PKG_VARIANT_FIELD_SIZE)
            return false;
    *kind = decodePackageRecord(field[0], field[1], record);
    return true;
}

uint64_t variantFieldOffset(uint64_t fileSize, int which)
{
    return fileSize - (PKG_DIRECTORY_SIZE + 1) + uint64_t(PKG_VARIANT_FIELD_OFFSET[which]);
}

bool packageSha256(int fd, uint64_t fileSize, DigestAlgorithm algorithm, unsigned char sha256[DIGEST_SHA256_SIZE])
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
            for (const ZeroSpan &span : ZERO_SPANS[algorithm]) {
                uint64_t from = std::max(at, field + span.offset);
                uint64_t to = std::min(at + uint64_t(n), field + span.offset + span.size);
                if (from < to)
                    std::memset(chunk + (from - at), 0, std::size_t(to - from));
            }
        }
        sha256_update(&ctx, std::size_t(n), chunk);
        at += uint64_t(n);
    }
    sha256_digest(&ctx, DIGEST_SHA256_SIZE, sha256);
    return true;
}
