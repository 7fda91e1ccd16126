// The owned file descriptor of packing and its read/write loops, which throw
// PackError, naming the file, when they cannot move every byte.
#ifndef ZIPWRITE_UNIQUE_FD_H
#define ZIPWRITE_UNIQUE_FD_H

#include "common/fd_io.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace mkportable {

using portable::UniqueFd;

// Closes `fd`; throws PackError "cannot close <what>" when that fails.
void closeChecked(UniqueFd &fd, const std::string &what);

// Writes all `size` bytes, retrying short writes and EINTR. Throws PackError
// "cannot write <what>" on failure.
void writeAll(int fd, const void *data, std::size_t size, const std::string &what);

// Reads up to `size` bytes, retrying short reads and EINTR; returns the count,
// which is smaller than `size` only at end of file. Throws PackError
// "cannot read <what>" on failure.
std::size_t readUpTo(int fd, void *data, std::size_t size, const std::string &what);

// Reads exactly `size` bytes at file offset `offset`, retrying short reads
// and EINTR. Throws PackError "cannot read <what>" on failure or when the
// file ends first.
void readAllAt(int fd, void *data, std::size_t size, std::uint64_t offset, const std::string &what);

// Writes all `size` bytes at file offset `offset`. Throws PackError
// "cannot write <what>" on failure.
void writeAllAt(int fd, const void *data, std::size_t size, std::uint64_t offset, const std::string &what);

// Reads exactly `size` bytes, part of the `total` that `inWhat` was measured
// to hold; throws PackError when it ends early (it became shorter since it
// was measured) or a read fails.
void readExactly(int in, void *data, std::size_t size, std::uint64_t total, const std::string &inWhat);
// Throws PackError when `in` has bytes left after the `total` that `inWhat`
// was measured to hold (it grew since).
void expectEnd(int in, std::uint64_t total, const std::string &inWhat);

// Copies exactly `size` bytes from the current position of `in` to `out` in
// bounded chunks. Throws PackError when `in` ends early or still has bytes
// after `size` (the input changed since it was measured), naming `inWhat`, or
// when a read or write fails.
void copyExactly(int in, int out, std::uint64_t size, const std::string &inWhat, const std::string &outWhat);

} // namespace mkportable

#endif
