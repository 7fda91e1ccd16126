// Finding the package at the end of the launcher's own file and reading its
// elements.
#include "installer.h"
#include "textbuf.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int32_t whichImg = -1;

namespace {

// Offset of an element from the start of the file, in 64 bits so that
// hostile sizes cannot wrap around.
int64_t elementOffset(int index, const PackageDirectory *dir)
{
    int64_t offset = 0;
    for (int i = 0; i < index; ++i)
        offset += dir->elementSize[i];
    if (index == PKG_IMAGE && whichImg > 0)
        offset += dir->imageSize[0];
    return offset;
}

} // namespace

int seekToPkgElement(int index, const PackageDirectory *dir, int fd)
{
    int64_t offset = elementOffset(index, dir);
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

int extractPkgElementFile(int index, const char *path, const PackageDirectory *dir, int fd)
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

int openPackage(int argc, char **argv, PackageDirectory *dir)
{
    const char *argv0 = argc > 0 && argv[0] ? argv[0] : "";
    char ownPath[OWN_PATH_SIZE];
    int fd = -1;
    // This platform carries no signature behind the package (getSignatureSize
    // is always 0), so the directory sits right before the end marker.
    if (chooseOwnPath(getenv("_"), argv0, ownPath, sizeof ownPath)) {
        fd = fd_open(ownPath);
        if (fd < 0) {
            char withExt[OWN_PATH_SIZE];
            if (textFormat(withExt, sizeof withExt, "%s%s", argv0, EXE_EXT))
                fd = fd_open(withExt);
        }
    }
    if (fd < 0) {
        // Started by a bare name or under another name (exec -a): the kernel
        // still knows which file runs.
        fd = fd_open("/proc/self/exe");
    }
    if (fd < 0) {
        std::fprintf(stderr, "Failed opening file %s\n", argv0);
        return -1;
    }
    if (fd_seek(fd, -(PKG_DIRECTORY_SIZE + 1), SEEK_END) < 0) {
        std::fputs("Failed seeking to package directory\n", stderr);
        fd_close(fd);
        return -1;
    }
    // The end marker is read with the directory: a file without it (a
    // launcher that carries no package, or a cut one) has no directory.
    unsigned char raw[PKG_DIRECTORY_SIZE + 1];
    if (fd_read(fd, raw, sizeof raw) != int(sizeof raw) || raw[PKG_DIRECTORY_SIZE] != PKG_END_MARKER) {
        std::fputs("Failed reading package directory\n", stderr);
        fd_close(fd);
        return -1;
    }
    decodePackageDirectory(raw, dir);
    return fd;
}
