// Helpers shared by the mkportable tests: files, zip reading through
// minizip's unzip.h and package decoding.
#ifndef TESTS_MKPORTABLE_TEST_SUPPORT_H
#define TESTS_MKPORTABLE_TEST_SUPPORT_H

#include "package_fixture.h"
#include "package_format.h"
#include "program.h"
#include "zip_fixture.h"

#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mkptest {

namespace fs = std::filesystem;

// Writes `data` to `path` (parents created) and sets exactly `mode`.
void put(const fs::path &path, const std::string &data, mode_t mode = 0644);
// Creates the directory `path` (parents too) with exactly `mode`.
void makeDir(const fs::path &path, mode_t mode = 0755);
// Names in `dir`, sorted.
std::vector<std::string> listDir(const fs::path &dir);
// Names in `dir` of the temporary files that writing `output` there uses.
std::vector<std::string> tempFilesIn(const fs::path &dir, const std::string &output);

// Expects `action` to throw mkportable::PackError with `message` in its text.
void expectPackError(const std::function<void()> &action, const std::string &message);

// One entry of a zip archive as unzip.h reports it.
struct ZipEntry {
    std::string name;
    unsigned versionMadeBy = 0;
    unsigned long externalAttributes = 0;
    unsigned long dosDate = 0;
    int method = -1;
    unsigned long extraBytes = 0; // central and local extra fields together
    std::string data;
};
// Every entry of the zip at `path`, in stored order; a read error fails the test.
std::vector<ZipEntry> readZip(const fs::path &path);

// One entry of a zip that writeStoredZip makes.
struct StoredEntry {
    std::string name; // ends in '/' for a directory
    mode_t mode;      // type bits and permissions
    std::string data; // the link target for a symbolic link
};
// Writes a zip with every entry stored (not deflated), so that its bytes
// and sizes do not depend on the zlib version, in the order given; time
// stamps are 1980-01-01.
void writeStoredZip(const fs::path &path, const std::vector<StoredEntry> &entries);

// A package split along its directory with the launcher's codec.
struct DecodedPackage {
    PackageDirectory directory{};
    std::string elements[PKG_ELEMENT_COUNT];
    GlobalInfo globalInfo{};
    std::vector<CommandRecord> records;
    unsigned char endMarker = 0;
};
// Fails the test when the recorded sizes do not add up to the file's length.
DecodedPackage decodePackage(const std::string &bytes);

// The 32-bit and the ARM launcher and miniunz; empty when the build left
// them out (PORTABLE_I386=OFF, no aarch64 cross compiler).
extern const fs::path I386_DIR;
extern const fs::path ARM64_DIR;

// A processor family that this machine may run only through an emulator.
struct Foreign {
    const char *architecture; // as a record names it
    const fs::path &dir;      // its launcher and miniunz
    const char *qemu;         // statically linked where it must start in a bare root
    const char *binfmt;       // the binfmt_misc entry that hands its ELF executables to qemu
};
extern const Foreign I386;
extern const Foreign ARM64;
// The family of a record's architecture name; null for this machine's own.
const Foreign *foreignFor(const std::string &architecture);

// The words that start a program of a family here: none where the kernel
// runs its code itself; where it does not (it answers ENOEXEC), a user
// namespace with a binfmt_misc entry of its own that hands such executables
// to qemu, so that the launcher and the miniunz it starts both run emulated
// while the machine's own binfmt_misc stays untouched. `problem` says why
// the programs cannot run here at all.
struct Runner {
    std::vector<std::string> words;
    std::string problem;
};
const Runner &runnerFor(const Foreign &f);

#define SKIP_UNLESS_RUNS(f)                                                                                            \
    if (const std::string &why = mkptest::runnerFor(f).problem; !why.empty())                                          \
    GTEST_SKIP() << why

// `argv` to run in the sandbox, through the runner of `foreign` when it is one.
std::vector<std::string> runArgs(const Foreign *foreign, std::vector<std::string> argv);

} // namespace mkptest

#endif
