#include "package_signature.h"

#include <cstdio>
#include <cstring>
#include <sodium.h>

static_assert(2 + KEY_ID_SIZE + SIGNATURE_SIZE + 2 == DIGEST_SIGNATURE_SIZE);

namespace {

constexpr int AREA_KEY_ID = 2;
constexpr int AREA_SIGNATURE = AREA_KEY_ID + KEY_ID_SIZE;
constexpr int AREA_PADDING = AREA_SIGNATURE + SIGNATURE_SIZE;

bool isAllZero(const unsigned char *bytes, int size)
{
    for (int i = 0; i < size; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

// The base64 text of the key: the first line that is not a comment, with
// its line end and surrounding blanks left out.
bool keyLine(const char *text, std::size_t length, const char **start, std::size_t *size)
{
    std::size_t at = 0;
    while (at < length) {
        std::size_t end = at;
        while (end < length && text[end] != '\n')
            ++end;
        std::size_t from = at, to = end;
        while (from < to && (text[from] == ' ' || text[from] == '\t'))
            ++from;
        while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t' || text[to - 1] == '\r'))
            --to;
        if (to > from && std::strncmp(text + from, "untrusted comment:", 18) != 0) {
            *start = text + from;
            *size = to - from;
            return true;
        }
        at = end + 1;
    }
    return false;
}

} // namespace

void encodeSignatureArea(const PackageSignature &signature, unsigned char area[DIGEST_SIGNATURE_SIZE])
{
    std::memset(area, 0, DIGEST_SIGNATURE_SIZE);
    area[0] = 'E';
    area[1] = 'd';
    std::memcpy(area + AREA_KEY_ID, signature.keyId, KEY_ID_SIZE);
    std::memcpy(area + AREA_SIGNATURE, signature.signature, SIGNATURE_SIZE);
}

SignatureAreaKind decodeSignatureArea(const unsigned char area[DIGEST_SIGNATURE_SIZE], PackageSignature *out)
{
    if (isAllZero(area, DIGEST_SIGNATURE_SIZE))
        return SIGNATURE_ABSENT;
    if (area[0] != 'E' || area[1] != 'd' || !isAllZero(area + AREA_PADDING, DIGEST_SIGNATURE_SIZE - AREA_PADDING))
        return SIGNATURE_MALFORMED;
    std::memcpy(out->keyId, area + AREA_KEY_ID, KEY_ID_SIZE);
    std::memcpy(out->signature, area + AREA_SIGNATURE, SIGNATURE_SIZE);
    return SIGNATURE_PRESENT;
}

void signedMessage(const unsigned char sha256[DIGEST_SHA256_SIZE], unsigned char message[SIGNED_MESSAGE_SIZE])
{
    const std::size_t prefix = sizeof SIGNED_MESSAGE_PREFIX - 1;
    std::memcpy(message, SIGNED_MESSAGE_PREFIX, prefix);
    std::memcpy(message + prefix, sha256, DIGEST_SHA256_SIZE);
}

bool signatureMatches(const PackageSignature &signature, const PublicKey &key,
                      const unsigned char sha256[DIGEST_SHA256_SIZE])
{
    if (sodium_init() < 0 || std::memcmp(signature.keyId, key.keyId, KEY_ID_SIZE) != 0)
        return false;
    unsigned char message[SIGNED_MESSAGE_SIZE];
    signedMessage(sha256, message);
    return crypto_sign_verify_detached(signature.signature, message, sizeof message, key.key) == 0;
}

bool parsePublicKey(const char *text, std::size_t length, PublicKey *out)
{
    const char *line = nullptr;
    std::size_t size = 0;
    if (sodium_init() < 0 || !keyLine(text, length, &line, &size))
        return false;
    unsigned char blob[PUBLIC_KEY_BLOB_SIZE + 1];
    std::size_t decoded = 0;
    if (sodium_base642bin(blob, sizeof blob, line, size, nullptr, &decoded, nullptr, sodium_base64_VARIANT_ORIGINAL) !=
            0 ||
        decoded != PUBLIC_KEY_BLOB_SIZE || blob[0] != 'E' || blob[1] != 'd')
        return false;
    std::memcpy(out->keyId, blob + 2, KEY_ID_SIZE);
    std::memcpy(out->key, blob + 2 + KEY_ID_SIZE, PUBLIC_KEY_SIZE);
    return true;
}

void keyIdText(const unsigned char keyId[KEY_ID_SIZE], char text[KEY_ID_TEXT_SIZE])
{
    // minisign prints the ID as a little-endian 64-bit number.
    for (int i = 0; i < KEY_ID_SIZE; ++i)
        std::snprintf(text + 2 * i, 3, "%02X", keyId[KEY_ID_SIZE - 1 - i]);
}
