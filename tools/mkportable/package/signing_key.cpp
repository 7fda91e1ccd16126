#include "signing_key.h"

#include "input_file.h"
#include "pack_error.h"
#include "unique_fd.h"

#include <cstring>
#include <sodium.h>
#include <vector>

namespace mkportable {

namespace {

constexpr int KDF_SALT_SIZE = 32;
constexpr int CHECKSUM_SIZE = 32;
constexpr int AT_KDF = 2;
constexpr int AT_CHECKSUM_ALG = 4;
constexpr int AT_KEY_ID = AT_CHECKSUM_ALG + 2 + KDF_SALT_SIZE + 8 + 8;
constexpr int AT_SECRET = AT_KEY_ID + KEY_ID_SIZE;
constexpr int AT_CHECKSUM = AT_SECRET + SECRET_KEY_SIZE;
constexpr int SECRET_BLOB_SIZE = AT_CHECKSUM + CHECKSUM_SIZE;
// Key files are a few hundred bytes; anything much larger is no key.
constexpr std::uint64_t MAX_KEY_FILE_SIZE = 4096;

static_assert(SECRET_KEY_SIZE == crypto_sign_SECRETKEYBYTES && SIGNATURE_SIZE == crypto_sign_BYTES &&
              PUBLIC_KEY_SIZE == crypto_sign_PUBLICKEYBYTES);

void initSodium()
{
    if (sodium_init() < 0)
        throw PackError("libsodium cannot start");
}

std::string base64(const unsigned char *bytes, std::size_t size)
{
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.pop_back(); // the terminating NUL
    return text;
}

// minisign's checksum of a secret key: BLAKE2b-256 of "Ed", the key ID and
// the secret key.
void keyChecksum(const SigningKey &key, unsigned char checksum[CHECKSUM_SIZE])
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, CHECKSUM_SIZE);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>("Ed"), 2);
    crypto_generichash_update(&state, key.publicKey.keyId, KEY_ID_SIZE);
    crypto_generichash_update(&state, key.secret, SECRET_KEY_SIZE);
    crypto_generichash_final(&state, checksum, CHECKSUM_SIZE);
}

// The base64 line of a key file: the first line that is not a comment.
std::string keyLine(const std::string &text)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (!line.empty() && line.rfind("untrusted comment:", 0) != 0)
            return line;
        at = end + 1;
    }
    return {};
}

std::string readKeyFile(const std::filesystem::path &path, const char *role)
{
    const InputFile in = InputFile::open(path, role);
    if (in.size() > MAX_KEY_FILE_SIZE)
        throw PackError(in.name() + " is " + std::to_string(in.size()) + " bytes long, too long for a key file");
    std::string text(in.size(), '\0');
    if (readUpTo(in.fd(), text.data(), text.size(), in.name()) != text.size())
        throw PackError(in.name() + " became shorter while it was read");
    return text;
}

} // namespace

SigningKey::~SigningKey()
{
    sodium_memzero(secret, sizeof secret);
}

SigningKey generateSigningKey()
{
    initSodium();
    SigningKey key;
    randombytes_buf(key.publicKey.keyId, KEY_ID_SIZE);
    crypto_sign_keypair(key.publicKey.key, key.secret);
    return key;
}

std::string publicKeyFileText(const PublicKey &key)
{
    unsigned char blob[PUBLIC_KEY_BLOB_SIZE];
    blob[0] = 'E';
    blob[1] = 'd';
    std::memcpy(blob + 2, key.keyId, KEY_ID_SIZE);
    std::memcpy(blob + 2 + KEY_ID_SIZE, key.key, PUBLIC_KEY_SIZE);
    return "untrusted comment: minisign public key " + keyIdString(key.keyId) + "\n" + base64(blob, sizeof blob) + "\n";
}

std::string secretKeyFileText(const SigningKey &key)
{
    unsigned char blob[SECRET_BLOB_SIZE] = {'E', 'd', 0, 0, 'B', '2'};
    std::memcpy(blob + AT_KEY_ID, key.publicKey.keyId, KEY_ID_SIZE);
    std::memcpy(blob + AT_SECRET, key.secret, SECRET_KEY_SIZE);
    keyChecksum(key, blob + AT_CHECKSUM);
    std::string text = "untrusted comment: minisign secret key " + keyIdString(key.publicKey.keyId) +
                       ", not encrypted\n" + base64(blob, sizeof blob) + "\n";
    sodium_memzero(blob, sizeof blob);
    return text;
}

