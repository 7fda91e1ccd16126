#include "fd_io.h"

#include <unistd.h>

namespace portable {

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

int UniqueFd::close()
{
    const int fd = release();
    if (fd >= 0 && ::close(fd) != 0)
        return errno;
    return 0;
}

IoResult writeAll(int fd, const void *data, std::size_t size)
{
    const char *p = static_cast<const char *>(data);
    return transferAll(size, [&](std::size_t done) { return ::write(fd, p + done, size - done); });
}

IoResult writeAllAt(int fd, const void *data, std::size_t size, std::uint64_t offset)
{
    const char *p = static_cast<const char *>(data);
    // pwrite64: offsets past 2 GiB in 32-bit builds too.
    return transferAll(size,
                       [&](std::size_t done) { return ::pwrite64(fd, p + done, size - done, off64_t(offset + done)); });
}

IoResult readAll(int fd, void *data, std::size_t size)
{
    char *p = static_cast<char *>(data);
    return transferAll(size, [&](std::size_t done) { return ::read(fd, p + done, size - done); });
}

IoResult readAllAt(int fd, void *data, std::size_t size, std::uint64_t offset)
{
    char *p = static_cast<char *>(data);
    return transferAll(size,
                       [&](std::size_t done) { return ::pread64(fd, p + done, size - done, off64_t(offset + done)); });
}

} // namespace portable
