// The maker's settings for this package, read once before anything else is
// decided: which guard, where progress goes, what a signal does, where the
// tool starts. A package without them gets the behaviour every launcher has
// always had.
#ifndef LAUNCHER_LAUNCH_SETTINGS_H
#define LAUNCHER_LAUNCH_SETTINGS_H

#include "package_settings.h"

// The package's settings; the zero record (machine guard, progress on
// stdout, records only, the tool in its tree) until readLaunchSettings has
// found some.
extern PackageSettings launchSettings;
// True once the package was found to carry settings.
extern bool launchHasSettings;

// Reads the settings from the package directory of the file open on fd:
// 0 (with or without settings), or 1 after "Package settings are damaged or
// newer than this launcher" when a record is there but this launcher does
// not know it.
int readLaunchSettings(int fd);

// The same for the launcher's own file: 0 also when the file cannot be
// read (what is wrong with it is said where the launch reads it).
int readOwnLaunchSettings(int argc, char **argv);

#endif
