#include "file_entry.h"

#include "diag.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writes all of `data` to `fd`. Returns false after reporting the failure
// to `tree`, or at once when another write failed already.
bool writeAll(TargetTree &tree, int fd, const char *data, size_t size, const std::string &shown)
{
    if (tree.stopped())
        return false;
    portable::IoResult r = portable::writeAll(fd, data, size);
    if (r.done == size)
        return true;
    // A write that takes nothing would otherwise be retried forever.
    tree.writeFailed(shown, r.error != 0 ? r.error : EIO);
    return false;
}

} // namespace

bool writeFileEntry(TargetTree &tree, EntryReader &reader, const FileEntry &e)
{
    if (tree.stopped())
        return false;
    DirHandle dir = tree.openDirectory(e.parts, e.parts.size() - 1, false, e.shown);
    if (!dir)
        return false;
    const std::string &leaf = e.parts.back();
    portable::UniqueFd out(tree.createLeaf(dir->get(), leaf, e.shown, "openat", [&] {
        return openat(dir->get(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    if (!out.valid())
        return false;
    bool ok = reader.read(
        e.data, e.shown, [&](const char *data, size_t size) { return writeAll(tree, out.get(), data, size, e.shown); });
    if (ok && fchmod(out.get(), e.perms) != 0) {
        complain("%s: fchmod: %s", e.shown.c_str(), strerror(errno));
        ok = false;
    }
    if (int err = out.close(); err != 0 && ok) {
        complain("%s: close: %s", e.shown.c_str(), strerror(err));
        ok = false;
    }
    // A file that is not exactly what the archive holds must not look complete.
    if (!ok && unlinkat(dir->get(), leaf.c_str(), 0) != 0)
        complain("%s: unlinkat (removing the incomplete file): %s", e.shown.c_str(), strerror(errno));
    return ok;
}
