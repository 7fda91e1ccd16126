// A directory tree described as text: every name below a directory with its
// type and mode, size and modification time, in a fixed order, so that two
// descriptions of the same tree are the same bytes and any change shows.
#ifndef PLATFORM_TREE_LISTING_H
#define PLATFORM_TREE_LISTING_H

#include <cstdint>
#include <string>
#include <vector>

// Walks the tree below the directory open on dirFd through descriptors,
// never through a symbolic link, names sorted in each directory. Each entry
// gives one line: mode (octal, with the type bits), size, modification time
// (seconds.nanoseconds), the path's length, a colon and the path relative
// to dirFd (so any byte may stand in a name). With stripWrite every write
// bit is removed on the way, and the lines show the modes without them.
// *bytes receives the sizes of the regular files added up. False when a
// directory cannot be read or a mode cannot be changed.
bool listTree(int dirFd, bool stripWrite, std::string *listing, uint64_t *bytes);

// The names in the directory open on dirFd but "." and "..", sorted; the
// descriptor stays open and unmoved. False when it cannot be read.
bool directoryNames(int dirFd, std::vector<std::string> *names);

#endif
