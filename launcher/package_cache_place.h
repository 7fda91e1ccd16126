// Where the package cache lives, whether a launch may use it, and how its
// entries are named: the facts that filling, starting and housekeeping
// share.
#ifndef LAUNCHER_PACKAGE_CACHE_PLACE_H
#define LAUNCHER_PACKAGE_CACHE_PLACE_H

#include "digest_record.h"

#include <cstdint>
#include <string>

constexpr const char *CACHE_VARIABLE = "QUARN_PORTABLE_CACHE";
constexpr const char *CACHE_LIMIT_VARIABLE = "QUARN_PORTABLE_CACHE_LIMIT";
constexpr const char *ROOT_CACHE_PARENT = "/var/cache";
constexpr const char *CACHE_DIRECTORY_NAME = "quarn-portable";
constexpr uint64_t DEFAULT_CACHE_LIMIT = uint64_t(1) << 30;

// Entry names: "pkg-" with the package digest in hexadecimal and the image
// variant (v0 a single image, v1 and v2 the two variants); a temporary that
// is being filled is "tmp-" with the same and the filler's process number;
// an entry on its way out is renamed "del-" and the same first.
constexpr const char *ENTRY_PREFIX = "pkg-";
constexpr const char *TEMPORARY_PREFIX = "tmp-";
constexpr const char *DOOMED_PREFIX = "del-";

// True when the package's maker marked it cacheable and the operator did
// not turn the cache off for this run (QUARN_PORTABLE_CACHE=0).
bool cacheWanted();

// The cache directory's path for this user: /var/cache/quarn-portable for
// root, else $XDG_CACHE_HOME/quarn-portable (an absolute value) or
// $HOME/.cache/quarn-portable. Empty, with the reason in *why, when there
// is no home to put it in.
std::string cachePath(std::string *why);

// Opens the cache directory; with `make`, making it (0700) and, for a
// user, its parent when missing. The parent is walked as a TMPDIR is; the directory itself
// must be the user's and closed to the writing of group and others. The
// descriptor, or -1 with the reason in *why; *path gets the path.
int openCacheDirectory(bool make, std::string *path, std::string *why);

// "pkg-<digest>-v<variant>" for the package digest and whichImg (-1, 0, 1).
std::string entryName(const unsigned char sha256[DIGEST_SHA256_SIZE], int variant);

// The same without the variant: every entry of one package begins with it.
std::string entryStem(const unsigned char sha256[DIGEST_SHA256_SIZE]);

// The total size that the cache may hold: QUARN_PORTABLE_CACHE_LIMIT in
// bytes, with an optional K, M or G (powers of 1024), else 1 GiB; an
// invalid value is named on standard error once and the default taken.
uint64_t cacheSizeLimit();

// Reads QUARN_PORTABLE_CACHE_LIMIT's syntax: false for anything else or a
// value beyond 64 bits.
bool parseCacheSize(const char *text, uint64_t *bytes);

#endif
