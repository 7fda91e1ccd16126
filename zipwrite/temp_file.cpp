#include "temp_file.h"

#include "pack_error.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace mkportable {

namespace {

std::filesystem::path directoryOf(const std::filesystem::path &file)
{
    std::filesystem::path dir = file.parent_path();
    return dir.empty() ? std::filesystem::path(".") : dir;
}

// The TempFile that the signal handler removes. A fixed buffer and a flag,
// because a handler may only touch such things and call async-signal-safe
// functions.
char watchedPath[PATH_MAX];
volatile std::sig_atomic_t watching = 0;

extern "C" void removeWatchedAndDie(int sig)
{
    if (watching)
        ::unlink(watchedPath);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

sigset_t tempFileSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, sig);
    return set;
}

void removeTempFileOnSignal()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, removeWatchedAndDie);
}

TempFile::TempFile(const std::filesystem::path &destination, const char *tag) : destination_(destination)
{
    std::string pattern =
        (directoryOf(destination) / ("." + destination.filename().string() + "." + tag + "-XXXXXX")).string();
    // Signals wait until the new file is watched: one arriving in between
    // would leave it behind.
    const sigset_t handled = tempFileSignals();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &handled, &old);
    int fd = mkostemp(pattern.data(), O_CLOEXEC);
    int error = errno;
    if (fd >= 0 && !watching && pattern.size() < sizeof watchedPath) {
        std::memcpy(watchedPath, pattern.c_str(), pattern.size() + 1);
        watching = 1;
        watched_ = true;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (fd < 0)
        throwSystemError("cannot create the temporary file " + pattern, error);
    fd_ = UniqueFd(fd);
    path_ = pattern;
}

TempFile::~TempFile()
{
    if (owned_)
        ::unlink(path_.c_str());
    forget();
}

void TempFile::forget()
{
    if (watched_) {
        watching = 0;
        watched_ = false;
    }
}

void TempFile::commit(mode_t mode)
{
    const std::string what = path_.string();
    if (fsync(fd_.get()) != 0)
        throwSystemError("cannot write " + what + " to disk", errno);
    if (fchmod(fd_.get(), mode) != 0)
        throwSystemError("cannot set the mode of " + what, errno);
    closeChecked(fd_, what);
    if (rename(path_.c_str(), destination_.c_str()) != 0)
        throwSystemError("cannot rename " + what + " to " + destination_.string(), errno);
    owned_ = false;
    forget();

    // The rename is durable only once the directory itself is on disk. The
    // package is complete and in place by now, so a failure here is reported
    // but cannot be undone.
    std::filesystem::path dir = directoryOf(destination_);
    UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.valid())
        throwSystemError("cannot open the directory " + dir.string(), errno);
    if (fsync(dirFd.get()) != 0)
        throwSystemError("cannot write the directory " + dir.string() + " to disk", errno);
}

UniqueFd TempFile::releaseAnonymous()
{
    if (::unlink(path_.c_str()) != 0)
        throwSystemError("cannot remove " + path_.string(), errno);
    owned_ = false;
    forget();
    return std::move(fd_);
}

} // namespace mkportable
