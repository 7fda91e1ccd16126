// Unpacking a whole archive into a target directory.
#pragma once

#include "zip_directory.h"

#include <string>

// Exit statuses of miniunz.
constexpr int kExitOk = 0;     // every entry written completely and correctly
constexpr int kExitFailed = 1; // any entry refused or failed, or the archive is damaged
constexpr int kExitUsage = 2;  // bad command line

struct ExtractOptions {
    std::string archive;    // the zip file to read
    std::string targetDir;  // where to unpack; "" is the current directory
    bool overwrite = false; // -o: replace existing names instead of failing those entries
    bool testOnly = false;  // -t: read and check every entry, write nothing
};

// Unpacks every entry of `opts.archive` below `opts.targetDir`, creating the
// target directory and its missing parents. Files are written on one thread
// per processor, each through buffers of bounded size; entries that touch
// the same names keep the archive's order (see NameGuard). Each file is
// created anew (O_CREAT|O_EXCL|O_NOFOLLOW), checked for size and CRC, and
// removed again if anything about it failed. Entries whose names or link
// targets would lead out of the target are refused. A refused or failed
// entry is reported and the others still go on; a damaged entry list ends
// the run. Returns kExitOk only when every entry was written completely and
// correctly and every directory got its mode, else kExitFailed. Never reads
// standard input; writes only to standard error.
//
// With `opts.testOnly` nothing is written and no target is made: every entry
// is read and checked as it would be unpacked (rules, sizes, CRCs, link
// targets), and kExitOk means that unpacking would succeed but for the room
// on the target.
int extractArchive(const ExtractOptions &opts);

// What -t does, on an archive that is a region of a larger file (an image
// inside a package): reads and checks every entry under the rules of
// unpacking, writing nothing. `shownArchive` names the archive in messages.
// kExitOk when unpacking would succeed but for the room on the target, else
// kExitFailed after the reasons on standard error.
int testArchive(const ZipSource &src, const std::string &shownArchive);
