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
// True when a record is there but this launcher does not know it: a launch
// stops with SETTINGS_DAMAGED_MESSAGE before anything is made.
extern bool launchSettingsDamaged;

constexpr const char *SETTINGS_DAMAGED_MESSAGE = "Package settings are damaged or newer than this launcher\n";

// Reads the settings from the package directory of the file open on fd
// into the globals above. A file without a package has none.
void readLaunchSettings(int fd);

// The same for the launcher's own file, quietly: what is wrong with the
// file is said where the launch reads it.
void readOwnLaunchSettings(int argc, char **argv);

// For --portable-info: the package's name, version and summary and each
// setting, one line each; nothing for a package without settings.
void printLaunchSettings();

#endif
