// The self-help of a package: --portable-info, --portable-list and
// --portable-check read the package here, with the zip-structure reader and
// the unzip utility's own entry reader linked in, and run no program.
#include "self_help.h"

#include "command_selection.h"
#include "diag.h"
#include "digest_record.h"
#include "entry_kind.h"
#include "extract.h"
#include "help_definitions.h"
#include "launch_settings.h"
#include "package_reader.h"
#include "platform_table.h"
#include "portable_help.h"
#include "record_text.h"
#include "run_state.h"
#include "signature_policy.h"
#include "terminal_text.h"
#include "zip_directory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// The image variants of a package: one, or two (Intel 32-bit, Intel 64-bit).
struct ImagePart {
    const char *label;
    int32_t variant; // whichImg while it is read
    uint32_t size;
};

int imageParts(const PackageDirectory &dir, ImagePart parts[2])
{
    uint64_t both = uint64_t(dir.imageSize[0]) + dir.imageSize[1];
    if (dir.imageSize[0] == 0 || dir.imageSize[1] == 0 || both != dir.elementSize[PKG_IMAGE]) {
        parts[0] = {"image", -1, dir.elementSize[PKG_IMAGE]};
        return 1;
    }
    parts[0] = {"image for Intel 32-bit", 0, dir.imageSize[0]};
    parts[1] = {"image for Intel 64-bit", 1, dir.imageSize[1]};
    return 2;
}

// The zip of one image part, as a region of the package file.
ZipSource imageSource(const PackageDirectory &dir, int fd, const ImagePart &part)
{
    whichImg = part.variant;
    PackageDirectory view = dir;
    view.elementSize[PKG_IMAGE] = part.size;
    ZipSource src;
    src.fd = fd;
    src.base = uint64_t(pkgElementOffset(PKG_IMAGE, &view));
    src.size = part.size;
    whichImg = -1;
    return src;
}

// Link targets are short: longer ones are not read.
constexpr uint64_t MAX_LINK_TARGET = 4096;

// Reads the target of a link entry, stored or deflated.
bool readLinkTarget(const ZipSource &src, const ZipArchive &archive, const ZipEntry &entry, std::string &target)
{
    ZipDataRange range;
    std::string why;
    if (entry.size > MAX_LINK_TARGET || entry.compressedSize > 2 * MAX_LINK_TARGET ||
        !locateZipData(src, archive, entry, range, why))
        return false;
    std::string data(entry.compressedSize, '\0');
    if (!src.read(range.dataOffset, data.data(), data.size()))
        return false;
    if (entry.method == 0) {
        target = data;
        return data.size() == entry.size;
    }
    if (entry.method != 8)
        return false;
    target.assign(entry.size, '\0');
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return false;
    z.next_in = reinterpret_cast<Bytef *>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef *>(target.data());
    z.avail_out = uInt(target.size());
    int rc = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    return rc == Z_STREAM_END && z.avail_out == 0;
}

void printSelection(const PackageDirectory &dir, int fd, const GlobalInfo &info)
{
    if (getenv("VESK_PORTABLE_INTERACTIVE")) {
        std::puts("This machine: not identified (VESK_PORTABLE_INTERACTIVE is set): record 0 runs.");
        return;
    }
    PlatformInfo pfm;
    const char *failure = getPfmInfo(&pfm);
    std::printf("This machine: distribution %s, release %d, architecture %s%s%s\n", distributionLabel(pfm.distribution),
                int(pfm.release), architectureLabel(pfm.architecture), failure ? "; identification: " : "",
                failure ? failure : "");
    if (!failure && info.commandCount < 0) {
        std::puts("Selected: none; the record count is negative, so the launcher stops without a word.");
        return;
    }
    CommandRecord rec;
    int found = findMatchingRecord(&dir, fd, info, pfm, &rec);
    if (found >= 0)
        std::printf("Selected: record %d (%s), the first that matches this machine.\n", found,
                    platformText(rec).c_str());
    else if (info.strictPlatformMatch != 0)
        std::puts("Selected: none; no record matches and the match is strict: the launcher warns and stops.");
    else
        std::puts("Selected: record 0 after the mismatch warning and a 5-second pause; no record matches.");
}

// Who signed the package, for --portable-info; whether the signature
// matches is --portable-check's question.
void printSigner(int fd)
{
    int end = fd_seek(fd, 0, SEEK_END);
    PackageRecordKind kind = PACKAGE_RECORD_NONE;
    DigestRecord record;
    PackageSignature signature;
    if (end < 0 || !readPackageRecord(fd, uint64_t(end), &kind, &record) || kind == PACKAGE_RECORD_DAMAGED) {
        std::puts("Signer: unknown, the digest records are damaged");
        return;
    }
    if (kind == PACKAGE_RECORD_NONE || record.algorithm != DIGEST_SHA256_V2) {
        std::puts("Not signed");
        return;
    }
    switch (decodeSignatureArea(record.signature, &signature)) {
    case SIGNATURE_ABSENT: std::puts("Not signed"); break;
    case SIGNATURE_MALFORMED: std::puts("Signature area damaged"); break;
    case SIGNATURE_PRESENT: {
        char keyId[KEY_ID_TEXT_SIZE];
        keyIdText(signature.keyId, keyId);
        std::printf("Signed by %s\n", keyId);
        break;
    }
    }
}

} // namespace

