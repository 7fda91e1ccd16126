// Observation helpers for the tests of the support utilities and the upload:
// what a call wrote to standard error, and which descriptors it left open.
#ifndef TESTS_PLATFORM_SUPPORT_HELPERS_H
#define TESTS_PLATFORM_SUPPORT_HELPERS_H

#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>

// Number of descriptors open in this process.
inline int openFdCount()
{
    int count = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d))
            count += e->d_name[0] != '.';
        closedir(d);
    }
    return count - 1; // the listing's own descriptor
}

// Runs fn with standard error sent to a scratch file; returns what fn wrote.
inline std::string captureStderr(const std::function<void()> &fn)
{
    std::fflush(stderr);
    FILE *sink = std::tmpfile();
    int saved = dup(STDERR_FILENO);
    dup2(fileno(sink), STDERR_FILENO);
    fn();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string text;
    std::rewind(sink);
    for (int c; (c = std::fgetc(sink)) != EOF;)
        text += char(c);
    std::fclose(sink);
    return text;
}

#endif
