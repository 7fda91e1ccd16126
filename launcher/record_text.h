// Text from a package as it may reach a terminal, and records in words.
#ifndef LAUNCHER_RECORD_TEXT_H
#define LAUNCHER_RECORD_TEXT_H

#include "package_format.h"

#include <string>

// `text` with every byte outside printable ASCII, and the backslash, as
// \xHH: an entry name, a link target or a package's name cannot move the
// cursor or retitle the terminal.
std::string escaped(const std::string &text);

// A record's platform in words: "SuSE 11, Intel 64-bit", "any distribution,
// any architecture".
std::string platformText(const CommandRecord &rec);

#endif
