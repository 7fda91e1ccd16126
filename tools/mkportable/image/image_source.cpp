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

#include <algorithm>
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

// Packs `entry` without a set-user-ID or set-group-ID bit: the launcher's
// tree is the operator's, and such a bit would hand its rights to whoever
// runs the file from there.
void dropPrivilegeBits(TreeEntry &entry, std::ostream *notes)
{
    const mode_t bits = entry.mode & (S_ISUID | S_ISGID);
    if (bits == 0)
        return;
    entry.mode &= ~mode_t(S_ISUID | S_ISGID);
    if (notes != nullptr)
        *notes << "mkportable: note: " << terminalText(entry.name) << " is packed without its "
               << (bits == S_ISUID   ? "set-user-ID bit"
                   : bits == S_ISGID ? "set-group-ID bit"
                                     : "set-user-ID and set-group-ID bits")
               << "\n";
}

PreparedImage zipDirectory(const std::filesystem::path &dir, const std::filesystem::path &output,
                           std::uint32_t dosDateTime, const ZipSettings &settings, const ImageRules &rules)
{
    const std::string name = "image of " + dir.string();
    std::size_t excluded = 0;
    LinkPolicy links = rules.links;
    links.filter = {rules.exclude, &excluded};
    std::vector<TreeEntry> entries = applyLinkRule(scanTree(dir, links.filter), dir, links);
    for (TreeEntry &entry : entries)
        dropPrivilegeBits(entry, rules.links.notes);
    std::vector<std::string> bundle = rules.bundle;
    if (rules.bundleAll)
        for (const std::string &file : filesToBundle(entries))
            if (std::find(bundle.begin(), bundle.end(), file) == bundle.end())
                bundle.push_back(file);
    std::optional<ScratchDir> scratch;
    if (!bundle.empty()) {
        scratch.emplace(output);
        entries = bundlePrograms(std::move(entries), dir, bundle, scratch->path(), machineLoaderPaths());
    }
    if (rules.checkFiles)
        rules.checkFiles(imageFiles(entries));
    UniqueFd fd = TempFile(output, "image").releaseAnonymous();
    const std::size_t count = zipEntries(entries, fd.get(), name, dosDateTime, PKG_MAX_FILE_SIZE, settings);
    std::vector<std::filesystem::path> inputs{dir};
    for (const TreeEntry &entry : entries)
        if (!entry.source.empty() && (!scratch || entry.source.parent_path() != scratch->path()))
            inputs.push_back(entry.source);
    return {InputFile::adopt(std::move(fd), name), count, std::move(inputs), excluded};
}

PreparedImage readyZip(const std::filesystem::path &file, const ImageRules &rules)
{
    if (!rules.bundle.empty() || rules.bundleAll)
        throw PackError("cannot bundle " + terminalText(rules.bundleAll ? "all" : rules.bundle.front()) +
                        " into the ready zip image " + terminalText(file.string()) +
                        ": bundling needs the image as a directory");
    if (!rules.exclude.empty())
        throw PackError("cannot exclude " + terminalText(rules.exclude.front()) + " from the ready zip image " +
                        terminalText(file.string()) + ": exclude patterns need the image as a directory");
    std::ostream *notes = rules.links.notes;
    InputFile zip = InputFile::open(file, "image");
    // miniunz's own rules, applied now: the launcher would otherwise only
    // find out on the target machine.
    ZipRegion region(zip.fd(), 0, zip.size(), zip.name());
    std::vector<std::string> problems;
    const std::vector<ImageEntry> entries = region.entries(problems);
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
    if (rules.checkFiles)
        rules.checkFiles(zipImageFiles(entries));
    return {std::move(zip), std::nullopt, {file}, 0};
}

} // namespace

PreparedImage prepareImage(const std::filesystem::path &image, const std::filesystem::path &output,
                           std::uint32_t dosDateTime, const ZipSettings &settings, const ImageRules &rules)
{
    struct stat st;
    if (stat(image.c_str(), &st) != 0)
        throwSystemError("cannot examine the image " + image.string(), errno);
    if (S_ISDIR(st.st_mode))
        return zipDirectory(image, output, dosDateTime, settings, rules);
    if (!S_ISREG(st.st_mode))
        throw PackError("image " + image.string() + " is neither a directory nor a regular file");
    return readyZip(image, rules);
}

} // namespace mkportable
