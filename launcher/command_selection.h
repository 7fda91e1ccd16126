// Choosing the command record, and the image variant, made for this machine.
#ifndef LAUNCHER_COMMAND_SELECTION_H
#define LAUNCHER_COMMAND_SELECTION_H

#include "osspecific.h"
#include "package_format.h"

// True when every field of the record is "any" (PFM_ANY) or equals the
// value that identification determined for this machine.
bool recordMatches(const CommandRecord &rec, const PlatformInfo &pfm);

// Reads element 2 into *info and checks that the command table lies inside
// the file: 0, or -1 after "Failed extracting global info" or "Failed
// extracting command".
int readGlobalInfo(const PackageDirectory *dir, int fd, GlobalInfo *info);

// The index of the first record among those that take part (commandCount,
// at most the whole records of the table) that matches pfm, with the record
// in *match; -1 when none does, -2 after "Failed extracting command".
int findMatchingRecord(const PackageDirectory *dir, int fd, const GlobalInfo &info, const PlatformInfo &pfm,
                       CommandRecord *match);

// Reads the global information and the command table and selects the record
// for this platform into *selected. 0 when one was selected, 1 when the
// launch must stop (any message has been written).
int selectCommandRecord(const PackageDirectory *dir, int fd, CommandRecord *selected);

// For a package with two image variants, points element 4 at the one for this
// machine's architecture (and sets whichImg): 0, or 1 after the messages.
int chooseImageVariant(PackageDirectory *dir);

#endif
