// Bundles dynamic programs of an image with their shared libraries, so that
// they run on machines that have none of those libraries.
//
// Each bundled program P (a path inside the image, such as bin/jq) gets:
//   lib/<name>          every library of its dependency closure, found as the
//                       build machine's dynamic loader would find it, under
//                       the name that the program or a library asks for;
//   lib/<loader>        the dynamic loader named by P's interpreter, and with
//                       it the C library it belongs to (both in the closure);
//   <dir>/.<leaf>.bundled  P itself, moved aside;
//   P                   a small sh script that starts the moved program
//                       through the bundled loader with lib/ as its library
//                       path, so that the record's command stays "./bin/jq".
// Files that the image already holds in lib/ are used as they are.
#ifndef MKPORTABLE_LIBRARY_BUNDLE_H
#define MKPORTABLE_LIBRARY_BUNDLE_H

#include "tree_scan.h"

#include <filesystem>
#include <string>
#include <vector>

namespace mkportable {

// Where the build machine's dynamic loader looks for a library by name,
// after the object's own RPATH and RUNPATH.
struct LoaderPaths {
    std::vector<std::string> environment; // LD_LIBRARY_PATH
    std::vector<std::string> configured;  // /etc/ld.so.conf and its includes
    // The trusted folders for each ELF class are added by the resolver.
};

// The paths of this machine: LD_LIBRARY_PATH and /etc/ld.so.conf.
LoaderPaths machineLoaderPaths();

// The folders named by an ld.so.conf file, following "include" lines
// (glob patterns, relative ones taken from the including file's folder).
std::vector<std::string> readLoaderConfig(const std::filesystem::path &file);

// One library of a program's dependency closure.
struct ResolvedLibrary {
    std::string name;             // as the program or a library asks for it
    std::filesystem::path source; // the file found
    bool inImage = false;         // found inside the image: nothing to copy
};

// The dependency closure of the ELF program `program` (a file below
// `imageRoot`), breadth first, without the loader. Throws PackError naming
// the library and who needs it when one cannot be found.
std::vector<ResolvedLibrary> resolveLibraries(const std::filesystem::path &program,
                                              const std::filesystem::path &imageRoot, const LoaderPaths &paths);

// The sh script that replaces a bundled program: `program` is its path in
// the image, `loader` the loader's name in lib/; `argv0` passes the
// wrapper's own path on as argv[0] (loaders of glibc 2.33 and later).
std::string wrapperScript(const std::string &program, const std::string &loader, bool argv0);

// Where a bundled program itself is moved: "bin/jq" -> "bin/.jq.bundled".
std::string movedProgramName(const std::string &program);

// Bundles each of `programs` (paths in the image) into `entries`, the
// scanTree listing of `imageRoot`, and returns the new listing, in scanTree
// order. Wrapper scripts are written into `scratch`, which must outlive the
// zipping; an added lib/ folder has no source. A shared object among
// `programs` (a plugin, a Python extension module) gets the libraries it
// names in lib/ and stays as it is, without a wrapper. Throws PackError when
// a program is not in the image, is no regular file, is neither a dynamic
// ELF program nor a shared object, or a library is missing.
std::vector<TreeEntry> bundlePrograms(std::vector<TreeEntry> entries, const std::filesystem::path &imageRoot,
                                      const std::vector<std::string> &programs, const std::filesystem::path &scratch,
                                      const LoaderPaths &paths);

// The files of `entries` (a scanTree listing) that `bundle = "all"`
// bundles: every ELF program that names a dynamic loader and every shared
// object that names libraries; statically linked programs and other files
// are left as they are. Throws PackError when such a program's path cannot
// be quoted in its wrapper (checkBundlePath).
std::vector<std::string> filesToBundle(const std::vector<TreeEntry> &entries);

// What a packed image holds of bundled programs, from its entry names.
struct BundleListing {
    std::vector<std::string> programs;  // image paths of the wrappers
    std::vector<std::string> loaders;   // lib/ld-*
    std::vector<std::string> libraries; // other files directly in lib/
};
BundleListing listBundle(const std::vector<std::string> &entryNames);

// Checks a path given to bundle: relative, inside the image, no "." or ".."
// parts. Throws PackError naming `origin`.
void checkBundlePath(const std::string &path, const std::string &origin);

} // namespace mkportable

#endif
