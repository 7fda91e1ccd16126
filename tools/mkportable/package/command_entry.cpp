#include "command_entry.h"

#include "pack_error.h"

#include <algorithm>
#include <cstring>

namespace mkportable {

namespace {

void checkText(const std::string &text, std::size_t limit, const std::string &field)
{
    if (text.find('\0') != std::string::npos)
        throw PackError(field + " contains a NUL byte");
    if (text.size() > limit)
        throw PackError(field + " is " + std::to_string(text.size()) + " bytes long; at most " + std::to_string(limit) +
                        " bytes fit");
}

bool isBlank(const std::string &text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

} // namespace

void validateCommand(const CommandEntry &entry, std::size_t index)
{
    const std::string record = "command record " + std::to_string(index);
    if (isBlank(entry.command))
        throw PackError(record + ": the command is empty");
    checkText(entry.command, MAX_COMMAND_BYTES, record + ": command");
    checkText(entry.arguments, MAX_ARGUMENTS_BYTES, record + ": arguments");
}

CommandRecord toCommandRecord(const CommandEntry &entry)
{
    CommandRecord rec{};
    rec.distribution = entry.distribution;
    rec.release = entry.release;
    rec.architecture = entry.architecture;
    std::memcpy(rec.command, entry.command.data(), std::min(entry.command.size(), MAX_COMMAND_BYTES));
    std::memcpy(rec.arguments, entry.arguments.data(), std::min(entry.arguments.size(), MAX_ARGUMENTS_BYTES));
    rec.alwaysAppendArguments = entry.alwaysAppendArguments ? 1 : 0;
    return rec;
}

} // namespace mkportable
