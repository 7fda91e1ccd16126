// The element reader on package files made in the test.
#include "command_selection.h"
#include "digest_record.h"
#include "package_fixture.h"
#include "package_reader.h"
#include "package_signature.h"
#include "program_extent.h"
#include "run_state.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Distinct, position-dependent bytes, so a copy from a wrong offset shows.
std::string pattern(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char((i * 31 + seed * 7 + (i >> 8)) & 0xff);
    return s;
}

struct PackageFile {
    std::string path;
    PackageSpec layout;
    int fd = -1;
    PackageDirectory dir{};

    explicit PackageFile(PackageSpec l) : path(scratchDir() + "/pkg"), layout(std::move(l))
    {
        writeFile(path, buildPackage(layout));
        fd = open(path.c_str(), O_RDONLY);
        EXPECT_EQ(readPackageDirectory(fd, &dir), 0);
    }
    ~PackageFile() { close(fd); }

    std::string copyOut(int index, ElementCopy how = ElementCopy::Kernel)
    {
        std::string out = scratchDir() + "/element";
        unlink(out.c_str());
        EXPECT_EQ(extractPkgElementFile(index, out.c_str(), &dir, fd, how), 0);
        chmod(out.c_str(), 0600);
        return readFile(out);
    }
};

PackageSpec elementsOfSizes(std::size_t unzip, std::size_t image)
{
    PackageSpec layout;
    layout.launcher = pattern(1000, 1);
    layout.unzip = pattern(unzip, 2);
    layout.globalInfo = globalInfoBytes(1, 0);
    layout.commands = commandRecordBytes(2, 11, 1, "./linmain.sh");
    layout.image = pattern(image, 3);
    return layout;
}

TEST(PackageReader, CopiesElementsAcrossChunkBoundaries)
{
    // The kernel copies a whole element at once where it can; the chunk
    // buffer alone shows that its boundaries lose or repeat no byte.
    const std::size_t chunk = COPY_CHUNK_SIZE;
    struct Case {
        std::size_t size;
        ElementCopy how;
    } cases[] = {
        {0, ElementCopy::Kernel},
        {1, ElementCopy::Kernel},
        {chunk - 1, ElementCopy::Kernel},
        {chunk, ElementCopy::Kernel},
        {chunk + 1, ElementCopy::Kernel},
        {3 * chunk + 5, ElementCopy::Kernel},
        {0, ElementCopy::Chunks},
        {1, ElementCopy::Chunks},
        {chunk - 1, ElementCopy::Chunks},
        {chunk, ElementCopy::Chunks},
        {chunk + 1, ElementCopy::Chunks},
        {2 * chunk, ElementCopy::Chunks},
        {3 * chunk + 5, ElementCopy::Chunks},
    };
    for (const Case &c : cases) {
        whichImg = -1;
        const bool chunks = c.how == ElementCopy::Chunks;
        PackageFile pkg(elementsOfSizes(c.size, c.size + 17));
        EXPECT_EQ(pkg.dir.elementSize[PKG_UNZIP], c.size);
        EXPECT_EQ(pkg.copyOut(PKG_UNZIP, c.how), pkg.layout.unzip) << c.size << " chunks " << chunks;
        EXPECT_EQ(pkg.copyOut(PKG_IMAGE, c.how), pkg.layout.image) << c.size << " chunks " << chunks;
        EXPECT_EQ(pkg.copyOut(PKG_LAUNCHER, c.how), pkg.layout.launcher) << c.size << " chunks " << chunks;
    }
}

TEST(PackageReader, ReadsTheSecondImageVariantFromItsOffset)
{
    PackageSpec layout = elementsOfSizes(10, 3000);
    layout.imageSize[0] = 1000;
    layout.imageSize[1] = 2000;
    for (int variant : {-1, 0, 1}) {
        PackageFile pkg(layout);
        whichImg = variant;
        if (variant >= 0)
            pkg.dir.elementSize[PKG_IMAGE] = pkg.dir.imageSize[variant];
        std::string expected = variant == 1   ? layout.image.substr(1000)
                               : variant == 0 ? layout.image.substr(0, 1000)
                                              : layout.image;
        EXPECT_EQ(pkg.copyOut(PKG_IMAGE), expected) << variant;
    }
    whichImg = -1;
}

