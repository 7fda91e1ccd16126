// Where the running mkportable lives, to find the programs installed beside it.
#ifndef MKPORTABLE_PROGRAM_DIR_H
#define MKPORTABLE_PROGRAM_DIR_H

#include <filesystem>

namespace mkportable {

// The directory of the running executable (from /proc/self/exe). Empty when
// it cannot be determined; callers then have no default to offer.
std::filesystem::path programDirectory();

} // namespace mkportable

#endif
