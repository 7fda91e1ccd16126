// Assembly of the tool's command line from the selected record and the
// operator's arguments, and the split at a leading directory change. Pure
// text work on fixed buffers: nothing here touches the run state or starts
// a process.
#ifndef LAUNCHER_COMMAND_LINE_H
#define LAUNCHER_COMMAND_LINE_H

#include "package_format.h"

#include <cstddef>

constexpr int COMMAND_LINE_SIZE = 2048;
constexpr int DIRECTORY_NAME_SIZE = 1024;

// Appends one character when it fits (len + 1 < capacity); returns the length
// before the call either way.
std::size_t strcat_ch(char *buffer, char c, std::size_t capacity);

// Builds the tool's command line from the record and the user's arguments
// (argv[1..argc-1]). recordEnd receives the length of the part that the
// record contributed, where a split may happen. False when the whole line
// does not fit COMMAND_LINE_SIZE: characters were dropped, and the line must
// not run.
bool assembleCommandLine(const CommandRecord *rec, int argc, char **argv, char line[COMMAND_LINE_SIZE],
                         std::size_t *recordEnd);

// Splits off a leading directory change: when the line holds a separator
// within the record's part that is neither its first nor its last character,
// the directory of "cd NAME" before the last such separator goes to dirName
// and the line keeps what follows. Returns true when the line was split.
bool splitDirectoryChange(char line[COMMAND_LINE_SIZE], std::size_t recordEnd, char dirName[DIRECTORY_NAME_SIZE]);

// For a tool started in the caller's directory: when the line's first word
// is a plain relative path (it holds a '/', does not begin with one, and
// has no quoting or expansion), replaces it with the shell-quoted path
// treeDir/word, so the program is found in the unpacked tree. False, with
// the line unchanged, when the result does not fit.
bool anchorFirstWord(char line[COMMAND_LINE_SIZE], const char *treeDir);

// Quotes text as one shell word, inside double quotes, escaping \ " $ and `.
// False when the quoted text does not fit.
bool quoteShellWord(const char *text, char *out, std::size_t cap);

#endif
