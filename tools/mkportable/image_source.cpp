#include "image_source.h"

#include "pack_error.h"
#include "package_format.h"
#include "temp_file.h"
#include "tree_zipper.h"
#include "zip_region.h"

#include <cerrno>
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
    // miniunz's own rules, applied now: the launcher would otherwise only
    // find out on the target machine.
    ZipRegion region(zip.fd(), 0, zip.size(), zip.name());
    std::vector<std::string> problems;
    region.entries(problems);
    region.check(problems, true);
    if (!problems.empty()) {
        std::string text;
        for (const std::string &problem : problems)
            text += problem + "\nmkportable: ";
        throw PackError(text + zip.name() +
                        " cannot be unpacked by miniunz: repack it with deflate and without "
                        "encryption, or give the directory instead of the zip");
    }
    return {std::move(zip), std::nullopt};
}

} // namespace

PreparedImage prepareImage(const std::filesystem::path &image,
                           const std::filesystem::path &output, std::uint32_t dosDateTime,
                           const ZipSettings &settings)
{
    struct stat st;
    if (stat(image.c_str(), &st) != 0)
        throwSystemError("cannot examine the image " + image.string(), errno);
    if (S_ISDIR(st.st_mode))
        return zipDirectory(image, output, dosDateTime, settings);
    if (!S_ISREG(st.st_mode))
        throw PackError("image " + image.string() + " is neither a directory nor a regular file");
    return readyZip(image);
}

} // namespace mkportable