TEST(PackageReader, ElementReadsHonourCapacityAndFileEnd)
{
    PackageFile pkg(elementsOfSizes(10, 100));
    unsigned char buf[16];
    EXPECT_EQ(extractPkgElement(PKG_GLOBAL_INFO, &pkg.dir, pkg.fd, buf, 8), 8);
    EXPECT_EQ(extractPkgElement(PKG_GLOBAL_INFO, &pkg.dir, pkg.fd, buf, 7), -1);
    EXPECT_EQ(extractPkgElement(PKG_UNZIP, &pkg.dir, pkg.fd, buf, 10), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 10), pkg.layout.unzip);

    PackageDirectory empty = pkg.dir;
    empty.elementSize[PKG_GLOBAL_INFO] = 0;
    EXPECT_EQ(extractPkgElement(PKG_GLOBAL_INFO, &empty, pkg.fd, buf, 8), 0);

    // Sizes that point past the end of the file, or whose sum no longer
    // fits a file position, fail instead of reading garbage.
    PackageDirectory past = pkg.dir;
    past.elementSize[PKG_LAUNCHER] = 1u << 30;
    EXPECT_EQ(extractPkgElement(PKG_GLOBAL_INFO, &past, pkg.fd, buf, 8), -1);
    PackageDirectory wrap = pkg.dir;
    wrap.elementSize[0] = wrap.elementSize[1] = 0xffffffffu;
    EXPECT_LT(seekToPkgElement(PKG_GLOBAL_INFO, &wrap, pkg.fd), 0);
    std::string out = scratchDir() + "/never";
    EXPECT_EQ(extractPkgElementFile(PKG_IMAGE, out.c_str(), &wrap, pkg.fd), -1);
    // An element that claims more bytes than the file holds fails at the
    // file's end, whichever way it is copied.
    PackageDirectory longer = pkg.dir;
    longer.elementSize[PKG_IMAGE] += COPY_CHUNK_SIZE;
    for (ElementCopy how : {ElementCopy::Kernel, ElementCopy::Chunks})
        EXPECT_EQ(extractPkgElementFile(PKG_IMAGE, out.c_str(), &longer, pkg.fd, how), -1);
}

