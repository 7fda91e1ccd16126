// Finding the package at the end of the launcher's own file and reading its
// elements.
#include "package_reader.h"

#include "osspecific.h"
#include "program_extent.h"
#include "run_state.h"
#include "terminal_text.h"
#include "textbuf.h"
#include "zip_directory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/auxv.h>
#include <unistd.h>

int64_t pkgElementOffset(int index, const PackageDirectory *dir)
{
    int64_t offset = 0;
    for (int i = 0; i < index; ++i)
        offset += dir->elementSize[i];
    if (index == PKG_IMAGE && whichImg > 0)
        offset += dir->imageSize[0];
    return offset;
}

bool imageUnpackedSize(const PackageDirectory *dir, int fd, uint64_t *total)
{
    ZipSource src;
    src.fd = fd;
    src.base = uint64_t(pkgElementOffset(PKG_IMAGE, dir));
    src.size = dir->elementSize[PKG_IMAGE];
    ZipArchive archive;
    std::string why;
    if (!readZipArchive(src, archive, why))
        return false;
    ZipDirectoryReader reader(src, archive);
    ZipEntry entry;
    *total = 0;
    while (reader.next(entry, why))
        *total += entry.size;
    return why.empty();
}

int seekToPkgElement(int index, const PackageDirectory *dir, int fd)
{
    int64_t offset = pkgElementOffset(index, dir);
    if (offset > PKG_MAX_FILE_SIZE)
        return -1;
    return fd_seek(fd, int32_t(offset), SEEK_SET);
}

int extractPkgElement(int index, const PackageDirectory *dir, int fd, void *buffer, uint32_t capacity)
{
    uint32_t size = dir->elementSize[index];
    if (size > capacity || size > uint32_t(PKG_MAX_FILE_SIZE))
        return -1;
    if (seekToPkgElement(index, dir, fd) < 0)
        return -1;
    if (size == 0)
        return 0;
    if (fd_read(fd, buffer, int(size)) != int(size))
        return -1;
    return int(size);
}

bool elementWithinFile(int index, const PackageDirectory *dir, int fd)
{
    int64_t offset = pkgElementOffset(index, dir);
    // An empty element reads nothing: its position only has to be one.
    if (dir->elementSize[index] == 0)
        return offset <= PKG_MAX_FILE_SIZE;
    int fileSize = fd_seek(fd, 0, SEEK_END);
    return fileSize >= 0 && offset + dir->elementSize[index] <= int64_t(fileSize);
}

int readCommandRecord(const PackageDirectory *dir, int fd, uint32_t index, CommandRecord *rec)
{
    int64_t offset = pkgElementOffset(PKG_COMMANDS, dir) + int64_t(index) * COMMAND_RECORD_SIZE;
    unsigned char raw[COMMAND_RECORD_SIZE];
    if (offset > PKG_MAX_FILE_SIZE || fd_seek(fd, int32_t(offset), SEEK_SET) < 0 ||
        fd_read(fd, raw, COMMAND_RECORD_SIZE) != COMMAND_RECORD_SIZE)
        return -1;
    decodeCommandRecord(raw, rec);
    return 0;
}

int extractPkgElementFile(int index, const char *path, const PackageDirectory *dir, int fd, ElementCopy how)
{
    int out = fd_create(path);
    if (out < 0)
        return -1;
    if (seekToPkgElement(index, dir, fd) < 0) {
        fd_close(out);
        return -1;
    }
    uint32_t remaining = dir->elementSize[index];
    // The kernel copies between the two files without any user-space buffer
    // (sharing the blocks where the file system can); where it cannot, the
    // rest streams through the one 128 KiB buffer.
    if (how == ElementCopy::Kernel)
        remaining -= fd_copy(fd, out, remaining);
    static char chunk[COPY_CHUNK_SIZE];
    while (remaining > 0) {
        int want = remaining < uint32_t(COPY_CHUNK_SIZE) ? int(remaining) : COPY_CHUNK_SIZE;
        if (fd_read(fd, chunk, want) != want || fd_write(out, chunk, want) != want) {
            fd_close(out);
            return -1;
        }
        remaining -= uint32_t(want);
    }
    fd_close(out);
    return 0;
}

bool chooseOwnPath(const char *underscore, const char *argv0, char *ownPath, std::size_t cap)
{
    const char *path = argv0;
    if (underscore && std::strstr(underscore, argv0))
        path = underscore;
    return textCopy(ownPath, cap, path);
}

