// The package cache in a launch: a package whose maker marked it cacheable
// is unpacked once per user into the cache and started from there after
// that, without a copy, an unzip or a removal.
#ifndef LAUNCHER_PACKAGE_CACHE_H
#define LAUNCHER_PACKAGE_CACHE_H

#include "command_line.h"
#include "help_definitions.h"
#include "package_format.h"

#include <cstddef>

// For a cacheable package with the cache on: finds (or fills) the entry of
// the package's digest and image variant and runs the tool from it, then
// tidies the cache a little. True when the launch was handled, its result
// in *result; false when the launch goes on in a fresh working directory,
// after one line saying why when the cache could not be used.
bool launchFromCache(PackageDirectory *dir, int fd, char line[COMMAND_LINE_SIZE], std::size_t recordEnd,
                     int callerDirFd, int *result);

// The signature policy for a launch: enforceSignaturePolicy, except that a
// cacheable package whose file is the very one (device, inode, size and
// times) that one of its entries names skips the pass over the file; its
// signature is still judged against the trusted keys.
int enforceSignaturePolicyForLaunch(int argc, char **argv);

// --portable-cache (the package's entries and the cache's total) and
// --portable-cache-clear (removes the package's entries), for a cacheable
// package only: the exit status, or -1 when the command line is neither
// (it goes to the tool).
int runCacheRequest(int argc, char **argv);

#endif
