#include "image_source.h"

#include "external_links.h"
#include "mkportable/bundle/library_bundle.h"
#include "mkportable/support/terminal_text.h"
#include "pack_error.h"
#include "package_format.h"
#include "temp_file.h"
#include "tree_scan.h"
#include "tree_zipper.h"
#include "zip_region.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <sys/stat.h>

namespace mkportable {

namespace {

// A folder beside the output for the wrapper scripts of bundled programs,
// removed with everything in it when the image is zipped.
class ScratchDir {
public:
    explicit ScratchDir(const std::filesystem::path &output)
    {
        const std::filesystem::path dir = output.parent_path().empty() ? std::filesystem::path(".")
                                                                       : output.parent_path();
        std::string templ = dir / ("." + output.filename().string() + ".bundle-XXXXXX");
        if (mkdtemp(templ.data()) == nullptr)
            throwSystemError("mkdtemp(" + templ + ")", errno);
        path_ = templ;
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

PreparedImage zipDirectory(const std::filesystem::path &dir, const std::filesystem::path &output,
                           std::uint32_t dosDateTime, const ZipSettings &settings,
                           const std::vector<std::string> &bundle, const LinkPolicy &links)
{
    const std::string name = "image of " + dir.string();
    std::vector<TreeEntry> entries = applyLinkRule(scanTree(dir), dir, links);
    std::optional<ScratchDir> scratch;
    if (!bundle.empty()) {
        scratch.emplace(output);
        entries = bundlePrograms(std::move(entries), dir, bundle, scratch->path(), machineLoaderPaths());
    }
    UniqueFd fd = TempFile(output, "image").releaseAnonymous();
    const std::size_t count = zipEntries(entries, fd.get(), name, dosDateTime, PKG_MAX_FILE_SIZE, settings);
    std::vector<std::filesystem::path> inputs{dir};
    for (const TreeEntry &entry : entries)
        if (!entry.source.empty() && (!scratch || entry.source.parent_path() != scratch->path()))
            inputs.push_back(entry.source);
    return {InputFile::adopt(std::move(fd), name), count, std::move(inputs)};
}

PreparedImage readyZip(const std::filesystem::path &file, const std::vector<std::string> &bundle, std::ostream *notes)
{
    if (!bundle.empty())
        throw PackError("cannot bundle " + terminalText(bundle.front()) + " into the ready zip image " +
                        terminalText(file.string()) + ": bundling needs the image as a directory");
    InputFile zip = InputFile::open(file, "image");
    // miniunz's own rules, applied now: the launcher would otherwise only
    // find out on the target machine.
    ZipRegion region(zip.fd(), 0, zip.size(), zip.name());
    std::vector<std::string> problems;
    region.entries(problems);
    region.check(problems, true);
    if (!problems.empty()) {
        // Entry names are the zip's own bytes: a NUL among them would end the
        // message early, a control would reach the terminal.
        std::string text;
        for (const std::string &problem : problems)
            text += terminalText(problem) + "\nmkportable: ";
        throw PackError(text + terminalText(zip.name()) +
                        " cannot be unpacked by miniunz: repack it with deflate and without "
                        "encryption, or give the directory instead of the zip");
    }
    if (const std::string note = region.commentNote(); !note.empty() && notes != nullptr)
        *notes << "mkportable: note: " << terminalText(note) << "\n";
    return {std::move(zip), std::nullopt, {file}};
}

} // namespace

PreparedImage prepareImage(const std::filesystem::path &image, const std::filesystem::path &output,
                           std::uint32_t dosDateTime, const ZipSettings &settings,
                           const std::vector<std::string> &bundle, const LinkPolicy &links)
{
    struct stat st;
    if (stat(image.c_str(), &st) != 0)
        throwSystemError("cannot examine the image " + image.string(), errno);
    if (S_ISDIR(st.st_mode))
        return zipDirectory(image, output, dosDateTime, settings, bundle, links);
    if (!S_ISREG(st.st_mode))
        throw PackError("image " + image.string() + " is neither a directory nor a regular file");
    return readyZip(image, bundle, links.notes);
}

} // namespace mkportable
