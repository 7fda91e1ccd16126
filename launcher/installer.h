// The launcher core: the entry point and the launch sequence, which calls
// every role of the launcher.
#ifndef LAUNCHER_INSTALLER_H
#define LAUNCHER_INSTALLER_H

// The whole launcher: main() only hands over argc and argv.
int installerMain(int argc, char **argv);

// One pass from a started process to a running tool: 0 after extract-only
// mode, 1 after a failure of the launcher, otherwise the tool's exit code.
int extractAndExecute(int argc, char **argv);

// Starts the graphical front end of an unpacked image, if it carries one.
int startGUI();

#endif
