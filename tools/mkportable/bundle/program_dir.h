// Where the running mkportable lives, and the programs installed or built
// beside it that a package carries.
#ifndef MKPORTABLE_PROGRAM_DIR_H
#define MKPORTABLE_PROGRAM_DIR_H

#include <filesystem>
#include <string>
#include <vector>

namespace mkportable {

// The directory of the running executable (from /proc/self/exe). Empty when
// it cannot be determined; callers then have no default to offer.
std::filesystem::path programDirectory();

// The architecture folder of the programs that run on the machines a
// package is made for: "i386" for 32-bit Intel, else the one mkportable
// itself was built for ("x86_64").
std::string programArchitecture(bool intel32);

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
