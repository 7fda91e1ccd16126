// A Makefile-style dependency file for build systems that rebuild the
// package when one of its inputs changes (ninja and make; CMake's
// add_custom_command(DEPFILE)).
#ifndef MKPORTABLE_DEPFILE_H
#define MKPORTABLE_DEPFILE_H

#include <filesystem>
#include <string>
#include <vector>

namespace mkportable {

// "OUTPUT: INPUT INPUT ...\n" with absolute paths, each input once in the
// order given, one input a line, written so that both make and ninja read
// the names back: ' ', '#' and ':' (and for make a tab and '|') get a
// backslash, as do the backslashes right before them, and '$' is doubled.
// Throws PackError naming the file for a name that one of them would misread
// whatever the escaping: one that holds a line end, ';' or '=', or ends in a
// backslash.
std::string depfileText(const std::filesystem::path &output, const std::vector<std::filesystem::path> &inputs);

// Writes `text` to `file` atomically. Throws PackError.
void writeDepfile(const std::filesystem::path &file, const std::string &text);

} // namespace mkportable

#endif
