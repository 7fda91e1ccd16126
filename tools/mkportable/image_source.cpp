#include "image_source.h"

#include "pack_error.h"
#include "package_format.h"
#include "temp_file.h"
#include "tree_zipper.h"

#include <cerrno>
#include <minizip/unzip.h>
#include <sys/stat.h>

namespace mkportable {

namespace {

PreparedImage zipDirectory(const std::filesystem::path &dir, const std::filesystem::path &output,
                           std::uint32_t dosDateTime, const ZipSettings &settings)
{
    const std::string name = "image of " + dir.string();
    UniqueFd fd = TempFile(output, "image").releaseAnonymous();
    std::size_t entries = zipTree(dir, fd.get(), name, dosDateTime, PKG_MAX_FILE_SIZE, settings);
    return {InputFile::adopt(std::move(fd), name), entries};
}

PreparedImage readyZip(const std::filesystem::path &file)
{
    InputFile zip = InputFile::open(file, "image");
    // Checked by name after opening; the launcher would otherwise only find
    // out on the target machine.
    unzFile probe = unzOpen64(file.c_str());
    if (probe == nullptr)
        throw PackError(zip.name() + " is not a zip archive (unzOpen64 failed)");
    unzClose(probe);
    return {std::move(zip), std::nullopt};
}

} // namespace

PreparedImage prepareImage(const std::filesystem::path &image,
                           const std::filesystem::path &output, std::uint32_t dosDateTime,
                           const ZipSettings &settings)
{
    struct stat st;
    if (stat(image.c_str(), &st) != 0)
        throwSystemError("stat(image " + image.string() + ")", errno);
    if (S_ISDIR(st.st_mode))
        return zipDirectory(image, output, dosDateTime, settings);
    return readyZip(image);
}

} // namespace mkportable
