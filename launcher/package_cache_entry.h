// One entry of the package cache: a directory holding the unpacked tree
// ("tree", without write bits) and, written last, its marker ("marker"):
//
//   quarn-portable-cache 1
//   package <identity of the package file that filled it>
//   bytes <regular file bytes in the tree>
//   <the tree's listing, as listTree gives it>
//
// A launch holds the entries it uses with a shared flock, a filler its
// temporary with an exclusive one; only what nobody holds is removed.
#ifndef LAUNCHER_PACKAGE_CACHE_ENTRY_H
#define LAUNCHER_PACKAGE_CACHE_ENTRY_H

#include <cstdint>
#include <string>
#include <sys/stat.h>

constexpr const char *MARKER_NAME = "marker";
constexpr const char *TREE_NAME = "tree";
constexpr const char *MARKER_MAGIC = "quarn-portable-cache 1";

struct CacheEntry {
    int entryFd = -1;     // the entry directory, shared-locked
    int treeFd = -1;      // its tree
    std::string identity; // the package file that filled it (fileIdentity)
    uint64_t bytes = 0;   // what the tree holds
};

enum class EntryState {
    Absent,  // no entry of that name
    Busy,    // another launch is removing it
    Damaged, // no marker, a marker that does not read, or a tree unlike it
    Ready    // *entry is filled and locked
};

// The marker's text for a tree.
std::string markerText(const std::string &identity, uint64_t bytes, const std::string &listing);

// Reads the three header lines of a marker; false when it is not one.
bool parseMarkerHeader(const std::string &text, std::string *identity, uint64_t *bytes, std::size_t *listingAt);

// Opens the entry `name` of the cache open on cacheFd and takes the shared
// lock. With compareTree (root, whom no mode stops) the tree is listed again
// and must equal the marker's list. A Damaged entry is left locked in
// *entry so that the caller may remove it; closeEntry releases either.
EntryState openEntry(int cacheFd, const std::string &name, bool compareTree, CacheEntry *entry);

void closeEntry(CacheEntry *entry);

// Removes `name` from the cache when no launch holds it: it is locked
// exclusively (also when the caller holds it shared through heldFd, the
// lock is converted), renamed "del-..." and removed through descriptors.
// True when it is gone.
bool removeUnheld(int cacheFd, const std::string &name, int heldFd = -1);

// Reads only the header of the marker of the entry open on entryFd, and
// the marker's status (its modification time is the entry's last use).
bool readMarkerHeader(int entryFd, std::string *identity, uint64_t *bytes, struct stat *st);

// Reads the whole marker of the entry open on entryFd (at most 256 MiB).
bool readMarker(int entryFd, std::string *text);

// Creates the file `name` (which must not exist) in the directory open on
// dirFd, read-only, holding `text`; false with errno set when it could not.
bool writeMarkerFile(int dirFd, const char *name, const std::string &text);

// Makes the marker of the entry open on entryFd (held shared) name another
// package file, one with the same contents: the marker is replaced whole,
// so that no reader sees half of it.
bool refreshMarkerIdentity(int entryFd, const std::string &identity);

#endif
