// The launcher core: the package records, the run state that the main flow
// shares with the signal handler, and the launch sequence.
#ifndef LAUNCHER_INSTALLER_H
#define LAUNCHER_INSTALLER_H

#include "osspecific.h"
#include "package_format.h"

#include <csignal>
#include <cstdint>

// Buffer sizes of one launch.
constexpr int LAUNCH_DIR_SIZE = 2048;
constexpr int WRK_DIR_SIZE = 512;
constexpr int EXTRACT_FOLDER_SIZE = 262;
constexpr int SEM_NAME_SIZE = 100;

// ---- Run state, process-wide -------------------------------------------

extern char wrkDir[WRK_DIR_SIZE];               // working directory; empty until made
extern int extract;                             // 1 in extract-only mode
extern char extractFolder[EXTRACT_FOLDER_SIZE]; // target of extract-only mode, quoted for the shell
extern volatile sig_atomic_t interrupted;       // a signal arrived
extern volatile sig_atomic_t ignoreInterrupt;   // 1 while a child runs: the handler only records
extern int32_t whichImg;                        // image variant: -1 single, 0 first, 1 second
extern char inst[SEM_NAME_SIZE];                // name of the instance guard
extern const char *SEM_NAME;

// ---- Entry point and launch sequence -----------------------------------

// The whole launcher: main() only hands over argc and argv.
int installerMain(int argc, char **argv);

// One pass from a started process to a running tool: 0 after extract-only
// mode, 1 after a failure of the launcher, otherwise the tool's exit code.
int extractAndExecute(int argc, char **argv);

// True when QUARN_PORTABLE_QUIET is set (even empty): the progress lines
// ("Extracting...", "Executing...") are left out, failures still speak.
bool quietProgress();

// Starts the graphical front end of an unpacked image, if it carries one.
int startGUI();

#endif
