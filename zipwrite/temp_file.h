// A new file written beside its destination and published by rename.
#ifndef ZIPWRITE_TEMP_FILE_H
#define ZIPWRITE_TEMP_FILE_H

#include "unique_fd.h"

#include <csignal>
#include <filesystem>
#include <sys/types.h>

namespace mkportable {

// A file created with mkstemp in the destination's directory, named
// ".<destination name>.<tag>-XXXXXX", so that publishing it is one atomic
// rename on the same file system. Until commit() succeeds the destructor
// removes it: a failed run never leaves a half-written destination, and the
// previous destination, if any, stays as it was.
class TempFile {
public:
    // Throws PackError naming mkstemp and the directory on failure.
    TempFile(const std::filesystem::path &destination, const char *tag);
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile();

    int fd() const { return fd_.get(); }
    const std::filesystem::path &path() const { return path_; }

    // Flushes the file to disk, sets `mode`, closes it, renames it onto the
    // destination and flushes the directory entry. Throws PackError naming
    // the failing call; the temporary file is then still removed.
    void commit(mode_t mode);

    // Removes the name at once and keeps only the open descriptor: for
    // scratch data that must vanish even if the process is killed. Hands the
    // descriptor over; the object no longer owns anything.
    UniqueFd releaseAnonymous();

private:
    // Stops the signal clean-up from removing this file.
    void forget();

    std::filesystem::path destination_;
    std::filesystem::path path_;
    UniqueFd fd_;
    bool owned_ = true;
    bool watched_ = false;
};

// SIGINT, SIGTERM and SIGHUP: the signals that removeTempFileOnSignal handles.
sigset_t tempFileSignals();

// Makes SIGINT, SIGTERM and SIGHUP remove the TempFile being written at that
// moment (the first one alive, if several are) before the signal ends the
// process as it would have. For programs, not libraries: call once at start.
void removeTempFileOnSignal();

} // namespace mkportable

#endif
