/*
 * The platform layer: every operating-system service that the launcher and
 * the maker's other tools use, behind one flat C interface.
 *
 * Results, by kind of function (each declaration below gives the details):
 *
 *   0 success, -1 failure      changeDir, changeDirAt, makeFileReadable,
 *                              makeFileExecutable, removeTreeAt,
 *                              removeTreeSignalSafe, ftpFile
 *   0 / 1 / -1                 makePrivateDir, makePrivateDirAt: 0 made,
 *                              1 the name is taken, -1 other failure
 *   1 yes or success, 0 not    isAbsolutePath, fileExists, dirExists,
 *                              isNoExecFileSystem, fd_isNoExecFileSystem,
 *                              readDevice, and the
 *                              shell-based makeDir, copyFile, copyTree
 *   0 yes, 1 not               mountRemovableMedia (0 mounted),
 *                              checkForOEM (0 the OEM marker is present)
 *   descriptor, or -1          fd_create, fd_open, openWorkParent,
 *                              openCheckedDirectory
 *   count or position, or -1   fd_read, fd_write (bytes), fd_seek (new
 *                              position), fd_freeSpace, freeSpace (bytes)
 *   count, never negative      fd_copy (bytes copied), getSignatureSize (0),
 *                              getPid
 *   status of a command        runShellCommand, captureShellOutput,
 *                              launchTextEditor: the raw wait status, -1
 *                              when none ran; executeProcess: the exit code
 *                              0 to 255 (128 + signal, 255 when none ran)
 *   text                       getPfmInfo: null on success, else a static
 *                              message; getDefaultOutputDir: static;
 *                              findLatestFile: malloc'ed (caller frees) or
 *                              null; getTempDir, getCurrentDir fill the
 *                              caller's buffer
 *   nothing                    fd_close, deleteTree, sleepSec,
 *                              setInheritedEnv, unmountRemovableMedia
 *
 * Nothing here prints, except the support utilities and the upload, which
 * say so below.
 *
 * C and C++ callers both include this header; every function has C linkage.
 */
#ifndef OSSPECIFIC_H
#define OSSPECIFIC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Platform constants. */
#define FILE_SEPARATOR '/'
#define EXE_EXT ""
#define DEV_NULL "/dev/null"

/* ---- Paths and the file system ---------------------------------------- */

/* 1 when path begins with '/', else 0 (an empty path gives 0). */
int isAbsolutePath(const char *path);

/* Size of a signature block behind the package; this platform has none. */
int getSignatureSize(const char *path);

/* Writes "/tmp" into buffer, which must hold at least 5 bytes. */
void getTempDir(char *buffer);

/* The current working directory, at most size bytes with the terminator.
 * When it does not fit, buffer holds the empty text. */
void getCurrentDir(char *buffer, int size);

/* 0 on success, -1 on failure. */
int changeDir(const char *path);

/* stat(), links followed. fileExists: 1 for anything but a directory;
 * dirExists: 1 for a directory. 0 when the object cannot be queried. */
int fileExists(const char *path);
int dirExists(const char *path);

/* Both set the permission bits to 0777; 0 on success, -1 on failure. */
int makeFileReadable(const char *path);
int makeFileExecutable(const char *path);

/* Creates one directory with mode 0700 in a single step, never following or
 * reusing anything already there: 0 when it was made, 1 when the name is
 * taken in any form (even by a dangling symbolic link), -1 on any other
 * failure. */
int makePrivateDir(const char *path);

/* The same in the directory open on dirFd (AT_FDCWD: the current one). */
int makePrivateDirAt(int dirFd, const char *name);

/* Changes into the directory `name` inside the directory open on dirFd,
 * never through a symbolic link: 0 on success, -1 on failure. */
int changeDirAt(int dirFd, const char *name);

/* Longest TMPDIR that openWorkParent takes: a working directory name
 * (26 bytes with its separator) still fits a 512-byte buffer behind it. */
#define WORK_PARENT_MAX 485

