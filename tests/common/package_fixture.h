// Packages assembled byte by byte, straight from the layout tables, so that
// tests of the launcher do not depend on the packer and can build broken
// packages as easily as good ones.
#ifndef TESTS_PACKAGE_FIXTURE_H
#define TESTS_PACKAGE_FIXTURE_H

#include "package_settings.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

std::string le32(uint32_t v);

// Element 2.
std::string globalInfoBytes(int32_t commandCount, int32_t strict);

// One 400-byte element-3 record. Text longer than its field is cut to the
// field's full width, without a NUL.
std::string commandRecordBytes(int32_t distribution, int32_t release, int32_t architecture, const std::string &command,
                               const std::string &arguments = "", int32_t alwaysAppend = 0);

// An Ed25519 key pair in minisign's terms, to sign packages with.
struct SigningKey {
    std::string keyId;     // 8 bytes
    std::string secretKey; // 64 bytes, as libsodium keeps it
    std::string publicKey; // 32 bytes
};

// A new key pair with a random key ID.
SigningKey newSigningKey();
// The key pair in an unencrypted minisign secret key file's text.
SigningKey signingKeyFromMinisign(const std::string &secretKeyFile);
// The public key as a minisign .pub file holds it.
std::string minisignPublicKey(const SigningKey &key);

struct PackageSpec {
    std::string launcher;   // element 0
    std::string unzip;      // element 1
    std::string globalInfo; // element 2
    std::string commands;   // element 3
    std::string image;      // element 4
    uint32_t imageSize[2] = {0, 0};
    // Sizes written into the directory instead of the true ones.
    std::optional<std::array<uint32_t, 5>> recordedSizes;
    unsigned char endMarker = 0xFF;
    // Settings to store in both variant fields, with the sha256-v2 digest
    // that covers them, as mkportable writes them.
    std::optional<PackageSettings> settings;
    // With settings: the key whose signature of the digest fills the
    // signature area.
    std::optional<SigningKey> signer;
    // 260 bytes for both variant fields instead, as they are (damaged ones).
    std::optional<std::string> variantField;
};

// The whole package file.
std::string buildPackage(const PackageSpec &layout);

// A package around the real launcher and miniunz of this build with one
// record for (2, 11, 2) running `command`, and `image` as element 4.
PackageSpec standardPackage(const std::string &image, const std::string &command, const std::string &arguments = "",
                            int32_t alwaysAppend = 0);

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &data, unsigned mode = 0644);

#endif
