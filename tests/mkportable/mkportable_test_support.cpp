#include "mkportable_test_support.h"

#include "package_fixture.h"
#include "zip_fixture.h"

#include "pack_error.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <sys/stat.h>

namespace mkptest {

void put(const fs::path &path, const std::string &data, mode_t mode)
{
    fs::create_directories(path.parent_path());
    writeFile(path.string(), data, mode);
}

void makeDir(const fs::path &path, mode_t mode)
{
    fs::create_directories(path);
    if (chmod(path.c_str(), mode) != 0)
        throw std::runtime_error("chmod " + path.string());
}

std::vector<std::string> listDir(const fs::path &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> tempFilesIn(const fs::path &dir, const std::string &output)
{
    std::vector<std::string> found;
    for (const std::string &name : listDir(dir))
        if (name.rfind("." + output + ".", 0) == 0)
            found.push_back(name);
    return found;
}

void expectPackError(const std::function<void()> &action, const std::string &message)
{
    try {
        action();
        ADD_FAILURE() << "no error; expected one with: " << message;
    } catch (const mkportable::PackError &e) {
        EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
}

std::vector<ZipEntry> readZip(const fs::path &path)
{
    std::vector<ZipEntry> entries;
    unzFile zip = unzOpen64(path.c_str());
    if (zip == nullptr) {
        ADD_FAILURE() << "unzOpen64 " << path;
        return entries;
    }
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        unz_file_info64 info;
        char name[4096];
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK ||
            unzOpenCurrentFile(zip) != UNZ_OK) {
            ADD_FAILURE() << "cannot read an entry of " << path;
            break;
        }
        ZipEntry e{name,
                   unsigned(info.version),
                   info.external_fa,
                   info.dosDate,
                   int(info.compression_method),
                   info.size_file_extra + info.size_file_comment + unsigned(unzGetLocalExtrafield(zip, nullptr, 0)),
                   ""};
        char buf[8192];
        int n;
        while ((n = unzReadCurrentFile(zip, buf, sizeof buf)) > 0)
            e.data.append(buf, std::size_t(n));
        EXPECT_EQ(n, 0) << "unzReadCurrentFile " << e.name;
        EXPECT_EQ(unzCloseCurrentFile(zip), UNZ_OK) << "CRC of " << e.name;
        entries.push_back(std::move(e));
    }
    unzClose(zip);
    return entries;
}

void writeStoredZip(const fs::path &path, const std::vector<StoredEntry> &entries)
{
    std::vector<ZipEntrySpec> fixtures;
    for (const StoredEntry &entry : entries) {
        ZipEntrySpec fixture{entry.name, entry.data, unsigned(entry.mode & 07777),
                             S_ISDIR(entry.mode)   ? ZipEntrySpec::Dir
                             : S_ISLNK(entry.mode) ? ZipEntrySpec::Symlink
                                                   : ZipEntrySpec::File};
        fixture.stored = true;
        fixture.time1980 = true;
        fixtures.push_back(fixture);
    }
    writeZip(path.string(), fixtures);
}

DecodedPackage decodePackage(const std::string &bytes)
{
    DecodedPackage pkg;
    const std::size_t trailer = PKG_DIRECTORY_SIZE + 1;
    if (bytes.size() < trailer) {
        ADD_FAILURE() << "package of " << bytes.size() << " bytes has no directory";
        return pkg;
    }
    const auto *raw = reinterpret_cast<const unsigned char *>(bytes.data());
    pkg.endMarker = raw[bytes.size() - 1];
    decodePackageDirectory(raw + bytes.size() - trailer, &pkg.directory);
    std::size_t offset = 0;
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i) {
        const std::size_t size = pkg.directory.elementSize[i];
        if (offset + size > bytes.size() - trailer) {
            ADD_FAILURE() << "element " << i << " runs past the directory";
            return pkg;
        }
        pkg.elements[i] = bytes.substr(offset, size);
        offset += size;
    }
    EXPECT_EQ(offset, bytes.size() - trailer) << "elements do not end at the directory";
    const std::string &info = pkg.elements[PKG_GLOBAL_INFO];
    decodeGlobalInfo(reinterpret_cast<const unsigned char *>(info.data()), uint32_t(info.size()), &pkg.globalInfo);
    const std::string &table = pkg.elements[PKG_COMMANDS];
    for (std::size_t at = 0; at + COMMAND_RECORD_SIZE <= table.size(); at += COMMAND_RECORD_SIZE) {
        CommandRecord rec;
        decodeCommandRecord(reinterpret_cast<const unsigned char *>(table.data() + at), &rec);
        pkg.records.push_back(rec);
    }
    return pkg;
}

#ifdef I386_PROGRAM_DIR
const fs::path I386_DIR = I386_PROGRAM_DIR;
#else
const fs::path I386_DIR;
#endif
#ifdef ARM64_PROGRAM_DIR
const fs::path ARM64_DIR = ARM64_PROGRAM_DIR;
#else
const fs::path ARM64_DIR;
#endif

const Foreign I386 = {"i386", I386_DIR, "/usr/bin/qemu-i386",
                      ":i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00"
                      "\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff"
                      "\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:/usr/bin/qemu-i386:F"};
const Foreign ARM64 = {"arm64", ARM64_DIR, "/usr/bin/qemu-aarch64-static",
                       ":aarch64:M::\\x7fELF\\x02\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00"
                       "\\x00\\x02\\x00\\xb7\\x00:\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\x00\\xff\\xff"
                       "\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:/usr/bin/qemu-aarch64-static:F"};

const Foreign *foreignFor(const std::string &architecture)
{
    return architecture == "i386" ? &I386 : architecture == "arm64" ? &ARM64 : nullptr;
}

namespace {

Runner foreignRunner(const Foreign &f)
{
    if (f.dir.empty())
        return {{}, std::string("built without the ") + f.architecture + " programs"};
    ProgramRun probe;
    probe.argv = {(f.dir / "miniunz").string()};
    if (runProgram(probe).status != 126)
        return {};
    if (!fs::exists(f.qemu))
        return {{},
                std::string("this kernel runs no ") + f.architecture + " code and " + f.qemu +
                    " (Debian's qemu-user, qemu-user-static) is missing"};
    Runner r{{"/usr/bin/unshare", "--user", "--map-root-user", "--mount", "/bin/sh", "-c",
              "mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || exit 125; printf '" +
                  std::string(f.binfmt) + "' > /proc/sys/fs/binfmt_misc/register && exec \"$@\"",
              "sh"},
             {}};
    probe.argv.insert(probe.argv.begin(), r.words.begin(), r.words.end());
    if (runProgram(probe).status == 125)
        r.problem = "this kernel has no binfmt_misc in user namespaces, which the emulated runs need";
    return r;
}

} // namespace

const Runner &runnerFor(const Foreign &f)
{
    static const Runner i386 = foreignRunner(I386);
    static const Runner arm64 = foreignRunner(ARM64);
    return &f == &I386 ? i386 : arm64;
}

std::vector<std::string> runArgs(const Foreign *foreign, std::vector<std::string> argv)
{
    if (foreign == nullptr)
        return argv;
    const std::vector<std::string> &runner = runnerFor(*foreign).words;
    argv.insert(argv.begin(), runner.begin(), runner.end());
    return argv;
}

} // namespace mkptest
