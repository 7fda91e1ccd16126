// The run state of one launch, process-wide: what the main flow shares with
// the signal handler and with every role of the launcher.
#ifndef LAUNCHER_RUN_STATE_H
#define LAUNCHER_RUN_STATE_H

#include <csignal>
#include <cstdint>

// Buffer sizes of one launch.
constexpr int LAUNCH_DIR_SIZE = 2048;
constexpr int WRK_DIR_SIZE = 512;
constexpr int EXTRACT_FOLDER_SIZE = 262;
constexpr int SEM_NAME_SIZE = 100;
constexpr int WRK_NAME_SIZE = 32;

extern char wrkDir[WRK_DIR_SIZE];               // working directory as a path, for messages only
extern volatile sig_atomic_t workParentFd;      // the directory that holds it, open for the whole run; -1 before
extern char wrkName[WRK_NAME_SIZE];             // its name there; empty until made
extern int extract;                             // 1 in extract-only mode
extern char extractFolder[EXTRACT_FOLDER_SIZE]; // target of extract-only mode, quoted for the shell
extern char extractPath[EXTRACT_FOLDER_SIZE];   // the same unquoted: what the unzip utility is given
extern volatile sig_atomic_t interrupted;       // a signal arrived
extern volatile sig_atomic_t ignoreInterrupt;   // 1 while a child runs: the handler only records
extern int32_t whichImg;                        // image variant: -1 single, 0 first, 1 second
extern char inst[SEM_NAME_SIZE];                // name of the instance guard
extern const char *SEM_NAME;

#endif
