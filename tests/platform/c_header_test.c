/*
 * The platform layer's header compiled as C, and its support functions
 * linked from a C program: tools written in C include the same header and
 * link the same library. Only calls without effects on the machine are made.
 * Exit status 0 when every answer is the expected one.
 */
#include "osspecific.h"

#include <stdio.h>

typedef int (*MountFn)(const char *, char *);
typedef void (*UnmountFn)(const char *, const char *);
typedef char *(*LatestFn)(const char *, const char *);
typedef int (*ReadFn)(char *, const char *);
typedef int (*CheckFn)(void);
typedef const char *(*DirFn)(void);
typedef int (*UploadFn)(const char *);

int main(void)
{
    /* Every support function has C linkage and the declared type; the ones
     * with effects on the machine are linked, not called. */
    MountFn mount = mountRemovableMedia;
    UnmountFn unmount = unmountRemovableMedia;
    LatestFn latest = findLatestFile;
    ReadFn readWord = readDevice;
    CheckFn check = checkForOEM;
    DirFn outputDir = getDefaultOutputDir;
    UploadFn upload = ftpFile;
    char word[32] = "untouched";
    int failures = 0;

    (void)mount;
    (void)unmount;
    (void)check;
    (void)outputDir;
    (void)upload;
    if (latest("/nonexistent-dir-of-the-c-header-test/", ".log") != NULL) {
        fputs("findLatestFile found a file in a missing directory\n", stderr);
        ++failures;
    }
    if (readWord(word, "/nonexistent-file-of-the-c-header-test") != 0 || word[0] != 'u') {
        fputs("readDevice read a missing file\n", stderr);
        ++failures;
    }
    if (FILE_SEPARATOR != '/' || !isAbsolutePath(DEV_NULL)) {
        fputs("platform constants differ in C\n", stderr);
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