bool findOnPath(const char *name, const char *searchPath, char *out, std::size_t cap)
{
    if (!searchPath || name[0] == '\0' || std::strchr(name, '/'))
        return false;
    for (const char *dir = searchPath;; ++dir) {
        std::size_t len = std::strcspn(dir, ":");
        // Only absolute entries: an empty or relative entry would name the
        // current directory, where anybody who may write there could have
        // put a file of the same name.
        if (len > 0 && dir[0] == '/') {
            char candidate[OWN_PATH_SIZE];
            if (textFormat(candidate, sizeof candidate, "%.*s/%s", int(len), dir, name) &&
                access(candidate, X_OK) == 0 && fileExists(candidate))
                return textCopy(out, cap, candidate);
        }
        dir += len;
        if (*dir == '\0')
            return false;
    }
}

namespace {

// Opens path; on failure keeps in *reason the first cause that says more
// than that a name was missing.
int openNoting(const char *path, int *reason)
{
    int fd = fd_open(path);
    if (fd < 0 && (*reason == 0 || *reason == ENOENT))
        *reason = errno;
    return fd;
}

const char *ownName(int argc, char **argv)
{
    return argc > 0 && argv[0] ? argv[0] : "";
}

} // namespace

int openOwnFileQuietly(int argc, char **argv)
{
    // The kernel knows which file runs; a name from the environment or the
    // command line is only a claim, and a bare name would otherwise be
    // opened in the current directory, which may be anybody's.
    int reason = 0;
    int fd = openNoting("/proc/self/exe", &reason);
    if (fd >= 0)
        return fd;
    // Without /proc (a chroot): the path that the kernel executed.
    if (const char *executed = reinterpret_cast<const char *>(getauxval(AT_EXECFN))) {
        fd = openNoting(executed, &reason);
        if (fd >= 0)
            return fd;
    }
    const char *argv0 = ownName(argc, argv);
    char ownPath[OWN_PATH_SIZE];
    if (chooseOwnPath(getenv("_"), argv0, ownPath, sizeof ownPath) && std::strchr(ownPath, '/'))
        fd = openNoting(ownPath, &reason);
    if (fd < 0 && findOnPath(argv0, getenv("PATH"), ownPath, sizeof ownPath))
        fd = openNoting(ownPath, &reason);
    if (fd < 0)
        errno = reason;
    return fd;
}

int openOwnFile(int argc, char **argv)
{
    int fd = openOwnFileQuietly(argc, argv);
    if (fd < 0) {
        int reason = errno;
        std::string name = terminalText(ownName(argc, argv));
        std::fprintf(stderr, "Failed opening file %s\n", name.c_str());
        // A package that may be run but not read (mode 0711) starts, and
        // then cannot read itself.
        std::fprintf(stderr, "%s cannot be read: %s%s\n", name.c_str(), std::strerror(reason),
                     reason == EACCES ? "; a package must be readable by whoever runs it (chmod a+r)" : "");
    }
    return fd;
}

bool ownFileCutShort(int fd, const PackageDirectory *dir)
{
    int fileSize = fd_seek(fd, 0, SEEK_END);
    if (fileSize < 0)
        return false;
    if (dir)
        return pkgElementOffset(PKG_ELEMENT_COUNT, dir) + PKG_DIRECTORY_SIZE + 1 > int64_t(fileSize);
    unsigned char head[PROGRAM_HEAD_SIZE];
    int length = fd_seek(fd, 0, SEEK_SET) == 0 ? fd_read(fd, head, sizeof head) : -1;
    return length > 0 &&
           judgeMissingDirectory(head, std::size_t(length), uint64_t(fileSize)) == PackageEnding::CutShort;
}

void reportCutShort(int argc, char **argv)
{
    std::fprintf(stderr, "%s is not a whole package (cut short?); copy it again.\n",
                 terminalText(ownName(argc, argv)).c_str());
}

int readPackageDirectory(int fd, PackageDirectory *dir)
{
    // This platform carries no signature behind the package (getSignatureSize
    // is always 0), so the directory sits right before the end marker.
    if (fd_seek(fd, -(PKG_DIRECTORY_SIZE + 1), SEEK_END) < 0) {
        std::fputs("Failed seeking to package directory\n", stderr);
        return -1;
    }
    // The end marker is read with the directory: a file without it (a
    // launcher that carries no package, or a cut one) has no directory.
    unsigned char raw[PKG_DIRECTORY_SIZE + 1];
    if (fd_read(fd, raw, sizeof raw) != int(sizeof raw) || raw[PKG_DIRECTORY_SIZE] != PKG_END_MARKER) {
        std::fputs("Failed reading package directory\n", stderr);
        return -1;
    }
    decodePackageDirectory(raw, dir);
    return 0;
}

int openPackage(int argc, char **argv, PackageDirectory *dir)
{
    int fd = openOwnFile(argc, argv);
    if (fd < 0)
        return -1;
    if (readPackageDirectory(fd, dir) != 0) {
        if (ownFileCutShort(fd, nullptr))
            reportCutShort(argc, argv);
        fd_close(fd);
        return -1;
    }
    return fd;
}