TEST(PackageReader, FileShorterThanTheDirectoryFailsToSeek)
{
    for (std::size_t size : {0ul, 1ul, 548ul}) {
        std::string path = scratchDir() + "/short";
        writeFile(path, std::string(size, '\xff'));
        int fd = open(path.c_str(), O_RDONLY);
        PackageDirectory dir;
        testing::internal::CaptureStderr();
        EXPECT_EQ(readPackageDirectory(fd, &dir), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed seeking to package directory\n") << size;
        close(fd);
    }
}

// A file without a package directory at its end: the launcher program with
// more or less behind it was a package once; anything else never was.
TEST(PackageReader, TellsAPackageCutShortFromNoPackage)
{
    const std::string launcher = readFile(LAUNCHER_BIN);
    std::string noTables = launcher.substr(0, 64); // the ELF header alone, its tables said to be absent
    std::fill(noTables.begin() + 32, noTables.begin() + 48, '\0');
    std::fill(noTables.begin() + 54, noTables.end(), '\0');
    const struct {
        const char *name;
        std::string bytes;
        PackageEnding want;
    } rows[] = {
        {"the launcher alone", launcher, PackageEnding::NotAPackage},
        {"the launcher and one byte", launcher + "x", PackageEnding::CutShort},
        {"the launcher less its last byte", launcher.substr(0, launcher.size() - 1), PackageEnding::CutShort},
        {"a header without tables", noTables, PackageEnding::NotAPackage},
        {"a header without tables and more", noTables + "x", PackageEnding::CutShort},
        {"text", std::string(5000, 't'), PackageEnding::NotAPackage},
        {"a header cut inside", launcher.substr(0, 63), PackageEnding::NotAPackage},
    };
    for (const auto &row : rows) {
        const std::string head = row.bytes.substr(0, PROGRAM_HEAD_SIZE);
        EXPECT_EQ(
            judgeMissingDirectory(reinterpret_cast<const unsigned char *>(head.data()), head.size(), row.bytes.size()),
            row.want)
            << row.name;
    }
}

TEST(PackageReader, DecodesTheDirectoryBeforeTheEndMarker)
{
    PackageSpec layout = elementsOfSizes(44821, 6021);
    layout.imageSize[0] = 21;
    layout.imageSize[1] = 6000;
    PackageFile pkg(layout);
    const uint32_t expected[5] = {1000, 44821, 8, 400, 6021};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(pkg.dir.elementSize[i], expected[i]) << i;
    EXPECT_EQ(pkg.dir.imageSize[0], 21u);
    EXPECT_EQ(pkg.dir.imageSize[1], 6000u);
}

TEST(PackageReader, ChoosesItsOwnPath)
{
    std::string longPath(OWN_PATH_SIZE, 'a');
    struct Case {
        const char *underscore;
        std::string argv0;
        bool fits;
        std::string chosen;
    } cases[] = {
        {"/usr/local/bin/tool.run", "tool.run", true, "/usr/local/bin/tool.run"},
        {"/usr/bin/env", "./tool.run", true, "./tool.run"},
        {nullptr, "./tool.run", true, "./tool.run"},
        {"", "", true, ""},
        {nullptr, std::string(OWN_PATH_SIZE - 2, 'a'), true, std::string(OWN_PATH_SIZE - 2, 'a')},
        {nullptr, std::string(OWN_PATH_SIZE - 1, 'a'), true, std::string(OWN_PATH_SIZE - 1, 'a')},
        {nullptr, longPath, false, ""},
    };
    for (const auto &c : cases) {
        char buf[OWN_PATH_SIZE + 8];
        std::memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(chooseOwnPath(c.underscore, c.argv0.c_str(), buf, OWN_PATH_SIZE), c.fits);
        EXPECT_EQ(std::string(buf), c.chosen);
        for (std::size_t i = OWN_PATH_SIZE; i < sizeof buf; ++i)
            EXPECT_EQ(buf[i], 'Z') << "written past the buffer at " << i;
    }
}

TEST(PackageReader, FindsABareNameOnlyInAbsolutePathEntries)
{
    std::string dir = scratchDir();
    for (const char *sub : {"/bin", "/other", "/plain"})
        mkdir((dir + sub).c_str(), 0755);
    writeFile(dir + "/bin/tool.run", "x", 0755);
    writeFile(dir + "/other/tool.run", "x", 0755);
    writeFile(dir + "/plain/tool.run", "not executable", 0644);
    mkdir((dir + "/other/dir.run").c_str(), 0755);
    std::string longDir = "/" + std::string(OWN_PATH_SIZE, 'd');
    struct Case {
        std::string name, path;
        const char *found; // below dir; null: not found
    } cases[] = {
        {"tool.run", dir + "/bin:" + dir + "/other", "/bin/tool.run"},
        {"tool.run", dir + "/other:" + dir + "/bin", "/other/tool.run"},
        {"tool.run", dir + "/plain:" + dir + "/other", "/other/tool.run"},
        {"tool.run", "::.:bin:" + dir + "/other", "/other/tool.run"},
        {"tool.run", "", nullptr},
        {"tool.run", ".:bin", nullptr},
        {"dir.run", dir + "/other", nullptr},
        {"./tool.run", dir + "/bin", nullptr},
        {"", dir + "/bin", nullptr},
        {"tool.run", longDir + ":" + dir + "/bin", "/bin/tool.run"},
    };
    for (const auto &c : cases) {
        char out[OWN_PATH_SIZE] = "untouched";
        bool found = findOnPath(c.name.c_str(), c.path.c_str(), out, sizeof out);
        EXPECT_EQ(found, c.found != nullptr) << c.name << " in " << c.path;
        EXPECT_EQ(std::string(out), c.found ? dir + c.found : "untouched") << c.name << " in " << c.path;
    }
    // Standing in a directory that holds the name changes nothing.
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir((dir + "/bin").c_str()), 0);
    char out[OWN_PATH_SIZE];
    EXPECT_FALSE(findOnPath("tool.run", ":.", out, sizeof out));
    ASSERT_EQ(chdir(cwd), 0);
}

