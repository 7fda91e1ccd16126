// The launcher's own options, "-semdestroy" and "--extract DIR". They count
// only as the whole command line: any other goes to the tool unchanged.
#ifndef LAUNCHER_OPTIONS_H
#define LAUNCHER_OPTIONS_H

// True when the one argument is "-semdestroy".
bool semDestroyRequested(int argc, char **argv);

// Releases the instance guard for "-semdestroy" and says so: the exit
// status, 0, or 1 after a message when the guard cannot be removed.
int semDestroy();

// The directory of "--extract DIR" as the operator gave it, or null when
// the command line is something else.
const char *extractRequested(int argc, char **argv);

// Sets up extract-only mode for dir: fills extractFolder with the absolute,
// shell-quoted directory, makes the directory when it is missing and sets
// extract. 0, or -1 after the message and clean-up when the directory cannot
// be had.
int prepareExtract(const char *dir);

#endif
