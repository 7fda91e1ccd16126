// Removing a directory tree through descriptors, from the main flow and from
// a signal handler alike: only system calls that a handler may make, no
// allocation, no stdio, no locks, and never a path looked up twice.
#include "osspecific.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Levels that one descent empties, each with its reading buffer on the
// stack. A deeper tree is reached by descending again from the held
// descriptor, as many times as it takes.
constexpr int LEVELS_PER_DESCENT = 16;

// What a bounded pass leaves behind.
enum : int { LEFT_DEEPER = 1, LEFT_FAILED = 2 };

constexpr std::size_t READ_BUFFER_SIZE = 4096;

struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Opens the directory `name` inside the directory open on dirFd, never
// through a link. A directory that its owner may not read or change (mode
// 000 in an image) is made the owner's again first, but only when it is a
// directory of this user's: root needs no such help and changes no mode.
int openSubdirectory(int dirFd, const char *name)
{
    uid_t euid = geteuid();
    struct stat st;
    if (euid != 0 && fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) && st.st_uid == euid)
        fchmodat(dirFd, name, 0700, 0);
    return openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Reads the next batch of entries of the directory open on dirFd into buf:
// the bytes read, 0 at the end, negative on failure.
long readEntries(int dirFd, char (&buf)[READ_BUFFER_SIZE])
{
    return syscall(SYS_getdents64, dirFd, buf, sizeof buf);
}

const char *entryName(const char *buf, long off)
{
    return buf + off + offsetof(LinuxDirent64, d_name);
}

long nextEntry(const char *buf, long off)
{
    return off + reinterpret_cast<const LinuxDirent64 *>(buf + off)->d_reclen;
}

// Removes what lies inside the directory open on dirFd, opening
// subdirectories down to `levels` below it; an empty subdirectory one level
// further still goes. 0 when the directory is empty, else LEFT_DEEPER and/or
// LEFT_FAILED. *progress is set once anything was removed.
int emptyBounded(int dirFd, int levels, bool *progress)
{
    alignas(8) char buf[READ_BUFFER_SIZE];
    int left = 0;
    // Deleting while reading may make the kernel skip entries: read again
    // from the start until a whole reading removes nothing.
    for (bool removedAny = true; removedAny;) {
        removedAny = false;
        left = 0;
        if (lseek(dirFd, 0, SEEK_SET) < 0)
            return LEFT_FAILED;
        for (long n; (n = readEntries(dirFd, buf)) != 0;) {
            if (n < 0)
                return LEFT_FAILED;
            for (long off = 0; off < n; off = nextEntry(buf, off)) {
                const char *name = entryName(buf, off);
                if (isDotOrDotDot(name))
                    continue;
                if (unlinkat(dirFd, name, 0) == 0) {
                    removedAny = true;
                    continue;
                }
                if (errno == ENOENT)
                    continue;
                if (errno != EISDIR) {
                    left |= LEFT_FAILED;
                    continue;
                }
                int inner = LEFT_DEEPER;
                if (levels > 0) {
                    int sub = openSubdirectory(dirFd, name);
                    inner = sub < 0 ? LEFT_FAILED : emptyBounded(sub, levels - 1, progress);
                    if (sub >= 0)
                        close(sub);
                }
                if (unlinkat(dirFd, name, AT_REMOVEDIR) == 0)
                    removedAny = true;
                else
                    left |= inner != 0 ? inner : LEFT_FAILED;
            }
        }
        *progress = *progress || removedAny;
    }
    return left;
}

// The first subdirectory of the directory open on dirFd, opened; -1 when
// there is none that opens.
int openFirstSubdirectory(int dirFd)
{
    alignas(8) char buf[READ_BUFFER_SIZE];
    if (lseek(dirFd, 0, SEEK_SET) < 0)
        return -1;
    for (long n; (n = readEntries(dirFd, buf)) > 0;) {
        for (long off = 0; off < n; off = nextEntry(buf, off)) {
            unsigned char type = reinterpret_cast<const LinuxDirent64 *>(buf + off)->d_type;
            const char *name = entryName(buf, off);
            if (isDotOrDotDot(name) || (type != DT_DIR && type != DT_UNKNOWN))
                continue;
            int sub = openSubdirectory(dirFd, name);
            if (sub >= 0)
                return sub;
        }
    }
    return -1;
}

// Goes `levels` down from the directory open on fd along first
// subdirectories: the directory reached, opened, or -1 when the chain ends
// sooner. fd stays open.
int descend(int fd, int levels)
{
    int at = fd;
    for (int i = 0; i < levels && at >= 0; ++i) {
        int next = openFirstSubdirectory(at);
        if (at != fd)
            close(at);
        at = next;
    }
    return at;
}

} // namespace

int removeTreeAt(int dirFd, const char *name)
{
    for (;;) {
        int top = openSubdirectory(dirFd, name);
        if (top < 0) {
            if (errno == ENOENT)
                return 0;
            if (errno != ENOTDIR && errno != ELOOP)
                return -1;
            return unlinkat(dirFd, name, 0) == 0 || errno == ENOENT ? 0 : -1;
        }
        bool progress = false;
        int left = emptyBounded(top, LEVELS_PER_DESCENT, &progress);
        // Below the reach of one pass: descend again from the top, one
        // pass's depth at a time, and empty from there; the directories
        // passed on the way go in the next round.
        for (int at = top; left & LEFT_DEEPER;) {
            int deeper = descend(at, LEVELS_PER_DESCENT + 1);
            if (at != top)
                close(at);
            at = deeper;
            if (at < 0)
                break;
            left = emptyBounded(at, LEVELS_PER_DESCENT, &progress);
            if (!(left & LEFT_DEEPER))
                close(at);
        }
        close(top);
        if (unlinkat(dirFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
            return 0;
        if (!progress)
            return -1;
    }
}

int removeTreeSignalSafe(const char *path)
{
    return removeTreeAt(AT_FDCWD, path);
}
