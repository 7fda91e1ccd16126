// The launcher core: package records, run state and the launch sequence.
#ifndef LAUNCHER_INSTALLER_H
#define LAUNCHER_INSTALLER_H

#include "osspecific.h"
#include "package_format.h"

#include <csignal>
#include <cstddef>
#include <cstdint>

// Buffer sizes of one launch.
constexpr int LAUNCH_DIR_SIZE = 2048;
constexpr int OWN_PATH_SIZE = 2049;
constexpr int COMMAND_LINE_SIZE = 2048;
constexpr int DIRECTORY_NAME_SIZE = 1024;
constexpr int WRK_DIR_SIZE = 512;
constexpr int EXTRACT_FOLDER_SIZE = 262;
constexpr int SEM_NAME_SIZE = 100;

// Elements are streamed through one buffer of this size: an image of several
// hundred megabytes never sits in memory.
constexpr int COPY_CHUNK_SIZE = 131072;

// ---- Run state, process-wide -------------------------------------------

extern char wrkDir[WRK_DIR_SIZE];            // working directory; empty until made
extern int extract;                          // 1 in extract-only mode
extern char extractFolder[EXTRACT_FOLDER_SIZE]; // target of extract-only mode, quoted for the shell
extern volatile sig_atomic_t interrupted;    // a signal arrived
extern volatile sig_atomic_t ignoreInterrupt; // 1 while a child runs: the handler only records
extern int32_t whichImg;                     // image variant: -1 single, 0 first, 1 second
extern char inst[SEM_NAME_SIZE];             // name of the instance guard
extern const char *SEM_NAME;

// ---- Package reader ----------------------------------------------------

// Positions fd at the start of element `index`: the new offset, or negative.
// For element 4 with whichImg > 0 the position lies imageSize[0] further on.
int seekToPkgElement(int index, const PackageDirectory *dir, int fd);

// Reads the whole element into buffer: its size, or -1 when it exceeds
// capacity, positioning fails or the read comes up short.
int extractPkgElement(int index, const PackageDirectory *dir, int fd, void *buffer, uint32_t capacity);

// Where element `index` starts in the file (for element 4 with whichImg > 0,
// imageSize[0] further on); 64 bits, so hostile sizes cannot wrap.
int64_t pkgElementOffset(int index, const PackageDirectory *dir);

// What the image (element 4, the chosen variant) unpacks to: the sum of the
// sizes that its central directory records. False when the directory
// cannot be read; the unzip utility then says what is wrong.
bool imageUnpackedSize(const PackageDirectory *dir, int fd, uint64_t *total);

// True when the whole element lies inside the file open on fd.
bool elementWithinFile(int index, const PackageDirectory *dir, int fd);

// Reads and decodes record `index` of the command table (element 3): 0, or
// -1 when it cannot be read whole.
int readCommandRecord(const PackageDirectory *dir, int fd, uint32_t index, CommandRecord *rec);

// Copies the element into a new file at path (mode 0200 until the caller
// changes it) in chunks of COPY_CHUNK_SIZE: 0, or -1 on any failure.
int extractPkgElementFile(int index, const char *path, const PackageDirectory *dir, int fd);

// Finds the launcher's own file and reads the package directory at its end.
// Returns the open descriptor, or -1 after one message on standard error.
int openPackage(int argc, char **argv, PackageDirectory *dir);

// Opens the launcher's own file: /proc/self/exe, else the path the kernel
// executed, else `_` or argv[0] (a bare argv[0] only through the absolute
// entries of PATH, never in the current directory). The descriptor, or -1
// after "Failed opening file".
int openOwnFile(int argc, char **argv);

// Reads the package directory before the end marker of the file open on fd:
// 0, or -1 after one message on standard error.
int readPackageDirectory(int fd, PackageDirectory *dir);

// Chooses the launcher's own path: `_` when it is set and contains argv[0],
// else argv[0]. False when the chosen path does not fit ownPath.
bool chooseOwnPath(const char *underscore, const char *argv0, char *ownPath, std::size_t cap);

// Looks a bare program name up in searchPath (PATH's syntax) as the shell
// does, but only in absolute entries: the first executable file found goes
// to out. False for a name with a slash, when nothing is found, or when the
// path does not fit.
bool findOnPath(const char *name, const char *searchPath, char *out, std::size_t cap);

// ---- Platform match and command selection ------------------------------

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
// machine's architecture: 0, or 1 after the messages.
int chooseImageVariant(PackageDirectory *dir);

// Labels that the mismatch warning prints for platform codes.
const char *distributionLabel(int32_t code);
const char *architectureLabel(int32_t code);

// ---- Command line assembly ---------------------------------------------

// Appends one character when it fits (len + 1 < capacity); returns the length
// before the call either way.
std::size_t strcat_ch(char *buffer, char c, std::size_t capacity);

// Builds the tool's command line from the record and the user's arguments
// (argv[1..argc-1]). recordEnd receives the length of the part that the
// record contributed, where a split may happen. False when the whole line
// does not fit COMMAND_LINE_SIZE: characters were dropped, and the line must
// not run.
bool assembleCommandLine(const CommandRecord *rec, int argc, char **argv,
                         char line[COMMAND_LINE_SIZE], std::size_t *recordEnd);

// Splits off a leading directory change: when the line holds a separator
// within the record's part that is neither its first nor its last character,
// the directory of "cd NAME" before the last such separator goes to dirName
// and the line keeps what follows. Returns true when the line was split.
bool splitDirectoryChange(char line[COMMAND_LINE_SIZE], std::size_t recordEnd,
                          char dirName[DIRECTORY_NAME_SIZE]);

// Closes the package, runs "chmod 777 *", follows the line's leading
// directory change and runs the rest: the tool's exit code.
int runSelectedCommand(char line[COMMAND_LINE_SIZE], std::size_t recordEnd, int packageFd);

// ---- Entry point and launch sequence -----------------------------------

// The whole launcher: main() only hands over argc and argv.
int installerMain(int argc, char **argv);

// One pass from a started process to a running tool: 0 after extract-only
// mode, 1 after a failure of the launcher, otherwise the tool's exit code.
int extractAndExecute(int argc, char **argv);

// Makes a fresh private working directory in the temporary directory
// (TMPDIR or /tmp), as a launch does, publishes it in wrkDir for clean-up
// and changes into it: 0, or 1 after a message.
int enterNewWorkingDirectory();

// Removes the working directory and releases the instance guard.
void cleanup();

// Handler for SIGINT, SIGTERM, SIGQUIT, SIGHUP and the other signals whose
// default action ends the process (SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM,
// SIGPROF, SIGXCPU, SIGIO, SIGPWR).
void interrupt(int sig);

// True when QUARN_PORTABLE_QUIET is set (even empty): the progress lines
// ("Extracting...", "Executing...") are left out, failures still speak.
bool quietProgress();

// Starts the graphical front end of an unpacked image, if it carries one.
int startGUI();

// Releases the instance guard, whether or not one exists: 0 when it is gone
// or there was none, -1 (errno set) when it exists and cannot be removed.
int sem_dest();

// Quotes text as one shell word, inside double quotes, escaping \ " $ and `.
// False when the quoted text does not fit.
bool quoteShellWord(const char *text, char *out, std::size_t cap);

#endif