TEST(CommandSelection, ARecordMatchesWhereEachFieldIsAnyOrTheDeterminedValue)
{
    const int32_t ANY = PFM_ANY;
    const PlatformInfo suse11{2, 11, 2}, unknownDistribution{0, -1, 2}, noArchitecture{5, 12, 0};
    struct Case {
        int32_t distribution, release, architecture;
        PlatformInfo machine;
        bool matches;
    } cases[] = {
        {2, 11, 2, suse11, true},
        {2, 11, 1, suse11, false},
        {2, 12, 2, suse11, false},
        {ANY, ANY, ANY, suse11, true},
        {2, ANY, 2, suse11, true},
        {3, ANY, ANY, suse11, false},
        {ANY, ANY, 2, unknownDistribution, true},
        {ANY, ANY, ANY, unknownDistribution, true},
        // "none" is no wildcard: an undetermined value is matched only by any.
        {0, ANY, 2, unknownDistribution, false},
        {0, -1, 2, unknownDistribution, false},
        {ANY, 0, 2, unknownDistribution, false},
        {5, 12, 0, noArchitecture, false},
        {5, 12, ANY, noArchitecture, true},
    };
    for (const auto &c : cases) {
        CommandRecord rec{};
        rec.distribution = c.distribution;
        rec.release = c.release;
        rec.architecture = c.architecture;
        EXPECT_EQ(recordMatches(rec, c.machine), c.matches)
            << c.distribution << "/" << c.release << "/" << c.architecture << " on " << c.machine.distribution << "/"
            << c.machine.release << "/" << c.machine.architecture;
    }
}

} // namespace

namespace {

DigestRecord recordWithSettings()
{
    DigestRecord record;
    record.algorithm = DIGEST_SHA256_V2;
    std::memset(record.sha256, 0xAB, sizeof record.sha256);
    record.settings.guard = GUARD_PACKAGE;
    record.settings.progress = PROGRESS_NONE;
    record.settings.workingDirectory = WORKDIR_CALLER;
    record.settings.cache = true;
    record.settings.signals = SIGNALS_FORWARD;
    std::strcpy(record.settings.name, "jq");
    std::strcpy(record.settings.version, "1.7.1");
    std::strcpy(record.settings.summary, "a JSON filter");
    return record;
}

} // namespace

// A launcher must never act on settings it does not understand: each byte
// that this code does not know makes the record damaged, and a record it
// knows reads back as written.
TEST(PackageRecord, UnknownBytesMakeTheRecordDamaged)
{
    struct Row {
        const char *what;
        int offset; // field offset of the byte to set
        unsigned char value;
        DigestFieldKind expected;
    };
    const Row rows[] = {
        {"the record as written", 0, 'p', DIGEST_FIELD_VALID},
        {"a change in the signature area", 200, 0x55, DIGEST_FIELD_VALID},
        {"no magic", 0, 'x', DIGEST_FIELD_ABSENT},
        {"an unknown algorithm", 24, '3', DIGEST_FIELD_MALFORMED},
        {"a byte after the algorithm name", 30, 'x', DIGEST_FIELD_MALFORMED},
        {"another settings header", 64, 'T', DIGEST_FIELD_MALFORMED},
        {"settings version 2", 65, 2, DIGEST_FIELD_MALFORMED},
        {"guard 3", 66, 3, DIGEST_FIELD_MALFORMED},
        {"progress 3", 67, 3, DIGEST_FIELD_MALFORMED},
        {"working directory 2", 68, 2, DIGEST_FIELD_MALFORMED},
        {"cache 2", 69, 2, DIGEST_FIELD_MALFORMED},
        {"signals 2", 70, 2, DIGEST_FIELD_MALFORMED},
        {"the reserved byte", 71, 1, DIGEST_FIELD_MALFORMED},
        {"a package guard without a name", 72, 0, DIGEST_FIELD_MALFORMED},
        {"a byte after the name's end", 80, 'x', DIGEST_FIELD_MALFORMED},
        {"a name of 32 bytes without its end", 103, 'x', DIGEST_FIELD_MALFORMED},
        {"a version of 16 bytes without its end", 119, 'x', DIGEST_FIELD_MALFORMED},
        {"a summary of 64 bytes without its end", 183, 'x', DIGEST_FIELD_MALFORMED},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        unsigned char field[PKG_VARIANT_FIELD_SIZE];
        encodeDigestField(recordWithSettings(), field);
        field[row.offset] = row.value;
        DigestRecord decoded;
        ASSERT_EQ(decodeDigestField(field, &decoded), row.expected);
        if (row.expected != DIGEST_FIELD_VALID)
            continue;
        unsigned char again[PKG_VARIANT_FIELD_SIZE];
        encodeDigestField(decoded, again);
        EXPECT_EQ(std::memcmp(field, again, sizeof field), 0);
    }
}

