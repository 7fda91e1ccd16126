// --portable-help: what a package with settings tells an operator who has
// only the file.
#ifndef LAUNCHER_PORTABLE_HELP_H
#define LAUNCHER_PORTABLE_HELP_H

// Prints the package's name, version and summary, the self-help options,
// the launcher's own options and the environment variables that change
// what it does: 0. -1 for a package without settings, whose tool gets the
// argument as every other.
int portableHelp();

#endif
