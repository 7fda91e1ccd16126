// Writing one regular file entry into the target tree.
#pragma once

#include "entry_data.h"
#include "target_tree.h"

#include <string>
#include <sys/types.h>
#include <vector>

struct FileEntry {
    std::string shown;              // printable name for messages
    std::vector<std::string> parts; // place below the target; never empty
    mode_t perms = 0644;
    EntryData data;
};

// Creates the file anew (O_CREAT|O_EXCL|O_NOFOLLOW, after the -o rule),
// fills it from `reader`, and gives it its mode once its size and CRC have
// been checked. A file that is not exactly what the archive holds is removed
// again. A failed write stops the run (TargetTree::writeFailed); once it is
// stopped, nothing more is created. Returns true when the file is complete;
// false after complaining, or quietly when the run was stopped.
bool writeFileEntry(TargetTree &tree, EntryReader &reader, const FileEntry &entry);