int portableInfo(int argc, char **argv)
{
    PackageDirectory dir;
    int fd = openPackage(argc, argv, &dir);
    if (fd < 0)
        return 1;
    GlobalInfo info;
    if (readGlobalInfo(&dir, fd, &info) != 0) {
        fd_close(fd);
        return 1;
    }
    printLaunchSettings();
    printSigner(fd);
    std::printf("Launcher %u bytes, unzip utility %u bytes, command table %u bytes\n", dir.elementSize[PKG_LAUNCHER],
                dir.elementSize[PKG_UNZIP], dir.elementSize[PKG_COMMANDS]);
    ImagePart parts[2];
    int count = imageParts(dir, parts);
    for (int i = 0; i < count; ++i)
        std::printf("%s: %u bytes\n", parts[i].label, parts[i].size);
    std::printf("Platform match: %s\n", info.strictPlatformMatch != 0 ? "strict" : "lenient");
    uint32_t wholeRecords = dir.elementSize[PKG_COMMANDS] / COMMAND_RECORD_SIZE;
    std::printf("Command records: %d counted, %u in the table\n", int(info.commandCount), wholeRecords);
    for (uint32_t i = 0; i < wholeRecords && i < 1000; ++i) {
        CommandRecord rec;
        if (readCommandRecord(&dir, fd, i, &rec) != 0)
            break;
        std::printf("  %u  %s: %s", i, platformText(rec).c_str(), terminalText(rec.command).c_str());
        if (rec.arguments[0])
            std::printf("  [arguments %s%s]", terminalText(rec.arguments).c_str(),
                        rec.alwaysAppendArguments ? ", always appended" : "");
        std::putchar('\n');
    }
    printSelection(dir, fd, info);
    fd_close(fd);
    return 0;
}

int portableList(int argc, char **argv)
{
    PackageDirectory dir;
    int fd = openPackage(argc, argv, &dir);
    if (fd < 0)
        return 1;
    ImagePart parts[2];
    int count = imageParts(dir, parts);
    int status = 0;
    for (int i = 0; i < count; ++i) {
        if (count > 1)
            std::printf("%s%s:\n", i ? "\n" : "", parts[i].label);
        ZipSource src = imageSource(dir, fd, parts[i]);
        ZipArchive archive;
        std::string why;
        if (!readZipArchive(src, archive, why)) {
            std::fprintf(stderr, "Failed reading the %s: %s\n", parts[i].label, why.c_str());
            status = 1;
            continue;
        }
        ZipDirectoryReader reader(src, archive);
        ZipEntry entry;
        while (reader.next(entry, why)) {
            EntryMode mode = entryModeOf(entry.versionMadeBy, entry.externalAttrs,
                                         !entry.name.empty() && entry.name.back() == '/');
            char type = mode.kind == EntryKind::Directory ? 'd' : mode.kind == EntryKind::Symlink ? 'l' : '-';
            std::printf("%c%04o %12llu  %s", type, unsigned(mode.perms), (unsigned long long)entry.size,
                        terminalText(entry.name).c_str());
            if (mode.kind == EntryKind::Symlink) {
                std::string target;
                if (readLinkTarget(src, archive, entry, target))
                    std::printf(" -> %s", terminalText(target).c_str());
                else
                    std::printf(" -> (unreadable target)");
            }
            std::putchar('\n');
        }
        if (!why.empty()) {
            std::fprintf(stderr, "Failed reading the %s: %s\n", parts[i].label, why.c_str());
            status = 1;
        }
    }
    fd_close(fd);
    return status;
}

