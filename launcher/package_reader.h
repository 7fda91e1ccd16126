// Finding the package at the end of the launcher's own file and reading its
// elements. Element 4 lies imageSize[0] further on while whichImg is above 0
// (the second image variant).
#ifndef LAUNCHER_PACKAGE_READER_H
#define LAUNCHER_PACKAGE_READER_H

#include "package_format.h"

#include <cstddef>
#include <cstdint>

// The launcher's own path, when it has to be found from `_` or argv[0].
constexpr int OWN_PATH_SIZE = 2049;

// Elements are streamed through one buffer of this size: an image of several
// hundred megabytes never sits in memory.
constexpr int COPY_CHUNK_SIZE = 131072;

// How extractPkgElementFile moves the bytes: through the kernel as far as
// it can (the rest through the chunk buffer), or through the chunk buffer
// alone, as on a kernel that cannot copy between the two files.
enum class ElementCopy { Kernel, Chunks };

// Positions fd at the start of element `index`: the new offset, or negative.
int seekToPkgElement(int index, const PackageDirectory *dir, int fd);

// Reads the whole element into buffer: its size, or -1 when it exceeds
// capacity, positioning fails or the read comes up short.
int extractPkgElement(int index, const PackageDirectory *dir, int fd, void *buffer, uint32_t capacity);

// Where element `index` starts in the file; 64 bits, so hostile sizes cannot
// wrap.
int64_t pkgElementOffset(int index, const PackageDirectory *dir);

// What the image (element 4, the chosen variant) unpacks to: the sum of the
// sizes that its central directory records. False when the directory
// cannot be read; the unzip utility then says what is wrong.
bool imageUnpackedSize(const PackageDirectory *dir, int fd, uint64_t *total);

// True when the whole element lies inside the file open on fd.
bool elementWithinFile(int index, const PackageDirectory *dir, int fd);

// Reads and decodes record `index` of the command table (element 3): 0, or
// -1 when it cannot be read whole.
int readCommandRecord(const PackageDirectory *dir, int fd, uint32_t index, CommandRecord *rec);

// Copies the element into a new file at path (mode 0200 until the caller
// changes it), at most COPY_CHUNK_SIZE bytes at a time where it goes through
// the chunk buffer: 0, or -1 on any failure.
int extractPkgElementFile(int index, const char *path, const PackageDirectory *dir, int fd,
                          ElementCopy how = ElementCopy::Kernel);

// Finds the launcher's own file and reads the package directory at its end.
// Returns the open descriptor, or -1 after one message on standard error.
int openPackage(int argc, char **argv, PackageDirectory *dir);

// Opens the launcher's own file: /proc/self/exe, else the path the kernel
// executed, else `_` or argv[0] (a bare argv[0] only through the absolute
// entries of PATH, never in the current directory). The descriptor, or -1
// after "Failed opening file" and a line with the reason.
int openOwnFile(int argc, char **argv);
// The same without a message; errno tells why it failed.
int openOwnFileQuietly(int argc, char **argv);

// Whether the launcher's own file, open on fd, is a package that was cut
// short: with dir null (no package directory at its end), when it holds
// more or less than the launcher program; with the directory read, when the
// elements it records run past the end of the file.
bool ownFileCutShort(int fd, const PackageDirectory *dir);

// The line that follows a failure on a package cut short: which file, and
// what to do.
void reportCutShort(int argc, char **argv);

// Reads the package directory before the end marker of the file open on fd:
// 0, or -1 after one message on standard error.
int readPackageDirectory(int fd, PackageDirectory *dir);

// Chooses the launcher's own path: `_` when it is set and contains argv[0],
// else argv[0]. False when the chosen path does not fit ownPath.
bool chooseOwnPath(const char *underscore, const char *argv0, char *ownPath, std::size_t cap);

// Looks a bare program name up in searchPath (PATH's syntax) as the shell
// does, but only in absolute entries: the first executable file found goes
// to out. False for a name with a slash, when nothing is found, or when the
// path does not fit.
bool findOnPath(const char *name, const char *searchPath, char *out, std::size_t cap);

#endif
