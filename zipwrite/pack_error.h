// The one error type of packing.
#ifndef ZIPWRITE_PACK_ERROR_H
#define ZIPWRITE_PACK_ERROR_H

#include <stdexcept>
#include <string>

namespace mkportable {

// A failure that ends a packing run. The message is complete text for the
// operator: it names the failing call or the offending input and the reason.
class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command line that cannot be carried out as written (an option missing
// or two that exclude each other), found after parsing.
class UsageError : public PackError {
public:
    using PackError::PackError;
};

// Throws PackError with "<what>: <strerror(err)>".
[[noreturn]] void throwSystemError(const std::string &what, int err);

} // namespace mkportable

#endif
