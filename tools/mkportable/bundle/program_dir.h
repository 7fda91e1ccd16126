// Where the running mkportable lives, and the programs installed or built
// beside it that a package carries.
#ifndef MKPORTABLE_PROGRAM_DIR_H
#define MKPORTABLE_PROGRAM_DIR_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mkportable {

// The directory of the running executable (from /proc/self/exe). Empty when
// it cannot be determined; callers then have no default to offer.
std::filesystem::path programDirectory();

// The architecture folder of the programs that run on the machines a
// package is made for (packageMachine): "i386" for 32-bit Intel, "aarch64"
// for 64-bit ARM, "x86_64" for 64-bit Intel.
std::string programArchitecture(std::int32_t machine);

// Where to look, in order, for `name` ("launcher", "miniunz") built for
// `architecture`, relative to mkportable's directory `programDir`:
//   programDir/name                                   (only for mkportable's own architecture:
//                                                      the build tree, where they sit beside it)
//   programDir/../libexec/mkportable/architecture/name (cmake --install, and the
//                                                      build tree's 32-bit programs)
std::vector<std::filesystem::path> programCandidates(const std::filesystem::path &programDir, const std::string &name,
                                                     const std::string &architecture);

// The first candidate that exists. Throws PackError naming every candidate
// when none does, and `option` as the way to name the program instead.
std::filesystem::path findProgram(const std::filesystem::path &programDir, const std::string &name,
                                  const std::string &architecture, const std::string &option);

} // namespace mkportable

#endif
