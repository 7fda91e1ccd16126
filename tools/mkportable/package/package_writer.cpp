#include "package_writer.h"

#include "pack_error.h"
#include "package_digest.h"
#include "package_signing.h"
#include "temp_file.h"

#include <cerrno>
#include <sys/stat.h>

namespace mkportable {

namespace {

// Collects the inputs that are copied verbatim, in package order.
std::vector<const InputFile *> inputFiles(const PackageContents &contents)
{
    std::vector<const InputFile *> files{&contents.launcher, &contents.unzip};
    for (const InputFile &image : contents.images)
        files.push_back(&image);
    return files;
}

void checkNotEmpty(const InputFile &file)
{
    if (file.size() == 0)
        throw PackError(file.name() + " is empty");
}

// Refuses an output path that the rename could not replace or that would
// destroy one of the inputs.
void checkOutput(const PackageContents &contents, const std::filesystem::path &output)
{
    struct stat st;
    if (stat(output.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return;
        throwSystemError("cannot examine the output " + output.string(), errno);
    }
    if (S_ISDIR(st.st_mode))
        throw PackError("output " + output.string() + " is a directory");
    for (const InputFile *file : inputFiles(contents))
        if (file->isSameFile(st.st_dev, st.st_ino))
            throw PackError("output " + output.string() + " is the same file as the " + file->name() +
                            "; it would be overwritten");
}

void writeGlobalInfo(const GlobalInfo &info, int out, const std::string &what)
{
    unsigned char raw[GLOBAL_INFO_SIZE];
    encodeGlobalInfo(info, raw);
    writeAll(out, raw, sizeof raw, what);
}

void writeCommands(const std::vector<CommandEntry> &commands, int out, const std::string &what)
{
    for (const CommandEntry &entry : commands) {
        unsigned char raw[COMMAND_RECORD_SIZE];
        encodeCommandRecord(toCommandRecord(entry), raw);
        writeAll(out, raw, sizeof raw, what);
    }
}

void writeTrailer(const PackageDirectory &directory, int out, const std::string &what)
{
    unsigned char raw[PKG_DIRECTORY_SIZE + 1];
    encodePackageDirectory(directory, raw);
    raw[PKG_DIRECTORY_SIZE] = PKG_END_MARKER;
    writeAll(out, raw, sizeof raw, what);
}

// A new executable gets 0777 less the umask, as a linker gives it. Reading
// the umask means setting it: no other thread creates files meanwhile.
mode_t executableMode()
{
    const mode_t mask = umask(022);
    umask(mask);
    return 0777 & ~mask;
}

} // namespace

PackageLayout planPackage(const PackageContents &contents)
{
    if (contents.commands.empty())
        throw PackError("a package needs at least one command record");
    for (std::size_t i = 0; i < contents.commands.size(); ++i)
        validateCommand(contents.commands[i], i);
    if (contents.images.empty() || contents.images.size() > 2)
        throw PackError("a package holds one image or two image variants, not " +
                        std::to_string(contents.images.size()));
    for (const InputFile *file : inputFiles(contents))
        checkNotEmpty(*file);

    std::uint64_t imageBytes = 0;
    for (const InputFile &image : contents.images)
        imageBytes += image.size();
    const std::uint64_t sizes[PKG_ELEMENT_COUNT] = {
        contents.launcher.size(),
        contents.unzip.size(),
        GLOBAL_INFO_SIZE,
        std::uint64_t(COMMAND_RECORD_SIZE) * contents.commands.size(),
        imageBytes,
    };
    std::uint64_t total = PKG_DIRECTORY_SIZE + 1;
    for (std::uint64_t size : sizes)
        total += size;
    // Each term is bounded by the file size on a 64-bit off_t and the number
    // of records by memory, so the sum cannot wrap.
    if (total >= std::uint64_t(PKG_MAX_FILE_SIZE))
        throw PackError("the package would be " + std::to_string(total) + " bytes; it must stay below " +
                        std::to_string(PKG_MAX_FILE_SIZE) + " bytes (2 GiB)");

    PackageLayout layout;
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i)
        layout.directory.elementSize[i] = std::uint32_t(sizes[i]);
    if (contents.images.size() == 2) {
        layout.directory.imageSize[0] = std::uint32_t(contents.images[0].size());
        layout.directory.imageSize[1] = std::uint32_t(contents.images[1].size());
    }
    layout.globalInfo.commandCount = std::int32_t(contents.commands.size());
    layout.globalInfo.strictPlatformMatch = contents.strictPlatformMatch ? 1 : 0;
    layout.fileSize = total;
    return layout;
}

PackageLayout writePackage(const PackageContents &contents, const std::filesystem::path &output)
{
    PackageLayout layout = planPackage(contents);
    checkOutput(contents, output);

    TempFile temp(output, "tmp");
    const std::string what = temp.path().string();
    contents.launcher.copyTo(temp.fd(), what);
    contents.unzip.copyTo(temp.fd(), what);
    writeGlobalInfo(layout.globalInfo, temp.fd(), what);
    writeCommands(contents.commands, temp.fd(), what);
    for (const InputFile &image : contents.images)
        image.copyTo(temp.fd(), what);
    writeTrailer(layout.directory, temp.fd(), what);
    const Sha256 digest = stampPackageDigest(temp.fd(), layout.fileSize, contents.settings, what);
    if (contents.signingKey != nullptr)
        storeSignature(temp.fd(), layout.fileSize, *contents.signingKey, digest, what);
    temp.commit(executableMode());
    return layout;
}

} // namespace mkportable