/* Opens the directory in which a launcher makes its working directory.
 * TMPDIR, when it is set and not empty, is walked from "/" one name at a
 * time without following links; a link on the way (also one inside a
 * link's target) is followed only when root or the effective user owns it,
 * at most 40 in all. The directory reached must belong to root or to the
 * effective user, and others may not write to it unless it is sticky; the
 * value may be at most WORK_PARENT_MAX bytes. Otherwise "/tmp" is taken.
 * The path (the TMPDIR value as given, or "/tmp") goes to path (size bytes,
 * at least WORK_PARENT_MAX + 1). Returns a readable directory descriptor,
 * or -1 when not even "/tmp" opens. refused (refusedSize bytes) receives
 * the empty text, or, when TMPDIR was set but not used, why not. */
int openWorkParent(char *path, int size, char *refused, int refusedSize);

/* Opens the directory at the absolute path with the same walk and the same
 * rules as a TMPDIR in openWorkParent (links only of root's or the user's,
 * the end owned by root or the user and not open to others' writing unless
 * sticky). A readable directory descriptor, or -1 with the reason in
 * refused (refusedSize bytes). */
int openCheckedDirectory(const char *path, char *refused, int refusedSize);

/* Bytes that the caller may still write on the file system of the
 * directory open on fd, or of path (f_bavail blocks); -1 when it cannot be
 * told. */
int64_t fd_freeSpace(int fd);
int64_t freeSpace(const char *path);

/* 1 when path, or the object open on fd, lies on a file system mounted
 * without the right to run programs (noexec), else 0. */
int isNoExecFileSystem(const char *path);
int fd_isNoExecFileSystem(int fd);

/* ---- Descriptor input and output: one system call each, no retry ------ */

/* Write-only, created or truncated, permission bits 0200 (less the umask). */
int fd_create(const char *path);
int fd_open(const char *path);
int fd_read(int fd, void *buffer, int size);
int fd_write(int fd, const void *data, int count);
/* whence: 0 from the start, 1 from the current position, 2 from the end.
 * Returns the new position, or -1 (also when it would not fit 31 bits). */
int fd_seek(int fd, int32_t offset, int whence);
void fd_close(int fd);

/* Copies up to count bytes from the position of `in` to the position of
 * `out` inside the kernel (copy_file_range, then sendfile), without a buffer
 * in the process. Returns the bytes copied and leaves both positions behind
 * them; fewer than count where the kernel cannot copy between these files,
 * and the caller copies the rest itself, which also reports real errors. */
uint32_t fd_copy(int in, int out, uint32_t count);

/* ---- Processes and the environment ------------------------------------ */

/* Runs command through "/bin/sh -c" and waits for it, like system(), but
 * leaves the caller's signal handlers armed while it waits, so an interrupt
 * reaches the caller as well as the child. The child starts with every
 * signal at its default disposition and an empty signal mask. Returns the raw wait status, or -1 when no process
 * could be started. */
int runShellCommand(const char *command);

/* Runs command through "/bin/sh -c" with its standard output captured into
 * buffer (at most size - 1 bytes kept, then a NUL; the rest is read and
 * dropped) and its standard error sent to /dev/null. *length receives the
 * number of bytes kept. Returns the raw wait status, or -1 when no process
 * could be started. No file is involved, so nothing can be planted there. */
int captureShellOutput(const char *command, char *buffer, int size, int *length);

/* Runs command through the shell: its exit code (0 to 255), 128 plus the
 * signal number when it was killed by a signal, 255 when nothing could be
 * started. */
int executeProcess(const char *command);

/* executeProcess in two steps, for a caller that must know the process
 * before it ends (to pass signals on to it): startProcess starts command
 * through the shell as runShellCommand does and returns its process
 * number, or -1; waitProcess waits for it and gives what executeProcess
 * gives. */
int startProcess(const char *command);
int waitProcess(int pid);

/* Runs the program at path with argv[0..] as its arguments, through no
 * shell (nothing in them is read as shell syntax), its standard output sent
 * to /dev/null, and waits: the raw wait status, or -1 when it could not be
 * started. */
int runProgramQuietly(const char *path, char *const argv[]);

/* Makes the directory path and its missing parents, as "mkdir -p" does but
 * through no shell: 1 when it exists as a directory afterwards, else 0 with
 * errno telling why (ENOTDIR where a name on the way is no directory). */
