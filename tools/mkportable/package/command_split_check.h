// The launcher takes everything before the last ';' or '&' of a record's
// line for a change of directory and runs only what follows. A record whose
// line would be cut anywhere else than after "cd DIR ;", "cd DIR &" or
// "cd DIR &&" runs something else than was written; this finds such records.
#ifndef MKPORTABLE_COMMAND_SPLIT_CHECK_H
#define MKPORTABLE_COMMAND_SPLIT_CHECK_H

#include "command_entry.h"
#include "package_format.h"

#include <string>
#include <vector>

namespace mkportable {

// Empty when the launcher runs `rec` as written, both without and with
// arguments of the user's; otherwise a sentence that says what would run
// instead, the rule, and the remedy.
std::string commandSplitProblem(const CommandRecord &rec);

// Throws PackError naming the first record of `commands` that has such a
// problem.
void checkCommandSplits(const std::vector<CommandEntry> &commands);

} // namespace mkportable

#endif
