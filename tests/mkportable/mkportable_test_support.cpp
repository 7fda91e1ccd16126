#include "mkportable_test_support.h"

#include "package_fixture.h"

#include "mkportable/entry_compressor.h"
#include "mkportable/pack_error.h"
#include "mkportable/zip_output.h"
#include "mkportable/zip_timestamp.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace mkptest {

fs::path scratchDir()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    fs::path dir = fs::path(TEST_WORK_ROOT) / "mkportable" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string slurp(const fs::path &path)
{
    return readFile(path.string());
}

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

std::string noise(std::size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = char((seed = seed * 1103515245 + 12345) >> 24);
    return bytes;
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
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
                UNZ_OK ||
            unzOpenCurrentFile(zip) != UNZ_OK) {
            ADD_FAILURE() << "cannot read an entry of " << path;
            break;
        }
        ZipEntry e{name, unsigned(info.version), info.external_fa, info.dosDate,
                   int(info.compression_method),
                   info.size_file_extra + info.size_file_comment +
                       unsigned(unzGetLocalExtrafield(zip, nullptr, 0)),
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
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path.string());
    {
        mkportable::ZipOutput zip(fd, path.string(), mkportable::imageTimestamp(nullptr),
                                  PKG_MAX_FILE_SIZE);
        for (const StoredEntry &entry : entries) {
            const auto *bytes = reinterpret_cast<const unsigned char *>(entry.data.data());
            const mkportable::ZipEntryData data{false,
                                                mkportable::crc32Of(0, {bytes, entry.data.size()}),
                                                entry.data.size(), entry.data.size()};
            zip.beginEntry(entry.name, entry.mode, data);
            zip.write(entry.data.data(), entry.data.size());
            zip.endEntry(data);
        }
        zip.finish();
    }
    close(fd);
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
    decodeGlobalInfo(reinterpret_cast<const unsigned char *>(info.data()), uint32_t(info.size()),
                     &pkg.globalInfo);
    const std::string &table = pkg.elements[PKG_COMMANDS];
    for (std::size_t at = 0; at + COMMAND_RECORD_SIZE <= table.size(); at += COMMAND_RECORD_SIZE) {
        CommandRecord rec;
        decodeCommandRecord(reinterpret_cast<const unsigned char *>(table.data() + at), &rec);
        pkg.records.push_back(rec);
    }
    return pkg;
}

pid_t startProgram(const std::vector<std::string> &argv, const fs::path &scratch,
                   const std::vector<std::string> &env)
{
    std::vector<std::string> envText;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "SOURCE_DATE_EPOCH=", 18) != 0)
            envText.emplace_back(*e);
    envText.insert(envText.end(), env.begin(), env.end());
    std::vector<char *> args, envp;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    for (const std::string &e : envText)
        envp.push_back(const_cast<char *>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string out = (scratch / "program.out").string();
    const std::string err = (scratch / "program.err").string();

    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o >= 0 && e >= 0 && dup2(o, 1) >= 0 && dup2(e, 2) >= 0 && chdir(scratch.c_str()) == 0)
            execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    EXPECT_GT(pid, 0) << "fork for " << argv[0];
    return pid;
}

ProgramResult finishProgram(pid_t pid, const fs::path &scratch)
{
    ProgramResult result;
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) {
        ADD_FAILURE() << "waitpid " << pid;
        return result;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = slurp(scratch / "program.out");
    result.err = slurp(scratch / "program.err");
    fs::remove(scratch / "program.out");
    fs::remove(scratch / "program.err");
    return result;
}

ProgramResult runProgram(const std::vector<std::string> &argv, const fs::path &scratch,
                         const std::vector<std::string> &env)
{
    return finishProgram(startProgram(argv, scratch, env), scratch);
}

} // namespace mkptest
