#include "unique_fd.h"

#include "pack_error.h"

#include <cerrno>
#include <unistd.h>
#include <vector>

namespace mkportable {

namespace {
constexpr std::size_t COPY_CHUNK = 1 << 20;
}

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int UniqueFd::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::close(const std::string &what)
{
    int fd = release();
    // Linux releases the descriptor even when close reports an error, so it
    // is never retried.
    if (fd >= 0 && ::close(fd) != 0)
        throwSystemError("cannot close " + what, errno);
}

void writeAll(int fd, const void *data, std::size_t size, const std::string &what)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwSystemError("cannot write " + what, errno);
        }
        if (n == 0)
            throw PackError("cannot write " + what + ": nothing was written");
        p += n;
        size -= std::size_t(n);
    }
}

std::size_t readUpTo(int fd, void *data, std::size_t size, const std::string &what)
{
    char *p = static_cast<char *>(data);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwSystemError("cannot read " + what, errno);
        }
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    return done;
}

void readAllAt(int fd, void *data, std::size_t size, std::uint64_t offset, const std::string &what)
{
    char *p = static_cast<char *>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, p + done, size - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throwSystemError("cannot read " + what, errno);
        if (n == 0)
            throw PackError("cannot read " + what + ": the file ended early");
        done += std::size_t(n);
    }
}

void writeAllAt(int fd, const void *data, std::size_t size, std::uint64_t offset,
                const std::string &what)
{
    const char *p = static_cast<const char *>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, p + done, size - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throwSystemError("cannot write " + what, n < 0 ? errno : EIO);
        done += std::size_t(n);
    }
}

void readExactly(int in, void *data, std::size_t size, std::uint64_t total,
                 const std::string &inWhat)
{
    if (readUpTo(in, data, size, inWhat) < size)
        throw PackError(inWhat + " became shorter while it was being packed (expected " +
                        std::to_string(total) + " bytes)");
}

void expectEnd(int in, std::uint64_t total, const std::string &inWhat)
{
    char extra;
    if (readUpTo(in, &extra, 1, inWhat) != 0)
        throw PackError(inWhat + " grew while it was being packed (expected " +
                        std::to_string(total) + " bytes)");
}

void copyExactly(int in, int out, std::uint64_t size, const std::string &inWhat,
                 const std::string &outWhat)
{
    std::vector<char> buffer(COPY_CHUNK);
    std::uint64_t left = size;
    while (left > 0) {
        std::size_t want = left < COPY_CHUNK ? std::size_t(left) : COPY_CHUNK;
        readExactly(in, buffer.data(), want, size, inWhat);
        writeAll(out, buffer.data(), want, outWhat);
        left -= want;
    }
    expectEnd(in, size, inWhat);
}

} // namespace mkportable
