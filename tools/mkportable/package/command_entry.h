// One command record of a package, as the packer holds it before encoding.
#ifndef MKPORTABLE_COMMAND_ENTRY_H
#define MKPORTABLE_COMMAND_ENTRY_H

#include "package_format.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace mkportable {

// What the launcher runs on one platform. The codes are those of
// platform_codes.h; `command` and `arguments` are shell text that the
// launcher passes to the shell unchanged.
struct CommandEntry {
    // A field that the manifest or the options leave out matches any machine.
    std::int32_t distribution = -1;
    std::int32_t release = -1;
    std::int32_t architecture = -1;
    std::string command;
    std::string arguments;
    // Append `arguments` even when the user gives arguments of his own.
    bool alwaysAppendArguments = false;
};

// Longest texts that fit the record's fields with their terminating NUL.
constexpr std::size_t MAX_COMMAND_BYTES = RECORD_COMMAND_SIZE - 1;     // 127
constexpr std::size_t MAX_ARGUMENTS_BYTES = RECORD_ARGUMENTS_SIZE - 1; // 255

// Checks that the record can be encoded without losing text: `command` is
// not blank and at most 127 bytes, `arguments` at most 255 bytes, neither
// contains a NUL byte. Throws PackError naming record `index` and the field.
void validateCommand(const CommandEntry &entry, std::size_t index);

// The on-disk record for an entry that passed validateCommand.
CommandRecord toCommandRecord(const CommandEntry &entry);

} // namespace mkportable

#endif
