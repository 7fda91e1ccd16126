// A command record in words.
#ifndef LAUNCHER_RECORD_TEXT_H
#define LAUNCHER_RECORD_TEXT_H

#include "package_format.h"

#include <string>

// A record's platform in words: "SuSE 11, Intel 64-bit", "any distribution,
// any architecture".
std::string platformText(const CommandRecord &rec);

#endif
