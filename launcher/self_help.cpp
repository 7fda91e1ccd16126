// The self-help of a package: --portable-info and --portable-list read the
// package here, with the zip-structure reader, and run no program.
#include "self_help.h"

#include "cleanup.h"
#include "command_selection.h"
#include "digest_record.h"
#include "entry_kind.h"
#include "launch_settings.h"
#include "package_reader.h"
#include "platform_table.h"
#include "portable_help.h"
#include "record_text.h"
#include "run_state.h"
#include "working_directory.h"
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
        std::printf("  %u  %s: %s", i, platformText(rec).c_str(), escaped(rec.command).c_str());
        if (rec.arguments[0])
            std::printf("  [arguments %s%s]", escaped(rec.arguments).c_str(),
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
        whichImg = parts[i].variant;
        PackageDirectory view = dir;
        view.elementSize[PKG_IMAGE] = parts[i].size;
        ZipSource src;
        src.fd = fd;
        src.base = uint64_t(pkgElementOffset(PKG_IMAGE, &view));
        src.size = parts[i].size;
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
                        escaped(entry.name).c_str());
            if (mode.kind == EntryKind::Symlink) {
                std::string target;
                if (readLinkTarget(src, archive, entry, target))
                    std::printf(" -> %s", escaped(target).c_str());
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
    whichImg = -1;
    fd_close(fd);
    return status;
}

namespace {

// Checks the digest record against the file: 0 when it matches or there is
// none, 1 after a line saying what is wrong.
int checkDigest(int fd)
{
    int end = fd_seek(fd, 0, SEEK_END);
    uint64_t fileSize = end < 0 ? 0 : uint64_t(end);
    unsigned char field[2][PKG_VARIANT_FIELD_SIZE];
    unsigned char recorded[2][DIGEST_SHA256_SIZE];
    DigestFieldKind kind[2];
    for (int i = 0; i < 2; ++i) {
        if (fileSize < uint64_t(PKG_DIRECTORY_SIZE + 1) ||
            pread(fd, field[i], sizeof field[i], off_t(variantFieldOffset(fileSize, i))) != PKG_VARIANT_FIELD_SIZE) {
            std::puts("Digest: FAILED, the package directory cannot be read");
            return 1;
        }
        kind[i] = decodeDigestRecord(field[i], recorded[i]);
    }
    if (kind[0] == DIGEST_FIELD_ABSENT && kind[1] == DIGEST_FIELD_ABSENT) {
        std::puts("Digest: none (the package was built without one)");
        return 0;
    }
    if (kind[0] != DIGEST_FIELD_VALID || kind[1] != DIGEST_FIELD_VALID ||
        std::memcmp(recorded[0], recorded[1], DIGEST_SHA256_SIZE) != 0) {
        std::puts("Digest: FAILED, the digest records in the package directory are damaged");
        return 1;
    }
    unsigned char actual[DIGEST_SHA256_SIZE];
    if (!packageSha256(fd, fileSize, actual)) {
        std::puts("Digest: FAILED, the package cannot be read");
        return 1;
    }
    if (std::memcmp(actual, recorded[0], DIGEST_SHA256_SIZE) != 0) {
        std::puts("Digest: FAILED, the package was changed after it was built (SHA-256 does not match)");
        return 1;
    }
    std::puts("Digest: SHA-256 matches");
    return 0;
}

// Runs the unzip utility's test mode on each image from a private working
// directory: 0 when every entry reads back whole, 1 otherwise, 2 when the
// directory cannot run programs (nothing was checked).
int checkEntries(const PackageDirectory &dir, int fd)
{
    if (enterNewWorkingDirectory() != 0)
        return 1;
    if (extractPkgElementFile(PKG_UNZIP, "miniunz", &dir, fd) != 0 || makeFileExecutable("miniunz") != 0) {
        std::puts("Entries: FAILED, the unzip utility cannot be written");
        return 1;
    }
    if (isNoExecFileSystem(wrkDir)) {
        std::printf("Entries: not checked, %s cannot run programs (set TMPDIR to a directory that can)\n", wrkDir);
        return 2;
    }
    ImagePart parts[2];
    int count = imageParts(dir, parts);
    int status = 0;
    for (int i = 0; i < count; ++i) {
        whichImg = parts[i].variant;
        PackageDirectory view = dir;
        view.elementSize[PKG_IMAGE] = parts[i].size;
        if (extractPkgElementFile(PKG_IMAGE, "image.zip", &view, fd) != 0 || makeFileReadable("image.zip") != 0) {
            std::printf("Entries of the %s: FAILED, it cannot be written\n", parts[i].label);
            status = 1;
            continue;
        }
        std::fflush(stdout);
        ignoreInterrupt = 1;
        int rc = runShellCommand("./miniunz -t image.zip > /dev/null");
        ignoreInterrupt = 0;
        if (interrupted)
            return 1;
        bool whole = rc == 0;
        std::printf("Entries of the %s: %s\n", parts[i].label,
                    whole ? "every entry reads back whole (sizes and CRCs)" : "FAILED");
        status |= whole ? 0 : 1;
    }
    whichImg = -1;
    return status;
}

} // namespace

int portableCheck(int argc, char **argv)
{
    PackageDirectory dir;
    int fd = openPackage(argc, argv, &dir);
    if (fd < 0)
        return 1;
    int digest = checkDigest(fd);
    std::fflush(stdout);
    int entries = checkEntries(dir, fd);
    fd_close(fd);
    cleanup();
    bool ok = digest == 0 && entries != 1;
    std::puts(ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
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
