// The private working directory of a launch, made in the temporary directory
// (TMPDIR or /tmp) and reached only through that directory's descriptor.
#ifndef LAUNCHER_WORKING_DIRECTORY_H
#define LAUNCHER_WORKING_DIRECTORY_H

#include "package_format.h"
#include "run_state.h"

// Opens the temporary directory and fills parent with its path (for
// messages): the descriptor, or -1 after a message. A TMPDIR that is set but
// not used is named on standard error, with the reason, before /tmp is taken
// instead.
int openTempDirectory(char parent[WRK_DIR_SIZE]);

// Before anything is written: the temporary directory (parent, open on
// parentFd) must hold the unzip utility, the image and, for a normal
// launch, the unpacked tree; extractTarget, the --extract directory or
// null, the tree. Best effort: a file system that cannot tell, or an image
// whose directory cannot be read, passes. False after a message.
bool enoughRoom(const PackageDirectory *dir, int fd, int parentFd, const char *parent, const char *extractTarget);

// Creates a fresh working directory portable_install_XXXXXXXX, with the
// first free counter, in the directory open on parentFd, which is kept open
// in workParentFd for the rest of the run (clean-up removes the tree through
// it); publishes the name in wrkName and the path in wrkDir and changes
// into it: 0, or 1 after "Failed creating" and a line with the reason.
int makeWorkingDirectory(int parentFd, const char *parent);

// Whether programs may run in the temporary directory (parent, open on
// parentFd), as its file system's mount flags say: false after a line that
// names it and says to set TMPDIR.
bool tempDirectoryRunsPrograms(int parentFd, const char *parent);

// Both steps at once, as a launch does: 0, or 1 after a message.
int enterNewWorkingDirectory();

#endif
