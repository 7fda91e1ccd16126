// Helpers shared by the mkportable tests: scratch folders, files, zip
// reading through minizip's unzip.h, package decoding and running programs.
#ifndef TESTS_MKPORTABLE_TEST_SUPPORT_H
#define TESTS_MKPORTABLE_TEST_SUPPORT_H

#include "package_format.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mkptest {

namespace fs = std::filesystem;

// A fresh, empty folder for the running test under TEST_WORK_ROOT/mkportable.
fs::path scratchDir();

std::string slurp(const fs::path &path);
// Writes `data` to `path` (parents created) and sets `mode` exactly.
void put(const fs::path &path, const std::string &data, mode_t mode = 0644);
// Creates `path` as a directory with exactly `mode`.
void makeDir(const fs::path &path, mode_t mode = 0755);
// Names in `dir`, sorted.
std::vector<std::string> listDir(const fs::path &dir);

// One entry of a zip archive as unzip.h reports it.
struct ZipEntry {
    std::string name;
    unsigned versionMadeBy = 0;
    unsigned long externalAttributes = 0;
    unsigned long dosDate = 0;
    int method = -1;
    unsigned long centralExtraBytes = 0;
    int localExtraBytes = 0;
    unsigned long commentBytes = 0;
    std::string data;
};
// Every entry of the zip at `path`, in stored order. Fails the test (ADD_FAILURE)
// and returns what it has when minizip reports an error.
std::vector<ZipEntry> readZip(const fs::path &path);

// A package split along its directory.
struct DecodedPackage {
    PackageDirectory directory{};
    std::string elements[PKG_ELEMENT_COUNT];
    GlobalInfo globalInfo{};
    std::vector<CommandRecord> records;
    unsigned char endMarker = 0;
};
// Decodes `bytes` with the launcher's codec. Fails the test when the
// recorded sizes do not add up to the file's length.
DecodedPackage decodePackage(const std::string &bytes);

struct ProgramResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};
// Starts argv[0] with the test's environment minus SOURCE_DATE_EPOCH plus
// `env` ("NAME=value"); its output goes to files in `scratch`.
pid_t startProgram(const std::vector<std::string> &argv, const fs::path &scratch,
                   const std::vector<std::string> &env = {});
// Waits for a program that startProgram started in `scratch`; collects its output.
ProgramResult finishProgram(pid_t pid, const fs::path &scratch);
// Both in one.
ProgramResult runProgram(const std::vector<std::string> &argv, const fs::path &scratch,
                         const std::vector<std::string> &env = {});

} // namespace mkptest

#endif
