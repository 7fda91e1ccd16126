#include "package_probe.h"

#include "pack_error.h"
#include "platform_table.h"
#include "program_extent.h"
#include "unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mkportable {

namespace {

constexpr std::uint64_t TRAILER_SIZE = PKG_DIRECTORY_SIZE + 1;
// A table this big is no package of ours; it is not read into memory.
constexpr std::uint64_t MAX_TABLE_BYTES = 1 << 20;

std::string readAt(int fd, std::uint64_t offset, std::uint64_t size, const std::string &what)
{
    std::string bytes(size, '\0');
    readAllAt(fd, bytes.data(), bytes.size(), offset, what);
    return bytes;
}

const unsigned char *bytesOf(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

// What a file without a package directory at its end is, in words: a
// program with more or less than itself behind it was a package once and
// was cut short (an interrupted download); anything else never was one.
std::string missingDirectoryProblem(int fd, std::uint64_t fileSize, const std::string &detail)
{
    unsigned char head[PROGRAM_HEAD_SIZE];
    const ssize_t length = pread(fd, head, sizeof head, 0);
    if (length > 0 && judgeMissingDirectory(head, std::size_t(length), fileSize) == PackageEnding::CutShort)
        return "not a whole package (cut short?); copy it again";
    return "not a package: " + detail;
}

// Reads the trailer and checks that the directory describes this file.
void readLayout(ProbedPackage &pkg, int fd)
{
    auto &problems = pkg.problems;
    if (pkg.fileSize < TRAILER_SIZE) {
        problems.push_back(
            missingDirectoryProblem(fd, pkg.fileSize,
                                    "it is " + std::to_string(pkg.fileSize) + " bytes long, too short for the " +
                                        std::to_string(TRAILER_SIZE) + "-byte package directory and end marker"));
        return;
    }
    const std::string trailer = readAt(fd, pkg.fileSize - TRAILER_SIZE, TRAILER_SIZE, pkg.path.string());
    decodePackageDirectory(bytesOf(trailer), &pkg.directory);
    if (static_cast<unsigned char>(trailer.back()) != PKG_END_MARKER) {
        problems.push_back(
            missingDirectoryProblem(fd, pkg.fileSize, "it does not end in a package directory and end marker"));
        return;
    }
    std::uint64_t sum = 0;
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i) {
        pkg.offset[i] = sum;
        sum += pkg.directory.elementSize[i];
    }
    if (sum != pkg.fileSize - TRAILER_SIZE) {
        problems.push_back("the element sizes add up to " + std::to_string(sum) + " bytes, but " +
                           std::to_string(pkg.fileSize - TRAILER_SIZE) + " bytes precede the package directory");
        return;
    }
    pkg.layoutSound = true;
    if (pkg.fileSize >= std::uint64_t(PKG_MAX_FILE_SIZE))
        problems.push_back("the file is " + std::to_string(pkg.fileSize) +
                           " bytes; the launcher reads only packages below " + std::to_string(PKG_MAX_FILE_SIZE) +
                           " bytes (2 GiB)");
    for (int i : {PKG_LAUNCHER, PKG_UNZIP, PKG_IMAGE})
        if (pkg.directory.elementSize[i] == 0)
            problems.push_back(std::string("the ") + elementName(i) + " (element " + std::to_string(i) + ") is empty");
}

void readRecords(ProbedPackage &pkg, int fd)
{
    auto &problems = pkg.problems;
    const std::uint32_t infoSize = pkg.directory.elementSize[PKG_GLOBAL_INFO];
    const std::string info = readAt(fd, pkg.offset[PKG_GLOBAL_INFO],
                                    std::min<std::uint32_t>(infoSize, GLOBAL_INFO_SIZE), "global info");
    decodeGlobalInfo(bytesOf(info), std::uint32_t(info.size()), &pkg.globalInfo);
    if (infoSize != GLOBAL_INFO_SIZE)
        problems.push_back("the global info is " + std::to_string(infoSize) + " bytes, not " +
                           std::to_string(GLOBAL_INFO_SIZE));

    const std::uint32_t tableSize = pkg.directory.elementSize[PKG_COMMANDS];
    if (tableSize % COMMAND_RECORD_SIZE != 0)
        problems.push_back("the command table is " + std::to_string(tableSize) + " bytes, not a whole number of " +
                           std::to_string(COMMAND_RECORD_SIZE) + "-byte records");
    const std::uint32_t whole = tableSize / COMMAND_RECORD_SIZE;
    if (whole == 0)
        problems.push_back("the command table holds no record");
    else if (pkg.globalInfo.commandCount != std::int32_t(whole))
        problems.push_back("the global info counts " + std::to_string(pkg.globalInfo.commandCount) +
                           " command records, the table holds " + std::to_string(whole));
    if (tableSize > MAX_TABLE_BYTES) {
        problems.push_back("the command table is too large to be read (" + std::to_string(tableSize) + " bytes)");
        return;
    }
    const std::string table = readAt(fd, pkg.offset[PKG_COMMANDS], std::uint64_t(whole) * COMMAND_RECORD_SIZE,
                                     "command table");
    for (std::uint32_t i = 0; i < whole; ++i) {
        CommandRecord rec;
        decodeCommandRecord(bytesOf(table) + std::size_t(i) * COMMAND_RECORD_SIZE, &rec);
        const std::string which = "command record " + std::to_string(i);
        if (rec.command[0] == '\0')
            problems.push_back(which + " has an empty command");
        if (rec.distribution != PFM_ANY && !findDistributionCode(rec.distribution))
            problems.push_back(which + " names the unknown distribution code " + std::to_string(rec.distribution));
        if (rec.architecture != PFM_ANY && !findArchitectureCode(rec.architecture))
            problems.push_back(which + " names the unknown architecture code " + std::to_string(rec.architecture));
        pkg.records.push_back(rec);
    }
}

ImageVariant variant(std::string key, std::string label, std::uint64_t offset, std::uint64_t size)
{
    ImageVariant image;
    image.key = std::move(key);
    image.label = std::move(label);
    image.offset = offset;
    image.size = size;
    return image;
}

// The image variants exactly as the launcher tells them apart.
void findImages(ProbedPackage &pkg)
{
    const PackageDirectory &dir = pkg.directory;
    const std::uint64_t base = pkg.offset[PKG_IMAGE];
    const std::uint64_t first = dir.imageSize[0], second = dir.imageSize[1];
    if (first != 0 && second != 0 && first + second == dir.elementSize[PKG_IMAGE]) {
        pkg.images.push_back(variant("i386", "image for Intel 32-bit machines", base, first));
        pkg.images.push_back(variant("x86_64", "image for Intel 64-bit machines", base + first, second));
        return;
    }
    if (first != 0 || second != 0)
        pkg.problems.push_back("the image variant sizes " + std::to_string(first) + " and " + std::to_string(second) +
                               " do not add up to the image's " + std::to_string(dir.elementSize[PKG_IMAGE]) +
                               " bytes; the launcher unpacks it as one image");
    pkg.images.push_back(variant("image", "image", base, dir.elementSize[PKG_IMAGE]));
}

void readImage(ProbedPackage &pkg, ImageVariant &image, int fd, bool checkData)
{
    try {
        ZipRegion zip(fd, image.offset, image.size, "the " + image.label);
        image.entries = zip.entries(pkg.problems);
        if (std::string note = zip.commentNote(); !note.empty())
            pkg.notes.push_back(std::move(note));
        const std::size_t checked = zip.check(pkg.problems, checkData);
        if (checkData)
            pkg.entriesChecked += checked;
    } catch (const PackError &e) {
        pkg.problems.push_back(e.what());
    }
}

} // namespace

const char *elementName(int index)
{
    static const char *const names[PKG_ELEMENT_COUNT] = {"launcher", "unzip utility", "global info", "command records",
                                                         "image"};
    return index >= 0 && index < PKG_ELEMENT_COUNT ? names[index] : "element";
}

ProbedPackage probePackage(const std::filesystem::path &path, bool checkData)
{
    ProbedPackage pkg;
    pkg.path = path;
    // O_NONBLOCK: a FIFO must be refused below, not waited on.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid())
        throwSystemError("cannot open " + path.string(), errno);
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        throwSystemError("cannot examine " + path.string(), errno);
    if (!S_ISREG(st.st_mode))
        throw PackError(path.string() + " is not a regular file");
    pkg.fileSize = std::uint64_t(st.st_size);

    readLayout(pkg, fd.get());
    if (!pkg.layoutSound)
        return pkg;
    pkg.launcher = programKind(fd.get(), pkg.offset[PKG_LAUNCHER]);
    pkg.unzip = programKind(fd.get(), pkg.offset[PKG_UNZIP]);
    readRecords(pkg, fd.get());
    findImages(pkg);
    for (ImageVariant &image : pkg.images)
        readImage(pkg, image, fd.get(), checkData);
    return pkg;
}

} // namespace mkportable
