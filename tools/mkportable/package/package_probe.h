// Reads an existing package back: its directory, records and images, and
// everything about it that the launcher would stumble over.
#ifndef MKPORTABLE_PACKAGE_PROBE_H
#define MKPORTABLE_PACKAGE_PROBE_H

#include "mkportable/bundle/program_kind.h"
#include "package_format.h"
#include "zip_region.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mkportable {

// One zip image as the launcher would unpack it.
struct ImageVariant {
    std::string key;   // "image" for a single image, else "i386" or "x86_64"
    std::string label; // "image", "image for Intel 32-bit machines", ...
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::vector<ImageEntry> entries;
};

struct ProbedPackage {
    std::filesystem::path path;
    std::uint64_t fileSize = 0;
    // False when the directory cannot be trusted (file too short, no end
    // marker, sizes that do not add up): nothing else is then read.
    bool layoutSound = false;
    PackageDirectory directory{};
    std::uint64_t offset[PKG_ELEMENT_COUNT] = {};
    ProgramKind launcher;
    ProgramKind unzip;
    GlobalInfo globalInfo{};
    std::vector<CommandRecord> records; // every whole record in element 3
    std::vector<ImageVariant> images;
    // The entries whose data was read (checkData only).
    std::size_t entriesChecked = 0;
    // Everything found wrong, one sentence each, in the order found.
    std::vector<std::string> problems;
    // What is odd but harmless (an archive comment cut short), likewise.
    std::vector<std::string> notes;
};

// Opens and reads the package at `path`. With `checkData`, also reads the
// data of every image entry and checks it (CRC, sizes, deflate stream).
// Throws PackError only when the file cannot be opened or read at all;
// every fault of the package itself lands in `problems`.
ProbedPackage probePackage(const std::filesystem::path &path, bool checkData);

// Element names in words: "launcher", "unzip utility", "global info",
// "command records", "image".
const char *elementName(int index);

} // namespace mkportable

#endif