SigningKey parseSigningKey(const std::string &text, const std::string &file)
{
    initSodium();
    const std::string line = keyLine(text);
    unsigned char blob[SECRET_BLOB_SIZE + 1];
    std::size_t size = 0;
    if (sodium_base642bin(blob, sizeof blob, line.data(), line.size(), nullptr, &size, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        size != SECRET_BLOB_SIZE || blob[0] != 'E' || blob[1] != 'd')
        throw PackError(file + " holds no minisign secret key");
    if (blob[AT_KDF] == 'S' && blob[AT_KDF + 1] == 'c')
        throw PackError(file + ": encrypted key: remove its password with minisign -C -W");
    if (blob[AT_KDF] != 0 || blob[AT_KDF + 1] != 0 || blob[AT_CHECKSUM_ALG] != 'B' || blob[AT_CHECKSUM_ALG + 1] != '2')
        throw PackError(file + " holds a minisign secret key of a kind mkportable does not know");
    SigningKey key;
    std::memcpy(key.publicKey.keyId, blob + AT_KEY_ID, KEY_ID_SIZE);
    std::memcpy(key.secret, blob + AT_SECRET, SECRET_KEY_SIZE);
    std::memcpy(key.publicKey.key, key.secret + SECRET_KEY_SIZE - PUBLIC_KEY_SIZE, PUBLIC_KEY_SIZE);
    unsigned char checksum[CHECKSUM_SIZE];
    keyChecksum(key, checksum);
    bool zeroChecksum = sodium_is_zero(blob + AT_CHECKSUM, CHECKSUM_SIZE) == 1;
    bool checksumMatches = sodium_memcmp(checksum, blob + AT_CHECKSUM, CHECKSUM_SIZE) == 0;
    sodium_memzero(blob, sizeof blob);
    // The public half must be the one the seed gives: a damaged key would
    // otherwise sign with a key nobody can check against.
    unsigned char derivedPublic[PUBLIC_KEY_SIZE];
    unsigned char derivedSecret[SECRET_KEY_SIZE];
    crypto_sign_seed_keypair(derivedPublic, derivedSecret, key.secret);
    const bool halvesAgree = sodium_memcmp(derivedSecret, key.secret, SECRET_KEY_SIZE) == 0;
    sodium_memzero(derivedSecret, sizeof derivedSecret);
    if (!(checksumMatches || zeroChecksum) || !halvesAgree)
        throw PackError(file + ": the secret key is damaged (its checksum does not match)");
    return key;
}

SigningKey readSigningKey(const std::filesystem::path &path)
{
    std::string text = readKeyFile(path, "secret key");
    SigningKey key = parseSigningKey(text, path.string());
    sodium_memzero(text.data(), text.size());
    return key;
}

PublicKey readPublicKey(const std::filesystem::path &path)
{
    const std::string text = readKeyFile(path, "public key");
    PublicKey key;
    if (!parsePublicKey(text.data(), text.size(), &key))
        throw PackError(path.string() + " holds no minisign public key");
    return key;
}

PackageSignature signPackageDigest(const SigningKey &key, const Sha256 &digest)
{
    initSodium();
    unsigned char message[SIGNED_MESSAGE_SIZE];
    signedMessage(digest.data(), message);
    PackageSignature signature;
    std::memcpy(signature.keyId, key.publicKey.keyId, KEY_ID_SIZE);
    crypto_sign_detached(signature.signature, nullptr, message, sizeof message, key.secret);
    return signature;
}

std::string keyIdString(const unsigned char keyId[KEY_ID_SIZE])
{
    char text[KEY_ID_TEXT_SIZE];
    keyIdText(keyId, text);
    return text;
}

FileHash fileHash(int fd, const std::string &what)
{
    initSodium();
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, FileHash().size());
    std::vector<unsigned char> buffer(1 << 16);
    std::uint64_t at = 0;
    for (;;) {
        const portable::IoResult got = portable::readAllAt(fd, buffer.data(), buffer.size(), at);
        if (got.error != 0)
            throwSystemError("cannot read " + what, got.error);
        if (got.done == 0)
            break;
        crypto_generichash_update(&state, buffer.data(), got.done);
        at += got.done;
    }
    FileHash hash;
    crypto_generichash_final(&state, hash.data(), hash.size());
    return hash;
}

std::string minisignSignatureText(const SigningKey &key, const FileHash &hash, const std::string &trustedComment)
{
    initSodium();
    // "ED": an Ed25519 signature of the file's BLAKE2b-512.
    unsigned char blob[2 + KEY_ID_SIZE + SIGNATURE_SIZE] = {'E', 'D'};
    std::memcpy(blob + 2, key.publicKey.keyId, KEY_ID_SIZE);
    crypto_sign_detached(blob + 2 + KEY_ID_SIZE, nullptr, hash.data(), hash.size(), key.secret);
    // The global signature covers the signature and the trusted comment.
    std::vector<unsigned char> global(blob + 2 + KEY_ID_SIZE, blob + sizeof blob);
    global.insert(global.end(), trustedComment.begin(), trustedComment.end());
    unsigned char globalSignature[SIGNATURE_SIZE];
    crypto_sign_detached(globalSignature, nullptr, global.data(), global.size(), key.secret);
    return "untrusted comment: signature from mkportable secret key " + keyIdString(key.publicKey.keyId) + "\n" +
           base64(blob, sizeof blob) + "\ntrusted comment: " + trustedComment + "\n" +
           base64(globalSignature, sizeof globalSignature) + "\n";
}

} // namespace mkportable