int makeDirs(const char *path);

/* Shell-based operations. Arguments are pasted into the command verbatim
 * (the shell splits them at blanks); a command text that would exceed 511
 * characters is not run. makeDir, copyFile and copyTree give 1 when the
 * shell reports status 0, else 0; launchTextEditor gives the raw status,
 * or -1 when the command does not fit. */
int makeDir(const char *path);                             /* "mkdir -p %s" */
void deleteTree(const char *path);                         /* "rm -rf %s" */
int copyFile(const char *source, const char *destination); /* "cp %s %s" */
int copyTree(const char *source, const char *destination); /* "cp -r %s %s" */
int launchTextEditor(const char *path);                    /* "vi %s" */

/* Removes the entry `name` of the directory open on dirFd (AT_FDCWD: the
 * current one) with everything below it, however deep: without the shell,
 * never through a symbolic link, without allocating, so a signal handler
 * may call it. Run by root it changes no mode; run by another user it makes
 * a directory of that user's 0700 before it opens it, so that a locked one
 * goes too. 0 when nothing is left (or nothing was there), -1 otherwise.
 * removeTreeSignalSafe is the same for a path. */
int removeTreeAt(int dirFd, const char *name);
int removeTreeSignalSafe(const char *path);

void sleepSec(int seconds);

/* setenv with overwrite: every command started later inherits it. */
void setInheritedEnv(const char *name, const char *value);

int getPid(void);

/* ---- Platform identification ------------------------------------------ */

enum {
    PFM_DIST_NONE = 0,
    PFM_DIST_WINDOWS = 1,
    PFM_DIST_SUSE = 2,
    PFM_DIST_REDHAT = 3,
    PFM_DIST_NOVELL = 4,
    PFM_DIST_DEBIAN = 5,
    PFM_DIST_UBUNTU = 6
};

/* In a command record's distribution, release or architecture: any machine. */
enum { PFM_ANY = -1 };

/* 64-bit ARM is recognised only by the ARM build of the platform layer. */
enum { PFM_ARCH_NONE = 0, PFM_ARCH_INTEL32 = 1, PFM_ARCH_INTEL64 = 2, PFM_ARCH_PPC32 = 3, PFM_ARCH_ARM64 = 4 };

typedef struct PlatformInfo {
    int32_t distribution;
    int32_t release; /* -1 when not determined */
    int32_t architecture;
} PlatformInfo;

/* Fills info (reset first to 0, -1, 0). Returns null when all three were
 * determined, else a message naming the last failure; the caller neither
 * changes nor frees it. */
const char *getPfmInfo(PlatformInfo *info);

/* ---- Support media and log utilities (these print their own messages) - */

/* 0: mounted at "/mnt/key", which is copied into mountPoint (>= 9 bytes);
 * 1: not mounted, message on standard error, mountPoint untouched. */
int mountRemovableMedia(const char *device, char *mountPoint);

/* Runs "umount DEVICE" only when mountPoint is exactly "/mnt/key". */
void unmountRemovableMedia(const char *device, const char *mountPoint);

/* The newest non-directory entry of dir (a path ending with "/") whose name
 * ends with suffix, as dir followed by the name in a malloc'ed text that the
 * caller frees; null when there is none. */
char *findLatestFile(const char *dir, const char *suffix);

/* Reads at most 32 bytes of path into buffer and cuts the text at the first
 * blank or tab: 1 when at least one byte was read, else 0. */
int readDevice(char *buffer, const char *path);

/* 0 when the OEM marker is present, 1 when not or when it cannot be told. */
int checkForOEM(void);

/* "/var/log/OEM_Support/" with the OEM marker, else
 * "/var/log/QUARN_Support/". Static text. */
const char *getDefaultOutputDir(void);

/* ---- Support file upload ---------------------------------------------- */

/* Uploads localPath to the support FTP server through libcurl loaded at run
 * time: 0 on success, -1 after exactly one message on standard error. */
int ftpFile(const char *localPath);

#ifdef __cplusplus
}
#endif

#endif /* OSSPECIFIC_H */
