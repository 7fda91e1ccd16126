#include "unique_fd.h"

#include "pack_error.h"

#include <cerrno>
#include <vector>

namespace mkportable {

namespace {
constexpr std::size_t COPY_CHUNK = 1 << 20;
}

void closeChecked(UniqueFd &fd, const std::string &what)
{
    if (const int err = fd.close(); err != 0)
        throwSystemError("cannot close " + what, err);
}

void writeAll(int fd, const void *data, std::size_t size, const std::string &what)
{
    const portable::IoResult r = portable::writeAll(fd, data, size);
    if (r.error != 0)
        throwSystemError("cannot write " + what, r.error);
    if (r.done < size)
        throw PackError("cannot write " + what + ": nothing was written");
}

std::size_t readUpTo(int fd, void *data, std::size_t size, const std::string &what)
{
    const portable::IoResult r = portable::readAll(fd, data, size);
    if (r.error != 0)
        throwSystemError("cannot read " + what, r.error);
    return r.done;
}

void readAllAt(int fd, void *data, std::size_t size, std::uint64_t offset, const std::string &what)
{
    const portable::IoResult r = portable::readAllAt(fd, data, size, offset);
    if (r.error != 0)
        throwSystemError("cannot read " + what, r.error);
    if (r.done < size)
        throw PackError("cannot read " + what + ": the file ended early");
}

void writeAllAt(int fd, const void *data, std::size_t size, std::uint64_t offset, const std::string &what)
{
    const portable::IoResult r = portable::writeAllAt(fd, data, size, offset);
    if (r.error != 0 || r.done < size)
        throwSystemError("cannot write " + what, r.error != 0 ? r.error : EIO);
}

void readExactly(int in, void *data, std::size_t size, std::uint64_t total, const std::string &inWhat)
{
    if (readUpTo(in, data, size, inWhat) < size)
        throw PackError(inWhat + " became shorter while it was being packed (expected " + std::to_string(total) +
                        " bytes)");
}

void expectEnd(int in, std::uint64_t total, const std::string &inWhat)
{
    char extra;
    if (readUpTo(in, &extra, 1, inWhat) != 0)
        throw PackError(inWhat + " grew while it was being packed (expected " + std::to_string(total) + " bytes)");
}

void copyExactly(int in, int out, std::uint64_t size, const std::string &inWhat, const std::string &outWhat)
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
