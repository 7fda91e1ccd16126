// Housekeeping of the package cache, a little at every cached launch: what
// was left half-done, what nobody used for 30 days, and the least recently
// used beyond the size limit go, one entry per launch at most.
#ifndef LAUNCHER_PACKAGE_CACHE_TIDY_H
#define LAUNCHER_PACKAGE_CACHE_TIDY_H

#include <string>

constexpr int CACHE_UNUSED_DAYS = 30;
// A temporary (or an entry without a marker) younger than this may be one
// that a launch is making right now, before it could lock it.
constexpr int STALE_SECONDS = 60;
// The longest a launch spends looking through the cache.
constexpr int TIDY_BUDGET_MS = 100;

// Looks through the cache open on cacheFd for at most TIDY_BUDGET_MS and
// removes at most one thing nobody holds: a stale temporary or damaged
// entry, an entry unused for CACHE_UNUSED_DAYS, or else, while the cache
// holds more than cacheSizeLimit(), the least recently used entry. The
// entry `keep` (this launch's) stays.
void tidyCache(int cacheFd, const std::string &keep);

#endif