// Texts at their limits: 31, 15 and 63 bytes fit; the encoder cuts a longer
// one at the limit rather than writing past its field.
TEST(PackageRecord, TextsFitUpToTheirLimits)
{
    for (int extra : {-1, 0, 1}) {
        DigestRecord record = recordWithSettings();
        std::string name(SETTINGS_NAME_SIZE - 1 + extra, 'n');
        std::string summary(SETTINGS_SUMMARY_SIZE - 1 + extra, 's');
        // At the limit + 1 the text fills its array without an end.
        std::memcpy(record.settings.name, name.data(), std::min<std::size_t>(name.size(), SETTINGS_NAME_SIZE));
        std::memcpy(record.settings.summary, summary.data(),
                    std::min<std::size_t>(summary.size(), SETTINGS_SUMMARY_SIZE));
        unsigned char field[PKG_VARIANT_FIELD_SIZE];
        encodeDigestField(record, field);
        DigestRecord decoded;
        ASSERT_EQ(decodeDigestField(field, &decoded), DIGEST_FIELD_VALID);
        EXPECT_EQ(std::string(decoded.settings.name), name.substr(0, SETTINGS_NAME_SIZE - 1));
        EXPECT_EQ(std::string(decoded.settings.summary), summary.substr(0, SETTINGS_SUMMARY_SIZE - 1));
        EXPECT_EQ(std::string(decoded.settings.version), "1.7.1");
    }
}

// The sha256-v2 digest covers the settings and leaves out only the digest
// and the signature; the older sha256 digest leaves out both whole fields.
TEST(PackageRecord, TheDigestCoversTheSettingsButNotTheSignature)
{
    PackageFile file(elementsOfSizes(100, 100));
    auto digestWith = [&](int offset, unsigned char value, DigestAlgorithm algorithm) {
        std::string bytes = readFile(file.path);
        for (int which = 0; which < 2; ++which)
            bytes[variantFieldOffset(bytes.size(), which) + offset] = char(value);
        std::string path = file.path + ".changed";
        writeFile(path, bytes);
        int fd = open(path.c_str(), O_RDONLY);
        unsigned char sha[DIGEST_SHA256_SIZE];
        EXPECT_TRUE(packageSha256(fd, bytes.size(), algorithm, sha));
        close(fd);
        return std::string(reinterpret_cast<char *>(sha), sizeof sha);
    };
    const std::string v2 = digestWith(0, 0, DIGEST_SHA256_V2);
    EXPECT_EQ(digestWith(40, 7, DIGEST_SHA256_V2), v2);    // the digest itself
    EXPECT_EQ(digestWith(250, 7, DIGEST_SHA256_V2), v2);   // the signature
    EXPECT_NE(digestWith(66, 1, DIGEST_SHA256_V2), v2);    // a setting
    EXPECT_NE(digestWith(100, 'x', DIGEST_SHA256_V2), v2); // the name
    const std::string v1 = digestWith(0, 0, DIGEST_SHA256);
    EXPECT_EQ(digestWith(66, 1, DIGEST_SHA256), v1);
}

