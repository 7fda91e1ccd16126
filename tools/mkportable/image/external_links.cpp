#include "external_links.h"

#include "entry_name.h"
#include "pack_error.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace mkportable {

namespace {

// Whether `inner` is `outer` or lies below it; both are canonical.
bool within(const std::filesystem::path &inner, const std::filesystem::path &outer)
{
    auto [stop, ignored] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    return stop == outer.end();
}

class LinkResolver {
public:
    LinkResolver(const std::filesystem::path &root, const LinkPolicy &policy)
        : policy_(policy), copying_{std::filesystem::canonical(root)}
    {
    }

    // Appends `entries` to `out`, each refused link replaced or refused.
    void admit(std::vector<TreeEntry> entries, std::vector<TreeEntry> &out)
    {
        for (TreeEntry &entry : entries) {
            if (entry.kind != EntryKind::Symlink) {
                out.push_back(std::move(entry));
                continue;
            }
            std::error_code ec;
            const std::string target = std::filesystem::read_symlink(entry.source, ec).string();
            if (ec)
                throwSystemError("cannot read the link " + entry.source.string(), ec.value());
            // The link's own directory lies one level down per '/'.
            const auto depth = std::count(entry.name.begin(), entry.name.end(), '/');
            const char *why = checkLinkTarget(target, std::size_t(depth));
            if (why == nullptr) {
                out.push_back(std::move(entry));
                continue;
            }
            const std::string link = entry.name + " -> " + target;
            if (!policy_.copyExternal)
                throw PackError(link + ": " + why +
                                ", so miniunz would refuse it; pack what it "
                                "points to with --copy-external-links (external_links = \"copy\")");
            copy(entry, link, out);
        }
    }

private:
    void copy(const TreeEntry &link, const std::string &text, std::vector<TreeEntry> &out)
    {
        std::error_code ec;
        const std::filesystem::path resolved = std::filesystem::canonical(link.source, ec);
        struct stat st;
        if (ec || stat(resolved.c_str(), &st) != 0)
            throw PackError(text + ": the link dangles, so there is nothing to copy");
        TreeEntry copied{link.name, resolved, EntryKind::File, st.st_mode, std::uint64_t(st.st_size)};
        if (S_ISREG(st.st_mode)) {
            note(text, "the file");
            out.push_back(std::move(copied));
            return;
        }
        if (!S_ISDIR(st.st_mode))
            throw PackError(text + ": it points to a device, FIFO or socket; an image holds only "
                                   "directories, regular files and symbolic links");
        const std::filesystem::path home = std::filesystem::canonical(link.source.parent_path());
        bool cycle = within(home, resolved);
        for (const std::filesystem::path &dir : copying_)
            cycle = cycle || within(dir, resolved);
        if (cycle)
            throw PackError(text + ": the directory it points to holds the link, the image or "
                                   "a directory being copied, so copying it would never end");
        note(text, "the directory");
        copied.kind = EntryKind::Directory;
        copied.name += '/';
        copied.size = 0;
        std::vector<TreeEntry> inner = scanTree(resolved, policy_.filter);
        for (TreeEntry &entry : inner)
            entry.name.insert(0, copied.name);
        out.push_back(std::move(copied));
        copying_.push_back(resolved);
        admit(std::move(inner), out);
        copying_.pop_back();
    }

    void note(const std::string &text, const char *what) const
    {
        if (policy_.notes != nullptr)
            *policy_.notes << "mkportable: " << text << ": copied " << what << " it points to\n";
    }

    const LinkPolicy &policy_;
    std::vector<std::filesystem::path> copying_;
};

} // namespace

std::vector<TreeEntry> applyLinkRule(std::vector<TreeEntry> entries, const std::filesystem::path &root,
                                     const LinkPolicy &policy)
{
    std::vector<TreeEntry> out;
    out.reserve(entries.size());
    LinkResolver(root, policy).admit(std::move(entries), out);
    std::sort(out.begin(), out.end(), [](const TreeEntry &a, const TreeEntry &b) { return a.name < b.name; });
    return out;
}

} // namespace mkportable
