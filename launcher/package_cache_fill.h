// Filling a cache entry on a package's first cached launch: verified,
// unpacked into a temporary of the cache, made read-only, described by its
// marker and renamed into place in one step.
#ifndef LAUNCHER_PACKAGE_CACHE_FILL_H
#define LAUNCHER_PACKAGE_CACHE_FILL_H

#include "digest_record.h"
#include "package_cache_entry.h"
#include "package_format.h"

#include <string>

enum class FillResult {
    Filled,     // *entry is the new entry, locked
    Raced,      // another launch put the entry in place first; ours is gone
    Failed,     // nothing was put in place; *why says what stopped it
    Interrupted // a signal stopped the unpacking: the launch ends
};

// Fills the entry `name` of the cache open on cacheFd (cachePath for
// messages) from the package open on fd, whose record is `record`. The
// package's digest is checked before anything is written. While it is being
// filled the temporary stands in wrkName, so that clean-up and the signal
// handler remove it on every way out.
FillResult fillEntry(int cacheFd, const std::string &cachePath, const std::string &name, const PackageDirectory *dir,
                     int fd, const DigestRecord &record, CacheEntry *entry, std::string *why);

#endif
