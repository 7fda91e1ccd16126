#include "tree_zipper.h"

#include "pack_error.h"
#include "tree_scan.h"
#include "unique_fd.h"
#include "zip_output.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace mkportable {

namespace {

constexpr std::size_t READ_CHUNK = 64 * 1024;

// The target text of a symbolic link, however long.
std::string readLinkTarget(const TreeEntry &entry)
{
    std::vector<char> buffer(entry.size + 1);
    for (;;) {
        ssize_t n = readlink(entry.source.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            throwSystemError("readlink(" + entry.source.string() + ")", errno);
        if (std::size_t(n) < buffer.size())
            return std::string(buffer.data(), std::size_t(n));
        buffer.resize(buffer.size() * 2); // the link changed since it was listed
    }
}

// Counts the bytes read for the progress callback.
struct Meter {
    const ZipProgress &progress;
    std::uint64_t done = 0;
    std::uint64_t total = 0;

    void add(std::uint64_t bytes)
    {
        done += bytes;
        if (progress)
            progress(done, total);
    }
};

void addFile(ZipOutput &zip, const TreeEntry &entry, Meter &meter)
{
    // O_NOFOLLOW: an entry that became a link since it was listed is refused
    // rather than followed out of the tree.
    UniqueFd in(::open(entry.source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid())
        throwSystemError("open(" + entry.source.string() + ")", errno);
    zip.beginEntry(entry.name, entry.mode, true);
    std::vector<char> buffer(READ_CHUNK);
    for (;;) {
        std::size_t got = readUpTo(in.get(), buffer.data(), buffer.size(), entry.source.string());
        zip.write(buffer.data(), got);
        meter.add(got);
        if (got < buffer.size())
            break;
    }
    zip.endEntry();
}

void addSymlink(ZipOutput &zip, const TreeEntry &entry, Meter &meter)
{
    const std::string target = readLinkTarget(entry);
    zip.beginEntry(entry.name, entry.mode, false);
    zip.write(target.data(), target.size());
    zip.endEntry();
    meter.add(target.size());
}

void addDirectory(ZipOutput &zip, const TreeEntry &entry)
{
    zip.beginEntry(entry.name, entry.mode, false);
    zip.endEntry();
}

} // namespace

std::size_t zipTree(const std::filesystem::path &root, int fd, const std::string &name,
                    std::uint32_t dosDateTime, std::uint64_t sizeLimit,
                    const ZipProgress &progress)
{
    return zipEntries(scanTree(root), fd, name, dosDateTime, sizeLimit, progress);
}

std::size_t zipEntries(const std::vector<TreeEntry> &entries, int fd, const std::string &name,
                       std::uint32_t dosDateTime, std::uint64_t sizeLimit,
                       const ZipProgress &progress)
{
    Meter meter{progress};
    for (const TreeEntry &entry : entries)
        meter.total += entry.size;
    meter.add(0);
    ZipOutput zip(fd, name, dosDateTime, sizeLimit);
    for (const TreeEntry &entry : entries) {
        switch (entry.kind) {
        case EntryKind::Directory:
            addDirectory(zip, entry);
            break;
        case EntryKind::File:
            addFile(zip, entry, meter);
            break;
        case EntryKind::Symlink:
            addSymlink(zip, entry, meter);
            break;
        }
    }
    zip.finish();
    return entries.size();
}

} // namespace mkportable
