#include "pack_error.h"

#include <cstring>

namespace mkportable {

void throwSystemError(const std::string &what, int err)
{
    throw PackError(what + ": " + std::strerror(err));
}

} // namespace mkportable
