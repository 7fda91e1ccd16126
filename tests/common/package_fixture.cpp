#include "package_fixture.h"

#include "digest_record.h"
#include "package_signature.h"

#include <fstream>
#include <sodium.h>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

std::string le32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = char((v >> (8 * i)) & 0xff);
    return s;
}

std::string globalInfoBytes(int32_t commandCount, int32_t strict)
{
    return le32(uint32_t(commandCount)) + le32(uint32_t(strict));
}

static std::string field(const std::string &text, std::size_t width)
{
    std::string f = text.substr(0, width);
    f.resize(width, '\0');
    return f;
}

std::string commandRecordBytes(int32_t distribution, int32_t release, int32_t architecture, const std::string &command,
                               const std::string &arguments, int32_t alwaysAppend)
{
    std::string rec = le32(uint32_t(distribution)) + le32(uint32_t(release)) + le32(uint32_t(architecture)) +
                      field(command, 128) + field(arguments, 256) + le32(uint32_t(alwaysAppend));
    if (rec.size() != 400)
        throw std::logic_error("command record is not 400 bytes");
    return rec;
}

namespace {

// Writes the sha256-v2 record with `settings` into both variant fields of
// the package `bytes`, the digest computed by the format library's own
// rule through a memory file.
void stampSettings(std::string &bytes, const PackageSettings &settings, const std::optional<SigningKey> &signer)
{
    DigestRecord record;
    record.algorithm = DIGEST_SHA256_V2;
    record.settings = settings;
    unsigned char field[PKG_VARIANT_FIELD_SIZE];
    encodeDigestField(record, field);
    for (int which = 0; which < 2; ++which)
        bytes.replace(variantFieldOffset(bytes.size(), which), PKG_VARIANT_FIELD_SIZE, reinterpret_cast<char *>(field),
                      PKG_VARIANT_FIELD_SIZE);
    int fd = memfd_create("package", MFD_CLOEXEC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()) ||
        !packageSha256(fd, bytes.size(), DIGEST_SHA256_V2, record.sha256))
        throw std::runtime_error("cannot take the package digest");
    close(fd);
    if (signer) {
        unsigned char message[SIGNED_MESSAGE_SIZE];
        signedMessage(record.sha256, message);
        PackageSignature signature;
        signer->keyId.copy(reinterpret_cast<char *>(signature.keyId), KEY_ID_SIZE);
        crypto_sign_detached(signature.signature, nullptr, message, sizeof message,
                             reinterpret_cast<const unsigned char *>(signer->secretKey.data()));
        encodeSignatureArea(signature, record.signature);
    }
    encodeDigestField(record, field);
    for (int which = 0; which < 2; ++which)
        bytes.replace(variantFieldOffset(bytes.size(), which), PKG_VARIANT_FIELD_SIZE, reinterpret_cast<char *>(field),
                      PKG_VARIANT_FIELD_SIZE);
}

} // namespace

std::string buildPackage(const PackageSpec &layout)
{
    const std::string *elements[5] = {&layout.launcher, &layout.unzip, &layout.globalInfo, &layout.commands,
                                      &layout.image};
    std::string out;
    std::string directory;
    for (int i = 0; i < 5; ++i) {
        out += *elements[i];
        uint32_t size = layout.recordedSizes ? (*layout.recordedSizes)[i] : uint32_t(elements[i]->size());
        directory += le32(size);
    }
    const std::string field = layout.variantField ? *layout.variantField : std::string(260, '\0');
    directory += field + le32(layout.imageSize[0]) + field + le32(layout.imageSize[1]);
    if (directory.size() != 548)
        throw std::logic_error("package directory is not 548 bytes");
    out += directory;
    out += char(layout.endMarker);
    if (layout.settings)
        stampSettings(out, *layout.settings, layout.signer);
    return out;
}

SigningKey newSigningKey()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
    SigningKey key;
    key.keyId.resize(KEY_ID_SIZE);
    key.secretKey.resize(crypto_sign_SECRETKEYBYTES);
    key.publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    randombytes_buf(key.keyId.data(), KEY_ID_SIZE);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(key.publicKey.data()),
                        reinterpret_cast<unsigned char *>(key.secretKey.data()));
    return key;
}

SigningKey signingKeyFromMinisign(const std::string &secretKeyFile)
{
    // An unencrypted secret key: "Ed", two zero bytes (no key derivation),
    // "B2", 48 bytes of derivation parameters, then the key ID, the 64-byte
    // secret key and a checksum.
    std::string text = secretKeyFile.substr(secretKeyFile.find('\n') + 1);
    text = text.substr(0, text.find('\n'));
    unsigned char blob[158];
    std::size_t size = 0;
    if (sodium_init() < 0 ||
        sodium_base642bin(blob, sizeof blob, text.data(), text.size(), nullptr, &size, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        size != sizeof blob || blob[0] != 'E' || blob[1] != 'd' || blob[2] != 0 || blob[3] != 0)
        throw std::runtime_error("not an unencrypted minisign secret key");
    SigningKey key;
    key.keyId.assign(reinterpret_cast<char *>(blob + 54), KEY_ID_SIZE);
    key.secretKey.assign(reinterpret_cast<char *>(blob + 62), crypto_sign_SECRETKEYBYTES);
    key.publicKey = key.secretKey.substr(32);
    return key;
}

std::string minisignPublicKey(const SigningKey &key)
{
    std::string blob = "Ed" + key.keyId + key.publicKey;
    char text[128];
    sodium_bin2base64(text, sizeof text, reinterpret_cast<const unsigned char *>(blob.data()), blob.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    return "untrusted comment: test key\n" + std::string(text) + "\n";
}

PackageSpec standardPackage(const std::string &image, const std::string &command, const std::string &arguments,
                            int32_t alwaysAppend)
{
    PackageSpec layout;
    layout.launcher = readFile(LAUNCHER_BIN);
    layout.unzip = readFile(MINIUNZ_BIN);
    layout.globalInfo = globalInfoBytes(1, 0);
    layout.commands = commandRecordBytes(2, 11, 2, command, arguments, alwaysAppend);
    layout.image = image;
    return layout;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string &path, const std::string &data, unsigned mode)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out)
            throw std::runtime_error("cannot write " + path);
        out << data;
    }
    chmod(path.c_str(), mode);
}