// A signature holds for its key and its digest only, and a minisign key
// file reads back as the key it holds.
TEST(PackageRecord, ASignatureHoldsForItsKeyAndDigestOnly)
{
    ASSERT_GE(sodium_init(), 0);
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
    PublicKey key, other;
    crypto_sign_keypair(key.key, secret);
    std::memcpy(key.keyId, "\x01\x02\x03\x04\x05\x06\x07\x08", KEY_ID_SIZE);
    unsigned char otherSecret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(other.key, otherSecret);
    std::memcpy(other.keyId, key.keyId, KEY_ID_SIZE);
    unsigned char sha[DIGEST_SHA256_SIZE];
    std::memset(sha, 0x5A, sizeof sha);
    PackageSignature signature;
    std::memcpy(signature.keyId, key.keyId, KEY_ID_SIZE);
    unsigned char message[SIGNED_MESSAGE_SIZE];
    signedMessage(sha, message);
    crypto_sign_detached(signature.signature, nullptr, message, sizeof message, secret);

    unsigned char area[DIGEST_SIGNATURE_SIZE];
    encodeSignatureArea(signature, area);
    PackageSignature decoded;
    ASSERT_EQ(decodeSignatureArea(area, &decoded), SIGNATURE_PRESENT);
    EXPECT_TRUE(signatureMatches(decoded, key, sha));
    EXPECT_FALSE(signatureMatches(decoded, other, sha)) << "another key with the same ID";
    unsigned char changed[DIGEST_SHA256_SIZE];
    std::memcpy(changed, sha, sizeof sha);
    changed[31] ^= 1;
    EXPECT_FALSE(signatureMatches(decoded, key, changed)) << "another digest";
    PublicKey renamed = key;
    renamed.keyId[0] ^= 1;
    EXPECT_FALSE(signatureMatches(decoded, renamed, sha)) << "the right key under another ID";

    struct Row {
        int offset;
        unsigned char value;
        SignatureAreaKind expected;
    };
    for (const Row &row : {Row{0, 'F', SIGNATURE_MALFORMED}, Row{74, 1, SIGNATURE_MALFORMED},
                           Row{75, 1, SIGNATURE_MALFORMED}, Row{40, area[40], SIGNATURE_PRESENT}}) {
        unsigned char bent[DIGEST_SIGNATURE_SIZE];
        std::memcpy(bent, area, sizeof bent);
        bent[row.offset] = row.value;
        EXPECT_EQ(decodeSignatureArea(bent, &decoded), row.expected) << row.offset;
    }
    unsigned char zero[DIGEST_SIGNATURE_SIZE] = {};
    EXPECT_EQ(decodeSignatureArea(zero, &decoded), SIGNATURE_ABSENT);
}

TEST(PackageRecord, AMinisignKeyFileReadsBackAsItsKey)
{
    const std::string dir = scratchDir();
    ASSERT_EQ(std::system(("cd '" + dir + "' && minisign -G -W -p k.pub -s k.key > /dev/null").c_str()), 0);
    const std::string text = readFile(dir + "/k.pub");
    PublicKey key;
    ASSERT_TRUE(parsePublicKey(text.data(), text.size(), &key));
    // minisign names the key by its ID in the comment line, without the
    // leading zeros that the 16 digits shown here keep.
    char id[KEY_ID_TEXT_SIZE];
    keyIdText(key.keyId, id);
    const std::string digits = std::string(id).substr(std::min<std::size_t>(std::strspn(id, "0"), 15));
    EXPECT_NE(text.find("minisign public key " + digits + "\n"), std::string::npos) << text;
    for (const std::string &bad :
         {std::string(""), text.substr(0, text.size() - 6), std::string("untrusted comment: x\nRWQAAAA=\n")})
        EXPECT_FALSE(parsePublicKey(bad.data(), bad.size(), &key)) << bad;
}