namespace {

// What the check found, as its exit status.
enum CheckStatus {
    CHECK_WHOLE = 0,     // the digest matches and every entry reads back whole
    CHECK_DAMAGED = 1,   // the digest does not match, an entry is bad, or the file is cut
    CHECK_UNPROVEN = 2,  // no damage found, but no digest shows the package unchanged
    CHECK_UNTRUSTED = 3, // no damage found, but no key trusted here vouches for the package
};

// Checks the digest record against the file: CHECK_WHOLE when it matches,
// CHECK_UNPROVEN when there is none, CHECK_DAMAGED otherwise; one line says
// which. The record goes to `kind` and `record`.
CheckStatus checkDigest(int fd, PackageRecordKind *kind, DigestRecord *record)
{
    int end = fd_seek(fd, 0, SEEK_END);
    uint64_t fileSize = end < 0 ? 0 : uint64_t(end);
    if (!readPackageRecord(fd, fileSize, kind, record)) {
        *kind = PACKAGE_RECORD_DAMAGED;
        std::puts("Digest: FAILED, the package directory cannot be read");
        return CHECK_DAMAGED;
    }
    switch (*kind) {
    case PACKAGE_RECORD_NONE: std::puts("Digest: none (the package was built without one)"); return CHECK_UNPROVEN;
    case PACKAGE_RECORD_DAMAGED:
        std::puts("Digest: FAILED, the digest records in the package directory are damaged");
        return CHECK_DAMAGED;
    case PACKAGE_RECORD_VALID: break;
    }
    unsigned char actual[DIGEST_SHA256_SIZE];
    if (!packageSha256(fd, fileSize, record->algorithm, actual)) {
        std::puts("Digest: FAILED, the package cannot be read");
        return CHECK_DAMAGED;
    }
    if (std::memcmp(actual, record->sha256, DIGEST_SHA256_SIZE) != 0) {
        std::puts("Digest: FAILED, the package was changed after it was built (SHA-256 does not match)");
        return CHECK_DAMAGED;
    }
    std::puts("Digest: SHA-256 matches");
    return CHECK_WHOLE;
}

// Judges the signature of a package whose digest records are whole against
// this machine's trusted keys and policy: CHECK_UNTRUSTED when a launch
// here would refuse the package, or when a signature does not vouch for
// it; one line says which.
CheckStatus checkSignature(PackageRecordKind kind, const DigestRecord &record)
{
    SignaturePolicy policy = readSignaturePolicy(true);
    char keyId[KEY_ID_TEXT_SIZE];
    SignatureVerdict verdict = judgeSignature(kind, record, policy, keyId);
    switch (verdict) {
    case VERDICT_TRUSTED: std::printf("Signature: signed by %s (trusted)\n", keyId); break;
    case VERDICT_UNTRUSTED: std::printf("Signature: signed by %s (not trusted here)\n", keyId); break;
    case VERDICT_MISMATCH: std::puts("Signature: signature does not match"); break;
    case VERDICT_UNSIGNED: std::puts("Signature: not signed"); break;
    }
    if (policy.broken) {
        std::printf("Policy: every launch is refused: %s\n", policy.problem.c_str());
        return CHECK_UNTRUSTED;
    }
    if (policy.required)
        std::puts("Policy: a signature by a trusted key is required");
    if (verdict == VERDICT_UNTRUSTED || verdict == VERDICT_MISMATCH || (verdict == VERDICT_UNSIGNED && policy.required))
        return CHECK_UNTRUSTED;
    return CHECK_WHOLE;
}

// Reads every entry of each image here, with the unzip utility's own reader
// and rules (names, sizes, overlaps, CRCs, link targets), writing nothing:
// CHECK_WHOLE when every entry reads back whole, else CHECK_DAMAGED after
// the reasons on standard error. The unzip utility that the package carries
// is never run: a package that fails its digest may carry anything there.
CheckStatus checkEntries(const PackageDirectory &dir, int fd)
{
    setComplainingProgram(PORTABLE_CHECK_OPTION);
    int fileSize = fd_seek(fd, 0, SEEK_END);
    ImagePart parts[2];
    int count = imageParts(dir, parts);
    CheckStatus status = CHECK_WHOLE;
    for (int i = 0; i < count; ++i) {
        ZipSource src = imageSource(dir, fd, parts[i]);
        bool whole = false;
        const char *outcome = "FAILED";
        std::fflush(stdout);
        if (fileSize < 0 || src.base + src.size > uint64_t(fileSize))
            outcome = "FAILED, the package is cut short";
        else if ((whole = testArchive(src, parts[i].label) == 0))
            outcome = "every entry reads back whole (sizes and CRCs)";
        std::printf("Entries of the %s: %s\n", parts[i].label, outcome);
        if (!whole)
            status = CHECK_DAMAGED;
    }
    return status;
}

} // namespace

int portableCheck(int argc, char **argv)
{
    PackageDirectory dir;
    int fd = openPackage(argc, argv, &dir);
    if (fd < 0)
        return CHECK_DAMAGED;
    PackageRecordKind kind = PACKAGE_RECORD_NONE;
    DigestRecord record;
    CheckStatus status = checkDigest(fd, &kind, &record);
    // A package that fails its digest is not read any further.
    if (status != CHECK_DAMAGED && checkEntries(dir, fd) == CHECK_DAMAGED)
        status = CHECK_DAMAGED;
    fd_close(fd);
    // Damage outweighs a missing trust, which outweighs a missing digest.
    if (status != CHECK_DAMAGED && checkSignature(kind, record) == CHECK_UNTRUSTED)
        status = CHECK_UNTRUSTED;
    std::puts(CHECK_STATUSES[status].lastLine);
    return status;
}

int runSelfHelp(int argc, char **argv)
{
    if (argc != 2)
        return -1;
    if (std::strcmp(argv[1], PORTABLE_INFO_OPTION) == 0)
        return portableInfo(argc, argv);
    if (std::strcmp(argv[1], PORTABLE_LIST_OPTION) == 0)
        return portableList(argc, argv);
    if (std::strcmp(argv[1], PORTABLE_CHECK_OPTION) == 0)
        return portableCheck(argc, argv);
    if (std::strcmp(argv[1], PORTABLE_HELP_OPTION) == 0)
        return portableHelp();
    return -1;
}
