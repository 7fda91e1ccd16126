// An owned file descriptor and the loops that read or write a buffer whole.
//
// The loops report what happened instead of reporting it themselves: each
// program words its own messages (mkportable throws, miniunz complains
// through its diagnostics) around the same loop.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace portable {

// Owns one descriptor; the destructor closes it without checking (for error
// paths). Code that must know that a close succeeded calls close().
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives up ownership and returns the descriptor (-1 when none).
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the held descriptor, errors ignored, and takes `fd` instead.
    void reset(int fd = -1);
    // Closes the held descriptor; returns 0, or the errno of a failed close.
    // Either way the descriptor is gone: Linux releases it even when close
    // reports an error, so a close is never retried.
    int close();

private:
    int fd_ = -1;
};

// How far a loop got: `done` bytes were moved, and `error` is the errno of
// the call that failed, or 0. `done` < the size asked for with `error` 0
// means that the file ended (reads) or that the system took nothing
// (writes), which would otherwise repeat forever.
struct IoResult {
    std::size_t done = 0;
    int error = 0;
};

// Calls `step(done)` until `size` bytes have been moved, where `step` is one
// read or write call for the bytes from `done` on and returns what that call
// returned. Calls interrupted by a signal (EINTR) are repeated.
template <typename Step>
IoResult transferAll(std::size_t size, Step step)
{
    IoResult result;
    while (result.done < size) {
        const ssize_t n = step(result.done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.error = errno;
            break;
        }
        if (n == 0)
            break;
        result.done += std::size_t(n);
    }
    return result;
}

// Writes `size` bytes at the current position, or at file offset `offset`.
IoResult writeAll(int fd, const void *data, std::size_t size);
IoResult writeAllAt(int fd, const void *data, std::size_t size, std::uint64_t offset);

// Reads `size` bytes from the current position, or from file offset `offset`;
// fewer only where the file ends or a read fails.
IoResult readAll(int fd, void *data, std::size_t size);
IoResult readAllAt(int fd, void *data, std::size_t size, std::uint64_t offset);

} // namespace portable
